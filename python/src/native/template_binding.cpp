#include "common/arguments.hpp"
#include "bindings.hpp"
#include "common/manifest_rules.hpp"
#include "common/results.hpp"
#include "vela_sha/template_hasher.hpp"

namespace vela_sha::py {
namespace {

constexpr const char* kParameters[] = {"input"};
constexpr Signature kSignature{"calculate_hash()", kParameters};

Result<Ref> calculate_hash_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* input;
  if (!bind_arguments(kSignature, args, nargs, kwnames, &input)) return raised();
  if (!PyDict_Check(input)) return rule_error(Rule::InputNotMapping, KeyId::Schema);  // as for a manifest

  // The dict's own storage is read: a subclass's __getitem__ or __missing__
  // never runs, though a stored key's __eq__ may, and its exception is passed on.
  const Ref key = name_object(Name::Utf8FileBytes);
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
  const auto digest =
      calculate_hash_from_copy({reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value.get())), size});
  if (!digest) return error(digest.error());
  return digest_result(Name::Template, digest->bytes());
}

}  // namespace

PyObject* calculate_hash_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return finish(calculate_hash_impl(args, nargs, kwnames)); });
}

}  // namespace vela_sha::py
