#include "hashing_thread.hpp"

#include <chrono>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vela_sha::detail {
namespace {

constexpr std::chrono::milliseconds kAwake{2};

void relax() noexcept {
#if defined(__x86_64__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

HashingThread::HashingThread(Sha256& sha) : sha_(sha), after_{sha, sha} {
  (void)thread_.start([this] { run(); }, /*beside_caller=*/true);
}

HashingThread::~HashingThread() {
  if (!running() || taken_back()) return;
  hand_over({});
  thread_.join();
}

std::uint32_t HashingThread::update(std::span<const std::uint8_t> piece) noexcept {
  const std::uint32_t number = handed_.load(std::memory_order_relaxed);
  if (taken_back()) {
    sha_.update(piece);  // hashed already, whatever number it is waited for by
    return number;
  }
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
  if (taken_back()) return;
  // A signed distance, as the counts may wrap.
  for (std::uint32_t hashed = hashed_.load(std::memory_order_acquire);
       static_cast<std::int32_t>(hashed - number) <= 0; hashed = hashed_.load(std::memory_order_acquire)) {
    hashed_.wait(hashed, std::memory_order_acquire);
  }
}

bool HashingThread::taken_back() noexcept {
  if (taken_back_ || !thread_.forked()) return taken_back_;
  taken_back_ = true;
  const std::uint32_t hashed = hashed_.load(std::memory_order_acquire);
  const std::uint32_t handed = handed_.load(std::memory_order_relaxed);
  sha_ = after_[hashed % 2];
  for (std::uint32_t next = hashed; next != handed; ++next) {
    if (pieces_[next % kPieces].data() != nullptr) sha_.update(pieces_[next % kPieces]);
  }
  return true;
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
    after_[(next + 1) % 2] = sha_;
    hashed_.store(next + 1, std::memory_order_release);
    hashed_.notify_one();
  }
}

}  // namespace vela_sha::detail
