// The kernels behind text::scan, one per set of vector instructions, and what
// they share. Each does the whole of scan's work, and gives the same Scanned
// for the same block (bar where an invalid text stops it).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "text.hpp"

namespace vela_sha::text {

[[nodiscard]] Scanned scan_portable(const Block& block, Tail& tail) noexcept;
[[nodiscard]] bool plain_ascii_portable(const std::uint8_t* data, std::size_t size) noexcept;
#if defined(__x86_64__)
[[nodiscard]] Scanned scan_avx2(const Block& block, Tail& tail) noexcept;
[[nodiscard]] bool plain_ascii_avx2(const std::uint8_t* data, std::size_t size) noexcept;
[[nodiscard]] Scanned scan_avx512(const Block& block, Tail& tail) noexcept;
[[nodiscard]] bool plain_ascii_avx512(const std::uint8_t* data, std::size_t size) noexcept;
#endif

// Normalises `size` bytes from `in` into `out` (which may be `in` itself, or
// lie before it: the text moves towards the front) after `tail`, and returns
// how many bytes it wrote.
[[nodiscard]] std::size_t normalise(const std::uint8_t* in, std::size_t size, std::uint8_t* out, Tail tail) noexcept;

// Where the text first changes when normalised: its first CR, or an LF at 0
// that completes a CR LF begun before it; `size` if nowhere.
[[nodiscard]] std::size_t first_change(const std::uint8_t* in, std::size_t size, Tail tail) noexcept;

// The kernels that work in passes over a block while it is in cache (the
// portable one and AVX2's), given how they validate (`Valid`: whether the text
// is valid so far) and count line endings: validation first, so that nothing
// is written unless the block is valid; then the count; then the text is
// normalised from its first change on.
template <bool (*Valid)(const std::uint8_t*, std::size_t, Tail),
          std::uint64_t (*Count)(const std::uint8_t*, std::size_t, Tail)>
[[nodiscard]] Scanned scan_in_passes(const Block& block, Tail& tail) noexcept {
  Scanned scanned;
  const std::size_t change = block.output == Output::Copy ? 0 : first_change(block.in, block.size, tail);
  // Staging holds `room` bytes from the first change on: no more is read.
  std::size_t end = block.size;
  if (block.output == Output::Staging && change < end) end = std::min(end, change + block.room);
  if (!Valid(block.in, end, tail)) {
    scanned.valid = false;  // nothing read: the caller places the error
    return scanned;
  }
  if (block.count_lines) scanned.line_endings = Count(block.in, end, tail);
  scanned.read = end;
  scanned.kept = std::min(change, end);
  const Tail before = tail;
  tail = tail.then(block.in, end);  // before the bytes change in place
  if (scanned.kept < end) {
    std::uint8_t* out = block.output == Output::InPlace ? block.out + scanned.kept : block.out;
    scanned.written = normalise(block.in + scanned.kept, end - scanned.kept, out, before.then(block.in, scanned.kept));
  }
  return scanned;
}

// The UTF-8 rules as three 16-entry tables for the vector validators (after
// Keiser and Lemire, "Validating UTF-8 in less than one instruction per byte",
// 2021). A byte's class is the AND of the entries that the high and low
// nibbles of the byte before it and its own high nibble pick: non-zero where
// the pair breaks a rule. The top bit means "a continuation after a
// continuation", which is an error unless the byte is the third or fourth of
// a sequence; a validator works that out from the lead bytes two and three
// back.
namespace utf8_classes {
inline constexpr std::uint8_t kTooShort = 1 << 0;       // lead byte followed by a lead or ASCII
inline constexpr std::uint8_t kTooLong = 1 << 1;        // ASCII followed by a continuation
inline constexpr std::uint8_t kOverlong3 = 1 << 2;      // E0 80..9F
inline constexpr std::uint8_t kTooLarge = 1 << 3;       // F4 90..BF, or F5..FF
inline constexpr std::uint8_t kSurrogate = 1 << 4;      // ED A0..BF
inline constexpr std::uint8_t kOverlong2 = 1 << 5;      // C0, C1
inline constexpr std::uint8_t kTooLarge1000 = 1 << 6;   // F5..FF 80..8F
inline constexpr std::uint8_t kOverlong4 = 1 << 6;      // F0 80..8F
inline constexpr std::uint8_t kTwoConts = 1 << 7;       // continuation after continuation
inline constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;
inline constexpr std::uint8_t kLarge = kCarry | kTooLarge | kTooLarge1000;
inline constexpr std::uint8_t kCont8 = kTooLong | kOverlong2 | kTwoConts;

// By the high nibble of the byte before.
inline constexpr std::array<std::uint8_t, 16> kBeforeHigh = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
    kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
// By the low nibble of the byte before.
inline constexpr std::array<std::uint8_t, 16> kBeforeLow = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
    kCarry | kTooLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge,
    kLarge, kLarge | kSurrogate, kLarge, kLarge};
// By the byte's own high nibble.
inline constexpr std::array<std::uint8_t, 16> kOwnHigh = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kCont8 | kOverlong3 | kTooLarge1000 | kOverlong4, kCont8 | kOverlong3 | kTooLarge,
    kCont8 | kSurrogate | kTooLarge, kCont8 | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};
}  // namespace utf8_classes

}  // namespace vela_sha::text
