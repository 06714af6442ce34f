// vela_sha.manifest_problems: every problem of a manifest, each with where it
// is, in the order calculate_composition_hash checks them; so the first is
// the error that function raises, and none means it succeeds.
#include <optional>
#include <string>
#include <vector>

#include "common/arguments.hpp"
#include "common/manifest_conversion.hpp"
#include "ext.hpp"
#include "vela_sha/composition_problems.hpp"

namespace vela_sha::py {
namespace {

// The rules' reader that records problems (manifest_rules.hpp): entries are
// looked up as the hash looks them up, each item's first failed check is
// recorded with where it is, and the rules read on where they can.
class Problems : public Lookups<Problems> {
 public:
  explicit Problems(Keys& keys) : Lookups(keys), problems_(Ref::steal(PyList_New(0))) {
    if (!problems_) throw InterpreterFault("could not create the problem list");
  }

  Step fail(Rule rule, KeyId key, const Place& at) {
    if (reported_) return Step::Failed;
    reported_ = true;
    auto failure = rule_error(rule, key);
    const auto& pending = std::get<PendingError>(failure.error());
    if (auto added = add(at.text(), pending.code, pending.message); !added) return stop(std::move(added.error()));
    return Step::Failed;
  }

  // An exception the caller's objects raised goes on up, as it does from the
  // hash, while nothing has been recorded; past a problem the hash would have
  // stopped before meeting it, so it only makes this entry unreadable. An
  // interrupt, an exit and running out of memory go on up in any case.
  Step stop(Failure&& failure) {
    const auto* raised = std::get_if<RaisedError>(&failure);
    if (raised != nullptr && !must_reach_caller(raised->type.get()) && PyList_GET_SIZE(problems_.get()) != 0) {
      return Step::Failed;
    }
    failure_ = std::move(failure);
    return Step::Stopped;
  }

  static bool go_on() noexcept { return true; }
  // Each item, and each entry of the manifest, gives at most its first problem.
  void item(const Place&) noexcept { reported_ = false; }

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

  // The failure a check stopped at.
  [[nodiscard]] std::unexpected<Failure> failure() { return std::unexpected(std::move(*failure_)); }
  [[nodiscard]] Ref take() noexcept { return std::move(problems_); }

 private:
  Ref problems_;
  std::optional<Failure> failure_;
  bool reported_ = false;
};

// Every item of a list (held by `value`, if it is one), each given to
// `visit(index, item)`. False if it is no list.
template <class Visit>
Result<bool> each_item(Problems& problems, const std::optional<Ref>& value, bool nodes, Visit&& visit) {
  if (!value) return false;
  const Step list = check_list(problems, *value, nodes);
  if (list == Step::Stopped) return problems.failure();
  if (list == Step::Failed) return false;
  auto walked = walk_list(
      value->get(), [](Py_ssize_t from, Py_ssize_t) -> Result<Py_ssize_t> { return from; },
      [&](Py_ssize_t i, Ref item) { return visit(static_cast<std::size_t>(i), std::move(item)); });
  if (!walked) return std::unexpected(std::move(walked.error()));
  return true;
}

std::string indexed(const char* list, std::size_t index) { return std::string(list) + "[" + std::to_string(index) + "]"; }

Result<Ref> manifest_problems(PyObject* manifest) {
  Keys keys;
  Problems problems(keys);
  TopRead<Ref> top;
  const Step step = check_top(problems, Ref::borrow(manifest), top);
  if (step == Step::Stopped) return problems.failure();
  if (step == Step::Failed) return problems.take();  // no mapping at all

  // A source takes part in the checks below if it could be read; its text
  // lives in a str held here until they are done.
  std::vector<std::optional<SourceText>> nodes;
  std::vector<EdgeEndpoints> edges;
  std::vector<Ref> holders;
  auto node_list = each_item(problems, top.nodes, true, [&](std::size_t i, Ref item) -> Result<void> {
    NodeRead<Ref> node;
    const Step read = check_node(problems, item, Place(Place::In::Nodes, i), node);
    if (read == Step::Stopped) return problems.failure();
    nodes.emplace_back();
    if (read == Step::Passed) {
      nodes.back() = node.source.text;
      holders.push_back(std::move(node.source.holder));
    }
    return {};
  });
  if (!node_list) return std::unexpected(std::move(node_list.error()));
  auto edge_list = each_item(problems, top.edges, false, [&](std::size_t k, Ref item) -> Result<void> {
    EdgeRead<Ref> edge;
    const Step read = check_edge(problems, item, Place(Place::In::Edges, k), edge);
    if (read == Step::Stopped) return problems.failure();
    edges.emplace_back();
    // An edge takes part only if both of its sources could be read.
    if (read == Step::Passed && edge.has_end[0] && edge.has_end[1]) {
      edges.back() = {edge.ends[0].text, edge.ends[1].text};
      for (auto& end : edge.ends) holders.push_back(std::move(end.holder));
    }
    return {};
  });
  if (!edge_list) return std::unexpected(std::move(edge_list.error()));

  // Without a node list, there is nothing to check endpoints against.
  const auto found = find_composition_problems(nodes, edges, *node_list);
  for (const auto& duplicate : found.duplicates) {
    const std::string first = indexed("nodes", duplicate.first);
    auto added = problems.add(indexed("nodes", duplicate.node), code::kDuplicateSource,
                              message(CompositionError::DuplicateSource), &first);
    if (!added) return std::unexpected(std::move(added.error()));
  }
  for (const auto& unknown : found.unknown) {
    auto added = problems.add(indexed("edges", unknown.edge) + (unknown.child ? ".child" : ".parent"),
                              code::kUnknownEdgeEndpoint, message(CompositionError::UnknownEdgeEndpoint));
    if (!added) return std::unexpected(std::move(added.error()));
  }
  return problems.take();
}

}  // namespace

PyObject* manifest_problems_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"manifest"};
  static constexpr Signature kSignature{"manifest_problems()", kNames, 1};
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* manifest;
    if (!bind_arguments(kSignature, args, nargs, kwnames, &manifest)) return nullptr;
    return finish(manifest_problems(manifest));
  });
}

}  // namespace vela_sha::py
