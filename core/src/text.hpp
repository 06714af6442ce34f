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

// The vector kernel; only valid to call when avx2_available().
[[nodiscard]] bool valid_utf8_avx2(const std::uint8_t* data, std::size_t size) noexcept;
[[nodiscard]] bool avx2_available() noexcept;

// Writes `size` bytes of text to `out` with CR LF and lone CR turned into LF and
// returns how many bytes it wrote (never more than `size`). `out` must have
// room for `size` bytes and must not overlap `data`.
[[nodiscard]] std::size_t normalise_line_endings(const std::uint8_t* data, std::size_t size,
                                                 std::uint8_t* out) noexcept;

}  // namespace vela_sha::text
