#include "owned_copy.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <memory>
#include <new>
#include <system_error>

namespace vela_sha::py {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

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
      const std::size_t capacity = std::max(size, std::min(kScratchLimit, std::max<std::size_t>(scratch.capacity * 2, 64 * 1024)));
      scratch.bytes.reset();
      scratch.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
      scratch.capacity = capacity;
    }
    data_ = scratch.bytes.get();
    return;
  }
  // Rounded to whole huge pages, with one more to align the start on one.
  mapped_ = (size + 2 * kHugePage - 1) / kHugePage * kHugePage;
  mapping_ = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping_ == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapping_);
  data_ = reinterpret_cast<std::uint8_t*>((start + kHugePage - 1) / kHugePage * kHugePage);
  const std::size_t usable = mapped_ - (reinterpret_cast<std::uintptr_t>(data_) - start);
  // Advice only: without huge pages the copy still works, 4 KiB at a time.
  (void)::madvise(data_, usable, MADV_HUGEPAGE);
  try {
    // The kernel faults the pages in as a write would, but writes nothing, so
    // the copy may fill them meanwhile. (Before Linux 5.14 it refuses, and the
    // copy faults them in itself.)
    faulting_ = std::thread([data = data_, size] { (void)::madvise(data, size, kPopulateWrite); });
  } catch (const std::system_error&) {
    // No thread to spare: the copy faults the pages in itself.
  }
}

OwnedCopy::~OwnedCopy() {
  if (faulting_.joinable()) faulting_.join();
  if (mapping_ != nullptr) ::munmap(mapping_, mapped_);
}

}  // namespace vela_sha::py
