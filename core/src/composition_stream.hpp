// The composition stream's byte format, and nothing else: the size of every
// field, and how each part is written into memory. All integers are unsigned
// and big-endian; every byte string comes after its length as an 8-byte count.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "vela_sha/composition.hpp"

namespace vela_sha::detail::stream {

inline constexpr std::string_view kIdentifier = ManifestSchemaVersion::kV1Identifier;
inline constexpr std::size_t kKindBytes = 1;        // a source's kind: 00 local_path, 01 url
inline constexpr std::size_t kLengthBytes = 8;      // before every byte string
inline constexpr std::size_t kCountBytes = 8;       // of the nodes, of the edges
inline constexpr std::size_t kDigestBytes = 32;     // a node's digest, behind its length (always 32)
inline constexpr std::size_t kOccurrenceBytes = 4;  // an edge's occurrence

// The identifier behind its length, and the byte 01.
inline constexpr std::size_t kHeadBytes = kLengthBytes + kIdentifier.size() + 1;
// A source without its text: kind and length.
inline constexpr std::size_t kSourceBytes = kKindBytes + kLengthBytes;

[[nodiscard]] constexpr std::size_t source_size(std::size_t text) noexcept { return kSourceBytes + text; }
[[nodiscard]] constexpr std::size_t node_size(std::size_t text) noexcept {
  return source_size(text) + kLengthBytes + kDigestBytes;
}
[[nodiscard]] constexpr std::size_t edge_size(std::size_t parent, std::size_t child) noexcept {
  return source_size(parent) + source_size(child) + kOccurrenceBytes;
}
// A whole stream, given the texts' total lengths: the head, the two counts and
// every node and edge (25 + L + sum(49 + n) + sum(22 + p + c), L the identifier's length).
[[nodiscard]] constexpr std::uint64_t stream_size(std::uint64_t nodes, std::uint64_t node_text, std::uint64_t edges,
                                                  std::uint64_t edge_text) noexcept {
  return kHeadBytes + 2 * kCountBytes + nodes * node_size(0) + node_text + edges * edge_size(0, 0) + edge_text;
}

inline void put_u64(std::uint8_t* out, std::uint64_t value) noexcept {
  if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
  std::memcpy(out, &value, 8);
}

[[nodiscard]] inline std::uint64_t get_u64(const std::uint8_t* in) noexcept {
  std::uint64_t value;
  std::memcpy(&value, in, 8);
  if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
  return value;
}

inline void put_u32(std::uint8_t* out, std::uint32_t value) noexcept {
  if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
  std::memcpy(out, &value, 4);
}

// Copies a text; most are short paths, which go in a few overlapping moves
// rather than a call.
inline void copy_text(std::uint8_t* out, const char* in, std::size_t size) noexcept {
  auto move = [&](std::size_t at, auto word) {
    std::memcpy(&word, in + at, sizeof word);
    std::memcpy(out + at, &word, sizeof word);
  };
  struct Block {
    std::uint64_t low, high;
  };
  if (size >= 16 && size <= 64) {
    move(0, Block{});
    if (size > 32) {
      move(16, Block{});
      move(size - 32, Block{});
    }
    move(size - 16, Block{});
  } else if (size >= 8 && size < 16) {
    move(0, std::uint64_t{});
    move(size - 8, std::uint64_t{});
  } else if (size != 0) {
    std::memcpy(out, in, size);
  }
}

// Writes the head (kHeadBytes); the node count follows it.
inline std::uint8_t* put_head(std::uint8_t* out) noexcept {
  put_u64(out, kIdentifier.size());
  std::memcpy(out + kLengthBytes, kIdentifier.data(), kIdentifier.size());
  out[kHeadBytes - 1] = 0x01;
  return out + kHeadBytes;
}

// Each of these writes its part at `out` and returns where the part ends.
inline std::uint8_t* put_source(std::uint8_t* out, SourceText source) noexcept {
  out[0] = static_cast<std::uint8_t>(source.member);
  put_u64(out + kKindBytes, source.text.size());
  copy_text(out + kSourceBytes, source.text.data(), source.text.size());
  return out + source_size(source.text.size());
}

inline std::uint8_t* put_node(std::uint8_t* out, SourceText source, const Sha256Bytes& digest) noexcept {
  out = put_source(out, source);
  put_u64(out, kDigestBytes);
  std::memcpy(out + kLengthBytes, digest.data(), kDigestBytes);
  return out + kLengthBytes + kDigestBytes;
}

inline std::uint8_t* put_edge(std::uint8_t* out, SourceText parent, SourceText child,
                              std::uint32_t occurrence) noexcept {
  out = put_source(put_source(out, parent), child);
  put_u32(out, occurrence);
  return out + kOccurrenceBytes;
}

// The source written at `at` (a node's entry, or an edge endpoint).
[[nodiscard]] inline SourceText source_at(const std::uint8_t* at) noexcept {
  return {static_cast<CanonicalSource::Member>(at[0]),
          {reinterpret_cast<const char*>(at + kSourceBytes), static_cast<std::size_t>(get_u64(at + kKindBytes))}};
}

}  // namespace vela_sha::detail::stream
