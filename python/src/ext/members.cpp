#include "ext.hpp"

namespace vela_sha::py {

bool add_ext_members(PyObject* module) {
  // Nothing yet but an empty __all__.
  const Ref all = Ref::steal(PyList_New(0));
  if (!all) return false;
  return PyObject_SetAttrString(module, "__all__", all.get()) == 0;
}

}  // namespace vela_sha::py
