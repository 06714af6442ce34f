// The set of a manifest's node sources, asked whether each node's source is
// new and whether each edge endpoint is some node's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "huge_buffer.hpp"
#include "siphash.hpp"
#include "vela_sha/composition.hpp"

namespace vela_sha::detail {

// Open addressing over the node entries themselves, keyed with SipHash-1-3
// under a secret (sources crafted to collide cost what others cost); never
// iterated, so neither its hash nor its order reach a digest. The work trails
// the caller by a few records, so that each slot, and then each node entry,
// has been sent for before it is read; endpoint texts are hashed four side
// by side. Its memory is kept from one manifest to the next.
class SourceSet {
 public:
  // Empty, with room for `nodes` at most two-thirds full, keyed by `key`.
  void reset(std::uint64_t nodes, const SourceSetKey& key);
  // Gives back all but a few MiB.
  void trim() noexcept;

  // The node entry at `entry` (its source in stream form), which stays where
  // it is as long as the set is used. A source an earlier node has makes a
  // duplicate.
  void insert(const std::uint8_t* entry) noexcept;
  // The inserts queued so far are done: the nodes are all in.
  void end_nodes() noexcept;

  // An endpoint in stream form at `at`, which must stay until drain(): unknown
  // unless some node has its source. `validated`: whether its text is known to
  // be valid; if not, it is validated if it matches no node, or once the
  // set's answer no longer matters (a duplicate, or an earlier unknown).
  void check(const std::uint8_t* at, bool validated) noexcept;
  // Every check queued is done.
  void drain() noexcept;

  // The hash a source in stream form at `at` is placed by: SipHash-1-3 of
  // its text under `key`, the kind folded into the key.
  [[nodiscard]] static std::uint64_t keyed_hash(const SipKey& key, const std::uint8_t* at) noexcept;

  [[nodiscard]] bool duplicate() const noexcept { return duplicate_; }
  [[nodiscard]] bool unknown() const noexcept { return unknown_; }
  [[nodiscard]] bool invalid() const noexcept { return invalid_; }

 private:
  // A slot: a node's keyed hash and its entry; entry nullptr: free.
  struct Slot {
    std::uint64_t hash;
    const std::uint8_t* entry;
  };
  // A source on its way through the queues.
  struct Work {
    std::uint64_t hash;
    const std::uint8_t* at;  // in stream form
    std::size_t slot;
    bool validated;
  };
  // A small first-in first-out queue: the work that waits for a prefetch.
  template <std::size_t N>
  struct Fifo {
    std::array<Work, N> items;  // only [head, head + size) is meaningful
    std::size_t head = 0, size = 0;
    [[nodiscard]] bool full() const noexcept { return size == N; }
    void push(const Work& work) noexcept { items[(head + size++) % N] = work; }
    Work pop() noexcept {
      --size;
      return items[std::exchange(head, (head + 1) % N)];
    }
    void clear() noexcept { head = size = 0; }
  };
  // How far the work trails the records: far enough for a slot, and then a
  // node entry, to arrive from memory before they are read.
  static constexpr std::size_t kLag = 16;
  static constexpr std::size_t kLanes = 4;

  [[nodiscard]] std::uint64_t hash_of(const std::uint8_t* at) const noexcept;
  void hash_lanes() noexcept;
  void place(const Work& node) noexcept;
  void probe(Work endpoint) noexcept;
  void compare(const Work& endpoint) noexcept;
  void unmatched(const Work& endpoint) noexcept;
  void settle(const Work& endpoint) noexcept;

  HugeBuffer memory_;
  Slot* table_ = nullptr;
  std::size_t mask_ = 0;
  SipKey key_{};
  bool duplicate_ = false, unknown_ = false, invalid_ = false;
  Fifo<kLag> inserts_, probes_, compares_;
  std::array<Work, kLanes> unhashed_{};
  std::size_t unhashed_count_ = 0;
};

}  // namespace vela_sha::detail
