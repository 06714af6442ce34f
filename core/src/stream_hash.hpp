// SHA-256 of a composition stream while it is written: on the caller's
// thread, or (a large stream, while a helper thread may start) on a thread of
// its own a few pieces behind the writing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "composition_stream.hpp"
#include "hashing_thread.hpp"
#include "vela_sha/sha256.hpp"

namespace vela_sha::detail {

class StreamHash {
 public:
  // Streams of at least this many records (nodes, or edges) are hashed on a
  // thread of their own: from here on the time saved outweighs starting it.
  static constexpr std::uint64_t kParallelRecords = 2048;

  // A new stream, hashed on this thread.
  void restart() noexcept;
  // Hands the hashing to a thread of its own if `records` reach
  // kParallelRecords and a helper thread may start.
  void parallel_for(std::uint64_t records);
  [[nodiscard]] bool parallel() const noexcept { return thread_.has_value(); }
  // Hashes everything handed over, and the stream is this thread's again.
  void stop_parallel() noexcept { thread_.reset(); }

  // Appends `bytes`, which must stay as they are until they are hashed: the
  // piece to wait for before they change, if they went to the thread.
  [[nodiscard]] std::optional<std::uint32_t> feed(std::span<const std::uint8_t> bytes) noexcept;
  void wait_for(std::optional<std::uint32_t> piece) noexcept {
    if (piece && thread_) thread_->wait_for(*piece);
  }

  // The head and the node count; the edge count. Written into memory of the
  // stream's own, as they may be hashed after the call that wrote them ends.
  // Only while nothing written earlier there waits to be hashed: at the
  // start, or once the stream is this thread's again.
  void write_head(std::uint64_t nodes) noexcept;
  void write_count(std::uint64_t edges) noexcept;

  [[nodiscard]] Sha256Bytes finish() noexcept;

 private:
  Sha256 sha_;
  std::array<std::uint8_t, stream::kHeadBytes + stream::kCountBytes> head_{};
  std::array<std::uint8_t, stream::kCountBytes> count_{};
  std::optional<HashingThread> thread_;  // last: gone before what it may still hash
};

}  // namespace vela_sha::detail
