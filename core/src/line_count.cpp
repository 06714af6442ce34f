#include <bit>
#include <cstring>

#include "text.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELA_SHA_HAVE_AVX2_KERNEL 1
#endif

namespace vela_sha::text {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

// The high bit of each byte of `word` that is zero, and no other bit.
constexpr std::uint64_t zero_bytes(std::uint64_t word) noexcept {
  return ~(((word & kLow7) + kLow7) | word | kLow7);
}

void count_tail(const std::uint8_t* data, std::size_t size, LineBytes& counts) noexcept {
  for (std::size_t i = 0; i < size; ++i) {
    counts.lf += data[i] == '\n';
    counts.cr += data[i] == '\r';
  }
}

}  // namespace

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

LineBytes count_line_bytes_portable(const std::uint8_t* data, std::size_t size) noexcept {
  LineBytes counts;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    counts.lf += static_cast<std::size_t>(std::popcount(zero_bytes(word ^ ('\n' * kOnes))));
    counts.cr += static_cast<std::size_t>(std::popcount(zero_bytes(word ^ ('\r' * kOnes))));
  }
  count_tail(data + i, size - i, counts);
  return counts;
}

#ifdef VELA_SHA_HAVE_AVX2_KERNEL

// Matches are counted in byte lanes (a match is -1, so subtracting adds one)
// and folded into 64-bit sums before any lane can wrap.
__attribute__((target("avx2"))) LineBytes count_line_bytes_avx2(const std::uint8_t* data,
                                                                 std::size_t size) noexcept {
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i zero = _mm256_setzero_si256();
  __m256i lf_sum = zero, cr_sum = zero;
  std::size_t i = 0;
  while (i + 64 <= size) {
    __m256i lf_lanes = zero, cr_lanes = zero;
    // 127 steps of at most two matches per lane stay below 256.
    for (int step = 0; step < 127 && i + 64 <= size; ++step, i += 64) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32));
      lf_lanes = _mm256_sub_epi8(lf_lanes, _mm256_cmpeq_epi8(a, lf));
      cr_lanes = _mm256_sub_epi8(cr_lanes, _mm256_cmpeq_epi8(a, cr));
      lf_lanes = _mm256_sub_epi8(lf_lanes, _mm256_cmpeq_epi8(b, lf));
      cr_lanes = _mm256_sub_epi8(cr_lanes, _mm256_cmpeq_epi8(b, cr));
    }
    lf_sum = _mm256_add_epi64(lf_sum, _mm256_sad_epu8(lf_lanes, zero));
    cr_sum = _mm256_add_epi64(cr_sum, _mm256_sad_epu8(cr_lanes, zero));
  }
  alignas(32) std::uint64_t lf_parts[4], cr_parts[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lf_parts), lf_sum);
  _mm256_store_si256(reinterpret_cast<__m256i*>(cr_parts), cr_sum);
  LineBytes counts{lf_parts[0] + lf_parts[1] + lf_parts[2] + lf_parts[3],
                   cr_parts[0] + cr_parts[1] + cr_parts[2] + cr_parts[3]};
  const LineBytes rest = count_line_bytes_portable(data + i, size - i);
  counts.lf += rest.lf;
  counts.cr += rest.cr;
  return counts;
}

LineBytes count_line_bytes(const std::uint8_t* data, std::size_t size) noexcept {
  if (size >= 64 && avx2_available()) return count_line_bytes_avx2(data, size);
  return count_line_bytes_portable(data, size);
}

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

bool plain_ascii(const std::uint8_t* data, std::size_t size) noexcept {
  if (size >= 128 && avx2_available()) return plain_ascii_avx2(data, size);
  return plain_ascii_portable(data, size);
}

#else

bool plain_ascii_avx2(const std::uint8_t* data, std::size_t size) noexcept {
  return plain_ascii_portable(data, size);
}

bool plain_ascii(const std::uint8_t* data, std::size_t size) noexcept {
  return plain_ascii_portable(data, size);
}

LineBytes count_line_bytes_avx2(const std::uint8_t* data, std::size_t size) noexcept {
  return count_line_bytes_portable(data, size);
}

LineBytes count_line_bytes(const std::uint8_t* data, std::size_t size) noexcept {
  return count_line_bytes_portable(data, size);
}

#endif

}  // namespace vela_sha::text
