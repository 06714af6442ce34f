// The node entries of a composition stream, kept for the whole hash: edges
// are checked against them, and a stream written again hashes them again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "huge_buffer.hpp"

namespace vela_sha::detail {

// In chunks that never move, so that the source set can point into them.
// Entries are handed to the hash a step at a time while they are in cache:
// every byte is taken by take_unhashed() exactly once.
class NodeEntries {
 public:
  void reset();
  // Gives back all but a few MiB.
  void trim() noexcept;

  // Room for an entry of `size` bytes. Starting a new chunk first hands the
  // current one's unhashed bytes to `hash`.
  template <class Hash>
  [[nodiscard]] std::uint8_t* append(std::size_t size, Hash&& hash);

  [[nodiscard]] std::size_t unhashed_size() const noexcept { return chunks_[current_].used - hashed_; }
  [[nodiscard]] std::span<const std::uint8_t> take_unhashed() noexcept;

  // Every entry so far, chunk by chunk, in order.
  template <class Visit>
  void each_chunk(Visit&& visit) const {
    for (std::size_t i = 0; i <= current_; ++i) visit(std::span<const std::uint8_t>(chunks_[i].bytes.data(), chunks_[i].used));
  }

 private:
  struct Chunk {
    HugeBuffer bytes;
    std::size_t used = 0;
  };
  void next_chunk(std::size_t size);

  std::vector<Chunk> chunks_;  // [0, current_] in use, the rest spare
  std::size_t current_ = 0;
  std::size_t hashed_ = 0;  // of the current chunk
};

template <class Hash>
std::uint8_t* NodeEntries::append(std::size_t size, Hash&& hash) {
  if (chunks_[current_].bytes.size() - chunks_[current_].used < size) {
    hash(take_unhashed());
    next_chunk(size);
  }
  Chunk& chunk = chunks_[current_];
  std::uint8_t* const entry = chunk.bytes.data() + chunk.used;
  chunk.used += size;
  return entry;
}

}  // namespace vela_sha::detail
