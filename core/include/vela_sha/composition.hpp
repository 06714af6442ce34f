// The composition digest: a resolved manifest, checked for consistency and
// written into one canonical byte stream, hashed with SHA-256.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
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
// SHA-256 of its composition stream. Linear in the manifest; besides the
// source set it keeps a copy of the node entries, and nothing per edge.
// std::bad_alloc if that memory cannot be had.
[[nodiscard]] std::expected<CompositionSha256, CompositionError> calculate_composition_hash(
    const ResolvedTemplateManifest& manifest);

// The secret that keys the source set's hash, so that sources crafted to
// collide cost what random ones cost. It never reaches the digest.
struct SourceSetKey {
  std::uint64_t k0, k1;

  // Drawn once per process from the system's entropy source.
  [[nodiscard]] static const SourceSetKey& process();
};

// A source as the stream takes it: its member and its text, which the caller
// has validated. The text is only read during the call it is passed to.
struct SourceText {
  CanonicalSource::Member member;
  std::string_view text;
};

// A node added to a CompositionHasher, valid as long as the hasher is.
class NodeHandle {
 public:
  NodeHandle() noexcept = default;
  // Whether this names a node (a default handle names none).
  explicit operator bool() const noexcept { return entry_ != nullptr; }
  // Sends for the node's entry, which an edge naming it will read.
  void prefetch() const noexcept { __builtin_prefetch(entry_); }

 private:
  friend class CompositionHasher;
  friend class Endpoint;
  explicit NodeHandle(const std::uint8_t* entry) noexcept : entry_(entry) {}
  const std::uint8_t* entry_ = nullptr;  // the node's entry in stream form
};

// An edge endpoint: a source, which is checked against the nodes, or a node
// that the caller knows the endpoint to be (the same source, known without
// comparing texts), which is taken as it is.
class Endpoint {
 public:
  Endpoint(SourceText source) noexcept : source_(source) {}                   // NOLINT: implicit
  Endpoint(NodeHandle node) noexcept : source_{}, node_(node.entry_) {}  // NOLINT: implicit

  // A source whose text the caller has not validated. One equal to a node's
  // source is valid as that node's is; any other is validated by the hasher,
  // which reports an invalid one through invalid_endpoint() (finish() counts
  // it as unknown). Validation thus costs nothing for the endpoints of a
  // consistent manifest.
  [[nodiscard]] static Endpoint unvalidated(SourceText source) noexcept {
    Endpoint endpoint(source);
    endpoint.validated_ = false;
    return endpoint;
  }

 private:
  friend class CompositionHasher;
  SourceText source_;
  const std::uint8_t* node_ = nullptr;
  bool validated_ = true;
};

// The composition hash of a V1 manifest handed over one record at a time, in
// manifest order, so that no manifest has to be built: nodes, then edges. The
// stream is hashed while it is written: for a manifest of a few thousand
// records or more, on a thread of the hasher's own while a processor is free
// for it (so the hashing runs beside the writing), else on the caller's. Node
// entries are copied and kept (the edges are checked against them); edge
// entries are not kept unless their number is recounted. finish() gives what
// calculate_composition_hash gives for the same records.
//
// Up to a few MiB of working memory stay with the thread for its next hasher.
// Every adding member may throw std::bad_alloc.
class CompositionHasher {
 public:
  // `nodes`: how many nodes the caller means to add. Fewer may come.
  explicit CompositionHasher(std::uint64_t nodes, const SourceSetKey& key = SourceSetKey::process());
  ~CompositionHasher();
  CompositionHasher(const CompositionHasher&) = delete;
  CompositionHasher& operator=(const CompositionHasher&) = delete;

  NodeHandle add_node(SourceText source, const TemplateSha256& sha256);

  // Ends the nodes. `edges`: how many edges the caller means to add; exactly
  // that many must come, unless recount_edges() is called.
  void begin_edges(std::uint64_t edges);
  void add_edge(Endpoint parent, Endpoint child, std::uint32_t occurrence);

  // Starts the edges over, their number no longer known in advance: the
  // edges added so far are forgotten (the caller adds them again, in order),
  // and finish() writes the number that came. From here on edge entries are
  // kept until finish(), so memory grows with them.
  void recount_edges();

  // Whether an endpoint of the edges added so far came unvalidated and fails
  // validate_representation. Settles the checks of all of them first.
  [[nodiscard]] bool invalid_endpoint() noexcept;

  [[nodiscard]] std::expected<CompositionSha256, CompositionError> finish();

 private:
  struct State;
  State* state_;
};

// The same, with the set keyed by `key` (for tests: the digest must not depend on it).
[[nodiscard]] std::expected<CompositionSha256, CompositionError> calculate_composition_hash(
    const ResolvedTemplateManifest& manifest, const SourceSetKey& key);

}  // namespace vela_sha
