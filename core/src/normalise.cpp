#include <cstring>

#include "text.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELA_SHA_HAVE_AVX512_KERNEL 1
#endif

namespace vela_sha::text {

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

#ifdef VELA_SHA_HAVE_AVX512_KERNEL

bool avx512_available() noexcept {
  static const bool available = __builtin_cpu_supports("avx512bw") &&
                                __builtin_cpu_supports("avx512vbmi2") &&
                                __builtin_cpu_supports("bmi2");
  return available;
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

#else

bool avx512_available() noexcept { return false; }
std::size_t normalise_line_endings_avx512(std::uint8_t* data, std::size_t size) noexcept {
  return normalise_line_endings_portable(data, size);
}

#endif

std::size_t normalise_line_endings(std::uint8_t* data, std::size_t size) noexcept {
  if (avx512_available()) return normalise_line_endings_avx512(data, size);
  return normalise_line_endings_portable(data, size);
}

}  // namespace vela_sha::text
