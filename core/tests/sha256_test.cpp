// The SHA-256 unit against NIST CAVP SHAVS byte-oriented vectors
// (SHA256ShortMsg.rsp, SHA256LongMsg.rsp, SHA256Monte.rsp; see SOURCES.md).
#include "vela_sha/sha256.hpp"

#include <gtest/gtest.h>

#include "vectors.hpp"

namespace vela_sha {
namespace {

using testing::Bytes;

Bytes as_bytes(const Sha256Bytes& digest) { return Bytes(digest.begin(), digest.end()); }

TEST(Sha256, NistShortAndLongMessages) {
  const std::pair<const char*, std::size_t> files[] = {{"SHA256ShortMsg.rsp", 65},
                                                       {"SHA256LongMsg.rsp", 64}};
  for (const auto& [file, count] : files) {
    const auto vectors = testing::read_rsp(file);
    ASSERT_EQ(vectors.size(), count) << file;
    for (const auto& v : vectors) {
      EXPECT_EQ(as_bytes(sha256(v.message)), v.digest) << file << " Len " << v.message.size();
    }
  }
}

TEST(Sha256, NistMonteCarlo) {
  const auto lines = testing::lines_of(testing::read_file(testing::vectors_path("SHA256Monte.rsp")));
  Bytes seed;
  std::vector<Bytes> checkpoints;
  for (const auto& line : lines) {
    if (line.rfind("Seed = ", 0) == 0) seed = testing::from_hex(line.substr(7));
    if (line.rfind("MD = ", 0) == 0) checkpoints.push_back(testing::from_hex(line.substr(5)));
  }
  ASSERT_EQ(checkpoints.size(), 100u);
  for (const auto& expected : checkpoints) {
    Bytes md[3] = {seed, seed, seed};
    Bytes latest;
    for (int i = 0; i < 1000; ++i) {
      Bytes message = md[0];
      message.insert(message.end(), md[1].begin(), md[1].end());
      message.insert(message.end(), md[2].begin(), md[2].end());
      latest = as_bytes(sha256(message));
      md[0] = std::move(md[1]);
      md[1] = std::move(md[2]);
      md[2] = latest;
    }
    ASSERT_EQ(latest, expected);
    seed = latest;
  }
}

}  // namespace
}  // namespace vela_sha
