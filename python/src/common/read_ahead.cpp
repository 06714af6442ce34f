#include "read_ahead.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "manifest_rules.hpp"

namespace vela_sha::py {
namespace {

// Past the caches, every step from an item to its texts (the item's dict, its
// key table, the source dicts, theirs, the value strings) is a trip to memory,
// and each depends on the one before. So items are read in stages, a few items
// apart: each stage sends for what the next one will read, and by the time an
// item is converted its objects are in cache. The stages only read (with
// Keys::read, never a lookup).

// A str of a typical path (a header and some 50 bytes of text) spans up to
// three lines; dicts and ints fewer.
void prefetch_object(PyObject* object) noexcept {
  __builtin_prefetch(object);
  __builtin_prefetch(reinterpret_cast<const char*>(object) + 64);
  __builtin_prefetch(reinterpret_cast<const char*>(object) + 127);
}

// A dict's header is read by PyDict_Check and Keys::read; its key table (a
// public pointer) is read next. Small tables span up to three lines.
void prefetch_table(PyObject* dict) noexcept {
  const auto* table = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
  __builtin_prefetch(table);
  __builtin_prefetch(table + 64);
  __builtin_prefetch(table + 127);
}

// What the stages share.
struct Reading {
  Keys& keys;
  SourceMemo& memo;
};

// A source mapping read ahead: the node it is known to be, or its dict (if it
// is one that could be read) with its kind and value.
struct SourcePeek {
  PyObject* dict;
  std::array<PyObject*, 2> found;
  NodeHandle node;  // none unless it is known

  // Stage 2: `value` was found; `known` if it may be a node's.
  static void send_for(PyObject* value, bool known, Reading& reading) noexcept {
    if (value == nullptr) return;
    prefetch_object(value);
    if (known && reading.memo.active()) reading.memo.prefetch(value);
  }

  // Stage 3: `value` has arrived.
  void locate(PyObject* value, bool known, Reading& reading) {
    node = NodeHandle();
    if (value != nullptr && known && reading.memo.active()) node = reading.memo.find(value).value_or(NodeHandle());
    if (node) {
      dict = value;
      node.prefetch();
      return;
    }
    dict = value != nullptr && PyDict_Check(value) ? value : nullptr;
    if (dict != nullptr) prefetch_table(dict);
  }

  // Stage 4: false if the dict needs real lookups.
  bool read(Reading& reading) noexcept {
    if (node || dict == nullptr) return true;
    if (!reading.keys.read<KeyId::Kind, KeyId::Value>(dict, found)) return false;
    for (PyObject* text : found) {
      if (text != nullptr) prefetch_object(text);
    }
    return true;
  }
};

// An item (node or edge) read ahead. `Item` gives its keys, of which the first
// kSources hold source mappings.
template <class Item>
struct ItemPeek {
  PyObject* item;
  std::array<PyObject*, Item::kKeys.size()> found;
  std::array<SourcePeek, Item::kSources> sources;
  bool plain;

  // Stage 0.
  void fetch(PyObject* list, Py_ssize_t index) noexcept {
    item = PyList_GET_ITEM(list, index);
    prefetch_object(item);
  }

  // Stage 1.
  void table() noexcept {
    if (PyDict_Check(item)) prefetch_table(item);
  }

  // Stage 2.
  void read(Reading& reading) noexcept {
    found.fill(nullptr);
    plain = PyDict_Check(item) && Item::read(reading.keys, item, found);
    if (!plain) return;
    for (std::size_t k = 0; k < found.size(); ++k) {
      if (k < Item::kSources) {
        SourcePeek::send_for(found[k], Item::kNamesNodes, reading);
      } else if (found[k] != nullptr) {
        prefetch_object(found[k]);
      }
    }
  }

  // Stage 3.
  void source_tables(Reading& reading) {
    if (!plain) return;
    for (std::size_t s = 0; s < Item::kSources; ++s) sources[s].locate(found[s], Item::kNamesNodes, reading);
  }

  // Stage 4.
  void read_sources(Reading& reading) noexcept {
    for (std::size_t s = 0; plain && s < Item::kSources; ++s) plain = sources[s].read(reading);
  }
};

struct Node {
  // The source mapping comes first.
  static constexpr std::array kKeys{KeyId::Source, KeyId::Sha256};
  static bool read(Keys& keys, PyObject* dict, std::array<PyObject*, 2>& found) noexcept {
    return keys.read<KeyId::Source, KeyId::Sha256>(dict, found);
  }
  static constexpr std::size_t kSources = 1;
  static constexpr bool kNamesNodes = false;
};

struct Edge {
  // The source mappings come first.
  static constexpr std::array kKeys{KeyId::Parent, KeyId::Child, KeyId::Occurrence};
  static bool read(Keys& keys, PyObject* dict, std::array<PyObject*, 3>& found) noexcept {
    return keys.read<KeyId::Parent, KeyId::Child, KeyId::Occurrence>(dict, found);
  }
  static constexpr std::size_t kSources = 2;
  // Edges may name the nodes' own source mappings.
  static constexpr bool kNamesNodes = true;
};

// Whether a str that is not ASCII holds a lone surrogate, which has no UTF-8
// form: encoding it would raise, and the exception's allocation may run the
// collector (and with it the caller's finalizers).
bool has_surrogate(PyObject* str) noexcept {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_2BYTE_KIND: {
      const Py_UCS2* units = PyUnicode_2BYTE_DATA(str);
      for (Py_ssize_t i = 0; i < length; ++i) {
        if ((units[i] & 0xF800) == 0xD800) return true;
      }
      return false;
    }
    case PyUnicode_4BYTE_KIND: {
      const Py_UCS4* units = PyUnicode_4BYTE_DATA(str);
      for (Py_ssize_t i = 0; i < length; ++i) {
        if (units[i] - 0xD800 < 0x800) return true;
      }
      return false;
    }
    default:
      return false;  // Latin-1 holds no surrogate
  }
}

// An entry the read-ahead found (borrowed), and for a source mapping what was
// read of it.
struct Peek {
  PyObject* object;
  const SourcePeek* source;
};

// Nothing: the read-ahead borrows what it reads.
struct Unheld {};

// The rules' reader for one item read ahead (see manifest_rules.hpp). Any
// check that would fail declines the item instead; so does anything that
// could run the caller's code (a str that would raise while encoded, an
// occurrence that needs __index__). Stopped only when the UTF-8 form of a str
// cannot be made for want of memory (the MemoryError is left set).
template <class Item>
class Peeked {
 public:
  using Value = Peek;
  using Holder = Unheld;
  explicit Peeked(const ItemPeek<Item>& peek) noexcept : peek_(peek) {}

  [[nodiscard]] Peek item() const noexcept { return {peek_.item, nullptr}; }
  // The dict of the item's first source mapping (a node's source).
  [[nodiscard]] PyObject* source_dict() const noexcept { return peek_.sources[0].dict; }

  bool mapping(const Peek& value) const noexcept {
    return value.source != nullptr ? value.source->dict != nullptr : value.object == peek_.item && peek_.plain;
  }
  static bool list(const Peek&) noexcept { return false; }

  Step entry(const Peek& mapping, KeyId key, Rule, const Place&, Peek& out) const noexcept {
    if (mapping.source != nullptr) {
      out = {mapping.source->found[key == KeyId::Kind ? 0 : 1], nullptr};
    } else {
      const std::size_t k = slot(key);
      out = {peek_.found[k], k < Item::kSources ? &peek_.sources[k] : nullptr};
    }
    return out.object != nullptr ? Step::Passed : Step::Failed;
  }

  Step text(Peek value, KeyId, const Place&, Text<Unheld>& out) const noexcept {
    PyObject* const str = value.object;
    if (!PyUnicode_Check(str)) return Step::Failed;
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(str)) return Step::Failed;
#endif
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
      out.text = {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)),
                  static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
      return Step::Passed;
    }
    if (has_surrogate(str)) return Step::Failed;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) return Step::Stopped;  // out of memory, and nothing else
    out.text = {utf8, static_cast<std::size_t>(size)};
    return Step::Passed;
  }

  // An int's value is read without __index__, and one out of range is told
  // without an exception.
  static Step occurrence(const Peek& value, const Place&, std::uint32_t& out) noexcept {
    if (!PyLong_Check(value.object)) return Step::Failed;
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(value.object, &overflow);
    if (overflow != 0 || number < 0 || number > 0xFFFFFFFFL) return Step::Failed;
    out = static_cast<std::uint32_t>(number);
    return Step::Passed;
  }

  static Step fail(Rule, KeyId, const Place&) noexcept { return Step::Failed; }
  static bool go_on() noexcept { return false; }
  static void item(const Place&) noexcept {}
  static NodeHandle known_node(const Peek& value) noexcept {
    return value.source != nullptr ? value.source->node : NodeHandle();
  }
  // Almost every endpoint is some node's, and so valid already.
  static bool defers_validation() noexcept { return true; }

 private:
  // Where `key` was read into: the item's keys in Item::kKeys order.
  static std::size_t slot(KeyId key) noexcept {
    std::size_t k = 0;
    while (Item::kKeys[k] != key) ++k;
    return k;
  }

  const ItemPeek<Item>& peek_;
};

// Items between two stages. Each item costs a few hundred cycles, so a couple
// of items cover the time memory takes to answer.
constexpr Py_ssize_t kStep = 2;
constexpr Py_ssize_t kAhead = 5 * kStep;  // from the first stage to the conversion
constexpr std::size_t kRing = 16;
static_assert(kRing > static_cast<std::size_t>(kAhead));

// Converts items [from, to) of `list` with `convert(peeked)` in list order,
// reading ahead; `convert` gives whether it took the item. Returns `to`, or
// the index of the first item declined. Nothing read is used once the
// caller's code may have run (CallerCode).
template <class Item, class Convert>
Result<Py_ssize_t> run(PyObject* list, Py_ssize_t from, Py_ssize_t to, Reading& reading, Convert&& convert) {
  const std::uint64_t epoch = CallerCode::epoch();
  std::array<ItemPeek<Item>, kRing> ring;
  auto at = [&](Py_ssize_t index) -> ItemPeek<Item>& { return ring[static_cast<std::size_t>(index) % kRing]; };
  auto convert_at = [&](Py_ssize_t index) -> std::optional<Result<Py_ssize_t>> {
    if (CallerCode::epoch() != epoch) return index;  // what was read may be stale
    auto taken = convert(Peeked<Item>(at(index)));
    if (!taken) return std::unexpected(std::move(taken.error()));
    if (!*taken) return index;
    return std::nullopt;
  };
  if (to - from <= kAhead) {
    // Too few items to stagger: each stage over all of them, then the conversions.
    for (Py_ssize_t i = from; i < to; ++i) at(i).fetch(list, i);
    for (Py_ssize_t i = from; i < to; ++i) at(i).table();
    for (Py_ssize_t i = from; i < to; ++i) at(i).read(reading);
    for (Py_ssize_t i = from; i < to; ++i) at(i).source_tables(reading);
    for (Py_ssize_t i = from; i < to; ++i) at(i).read_sources(reading);
    for (Py_ssize_t i = from; i < to; ++i) {
      if (auto stop = convert_at(i)) return std::move(*stop);
    }
    return to;
  }
  auto in_range = [&](Py_ssize_t index) { return index >= from && index < to; };
  for (Py_ssize_t lead = from; lead < to + kAhead; ++lead) {
    if (in_range(lead)) at(lead).fetch(list, lead);
    if (in_range(lead - kStep)) at(lead - kStep).table();
    if (in_range(lead - 2 * kStep)) at(lead - 2 * kStep).read(reading);
    if (in_range(lead - 3 * kStep)) at(lead - 3 * kStep).source_tables(reading);
    if (in_range(lead - 4 * kStep)) at(lead - 4 * kStep).read_sources(reading);
    const Py_ssize_t index = lead - kAhead;
    if (!in_range(index)) continue;
    if (auto stop = convert_at(index)) return std::move(*stop);
  }
  return to;
}

// An endpoint as the hasher takes it.
Endpoint endpoint_of(const SourceRead<Unheld>& source) noexcept {
  if (source.node) return source.node;
  return Endpoint::unvalidated(source.text);
}

}  // namespace

ReadAhead::ReadAhead(Keys& keys, std::size_t nodes) : keys_(keys), memo_(nodes) {}

void ReadAhead::forget_nodes() noexcept { memo_.forget(); }

Result<Py_ssize_t> ReadAhead::nodes(PyObject* list, Py_ssize_t from, Py_ssize_t to, CompositionHasher& hasher) {
  Reading reading{keys_, memo_};
  return run<Node>(list, from, to, reading, [&](Peeked<Node> peeked) -> Result<bool> {
    NodeRead<Unheld> node;
    if (const Step step = check_node(peeked, peeked.item(), Place(), node); step != Step::Passed) {
      if (step == Step::Stopped) return raised();
      return false;
    }
    memo_.remember(peeked.source_dict(), hasher.add_node(node.source.text, node.sha256));
    return true;
  });
}

Result<Py_ssize_t> ReadAhead::edges(PyObject* list, Py_ssize_t from, Py_ssize_t to, CompositionHasher& hasher) {
  edges_epoch_ = CallerCode::epoch();
  Reading reading{keys_, memo_};
  return run<Edge>(list, from, to, reading, [&](Peeked<Edge> peeked) -> Result<bool> {
    EdgeRead<Unheld> edge;
    if (const Step step = check_edge(peeked, peeked.item(), Place(), edge); step != Step::Passed) {
      if (step == Step::Stopped) return raised();
      return false;
    }
    hasher.add_edge(endpoint_of(edge.ends[0]), endpoint_of(edge.ends[1]), edge.occurrence);
    return true;
  });
}

Result<void> ReadAhead::edges_again(PyObject* list, Py_ssize_t to, CompositionHasher& hasher) {
  if (CallerCode::epoch() != edges_epoch_) throw std::logic_error("edges read again after caller code ran");
  auto again = edges(list, 0, to, hasher);
  if (!again) return std::unexpected(std::move(again.error()));
  if (*again != to) throw std::logic_error("edges read differently the second time");
  return {};
}

}  // namespace vela_sha::py
