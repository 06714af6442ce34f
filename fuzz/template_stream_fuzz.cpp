// The incremental hasher against the plain references, under every set of
// kernels: the input's first byte says how many of the following bytes are
// piece lengths, the rest is the text. After every piece the digest so far
// must be that of the text so far, and the end must agree with the
// references on the whole text (an error's offset and line too).
#include <vector>

#include "every_way.hpp"
#include "fuzz.hpp"

using namespace vela_sha;

namespace {

void check(std::span<const std::uint8_t> lengths, std::span<const std::uint8_t> text) {
  TemplateHasher hasher;
  std::size_t from = 0;
  for (std::size_t k = 0; k <= lengths.size(); ++k) {
    const std::size_t to = k < lengths.size() ? std::min(text.size(), from + lengths[k]) : text.size();
    std::vector<std::uint8_t> piece(text.begin() + static_cast<std::ptrdiff_t>(from),
                                    text.begin() + static_cast<std::ptrdiff_t>(to));
    const auto fed = k % 2 ? hasher.update_in_place(piece) : hasher.update(piece);
    if (!fed) {
      FUZZ_CHECK(testing::reference_outcome(text) == std::unexpected(fed.error()));
      FUZZ_CHECK(hasher.digest() == std::unexpected(fed.error()));
      return;
    }
    from = to;
    const auto so_far = testing::reference_outcome(text.first(to));
    const auto digest = hasher.digest();
    // A text cut inside a sequence is an error now and may be completed later.
    if (so_far || digest) FUZZ_CHECK(digest == so_far);
  }
  FUZZ_CHECK(hasher.digest() == testing::reference_outcome(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t cuts = std::min<std::size_t>(data[0] % 8, size - 1);
  const std::span<const std::uint8_t> lengths(data + 1, cuts), text(data + 1 + cuts, size - 1 - cuts);
  testing::for_each_kernel_set([&](const char*) { check(lengths, text); });
  std::vector<std::size_t> offsets;  // the same cuts, for every other way in
  for (std::size_t k = 0, at = 0; k < cuts; ++k) offsets.push_back(at = std::min(text.size(), at + lengths[k]));
  FUZZ_CHECK(testing::disagreement(text, offsets).empty());
  return 0;
}
