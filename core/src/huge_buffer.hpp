// Zeroed memory for a large working buffer, mapped so that the kernel may back
// it with transparent huge pages: random probes into it then do not each cost
// a TLB miss (and a page walk, which a prefetch waits for too). Small buffers,
// and systems that offer no huge pages, get ordinary memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vela_sha {

class HugeBuffer {
 public:
  // Buffers from this size on are mapped for huge pages.
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  HugeBuffer() noexcept = default;
  // std::bad_alloc if the memory cannot be had.
  explicit HugeBuffer(std::size_t size);
  HugeBuffer(HugeBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  HugeBuffer& operator=(HugeBuffer&& other) noexcept {
    HugeBuffer taken(std::move(other));
    std::swap(data_, taken.data_);
    std::swap(size_, taken.size_);
    return *this;
  }
  ~HugeBuffer();

  [[nodiscard]] std::uint8_t* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace vela_sha
