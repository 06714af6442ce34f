// The read-ahead: runs of manifest items converted without a single lookup,
// and so without any of the caller's code, each item's objects sent for from
// memory a few items before it is converted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "manifest_reading.hpp"
#include "source_memo.hpp"
#include "vela_sha/composition.hpp"

namespace vela_sha::py {

// Items go through the manifest's rules with what was read of them; an item
// the rules would fail, or whose dicts need real lookups, is declined before
// anything of it is added, for the conversion to meet in its turn: the
// read-ahead decides no error itself. What it reads is only borrowed, which
// holds as long as none of the caller's code runs; each run checks that none
// did (CallerCode) before it uses what it read.
class ReadAhead {
 public:
  // `nodes`: how many nodes the list has (edges that reuse a node's own
  // source dict are known as that node, where there are enough to be worth it).
  ReadAhead(Keys& keys, std::size_t nodes);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Items [from, to) of the node list, or of the edge list, in order, each
  // checked and added to `hasher`: returns `to`, or the index of the first
  // item declined. Edge endpoints go to the hasher unvalidated.
  [[nodiscard]] Result<Py_ssize_t> nodes(PyObject* list, Py_ssize_t from, Py_ssize_t to, CompositionHasher& hasher);
  [[nodiscard]] Result<Py_ssize_t> edges(PyObject* list, Py_ssize_t from, Py_ssize_t to, CompositionHasher& hasher);

  // The edges [0, to) of the last run of edges again, which declined `to`:
  // none of the caller's code may have run since, so they read as they did.
  [[nodiscard]] Result<void> edges_again(PyObject* list, Py_ssize_t to, CompositionHasher& hasher);

  // The caller's code is about to run: a node's dict is no longer taken for
  // the node it was.
  void forget_nodes() noexcept;

 private:
  Keys& keys_;
  SourceMemo memo_;
  std::uint64_t edges_epoch_ = 0;  // when the last run of edges began
};

}  // namespace vela_sha::py
