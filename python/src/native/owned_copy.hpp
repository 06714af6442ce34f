// Where calculate_hash keeps its one copy of the template bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

#include "vela_sha/huge_buffer.hpp"

namespace vela_sha::py {

// `size` bytes of memory of the caller's own, for the length of one call. Up
// to a few MiB it is the calling thread's scratch, kept from call to call, so
// that a call faults in no fresh pages; beyond that it is mapped for the call
// (for transparent huge pages, so it faults in 2 MiB at a time) and unmapped
// after. The kernel must zero every fresh page before the copy can fill it; a
// thread of its own faults the mapping in meanwhile, without writing to it,
// so that the zeroing runs on another core while this one copies and hashes.
// std::bad_alloc if the memory cannot be had.
class OwnedCopy {
 public:
  explicit OwnedCopy(std::size_t size);
  OwnedCopy(const OwnedCopy&) = delete;
  OwnedCopy& operator=(const OwnedCopy&) = delete;
  ~OwnedCopy();

  [[nodiscard]] std::uint8_t* data() const noexcept { return data_; }

  // Kept per thread: never more than this, never a huge input's worth.
  static constexpr std::size_t kScratchLimit = std::size_t{4} << 20;

 private:
  std::uint8_t* data_;
  HugeBuffer mapped_;  // a mapping of this call's own, or none
  std::thread faulting_;
};

}  // namespace vela_sha::py
