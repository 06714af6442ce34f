// Sources crafted to collide under a fixed, unkeyed string hash spread over
// the composition's source set as random sources do.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "composition_stream.hpp"
#include "source_set.hpp"
#include "vela_sha/composition.hpp"

namespace vela_sha {
namespace {

// libstdc++'s std::hash<std::string> (64-bit _Hash_bytes) mixes each 8-byte
// word w into the state h as h = (h ^ F(w)) * m, with F(w) = S(w * m) * m and
// S(v) = v ^ (v >> 47). If F(w') = F(w) ^ 2^63, the top-bit difference passes
// through the multiply unchanged (m is odd) and cancels at the next word, so
// "ww" and "w'w'" are interchangeable 16-byte units whatever the seed.
constexpr std::uint64_t kMul = 0xc6a4a7935bd1e995ULL;

constexpr std::uint64_t inverse(std::uint64_t m) {
  std::uint64_t x = m;  // Newton's iteration for the inverse modulo 2^64
  for (int i = 0; i < 6; ++i) x *= 2 - m * x;
  return x;
}

std::uint64_t shift_mix(std::uint64_t v) { return v ^ (v >> 47); }
std::uint64_t mix(std::uint64_t w) { return shift_mix(w * kMul) * kMul; }
std::uint64_t unmix(std::uint64_t d) { return shift_mix(d * inverse(kMul)) * inverse(kMul); }

// A word the canonical-source rule accepts anywhere in a text: no control
// byte, no backslash, and no C2 (which could pair into a C1 control). The
// core asks no more of a text, so non-ASCII bytes are fine here.
bool acceptable(std::uint64_t w) {
  for (int i = 0; i < 8; ++i) {
    const auto c = static_cast<unsigned char>(w >> (8 * i));
    if (c < 0x20 || c == 0x7F || c == '\\' || c == 0xC2) return false;
  }
  return true;
}

std::string word(std::uint64_t w) { return std::string(reinterpret_cast<const char*>(&w), 8); }

// 2^units distinct texts of 16 * units bytes with one std::hash.
std::vector<std::string> colliding_texts(int units) {
  std::mt19937_64 rng(2012);
  std::uint64_t w, w2;
  do {
    w = rng();
    w2 = unmix(mix(w) ^ (1ULL << 63));
  } while (!acceptable(w) || !acceptable(w2));
  const std::string a = word(w) + word(w), b = word(w2) + word(w2);
  std::vector<std::string> texts;
  for (std::uint64_t bits = 0; bits < (1ULL << units); ++bits) {
    std::string text;
    for (int u = 0; u < units; ++u) text += (bits >> u & 1) ? b : a;
    texts.push_back(std::move(text));
  }
  return texts;
}

// The texts all share one std::hash, so an unkeyed set of them would be a
// list. Keyed as the source set keys them, they spread over its slots as
// random texts do: no slot gets more than a handful, so the set's work stays
// what it is for random sources (without a timed test).
TEST(HashFlooding, CollidingSourcesSpreadOverTheSetsSlots) {
  const auto crafted = colliding_texts(12);
  if (sizeof(std::size_t) != 8 || std::hash<std::string>{}(crafted[0]) != std::hash<std::string>{}(crafted[1])) {
    GTEST_SKIP() << "this standard library's string hash is not the one the texts were built for";
  }
  for (const auto& text : crafted) ASSERT_EQ(std::hash<std::string>{}(text), std::hash<std::string>{}(crafted[0]));

  const detail::SipKey key{SourceSetKey::process().k0, SourceSetKey::process().k1};
  const std::size_t slots = std::bit_ceil(crafted.size() + crafted.size() / 2 + 1);
  std::vector<int> load(slots);
  std::unordered_set<std::uint64_t> hashes;
  std::vector<std::uint8_t> entry;
  for (const auto& text : crafted) {
    entry.resize(detail::stream::source_size(text.size()));
    detail::stream::put_source(entry.data(), {CanonicalSource::Member::LocalPath, text});
    const std::uint64_t hash = detail::SourceSet::keyed_hash(key, entry.data());
    hashes.insert(hash);
    ++load[hash & (slots - 1)];
  }
  EXPECT_EQ(hashes.size(), crafted.size());
  EXPECT_LE(*std::max_element(load.begin(), load.end()), 8);  // random texts: 5 or 6 at most, as a rule
}

}  // namespace
}  // namespace vela_sha
