// The members of vela_sha._ext, each defined in its own unit.
#pragma once

#include <cstddef>
#include <string>

#include "common/failure.hpp"
#include "vela_sha/template_hasher.hpp"

namespace vela_sha::py {

// Below this many bytes, hashing is quicker than giving the interpreter lock
// away and taking it back (the threshold hashlib uses too).
inline constexpr std::size_t kReleaseLockAbove = 2048;

// The module's own state: the types its functions make instances of.
struct ExtState {
  PyObject* file_digests_type;
};

[[nodiscard]] inline ExtState& state_of(PyObject* module) noexcept {
  return *static_cast<ExtState*>(PyModule_GetState(module));
}

// Adds every type and function of the module, appending each name to its
// __all__; false with an exception set.
[[nodiscard]] bool add_ext_members(PyObject* module);

// The TemplateHasher class, made for `module`; nullptr with an exception set.
[[nodiscard]] Ref make_template_hasher_type(PyObject* module);

// The type of what iter_hash_files returns.
[[nodiscard]] Ref make_file_digests_type(PyObject* module);

// The module's functions, in the fast-call convention; each binds its
// arguments with the shared binder.
//   hash_file(file, /)
//   iter_hash_files(files, /, *, jobs=None)
//   hash_files(files, /, *, jobs=None, return_exceptions=False)
//   manifest_problems(manifest, /)
using FastFunction = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hash_file_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* iter_hash_files_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hash_files_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* manifest_problems_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Whether `object` is a path: a str, bytes, or an os.PathLike.
[[nodiscard]] inline bool is_path(PyObject* object) {
  if (PyUnicode_Check(object) || PyBytes_Check(object)) return true;
  return PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__") != 0;
}

// A path as open() takes it: its name (os.fspath of it, a str or bytes), which
// errors report, and the bytes the system is given.
struct FsPath {
  Ref name;
  std::string bytes;
};
[[nodiscard]] Result<FsPath> fs_path(PyObject* path);

// Feeds `bytes` to `hasher`, without the interpreter lock if they are many.
[[nodiscard]] std::expected<void, Utf8Error> update_releasing(TemplateHasher& hasher,
                                                              std::span<const std::uint8_t> bytes);

// A C-contiguous buffer of any exporter, held (so not resizable) until this goes.
class BufferView {
 public:
  // Fails with TypeError for str (encode it first), or the exporter's error.
  [[nodiscard]] static Result<BufferView> of(PyObject* object);
  BufferView(BufferView&& other) noexcept;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  BufferView& operator=(BufferView&&) = delete;
  ~BufferView();

  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept;

 private:
  BufferView() noexcept = default;
  Py_buffer view_{};
};

}  // namespace vela_sha::py
