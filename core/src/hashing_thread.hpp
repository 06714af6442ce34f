// SHA-256 of a stream on a thread of its own, a few pieces behind the code
// that writes the stream: the hashing of one piece runs on another core while
// the next is written.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <thread>

#include "vela_sha/sha256.hpp"

namespace vela_sha::detail {

class HashingThread {
 public:
  // Starts the thread, which alone uses `sha` from then on. std::system_error
  // if no thread can be had.
  explicit HashingThread(Sha256& sha);
  // Hashes what was handed over, and ends the thread: `sha` is the caller's again.
  ~HashingThread();
  HashingThread(const HashingThread&) = delete;
  HashingThread& operator=(const HashingThread&) = delete;

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

  Sha256& sha_;
  std::array<std::span<const std::uint8_t>, kPieces> pieces_{};
  // Pieces handed over and pieces hashed so far, counted modulo 2**32; each
  // written by one side only, on a line of its own.
  alignas(64) std::atomic<std::uint32_t> handed_{0};
  alignas(64) std::atomic<std::uint32_t> hashed_{0};
  std::thread thread_;
};

}  // namespace vela_sha::detail
