#include "vela_sha/file_reader.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vela_sha {

std::expected<FileDescriptor, ReadError> FileDescriptor::open(const char* path, bool without_waiting) noexcept {
  // EINTR goes back to the caller, which may have a signal to look at.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | (without_waiting ? O_NONBLOCK : 0));
  if (fd < 0) return std::unexpected(ReadError{errno});
  FileDescriptor file(fd);
  // statx rather than fstat: glibc has fstat as a symbol of its own only since
  // 2.33, and wheels must load on systems older than that.
  struct statx status;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE, &status) != 0) {
    return std::unexpected(ReadError{errno});
  }
  file.regular_ = S_ISREG(status.stx_mode);
  // O_NONBLOCK stays: it means nothing to a regular file's reads, and anything
  // else is waited for by is_readable(), so that no read ever blocks.
  // Advice only, and worth its call only for a file read over many chunks.
  if (file.regular_ && status.stx_size >= (1U << 20)) (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return file;
}

bool FileDescriptor::is_readable(int milliseconds) const noexcept {
  pollfd wanted{fd_, POLLIN, 0};
  const int ready = ::poll(&wanted, 1, milliseconds);
  // A wait cut short by a signal saw nothing; any other error is for the read
  // to report.
  if (ready < 0) return errno != EINTR;
  return ready != 0;
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), regular_(other.regular_) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  std::swap(fd_, other.fd_);
  std::swap(regular_, other.regular_);
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<Fed, FeedError> feed(int fd, TemplateHasher& hasher, std::span<std::uint8_t> buffer,
                                   std::uint64_t budget) noexcept {
  Fed fed{0, false};
  while (fed.bytes < budget) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      // A signal, or (opened without waiting) nothing to read yet: back to the
      // caller, which looks at its signals or waits.
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return fed;
      return std::unexpected(FeedError(ReadError{errno}));
    }
    if (got == 0) {
      fed.at_end = true;
      return fed;
    }
    // The buffer is ours, so its line endings are normalised where they lie.
    if (auto hashed = hasher.update_in_place(buffer.first(static_cast<std::size_t>(got))); !hashed) {
      return std::unexpected(FeedError(hashed.error()));
    }
    fed.bytes += static_cast<std::uint64_t>(got);
  }
  return fed;
}

}  // namespace vela_sha
