#include "hashing_thread.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <charconv>

namespace vela_sha::detail {

HashingThread::HashingThread(Sha256& sha) : sha_(sha), thread_([this] { run(); }) {}

HashingThread::~HashingThread() {
  hand_over({});
  thread_.join();
}

bool HashingThread::worthwhile() noexcept {
  static const int processors = [] {
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  }();
  if (processors < 2) return false;
  // The fourth field of "0.41 0.55 0.54 1/120 6709" counts the threads ready
  // to run right now, the caller among them.
  const int file = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  std::array<char, 128> text;
  const ssize_t length = ::read(file, text.data(), text.size());
  ::close(file);
  if (length <= 0) return false;
  const char* at = text.data();
  const char* const end = at + length;
  for (int field = 0; field < 3 && at != end; ++at) field += *at == ' ';
  int ready = 0;
  if (std::from_chars(at, end, ready).ec != std::errc()) return false;
  return ready < processors;
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
    while (handed_.load(std::memory_order_acquire) == next) handed_.wait(next, std::memory_order_acquire);
    const std::span<const std::uint8_t> piece = pieces_[next % kPieces];
    if (piece.data() == nullptr) return;
    sha_.update(piece);
    hashed_.store(next + 1, std::memory_order_release);
    hashed_.notify_one();
  }
}

}  // namespace vela_sha::detail
