// The SHA-256 unit (OpenSSL's, behind a thin wrapper) against NIST CAVP SHAVS
// byte-oriented vectors (SHA256ShortMsg.rsp, SHA256LongMsg.rsp; see SOURCES.md).
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

}  // namespace
}  // namespace vela_sha
