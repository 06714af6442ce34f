// SipHash (Aumasson and Bernstein, 2012): a keyed hash short inputs can't
// collide under without the key. c compression rounds per 8-byte word, d
// finalisation rounds; SipHash-1-3 keys the composition source set.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vela_sha::detail {

struct SipKey {
  std::uint64_t k0, k1;
};

// A text's last word as SipHash takes it: the bytes after its whole words,
// with the length in the top byte. Read as the top of the text's last eight
// bytes where there are eight, so that no byte-wise loop is needed.
[[nodiscard]] inline std::uint64_t sip_last_word(const char* text, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const std::size_t rest = size % 8;
  std::uint64_t last = 0;
  if (std::endian::native == std::endian::little && size >= 8) {
    std::memcpy(&last, p + size - 8, 8);
    last = rest == 0 ? 0 : last >> (64 - 8 * rest);
  } else {
    for (std::size_t k = 0; k < rest; ++k) last |= static_cast<std::uint64_t>(p[size - rest + k]) << (8 * k);
  }
  return last | static_cast<std::uint64_t>(size & 0xFF) << 56;
}

template <int C, int D>
[[nodiscard]] inline std::uint64_t siphash(const SipKey& key, std::string_view message) noexcept {
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ key.k0;
  std::uint64_t v1 = 0x646f72616e646f6dULL ^ key.k1;
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ key.k0;
  std::uint64_t v3 = 0x7465646279746573ULL ^ key.k1;
  auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  auto round = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  auto compress = [&](std::uint64_t m) {
    v3 ^= m;
    for (int i = 0; i < C; ++i) round();
    v0 ^= m;
  };
  // Words are read little-endian, as the algorithm defines them.
  auto load = [](const unsigned char* p, std::size_t n) {
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < n; ++i) m |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return m;
  };
  const auto* p = reinterpret_cast<const unsigned char*>(message.data());
  const std::size_t size = message.size();
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t m;
    std::memcpy(&m, p + i, 8);
    if constexpr (std::endian::native == std::endian::big) m = load(p + i, 8);
    compress(m);
  }
  compress(sip_last_word(message.data(), size));
  v2 ^= 0xFF;
  for (int r = 0; r < D; ++r) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// SipHash of N texts at once, each under its own key: the same values as N
// calls of siphash(), but the N chains of dependent rounds run side by side,
// so that the processor works on all of them in the time it would wait on one.
template <int C, int D, std::size_t N>
inline void siphash_lanes(const SipKey (&keys)[N], const char* const (&texts)[N], const std::size_t (&sizes)[N],
                          std::uint64_t (&out)[N]) noexcept {
  std::uint64_t v0[N], v1[N], v2[N], v3[N];
  std::size_t common = sizes[0] / 8;
  for (std::size_t l = 0; l < N; ++l) {
    v0[l] = 0x736f6d6570736575ULL ^ keys[l].k0;
    v1[l] = 0x646f72616e646f6dULL ^ keys[l].k1;
    v2[l] = 0x6c7967656e657261ULL ^ keys[l].k0;
    v3[l] = 0x7465646279746573ULL ^ keys[l].k1;
    common = std::min(common, sizes[l] / 8);
  }
  auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  // One round of lane `l`; rounds of all lanes, an operation at a time.
  auto round = [&](std::size_t l) {
    v0[l] += v1[l]; v1[l] = rotl(v1[l], 13); v1[l] ^= v0[l]; v0[l] = rotl(v0[l], 32);
    v2[l] += v3[l]; v3[l] = rotl(v3[l], 16); v3[l] ^= v2[l];
    v0[l] += v3[l]; v3[l] = rotl(v3[l], 21); v3[l] ^= v0[l];
    v2[l] += v1[l]; v1[l] = rotl(v1[l], 17); v1[l] ^= v2[l]; v2[l] = rotl(v2[l], 32);
  };
  auto load = [](const char* p) {
    std::uint64_t m;
    std::memcpy(&m, p, 8);
    if constexpr (std::endian::native == std::endian::big) m = std::byteswap(m);
    return m;
  };
  // The words every text has, in lockstep.
  for (std::size_t w = 0; w < common; ++w) {
    std::uint64_t m[N];
    for (std::size_t l = 0; l < N; ++l) m[l] = load(texts[l] + 8 * w);
    for (std::size_t l = 0; l < N; ++l) v3[l] ^= m[l];
    for (int c = 0; c < C; ++c) {
      for (std::size_t l = 0; l < N; ++l) round(l);
    }
    for (std::size_t l = 0; l < N; ++l) v0[l] ^= m[l];
  }
  // Each text's own remaining words and its last, partial one.
  for (std::size_t l = 0; l < N; ++l) {
    const std::size_t size = sizes[l];
    std::size_t i = 8 * common;
    auto compress = [&](std::uint64_t m) {
      v3[l] ^= m;
      for (int c = 0; c < C; ++c) round(l);
      v0[l] ^= m;
    };
    for (; i + 8 <= size; i += 8) compress(load(texts[l] + i));
    compress(sip_last_word(texts[l], size));
  }
  for (std::size_t l = 0; l < N; ++l) v2[l] ^= 0xFF;
  for (int r = 0; r < D; ++r) {
    for (std::size_t l = 0; l < N; ++l) round(l);
  }
  for (std::size_t l = 0; l < N; ++l) out[l] = v0[l] ^ v1[l] ^ v2[l] ^ v3[l];
}

}  // namespace vela_sha::detail

namespace vela_sha::detail {

// SipHash-1-3 of four texts, each under its own key: what four calls of
// siphash<1, 3>() give, with the vector kernel where the processor has one.
void siphash13_x4(const SipKey (&keys)[4], const char* const (&texts)[4], const std::size_t (&sizes)[4],
                  std::uint64_t (&out)[4]) noexcept;

// The AVX-512 kernel, and whether this processor runs it (for tests: only
// valid to call where it does).
[[nodiscard]] bool avx512_siphash_available() noexcept;
void siphash13_x4_avx512(const SipKey (&keys)[4], const char* const (&texts)[4], const std::size_t (&sizes)[4],
                         std::uint64_t (&out)[4]) noexcept;

}  // namespace vela_sha::detail
