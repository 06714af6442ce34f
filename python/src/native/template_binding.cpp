#include <algorithm>

#include "common/arguments.hpp"
#include "bindings.hpp"
#include "common/results.hpp"
#include "owned_copy.hpp"
#include "vela_sha/template_hasher.hpp"

namespace vela_sha::py {
namespace {

constexpr const char* kParameters[] = {"input"};
constexpr Signature kSignature{"calculate_hash()", kParameters};

// The copy is taken a block at a time, and each block validated and hashed
// while it is still in the cache: one pass over memory instead of four.
constexpr std::size_t kCopyBlock = 256 * 1024;

// The template digest of the bytes `copy` is made of. The copy is ours to
// overwrite, so line endings are normalised inside it.
std::expected<TemplateSha256, Utf8Error> hash_while_copying(OwnedCopy& copy, std::size_t size) {
  TemplateHasher hasher(TemplateHasher::WithoutLines{});
  for (std::size_t at = 0; at < size; at += kCopyBlock) {
    const std::size_t length = std::min(kCopyBlock, size - at);
    if (auto fed = hasher.update_in_place({copy.block(at, length), length}); !fed) {
      return std::unexpected(fed.error());
    }
  }
  return hasher.digest();
}

Result<Ref> calculate_hash_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* input;
  if (!bind_arguments(kSignature, args, nargs, kwnames, &input)) return raised();
  if (!PyDict_Check(input)) return error(code::kInvalidInput, "hash input must be a mapping");

  // The dict's own storage is read: a subclass's __getitem__ or __missing__
  // never runs, though a stored key's __eq__ may, and its exception is passed on.
  const Ref key = new_ascii_str("utf8_file_bytes");
  const Ref value = Ref::borrow(PyDict_GetItemWithError(input, key.get()));
  if (!value) {
    if (PyErr_Occurred()) return raised();
    return error(code::kInvalidInput, "hash input requires utf8_file_bytes");
  }
  if (!PyBytes_Check(value.get())) {
    return error(code::kInvalidInput, "utf8_file_bytes must be bytes; encode text as UTF-8 explicitly");
  }

  // Our own copy, so the core never refers to a Python object. Sizes stay in
  // size_t from here on: inputs past 4 GiB are ordinary.
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(value.get()));
  OwnedCopy copy(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value.get())), size);
  const auto digest = hash_while_copying(copy, size);
  if (!digest) return error(ShaError::InvalidUtf8);
  return digest_result("template", digest->bytes());
}

}  // namespace

PyObject* calculate_hash_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return finish(calculate_hash_impl(args, nargs, kwnames)); });
}

}  // namespace vela_sha::py
