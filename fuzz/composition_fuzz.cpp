// Manifests decoded from the fuzz bytes. Checked: the stream's length is the
// formula's, the digest is SHA-256 of the captured stream, the error is the one
// the plain rules give first (schema, then the first repeated node source, then
// the first edge with an unknown endpoint), the set's key changes nothing, and
// a hasher given the endpoints unvalidated finds an invalid one.
#include <openssl/sha.h>

#include <optional>
#include <string>
#include <vector>

#include "composition_reference.hpp"
#include "fuzz.hpp"
#include "vela_sha/composition.hpp"

using namespace vela_sha;

namespace {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  bool empty() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Texts from a small pool, so that duplicates and matches are common, or
// spelled out byte by byte (any byte the validation accepts).
CanonicalSource read_source(Reader& in) {
  static const char* const pool[] = {"a", "b", "a/b", "https://x/y", "é", " a ", "/"};
  const std::uint8_t head = in.byte();
  std::string text;
  if (head & 0x80) {
    const std::size_t length = 1 + in.byte() % 40;
    for (std::size_t i = 0; i < length; ++i) {
      char c = static_cast<char>(in.byte());
      if (!validate_representation(std::string_view(&c, 1))) c = 'z';
      text += c;
    }
  } else {
    text = pool[(head >> 1) % 7];
  }
  // Bytes that pass one at a time can still pair into a C1 control (C2 85):
  // such a text is refused, and the pool's first text stands in for it.
  if (!validate_representation(text)) text = pool[0];
  if (head & 1) return *CanonicalSourceUrl::try_from(std::move(text));
  return *CanonicalTemplatePath::try_from(std::move(text));
}

std::optional<CompositionError> expected_error(const ResolvedTemplateManifest& m) {
  if (m.schema != ManifestSchemaVersion::V1) return CompositionError::UnsupportedSchema;
  for (std::size_t i = 0; i < m.nodes.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (m.nodes[i].source == m.nodes[j].source) return CompositionError::DuplicateSource;
    }
  }
  auto known = [&](const CanonicalSource& s) {
    for (const auto& node : m.nodes) {
      if (node.source == s) return true;
    }
    return false;
  };
  for (const auto& edge : m.edges) {
    if (!known(edge.parent) || !known(edge.child)) return CompositionError::UnknownEdgeEndpoint;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  ResolvedTemplateManifest manifest;
  const std::uint8_t flags = in.byte();
  if (flags == 0xFF) manifest.schema = static_cast<ManifestSchemaVersion::Value>(2);
  const std::size_t nodes = in.byte() % 24;
  for (std::size_t i = 0; i < nodes; ++i) {
    CanonicalSource source = read_source(in);
    Sha256Bytes digest;
    digest.fill(in.byte());
    manifest.nodes.push_back({std::move(source), TemplateSha256(digest)});
  }
  while (!in.empty()) {
    CanonicalSource parent = read_source(in);
    CanonicalSource child = read_source(in);
    std::uint32_t occurrence = 0;
    for (int i = 0; i < 4; ++i) occurrence = occurrence << 8 | in.byte();
    manifest.edges.push_back({std::move(parent), std::move(child), occurrence});
  }

  // The writers write as much as the formula says, and not a byte elsewhere.
  const std::vector<std::uint8_t> stream = testing::reference_stream(manifest);
  std::uint64_t node_text = 0, edge_text = 0;
  for (const auto& node : manifest.nodes) node_text += node.source.text().size();
  for (const auto& edge : manifest.edges) edge_text += edge.parent.text().size() + edge.child.text().size();
  FUZZ_CHECK(stream.size() == detail::stream::stream_size(manifest.nodes.size(), node_text, manifest.edges.size(),
                                                          edge_text));
  FUZZ_CHECK(stream.size() == 25 + 20 + 49 * manifest.nodes.size() + node_text + 22 * manifest.edges.size() +
                                  edge_text);

  const auto result = calculate_composition_hash(manifest);
  const auto other_key = calculate_composition_hash(manifest, SourceSetKey{flags * 0x9E3779B97F4A7C15ULL, ~0ULL});
  FUZZ_CHECK(result == other_key);
  const auto expected = expected_error(manifest);
  FUZZ_CHECK(result.has_value() == !expected.has_value());
  if (expected) {
    FUZZ_CHECK(result.error() == *expected);
  } else {
    Sha256Bytes digest;
    SHA256(stream.data(), stream.size(), digest.data());
    FUZZ_CHECK(result->bytes() == digest);
  }

  // The same records to a hasher, every endpoint unvalidated, one of them
  // perhaps spoilt with a backslash: the hasher finds it, and nothing else.
  if (manifest.schema != ManifestSchemaVersion::V1) return 0;
  auto text = [](const CanonicalSource& source) { return SourceText{source.member(), source.text()}; };
  const std::size_t spoilt = flags & 2 ? flags % (manifest.edges.size() + 1) : manifest.edges.size();
  CompositionHasher hasher(manifest.nodes.size());
  for (const auto& node : manifest.nodes) hasher.add_node(text(node.source), node.sha256);
  hasher.begin_edges(manifest.edges.size());
  for (std::size_t i = 0; i < manifest.edges.size(); ++i) {
    const auto& edge = manifest.edges[i];
    const std::string child = std::string(edge.child.text()) + (i == spoilt ? "\\" : "");
    hasher.add_edge(Endpoint::unvalidated(text(edge.parent)),
                    Endpoint::unvalidated({edge.child.member(), child}), edge.occurrence);
  }
  FUZZ_CHECK(hasher.invalid_endpoint() == (spoilt < manifest.edges.size()));
  if (spoilt == manifest.edges.size()) FUZZ_CHECK(hasher.finish() == result);
  return 0;
}
