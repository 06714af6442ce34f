// Runs a test body under every set of vector kernels this CPU runs (the unit
// tests and the fuzz targets alike).
#pragma once

#include <utility>

#include "kernel_set.hpp"

namespace vela_sha::testing {

// `body(name)` once per set, the portable twins first; the set in use before
// is restored afterwards.
template <class Body>
void for_each_kernel_set(Body body) {
  using detail::KernelSet;
  const std::pair<KernelSet, const char*> sets[] = {
      {KernelSet::Portable, "portable"}, {KernelSet::Avx2, "avx2"}, {KernelSet::Avx512, "avx512"}};
  for (const auto& [set, name] : sets) {
    if (set > detail::widest_kernel_set()) break;
    const KernelSet before = detail::use_kernel_set(set);
    body(name);
    detail::use_kernel_set(before);
  }
}

}  // namespace vela_sha::testing
