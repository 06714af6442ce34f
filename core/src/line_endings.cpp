// Line-ending kernels: counting LF and CR, and turning CR LF and lone CR into LF.
#include <bit>
#include <cstring>

#include "kernel_set.hpp"
#include "text.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
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

// Compaction in place: the write position never passes the read position, and
// no kernel writes a byte it has not yet read, so the input can be consumed
// and overwritten in the same pass.
std::size_t normalise_line_endings_portable(std::uint8_t* data, std::size_t size) noexcept {
  std::size_t read = 0, write = 0;
  while (read < size) {
    const void* found = std::memchr(data + read, '\r', size - read);
    const std::size_t cr =
        found ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data) : size;
    if (write != read) std::memmove(data + write, data + read, cr - read);
    write += cr - read;
    if (cr == size) break;
    // The byte after a CR is examined afresh, so CR CR LF gives LF LF.
    data[write++] = '\n';
    read = cr + 1;
    if (read < size && data[read] == '\n') ++read;
  }
  return write;
}

#if defined(__x86_64__)

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

// 64 bytes a step: every CR becomes LF, the CR of each CR LF pair is dropped,
// and what is kept is compressed to the front and written with a masked
// store that touches exactly the bytes kept.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2"))) std::size_t
normalise_line_endings_avx512(std::uint8_t* data, std::size_t size) noexcept {
  const __m512i cr = _mm512_set1_epi8('\r');
  const __m512i lf = _mm512_set1_epi8('\n');
  std::size_t read = 0, write = 0;
  // Each step also reads the byte after its block, to see whether a CR in the
  // last lane is followed by LF.
  for (; read + 65 <= size; read += 64) {
    const __m512i block = _mm512_loadu_si512(data + read);
    const __m512i next = _mm512_loadu_si512(data + read + 1);
    const __mmask64 is_cr = _mm512_cmpeq_epi8_mask(block, cr);
    if (is_cr == 0 && write == read) {
      write += 64;  // nothing to change and nothing to move
      continue;
    }
    const __mmask64 keep = ~(is_cr & _mm512_cmpeq_epi8_mask(next, lf));
    const __m512i fixed = _mm512_mask_mov_epi8(block, is_cr, lf);
    const __m512i packed = _mm512_maskz_compress_epi8(keep, fixed);
    const auto kept = static_cast<unsigned>(_mm_popcnt_u64(keep));
    _mm512_mask_storeu_epi8(data + write, _bzhi_u64(~0ULL, kept), packed);
    write += kept;
  }
  if (write != read) std::memmove(data + write, data + read, size - read);
  return write + normalise_line_endings_portable(data + write, size - read);
}

#endif

}  // namespace

LineBytes count_line_bytes(const std::uint8_t* data, std::size_t size) noexcept {
#if defined(__x86_64__)
  if (size >= 64 && detail::using_kernels(detail::KernelSet::Avx2)) return count_line_bytes_avx2(data, size);
#endif
  return count_line_bytes_portable(data, size);
}

std::size_t normalise_line_endings(std::uint8_t* data, std::size_t size) noexcept {
#if defined(__x86_64__)
  if (detail::using_kernels(detail::KernelSet::Avx512)) return normalise_line_endings_avx512(data, size);
#endif
  return normalise_line_endings_portable(data, size);
}

}  // namespace vela_sha::text
