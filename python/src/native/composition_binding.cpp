#include "bindings.hpp"
#include "common/arguments.hpp"
#include "common/manifest_conversion.hpp"
#include "common/results.hpp"

namespace vela_sha::py {
namespace {

constexpr const char* kParameters[] = {"input"};
constexpr Signature kSignature{"calculate_composition_hash()", kParameters};

Result<Ref> calculate_composition_hash_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* input;
  if (!bind_arguments(kSignature, args, nargs, kwnames, &input)) return raised();
  auto digest = hash_manifest(input);
  if (!digest) return std::unexpected(std::move(digest.error()));
  return digest_result(Name::Composition, digest->bytes());
}

}  // namespace

PyObject* calculate_composition_hash_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr,
                            [&] { return finish(calculate_composition_hash_impl(args, nargs, kwnames)); });
}

}  // namespace vela_sha::py
