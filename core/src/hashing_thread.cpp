#include "hashing_thread.hpp"

#include <chrono>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "vela_sha/spare_processor.hpp"

namespace vela_sha::detail {
namespace {

constexpr std::chrono::milliseconds kAwake{2};

void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

}  // namespace

HashingThread::HashingThread(Sha256& sha)
    : sha_(sha), thread_([this, caller = current_processor()] {
        keep_off(caller);
        run();
      }) {}

HashingThread::~HashingThread() {
  hand_over({});
  thread_.join();
}

std::uint32_t HashingThread::update(std::span<const std::uint8_t> piece) noexcept {
  const std::uint32_t number = handed_.load(std::memory_order_relaxed);
  hand_over(piece);
  return number;
}

void HashingThread::hand_over(std::span<const std::uint8_t> piece) noexcept {
  const std::uint32_t number = handed_.load(std::memory_order_relaxed);
  // Its place is free once the piece kPieces before it is hashed.
  for (std::uint32_t hashed = hashed_.load(std::memory_order_acquire); number - hashed >= kPieces;
       hashed = hashed_.load(std::memory_order_acquire)) {
    hashed_.wait(hashed, std::memory_order_acquire);
  }
  pieces_[number % kPieces] = piece;
  handed_.store(number + 1, std::memory_order_release);
  handed_.notify_one();
}

void HashingThread::wait_for(std::uint32_t number) noexcept {
  // A signed distance, as the counts may wrap.
  for (std::uint32_t hashed = hashed_.load(std::memory_order_acquire);
       static_cast<std::int32_t>(hashed - number) <= 0; hashed = hashed_.load(std::memory_order_acquire)) {
    hashed_.wait(hashed, std::memory_order_acquire);
  }
}

void HashingThread::run() noexcept {
  for (std::uint32_t next = 0;; ++next) {
    // The next piece comes within a millisecond or so: waiting for it awake
    // spares the writer the wake-up (and this thread the time an idle
    // processor takes to be woken, which in a virtual machine can be long).
    const auto until = std::chrono::steady_clock::now() + kAwake;
    for (unsigned spin = 1; handed_.load(std::memory_order_acquire) == next; ++spin) {
      if (spin % 256 != 0) {
        relax();
      } else if (std::chrono::steady_clock::now() > until) {
        handed_.wait(next, std::memory_order_acquire);
      }
    }
    const std::span<const std::uint8_t> piece = pieces_[next % kPieces];
    if (piece.data() == nullptr) return;
    sha_.update(piece);
    hashed_.store(next + 1, std::memory_order_release);
    hashed_.notify_one();
  }
}

}  // namespace vela_sha::detail
