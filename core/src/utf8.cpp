#include <cstring>

#include "kernel_set.hpp"
#include "text.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vela_sha::text {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

// The high bit of each byte of `word` that is zero, and no other bit.
constexpr std::uint64_t zero_bytes(std::uint64_t word) noexcept {
  return ~(((word & kLow7) + kLow7) | word | kLow7);
}

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

bool plain_ascii_portable(const std::uint8_t* data, std::size_t size) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    if ((word & (0x80 * kOnes)) != 0 || zero_bytes(word ^ ('\r' * kOnes)) != 0) return false;
  }
  for (; i < size; ++i) {
    if (data[i] >= 0x80 || data[i] == '\r') return false;
  }
  return true;
}

}  // namespace

std::size_t first_invalid_utf8(const std::uint8_t* data, std::size_t size) noexcept {
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t lead = data[i];
    if (lead < 0x80) {
      i = skip_ascii(data, i, size);
      continue;
    }
    const std::size_t length = utf8_sequence_length(lead);
    if (length == 0 || size - i < length) return i;
    for (std::size_t k = 1; k < length; ++k) {
      if (!utf8_continuation_ok(lead, k, data[i + k])) return i;
    }
    i += length;
  }
  return size;
}

#if defined(__x86_64__)

namespace {

// 128 bytes a step: their high bits and their CRs gathered, one test each.
__attribute__((target("avx2"))) bool plain_ascii_avx2(const std::uint8_t* data, std::size_t size) noexcept {
  const __m256i cr = _mm256_set1_epi8('\r');
  std::size_t i = 0;
  for (; i + 128 <= size; i += 128) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 64));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 96));
    const __m256i high = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
    const __m256i crs = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(a, cr), _mm256_cmpeq_epi8(b, cr)),
        _mm256_or_si256(_mm256_cmpeq_epi8(c, cr), _mm256_cmpeq_epi8(d, cr)));
    if (_mm256_movemask_epi8(_mm256_or_si256(high, crs)) != 0) return false;
  }
  return plain_ascii_portable(data + i, size - i);
}

// Lookup-table validation: every byte is classified by three nibbles (the
// high and low nibble of the byte before it, and its own high nibble); the AND
// of the three tables is non-zero exactly where a two-byte rule is broken.
// Bytes that must be the 2nd or 3rd continuation of a longer sequence are
// found from the bytes two and three back. Each 32-byte block is checked
// against the last bytes of the block before it.
constexpr std::uint8_t kTooShort = 1 << 0;   // lead byte followed by a lead or ASCII
constexpr std::uint8_t kTooLong = 1 << 1;    // ASCII followed by a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;   // F4 90..BF, or F5..FF
constexpr std::uint8_t kSurrogate = 1 << 4;  // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;  // C0, C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;      // continuation after continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

__attribute__((target("avx2"))) inline __m256i table(std::uint8_t t0, std::uint8_t t1,
    std::uint8_t t2, std::uint8_t t3, std::uint8_t t4, std::uint8_t t5, std::uint8_t t6,
    std::uint8_t t7, std::uint8_t t8, std::uint8_t t9, std::uint8_t t10, std::uint8_t t11,
    std::uint8_t t12, std::uint8_t t13, std::uint8_t t14, std::uint8_t t15) noexcept {
  return _mm256_setr_epi8(t0, t1, t2, t3, t4, t5, t6, t7, t8, t9, t10, t11, t12, t13, t14, t15,
                          t0, t1, t2, t3, t4, t5, t6, t7, t8, t9, t10, t11, t12, t13, t14, t15);
}

// The bytes of `input` shifted in from the end of `previous`: lane i holds
// the byte `N` positions before input[i].
template <int N>
__attribute__((target("avx2"))) inline __m256i shifted(__m256i input, __m256i previous) noexcept {
  const __m256i straddle = _mm256_permute2x128_si256(previous, input, 0x21);
  return _mm256_alignr_epi8(input, straddle, 16 - N);
}

__attribute__((target("avx2"))) inline __m256i high_nibbles(__m256i v) noexcept {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

struct Avx2Checker {
  __m256i error;
  __m256i previous;
  __m256i previous_incomplete;

  __attribute__((target("avx2"))) Avx2Checker() noexcept
      : error(_mm256_setzero_si256()),
        previous(_mm256_setzero_si256()),
        previous_incomplete(_mm256_setzero_si256()) {}

  __attribute__((target("avx2"))) void check(__m256i input) noexcept {
    if (_mm256_movemask_epi8(input) == 0) {
      // An ASCII block only fails if the block before left a sequence open.
      error = _mm256_or_si256(error, previous_incomplete);
      previous_incomplete = _mm256_setzero_si256();
      previous = input;
      return;
    }
    const __m256i prev1 = shifted<1>(input, previous);
    const __m256i byte_1_high = _mm256_shuffle_epi8(
        table(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
              kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
              kTooShort | kOverlong3 | kSurrogate,
              kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
        high_nibbles(prev1));
    constexpr std::uint8_t kLarge = kCarry | kTooLarge | kTooLarge1000;
    const __m256i byte_1_low = _mm256_shuffle_epi8(
        table(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
              kCarry | kTooLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge,
              kLarge, kLarge | kSurrogate, kLarge, kLarge),
        _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)));
    constexpr std::uint8_t kCont8 = kTooLong | kOverlong2 | kTwoConts;
    const __m256i byte_2_high = _mm256_shuffle_epi8(
        table(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
              kTooShort, kCont8 | kOverlong3 | kTooLarge1000 | kOverlong4,
              kCont8 | kOverlong3 | kTooLarge, kCont8 | kSurrogate | kTooLarge,
              kCont8 | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort, kTooShort),
        high_nibbles(input));
    const __m256i special =
        _mm256_and_si256(_mm256_and_si256(byte_1_high, byte_1_low), byte_2_high);

    // Only bytes two back >= E0 or three back >= F0 land at or above 0x80 here.
    const __m256i third = _mm256_subs_epu8(shifted<2>(input, previous), _mm256_set1_epi8(0x60));
    const __m256i fourth = _mm256_subs_epu8(shifted<3>(input, previous), _mm256_set1_epi8(0x70));
    const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth),
                                                   _mm256_set1_epi8(static_cast<char>(0x80)));
    error = _mm256_or_si256(error, _mm256_xor_si256(must_continue, special));

    // A lead byte in the last three lanes whose sequence runs past the block.
    const __m256i limits = _mm256_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xEF), static_cast<char>(0xDF),
        static_cast<char>(0xBF));
    previous_incomplete = _mm256_subs_epu8(input, limits);
    previous = input;
  }

  __attribute__((target("avx2"))) bool failed() const noexcept {
    return !_mm256_testz_si256(error, error);
  }
};

__attribute__((target("avx2"))) bool valid_utf8_avx2(const std::uint8_t* data,
                                                     std::size_t size) noexcept {
  Avx2Checker checker;
  std::size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32));
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0 &&
        _mm256_testz_si256(checker.previous_incomplete, checker.previous_incomplete)) {
      checker.previous = b;  // all ASCII: nothing to check, nothing left open
      continue;
    }
    checker.check(a);
    checker.check(b);
    if (checker.failed()) return false;
  }
  if (checker.failed()) return false;
  // Everything before `i` is consistent with its neighbours; a sequence still
  // open at `i` is re-read from its lead byte with the rest of the input.
  std::size_t restart = i;
  if (i >= 1 && data[i - 1] >= 0xC0) {
    restart = i - 1;
  } else if (i >= 2 && data[i - 2] >= 0xE0) {
    restart = i - 2;
  } else if (i >= 3 && data[i - 3] >= 0xF0) {
    restart = i - 3;
  }
  return first_invalid_utf8(data + restart, size - restart) == size - restart;
}

}  // namespace

#endif

bool valid_utf8(const std::uint8_t* data, std::size_t size) noexcept {
#if defined(__x86_64__)
  // Below a block the vector kernel has nothing to gain.
  if (size >= 64 && detail::using_kernels(detail::KernelSet::Avx2)) return valid_utf8_avx2(data, size);
#endif
  return first_invalid_utf8(data, size) == size;
}

bool plain_ascii(const std::uint8_t* data, std::size_t size) noexcept {
#if defined(__x86_64__)
  if (size >= 128 && detail::using_kernels(detail::KernelSet::Avx2)) return plain_ascii_avx2(data, size);
#endif
  return plain_ascii_portable(data, size);
}

}  // namespace vela_sha::text
