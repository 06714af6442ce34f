// Byte-level text kernels behind the template digest. Internal to the
// library; exposed in a header so the tests can hold each against a reference.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela_sha::text {

// Each kernel below runs the widest set of vector kernels in use (see
// kernel_set.hpp), or its portable twin.

// Strict RFC 3629 validation: rejects truncated sequences, stray continuation
// bytes, overlong forms, encoded surrogates and values above U+10FFFF.
[[nodiscard]] bool valid_utf8(const std::uint8_t* data, std::size_t size) noexcept;

// Where validation fails: the offset of the lead byte of the first invalid or
// cut-off sequence (what Python's decoder reports as the error's start), or
// `size` if the text is valid. Portable only: it runs once a kernel said no,
// and as the portable validator.
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
// already normalised, the common case, told in one pass.
[[nodiscard]] bool plain_ascii(const std::uint8_t* data, std::size_t size) noexcept;

// How many LF and CR bytes a text holds.
struct LineBytes {
  std::size_t lf = 0, cr = 0;
};

[[nodiscard]] LineBytes count_line_bytes(const std::uint8_t* data, std::size_t size) noexcept;

// Turns CR LF and lone CR into LF in place, compacting the text towards the
// front, and returns its new length (never more than `size`).
[[nodiscard]] std::size_t normalise_line_endings(std::uint8_t* data, std::size_t size) noexcept;

}  // namespace vela_sha::text
