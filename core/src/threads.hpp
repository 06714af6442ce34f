// The library's own threads: how many processors the process may use, when a
// helper thread may start beside its caller, and threads that are joined with
// their owner (or left alone in a child the process forked into, which has
// none of them).
#pragma once

#include <sched.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace vela_sha::detail {

// The processors this process may use: its affinity mask, bounded by the
// cgroup CPU quota where one is set. At least 1.
[[nodiscard]] unsigned cpu_budget() noexcept;

// Whether a helper thread may start beside its caller now: the budget has
// room for two, and fewer threads in the whole system are ready to run than
// the budget allows (the caller among them); on a busy machine a helper would
// only take its time from the caller, or from others. Tests choose instead:
// VELA_SHA_HELPER_THREADS set to "on" or "off" decides.
[[nodiscard]] bool helper_may_start() noexcept;

// How many times this copy of the process has come out of fork() as the
// child. A thread started before that does not exist here.
[[nodiscard]] std::uint64_t forks() noexcept;

// Threads started by one owner and joined when it is done with them. In a
// child forked since they started they do not exist, and are left alone.
class Threads {
 public:
  Threads() noexcept : forks_(forks()) {}
  Threads(const Threads&) = delete;
  Threads& operator=(const Threads&) = delete;
  ~Threads() { join(); }

  // Runs `work()` on a new thread; false if the system gives none. With
  // `beside_caller`, the thread first moves off the processor its caller is
  // on, where the two would only take turns.
  template <class Work>
  [[nodiscard]] bool start(Work work, bool beside_caller = false);

  [[nodiscard]] std::size_t size() const noexcept { return threads_.size(); }
  [[nodiscard]] bool empty() const noexcept { return threads_.empty(); }

  // Whether the process forked since the threads started: they are gone.
  [[nodiscard]] bool forked() const noexcept { return forks() != forks_; }

  // Waits for every thread to end. Idempotent.
  void join() noexcept;

  // What a new thread runs (start() makes one).
  struct Start {
    virtual ~Start() = default;
    virtual void run() noexcept = 0;
    int caller_processor = -1;
  };

 private:
  [[nodiscard]] bool launch(std::unique_ptr<Start> start);

  std::vector<std::unique_ptr<std::thread>> threads_;
  std::uint64_t forks_;
};

template <class Work>
bool Threads::start(Work work, bool beside_caller) {
  struct Of final : Start {
    explicit Of(Work w) : work(std::move(w)) {}
    void run() noexcept override { work(); }
    Work work;
  };
  auto start = std::make_unique<Of>(std::move(work));
  if (beside_caller) start->caller_processor = sched_getcpu();
  return launch(std::move(start));
}

}  // namespace vela_sha::detail
