#include "huge_buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace vela_sha {

HugeBuffer::HugeBuffer(std::size_t size) {
  if (size < kHugePage) {
    data_ = static_cast<std::uint8_t*>(std::calloc(size == 0 ? 1 : size, 1));
    if (data_ == nullptr) throw std::bad_alloc();
    size_ = size;
    return;
  }
  // Whole huge pages, on a huge-page boundary: map one page more than needed
  // and give back what lies outside the aligned span.
  const std::size_t span = (size + kHugePage - 1) / kHugePage * kHugePage;
  void* mapped = mmap(nullptr, span + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<std::uint8_t*>(mapped);
  auto* aligned = reinterpret_cast<std::uint8_t*>(
      (reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1});
  if (aligned != start) munmap(start, static_cast<std::size_t>(aligned - start));
  const std::size_t tail = static_cast<std::size_t>(start + span + kHugePage - (aligned + span));
  if (tail != 0) munmap(aligned + span, tail);
  // Only advice: without huge pages the mapping works all the same.
  madvise(aligned, span, MADV_HUGEPAGE);
  data_ = aligned;
  size_ = span;
}

HugeBuffer::~HugeBuffer() {
  if (data_ == nullptr) return;
  if (size_ < kHugePage) {
    std::free(data_);
  } else {
    munmap(data_, size_);
  }
}

}  // namespace vela_sha
