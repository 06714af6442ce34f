#include "threads.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace vela_sha::detail {
namespace {

// The start of a small file of the kernel's (as much as `text` holds), or nothing.
std::string_view read_small(const char* path, std::array<char, 256>& text) noexcept {
  const int file = ::open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return {};
  const ssize_t length = ::read(file, text.data(), text.size());
  ::close(file);
  return length > 0 ? std::string_view(text.data(), static_cast<std::size_t>(length)) : std::string_view();
}

template <class Number>
bool parse(std::string_view text, Number& number) noexcept {
  return std::from_chars(text.data(), text.data() + text.size(), number).ec == std::errc();
}

// Whole processors a quota of `quota` per `period` microseconds allows
// (rounded up: 1.5 processors' worth keeps two busy part of the time).
unsigned processors_for(std::int64_t quota, std::int64_t period) noexcept {
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<unsigned>((quota + period - 1) / period);
}

// The tightest CPU quota over the process's cgroup and its ancestors; 0 if
// none is set (or none can be read). cgroup v2's cpu.max reads "max 100000"
// or "150000 100000"; v1 has the two numbers in files of their own.
unsigned cgroup_limit() noexcept {
  try {
    std::ifstream membership("/proc/self/cgroup");
    std::string line;
    unsigned limit = 0;
    auto tighten = [&limit](unsigned processors) {
      if (processors != 0 && (limit == 0 || processors < limit)) limit = processors;
    };
    while (std::getline(membership, line)) {
      // "0::/path" (v2), or "4:cpu,cpuacct:/path" (v1).
      const auto first = line.find(':'), second = line.find(':', first + 1);
      if (first == std::string::npos || second == std::string::npos) continue;
      const std::string controllers = line.substr(first + 1, second - first - 1);
      std::string path = line.substr(second + 1);
      const bool v2 = controllers.empty();
      if (!v2 && (",cpu," + controllers + ",").find(",cpu,") == std::string::npos) continue;
      const std::string root = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/" + controllers;
      for (;;) {
        std::array<char, 256> text;
        if (v2) {
          const std::string_view max = read_small((root + path + "/cpu.max").c_str(), text);
          const auto blank = max.find(' ');
          std::int64_t quota = 0, period = 0;
          if (blank != std::string_view::npos && parse(max.substr(0, blank), quota) &&
              parse(max.substr(blank + 1), period)) {
            tighten(processors_for(quota, period));
          }
        } else {
          std::int64_t quota = 0, period = 0;
          if (parse(read_small((root + path + "/cpu.cfs_quota_us").c_str(), text), quota) &&
              parse(read_small((root + path + "/cpu.cfs_period_us").c_str(), text), period)) {
            tighten(processors_for(quota, period));
          }
        }
        if (path.empty() || path == "/") break;
        path.erase(path.rfind('/'));
      }
    }
    return limit;
  } catch (...) {
    return 0;  // no memory for a path: no limit known
  }
}

std::atomic<std::uint64_t> fork_count{0};

// Counted in the child of every fork from the moment the library is loaded.
[[maybe_unused]] const int registered = pthread_atfork(nullptr, nullptr, [] {
  fork_count.fetch_add(1, std::memory_order_relaxed);
});

// The fourth field of /proc/loadavg ("0.41 0.55 0.54 1/120 6709") counts the
// threads ready to run right now, the caller among them.
bool machine_is_busy(unsigned budget) noexcept {
  std::array<char, 256> text;
  std::string_view load = read_small("/proc/loadavg", text);
  for (int field = 0; field < 3; ++field) {
    const auto blank = load.find(' ');
    if (blank == std::string_view::npos) return true;
    load.remove_prefix(blank + 1);
  }
  unsigned ready = 0;
  if (!parse(load.substr(0, load.find('/')), ready)) return true;
  return ready >= budget;
}

}  // namespace

unsigned cpu_budget() noexcept {
  static const unsigned quota = cgroup_limit();
  cpu_set_t cpus;
  const int affinity = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  const unsigned budget = static_cast<unsigned>(std::max(affinity, 1));
  return quota != 0 ? std::min(budget, quota) : budget;
}

bool helper_may_start() noexcept {
  if (const char* forced = std::getenv("VELA_SHA_HELPER_THREADS")) {
    if (std::strcmp(forced, "on") == 0) return true;
    if (std::strcmp(forced, "off") == 0) return false;
  }
  const unsigned budget = cpu_budget();
  return budget >= 2 && !machine_is_busy(budget);
}

std::uint64_t forks() noexcept { return fork_count.load(std::memory_order_relaxed); }

namespace {

// Keeps the calling thread off `processor`. Best effort: sched_setaffinity
// rather than pthread_setaffinity_np, which needs a newer glibc than the
// wheels may ask for.
void keep_off(int processor) noexcept {
  cpu_set_t cpus;
  if (processor < 0 || sched_getaffinity(0, sizeof cpus, &cpus) != 0) return;
  if (!CPU_ISSET(processor, &cpus) || CPU_COUNT(&cpus) < 2) return;
  CPU_CLR(processor, &cpus);
  (void)sched_setaffinity(0, sizeof cpus, &cpus);
}

}  // namespace

bool Threads::launch(std::unique_ptr<Start> start) {
  try {
    threads_.reserve(threads_.size() + 1);  // so that keeping it cannot fail once it runs
    auto thread = std::make_unique<std::thread>([owned = std::move(start)] {
      keep_off(owned->caller_processor);
      owned->run();
    });
    threads_.push_back(std::move(thread));
    return true;
  } catch (const std::exception&) {
    return false;  // no memory for it, or no thread from the system
  }
}

void Threads::join() noexcept {
  for (auto& thread : threads_) {
    // A forked child has none of these threads, and their handles may already
    // name threads of its own: they are forgotten, neither joined nor detached
    // (a handle left joinable must not be destroyed).
    if (forked()) {
      (void)thread.release();
      continue;
    }
    try {
      thread->join();
    } catch (const std::system_error&) {
      (void)thread.release();
    }
  }
  threads_.clear();
}

}  // namespace vela_sha::detail
