// The composition digest: a resolved manifest, checked for consistency and
// written into one canonical byte stream, hashed with SHA-256.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <span>
#include <string_view>

#include "vela_sha/digest.hpp"
#include "vela_sha/manifest.hpp"

namespace vela_sha {

class CompositionSha256 : public detail::Digest<CompositionSha256> {
 public:
  using Digest::Digest;
};

enum class CompositionError : std::uint8_t {
  UnsupportedSchema,    // the schema is not ManifestSchemaVersion::V1
  DuplicateSource,      // a node's source equals an earlier node's
  UnknownEdgeEndpoint,  // an edge's parent or child is no node's source
};

[[nodiscard]] std::string_view message(CompositionError error) noexcept;
std::ostream& operator<<(std::ostream& out, CompositionError error);

// Checks the manifest (schema, then unique node sources in node order, then
// edge endpoints in edge order; the first failure wins) and returns the
// SHA-256 of its composition stream. Linear in the manifest; memory beyond the
// source set stays flat however large it is. std::bad_alloc if the set cannot
// be allocated.
[[nodiscard]] std::expected<CompositionSha256, CompositionError> calculate_composition_hash(
    const ResolvedTemplateManifest& manifest);

// The secret that keys the source set's hash, so that sources crafted to
// collide cost what random ones cost. It never reaches the digest.
struct SourceSetKey {
  std::uint64_t k0, k1;

  // Drawn once per process from the system's entropy source.
  [[nodiscard]] static const SourceSetKey& process();
};

// The same, with the set keyed by `key` (for tests: the digest must not depend on it).
[[nodiscard]] std::expected<CompositionSha256, CompositionError> calculate_composition_hash(
    const ResolvedTemplateManifest& manifest, const SourceSetKey& key);

// Where the composition stream goes: a SHA-256 context, or a test's buffer.
class ByteSink {
 public:
  virtual void write(std::span<const std::uint8_t> bytes) = 0;

 protected:
  ~ByteSink() = default;
};

// Writes the manifest's composition stream to `sink`, unchecked, in pieces of
// at most a few KiB (a text longer than that goes through in one piece).
void write_composition_stream(const ResolvedTemplateManifest& manifest, ByteSink& sink);

// The stream's length in bytes: 25 + L + sum(49 + n) + sum(22 + p + c).
[[nodiscard]] std::uint64_t composition_stream_length(const ResolvedTemplateManifest& manifest) noexcept;

}  // namespace vela_sha
