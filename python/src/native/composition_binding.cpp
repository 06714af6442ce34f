#include <array>

#include "bindings.hpp"
#include "common/arguments.hpp"
#include "common/manifest_conversion.hpp"
#include "common/results.hpp"
#include "vela_sha/composition.hpp"

namespace vela_sha::py {
namespace {

constexpr const char* kParameters[] = {"input"};
constexpr Signature kSignature{"calculate_composition_hash()", kParameters};

// Indexed by CompositionError's member number.
constexpr std::array<std::string_view, 3> kCompositionCodes = {
    code::kUnsupportedManifestSchema, code::kDuplicateSource, code::kUnknownEdgeEndpoint};

// The top-level entries found through `lookup` (see manifest_conversion.hpp).
template <class Lookup>
Result<Ref> calculate(PyObject* input, const Lookup& lookup, Keys& keys) {
  auto schema_value = lookup(input, KeyId::Schema);
  if (!schema_value) return propagate(schema_value);
  auto schema_text = string_text(schema_value->get(), KeyId::Schema);
  if (!schema_text) return propagate(schema_text);
  const auto schema = ManifestSchemaVersion::try_from(*schema_text);
  if (!schema) {
    if (schema.error() == ManifestSchemaError::Empty) {
      return error(code::kInvalidManifest, "manifest schema must not be empty");
    }
    return error(code::kUnsupportedManifestSchema, "unsupported manifest schema; use vela-sha/manifest/v1");
  }

  // Both entries are found before either is examined.
  auto nodes_value = lookup(input, KeyId::Nodes);
  if (!nodes_value) return propagate(nodes_value);
  if (!*nodes_value) return error(code::kInvalidManifest, "manifest object requires nodes");
  auto edges_value = lookup(input, KeyId::Edges);
  if (!edges_value) return propagate(edges_value);
  if (!*edges_value) return error(code::kInvalidManifest, "manifest object requires edges");
  // Held for the walks, in which the caller's code may drop them from `input`.
  const Ref nodes = std::move(*nodes_value), edges = std::move(*edges_value);

  CompositionHasher hasher(PyList_Check(nodes.get()) ? static_cast<std::uint64_t>(PyList_GET_SIZE(nodes.get())) : 0);
  if (auto added = add_manifest(nodes.get(), edges.get(), hasher, keys); !added) return propagate(added);
  const auto digest = hasher.finish();
  if (!digest) {
    return error(kCompositionCodes.at(static_cast<std::size_t>(digest.error())),
                 std::string(message(digest.error())));
  }
  return digest_result("composition", digest->bytes());
}

// The input's entries as Keys::read found them, each held by a reference of
// our own at once: converting the schema may run the collector, and with it
// code that changes the input.
struct TopEntries {
  std::array<Ref, 3> held;
  explicit TopEntries(const std::array<PyObject*, 3>& found) noexcept {
    for (std::size_t i = 0; i < found.size(); ++i) held[i] = Ref::borrow(found[i]);
  }
  Result<Ref> operator()(PyObject*, KeyId key) const noexcept {
    return Ref::borrow(held[static_cast<std::size_t>(key) - static_cast<std::size_t>(KeyId::Schema)].get());
  }
};

Result<Ref> calculate_composition_hash_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* input;
  if (!bind_arguments(kSignature, args, nargs, kwnames, &input)) return raised();
  if (!PyDict_Check(input)) return error(code::kInvalidInput, "hash input must be a mapping");
  Keys keys;
  if (std::array<PyObject*, 3> found; keys.read<KeyId::Schema, KeyId::Nodes, KeyId::Edges>(input, found)) {
    return calculate(input, TopEntries(found), keys);
  }
  return calculate(input, LiveLookup(keys), keys);
}

}  // namespace

PyObject* calculate_composition_hash_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return guarded<PyObject*>(nullptr,
                            [&] { return finish(calculate_composition_hash_impl(args, nargs, kwnames)); });
}

}  // namespace vela_sha::py
