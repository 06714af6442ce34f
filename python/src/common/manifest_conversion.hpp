// Python manifest mappings into the composition hash. Every step returns its
// value or the one failure that ends the call; nothing partial escapes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "failure.hpp"
#include "vela_sha/composition.hpp"

namespace vela_sha::py {

// The keys a manifest is read by.
enum class KeyId : std::uint8_t { Schema, Nodes, Edges, Source, Sha256, Kind, Value, Parent, Child, Occurrence };
inline constexpr std::size_t kKeyCount = 10;

// One call's key objects. Once one of the caller's dicts has shown its own
// str for a key, that object is used (dicts from one json.loads or one set of
// literals share their key objects, so lookups then match on identity);
// until then a str is made when a lookup first needs one.
class Keys {
 public:
  [[nodiscard]] static std::string_view text(KeyId key) noexcept;

  // A str to look `key` up with.
  [[nodiscard]] PyObject* object(KeyId key);

  // Reads the entries under `wanted` as lookups would find them, without a
  // lookup and so without any of the caller's code: only from a dict whose keys
  // are all exact str (whose equality is the interpreter's own) and that has
  // few enough entries to be worth reading through. Returns false for any other
  // dict, which then needs real lookups. Found values are borrowed; nullptr
  // where a key is absent.
  template <KeyId... Wanted>
  [[nodiscard]] bool read(PyObject* dict, std::array<PyObject*, sizeof...(Wanted)>& found) noexcept;

 private:
  [[nodiscard]] bool adopt_if_named(PyObject* stored, KeyId key) noexcept;
  std::array<Ref, kKeyCount> objects_;
};

// Looks keys up in the dict's own storage (a subclass's __getitem__ or
// __missing__ never runs). Holds each value found by its own reference, as the
// caller's code may run in a later lookup or conversion.
class LiveLookup {
 public:
  explicit LiveLookup(Keys& keys) noexcept : keys_(keys) {}
  // The value under `key`, an empty Ref if absent, or the exception a stored
  // key's __eq__ raised.
  [[nodiscard]] Result<Ref> operator()(PyObject* mapping, KeyId key) const;

 private:
  Keys& keys_;
};

// The UTF-8 text of a required string entry found as `value` (nullptr if
// absent). It lives as long as `value` does.
[[nodiscard]] Result<std::string_view> string_text(PyObject* value, KeyId key);

// Whether an exception of `type` must reach the caller instead of giving way
// to the binding's own error: one that is no Exception (KeyboardInterrupt,
// SystemExit) asks to stop, and a MemoryError is no fault of the input.
[[nodiscard]] bool must_reach_caller(PyObject* type) noexcept;

// Which entry of a source mapping a conversion stopped at.
enum class SourceField : std::uint8_t { Mapping, Kind, Value };

// A source's text and the str that keeps it alive.
struct Source {
  SourceText text;
  Ref holder;
};

// A source mapping, through real lookups, with every check in order; on a
// failure `failed` (if given) says which entry it concerns.
[[nodiscard]] Result<Source> convert_source(PyObject* object, Keys& keys, SourceField* failed = nullptr);

// An occurrence: any int (bool and __index__ objects included) from 0 to
// 2**32 - 1. An interrupt, an exit or a MemoryError from __index__ passes
// through; any other exception gives way to the binding's own error.
[[nodiscard]] Result<std::uint32_t> occurrence_of(PyObject* object);

// Hands the nodes of the list `nodes`, then the edges of the list `edges`, to
// `hasher`, converting and checking each item in list order.
[[nodiscard]] Result<void> add_manifest(PyObject* nodes, PyObject* edges, CompositionHasher& hasher, Keys& keys);

// ---

template <KeyId... Wanted>
bool Keys::read(PyObject* dict, std::array<PyObject*, sizeof...(Wanted)>& found) noexcept {
  constexpr std::size_t N = sizeof...(Wanted);
  constexpr std::array<KeyId, N> wanted{Wanted...};
  // Reading costs a step per entry; dicts larger than this are rare enough to
  // take the lookups instead.
  constexpr Py_ssize_t kMostEntries = 16;
  found.fill(nullptr);
  const Py_ssize_t entries = PyDict_GET_SIZE(dict);
  if (entries > kMostEntries) return false;
  std::array<PyObject*, N> known{objects_[static_cast<std::size_t>(Wanted)].get()...};
  Py_ssize_t position = 0;
  PyObject *stored, *value;
  for (Py_ssize_t seen = 0; seen < entries && PyDict_Next(dict, &position, &stored, &value); ++seen) {
    if (!PyUnicode_CheckExact(stored)) return false;
    std::size_t w = 0;
    while (w < N && stored != known[w]) ++w;
    if (w == N) {  // not one of the objects seen so far: compare texts
      w = 0;
      while (w < N && !adopt_if_named(stored, wanted[w])) ++w;
      if (w < N) known[w] = stored;
    }
    if (w < N) found[w] = value;
  }
  return true;
}

}  // namespace vela_sha::py
