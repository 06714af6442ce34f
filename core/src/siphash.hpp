// SipHash (Aumasson and Bernstein, 2012): a keyed hash short inputs can't
// collide under without the key. c compression rounds per 8-byte word, d
// finalisation rounds; SipHash-1-3 keys the composition source set.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vela_sha::detail {

struct SipKey {
  std::uint64_t k0, k1;
};

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
  // The last bytes: as the top of the text's last eight bytes where there are
  // eight, so that no byte-wise loop is needed.
  const std::size_t rest = size - i;
  std::uint64_t last;
  if (std::endian::native == std::endian::little && size >= 8) {
    std::memcpy(&last, p + size - 8, 8);
    last = rest == 0 ? 0 : last >> (64 - 8 * rest);
  } else {
    last = load(p + i, rest);
  }
  compress(last | static_cast<std::uint64_t>(size & 0xFF) << 56);
  v2 ^= 0xFF;
  for (int r = 0; r < D; ++r) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace vela_sha::detail
