// Template digests of many files at once, on threads of the batch's own,
// handed out in input order as soon as each file and all before it are done.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "vela_sha/file_reader.hpp"

namespace vela_sha {

namespace detail {
class Threads;
}  // namespace detail

using FileOutcome = std::expected<TemplateSha256, FeedError>;

class FileBatch {
 public:
  // Starts up to `jobs` threads (at least one, at most one per file and 256 in
  // all) that hash `paths` in index order, each through a fixed buffer of its
  // own. Fewer start if the system refuses more; std::system_error if not
  // even one can be started.
  FileBatch(std::vector<std::string> paths, std::size_t jobs);

  // The jobs a batch runs when the caller names none: the processors this
  // process may use (its affinity, within the cgroup's CPU quota).
  [[nodiscard]] static std::size_t default_jobs() noexcept;
  FileBatch(const FileBatch&) = delete;
  FileBatch& operator=(const FileBatch&) = delete;
  // Stops the threads and waits for them.
  ~FileBatch();

  [[nodiscard]] std::size_t size() const noexcept { return paths_.size(); }

  // Waits at most `timeout` for file `index`; true once it is done. Never
  // true for a file left undone by stop().
  [[nodiscard]] bool wait_for(std::size_t index, std::chrono::milliseconds timeout) noexcept;

  // Waits at most `timeout` for every file; true once all are done.
  [[nodiscard]] bool wait_for_all(std::chrono::milliseconds timeout) noexcept;

  // The outcome of a file that wait_for() has said is done.
  [[nodiscard]] const FileOutcome& outcome(std::size_t index) const noexcept { return outcomes_[index]; }

  // Tells the threads to stop, between chunks of a file rather than only
  // between files, and wakes a waiter; returns at once. Safe from any thread.
  void request_stop() noexcept;

  // The same, then waits for the threads. Idempotent; only ever from one
  // thread at a time.
  void stop() noexcept;

  [[nodiscard]] bool stopping() const noexcept { return stopping_.load(std::memory_order_relaxed); }

  // Whether this is a child the process forked into since the batch started:
  // it has none of the batch's threads, and files not yet done never will be.
  [[nodiscard]] bool inherited() const noexcept;

 private:
  static constexpr std::size_t kAll = static_cast<std::size_t>(-1);

  void work(std::uint8_t* buffer) noexcept;
  template <class Done>
  [[nodiscard]] bool wait_until(Done done, std::size_t wanted, std::chrono::milliseconds timeout) noexcept;
  [[nodiscard]] bool hash_one(std::size_t index, std::uint8_t* buffer) noexcept;

  std::vector<std::string> paths_;
  std::vector<FileOutcome> outcomes_;
  std::unique_ptr<std::atomic<bool>[]> done_;
  std::vector<std::unique_ptr<std::uint8_t[]>> buffers_;
  std::unique_ptr<detail::Threads> threads_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> completed_{0};
  // Bumped by every completion and by a stop: what a waiter sleeps on.
  std::atomic<std::uint32_t> changes_{0};
  std::atomic<bool> waiter_asleep_{false};
  std::atomic<std::size_t> waiting_for_{kAll};  // the file index the waiter wants, or kAll
};

}  // namespace vela_sha
