// SHA-256 of a stream on a thread of its own, a few pieces behind the code
// that writes the stream: the hashing of one piece runs on another core while
// the next is written.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "threads.hpp"
#include "vela_sha/sha256.hpp"

namespace vela_sha::detail {

class HashingThread {
 public:
  // Starts the thread, which alone uses `sha` from then on; running() says
  // whether one could be had.
  explicit HashingThread(Sha256& sha);
  // Hashes what was handed over, and ends the thread: `sha` is the caller's again.
  ~HashingThread();
  HashingThread(const HashingThread&) = delete;
  HashingThread& operator=(const HashingThread&) = delete;

  [[nodiscard]] bool running() const noexcept { return !thread_.empty(); }

  // Hands `piece` (not empty) over, first waiting while kPieces are still
  // unhashed. Its bytes must stay as they are until it is hashed. Returns its
  // number.
  std::uint32_t update(std::span<const std::uint8_t> piece) noexcept;
  // Waits until piece `number` (and every piece before it) is hashed.
  void wait_for(std::uint32_t number) noexcept;

  static constexpr std::uint32_t kPieces = 8;

 private:
  void run() noexcept;
  // A piece without bytes ends the thread.
  void hand_over(std::span<const std::uint8_t> piece) noexcept;
  // In a child forked since the thread started, which has no such thread:
  // takes `sha` back as it was after the last piece hashed before the fork,
  // and hashes the rest here. True from then on.
  bool taken_back() noexcept;

  Sha256& sha_;
  // `sha` after every piece hashed so far, in turns: the one the last count
  // names is whole even while the thread writes the other.
  std::array<Sha256, 2> after_;
  std::array<std::span<const std::uint8_t>, kPieces> pieces_{};
  // Pieces handed over and pieces hashed so far, counted modulo 2**32; each
  // written by one side only, on a line of its own.
  alignas(64) std::atomic<std::uint32_t> handed_{0};
  alignas(64) std::atomic<std::uint32_t> hashed_{0};
  bool taken_back_ = false;
  Threads thread_;  // last: joined before the rest goes
};

}  // namespace vela_sha::detail
