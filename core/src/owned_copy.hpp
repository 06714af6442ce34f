// The one copy of a template's bytes that calculate_hash_from_copy hashes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "huge_buffer.hpp"
#include "threads.hpp"

namespace vela_sha::detail {

// A copy of `size` bytes from `source`, in memory of the caller's own, for the
// length of one call; it is made a block at a time as the caller asks for it.
// Up to a few MiB it is the calling thread's scratch, kept from call to call,
// so that a call faults in no fresh pages. Beyond that the memory is mapped
// for the call (for transparent huge pages) and unmapped after, and (while a
// helper thread may start) a thread of its own makes the copy ahead of the
// caller: the kernel's zeroing of the fresh pages and the copy then run on
// another core while this one validates and hashes. Without one (and in a
// child forked meanwhile) the caller copies each block itself.
// `source` must not change meanwhile. std::bad_alloc if the memory cannot be had.
class OwnedCopy {
 public:
  OwnedCopy(const std::uint8_t* source, std::size_t size);
  OwnedCopy(const OwnedCopy&) = delete;
  OwnedCopy& operator=(const OwnedCopy&) = delete;
  ~OwnedCopy();

  // Where bytes [at, at + length) of the copy go: the caller's next block,
  // asked for in order. Either the helper has copied them there already (the
  // wait for that is made here), or the caller copies them in itself, while
  // it reads them anyway. The caller may overwrite them.
  struct Block {
    std::uint8_t* data;
    bool copied;
  };
  [[nodiscard]] Block block(std::size_t at, std::size_t length) noexcept;

  // Kept per thread: never more than this, never a huge input's worth.
  static constexpr std::size_t kScratchLimit = std::size_t{4} << 20;
  // What the copying thread hands over at a time.
  static constexpr std::size_t kStep = 256 * 1024;

 private:
  void copy_ahead() noexcept;

  const std::uint8_t* source_;
  std::size_t size_;
  std::uint8_t* data_;
  HugeBuffer mapped_;  // a mapping of this call's own, or none
  std::atomic<std::uint64_t> steps_copied_{0};
  std::atomic<bool> stop_{false};
  Threads copying_;  // last, so that it is joined before the rest goes
};

}  // namespace vela_sha::detail
