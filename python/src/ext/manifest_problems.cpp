// vela_sha.manifest_problems: every problem of a manifest, each with where it
// is, in the order calculate_composition_hash checks them; so the first is
// the error that function raises, and none means it succeeds.
#include <algorithm>
#include <memory_resource>
#include <optional>
#include <string>
#include <vector>

#include "common/manifest_conversion.hpp"
#include "ext.hpp"
#include "vela_sha/composition.hpp"
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
  explicit Walk(std::pmr::memory_resource* texts)
      : problems_(Ref::steal(PyList_New(0))), conversion_(Conversion::make(texts)) {
    if (!problems_) throw InterpreterFault("could not create the problem list");
  }

  [[nodiscard]] const Conversion& conversion() const noexcept { return conversion_; }
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
      const auto& raised_error = std::get<RaisedError>(failure);
      const bool ordinary = PyErr_GivenExceptionMatches(raised_error.type.get(), PyExc_Exception) &&
                            !PyErr_GivenExceptionMatches(raised_error.type.get(), PyExc_MemoryError);
      if (PyList_GET_SIZE(problems_.get()) == 0 || !ordinary) return std::unexpected(std::move(failure));
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
  Conversion conversion_;
};

Step<CanonicalSource> source_at(Walk& walk, PyObject* object, const std::string& where, bool report) {
  const Conversion& conversion = walk.conversion();
  if (!PyDict_Check(object)) {
    return walk.problem<CanonicalSource>(code::kInvalidManifest, "source must be a mapping", where, report);
  }
  auto kind = string_field(object, conversion.kind, conversion.texts);
  if (!kind) return walk.problem<CanonicalSource>(std::move(kind.error()), where + ".kind", report);
  auto value = string_field(object, conversion.value, conversion.texts);
  if (!value) return walk.problem<CanonicalSource>(std::move(value.error()), where + ".value", report);
  auto refused = [&](CanonicalSourceError e) {
    return walk.problem<CanonicalSource>(code::kInvalidCanonicalSource, std::string(message(e)),
                                         where + ".value", report);
  };
  if (*kind == "url") {
    auto url = CanonicalSourceUrl::try_from(std::move(*value));
    if (!url) return refused(url.error());
    return std::optional<CanonicalSource>(std::move(*url));
  }
  if (*kind == "local_path") {
    auto path = CanonicalTemplatePath::try_from(std::move(*value));
    if (!path) return refused(path.error());
    return std::optional<CanonicalSource>(std::move(*path));
  }
  return walk.problem<CanonicalSource>(code::kInvalidManifest, "source kind must be local_path or url",
                                       where + ".kind", report);
}

// A required entry: its value, or a record that it is missing.
Step<Ref> entry_at(Walk& walk, PyObject* mapping, const Key& key, std::string message, const std::string& where) {
  auto value = lookup(mapping, key);
  if (!value) return walk.problem<Ref>(std::move(value.error()), where);
  if (!*value) return walk.problem<Ref>(code::kInvalidManifest, std::move(message), where);
  return std::optional<Ref>(std::move(*value));
}

// A node's source, if it could be read (a node whose digest is bad still has one).
Step<CanonicalSource> node_at(Walk& walk, PyObject* item, const std::string& where) {
  const Conversion& conversion = walk.conversion();
  if (!PyDict_Check(item)) {
    return walk.problem<CanonicalSource>(code::kInvalidManifest, "manifest node must be a mapping", where);
  }
  auto source_value = entry_at(walk, item, conversion.source, "manifest node requires source", where + ".source");
  if (!source_value) return propagate(source_value);
  if (!*source_value) return std::optional<CanonicalSource>();
  auto source = source_at(walk, (*source_value)->get(), where + ".source", true);
  if (!source || !*source) return source;
  auto digest_text = string_field(item, conversion.sha256, conversion.texts);
  if (!digest_text) {
    if (auto noted = walk.problem<Ref>(std::move(digest_text.error()), where + ".sha256"); !noted) {
      return propagate(noted);
    }
  } else if (auto digest = TemplateSha256::from_hex(*digest_text); !digest) {
    if (auto noted = walk.problem<Ref>(std::move(error(digest.error()).error()), where + ".sha256"); !noted) {
      return propagate(noted);
    }
  }
  return source;
}

// An edge's endpoints, each if it could be read; only the edge's first
// problem is recorded.
Result<EdgeEndpoints> edge_at(Walk& walk, PyObject* item, const std::string& where) {
  const Conversion& conversion = walk.conversion();
  EdgeEndpoints endpoints;
  if (!PyDict_Check(item)) {
    auto noted = walk.problem<Ref>(code::kInvalidManifest, "manifest edge must be a mapping", where);
    if (!noted) return propagate(noted);
    return endpoints;
  }
  std::optional<Ref> values[3];
  const Key* keys[] = {&conversion.parent, &conversion.child, &conversion.occurrence};
  const char* names[] = {"parent", "child", "occurrence"};
  for (int i = 0; i < 3; ++i) {
    auto value = entry_at(walk, item, *keys[i], std::string("manifest edge requires ") + names[i],
                          where + "." + names[i]);
    if (!value) return propagate(value);
    if (!*value) return endpoints;
    values[i] = std::move(**value);
  }
  bool reported = false;
  if (auto occurrence = parse_occurrence(values[2]->get()); !occurrence) {
    auto noted = walk.problem<Ref>(std::move(occurrence.error()), where + ".occurrence");
    if (!noted) return propagate(noted);
    reported = true;
  }
  // Endpoints are still read past a bad occurrence, for the endpoint check,
  // but their own problems are not recorded then. An edge with an invalid
  // source takes no part in that check.
  auto parent = source_at(walk, values[0]->get(), where + ".parent", !reported);
  if (!parent) return propagate(parent);
  reported |= !*parent;
  auto child = source_at(walk, values[1]->get(), where + ".child", !reported);
  if (!child) return propagate(child);
  if (*parent && *child) {
    endpoints.parent = std::move(*parent);
    endpoints.child = std::move(*child);
  }
  return endpoints;
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

std::string indexed(const char* list, std::size_t index) { return std::string(list) + "[" + std::to_string(index) + "]"; }

Result<Ref> manifest_problems(PyObject* manifest) {
  std::pmr::monotonic_buffer_resource texts(16 * 1024);
  Walk walk(&texts);
  const Conversion& conversion = walk.conversion();
  if (!PyDict_Check(manifest)) {
    if (auto added = walk.add("", code::kInvalidInput, "hash input must be a mapping"); !added) return propagate(added);
    return walk.take();
  }

  auto schema_text = string_field(manifest, conversion.schema, conversion.texts);
  if (!schema_text) {
    if (auto noted = walk.problem<Ref>(std::move(schema_text.error()), "schema"); !noted) return propagate(noted);
  } else if (const auto schema = ManifestSchemaVersion::try_from(*schema_text); !schema) {
    const bool empty = schema.error() == ManifestSchemaError::Empty;
    auto added = walk.add("schema", empty ? code::kInvalidManifest : code::kUnsupportedManifestSchema,
                          empty ? "manifest schema must not be empty"
                                : "unsupported manifest schema; use vela-sha/manifest/v1");
    if (!added) return propagate(added);
  }
  auto nodes_value = entry_at(walk, manifest, conversion.nodes, "manifest object requires nodes", "nodes");
  if (!nodes_value) return propagate(nodes_value);
  auto edges_value = entry_at(walk, manifest, conversion.edges, "manifest object requires edges", "edges");
  if (!edges_value) return propagate(edges_value);

  std::vector<std::optional<CanonicalSource>> nodes;
  bool check_endpoints = false;
  if (*nodes_value) {
    PyObject* list = (*nodes_value)->get();
    if (!PyList_Check(list)) {
      if (auto noted = walk.problem<Ref>(code::kInvalidManifest, "manifest nodes must be a list", "nodes"); !noted) {
        return propagate(noted);
      }
    } else {
      check_endpoints = true;
      auto walked = walk_list(list, [&](std::size_t i, PyObject* item) -> Result<void> {
        auto source = node_at(walk, item, indexed("nodes", i));
        if (!source) return propagate(source);
        nodes.push_back(std::move(*source));
        return {};
      });
      if (!walked) return propagate(walked);
    }
  }
  std::vector<EdgeEndpoints> edges;
  if (*edges_value) {
    PyObject* list = (*edges_value)->get();
    if (!PyList_Check(list)) {
      if (auto noted = walk.problem<Ref>(code::kInvalidManifest, "manifest edges must be a list", "edges"); !noted) {
        return propagate(noted);
      }
    } else {
      auto walked = walk_list(list, [&](std::size_t k, PyObject* item) -> Result<void> {
        auto endpoints = edge_at(walk, item, indexed("edges", k));
        if (!endpoints) return propagate(endpoints);
        edges.push_back(std::move(*endpoints));
        return {};
      });
      if (!walked) return propagate(walked);
    }
  }

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

PyObject* manifest_problems_py(PyObject*, PyObject* manifest) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return finish(manifest_problems(manifest)); });
}

}  // namespace vela_sha::py
