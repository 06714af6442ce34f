// The manifest's rules, in one place: for every entry, what is read, in what
// order, and which failure each check gives. Three readers run these same
// functions, each deciding how entries are found and what a failed check does:
//   - the conversion looks entries up, and its first failure is the call's;
//   - the read-ahead takes what it read without lookups, and declines an item
//     at any check that would fail (the conversion then meets it in turn);
//   - manifest_problems looks entries up, records each item's first failure
//     with where it is, and reads on where it can.
//
// Every check returns a Step and writes what it read into its last argument.
// A reader provides:
//   Value                        an entry's value as the reader holds it
//   Holder                       what keeps a text alive (nothing if borrowed)
//   mapping(v), list(v)          the mapping and list tests
//   entry(m, key, missing, at, out)  the value under `key`; `missing` if absent
//   text(v, key, at, out)        the string test
//   occurrence(v, at, out)       the integer test
//   fail(rule, key, at)          a failed check: Failed, or Stopped
//   go_on()                      whether to read on past a failed check
//   item(at)                     an item (or an entry of the manifest) begins
//   known_node(v)                the node a source mapping is known to be
//   defers_validation()          whether endpoint texts are left to the hasher
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "manifest_reading.hpp"
#include "vela_sha/composition.hpp"

namespace vela_sha::py {

// Every failure the rules give.
enum class Rule : std::uint8_t {
  InputNotMapping,
  RequiresKey,     // of the key
  FieldNotString,  // of the key
  SchemaEmpty,
  SchemaUnsupported,
  NodesNotList,
  NodeNotMapping,
  NodeRequiresSource,
  SourceNotMapping,
  SourceKind,
  CanonicalSource,
  Digest,
  EdgesNotList,
  EdgeNotMapping,
  EdgeRequires,  // of the key
  Occurrence,
};

// The error a rule gives (`key` for the rules that name one).
[[nodiscard]] std::unexpected<Failure> rule_error(Rule rule, KeyId key);

// How a check went: it passed; it failed, and the reader dealt with that
// (recorded it, or declined the item); or the walk ends (the reader holds why).
enum class Step : std::uint8_t { Passed, Failed, Stopped };

// Where a check is: the manifest, one of its entries, or an item of a list,
// and within that up to two keys deep.
struct Place {
  enum class In : std::uint8_t { Manifest, Schema, Nodes, Edges };
  Place() noexcept = default;
  explicit Place(In where, std::optional<std::size_t> item = std::nullopt) noexcept : in(where), index(item) {}

  In in = In::Manifest;
  std::optional<std::size_t> index;
  std::array<KeyId, 2> keys{};
  std::uint8_t depth = 0;

  [[nodiscard]] Place with(KeyId key) const noexcept {
    Place deeper = *this;
    deeper.keys[deeper.depth++] = key;
    return deeper;
  }
  // As manifest_problems names it: "" for the manifest, "schema",
  // "nodes[3].source.kind".
  [[nodiscard]] std::string text() const;
};

// A text, and what keeps it alive.
template <class Holder>
struct Text {
  std::string_view text;
  [[no_unique_address]] Holder holder;
};

// A source: its member and text, and what keeps the text; or the node the
// reader knows it to be. `validated`: false if the text was left unchecked.
template <class Holder>
struct SourceRead {
  SourceText text;
  [[no_unique_address]] Holder holder;
  NodeHandle node;
  bool validated;
};

template <class Holder>
struct NodeRead {
  SourceRead<Holder> source;
  TemplateSha256 sha256{Sha256Bytes{}};
  bool has_sha256;  // false: it failed, and was read on past
};

// What of an edge could be read: all of it, unless the rules read on past a
// failure.
template <class Holder>
struct EdgeRead {
  std::array<SourceRead<Holder>, 2> ends;  // parent, child
  std::array<bool, 2> has_end;
  std::uint32_t occurrence;
  bool has_occurrence;
};

template <class Value>
struct TopRead {
  std::optional<Value> nodes, edges;  // none: absent (read on past)
};

[[nodiscard]] std::optional<CanonicalSource::Member> member_of(std::string_view kind) noexcept;

// A required string entry: looked up, then tested.
template <class Reader, class Value, class Holder>
Step check_text(Reader& r, const Value& mapping, KeyId key, const Place& at, Text<Holder>& out) {
  Value value;
  if (const Step step = r.entry(mapping, key, Rule::RequiresKey, at, value); step != Step::Passed) return step;
  return r.text(std::move(value), key, at, out);
}

// A source mapping. Both entries are read and tested before the kind is
// compared; the text is validated last. An endpoint the reader knows to be a
// node's is taken as that node.
template <class Reader, class Value, class Holder>
Step check_source(Reader& r, const Value& object, bool endpoint, const Place& at, SourceRead<Holder>& out) {
  out.node = endpoint ? r.known_node(object) : NodeHandle();
  if (out.node) return Step::Passed;
  if (!r.mapping(object)) return r.fail(Rule::SourceNotMapping, KeyId::Kind, at);
  Text<Holder> kind, value;
  if (const Step step = check_text(r, object, KeyId::Kind, at.with(KeyId::Kind), kind); step != Step::Passed) {
    return step;
  }
  const auto member = member_of(kind.text);
  if (const Step step = check_text(r, object, KeyId::Value, at.with(KeyId::Value), value); step != Step::Passed) {
    return step;
  }
  if (!member) return r.fail(Rule::SourceKind, KeyId::Kind, at.with(KeyId::Kind));
  out.validated = !(endpoint && r.defers_validation());
  if (out.validated && !validate_representation(value.text)) {
    return r.fail(Rule::CanonicalSource, KeyId::Value, at.with(KeyId::Value));
  }
  out.text = {*member, value.text};
  out.holder = std::move(value.holder);
  return Step::Passed;
}

// A node: its source, then (once the source converts) its digest. A node
// whose digest failed still has its source, where the rules read on.
template <class Reader, class Value, class Holder>
Step check_node(Reader& r, const Value& item, const Place& at, NodeRead<Holder>& out) {
  r.item(at);
  if (!r.mapping(item)) return r.fail(Rule::NodeNotMapping, KeyId::Source, at);
  Value source;
  const Place source_at = at.with(KeyId::Source);
  if (const Step step = r.entry(item, KeyId::Source, Rule::NodeRequiresSource, source_at, source);
      step != Step::Passed) {
    return step;
  }
  if (const Step step = check_source(r, source, false, source_at, out.source); step != Step::Passed) return step;
  Text<Holder> text;
  const Place digest_at = at.with(KeyId::Sha256);
  Step step = check_text(r, item, KeyId::Sha256, digest_at, text);
  out.has_sha256 = false;
  if (step == Step::Passed) {
    if (const auto digest = TemplateSha256::from_hex(text.text)) {
      out.sha256 = *digest;
      out.has_sha256 = true;
    } else {
      step = r.fail(Rule::Digest, KeyId::Sha256, digest_at);
    }
  }
  return step == Step::Failed && r.go_on() ? Step::Passed : step;
}

// An edge: its three entries are found, then the occurrence converted, then
// the parent and the child.
template <class Reader, class Value, class Holder>
Step check_edge(Reader& r, const Value& item, const Place& at, EdgeRead<Holder>& out) {
  r.item(at);
  if (!r.mapping(item)) return r.fail(Rule::EdgeNotMapping, KeyId::Parent, at);
  static constexpr KeyId kKeys[] = {KeyId::Parent, KeyId::Child, KeyId::Occurrence};
  Value values[3];
  for (std::size_t i = 0; i < 3; ++i) {
    if (const Step step = r.entry(item, kKeys[i], Rule::EdgeRequires, at.with(kKeys[i]), values[i]);
        step != Step::Passed) {
      return step;
    }
  }
  // Past a failure the rules read on (for manifest_problems) only while it was dealt with.
  auto read_on = [&](Step step) { return step == Step::Passed || (step == Step::Failed && r.go_on()); };
  Step step = r.occurrence(values[2], at.with(KeyId::Occurrence), out.occurrence);
  out.has_occurrence = step == Step::Passed;
  if (!read_on(step)) return step;
  for (std::size_t i = 0; i < 2; ++i) {
    step = check_source(r, values[i], true, at.with(kKeys[i]), out.ends[i]);
    out.has_end[i] = step == Step::Passed;
    if (!read_on(step)) return step;
  }
  return Step::Passed;
}

// The input mapping: its schema, then (both found before either is looked at)
// its node and edge lists. Where the rules read on past a failed entry, the
// others are still read.
template <class Reader, class Value>
Step check_top(Reader& r, const Value& input, TopRead<Value>& out) {
  using In = Place::In;
  r.item(Place(In::Manifest));
  if (!r.mapping(input)) return r.fail(Rule::InputNotMapping, KeyId::Schema, Place());
  r.item(Place(In::Schema));
  Text<typename Reader::Holder> schema;
  Step step = check_text(r, input, KeyId::Schema, Place(In::Schema), schema);
  if (step == Step::Passed) {
    if (const auto version = ManifestSchemaVersion::try_from(schema.text); !version) {
      step = r.fail(version.error() == ManifestSchemaError::Empty ? Rule::SchemaEmpty : Rule::SchemaUnsupported,
                    KeyId::Schema, Place(In::Schema));
    }
  }
  if (step == Step::Stopped || (step == Step::Failed && !r.go_on())) return step;
  for (const auto& [key, in] : {std::pair{KeyId::Nodes, In::Nodes}, std::pair{KeyId::Edges, In::Edges}}) {
    r.item(Place(in));
    Value list;
    step = r.entry(input, key, Rule::RequiresKey, Place(in), list);
    if (step == Step::Passed) (key == KeyId::Nodes ? out.nodes : out.edges) = std::move(list);
    if (step == Step::Stopped || (step == Step::Failed && !r.go_on())) return step;
  }
  return Step::Passed;
}

// Whether a top entry is a list: the node list, or the edge list.
template <class Reader, class Value>
Step check_list(Reader& r, const Value& value, bool nodes) {
  const Place at(nodes ? Place::In::Nodes : Place::In::Edges);
  r.item(at);
  if (r.list(value)) return Step::Passed;
  return r.fail(nodes ? Rule::NodesNotList : Rule::EdgesNotList, KeyId::Nodes, at);
}

// Walks a list by index, bounded by the smaller of its length at the start
// and its length now: the caller's code run for one item may shrink or grow
// the list, and items appended during the walk are not visited. Runs of items
// go through `run(from, to)`, which returns where it stopped; the item there,
// held by its own reference, through `each(index, item)`.
template <class Run, class Each>
Result<void> walk_list(PyObject* list, Run&& run, Each&& each) {
  const Py_ssize_t start = PyList_GET_SIZE(list);
  auto end = [&] { return std::min(start, PyList_GET_SIZE(list)); };
  for (Py_ssize_t i = 0;;) {
    if (i >= end()) return {};
    auto stop = run(i, end());
    if (!stop) return std::unexpected(std::move(stop.error()));
    i = *stop;
    if (i >= end()) return {};
    if (auto done = each(i, Ref::borrow(PyList_GET_ITEM(list, i))); !done) return done;
    ++i;
  }
}

}  // namespace vela_sha::py
