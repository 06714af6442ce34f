#include "vela_sha/file_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vela_sha {

std::expected<FileDescriptor, ReadError> FileDescriptor::open(const char* path) noexcept {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(ReadError{errno});
  // Advice only: a read-ahead window suited to one pass from start to end.
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return FileDescriptor(fd);
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  std::swap(fd_, other.fd_);
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
      if (errno == EINTR) return fed;
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
