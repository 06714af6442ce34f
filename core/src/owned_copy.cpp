#include "owned_copy.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace vela_sha::detail {
namespace {

struct Scratch {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t capacity = 0;
};

}  // namespace

OwnedCopy::OwnedCopy(const std::uint8_t* source, std::size_t size) : source_(source), size_(size) {
  if (size <= kScratchLimit) {
    thread_local Scratch scratch;
    if (scratch.capacity < size) {
      // Grown in steps, so a run of slowly growing inputs reallocates rarely.
      const std::size_t capacity =
          std::max(size, std::min(kScratchLimit, std::max<std::size_t>(scratch.capacity * 2, 64 * 1024)));
      scratch.bytes.reset();
      scratch.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
      scratch.capacity = capacity;
    }
    data_ = scratch.bytes.get();
    return;
  }
  mapped_ = HugeBuffer(size);
  data_ = mapped_.data();
  // Without a helper the caller copies each block itself.
  if (helper_may_start()) (void)copying_.start([this] { copy_ahead(); }, /*beside_caller=*/true);
}

OwnedCopy::~OwnedCopy() {
  stop_.store(true, std::memory_order_relaxed);
  copying_.join();
}

void OwnedCopy::copy_ahead() noexcept {
  for (std::uint64_t step = 0; step * kStep < size_ && !stop_.load(std::memory_order_relaxed); ++step) {
    const std::size_t at = step * kStep;
    std::memcpy(data_ + at, source_ + at, std::min(kStep, size_ - at));
    steps_copied_.store(step + 1, std::memory_order_release);
    steps_copied_.notify_one();
  }
}

OwnedCopy::Block OwnedCopy::block(std::size_t at, std::size_t length) noexcept {
  // No helper, or one that a fork left behind in the parent.
  if (copying_.empty() || copying_.forked()) return {data_ + at, false};
  // Whole steps, the last perhaps short.
  const std::uint64_t needed = (at + length + kStep - 1) / kStep;
  for (std::uint64_t copied = steps_copied_.load(std::memory_order_acquire); copied < needed;
       copied = steps_copied_.load(std::memory_order_acquire)) {
    steps_copied_.wait(copied, std::memory_order_acquire);
  }
  return {data_ + at, true};
}

}  // namespace vela_sha::detail
