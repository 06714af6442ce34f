// Byte-level text kernels behind calculate_hash. Internal to the library;
// exposed in a header so the tests can hold each path against a reference.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela_sha::text {

// Strict RFC 3629 validation: rejects truncated sequences, stray continuation
// bytes, overlong forms, encoded surrogates and values above U+10FFFF.
// Picks the fastest kernel this CPU runs.
[[nodiscard]] bool valid_utf8(const std::uint8_t* data, std::size_t size) noexcept;

// The portable kernel (ASCII runs a word at a time, the rest a character at a time).
[[nodiscard]] bool valid_utf8_scalar(const std::uint8_t* data, std::size_t size) noexcept;

// Where validation fails: the offset of the lead byte of the first invalid or
// cut-off sequence (what Python's decoder reports as the error's start), or
// `size` if the text is valid. The portable kernel; fast kernels only say
// whether, so this runs once they have said no.
[[nodiscard]] std::size_t first_invalid_utf8(const std::uint8_t* data, std::size_t size) noexcept;

// The length of the sequence a lead byte starts: 1 for ASCII, 2 to 4 for
// C2..F4, 0 for a byte that cannot start one.
[[nodiscard]] constexpr std::size_t utf8_sequence_length(std::uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;  // a continuation byte, or the overlong C0 / C1
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

// Whether `byte` may stand at position `index` (1 to 3) of the sequence `lead`
// starts. The second byte's range carries every rule beyond "is a
// continuation": it excludes overlongs (E0, F0), surrogates (ED) and values
// past U+10FFFF (F4).
[[nodiscard]] constexpr bool utf8_continuation_ok(std::uint8_t lead, std::size_t index,
                                                  std::uint8_t byte) noexcept {
  std::uint8_t low = 0x80, high = 0xBF;
  if (index == 1) {
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  return byte >= low && byte <= high;
}

// Whether every byte is ASCII and none is a CR: text valid as it stands and
// already normalised, the common case, told in one pass. Picks the fastest
// kernel this CPU runs.
[[nodiscard]] bool plain_ascii(const std::uint8_t* data, std::size_t size) noexcept;
[[nodiscard]] bool plain_ascii_portable(const std::uint8_t* data, std::size_t size) noexcept;
// Only valid to call when avx2_available().
[[nodiscard]] bool plain_ascii_avx2(const std::uint8_t* data, std::size_t size) noexcept;

// How many LF and CR bytes a text holds.
struct LineBytes {
  std::size_t lf = 0, cr = 0;
};

// Picks the fastest kernel this CPU runs.
[[nodiscard]] LineBytes count_line_bytes(const std::uint8_t* data, std::size_t size) noexcept;
[[nodiscard]] LineBytes count_line_bytes_portable(const std::uint8_t* data, std::size_t size) noexcept;
// Only valid to call when avx2_available().
[[nodiscard]] LineBytes count_line_bytes_avx2(const std::uint8_t* data, std::size_t size) noexcept;

// The vector kernel; only valid to call when avx2_available().
[[nodiscard]] bool valid_utf8_avx2(const std::uint8_t* data, std::size_t size) noexcept;
[[nodiscard]] bool avx2_available() noexcept;

// Turns CR LF and lone CR into LF in place, compacting the text towards the
// front, and returns its new length (never more than `size`). Picks the
// fastest kernel this CPU runs.
[[nodiscard]] std::size_t normalise_line_endings(std::uint8_t* data, std::size_t size) noexcept;

// The portable kernel (a byte search and a move per line).
[[nodiscard]] std::size_t normalise_line_endings_portable(std::uint8_t* data,
                                                          std::size_t size) noexcept;

// The vector kernel; only valid to call when avx512_available().
[[nodiscard]] std::size_t normalise_line_endings_avx512(std::uint8_t* data,
                                                        std::size_t size) noexcept;
[[nodiscard]] bool avx512_available() noexcept;

}  // namespace vela_sha::text
