#include <array>
#include <memory_resource>

#include "common/arguments.hpp"
#include "bindings.hpp"
#include "common/results.hpp"
#include "common/manifest_conversion.hpp"
#include "vela_sha/composition.hpp"

namespace vela_sha::py {
namespace {

constexpr const char* kParameters[] = {"input"};
constexpr Signature kSignature{"calculate_composition_hash()", kParameters};

// Indexed by CompositionError's member number.
constexpr std::array<std::string_view, 3> kCompositionCodes = {
    code::kUnsupportedManifestSchema, code::kDuplicateSource, code::kUnknownEdgeEndpoint};

Result<Ref> calculate_composition_hash_impl(PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  PyObject* input;
  if (!bind_arguments(kSignature, args, nargs, kwnames, &input)) return raised();
  if (!PyDict_Check(input)) return error(code::kInvalidInput, "hash input must be a mapping");
  // Texts go to one arena that outlives the manifest built from them.
  std::pmr::monotonic_buffer_resource texts(64 * 1024);
  const Conversion conversion = Conversion::make(&texts);

  auto schema_text = string_field(input, conversion.schema, conversion.texts);
  if (!schema_text) return propagate(schema_text);
  const auto schema = ManifestSchemaVersion::try_from(*schema_text);
  if (!schema) {
    if (schema.error() == ManifestSchemaError::Empty) {
      return error(code::kInvalidManifest, "manifest schema must not be empty");
    }
    return error(code::kUnsupportedManifestSchema, "unsupported manifest schema; use vela-sha/manifest/v1");
  }

  // Both entries are found before either is examined.
  auto nodes_value = lookup(input, conversion.nodes);
  if (!nodes_value) return propagate(nodes_value);
  if (!*nodes_value) return error(code::kInvalidManifest, "manifest object requires nodes");
  auto edges_value = lookup(input, conversion.edges);
  if (!edges_value) return propagate(edges_value);
  if (!*edges_value) return error(code::kInvalidManifest, "manifest object requires edges");

  auto nodes = parse_nodes(nodes_value->get(), conversion);
  if (!nodes) return propagate(nodes);
  auto edges = parse_edges(edges_value->get(), conversion);
  if (!edges) return propagate(edges);

  const ResolvedTemplateManifest manifest{*schema, std::move(*nodes), std::move(*edges)};
  const auto digest = calculate_composition_hash(manifest);
  if (!digest) {
    return error(kCompositionCodes.at(static_cast<std::size_t>(digest.error())),
                 std::string(message(digest.error())));
  }
  return digest_result("composition", digest->bytes());
}

}  // namespace

PyObject* calculate_composition_hash_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr,
                            [&] { return finish(calculate_composition_hash_impl(args, nargs, kwnames)); });
}

}  // namespace vela_sha::py
