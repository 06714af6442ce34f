// vela_sha.manifest_problems: every problem of a manifest, each with where it
// is, in the order calculate_composition_hash checks them; so the first is
// the error that function raises, and none means it succeeds.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common/manifest_conversion.hpp"
#include "ext.hpp"
#include "vela_sha/composition_problems.hpp"

namespace vela_sha::py {
namespace {

// A step's outcome: its value, nothing (a problem was recorded, or was seen
// and not recorded), or the exception the caller's objects raised, which ends
// the walk as it ends the hash.
template <class T>
using Step = Result<std::optional<T>>;

class Walk {
 public:
  Walk() : problems_(Ref::steal(PyList_New(0))) {
    if (!problems_) throw InterpreterFault("could not create the problem list");
  }

  [[nodiscard]] Keys& keys() noexcept { return keys_; }
  [[nodiscard]] Ref take() noexcept { return std::move(problems_); }

  // Records {"where", "code", "message"} and, for a duplicate, "duplicate_of".
  [[nodiscard]] Result<void> add(const std::string& where, std::string_view code, std::string_view message,
                                 const std::string* duplicate_of = nullptr) {
    const Ref record = Ref::steal(PyDict_New());
    if (!record) return raised();
    const Ref where_text = new_str(where), code_text = new_str(code), message_text = new_str(message);
    if (PyDict_SetItemString(record.get(), "where", where_text.get()) < 0 ||
        PyDict_SetItemString(record.get(), "code", code_text.get()) < 0 ||
        PyDict_SetItemString(record.get(), "message", message_text.get()) < 0) {
      return raised();
    }
    if (duplicate_of != nullptr) {
      const Ref first = new_str(*duplicate_of);
      if (PyDict_SetItemString(record.get(), "duplicate_of", first.get()) < 0) return raised();
    }
    if (PyList_Append(problems_.get(), record.get()) < 0) return raised();
    return {};
  }

  // A failed step: a binding error becomes a record at `where` (unless
  // `report` is false: that entry already has its problem). An exception the
  // caller's objects raised goes on up, as it does from the hash, while
  // nothing has been recorded; past a problem the hash would have stopped
  // before meeting it, so it only makes this entry unreadable. An interrupt,
  // an exit and running out of memory go on up in any case.
  template <class T>
  [[nodiscard]] Step<T> problem(Failure&& failure, const std::string& where, bool report = true) {
    auto* pending = std::get_if<PendingError>(&failure);
    if (pending == nullptr) {
      const bool must_raise = must_reach_caller(std::get<RaisedError>(failure).type.get());
      if (PyList_GET_SIZE(problems_.get()) == 0 || must_raise) return std::unexpected(std::move(failure));
      return std::optional<T>();
    }
    if (report) {
      if (auto added = add(where, pending->code, pending->message); !added) return propagate(added);
    }
    return std::optional<T>();
  }

  template <class T>
  [[nodiscard]] Step<T> problem(std::string_view code, std::string message, const std::string& where,
                                bool report = true) {
    return problem<T>(std::move(error(code, std::move(message)).error()), where, report);
  }

 private:
  Ref problems_;
  Keys keys_;
};

// A source's text, with the str that keeps it alive for the later checks.
Step<Source> source_at(Walk& walk, PyObject* object, const std::string& where, bool report) {
  SourceField field;
  auto source = convert_source(object, walk.keys(), &field);
  if (source) return std::optional<Source>(std::move(*source));
  const char* suffix = field == SourceField::Kind ? ".kind" : field == SourceField::Value ? ".value" : "";
  return walk.problem<Source>(std::move(source.error()), where + suffix, report);
}

// A required entry: its value, or a record that it is missing.
Step<Ref> entry_at(Walk& walk, PyObject* mapping, KeyId key, std::string message, const std::string& where) {
  auto value = LiveLookup(walk.keys())(mapping, key);
  if (!value) return walk.problem<Ref>(std::move(value.error()), where);
  if (!*value) return walk.problem<Ref>(code::kInvalidManifest, std::move(message), where);
  return std::optional<Ref>(std::move(*value));
}

// A string entry's text (the entry may be absent), or a record of its problem.
Step<std::string_view> text_at(Walk& walk, PyObject* mapping, KeyId key, const std::string& where) {
  auto value = LiveLookup(walk.keys())(mapping, key);
  if (!value) return walk.problem<std::string_view>(std::move(value.error()), where);
  auto text = string_text(value->get(), key);
  if (!text) return walk.problem<std::string_view>(std::move(text.error()), where);
  return std::optional<std::string_view>(*text);
}

// A node's source, if it could be read (a node whose digest is bad still has one).
Step<Source> node_at(Walk& walk, PyObject* item, const std::string& where) {
  if (!PyDict_Check(item)) {
    return walk.problem<Source>(code::kInvalidManifest, "manifest node must be a mapping", where);
  }
  auto source_value = entry_at(walk, item, KeyId::Source, "manifest node requires source", where + ".source");
  if (!source_value) return propagate(source_value);
  if (!*source_value) return std::optional<Source>();
  auto source = source_at(walk, (*source_value)->get(), where + ".source", true);
  if (!source || !*source) return source;
  auto digest_text = text_at(walk, item, KeyId::Sha256, where + ".sha256");
  if (!digest_text) return propagate(digest_text);
  if (*digest_text) {
    if (auto digest = TemplateSha256::from_hex(**digest_text); !digest) {
      auto noted = walk.problem<Ref>(std::move(error(digest.error()).error()), where + ".sha256");
      if (!noted) return propagate(noted);
    }
  }
  return source;
}

// An edge's endpoints, with what keeps their texts alive; only the edge's first
// problem is recorded.
struct EdgeRead {
  EdgeEndpoints endpoints;
  Ref holders[2];
};

Result<EdgeRead> edge_at(Walk& walk, PyObject* item, const std::string& where) {
  EdgeRead read;
  if (!PyDict_Check(item)) {
    auto noted = walk.problem<Ref>(code::kInvalidManifest, "manifest edge must be a mapping", where);
    if (!noted) return propagate(noted);
    return read;
  }
  Ref values[3];
  const KeyId keys[] = {KeyId::Parent, KeyId::Child, KeyId::Occurrence};
  for (int i = 0; i < 3; ++i) {
    const std::string name(Keys::text(keys[i]));
    auto value = entry_at(walk, item, keys[i], "manifest edge requires " + name, where + "." + name);
    if (!value) return propagate(value);
    if (!*value) return read;
    values[i] = std::move(**value);
  }
  bool reported = false;
  if (auto occurrence = occurrence_of(values[2].get()); !occurrence) {
    auto noted = walk.problem<Ref>(std::move(occurrence.error()), where + ".occurrence");
    if (!noted) return propagate(noted);
    reported = true;
  }
  // Endpoints are still read past a bad occurrence, for the endpoint check,
  // but their own problems are not recorded then. An edge with an invalid
  // source takes no part in that check.
  auto parent = source_at(walk, values[0].get(), where + ".parent", !reported);
  if (!parent) return propagate(parent);
  reported |= !*parent;
  auto child = source_at(walk, values[1].get(), where + ".child", !reported);
  if (!child) return propagate(child);
  if (*parent && *child) {
    read.endpoints = {(*parent)->text, (*child)->text};
    read.holders[0] = std::move((*parent)->holder);
    read.holders[1] = std::move((*child)->holder);
  }
  return read;
}

// Walks a list as the conversion does: bounded by the smaller of its length at
// the start and its length now, each item held by its own reference.
template <class Visit>
Result<void> walk_list(PyObject* list, Visit&& visit) {
  const Py_ssize_t start = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < std::min(start, PyList_GET_SIZE(list)); ++i) {
    const Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    if (auto visited = visit(static_cast<std::size_t>(i), item.get()); !visited) return visited;
  }
  return {};
}

// The list found under `name` (if it was found), walked item by item; or a
// record that it is no list. True if it was walked.
template <class Visit>
Result<bool> walk_entry(Walk& walk, const std::optional<Ref>& value, const char* name, Visit&& visit) {
  if (!value) return false;
  if (!PyList_Check(value->get())) {
    auto noted = walk.problem<Ref>(code::kInvalidManifest, std::string("manifest ") + name + " must be a list", name);
    if (!noted) return propagate(noted);
    return false;
  }
  auto walked = walk_list(value->get(), std::forward<Visit>(visit));
  if (!walked) return propagate(walked);
  return true;
}

std::string indexed(const char* list, std::size_t index) { return std::string(list) + "[" + std::to_string(index) + "]"; }

Result<Ref> manifest_problems(PyObject* manifest) {
  Walk walk;
  if (!PyDict_Check(manifest)) {
    if (auto added = walk.add("", code::kInvalidInput, "hash input must be a mapping"); !added) return propagate(added);
    return walk.take();
  }

  {
    auto schema_value = LiveLookup(walk.keys())(manifest, KeyId::Schema);
    if (!schema_value) return propagate(schema_value);
    auto schema_text = string_text(schema_value->get(), KeyId::Schema);
    if (!schema_text) {
      if (auto noted = walk.problem<Ref>(std::move(schema_text.error()), "schema"); !noted) return propagate(noted);
    } else if (const auto schema = ManifestSchemaVersion::try_from(*schema_text); !schema) {
      const bool empty = schema.error() == ManifestSchemaError::Empty;
      auto added = walk.add("schema", empty ? code::kInvalidManifest : code::kUnsupportedManifestSchema,
                            empty ? "manifest schema must not be empty"
                                  : "unsupported manifest schema; use vela-sha/manifest/v1");
      if (!added) return propagate(added);
    }
  }
  auto nodes_value = entry_at(walk, manifest, KeyId::Nodes, "manifest object requires nodes", "nodes");
  if (!nodes_value) return propagate(nodes_value);
  auto edges_value = entry_at(walk, manifest, KeyId::Edges, "manifest object requires edges", "edges");
  if (!edges_value) return propagate(edges_value);

  // Each source's text lives in a str held here until the checks are done.
  std::vector<std::optional<SourceText>> nodes;
  std::vector<Ref> holders;
  auto node_list = walk_entry(walk, *nodes_value, "nodes", [&](std::size_t i, PyObject* item) -> Result<void> {
    auto source = node_at(walk, item, indexed("nodes", i));
    if (!source) return propagate(source);
    nodes.emplace_back();
    if (*source) {
      nodes.back() = (*source)->text;
      holders.push_back(std::move((*source)->holder));
    }
    return {};
  });
  if (!node_list) return propagate(node_list);
  std::vector<EdgeEndpoints> edges;
  auto edge_list = walk_entry(walk, *edges_value, "edges", [&](std::size_t k, PyObject* item) -> Result<void> {
    auto read = edge_at(walk, item, indexed("edges", k));
    if (!read) return propagate(read);
    edges.push_back(read->endpoints);
    for (Ref& holder : read->holders) holders.push_back(std::move(holder));
    return {};
  });
  if (!edge_list) return propagate(edge_list);

  // Without a node list, there is nothing to check endpoints against.
  const bool check_endpoints = *node_list;
  const auto found = find_composition_problems(nodes, edges, check_endpoints);
  for (const auto& duplicate : found.duplicates) {
    const std::string first = indexed("nodes", duplicate.first);
    auto added = walk.add(indexed("nodes", duplicate.node), code::kDuplicateSource,
                          message(CompositionError::DuplicateSource), &first);
    if (!added) return propagate(added);
  }
  for (const auto& unknown : found.unknown) {
    auto added = walk.add(indexed("edges", unknown.edge) + (unknown.child ? ".child" : ".parent"),
                          code::kUnknownEdgeEndpoint, message(CompositionError::UnknownEdgeEndpoint));
    if (!added) return propagate(added);
  }
  return walk.take();
}

}  // namespace

PyObject* manifest_problems_py(PyObject*, PyObject* manifest) {
  return guarded<PyObject*>(nullptr, [&] { return finish(manifest_problems(manifest)); });
}

}  // namespace vela_sha::py
