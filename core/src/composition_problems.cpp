#include "vela_sha/composition_problems.hpp"

#include <string_view>
#include <unordered_map>

#include "siphash.hpp"

namespace vela_sha {
namespace {

struct SourceKey {
  std::uint8_t member;
  std::string_view text;

  friend bool operator==(const SourceKey&, const SourceKey&) = default;
};

class KeyedHash {
 public:
  KeyedHash() noexcept : key_{SourceSetKey::process().k0, SourceSetKey::process().k1} {}
  std::size_t operator()(const SourceKey& source) const noexcept {
    return detail::siphash<1, 3>({key_.k0, key_.k1 ^ source.member}, source.text);
  }

 private:
  detail::SipKey key_;
};

SourceKey key_of(const SourceText& source) noexcept {
  return {static_cast<std::uint8_t>(source.member), source.text};
}

}  // namespace

CompositionProblems find_composition_problems(std::span<const std::optional<SourceText>> nodes,
                                              std::span<const EdgeEndpoints> edges, bool check_endpoints) {
  CompositionProblems problems;
  std::unordered_map<SourceKey, std::size_t, KeyedHash> first_with(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i]) continue;
    const auto [found, inserted] = first_with.try_emplace(key_of(*nodes[i]), i);
    if (!inserted) problems.duplicates.push_back({i, found->second});
  }
  if (!check_endpoints) return problems;
  for (std::size_t k = 0; k < edges.size(); ++k) {
    if (edges[k].parent && !first_with.contains(key_of(*edges[k].parent))) problems.unknown.push_back({k, false});
    if (edges[k].child && !first_with.contains(key_of(*edges[k].child))) problems.unknown.push_back({k, true});
  }
  return problems;
}

}  // namespace vela_sha
