// text::scan with AVX2: the block validated and its line endings counted 64
// bytes at a time, then normalised with the portable code.
#if defined(__x86_64__)
#include <immintrin.h>

#include <bit>

#include "scan_kernels.hpp"

#define VELA_SHA_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt")))

namespace vela_sha::text {
namespace {

VELA_SHA_AVX2 inline __m256i table(const std::array<std::uint8_t, 16>& entries) noexcept {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(entries.data())));
}

// The bytes of `input` shifted in from the end of `previous`: lane i holds
// the byte `N` positions before input[i].
template <int N>
VELA_SHA_AVX2 inline __m256i shifted(__m256i input, __m256i previous) noexcept {
  const __m256i straddle = _mm256_permute2x128_si256(previous, input, 0x21);
  return _mm256_alignr_epi8(input, straddle, 16 - N);
}

VELA_SHA_AVX2 inline __m256i high_nibbles(__m256i v) noexcept {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// The UTF-8 rules 32 bytes at a time (see utf8_classes), each block checked
// against the last three bytes before it.
struct Checker {
  __m256i error = _mm256_setzero_si256();
  __m256i previous;
  __m256i previous_incomplete;  // non-zero where `previous` ends inside a sequence

  VELA_SHA_AVX2 explicit Checker(Tail tail) noexcept
      : previous(_mm256_insert_epi32(_mm256_setzero_si256(), static_cast<int>(tail.bytes), 7)),
        previous_incomplete(incomplete(previous)) {}

  VELA_SHA_AVX2 static __m256i incomplete(__m256i input) noexcept {
    // A lead byte in the last three lanes whose sequence runs past the block.
    const __m256i limits = _mm256_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xEF), static_cast<char>(0xDF), static_cast<char>(0xBF));
    return _mm256_subs_epu8(input, limits);
  }

  VELA_SHA_AVX2 void check(__m256i input) noexcept {
    using namespace utf8_classes;
    if (_mm256_movemask_epi8(input) == 0) {
      // An ASCII block only fails if the block before left a sequence open.
      error = _mm256_or_si256(error, previous_incomplete);
      previous_incomplete = _mm256_setzero_si256();
      previous = input;
      return;
    }
    const __m256i prev1 = shifted<1>(input, previous);
    const __m256i byte_1_high = _mm256_shuffle_epi8(table(kBeforeHigh), high_nibbles(prev1));
    const __m256i byte_1_low = _mm256_shuffle_epi8(table(kBeforeLow), _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)));
    const __m256i byte_2_high = _mm256_shuffle_epi8(table(kOwnHigh), high_nibbles(input));
    const __m256i special = _mm256_and_si256(_mm256_and_si256(byte_1_high, byte_1_low), byte_2_high);
    // Only bytes two back >= E0 or three back >= F0 land at or above 0x80 here.
    const __m256i third = _mm256_subs_epu8(shifted<2>(input, previous), _mm256_set1_epi8(0x60));
    const __m256i fourth = _mm256_subs_epu8(shifted<3>(input, previous), _mm256_set1_epi8(0x70));
    const __m256i must_continue =
        _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    error = _mm256_or_si256(error, _mm256_xor_si256(must_continue, special));
    previous_incomplete = incomplete(input);
    previous = input;
  }

  [[nodiscard]] VELA_SHA_AVX2 bool failed() const noexcept { return !_mm256_testz_si256(error, error); }
};

VELA_SHA_AVX2 bool valid_avx2(const std::uint8_t* in, std::size_t size, Tail tail) noexcept {
  Checker checker(tail);
  std::size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 32));
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0 &&
        _mm256_testz_si256(checker.previous_incomplete, checker.previous_incomplete)) {
      checker.previous = b;  // all ASCII: nothing to check, nothing left open
      continue;
    }
    checker.check(a);
    checker.check(b);
    if (checker.failed()) return false;
  }
  // The rest a character at a time, a sequence still open at `i` included.
  return find_invalid_utf8(in + i, size - i, tail.then(in, i)) == static_cast<std::ptrdiff_t>(size - i);
}

// CR and LF found 32 bytes at a time as bit masks: each CR ends a line, and
// so does each LF that does not follow a CR.
VELA_SHA_AVX2 std::uint64_t count_line_endings_avx2(const std::uint8_t* in, std::size_t size, Tail tail) noexcept {
  std::uint64_t endings = 0;
  std::uint32_t after_cr = tail.after_cr();
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const auto cr = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r'))));
    const auto lf = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n'))));
    endings += static_cast<std::uint64_t>(std::popcount(cr) + std::popcount(lf & ~(cr << 1 | after_cr)));
    after_cr = cr >> 31;
  }
  return endings + count_line_endings(in + i, size - i, tail.then(in, i));
}

}  // namespace

VELA_SHA_AVX2 bool plain_ascii_avx2(const std::uint8_t* data, std::size_t size) noexcept {
  const __m256i cr = _mm256_set1_epi8('\r');
  std::size_t at = 0;
  for (; at + 32 <= size; at += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
    // Bit 7: a byte from 0x80 up, or a CR.
    if (_mm256_movemask_epi8(_mm256_or_si256(v, _mm256_cmpeq_epi8(v, cr))) != 0) return false;
  }
  return plain_ascii_portable(data + at, size - at);
}

Scanned scan_avx2(const Block& block, Tail& tail) noexcept {
  return scan_in_passes<valid_avx2, count_line_endings_avx2>(block, tail);
}

}  // namespace vela_sha::text
#endif
