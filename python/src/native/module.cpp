// The extension module vela_sha._native: definition and initialisation.
#include "bindings.hpp"
#include "common/error_type.hpp"
#include "common/module.hpp"

namespace vela_sha::py {
namespace {

PyMethodDef calculate_hash_def = {
    "calculate_hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calculate_hash_py)),
    METH_FASTCALL | METH_KEYWORDS, "calculate_hash(input)\n--\n\n"};

PyMethodDef calculate_composition_hash_def = {
    "calculate_composition_hash",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calculate_composition_hash_py)),
    METH_FASTCALL | METH_KEYWORDS, "calculate_composition_hash(input)\n--\n\n"};

// Fills the module: the exception class first, then the functions.
bool native(PyObject* module) {
  PyObject* type = error_type_or_create();
  if (type == nullptr) return false;
  if (!add_to_module(module, new_str("VelaShaError").get(), type)) return false;
  return add_function(module, &calculate_hash_def) &&
         add_function(module, &calculate_composition_hash_def);
}

int exec_native(PyObject* module) {
  return guarded<int>(-1, [&] {
    if (!PyType_IsSubtype(Py_TYPE(module), &PyModule_Type)) {
      PyErr_SetString(PyExc_TypeError, "vela_sha._native can only initialise a module object");
      return -1;
    }
    return native(module) ? 0 : -1;
  });
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_native)},
    {0, nullptr},
};

PyModuleDef native_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = native_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vela_sha::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&vela_sha::py::native_module); }
