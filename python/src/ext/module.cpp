// The extension module vela_sha._ext: what goes beyond one in-memory call
// (streaming, files, batches, diagnostics). Its errors are raised with the very
// VelaShaError class that vela_sha._native created.
#include "common/error_type.hpp"
#include "common/failure.hpp"
#include "ext.hpp"

namespace vela_sha::py {
namespace {

// Takes VelaShaError from vela_sha._native, importing it first if need be.
bool adopt_native_error_type() {
  const Ref native = Ref::steal(PyImport_ImportModule("vela_sha._native"));
  if (!native) return false;
  const Ref type = Ref::steal(PyObject_GetAttrString(native.get(), "VelaShaError"));
  if (!type) return false;
  if (!PyType_Check(type.get()) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()),
                        reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    PyErr_SetString(PyExc_TypeError, "vela_sha._native.VelaShaError is not an exception class");
    return false;
  }
  adopt_error_type(type.get());
  return true;
}

int exec_ext(PyObject* module) {
  return guarded<int>(-1, [&] {
    if (!adopt_native_error_type()) return -1;
    return add_ext_members(module) ? 0 : -1;
  });
}

int traverse_ext(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module).file_digests_type);
  return 0;
}

int clear_ext(PyObject* module) {
  Py_CLEAR(state_of(module).file_digests_type);
  return 0;
}

void free_ext(void* module) { clear_ext(static_cast<PyObject*>(module)); }

PyModuleDef_Slot ext_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_ext)},
    {0, nullptr},
};

PyModuleDef ext_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_ext",
    .m_doc = "Streaming, file, batch and diagnostic interfaces of vela_sha.",
    .m_size = sizeof(ExtState),
    .m_methods = nullptr,
    .m_slots = ext_slots,
    .m_traverse = traverse_ext,
    .m_clear = clear_ext,
    .m_free = free_ext,
};

}  // namespace
}  // namespace vela_sha::py

PyMODINIT_FUNC PyInit__ext() { return PyModuleDef_Init(&vela_sha::py::ext_module); }
