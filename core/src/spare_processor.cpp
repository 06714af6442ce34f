#include "vela_sha/spare_processor.hpp"

#ifdef __linux__
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>
#endif

namespace vela_sha {

#ifdef __linux__

bool spare_processor() noexcept {
  // Tests choose the path whatever the machine's load: VELA_SHA_HELPER_THREADS
  // set to "on" or "off" decides. Read each time, as it is asked only before
  // large pieces of work.
  if (const char* forced = std::getenv("VELA_SHA_HELPER_THREADS")) {
    if (std::strcmp(forced, "on") == 0) return true;
    if (std::strcmp(forced, "off") == 0) return false;
  }
  static const int processors = [] {
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  }();
  if (processors < 2) return false;
  // The fourth field of "0.41 0.55 0.54 1/120 6709" counts the threads ready
  // to run right now, the caller among them.
  const int file = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  std::array<char, 128> text;
  const ssize_t length = ::read(file, text.data(), text.size());
  ::close(file);
  if (length <= 0) return false;
  const char* at = text.data();
  const char* const end = at + length;
  for (int field = 0; field < 3 && at != end; ++at) field += *at == ' ';
  int ready = 0;
  if (std::from_chars(at, end, ready).ec != std::errc()) return false;
  return ready < processors;
}

int current_processor() noexcept { return sched_getcpu(); }

void keep_off(int processor) noexcept {
  cpu_set_t cpus;
  if (processor < 0 || sched_getaffinity(0, sizeof cpus, &cpus) != 0) return;
  if (!CPU_ISSET(processor, &cpus) || CPU_COUNT(&cpus) < 2) return;
  CPU_CLR(processor, &cpus);
  (void)sched_setaffinity(0, sizeof cpus, &cpus);
}

#else

bool spare_processor() noexcept { return false; }
int current_processor() noexcept { return -1; }
void keep_off(int) noexcept {}

#endif

}  // namespace vela_sha
