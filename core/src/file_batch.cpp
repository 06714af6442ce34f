#include "vela_sha/file_batch.hpp"

#include "threads.hpp"

#include <algorithm>
#include <climits>
#include <system_error>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vela_sha {
namespace {

// Each thread's buffer: few reads, and small enough to stay in the cache
// while it is validated and hashed.
constexpr std::size_t kChunk = 256 * 1024;

// How much of a file is read between two looks at the stop flag.
constexpr std::uint64_t kBetweenStopChecks = 4ULL << 20;
constexpr int kPollMilliseconds = 50;

// More threads than this only wait on one another for the disk.
constexpr std::size_t kMaxThreads = 256;

// A timed wait on a 32-bit word, which the standard library's atomic waits lack.
void wait_while_equal(std::atomic<std::uint32_t>& word, std::uint32_t seen,
                      std::chrono::nanoseconds timeout) noexcept {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const timespec relative{static_cast<time_t>(seconds.count()),
                          static_cast<long>((timeout - seconds).count())};
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, &relative,
            nullptr, 0);
}

void wake_all(std::atomic<std::uint32_t>& word) noexcept {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

}  // namespace

FileBatch::FileBatch(std::vector<std::string> paths, std::size_t jobs)
    : paths_(std::move(paths)),
      outcomes_(paths_.size(), std::unexpected(FeedError(ReadError{0}))),
      done_(std::make_unique<std::atomic<bool>[]>(paths_.size())) {
  if (paths_.empty()) return;
  const std::size_t threads = std::clamp<std::size_t>(jobs, 1, std::min(paths_.size(), kMaxThreads));
  // Everything a thread needs is allocated here, so the threads never can fail.
  buffers_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) buffers_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(kChunk));
  threads_ = std::make_unique<detail::Threads>();
  for (std::size_t i = 0; i < threads; ++i) {
    // Fewer threads than asked for still get through the batch.
    if (!threads_->start([this, buffer = buffers_[i].get()] { work(buffer); })) break;
  }
  if (threads_->empty()) throw std::system_error(EAGAIN, std::generic_category(), "no thread for the batch");
}

std::size_t FileBatch::default_jobs() noexcept { return detail::cpu_budget(); }

bool FileBatch::inherited() const noexcept { return threads_ && threads_->forked(); }

FileBatch::~FileBatch() { stop(); }

void FileBatch::request_stop() noexcept {
  stopping_.store(true, std::memory_order_seq_cst);
  changes_.fetch_add(1, std::memory_order_seq_cst);
  wake_all(changes_);
}

void FileBatch::stop() noexcept {
  request_stop();
  if (threads_) threads_->join();
}

void FileBatch::work(std::uint8_t* buffer) noexcept {
  for (;;) {
    const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
    if (index >= paths_.size() || stopping_.load(std::memory_order_relaxed)) return;
    if (!hash_one(index, buffer)) return;
    done_[index].store(true, std::memory_order_seq_cst);
    const std::size_t completed = completed_.fetch_add(1, std::memory_order_seq_cst) + 1;
    changes_.fetch_add(1, std::memory_order_seq_cst);
    // Only the file the waiter waits for (or the last of all) is worth a wake-up.
    if (waiter_asleep_.load(std::memory_order_seq_cst)) {
      const std::size_t wanted = waiting_for_.load(std::memory_order_seq_cst);
      if (wanted == index || (wanted == kAll && completed == paths_.size())) wake_all(changes_);
    }
  }
}

bool FileBatch::hash_one(std::size_t index, std::uint8_t* buffer) noexcept {
  auto& outcome = outcomes_[index];
  auto file = FileDescriptor::open(paths_[index].c_str(), /*without_waiting=*/true);
  while (!file && file.error().error_number == EINTR && !stopping_.load(std::memory_order_relaxed)) {
    file = FileDescriptor::open(paths_[index].c_str(), /*without_waiting=*/true);
  }
  if (!file) {
    outcome = std::unexpected(FeedError(file.error()));
    return true;
  }
  // A pipe or a terminal may never deliver: wait for each read in steps, so
  // that stop() is heard even then.
  const bool may_block = file->may_block();
  TemplateHasher hasher;
  for (;;) {
    if (stopping_.load(std::memory_order_relaxed)) return false;
    if (may_block && !file->is_readable(kPollMilliseconds)) continue;
    const auto fed = feed(file->get(), hasher, {buffer, kChunk}, may_block ? 1 : kBetweenStopChecks);
    if (!fed) {
      outcome = std::unexpected(fed.error());
      return true;
    }
    if (fed->at_end) break;
  }
  const auto digest = hasher.digest();
  if (digest) {
    outcome = *digest;
  } else {
    outcome = std::unexpected(FeedError(digest.error()));
  }
  return true;
}

bool FileBatch::wait_for(std::size_t index, std::chrono::milliseconds timeout) noexcept {
  return wait_until([this, index] { return done_[index].load(std::memory_order_seq_cst); }, index, timeout);
}

bool FileBatch::wait_for_all(std::chrono::milliseconds timeout) noexcept {
  return wait_until([this] { return completed_.load(std::memory_order_seq_cst) == paths_.size(); }, kAll, timeout);
}

template <class Done>
bool FileBatch::wait_until(Done done, std::size_t wanted, std::chrono::milliseconds timeout) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  waiting_for_.store(wanted, std::memory_order_seq_cst);
  for (;;) {
    const std::uint32_t seen = changes_.load(std::memory_order_seq_cst);
    if (done()) return true;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds::zero() || stopping_.load(std::memory_order_relaxed)) return false;
    // Announce the sleep before checking once more, so that a thread that
    // completes the file meanwhile either is seen here or sees the sleeper.
    waiter_asleep_.store(true, std::memory_order_seq_cst);
    if (!done() && changes_.load(std::memory_order_seq_cst) == seen) wait_while_equal(changes_, seen, left);
    waiter_asleep_.store(false, std::memory_order_relaxed);
  }
}

}  // namespace vela_sha
