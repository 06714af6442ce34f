#include "module.hpp"

namespace vela_sha::py {

bool add_to_module(PyObject* module, PyObject* name, PyObject* object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) throw InterpreterFault("could not create __all__");
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) throw InterpreterFault("could not append __name__ to __all__");
  return PyObject_SetAttr(module, name, object) == 0;
}

bool add_function(PyObject* module, PyMethodDef* definition) {
  const Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  const Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
  if (!function) return false;
  const Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "a function's __name__ must be a str");
    return false;
  }
  return add_to_module(module, name.get(), function.get());
}

}  // namespace vela_sha::py
