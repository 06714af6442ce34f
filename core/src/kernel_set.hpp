// Which vector kernels the library runs. Every kernel has a portable twin;
// the wider ones are chosen here, once, for the whole library.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vela_sha::detail {

// Ordered: each set runs on every CPU that runs the next.
enum class KernelSet : std::uint8_t {
  Portable,  // plain C++, what any CPU runs (aarch64 among them)
  Avx2,      // x86-64 with AVX2, BMI2 and POPCNT (Haswell, Zen and later)
  Avx512,    // and AVX-512 F, BW, VL, VBMI, VBMI2 and VNNI (Ice Lake, Zen 4 and later)
};

// The widest set this CPU runs.
[[nodiscard]] KernelSet widest_kernel_set() noexcept;

// The set in use: the widest, unless VELA_SHA_KERNELS (read at the first call)
// names a narrower one, "portable", "avx2" or "avx512", or a test chose one.
[[nodiscard]] KernelSet kernel_set() noexcept;

// Whether the kernels of `set` are in use (the set in use is `set` or wider).
[[nodiscard]] inline bool using_kernels(KernelSet set) noexcept { return kernel_set() >= set; }

// For tests: uses `set` from now on, or the widest if this CPU cannot run
// it; returns the set used before. Not to be called while other threads hash.
KernelSet use_kernel_set(KernelSet set) noexcept;

// The set a name stands for, as VELA_SHA_KERNELS spells it.
[[nodiscard]] std::optional<KernelSet> kernel_set_named(std::string_view name) noexcept;

}  // namespace vela_sha::detail
