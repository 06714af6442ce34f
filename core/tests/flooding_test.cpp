// Sources crafted to collide under a fixed, unkeyed string hash cost the
// composition hash what random sources of the same shape cost.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <vector>

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

std::vector<std::string> random_texts(std::size_t count, std::size_t length) {
  std::mt19937_64 rng(7);
  std::vector<std::string> texts(count, std::string(length, ' '));
  for (auto& text : texts) {
    for (auto& c : text) c = static_cast<char>('a' + rng() % 26);
  }
  return texts;
}

ResolvedTemplateManifest manifest_of(const std::vector<std::string>& texts) {
  ResolvedTemplateManifest manifest;
  std::mt19937 rng(1);
  for (const auto& text : texts) {
    manifest.nodes.push_back({*CanonicalTemplatePath::try_from(std::string(text)), TemplateSha256(Sha256Bytes{})});
  }
  for (std::size_t i = 0; i < 2 * texts.size(); ++i) {
    manifest.edges.push_back({manifest.nodes[rng() % texts.size()].source,
                              manifest.nodes[rng() % texts.size()].source, 0});
  }
  return manifest;
}

template <class F>
double best_seconds(F&& run) {
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

TEST(HashFlooding, CollidingSourcesCostWhatRandomOnesCost) {
  const auto crafted = colliding_texts(12);
  const auto random = random_texts(crafted.size(), crafted[0].size());
  if (sizeof(std::size_t) != 8 || std::hash<std::string>{}(crafted[0]) != std::hash<std::string>{}(crafted[1])) {
    GTEST_SKIP() << "this standard library's string hash is not the one the texts were built for";
  }
  for (const auto& text : crafted) ASSERT_EQ(std::hash<std::string>{}(text), std::hash<std::string>{}(crafted[0]));

  // Every crafted text has one std::hash: an unkeyed set of them is a list.
  const auto crafted_manifest = manifest_of(crafted);
  const auto random_manifest = manifest_of(random);
  const double ours = best_seconds([&] { ASSERT_TRUE(calculate_composition_hash(crafted_manifest)); }) /
                      best_seconds([&] { ASSERT_TRUE(calculate_composition_hash(random_manifest)); });
  EXPECT_LT(ours, 3.0) << "crafted/random: " << ours;
}

}  // namespace
}  // namespace vela_sha
