// Templates read from files (POSIX descriptors) into a TemplateHasher through
// the caller's fixed buffer, so memory stays flat whatever a file's size.
// Plain reads, not a mapping: the resident size stays small too.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <variant>

#include "vela_sha/template_hasher.hpp"

namespace vela_sha {

// An open or read that failed, with its errno.
struct ReadError {
  int error_number;

  friend constexpr bool operator==(const ReadError&, const ReadError&) noexcept = default;
};

using FeedError = std::variant<ReadError, Utf8Error>;

// An open file descriptor, closed when this goes.
class FileDescriptor {
 public:
  // Opens `path` for reading (close-on-exec). A directory opens; reading it
  // fails. An open interrupted by a signal fails with EINTR, for the caller
  // to look at its signals and try again. With `without_waiting`, neither
  // opening a FIFO nor reading anything but a regular file waits: the caller
  // waits for data with is_readable() instead, where it can look at a stop
  // flag between waits, and feed() comes back at once when none is there.
  [[nodiscard]] static std::expected<FileDescriptor, ReadError> open(const char* path,
                                                                     bool without_waiting = false) noexcept;

  // Whether reading may block for an unbounded time: anything but a regular file.
  [[nodiscard]] bool may_block() const noexcept { return !regular_; }

  // Waits at most `milliseconds` for data (or the end, or an error) to read.
  [[nodiscard]] bool is_readable(int milliseconds) const noexcept;

  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  int fd_ = -1;
  bool regular_ = false;
};

// How far one call of feed() went.
struct Fed {
  std::uint64_t bytes;  // read and hashed by this call
  bool at_end;          // the file is read to its end
};

// Reads `fd` from its current position into `hasher` through `buffer`, until
// the end of the file, until at least `budget` bytes were read, or until a
// read is interrupted by a signal or (a descriptor that does not wait) finds
// nothing to read yet, whichever comes first; so a caller can look
// at its signals or a stop flag between calls and then go on. A file that
// grows or shrinks meanwhile gives the digest of what was read.
[[nodiscard]] std::expected<Fed, FeedError> feed(int fd, TemplateHasher& hasher,
                                                 std::span<std::uint8_t> buffer,
                                                 std::uint64_t budget) noexcept;

}  // namespace vela_sha
