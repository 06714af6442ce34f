#include "vela_sha/composition.hpp"

#include <algorithm>
#include <memory>
#include <ostream>
#include <random>
#include <stdexcept>
#include <vector>

#include "composition_stream.hpp"
#include "node_entries.hpp"
#include "source_set.hpp"
#include "stream_hash.hpp"

namespace vela_sha {
namespace {

// Node entries go to the hash every 16 KiB, while they are still in cache;
// edge entries are staged and hashed 64 KiB at a time. A thread of their own
// takes 256 KiB at a time (each handing over costs a wake-up), edges in one
// of two halves while that thread has the other.
constexpr std::size_t kNodeStep = 16 * 1024;
constexpr std::size_t kEdgeStep = 64 * 1024;
constexpr std::size_t kParallelStep = 256 * 1024;

// Edge entries waiting for the set's checks and the hash.
class EdgeStaging {
 public:
  [[nodiscard]] std::size_t staged() const noexcept { return staged_; }
  [[nodiscard]] std::uint8_t* room() noexcept { return half() + staged_; }
  void added(std::size_t size) noexcept { staged_ += size; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() noexcept { return {half(), staged_}; }

  // The staged bytes went to the hash as `piece`: staging goes on in the
  // other half, once the piece that half went as (if any) is hashed.
  template <class Wait>
  void swap(std::optional<std::uint32_t> piece, Wait&& wait) {
    pieces_[current_] = piece;
    current_ ^= 1;
    wait(std::exchange(pieces_[current_], std::nullopt));
    staged_ = 0;
  }
  void reset() noexcept {
    staged_ = current_ = 0;
    pieces_ = {};
  }

 private:
  [[nodiscard]] std::uint8_t* half() noexcept { return memory_.get() + current_ * kParallelStep; }
  std::unique_ptr<std::uint8_t[]> memory_ = std::make_unique_for_overwrite<std::uint8_t[]>(2 * kParallelStep);
  std::array<std::optional<std::uint32_t>, 2> pieces_;
  std::size_t staged_ = 0, current_ = 0;
};

}  // namespace

// Everything a hasher works in. One per thread is kept between hashers (its
// memory trimmed to a few MiB); a hasher made while the thread's own is in
// use (one nested in another) gets one of its own.
struct CompositionHasher::State {
  detail::NodeEntries nodes;
  EdgeStaging staging;
  detail::SourceSet set;
  std::vector<std::uint8_t> kept;  // edge entries, once their number is recounted
  detail::StreamHash hash;         // last: stopped before the memory it may still read goes
  std::uint64_t announced_nodes = 0, node_count = 0, announced_edges = 0, edge_count = 0;
  bool recounting = false, busy = false, own = false;

  void begin(std::uint64_t announced, const SourceSetKey& key) {
    nodes.reset();
    staging.reset();
    set.reset(announced, key);
    kept.clear();
    announced_nodes = announced;
    node_count = announced_edges = edge_count = 0;
    recounting = false;
    hash.restart();
    hash.parallel_for(announced);
    hash.write_head(announced);
  }

  void trim() noexcept {
    nodes.trim();
    set.trim();
    std::vector<std::uint8_t>().swap(kept);
  }

  // The head and every node again, on this thread: a stream whose node count
  // came out lower than announced, or whose edges start over.
  void rehash_nodes() noexcept {
    hash.restart();
    hash.write_head(node_count);
    nodes.each_chunk([&](std::span<const std::uint8_t> chunk) { (void)hash.feed(chunk); });
  }

  [[nodiscard]] std::size_t step() const noexcept { return hash.parallel() ? kParallelStep : kEdgeStep; }

  // Checks and hashes (or keeps) the staged edges.
  void flush_edges() {
    set.drain();
    const auto bytes = staging.bytes();
    if (recounting) {
      kept.insert(kept.end(), bytes.begin(), bytes.end());
      return staging.swap(std::nullopt, [](auto) {});
    }
    staging.swap(hash.feed(bytes), [&](std::optional<std::uint32_t> piece) { hash.wait_for(piece); });
  }

  // An endpoint at `at` in stream form, unless it is a known node's.
  void check(const std::uint8_t* at, bool known, bool validated) noexcept {
    if (!known) set.check(at, validated);
  }

  void add_edge(const Endpoint& parent, const Endpoint& child, std::uint32_t occurrence);
};

namespace {

// An endpoint's source in stream-writing form, and whether it is a node's own.
struct EndpointSource {
  SourceText text;
  bool known;
  bool validated;
};

}  // namespace

void CompositionHasher::State::add_edge(const Endpoint& parent, const Endpoint& child, std::uint32_t occurrence) {
  auto source_of = [](const Endpoint& endpoint) -> EndpointSource {
    if (endpoint.node_ == nullptr) return {endpoint.source_, false, endpoint.validated_};
    return {detail::stream::source_at(endpoint.node_), true, true};
  };
  const EndpointSource p = source_of(parent), c = source_of(child);
  const std::size_t size = detail::stream::edge_size(p.text.text.size(), c.text.text.size());
  ++edge_count;
  if (staging.staged() + size > step()) flush_edges();
  std::vector<std::uint8_t> large;  // an edge larger than the staging, on its own
  std::uint8_t* const out = size > step() ? (large.resize(size), large.data()) : staging.room();
  detail::stream::put_edge(out, p.text, c.text, occurrence);
  check(out, p.known, p.validated);
  check(out + detail::stream::source_size(p.text.text.size()), c.known, c.validated);
  if (large.empty()) return staging.added(size);
  set.drain();  // before `large` goes
  if (recounting) {
    kept.insert(kept.end(), large.begin(), large.end());
  } else {
    hash.wait_for(hash.feed(large));
  }
}

std::string_view message(CompositionError error) noexcept {
  switch (error) {
    case CompositionError::UnsupportedSchema:
      return "unsupported resolved manifest schema; provide ManifestSchemaVersion::V1";
    case CompositionError::DuplicateSource:
      return "resolved manifest contains a duplicate source; deduplicate nodes before hashing";
    case CompositionError::UnknownEdgeEndpoint:
      return "resolved manifest edge has an unknown endpoint; include every endpoint in nodes";
  }
  return "unknown CompositionError";
}

std::ostream& operator<<(std::ostream& out, CompositionError error) { return out << message(error); }

const SourceSetKey& SourceSetKey::process() {
  static const SourceSetKey key = [] {
    std::random_device entropy;
    auto draw = [&entropy] { return static_cast<std::uint64_t>(entropy()) << 32 | entropy(); };
    const std::uint64_t k0 = draw();
    return SourceSetKey{k0, draw()};
  }();
  return key;
}

CompositionHasher::CompositionHasher(std::uint64_t nodes, const SourceSetKey& key) {
  thread_local State own;
  std::unique_ptr<State> fresh;
  if (own.busy) fresh = std::make_unique<State>();
  State& state = fresh ? *fresh : own;
  state.begin(nodes, key);
  state.busy = true;
  state.own = !fresh;
  state_ = fresh ? fresh.release() : &own;
}

CompositionHasher::~CompositionHasher() {
  state_->hash.stop_parallel();
  if (!state_->own) {
    delete state_;
    return;
  }
  state_->trim();
  state_->busy = false;
}

NodeHandle CompositionHasher::add_node(SourceText source, const TemplateSha256& sha256) {
  State& s = *state_;
  std::uint8_t* const entry = s.nodes.append(detail::stream::node_size(source.text.size()),
                                             [&](std::span<const std::uint8_t> bytes) { (void)s.hash.feed(bytes); });
  detail::stream::put_node(entry, source, sha256.bytes());
  ++s.node_count;
  s.set.insert(entry);
  if (s.nodes.unhashed_size() >= (s.hash.parallel() ? kParallelStep : kNodeStep)) {
    (void)s.hash.feed(s.nodes.take_unhashed());
  }
  return NodeHandle(entry);
}

void CompositionHasher::begin_edges(std::uint64_t edges) {
  State& s = *state_;
  s.set.end_nodes();
  (void)s.hash.feed(s.nodes.take_unhashed());
  if (s.node_count != s.announced_nodes) s.rehash_nodes();
  s.announced_edges = edges;
  s.hash.parallel_for(edges);
  s.hash.write_count(edges);
}

void CompositionHasher::add_edge(Endpoint parent, Endpoint child, std::uint32_t occurrence) {
  state_->add_edge(parent, child, occurrence);
}

void CompositionHasher::recount_edges() {
  State& s = *state_;
  s.set.drain();       // its checks read the staged edges
  s.rehash_nodes();    // and the thread, if any, is done with them
  s.staging.reset();
  s.kept.clear();
  s.edge_count = 0;
  s.recounting = true;
}

bool CompositionHasher::invalid_endpoint() noexcept {
  state_->set.drain();
  return state_->set.invalid();
}

std::expected<CompositionSha256, CompositionError> CompositionHasher::finish() {
  State& s = *state_;
  s.flush_edges();
  if (s.recounting) {
    s.hash.write_count(s.edge_count);
    (void)s.hash.feed(s.kept);
  } else if (s.edge_count != s.announced_edges) {
    throw std::logic_error("a number of edges other than announced, and not recounted");
  }
  const CompositionSha256 digest(s.hash.finish());
  if (s.set.duplicate()) return std::unexpected(CompositionError::DuplicateSource);
  if (s.set.unknown()) return std::unexpected(CompositionError::UnknownEdgeEndpoint);
  return digest;
}

std::expected<CompositionSha256, CompositionError> calculate_composition_hash(
    const ResolvedTemplateManifest& manifest, const SourceSetKey& key) {
  if (manifest.schema != ManifestSchemaVersion::V1) {
    return std::unexpected(CompositionError::UnsupportedSchema);
  }
  auto text = [](const CanonicalSource& source) { return SourceText{source.member(), source.text()}; };
  CompositionHasher hasher(manifest.nodes.size(), key);
  for (const auto& node : manifest.nodes) hasher.add_node(text(node.source), node.sha256);
  hasher.begin_edges(manifest.edges.size());
  for (const auto& edge : manifest.edges) hasher.add_edge(text(edge.parent), text(edge.child), edge.occurrence);
  return hasher.finish();
}

std::expected<CompositionSha256, CompositionError> calculate_composition_hash(
    const ResolvedTemplateManifest& manifest) {
  return calculate_composition_hash(manifest, SourceSetKey::process());
}

}  // namespace vela_sha
