#include "siphash.hpp"

#include <algorithm>

#include "kernel_set.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELA_SHA_HAVE_AVX512_SIPHASH 1
#endif

namespace vela_sha::detail {

#ifdef VELA_SHA_HAVE_AVX512_SIPHASH

bool avx512_siphash_available() noexcept { return using_kernels(KernelSet::Avx512); }

namespace {

// The text's word `w` as SipHash takes it: a whole word, or the last one.
std::uint64_t word_at(const char* text, std::size_t size, std::size_t w) noexcept {
  if (8 * w + 8 > size) return sip_last_word(text, size);
  std::uint64_t word;
  std::memcpy(&word, text + 8 * w, 8);
  return word;
}

}  // namespace

// The four states side by side, one 64-bit lane each; the rotations are single
// instructions here, which is what makes the vector worth it.
#define VELA_SHA_SIPROUND()                                                                              \
  do {                                                                                                   \
    v0 = _mm256_add_epi64(v0, v1), v1 = _mm256_rol_epi64(v1, 13), v1 = _mm256_xor_si256(v1, v0);         \
    v0 = _mm256_rol_epi64(v0, 32);                                                                       \
    v2 = _mm256_add_epi64(v2, v3), v3 = _mm256_rol_epi64(v3, 16), v3 = _mm256_xor_si256(v3, v2);         \
    v0 = _mm256_add_epi64(v0, v3), v3 = _mm256_rol_epi64(v3, 21), v3 = _mm256_xor_si256(v3, v0);         \
    v2 = _mm256_add_epi64(v2, v1), v1 = _mm256_rol_epi64(v1, 17), v1 = _mm256_xor_si256(v1, v2);         \
    v2 = _mm256_rol_epi64(v2, 32);                                                                       \
  } while (false)

__attribute__((target("avx2,avx512f,avx512vl"))) void siphash13_x4_avx512(
    const SipKey (&keys)[4], const char* const (&texts)[4], const std::size_t (&sizes)[4],
    std::uint64_t (&out)[4]) noexcept {
  const __m256i k0 = _mm256_set_epi64x(static_cast<long long>(keys[3].k0), static_cast<long long>(keys[2].k0),
                                       static_cast<long long>(keys[1].k0), static_cast<long long>(keys[0].k0));
  const __m256i k1 = _mm256_set_epi64x(static_cast<long long>(keys[3].k1), static_cast<long long>(keys[2].k1),
                                       static_cast<long long>(keys[1].k1), static_cast<long long>(keys[0].k1));
  __m256i v0 = _mm256_xor_si256(k0, _mm256_set1_epi64x(0x736f6d6570736575LL));
  __m256i v1 = _mm256_xor_si256(k1, _mm256_set1_epi64x(0x646f72616e646f6dLL));
  __m256i v2 = _mm256_xor_si256(k0, _mm256_set1_epi64x(0x6c7967656e657261LL));
  __m256i v3 = _mm256_xor_si256(k1, _mm256_set1_epi64x(0x7465646279746573LL));
  // Each text takes size / 8 + 1 words, the last one built from its tail.
  std::size_t words[4], common = sizes[0] / 8, most = 0;
  for (std::size_t l = 0; l < 4; ++l) {
    words[l] = sizes[l] / 8 + 1;
    common = std::min(common, sizes[l] / 8);
    most = std::max(most, words[l]);
  }
  auto load = [](const char* p) {
    long long word;
    std::memcpy(&word, p, 8);
    return word;
  };
  // The whole words every text has.
  for (std::size_t at = 0; at < 8 * common; at += 8) {
    const __m256i m = _mm256_set_epi64x(load(texts[3] + at), load(texts[2] + at), load(texts[1] + at),
                                        load(texts[0] + at));
    v3 = _mm256_xor_si256(v3, m);
    VELA_SHA_SIPROUND();
    v0 = _mm256_xor_si256(v0, m);
  }
  // The rest, each lane only as far as its own text goes.
  const __m256i ends = _mm256_set_epi64x(static_cast<long long>(words[3]), static_cast<long long>(words[2]),
                                         static_cast<long long>(words[1]), static_cast<long long>(words[0]));
  for (std::size_t w = common; w < most; ++w) {
    alignas(32) std::uint64_t lanes[4];
    for (std::size_t l = 0; l < 4; ++l) lanes[l] = w < words[l] ? word_at(texts[l], sizes[l], w) : 0;
    const __m256i m = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
    const __mmask8 active = _mm256_cmpgt_epu64_mask(ends, _mm256_set1_epi64x(static_cast<long long>(w)));
    const __m256i s0 = v0, s1 = v1, s2 = v2, s3 = v3;
    v3 = _mm256_xor_si256(v3, m);
    VELA_SHA_SIPROUND();
    v0 = _mm256_xor_si256(v0, m);
    v0 = _mm256_mask_blend_epi64(active, s0, v0);
    v1 = _mm256_mask_blend_epi64(active, s1, v1);
    v2 = _mm256_mask_blend_epi64(active, s2, v2);
    v3 = _mm256_mask_blend_epi64(active, s3, v3);
  }
  v2 = _mm256_xor_si256(v2, _mm256_set1_epi64x(0xFF));
  VELA_SHA_SIPROUND();
  VELA_SHA_SIPROUND();
  VELA_SHA_SIPROUND();
  const __m256i hashes = _mm256_xor_si256(_mm256_xor_si256(v0, v1), _mm256_xor_si256(v2, v3));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), hashes);
}

#undef VELA_SHA_SIPROUND

#else

bool avx512_siphash_available() noexcept { return false; }

void siphash13_x4_avx512(const SipKey (&keys)[4], const char* const (&texts)[4], const std::size_t (&sizes)[4],
                         std::uint64_t (&out)[4]) noexcept {
  siphash_lanes<1, 3>(keys, texts, sizes, out);
}

#endif

void siphash13_x4(const SipKey (&keys)[4], const char* const (&texts)[4], const std::size_t (&sizes)[4],
                  std::uint64_t (&out)[4]) noexcept {
  if (avx512_siphash_available()) return siphash13_x4_avx512(keys, texts, sizes, out);
  siphash_lanes<1, 3>(keys, texts, sizes, out);
}

}  // namespace vela_sha::detail
