#include "manifest_conversion.hpp"

#include <array>
#include <stdexcept>

#include "read_ahead.hpp"

namespace vela_sha::py {
namespace {

// Indexed by CompositionError's member number.
constexpr std::array<std::string_view, 3> kCompositionCodes = {
    code::kUnsupportedManifestSchema, code::kDuplicateSource, code::kUnknownEdgeEndpoint};

Py_ssize_t length_of(const Ref& list) noexcept { return PyList_GET_SIZE(list.get()); }

// The nodes, each read ahead where it can be and looked up where it must.
Result<void> add_nodes(const Ref& nodes, ReadAhead& ahead, Conversion& live, CompositionHasher& hasher) {
  return walk_list(
      nodes.get(), [&](Py_ssize_t from, Py_ssize_t to) { return ahead.nodes(nodes.get(), from, to, hasher); },
      [&](Py_ssize_t i, Ref item) -> Result<void> {
        ahead.forget_nodes();
        NodeRead<Ref> node;
        if (check_node(live, item, Place(Place::In::Nodes, static_cast<std::size_t>(i)), node) != Step::Passed) {
          return live.failure();
        }
        hasher.add_node(node.source.text, node.sha256);
        return {};
      });
}

// The edges likewise. The caller's code, once it runs for an edge, may also
// shorten the list: so before it can, the edges start over uncounted, those
// read so far added again (no caller code has run yet, so they read as they
// did).
Result<void> add_edges(const Ref& edges, ReadAhead& ahead, Conversion& live, CompositionHasher& hasher) {
  hasher.begin_edges(static_cast<std::uint64_t>(length_of(edges)));
  bool recounted = false;
  // The endpoints read ahead reach the hasher unvalidated, and an invalid one
  // ends the walk at its edge: so the hasher is asked whenever a run of them
  // stops, before the caller's code can run for a later edge and before a
  // later edge's failure counts.
  auto run = [&](Py_ssize_t from, Py_ssize_t to) -> Result<Py_ssize_t> {
    auto stop = ahead.edges(edges.get(), from, to, hasher);
    if (!hasher.invalid_endpoint()) return stop;
    return rule_error(Rule::CanonicalSource, KeyId::Value);  // any failure of a later edge goes with `stop`
  };
  return walk_list(edges.get(), run, [&](Py_ssize_t i, Ref item) -> Result<void> {
    ahead.forget_nodes();
    if (!recounted) {
      recounted = true;
      hasher.recount_edges();
      if (auto again = ahead.edges_again(edges.get(), i, hasher); !again) return again;
    }
    EdgeRead<Ref> edge;
    if (check_edge(live, item, Place(Place::In::Edges, static_cast<std::size_t>(i)), edge) != Step::Passed) {
      return live.failure();
    }
    hasher.add_edge(edge.ends[0].text, edge.ends[1].text, edge.occurrence);
    return {};
  });
}

}  // namespace

Conversion::Conversion(Keys& keys, PyObject* input) : Lookups(keys) {
  std::array<PyObject*, 3> found;
  if (!PyDict_Check(input) || !keys.read<KeyId::Schema, KeyId::Nodes, KeyId::Edges>(input, found)) return;
  input_ = input;
  for (std::size_t k = 0; k < found.size(); ++k) top_[k] = Ref::borrow(found[k]);
}

Result<CompositionSha256> hash_manifest(PyObject* input) {
  Keys keys;
  Conversion live(keys, input);
  TopRead<Ref> top;
  if (check_top(live, Ref::borrow(input), top) != Step::Passed) return live.failure();
  // Held for the walks, in which the caller's code may drop them from `input`.
  const Ref nodes = std::move(*top.nodes), edges = std::move(*top.edges);

  if (check_list(live, nodes, true) != Step::Passed) return live.failure();
  CompositionHasher hasher(static_cast<std::uint64_t>(length_of(nodes)));
  ReadAhead ahead(keys, static_cast<std::size_t>(length_of(nodes)));
  if (auto added = add_nodes(nodes, ahead, live, hasher); !added) return std::unexpected(std::move(added.error()));
  if (check_list(live, edges, false) != Step::Passed) return live.failure();
  if (auto added = add_edges(edges, ahead, live, hasher); !added) return std::unexpected(std::move(added.error()));

  const auto digest = hasher.finish();
  if (!digest) {
    return error(kCompositionCodes.at(static_cast<std::size_t>(digest.error())), std::string(message(digest.error())));
  }
  return *digest;
}

}  // namespace vela_sha::py
