#include "node_entries.hpp"

#include <algorithm>

namespace vela_sha::detail {
namespace {

// What a thread keeps for its next hasher: 2 MiB of chunks (manifests of up
// to about 87,000 nodes fit). Past that, chunks are huge pages.
constexpr std::size_t kChunkBytes = 256 * 1024;
constexpr std::size_t kKeptChunks = 8;

}  // namespace

void NodeEntries::reset() {
  if (chunks_.empty()) chunks_.push_back({HugeBuffer(kChunkBytes)});
  current_ = hashed_ = 0;
  chunks_[0].used = 0;
}

void NodeEntries::trim() noexcept {
  std::erase_if(chunks_, [](const Chunk& c) { return c.bytes.size() != kChunkBytes; });
  if (chunks_.size() > kKeptChunks) chunks_.resize(kKeptChunks);
}

std::span<const std::uint8_t> NodeEntries::take_unhashed() noexcept {
  Chunk& chunk = chunks_[current_];
  const std::span<const std::uint8_t> bytes(chunk.bytes.data() + hashed_, chunk.used - hashed_);
  hashed_ = chunk.used;
  return bytes;
}

void NodeEntries::next_chunk(std::size_t size) {
  const std::size_t next = current_ + 1;
  if (next == chunks_.size() || chunks_[next].bytes.size() < size) {
    const std::size_t standard = next < kKeptChunks ? kChunkBytes : HugeBuffer::kHugePage;
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(next), {HugeBuffer(std::max(standard, size))});
  }
  current_ = next;
  chunks_[current_].used = 0;
  hashed_ = 0;
}

}  // namespace vela_sha::detail
