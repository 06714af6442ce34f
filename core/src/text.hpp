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
