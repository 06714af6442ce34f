// The batch under any number of threads. Waiting on FIFOs, stopped by an
// interrupt and read once a late writer comes: tests/test_process.py.
#include "vela_sha/file_batch.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace vela_sha {
namespace {

using namespace std::chrono_literals;

// What one file alone gives.
FileOutcome alone(const std::string& text) {
  TemplateHasher hasher;
  if (auto fed = hasher.update({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}); !fed) {
    return std::unexpected(FeedError(fed.error()));
  }
  const auto digest = hasher.digest();
  if (!digest) return std::unexpected(FeedError(digest.error()));
  return *digest;
}

TEST(FileBatch, InputOrderAndEveryKindOfOutcomeUnderAnyNumberOfThreads) {
  const auto dir = std::filesystem::temp_directory_path() / ("vela_sha_batch_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::mt19937 rng(11);
  std::vector<std::string> paths;
  std::vector<FileOutcome> expected;
  for (int i = 0; i < 60; ++i) {
    std::string text(rng() % (i % 10 == 0 ? 3'000'000 : 5000), 'x');
    for (auto& c : text) c = "ab\r\n\xD0\x96"[rng() % 4];
    if (i % 13 == 5) text += "\xC0\xAF";
    paths.push_back((dir / std::to_string(i)).string());
    std::ofstream(paths.back(), std::ios::binary) << text;
    expected.push_back(alone(text));
  }
  paths.insert(paths.begin() + 7, (dir / "missing").string());
  expected.insert(expected.begin() + 7, std::unexpected(FeedError(ReadError{ENOENT})));
  paths.insert(paths.begin() + 30, dir.string());
  expected.insert(expected.begin() + 30, std::unexpected(FeedError(ReadError{EISDIR})));
  paths.push_back(paths[0]);  // a repeat is hashed again
  expected.push_back(expected[0]);

  for (std::size_t jobs : {1u, 2u, 3u, 8u, 500u}) {
    FileBatch batch(paths, jobs);
    const bool all_at_once = jobs % 2 == 0;
    if (all_at_once) {
      ASSERT_TRUE(batch.wait_for_all(10s));
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
      ASSERT_TRUE(batch.wait_for(i, all_at_once ? 0s : 10s)) << jobs << " " << i;
      ASSERT_EQ(batch.outcome(i), expected[i]) << jobs << " " << i;
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vela_sha
