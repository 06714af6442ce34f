// UTF-8 validation a character at a time (ASCII runs a word at a time): the
// portable validator, and what places the error a vector validator found.
#include <algorithm>
#include <cstring>

#include "text.hpp"

namespace vela_sha::text {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Index of the first byte at or after `i` that is not ASCII, or `size`.
std::size_t skip_ascii(const std::uint8_t* data, std::size_t i, std::size_t size) noexcept {
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    if (word & kHighBits) break;
  }
  while (i < size && data[i] < 0x80) ++i;
  return i;
}

// Whether bytes [from, to) may follow as positions `from`.. of the sequence
// `lead` starts.
bool continues(std::uint8_t lead, const std::uint8_t* bytes, std::size_t from, std::size_t to) noexcept {
  for (std::size_t k = from; k < to; ++k) {
    if (!utf8_continuation_ok(lead, k, bytes[k - from])) return false;
  }
  return true;
}

}  // namespace

unsigned Tail::open() const noexcept {
  for (int k = 1; k <= 3; ++k) {
    const std::uint8_t byte = back(k);
    if (byte < 0x80) return 0;
    // A byte that can start nothing waits as if it could.
    const int wants = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    if (byte >= 0xC0) return wants > k ? static_cast<unsigned>(k) : 0;
  }
  return 0;
}

std::ptrdiff_t find_invalid_utf8(const std::uint8_t* data, std::size_t size, Tail tail) noexcept {
  std::size_t i = 0;
  // First the rest of a sequence the tail left open.
  if (const unsigned open = tail.open(); open != 0) {
    const std::uint8_t lead = tail.back(static_cast<int>(open));
    if (utf8_sequence_length(lead) == 0) return -static_cast<std::ptrdiff_t>(open);
    const std::size_t rest = std::min(utf8_sequence_length(lead) - open, size);
    if (!continues(lead, data, open, open + rest)) return -static_cast<std::ptrdiff_t>(open);
    i = rest;
  }
  while (i < size) {
    if (data[i] < 0x80) {
      i = skip_ascii(data, i, size);
      continue;
    }
    const std::uint8_t lead = data[i];
    const std::size_t length = utf8_sequence_length(lead);
    if (length == 0) return static_cast<std::ptrdiff_t>(i);
    // A sequence cut off by the end is judged by the bytes it has.
    const std::size_t have = std::min(length, size - i);
    if (!continues(lead, data + i + 1, 1, have)) return static_cast<std::ptrdiff_t>(i);
    i += length;
  }
  return static_cast<std::ptrdiff_t>(size);
}

}  // namespace vela_sha::text
