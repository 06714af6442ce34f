#include "vela_sha/composition.hpp"

#include <array>
#include <cstring>
#include <ostream>
#include <random>
#include <algorithm>
#include <bit>
#include <vector>

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

// A source as the set sees it: its keyed hash and a reference to its text,
// with the member code in the low bit of the length.
struct SourceRef {
  std::uint64_t hash;
  const char* text;
  std::size_t size_and_member;

  [[nodiscard]] bool same_source(const SourceRef& other) const noexcept {
    return hash == other.hash && size_and_member == other.size_and_member &&
           same_bytes(text, other.text, size_and_member >> 1);
  }

  // Equal hashes almost always mean equal texts, which are compared in full;
  // words at a time, since most paths are short and a call costs more.
  static bool same_bytes(const char* a, const char* b, std::size_t size) noexcept {
    if (size < 8) return std::memcmp(a, b, size) == 0;
    std::uint64_t x, y, differ = 0;
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      differ |= x ^ y;
    }
    std::memcpy(&x, a + size - 8, 8);  // the last word, overlapping if need be
    std::memcpy(&y, b + size - 8, 8);
    return (differ | (x ^ y)) == 0;
  }
};

class SourceHasher {
 public:
  explicit SourceHasher(const SourceSetKey& key) noexcept : key_{key.k0, key.k1} {}

  [[nodiscard]] SourceRef operator()(const CanonicalSource& source) const noexcept {
    const std::string_view text = source.text();
    // A different key per member keeps equal texts of different members apart.
    const detail::SipKey member_key{key_.k0, key_.k1 ^ source.code()};
    return {detail::siphash<1, 3>(member_key, text), text.data(), text.size() << 1 | source.code()};
  }

 private:
  detail::SipKey key_;
};

// The source set: a flat open-addressed table of references to the nodes'
// sources, sized once for the node count (never more than two-thirds full)
// and never iterated. One probe usually finds the slot, so a lookup costs a
// hash, a slot and one text comparison. Texts are never empty, so a null text
// marks a free slot.
class SourceSet {
 public:
  explicit SourceSet(std::size_t sources)
      : mask_(std::bit_ceil(sources + sources / 2 + 1) - 1), slots_(mask_ + 1) {}

  void prefetch(const SourceRef& source) const noexcept {
    __builtin_prefetch(&slots_[source.hash & mask_]);
  }

  // False if an equal source is already present.
  bool insert(const SourceRef& source) noexcept {
    for (std::size_t i = source.hash & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].text == nullptr) {
        slots_[i] = source;
        return true;
      }
      if (slots_[i].same_source(source)) return false;
    }
  }

  [[nodiscard]] bool contains(const SourceRef& source) const noexcept {
    for (std::size_t i = source.hash & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].text == nullptr) return false;
      if (slots_[i].same_source(source)) return true;
    }
  }

 private:
  std::size_t mask_;
  std::vector<SourceRef> slots_;
};

// Hashes run a block ahead of the checks, so the slots a block needs are on
// their way into the cache before the first of them is probed. The checks
// themselves still run one at a time, in order.
constexpr std::size_t kBlock = 16;

std::expected<void, CompositionError> check(const ResolvedTemplateManifest& manifest,
                                            const SourceSetKey& key) {
  if (manifest.schema != ManifestSchemaVersion::V1) {
    return std::unexpected(CompositionError::UnsupportedSchema);
  }
  const SourceHasher hash(key);
  SourceSet sources(manifest.nodes.size());
  std::array<SourceRef, 2 * kBlock> refs;

  const auto& nodes = manifest.nodes;
  for (std::size_t start = 0; start < nodes.size(); start += kBlock) {
    const std::size_t count = std::min(kBlock, nodes.size() - start);
    for (std::size_t k = 0; k < count; ++k) {
      refs[k] = hash(nodes[start + k].source);
      sources.prefetch(refs[k]);
    }
    for (std::size_t k = 0; k < count; ++k) {
      if (!sources.insert(refs[k])) return std::unexpected(CompositionError::DuplicateSource);
    }
  }

  const auto& edges = manifest.edges;
  for (std::size_t start = 0; start < edges.size(); start += kBlock) {
    const std::size_t count = std::min(kBlock, edges.size() - start);
    for (std::size_t k = 0; k < count; ++k) {
      refs[2 * k] = hash(edges[start + k].parent);
      refs[2 * k + 1] = hash(edges[start + k].child);
      sources.prefetch(refs[2 * k]);
      sources.prefetch(refs[2 * k + 1]);
    }
    for (std::size_t k = 0; k < 2 * count; ++k) {
      if (!sources.contains(refs[k])) return std::unexpected(CompositionError::UnknownEdgeEndpoint);
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
