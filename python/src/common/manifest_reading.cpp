#include "manifest_reading.hpp"

#include <cstring>

namespace vela_sha::py {
namespace {

constexpr std::array<std::string_view, kKeyCount> kKeyTexts = {
    "schema", "nodes", "edges", "source", "sha256", "kind", "value", "parent", "child", "occurrence"};

// Whether the exception just raised must reach the caller.
bool passes_through() noexcept { return must_reach_caller(PyErr_Occurred()); }

}  // namespace

thread_local std::uint64_t CallerCode::epoch_ = 0;

std::string_view key_text(KeyId key) noexcept { return kKeyTexts[static_cast<std::size_t>(key)]; }

PyObject* Keys::object(KeyId key) {
  Ref& object = objects_[static_cast<std::size_t>(key)];
  if (!object) object = new_ascii_str(key_text(key));
  return object.get();
}

bool Keys::adopt_if_named(PyObject* stored, KeyId key) noexcept {
  const std::string_view name = key_text(key);
  if (!PyUnicode_IS_COMPACT_ASCII(stored) || PyUnicode_GET_LENGTH(stored) != static_cast<Py_ssize_t>(name.size()) ||
      std::memcmp(PyUnicode_1BYTE_DATA(stored), name.data(), name.size()) != 0) {
    return false;
  }
  objects_[static_cast<std::size_t>(key)] = Ref::borrow(stored);
  return true;
}

Result<Ref> look_up(PyObject* mapping, KeyId key, Keys& keys) {
  PyObject* const name = keys.object(key);
  CallerCode::may_run();
  PyObject* value = PyDict_GetItemWithError(mapping, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return raised();
  return Ref();
}

Result<std::optional<std::string_view>> string_test(PyObject* value) {
  if (!PyUnicode_Check(value)) return std::nullopt;
  if (PyUnicode_IS_COMPACT_ASCII(value)) {
    return std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
  }
  CallerCode::may_run();  // a lone surrogate raises, and the exception's making may collect
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size)) {
    return std::string_view(utf8, static_cast<std::size_t>(size));
  }
  if (passes_through()) return raised();
  PyErr_Clear();  // fails like a non-string
  return std::nullopt;
}

Result<std::optional<std::uint32_t>> occurrence_test(PyObject* value) {
  CallerCode::may_run();
  const long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) {
    if (passes_through()) return raised();
    PyErr_Clear();  // the conversion's own exception gives way to the binding's
    return std::nullopt;
  }
  if (static_cast<unsigned long>(number) > 0xFFFFFFFFUL) return std::nullopt;
  return static_cast<std::uint32_t>(number);
}

}  // namespace vela_sha::py
