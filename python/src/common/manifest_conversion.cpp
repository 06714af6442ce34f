#include "manifest_conversion.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

namespace vela_sha::py {
namespace {

constexpr std::array<std::string_view, kKeyCount> kKeyTexts = {
    "schema", "nodes", "edges", "source", "sha256", "kind", "value", "parent", "child", "occurrence"};

auto invalid_manifest(std::string message) { return error(code::kInvalidManifest, std::move(message)); }

auto invalid_canonical_source() {
  return error(code::kInvalidCanonicalSource, std::string(message(CanonicalSourceError{})));
}

// Whether the exception just raised must reach the caller.
bool passes_through() noexcept { return must_reach_caller(PyErr_Occurred()); }

std::optional<CanonicalSource::Member> member_of(std::string_view kind) noexcept {
  if (kind == "url") return CanonicalSource::Member::Url;
  if (kind == "local_path") return CanonicalSource::Member::LocalPath;
  return std::nullopt;
}

// ---- The rules
//
// Every check, its order and its error, through real lookups: the caller's
// code (a key's __eq__, an __index__) runs where these functions reach it,
// and each value found is held by its own reference meanwhile.

// The value under `key`, which must be there: `missing` is the failure if not.
Result<Ref> required(PyObject* mapping, KeyId key, Keys& keys, const char* missing) {
  auto value = LiveLookup(keys)(mapping, key);
  if (value && !*value) return invalid_manifest(missing);
  return value;
}

Result<void> convert_node(PyObject* item, Keys& keys, CompositionHasher& hasher) {
  if (!PyDict_Check(item)) return invalid_manifest("manifest node must be a mapping");
  auto source_value = required(item, KeyId::Source, keys, "manifest node requires source");
  if (!source_value) return propagate(source_value);
  auto source = convert_source(source_value->get(), keys);
  if (!source) return propagate(source);
  auto digest_value = LiveLookup(keys)(item, KeyId::Sha256);
  if (!digest_value) return propagate(digest_value);
  auto digest_text = string_text(digest_value->get(), KeyId::Sha256);
  if (!digest_text) return propagate(digest_text);
  auto digest = TemplateSha256::from_hex(*digest_text);
  if (!digest) return error(digest.error());
  hasher.add_node(source->text, *digest);
  return {};
}

Result<void> convert_edge(PyObject* item, Keys& keys, CompositionHasher& hasher) {
  if (!PyDict_Check(item)) return invalid_manifest("manifest edge must be a mapping");
  // All three entries are found before any is converted.
  auto parent_value = required(item, KeyId::Parent, keys, "manifest edge requires parent");
  if (!parent_value) return propagate(parent_value);
  auto child_value = required(item, KeyId::Child, keys, "manifest edge requires child");
  if (!child_value) return propagate(child_value);
  auto occurrence_value = required(item, KeyId::Occurrence, keys, "manifest edge requires occurrence");
  if (!occurrence_value) return propagate(occurrence_value);

  auto occurrence = occurrence_of(occurrence_value->get());
  if (!occurrence) return propagate(occurrence);
  auto parent = convert_source(parent_value->get(), keys);
  if (!parent) return propagate(parent);
  auto child = convert_source(child_value->get(), keys);
  if (!child) return propagate(child);
  hasher.add_edge(parent->text, child->text, *occurrence);
  return {};
}

// ---- Reading ahead
//
// Past the caches, every step from an item to its texts (the item's dict, its
// key table, the source dicts, theirs, the value strings) is a trip to memory,
// and each depends on the one before. So items are read in stages, a few items
// apart: each stage sends for what the next one will read, and by the time the
// conversion reaches an item its objects are in cache. The stages only read
// (with Keys::read, never a lookup), so none of the caller's code runs ahead of
// its turn.
//
// The conversion that follows takes only items that are well-formed in every
// way, giving what the rules above give them; it declines any other item
// before it has changed anything, and that item then goes through the rules
// (where its dicts were read without lookups, no caller code runs there either).

// Which node each source mapping of the nodes became. An edge whose parent or
// child is one of those very dicts names that node: while no Python code has
// run since, the dict holds what it held, and reading it again would give the
// same source (and the same success). Consulted only until Python code may
// have run. The pairs are recorded in node order; the table that finds them is
// only built once the first endpoints asked for show that edges do share the
// nodes' dicts (those decoded from JSON have dicts of their own).
class SourceMemo {
 public:
  // Small manifests are read quickly enough without it.
  explicit SourceMemo(std::size_t nodes)
      : pairs_(nodes < kWorthIt ? nullptr : std::make_unique_for_overwrite<Pair[]>(nodes)),
        active_(nodes >= kWorthIt) {}

  [[nodiscard]] bool active() const noexcept { return active_; }
  void forget() noexcept { active_ = false; }

  void remember(PyObject* dict, NodeHandle node) noexcept {
    if (active_) pairs_[count_++] = {dict, node};
  }

  void prefetch(PyObject* dict) const noexcept {
    if (mask_ != 0) __builtin_prefetch(&table_[slot_of(dict)]);
  }

  [[nodiscard]] std::optional<NodeHandle> find(PyObject* dict) {
    if (mask_ == 0) return sample(dict);
    for (std::size_t i = slot_of(dict);; i = (i + 1) & mask_) {
      if (table_[i].dict == dict) return table_[i].node;
      if (table_[i].dict == nullptr) return std::nullopt;
    }
  }

 private:
  struct Pair {
    PyObject* dict;
    NodeHandle node;
  };
  static constexpr std::size_t kSample = 32;
  static constexpr std::size_t kWorthIt = 256;

  [[nodiscard]] std::size_t slot_of(PyObject* dict) const noexcept {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(dict) >> 4) * 0x9E3779B97F4A7C15ULL >>
                                    shift_) & mask_;
  }

  // Collects the first endpoints (in a small table of their own); then builds
  // the table if any of them is a node's dict, or stops being asked.
  std::optional<NodeHandle> sample(PyObject* dict) {
    constexpr std::size_t kMask = 2 * kSample - 1;
    auto at = [](PyObject* p) { return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(p) >> 4); };
    for (std::size_t i = at(dict);; ++i) {
      PyObject*& slot = sampled_[i & kMask];
      if (slot == dict) break;
      if (slot == nullptr) {
        slot = dict;
        break;
      }
    }
    if (++sampled_count_ < kSample) return std::nullopt;
    const bool shared = std::any_of(pairs_.get(), pairs_.get() + count_, [&](const Pair& pair) {
      for (std::size_t i = at(pair.dict);; ++i) {
        if (sampled_[i & kMask] == pair.dict) return true;
        if (sampled_[i & kMask] == nullptr) return false;
      }
    });
    if (!shared) {
      active_ = false;
      return std::nullopt;
    }
    build();
    return std::nullopt;
  }

  void build() {
    const int bits = static_cast<int>(std::bit_width(2 * count_ + 1));
    table_.reset(static_cast<Pair*>(std::calloc(std::size_t{1} << bits, sizeof(Pair))));
    if (!table_) throw std::bad_alloc();
    mask_ = (std::size_t{1} << bits) - 1;
    shift_ = 64 - bits;
    // Slots are sent for a few pairs ahead of their insertion.
    constexpr std::size_t kAhead = 8;
    for (std::size_t k = 0; k < count_; ++k) {
      if (k + kAhead < count_) __builtin_prefetch(&table_[slot_of(pairs_[k + kAhead].dict)]);
      for (std::size_t i = slot_of(pairs_[k].dict);; i = (i + 1) & mask_) {
        if (table_[i].dict == pairs_[k].dict) break;  // a dict two nodes share: a duplicate source
        if (table_[i].dict == nullptr) {
          table_[i] = pairs_[k];
          break;
        }
      }
    }
  }

  struct Free {
    void operator()(void* memory) const noexcept { std::free(memory); }
  };
  std::unique_ptr<Pair[]> pairs_;
  std::size_t count_ = 0;
  std::array<PyObject*, 2 * kSample> sampled_{};
  std::size_t sampled_count_ = 0;
  std::unique_ptr<Pair[], Free> table_;
  std::size_t mask_ = 0;
  int shift_ = 0;
  bool active_;
};

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

// A source mapping read ahead: a node it is known to be, or its dict (if it is
// one) with its kind and value.
struct SourceRead {
  PyObject* dict;
  std::array<PyObject*, 2> found;
  std::optional<NodeHandle> node;

  // Stage 2: `value` was found; `known` if it may be a node's.
  static void send_for(PyObject* value, bool known, Reading& reading) noexcept {
    if (value == nullptr) return;
    prefetch_object(value);
    if (known && reading.memo.active()) reading.memo.prefetch(value);
  }

  // Stage 3: `value` has arrived.
  void locate(PyObject* value, bool known, Reading& reading) {
    node.reset();
    if (value != nullptr && known && reading.memo.active()) node = reading.memo.find(value);
    if (node) {
      dict = value;
      node->prefetch();
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
struct ItemRead {
  static constexpr auto kKeys = Item::kKeys;
  PyObject* item;
  std::array<PyObject*, kKeys.size()> found;
  std::array<SourceRead, Item::kSources> sources;
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
    for (std::size_t k = 0; k < kKeys.size(); ++k) {
      if (k < Item::kSources) {
        SourceRead::send_for(found[k], Item::kNamesNodes, reading);
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

// What became of a read-ahead item. Failed: the interpreter raised an
// exception that must reach the caller (it is left set).
enum class Fast { Added, Declined, Failed };

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

// A str's UTF-8 text, for the read-ahead, which may run none of the caller's
// code: anything that would raise (and so allocate an exception) is declined
// instead, for the rules to meet in its turn. Only running out of memory while
// the UTF-8 form is made fails, and that ends the call.
Fast fast_text(PyObject* value, std::string_view& text) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) return Fast::Declined;
#if PY_VERSION_HEX < 0x030C0000
  if (!PyUnicode_IS_READY(value)) return Fast::Declined;
#endif
  if (PyUnicode_IS_COMPACT_ASCII(value)) {
    text = {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(value))};
    return Fast::Added;
  }
  if (has_surrogate(value)) return Fast::Declined;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return Fast::Failed;
  text = {utf8, static_cast<std::size_t>(size)};
  return Fast::Added;
}

// A source mapping with a kind and a text; the text is validated only if
// `validate`.
Fast fast_source(const SourceRead& read, SourceText& source, bool validate) noexcept {
  if (read.dict == nullptr) return Fast::Declined;
  std::string_view kind, text;
  if (const Fast taken = fast_text(read.found[0], kind); taken != Fast::Added) return taken;
  if (const Fast taken = fast_text(read.found[1], text); taken != Fast::Added) return taken;
  const auto member = member_of(kind);
  if (!member || (validate && !validate_representation(text))) return Fast::Declined;
  source = {*member, text};
  return Fast::Added;
}

Fast fast_node(const ItemRead<Node>& read, CompositionHasher& hasher, SourceMemo& memo) {
  if (read.found[0] == nullptr) return Fast::Declined;
  SourceText source;
  if (const Fast taken = fast_source(read.sources[0], source, true); taken != Fast::Added) return taken;
  std::string_view digest_text;
  if (const Fast taken = fast_text(read.found[1], digest_text); taken != Fast::Added) return taken;
  const auto digest = TemplateSha256::from_hex(digest_text);
  if (!digest) return Fast::Declined;
  memo.remember(read.sources[0].dict, hasher.add_node(source, *digest));
  return Fast::Added;
}

// An endpoint's text is left to the hasher to validate: almost every one is
// some node's, and so valid already.
Fast fast_end(const SourceRead& read, Endpoint& endpoint) noexcept {
  if (read.node) {
    endpoint = *read.node;
    return Fast::Added;
  }
  SourceText source;
  const Fast taken = fast_source(read, source, false);
  if (taken == Fast::Added) endpoint = Endpoint::unvalidated(source);
  return taken;
}

// `add(parent, child, occurrence)` takes the edge.
template <class Add>
Fast fast_edge(const ItemRead<Edge>& read, Add& add) {
  const auto& [parent, child, occurrence] = read.found;
  if (parent == nullptr || child == nullptr || occurrence == nullptr || !PyLong_Check(occurrence)) {
    return Fast::Declined;  // an occurrence that is no int would need its __index__
  }
  // An int's value is read without __index__, and one out of range is told
  // without an exception.
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(occurrence, &overflow);
  if (overflow != 0 || value < 0 || value > 0xFFFFFFFFL) return Fast::Declined;
  Endpoint parent_end = SourceText{}, child_end = SourceText{};
  if (const Fast taken = fast_end(read.sources[0], parent_end); taken != Fast::Added) return taken;
  if (const Fast taken = fast_end(read.sources[1], child_end); taken != Fast::Added) return taken;
  add(parent_end, child_end, static_cast<std::uint32_t>(value));
  return Fast::Added;
}

// Items between two stages. Each item costs a few hundred cycles, so a couple
// of items cover the time memory takes to answer.
constexpr Py_ssize_t kStep = 2;
constexpr Py_ssize_t kAhead = 5 * kStep;  // from the first stage to the conversion
constexpr std::size_t kRing = 16;
static_assert(kRing > static_cast<std::size_t>(kAhead));

// Converts items [from, to) of `list` with `convert(read)` in list order,
// reading ahead. No Python code runs meanwhile, so the list stays as it is.
// Returns `to`, or the index of the first item declined.
template <class Item, class Convert>
Result<Py_ssize_t> convert_read_ahead(PyObject* list, Py_ssize_t from, Py_ssize_t to, Reading& reading,
                                      Convert&& convert) {
  std::array<ItemRead<Item>, kRing> ring;
  auto at = [&](Py_ssize_t index) -> ItemRead<Item>& { return ring[static_cast<std::size_t>(index) % kRing]; };
  auto convert_at = [&](Py_ssize_t index) -> std::optional<Result<Py_ssize_t>> {
    const ItemRead<Item>& read = at(index);
    if (!read.plain) return index;
    switch (convert(read)) {
      case Fast::Added:
        return std::nullopt;
      case Fast::Declined:
        return index;
      case Fast::Failed:
        return raised();
    }
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

// Walks a list by index, bounded by the smaller of its length at the start and
// its length now: Python code run for one item (a key's __eq__, an __index__)
// may shrink or grow the list. Items appended during the walk are not visited.
// Runs of items go through `fast(from, to)`; an item it declines, held by its
// own reference, through `rules(item)`, with `before_rules(index)` called
// first. The fast runs must run none of the caller's code, so that the list
// stays as it was while they read it; the length is read again after each.
template <class Fast, class BeforeRules, class Rules>
Result<void> walk_list(PyObject* list, Fast&& fast, BeforeRules&& before_rules, Rules&& rules) {
  const Py_ssize_t start = PyList_GET_SIZE(list);
  auto end = [&] { return std::min(start, PyList_GET_SIZE(list)); };
  for (Py_ssize_t i = 0;;) {
    if (i >= end()) return {};
    auto stop = fast(i, end());
    if (!stop) return propagate(stop);
    i = *stop;
    if (i >= end()) return {};
    if (auto ready = before_rules(i); !ready) return ready;
    const Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    if (auto done = rules(item.get()); !done) return propagate(done);
    ++i;
  }
}

}  // namespace

// An occurrence: any int (bool and __index__ objects included) from 0 to 2**32 - 1.
Result<std::uint32_t> occurrence_of(PyObject* object) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) {
    if (passes_through()) return raised();
    PyErr_Clear();  // the conversion's own exception gives way to the binding's
    return invalid_manifest("occurrence must be a non-negative integer");
  }
  if (static_cast<unsigned long>(value) > 0xFFFFFFFFUL) {
    return invalid_manifest("occurrence must be a non-negative integer");
  }
  return static_cast<std::uint32_t>(value);
}

Result<Source> convert_source(PyObject* object, Keys& keys, SourceField* failed) {
  SourceField ignored;
  SourceField& field = failed != nullptr ? *failed : ignored;
  field = SourceField::Mapping;
  if (!PyDict_Check(object)) return invalid_manifest("source must be a mapping");
  const LiveLookup lookup(keys);
  // Both entries are read and tested before the kind is compared; the kind's
  // text is done with before the value is looked up.
  std::optional<CanonicalSource::Member> member;
  {
    field = SourceField::Kind;
    auto kind = lookup(object, KeyId::Kind);
    if (!kind) return propagate(kind);
    auto kind_text = string_text(kind->get(), KeyId::Kind);
    if (!kind_text) return propagate(kind_text);
    member = member_of(*kind_text);
  }
  field = SourceField::Value;
  auto value = lookup(object, KeyId::Value);
  if (!value) return propagate(value);
  auto text = string_text(value->get(), KeyId::Value);
  if (!text) return propagate(text);
  if (!member) {
    field = SourceField::Kind;
    return invalid_manifest("source kind must be local_path or url");
  }
  if (!validate_representation(*text)) return invalid_canonical_source();
  return Source{SourceText{*member, *text}, std::move(*value)};
}

bool must_reach_caller(PyObject* type) noexcept {
  return !PyErr_GivenExceptionMatches(type, PyExc_Exception) ||
         PyErr_GivenExceptionMatches(type, PyExc_MemoryError);
}

std::string_view Keys::text(KeyId key) noexcept { return kKeyTexts[static_cast<std::size_t>(key)]; }

PyObject* Keys::object(KeyId key) {
  Ref& object = objects_[static_cast<std::size_t>(key)];
  if (!object) object = new_ascii_str(text(key));
  return object.get();
}

bool Keys::adopt_if_named(PyObject* stored, KeyId key) noexcept {
  const std::string_view name = text(key);
  if (!PyUnicode_IS_COMPACT_ASCII(stored) || PyUnicode_GET_LENGTH(stored) != static_cast<Py_ssize_t>(name.size()) ||
      std::memcmp(PyUnicode_1BYTE_DATA(stored), name.data(), name.size()) != 0) {
    return false;
  }
  objects_[static_cast<std::size_t>(key)] = Ref::borrow(stored);
  return true;
}

Result<Ref> LiveLookup::operator()(PyObject* mapping, KeyId key) const {
  PyObject* value = PyDict_GetItemWithError(mapping, keys_.object(key));
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return raised();
  return Ref();
}

Result<std::string_view> string_text(PyObject* value, KeyId key) {
  if (value == nullptr) return invalid_manifest("manifest object requires " + std::string(Keys::text(key)));
  if (PyUnicode_Check(value)) {
    if (PyUnicode_IS_COMPACT_ASCII(value)) {
      return std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value)),
                              static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size)) {
      return std::string_view(utf8, static_cast<std::size_t>(size));
    }
    if (passes_through()) return raised();
    PyErr_Clear();  // a lone surrogate fails like a non-string
  }
  return invalid_manifest("manifest field " + std::string(Keys::text(key)) + " must be a string");
}

Result<void> add_manifest(PyObject* nodes, PyObject* edges, CompositionHasher& hasher, Keys& keys) {
  if (!PyList_Check(nodes)) return invalid_manifest("manifest nodes must be a list");
  SourceMemo memo(static_cast<std::size_t>(PyList_GET_SIZE(nodes)));
  Reading reading{keys, memo};
  // The rules may run the caller's code: after that, a dict is no longer sure
  // to hold what it held.
  auto added = walk_list(
      nodes,
      [&](Py_ssize_t from, Py_ssize_t to) {
        return convert_read_ahead<Node>(nodes, from, to, reading,
                                        [&](const ItemRead<Node>& read) { return fast_node(read, hasher, memo); });
      },
      [&](Py_ssize_t) -> Result<void> {
        memo.forget();
        return {};
      },
      [&](PyObject* item) { return convert_node(item, keys, hasher); });
  if (!added) return added;

  if (!PyList_Check(edges)) return invalid_manifest("manifest edges must be a list");
  hasher.begin_edges(static_cast<std::uint64_t>(PyList_GET_SIZE(edges)));
  auto add = [&](Endpoint parent, Endpoint child, std::uint32_t occurrence) {
    hasher.add_edge(parent, child, occurrence);
  };
  auto replay = [&](Endpoint parent, Endpoint child, std::uint32_t occurrence) {
    hasher.replay_edge(parent, child, occurrence);
  };
  auto read_ahead = [&](Py_ssize_t from, Py_ssize_t to, auto& sink) {
    return convert_read_ahead<Edge>(edges, from, to, reading,
                                    [&](const ItemRead<Edge>& read) { return fast_edge(read, sink); });
  };
  // The caller's code may also shorten the list, and then the stream must be
  // written again with fewer edges. So before any of it can run, the hasher
  // starts keeping the edges, and is handed those it has had once more: no
  // Python code has run yet, so they read as they did.
  auto before_rules = [&](Py_ssize_t index) -> Result<void> {
    memo.forget();
    if (hasher.keeping_edges()) return {};
    hasher.keep_edges();
    auto again = read_ahead(0, index, replay);
    if (!again) return propagate(again);  // out of memory while reading
    // Nothing of the caller's ran since these edges were read, so they read
    // as they did, up to the one declined.
    if (*again != index) throw std::logic_error("edges read differently the second time");
    return {};
  };
  // The endpoints read ahead reach the hasher unvalidated, and an invalid one
  // ends the walk at its edge: so the hasher is asked whenever a run of them
  // stops, before the caller's code can run for a later edge and before a
  // later edge's failure counts.
  auto run = [&](Py_ssize_t from, Py_ssize_t to) -> Result<Py_ssize_t> {
    auto stop = read_ahead(from, to, add);
    if (!hasher.invalid_endpoint()) return stop;
    return invalid_canonical_source();  // any failure of a later edge is dropped with `stop`
  };
  return walk_list(edges, run, before_rules, [&](PyObject* item) { return convert_edge(item, keys, hasher); });
}

}  // namespace vela_sha::py
