// The one owning reference type of the binding.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vela_sha::py {

// Whether this thread holds the interpreter, as it must to touch any object.
// It does not while the interpreter ends it: a daemon thread that comes back
// for the lock at exit (3.11 to 3.13) is ended by a forced unwind, which runs
// the destructors of the frames it passes without the lock.
[[nodiscard]] inline bool holds_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  // Only exit ends a thread; until then this thread holds it, or we are not here.
  if (!_Py_IsFinalizing()) return true;
  // (PyGILState_Check answers yes for everyone once the interpreter has
  // dropped its thread records, late in its exit.)
  PyThreadState* mine = PyGILState_GetThisThreadState();
  return mine != nullptr && mine == _PyThreadState_UncheckedGet();
#endif
}

// Owns one reference to a Python object (or nothing). The destructor releases
// it and a move leaves the source empty, so no early return can leak one; a
// thread the interpreter is ending leaves it, as the interpreter leaves its own.
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
  ~Ref() {
    if (object_ != nullptr && holds_interpreter()) Py_DECREF(object_);
  }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vela_sha::py
