#include "ext.hpp"

namespace vela_sha::py {
namespace {

PyMethodDef hash_file_def = {
    "hash_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hash_file_py)),
    METH_FASTCALL,
    "hash_file(file, /)\n--\n\n"
    "The template digest of a file, as calculate_hash gives it for the file's bytes.\n\n"
    "`file` is a path (str, bytes or os.PathLike), read through a fixed buffer\n"
    "without the interpreter lock, or a binary file object, read from its current\n"
    "position to its end (readinto where it has one, else read) and never closed.\n"
    "I/O failures raise OSError; invalid UTF-8 raises VelaShaError with `offset`\n"
    "and `line` set."};

bool add(PyObject* module, PyObject* all, const char* name, PyObject* object) {
  const Ref name_str = Ref::steal(PyUnicode_FromString(name));
  if (!name_str || PyList_Append(all, name_str.get()) < 0) return false;
  return PyObject_SetAttr(module, name_str.get(), object) == 0;
}

}  // namespace

BufferView::BufferView(BufferView&& other) noexcept : view_(other.view_) { other.view_.obj = nullptr; }

BufferView::~BufferView() {
  if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

Result<BufferView> BufferView::of(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Strings must be encoded before hashing");
    return raised();
  }
  BufferView view;
  if (PyObject_GetBuffer(object, &view.view_, PyBUF_SIMPLE) < 0) return raised();
  return view;
}

std::span<const std::uint8_t> BufferView::bytes() const noexcept {
  return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
}

bool add_ext_members(PyObject* module) {
  const Ref all = Ref::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  const Ref hasher_type = make_template_hasher_type(module);
  if (!hasher_type || !add(module, all.get(), "TemplateHasher", hasher_type.get())) return false;
  const Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  const Ref hash_file = Ref::steal(PyCMethod_New(&hash_file_def, module, module_name.get(), nullptr));
  return hash_file && add(module, all.get(), "hash_file", hash_file.get());
}

}  // namespace vela_sha::py
