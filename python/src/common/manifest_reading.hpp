// How a manifest's Python objects are read: the keys, lookups in a dict's own
// storage, and the string and integer tests. Each of these may run the
// caller's code (a stored key's __eq__, an __index__, or the collector's
// finalizers while an exception is made), and says so to CallerCode.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "failure.hpp"

namespace vela_sha::py {

// The keys a manifest is read by.
enum class KeyId : std::uint8_t { Schema, Nodes, Edges, Source, Sha256, Kind, Value, Parent, Child, Occurrence };
inline constexpr std::size_t kKeyCount = 10;

[[nodiscard]] std::string_view key_text(KeyId key) noexcept;

// Counts the calls that may run the caller's code, so that what was read
// without any (the read-ahead) can tell whether it still holds: objects read
// before the count moved may have changed, or gone.
class CallerCode {
 public:
  [[nodiscard]] static std::uint64_t epoch() noexcept { return epoch_; }
  static void may_run() noexcept { ++epoch_; }

 private:
  static thread_local std::uint64_t epoch_;
};

// One call's key objects. Once one of the caller's dicts has shown its own
// str for a key, that object is used (dicts from one json.loads or one set of
// literals share their key objects, so lookups then match on identity);
// until then a str is made when a lookup first needs one.
class Keys {
 public:
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

// The value under `key` in the dict's own storage (a subclass's __getitem__
// or __missing__ never runs): held by a reference of our own, an empty Ref if
// absent, or the exception a stored key's __eq__ raised.
[[nodiscard]] Result<Ref> look_up(PyObject* mapping, KeyId key, Keys& keys);

// The string test: the UTF-8 text of a str (or str subclass), which lives as
// long as the str does; nullopt for anything else, a str with a lone
// surrogate included. An interrupt, an exit or a MemoryError while the text
// is made passes through.
[[nodiscard]] Result<std::optional<std::string_view>> string_test(PyObject* value);

// The integer test of an occurrence: any int (bool and __index__ objects
// included) from 0 to 2**32 - 1; nullopt otherwise. An interrupt, an exit or a
// MemoryError from __index__ passes through; any other exception gives way.
[[nodiscard]] Result<std::optional<std::uint32_t>> occurrence_test(PyObject* value);

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
