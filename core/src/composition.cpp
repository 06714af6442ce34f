#include "vela_sha/composition.hpp"

#include <array>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>
#include <unordered_set>

#include "siphash.hpp"

namespace vela_sha {
namespace {

// Feeds the stream to its sink through a fixed staging buffer, so that the
// many small fields cost a copy each rather than a call each.
class StreamWriter {
 public:
  explicit StreamWriter(ByteSink& sink) noexcept : sink_(sink) {}
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  void byte(std::uint8_t value) {
    reserve(1);
    buffer_[used_++] = value;
  }

  template <class Unsigned>
  void big_endian(Unsigned value) {
    reserve(sizeof(Unsigned));
    for (std::size_t i = sizeof(Unsigned); i-- > 0;) {
      buffer_[used_++] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }

  // A byte string behind its 8-byte length.
  void counted(std::span<const std::uint8_t> bytes) {
    big_endian<std::uint64_t>(bytes.size());
    if (bytes.size() > buffer_.size() - used_) {
      flush();
      if (bytes.size() > buffer_.size()) {
        sink_.write(bytes);
        return;
      }
    }
    std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
  }

  void counted(std::string_view text) {
    counted({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }

  void source(const CanonicalSource& source) {
    byte(source.code());
    counted(source.text());
  }

  void flush() {
    if (used_ != 0) sink_.write({buffer_.data(), used_});
    used_ = 0;
  }

 private:
  void reserve(std::size_t size) {
    if (buffer_.size() - used_ < size) flush();
  }

  ByteSink& sink_;
  std::size_t used_ = 0;
  std::array<std::uint8_t, 8192> buffer_;
};

class HashSink final : public ByteSink {
 public:
  void write(std::span<const std::uint8_t> bytes) override { hash_.update(bytes); }
  [[nodiscard]] Sha256Bytes finish() noexcept { return hash_.finish(); }

 private:
  Sha256 hash_;
};

// The source set: references to the nodes' sources, keyed by member and text.
struct SourceHash {
  detail::SipKey key;
  std::size_t operator()(const CanonicalSource* source) const noexcept {
    // A different key per member keeps equal texts of different members apart.
    const detail::SipKey member_key{key.k0, key.k1 ^ source->code()};
    return static_cast<std::size_t>(detail::siphash<1, 3>(member_key, source->text()));
  }
};

struct SourceEqual {
  bool operator()(const CanonicalSource* a, const CanonicalSource* b) const noexcept {
    return *a == *b;
  }
};

using SourceSet = std::unordered_set<const CanonicalSource*, SourceHash, SourceEqual>;

std::expected<void, CompositionError> check(const ResolvedTemplateManifest& manifest,
                                            const SourceSetKey& key) {
  if (manifest.schema != ManifestSchemaVersion::V1) {
    return std::unexpected(CompositionError::UnsupportedSchema);
  }
  SourceSet sources(0, SourceHash{{key.k0, key.k1}});
  sources.reserve(manifest.nodes.size());
  for (const auto& node : manifest.nodes) {
    if (!sources.insert(&node.source).second) return std::unexpected(CompositionError::DuplicateSource);
  }
  for (const auto& edge : manifest.edges) {
    if (!sources.contains(&edge.parent) || !sources.contains(&edge.child)) {
      return std::unexpected(CompositionError::UnknownEdgeEndpoint);
    }
  }
  return {};
}

}  // namespace

std::string_view message(CompositionError error) noexcept {
  switch (error) {
    case CompositionError::UnsupportedSchema:
      return "unsupported resolved manifest schema; provide ManifestSchemaVersion::V1";
    case CompositionError::DuplicateSource:
      return "resolved manifest contains a duplicate source; deduplicate nodes before hashing";
    case CompositionError::UnknownEdgeEndpoint:
      return "resolved manifest edge has an unknown endpoint; include every endpoint in nodes";
  }
  return "unknown CompositionError";
}

std::ostream& operator<<(std::ostream& out, CompositionError error) { return out << message(error); }

const SourceSetKey& SourceSetKey::process() {
  static const SourceSetKey key = [] {
    std::random_device entropy;
    auto draw = [&entropy] { return static_cast<std::uint64_t>(entropy()) << 32 | entropy(); };
    const std::uint64_t k0 = draw();
    return SourceSetKey{k0, draw()};
  }();
  return key;
}

void write_composition_stream(const ResolvedTemplateManifest& manifest, ByteSink& sink) {
  StreamWriter out(sink);
  // The identifier comes from the constant, never from the caller's text, so
  // every accepted spelling of the schema gives the same head.
  out.counted(ManifestSchemaVersion::kV1Identifier);
  out.byte(0x01);
  out.big_endian<std::uint64_t>(manifest.nodes.size());
  for (const auto& node : manifest.nodes) {
    out.source(node.source);
    out.counted(node.sha256.bytes());
  }
  out.big_endian<std::uint64_t>(manifest.edges.size());
  for (const auto& edge : manifest.edges) {
    out.source(edge.parent);
    out.source(edge.child);
    out.big_endian<std::uint32_t>(edge.occurrence);
  }
  out.flush();
}

std::uint64_t composition_stream_length(const ResolvedTemplateManifest& manifest) noexcept {
  std::uint64_t length = 25 + ManifestSchemaVersion::kV1Identifier.size();
  for (const auto& node : manifest.nodes) length += 49 + node.source.text().size();
  for (const auto& edge : manifest.edges) {
    length += 22 + edge.parent.text().size() + edge.child.text().size();
  }
  return length;
}

std::expected<CompositionSha256, CompositionError> calculate_composition_hash(
    const ResolvedTemplateManifest& manifest, const SourceSetKey& key) {
  if (auto checked = check(manifest, key); !checked) return std::unexpected(checked.error());
  HashSink sink;
  write_composition_stream(manifest, sink);
  return CompositionSha256(sink.finish());
}

std::expected<CompositionSha256, CompositionError> calculate_composition_hash(
    const ResolvedTemplateManifest& manifest) {
  return calculate_composition_hash(manifest, SourceSetKey::process());
}

}  // namespace vela_sha
