#include "common/module.hpp"
#include "ext.hpp"

namespace vela_sha::py {
namespace {

// A fast-call function's entry in a method table.
PyMethodDef fast(const char* name, FastFunction function, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_FASTCALL | METH_KEYWORDS,
          doc};
}

PyMethodDef functions[] = {
    fast("hash_file", hash_file_py,
         "hash_file(file, /)\n--\n\n"
         "The template digest of a file, as calculate_hash gives it for the file's bytes.\n\n"
         "`file` is a path (str, bytes or os.PathLike), read through a fixed buffer\n"
         "without the interpreter lock, or a binary file object, read from its current\n"
         "position to its end (readinto where it has one, else read) and never closed.\n"
         "I/O failures raise OSError; invalid UTF-8 raises VelaShaError with `offset`,\n"
         "`line` and `filename` set."),
    fast("iter_hash_files", iter_hash_files_py,
         "iter_hash_files(files, /, *, jobs=None)\n--\n\n"
         "Yields (path, outcome) for each path of `files`, in input order, each as soon\n"
         "as it and everything before it are done. `outcome` is the result dict, or the\n"
         "exception for that file (VelaShaError, OSError). The files are read and hashed\n"
         "on `jobs` threads (default: the CPUs this process may use) without the\n"
         "interpreter lock; close(), or leaving a with block, stops them."),
    fast("hash_files", hash_files_py,
         "hash_files(files, /, *, jobs=None, return_exceptions=False)\n--\n\n"
         "The result dicts of `files`, in input order, hashed as iter_hash_files does.\n"
         "The first failure in input order is raised once all are done; with\n"
         "return_exceptions=True each failure takes its file's place in the list."),
    fast("manifest_problems", manifest_problems_py,
         "manifest_problems(manifest, /)\n--\n\n"
         "Every problem of a manifest, each a dict with `where` (such as 'schema',\n"
         "'nodes[617].sha256' or 'edges[37].child.value'; '' for the manifest itself),\n"
         "`code` and `message`, and for a duplicate source `duplicate_of`. In the order\n"
         "calculate_composition_hash checks them: the first is the error it raises, and\n"
         "[] means it succeeds."),
};

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

Result<FsPath> fs_path(PyObject* path) {
  FsPath out{Ref::steal(PyOS_FSPath(path)), {}};
  if (!out.name) return raised();
  PyObject* encoded_raw = nullptr;
  if (!PyUnicode_FSConverter(out.name.get(), &encoded_raw)) return raised();
  const Ref encoded = Ref::steal(encoded_raw);
  out.bytes.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return out;
}

bool add_ext_members(PyObject* module) {
  const Ref hasher_type = make_template_hasher_type(module);
  if (!hasher_type || !add_to_module(module, new_str("TemplateHasher").get(), hasher_type.get())) return false;
  Ref digests_type = make_file_digests_type(module);
  if (!digests_type) return false;
  state_of(module).file_digests_type = digests_type.release();
  for (PyMethodDef& definition : functions) {
    if (!add_function(module, &definition)) return false;
  }
  return true;
}

}  // namespace vela_sha::py
