#include "manifest_conversion.hpp"

#include <algorithm>
#include <cstring>

namespace vela_sha::py {
namespace {

auto invalid_manifest(std::string message) { return error(code::kInvalidManifest, std::move(message)); }

Key make_key(std::string_view text) { return {new_ascii_str(text), text}; }

// Walks a list by index, bounded by the smaller of its length at the start and
// its length now: Python code run for one item (a key's __eq__, an __index__)
// may shrink or grow the list. Each item is held by its own reference while
// `convert` runs. Items appended during the walk are not visited.
template <class T, class Convert>
Result<std::vector<T>> walk_list(PyObject* list, Convert&& convert) {
  const Py_ssize_t start = PyList_GET_SIZE(list);
  std::vector<T> records;
  records.reserve(static_cast<std::size_t>(start));
  for (Py_ssize_t i = 0; i < std::min(start, PyList_GET_SIZE(list)); ++i) {
    const Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    auto record = convert(item.get());
    if (!record) return propagate(record);
    records.push_back(std::move(*record));
  }
  return records;
}

// Dicts from one source (one json.loads, one literal) share their key
// objects. Looking up with the very object the dict holds matches on identity
// instead of comparing text, so after the first hit the key adopts the
// caller's equal key object. Only an exact str qualifies: its hash and its
// equality are the interpreter's own, so every lookup gives the same answer.
void adopt_stored_key(PyObject* mapping, const Key& key) noexcept {
  key.adopted = true;
  Py_ssize_t position = 0;
  PyObject *stored, *value;
  while (PyDict_Next(mapping, &position, &stored, &value)) {
    if (stored == key.str.get() || !PyUnicode_CheckExact(stored) || !PyUnicode_IS_ASCII(stored) ||
        PyUnicode_GET_LENGTH(stored) != static_cast<Py_ssize_t>(key.text.size()) ||
        std::memcmp(PyUnicode_1BYTE_DATA(stored), key.text.data(), key.text.size()) != 0) {
      continue;
    }
    key.str = Ref::borrow(stored);
    return;
  }
}

// The value under `key`, borrowed (nullptr if absent), with any exception the
// lookup raised left set. Only for a caller that is done with the value before
// Python code can run again.
PyObject* lookup_borrowed(PyObject* mapping, const Key& key) noexcept {
  PyObject* value = PyDict_GetItemWithError(mapping, key.str.get());
  if (value != nullptr && !key.adopted) adopt_stored_key(mapping, key);
  return value;
}

}  // namespace

Conversion Conversion::make(std::pmr::memory_resource* texts) {
  return {make_key("schema"), make_key("nodes"), make_key("edges"),  make_key("source"),
          make_key("sha256"), make_key("kind"),  make_key("value"), make_key("parent"),
          make_key("child"),  make_key("occurrence"), texts};
}

Result<Ref> lookup(PyObject* mapping, const Key& key) {
  PyObject* value = lookup_borrowed(mapping, key);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return raised();
  return Ref();
}

Result<std::pmr::string> string_field(PyObject* mapping, const Key& key,
                                      std::pmr::memory_resource* texts) {
  // The text is copied before any Python code could run, so the value needs
  // no reference of its own.
  PyObject* value = lookup_borrowed(mapping, key);
  if (value == nullptr) {
    if (PyErr_Occurred()) return raised();
    return invalid_manifest("manifest object requires " + std::string(key.text));
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();  // a lone surrogate fails like a non-string
    return invalid_manifest("manifest field " + std::string(key.text) + " must be a string");
  }
  return std::pmr::string(utf8, static_cast<std::size_t>(size), texts);
}

Result<CanonicalSource> parse_source(PyObject* object, const Conversion& conversion) {
  if (!PyDict_Check(object)) return invalid_manifest("source must be a mapping");
  auto kind = string_field(object, conversion.kind, conversion.texts);
  if (!kind) return propagate(kind);
  auto text = string_field(object, conversion.value, conversion.texts);
  if (!text) return propagate(text);

  auto refused = [](CanonicalSourceError e) {
    return error(code::kInvalidCanonicalSource, std::string(message(e)));
  };
  if (*kind == "url") {
    auto url = CanonicalSourceUrl::try_from(std::move(*text));
    if (!url) return refused(url.error());
    return CanonicalSource(std::move(*url));
  }
  if (*kind == "local_path") {
    auto path = CanonicalTemplatePath::try_from(std::move(*text));
    if (!path) return refused(path.error());
    return CanonicalSource(std::move(*path));
  }
  return invalid_manifest("source kind must be local_path or url");
}

Result<std::vector<ResolvedTemplateNode>> parse_nodes(PyObject* object, const Conversion& conversion) {
  if (!PyList_Check(object)) return invalid_manifest("manifest nodes must be a list");
  return walk_list<ResolvedTemplateNode>(object, [&](PyObject* item) -> Result<ResolvedTemplateNode> {
    if (!PyDict_Check(item)) return invalid_manifest("manifest node must be a mapping");
    auto source_value = lookup(item, conversion.source);
    if (!source_value) return propagate(source_value);
    if (!*source_value) return invalid_manifest("manifest node requires source");
    auto source = parse_source(source_value->get(), conversion);
    if (!source) return propagate(source);
    auto digest_text = string_field(item, conversion.sha256, conversion.texts);
    if (!digest_text) return propagate(digest_text);
    auto digest = TemplateSha256::from_hex(*digest_text);
    if (!digest) return error(digest.error());
    return ResolvedTemplateNode{std::move(*source), *digest};
  });
}

Result<std::uint32_t> parse_occurrence(PyObject* object) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();  // the conversion's own exception gives way to the binding's
    return invalid_manifest("occurrence must be a non-negative integer");
  }
  if (static_cast<unsigned long>(value) > 0xFFFFFFFFUL) {
    return invalid_manifest("occurrence must be a non-negative integer");
  }
  return static_cast<std::uint32_t>(value);
}

Result<std::vector<ResolvedIncludeEdge>> parse_edges(PyObject* object, const Conversion& conversion) {
  if (!PyList_Check(object)) return invalid_manifest("manifest edges must be a list");
  return walk_list<ResolvedIncludeEdge>(object, [&](PyObject* item) -> Result<ResolvedIncludeEdge> {
    if (!PyDict_Check(item)) return invalid_manifest("manifest edge must be a mapping");
    // All three entries are found before any is converted.
    auto parent_value = lookup(item, conversion.parent);
    if (!parent_value) return propagate(parent_value);
    if (!*parent_value) return invalid_manifest("manifest edge requires parent");
    auto child_value = lookup(item, conversion.child);
    if (!child_value) return propagate(child_value);
    if (!*child_value) return invalid_manifest("manifest edge requires child");
    auto occurrence_value = lookup(item, conversion.occurrence);
    if (!occurrence_value) return propagate(occurrence_value);
    if (!*occurrence_value) return invalid_manifest("manifest edge requires occurrence");

    auto occurrence = parse_occurrence(occurrence_value->get());
    if (!occurrence) return propagate(occurrence);
    auto parent = parse_source(parent_value->get(), conversion);
    if (!parent) return propagate(parent);
    auto child = parse_source(child_value->get(), conversion);
    if (!child) return propagate(child);
    return ResolvedIncludeEdge{std::move(*parent), std::move(*child), *occurrence};
  });
}

}  // namespace vela_sha::py
