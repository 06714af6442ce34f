#include "kernel_set.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace vela_sha::detail {
namespace {

constexpr std::uint8_t kUnset = 0xFF;
std::atomic<std::uint8_t> chosen{kUnset};

}  // namespace

KernelSet widest_kernel_set() noexcept {
#if defined(__x86_64__)
  static const KernelSet widest = [] {
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                      __builtin_cpu_supports("popcnt");
    if (avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("avx512vnni")) {
      return KernelSet::Avx512;
    }
    return avx2 ? KernelSet::Avx2 : KernelSet::Portable;
  }();
  return widest;
#else
  return KernelSet::Portable;
#endif
}

std::optional<KernelSet> kernel_set_named(std::string_view name) noexcept {
  if (name == "portable") return KernelSet::Portable;
  if (name == "avx2") return KernelSet::Avx2;
  if (name == "avx512") return KernelSet::Avx512;
  return std::nullopt;
}

KernelSet kernel_set() noexcept {
  const std::uint8_t set = chosen.load(std::memory_order_relaxed);
  if (set != kUnset) [[likely]] return static_cast<KernelSet>(set);
  KernelSet first = widest_kernel_set();
  if (const char* name = std::getenv("VELA_SHA_KERNELS")) {
    if (const auto named = kernel_set_named(name)) first = std::min(first, *named);
  }
  // Threads that get here together all pick the same.
  chosen.store(static_cast<std::uint8_t>(first), std::memory_order_relaxed);
  return first;
}

KernelSet use_kernel_set(KernelSet set) noexcept {
  const KernelSet before = kernel_set();
  chosen.store(static_cast<std::uint8_t>(std::min(set, widest_kernel_set())), std::memory_order_relaxed);
  return before;
}

}  // namespace vela_sha::detail
