// The one owning reference type of the binding.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vela_sha::py {

// Owns one reference to a Python object (or nothing). The destructor releases
// it and a move leaves the source empty, so no early return can leak one.
// Raw pointers come in only through steal (take over a new reference) or
// borrow (add a reference of our own), and leave only through release.
class Ref {
 public:
  Ref() noexcept = default;
  [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
  [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref taken(std::move(other));
    std::swap(object_, taken.object_);  // the old object is released with `taken`
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vela_sha::py
