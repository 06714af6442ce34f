#include "stream_hash.hpp"

#include "threads.hpp"

namespace vela_sha::detail {

void StreamHash::restart() noexcept {
  thread_.reset();
  sha_ = Sha256();
}

void StreamHash::parallel_for(std::uint64_t records) {
  if (thread_ || records < kParallelRecords || !helper_may_start()) return;
  thread_.emplace(sha_);
  if (!thread_->running()) thread_.reset();  // no thread to be had: this one hashes
}

std::optional<std::uint32_t> StreamHash::feed(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.empty()) return std::nullopt;
  if (thread_) return thread_->update(bytes);
  sha_.update(bytes);
  return std::nullopt;
}

void StreamHash::write_head(std::uint64_t nodes) noexcept {
  stream::put_u64(stream::put_head(head_.data()), nodes);
  (void)feed(head_);
}

void StreamHash::write_count(std::uint64_t edges) noexcept {
  stream::put_u64(count_.data(), edges);
  (void)feed(count_);
}

Sha256Bytes StreamHash::finish() noexcept {
  thread_.reset();
  return sha_.finish();
}

}  // namespace vela_sha::detail
