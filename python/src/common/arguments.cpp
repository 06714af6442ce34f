#include "arguments.hpp"

#include <algorithm>
#include <string>

namespace vela_sha::py {
namespace {

class Binder {
 public:
  Binder(const Signature& signature, PyObject* const* positional, Py_ssize_t count,
         PyObject** bound)
      : signature_(signature), positional_(positional), count_(count), bound_(bound) {}

  bool bind_positional() {
    const auto parameters = static_cast<Py_ssize_t>(std::min(signature_.names.size(), signature_.keyword_only));
    if (count_ > parameters) {
      const std::string text = std::string(signature_.display) + " takes " +
                               std::to_string(parameters) + " positional arguments but " +
                               std::to_string(count_) + (count_ == 1 ? " was" : " were") +
                               " given";
      PyErr_SetString(PyExc_TypeError, text.c_str());
      return false;
    }
    for (std::size_t i = 0; i < signature_.names.size(); ++i) {
      bound_[i] = static_cast<Py_ssize_t>(i) < count_ ? positional_[i] : nullptr;
    }
    return true;
  }

  bool bind_keyword(PyObject* name, PyObject* value) {
    for (std::size_t i = signature_.positional_only; i < signature_.names.size(); ++i) {
      if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, signature_.names[i]) != 0) {
        continue;
      }
      if (static_cast<Py_ssize_t>(i) < count_) {
        const std::string text = std::string(signature_.display) +
                                 " got multiple values for argument '" + signature_.names[i] + "'";
        PyErr_SetString(PyExc_TypeError, text.c_str());
        return false;
      }
      bound_[i] = value;
      return true;
    }
    // %U keeps any name intact, whatever characters it holds.
    PyErr_Format(PyExc_TypeError, "%.200s got an unexpected keyword argument '%U'",
                 std::string(signature_.display).c_str(), name);
    return false;
  }

  bool check_complete() {
    std::string names;
    std::size_t missing = 0, listed = 0;
    const std::size_t required = std::min(signature_.names.size(), signature_.required);
    for (std::size_t i = 0; i < required; ++i) missing += bound_[i] == nullptr;
    if (missing == 0) return true;
    for (std::size_t i = 0; i < required; ++i) {
      if (bound_[i] != nullptr) continue;
      ++listed;
      if (listed > 1) names += missing == 2 ? " and " : listed == missing ? ", and " : ", ";
      names += std::string("'") + signature_.names[i] + "'";
    }
    const std::string text = std::string(signature_.display) + " missing " +
                             std::to_string(missing) + " required positional " +
                             (missing == 1 ? "argument" : "arguments") + ": " + names;
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
  }

 private:
  const Signature& signature_;
  PyObject* const* positional_;
  Py_ssize_t count_;
  PyObject** bound_;
};

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
  Binder binder(signature, args, nargs, bound);
  if (!binder.bind_positional()) return false;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    if (!binder.bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
  }
  return binder.check_complete();
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    PyObject** bound) {
  Binder binder(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), bound);
  if (!binder.bind_positional()) return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!binder.bind_keyword(name, value)) return false;
    }
  }
  return binder.check_complete();
}

}  // namespace vela_sha::py
