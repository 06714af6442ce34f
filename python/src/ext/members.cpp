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

PyMethodDef iter_hash_files_def = {
    "iter_hash_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_hash_files_py)),
    METH_VARARGS | METH_KEYWORDS,
    "iter_hash_files(files, /, *, jobs=None)\n--\n\n"
    "Yields (path, outcome) for each path of `files`, in input order, each as soon\n"
    "as it and everything before it are done. `outcome` is the result dict, or the\n"
    "exception for that file (VelaShaError, OSError). The files are read and hashed\n"
    "on `jobs` threads (default: the CPUs this process may use) without the\n"
    "interpreter lock; close() stops them."};

PyMethodDef hash_files_def = {
    "hash_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hash_files_py)),
    METH_VARARGS | METH_KEYWORDS,
    "hash_files(files, /, *, jobs=None, return_exceptions=False)\n--\n\n"
    "The result dicts of `files`, in input order, hashed as iter_hash_files does.\n"
    "The first failure in input order is raised once all are done; with\n"
    "return_exceptions=True each failure takes its file's place in the list."};

PyMethodDef manifest_problems_def = {
    "manifest_problems", manifest_problems_py, METH_O,
    "manifest_problems(manifest, /)\n--\n\n"
    "Every problem of a manifest, each a dict with `where` (such as 'schema',\n"
    "'nodes[617].sha256' or 'edges[37].child.value'; '' for the manifest itself),\n"
    "`code` and `message`, and for a duplicate source `duplicate_of`. In the order\n"
    "calculate_composition_hash checks them: the first is the error it raises, and\n"
    "[] means it succeeds."};

bool add(PyObject* module, PyObject* all, const char* name, PyObject* object) {
  const Ref name_str = Ref::steal(PyUnicode_FromString(name));
  if (!name_str || PyList_Append(all, name_str.get()) < 0) return false;
  return PyObject_SetAttr(module, name_str.get(), object) == 0;
}

}  // namespace

BufferView::BufferView(BufferView&& other) noexcept : view_(other.view_) { other.view_.obj = nullptr; }

BufferView::~BufferView() {
  if (view_.obj != nullptr && holds_interpreter()) PyBuffer_Release(&view_);
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
  Ref digests_type = make_file_digests_type(module);
  if (!digests_type) return false;
  state_of(module).file_digests_type = digests_type.release();
  const Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef* definition : {&hash_file_def, &iter_hash_files_def, &hash_files_def, &manifest_problems_def}) {
    const Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function || !add(module, all.get(), definition->ml_name, function.get())) return false;
  }
  return true;
}

}  // namespace vela_sha::py
