// Every consistency problem of a manifest, where the composition hash stops
// at the first: for telling a user which entries to fix.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "vela_sha/composition.hpp"

namespace vela_sha {

// A node whose source an earlier node already has.
struct DuplicateNode {
  std::size_t node;
  std::size_t first;  // the earliest node with that source

  friend bool operator==(const DuplicateNode&, const DuplicateNode&) = default;
};

// An edge endpoint that is no node's source.
struct UnknownEndpoint {
  std::size_t edge;
  bool child;  // false: the parent

  friend bool operator==(const UnknownEndpoint&, const UnknownEndpoint&) = default;
};

struct CompositionProblems {
  std::vector<DuplicateNode> duplicates;  // in node order
  std::vector<UnknownEndpoint> unknown;   // in edge order, the parent before the child
};

// An edge's endpoints, as far as they could be read.
struct EdgeEndpoints {
  std::optional<SourceText> parent, child;
};

// The duplicate sources among `nodes` and, if `check_endpoints`, the endpoints
// of `edges` that match no node. An absent source (one that could not be
// read) takes part in neither check. Keyed as the composition hash's source
// set is, so crafted sources cost what others cost.
[[nodiscard]] CompositionProblems find_composition_problems(std::span<const std::optional<SourceText>> nodes,
                                                            std::span<const EdgeEndpoints> edges,
                                                            bool check_endpoints);

}  // namespace vela_sha
