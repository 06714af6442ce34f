// Python manifest mappings into the core's records. Every step returns its
// value or the one failure that ends the call; nothing partial escapes.
#pragma once

#include <memory_resource>
#include <string>
#include <vector>

#include "failure.hpp"
#include "vela_sha/manifest.hpp"

namespace vela_sha::py {

// A key and the text it was made from (for messages). Each key str is made
// once per call and reused for every lookup, so its hash is computed once.
struct Key {
  mutable Ref str;
  std::string_view text;
  mutable bool adopted = false;
};

// What one call's conversion shares: its keys, and the arena its texts are
// copied into (so a manifest's texts sit together and go in one release).
struct Conversion {
  Key schema, nodes, edges, source, sha256, kind, value, parent, child, occurrence;
  std::pmr::memory_resource* texts;

  [[nodiscard]] static Conversion make(std::pmr::memory_resource* texts);
};

// The value under `key` in the dict's own storage (a subclass's __getitem__ or
// __missing__ never runs), as a new reference; an empty Ref if absent; or the
// exception a stored key's __eq__ raised.
[[nodiscard]] Result<Ref> lookup(PyObject* mapping, const Key& key);

// The text of a required string entry, as an owned UTF-8 copy in `texts`.
[[nodiscard]] Result<std::pmr::string> string_field(PyObject* mapping, const Key& key,
                                                    std::pmr::memory_resource* texts);

// An occurrence: any int (bool and __index__ objects included) from 0 to 2**32 - 1.
[[nodiscard]] Result<std::uint32_t> parse_occurrence(PyObject* object);

[[nodiscard]] Result<CanonicalSource> parse_source(PyObject* object, const Conversion& conversion);
[[nodiscard]] Result<std::vector<ResolvedTemplateNode>> parse_nodes(PyObject* object,
                                                                    const Conversion& conversion);
[[nodiscard]] Result<std::vector<ResolvedIncludeEdge>> parse_edges(PyObject* object,
                                                                   const Conversion& conversion);

}  // namespace vela_sha::py
