#include "owned_copy.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <memory>
#include <system_error>

namespace vela_sha::py {
namespace {

#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;  // Linux's value, for older headers
#endif

struct Scratch {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t capacity = 0;
};

}  // namespace

OwnedCopy::OwnedCopy(std::size_t size) {
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
  try {
    // The kernel faults the pages in as a write would, but writes nothing, so
    // the copy may fill them meanwhile. (Before Linux 5.14 it refuses, and the
    // copy faults them in itself.)
    faulting_ = std::thread([data = data_, length = mapped_.size()] { (void)::madvise(data, length, kPopulateWrite); });
  } catch (const std::system_error&) {
    // No thread to spare: the copy faults the pages in itself.
  }
}

OwnedCopy::~OwnedCopy() {
  if (faulting_.joinable()) faulting_.join();
}

}  // namespace vela_sha::py
