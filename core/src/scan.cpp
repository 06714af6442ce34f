// text::scan's portable kernel, the line-ending work the kernels share, and
// the choice of kernel.
#include <bit>
#include <cstring>

#include "kernel_set.hpp"
#include "scan_kernels.hpp"

namespace vela_sha::text {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

// The high bit of each byte of `word` that is zero, and no other bit.
constexpr std::uint64_t zero_bytes(std::uint64_t word) noexcept {
  return ~(((word & kLow7) + kLow7) | word | kLow7);
}

// How many bytes equal to `byte` `data` holds.
std::uint64_t count(const std::uint8_t* data, std::size_t size, std::uint8_t byte) noexcept {
  std::uint64_t found = 0;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    found += static_cast<std::uint64_t>(std::popcount(zero_bytes(word ^ (byte * kOnes))));
  }
  for (; i < size; ++i) found += data[i] == byte;
  return found;
}

const std::uint8_t* find_cr(const std::uint8_t* from, const std::uint8_t* end) noexcept {
  if (from == end) return end;
  const void* found = std::memchr(from, '\r', static_cast<std::size_t>(end - from));
  return found != nullptr ? static_cast<const std::uint8_t*>(found) : end;
}

}  // namespace

std::uint64_t count_line_endings(const std::uint8_t* data, std::size_t size, Tail tail) noexcept {
  // Each CR ends a line, and so does each LF but the second byte of a CR LF.
  std::uint64_t pairs = size != 0 && tail.after_cr() && data[0] == '\n';
  for (const std::uint8_t* cr = find_cr(data, data + size); cr + 1 < data + size; cr = find_cr(cr + 1, data + size)) {
    pairs += cr[1] == '\n';
  }
  return count(data, size, '\r') + count(data, size, '\n') - pairs;
}

std::size_t first_change(const std::uint8_t* in, std::size_t size, Tail tail) noexcept {
  if (size != 0 && tail.after_cr() && in[0] == '\n') return 0;
  return static_cast<std::size_t>(find_cr(in, in + size) - in);
}

std::size_t normalise(const std::uint8_t* in, std::size_t size, std::uint8_t* out, Tail tail) noexcept {
  // A line at a time: the bytes up to a CR move as they are, the CR becomes an
  // LF, and an LF right after it goes. memmove, since `out` may overlap `in`.
  const std::uint8_t* read = in;
  const std::uint8_t* const end = in + size;
  std::uint8_t* write = out;
  if (read != end && tail.after_cr() && *read == '\n') ++read;
  while (read != end) {
    const std::uint8_t* cr = find_cr(read, end);
    const auto length = static_cast<std::size_t>(cr - read);
    if (write != read) std::memmove(write, read, length);
    write += length;
    if (cr == end) break;
    *write++ = '\n';
    read = cr + 1;
    if (read != end && *read == '\n') ++read;
  }
  return static_cast<std::size_t>(write - out);
}

namespace {

bool valid_portable(const std::uint8_t* in, std::size_t size, Tail tail) noexcept {
  return find_invalid_utf8(in, size, tail) == static_cast<std::ptrdiff_t>(size);
}

}  // namespace

Scanned scan_portable(const Block& block, Tail& tail) noexcept {
  return scan_in_passes<valid_portable, count_line_endings>(block, tail);
}

bool plain_ascii_portable(const std::uint8_t* data, std::size_t size) noexcept {
  // Bit 7 of a byte of `marks`: a byte from 0x80 up, or a CR.
  std::uint64_t marks = 0;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    marks |= word | zero_bytes(word ^ ('\r' * kOnes));
  }
  for (; i < size; ++i) marks |= data[i] | (data[i] == '\r' ? 0x80U : 0U);
  return (marks & ~kLow7) == 0;
}

namespace {

// Of one kernel per set, the one of the set in use (see kernel_set.hpp).
template <class Kernel>
Kernel in_use(Kernel portable, [[maybe_unused]] Kernel avx2, [[maybe_unused]] Kernel avx512) noexcept {
#if defined(__x86_64__)
  switch (detail::kernel_set()) {
    case detail::KernelSet::Avx512:
      return avx512;
    case detail::KernelSet::Avx2:
      return avx2;
    case detail::KernelSet::Portable:
      break;
  }
#endif
  return portable;
}

#if defined(__x86_64__)
#define VELA_SHA_EACH_SET(kernel) kernel##_portable, kernel##_avx2, kernel##_avx512
#else
#define VELA_SHA_EACH_SET(kernel) kernel##_portable, kernel##_portable, kernel##_portable
#endif

}  // namespace

Scanned scan(const Block& block, Tail& tail) noexcept { return in_use(VELA_SHA_EACH_SET(scan))(block, tail); }

bool plain_ascii(const std::uint8_t* data, std::size_t size) noexcept {
  return in_use(VELA_SHA_EACH_SET(plain_ascii))(data, size);
}

}  // namespace vela_sha::text
