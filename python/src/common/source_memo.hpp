// The read-ahead's memory of which node each source mapping of the nodes
// became, so that an edge naming a node's very dict is known as that node.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>

#include "ref.hpp"
#include "vela_sha/composition.hpp"

namespace vela_sha::py {

// Which node each source mapping of the nodes became. An edge whose parent or
// child is one of those very dicts names that node: while no Python code has
// run since, the dict holds what it held, and reading it again would give the
// same source (and the same success). Consulted only until Python code may
// have run. The pairs are recorded in node order; the table that finds them is
// only built once the first endpoints asked for show that edges do share the
// nodes' dicts (those decoded from JSON have dicts of their own).
class SourceMemo {
 public:
  // Small manifests are read quickly enough without it.
  explicit SourceMemo(std::size_t nodes)
      : pairs_(nodes < kWorthIt ? nullptr : std::make_unique_for_overwrite<Pair[]>(nodes)),
        active_(nodes >= kWorthIt) {
    if (active_) sampled_.fill(nullptr);
  }

  [[nodiscard]] bool active() const noexcept { return active_; }
  void forget() noexcept { active_ = false; }

  void remember(PyObject* dict, NodeHandle node) noexcept {
    if (active_) pairs_[count_++] = {dict, node};
  }

  void prefetch(PyObject* dict) const noexcept {
    if (mask_ != 0) __builtin_prefetch(&table_[slot_of(dict)]);
  }

  [[nodiscard]] std::optional<NodeHandle> find(PyObject* dict) {
    if (mask_ == 0) return sample(dict);
    for (std::size_t i = slot_of(dict);; i = (i + 1) & mask_) {
      if (table_[i].dict == dict) return table_[i].node;
      if (table_[i].dict == nullptr) return std::nullopt;
    }
  }

 private:
  struct Pair {
    PyObject* dict;
    NodeHandle node;
  };
  static constexpr std::size_t kSample = 32;
  static constexpr std::size_t kWorthIt = 256;

  [[nodiscard]] std::size_t slot_of(PyObject* dict) const noexcept {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(dict) >> 4) * 0x9E3779B97F4A7C15ULL >>
                                    shift_) & mask_;
  }

  // Collects the first endpoints (in a small table of their own); then builds
  // the table if any of them is a node's dict, or stops being asked.
  std::optional<NodeHandle> sample(PyObject* dict) {
    constexpr std::size_t kMask = 2 * kSample - 1;
    auto at = [](PyObject* p) { return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(p) >> 4); };
    for (std::size_t i = at(dict);; ++i) {
      PyObject*& slot = sampled_[i & kMask];
      if (slot == dict) break;
      if (slot == nullptr) {
        slot = dict;
        break;
      }
    }
    if (++sampled_count_ < kSample) return std::nullopt;
    const bool shared = std::any_of(pairs_.get(), pairs_.get() + count_, [&](const Pair& pair) {
      for (std::size_t i = at(pair.dict);; ++i) {
        if (sampled_[i & kMask] == pair.dict) return true;
        if (sampled_[i & kMask] == nullptr) return false;
      }
    });
    if (!shared) {
      active_ = false;
      return std::nullopt;
    }
    build();
    return std::nullopt;
  }

  void build() {
    const int bits = static_cast<int>(std::bit_width(2 * count_ + 1));
    table_.reset(static_cast<Pair*>(std::calloc(std::size_t{1} << bits, sizeof(Pair))));
    if (!table_) throw std::bad_alloc();
    mask_ = (std::size_t{1} << bits) - 1;
    shift_ = 64 - bits;
    // Slots are sent for a few pairs ahead of their insertion.
    constexpr std::size_t kAhead = 8;
    for (std::size_t k = 0; k < count_; ++k) {
      if (k + kAhead < count_) __builtin_prefetch(&table_[slot_of(pairs_[k + kAhead].dict)]);
      for (std::size_t i = slot_of(pairs_[k].dict);; i = (i + 1) & mask_) {
        if (table_[i].dict == pairs_[k].dict) break;  // a dict two nodes share: a duplicate source
        if (table_[i].dict == nullptr) {
          table_[i] = pairs_[k];
          break;
        }
      }
    }
  }

  struct Free {
    void operator()(void* memory) const noexcept { std::free(memory); }
  };
  std::unique_ptr<Pair[]> pairs_;
  std::size_t count_ = 0;
  std::array<PyObject*, 2 * kSample> sampled_;  // cleared only if the memo is used
  std::size_t sampled_count_ = 0;
  std::unique_ptr<Pair[], Free> table_;
  std::size_t mask_ = 0;
  int shift_ = 0;
  bool active_;
};

}  // namespace vela_sha::py
