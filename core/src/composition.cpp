#include "vela_sha/composition.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "hashing_thread.hpp"
#include "siphash.hpp"
#include "huge_buffer.hpp"
#include "threads.hpp"

namespace vela_sha {
namespace {

// Feeds the stream to its sink through a fixed staging buffer, so that the
// many small fields cost a copy each rather than a call each.
class StreamWriter {
 public:
  explicit StreamWriter(ByteSink& sink) noexcept : sink_(sink) {}
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  void byte(std::uint8_t value) {
    reserve(1);
    buffer_[used_++] = value;
  }

  template <class Unsigned>
  void big_endian(Unsigned value) {
    reserve(sizeof(Unsigned));
    for (std::size_t i = sizeof(Unsigned); i-- > 0;) {
      buffer_[used_++] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }

  // A byte string behind its 8-byte length.
  void counted(std::span<const std::uint8_t> bytes) {
    big_endian<std::uint64_t>(bytes.size());
    if (bytes.size() > buffer_.size() - used_) {
      flush();
      if (bytes.size() > buffer_.size()) {
        sink_.write(bytes);
        return;
      }
    }
    std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
  }

  void counted(std::string_view text) {
    counted({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }

  void source(const CanonicalSource& source) {
    byte(source.code());
    counted(source.text());
  }

  void flush() {
    if (used_ != 0) sink_.write({buffer_.data(), used_});
    used_ = 0;
  }

 private:
  void reserve(std::size_t size) {
    if (buffer_.size() - used_ < size) flush();
  }

  ByteSink& sink_;
  std::size_t used_ = 0;
  std::array<std::uint8_t, 8192> buffer_;
};

// The stream's fixed head: the identifier behind its length, and the 0x01.
constexpr std::size_t kHeadSize = 8 + ManifestSchemaVersion::kV1Identifier.size() + 1;

inline void put_u64(std::uint8_t* out, std::uint64_t value) noexcept {
  if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
  std::memcpy(out, &value, 8);
}

inline std::uint64_t get_u64(const std::uint8_t* in) noexcept {
  std::uint64_t value;
  std::memcpy(&value, in, 8);
  if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
  return value;
}

inline void put_u32(std::uint8_t* out, std::uint32_t value) noexcept {
  if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
  std::memcpy(out, &value, 4);
}

// Copies a text; most are short paths, which go in a few overlapping moves
// rather than a call.
inline void copy_text(std::uint8_t* out, const char* in, std::size_t size) noexcept {
  auto move = [&](std::size_t at, auto word) {
    std::memcpy(&word, in + at, sizeof word);
    std::memcpy(out + at, &word, sizeof word);
  };
  struct Block {
    std::uint64_t low, high;
  };
  if (size >= 16 && size <= 64) {
    move(0, Block{});
    if (size > 32) {
      move(16, Block{});
      move(size - 32, Block{});
    }
    move(size - 16, Block{});
  } else if (size >= 8 && size < 16) {
    move(0, std::uint64_t{});
    move(size - 8, std::uint64_t{});
  } else if (size != 0) {
    std::memcpy(out, in, size);
  }
}

// A source in stream form: kind byte, 8-byte length, text. Returns the end.
inline std::uint8_t* put_source(std::uint8_t* out, SourceText source) noexcept {
  out[0] = static_cast<std::uint8_t>(source.member);
  put_u64(out + 1, source.text.size());
  copy_text(out + 9, source.text.data(), source.text.size());
  return out + 9 + source.text.size();
}

constexpr std::size_t node_entry_size(const SourceText& source) noexcept { return 49 + source.text.size(); }

constexpr std::size_t edge_entry_size(const SourceText& parent, const SourceText& child) noexcept {
  return 22 + parent.text.size() + child.text.size();
}

// Equal hashes almost always mean equal texts, which are compared in full;
// words at a time, since most paths are short and a call costs more.
bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) noexcept {
  if (size < 8) return size == 0 || std::memcmp(a, b, size) == 0;
#if defined(__SSE2__)
  if (size >= 16) {
    auto differ = [&](std::size_t at) {
      return _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + at)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at)));
    };
    __m128i any = differ(size - 16);  // the last block, overlapping if need be
    for (std::size_t at = 0; at + 16 < size; at += 16) any = _mm_or_si128(any, differ(at));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF;
  }
#endif
  std::uint64_t x, y, differ = 0;
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    differ |= x ^ y;
  }
  std::memcpy(&x, a + size - 8, 8);  // the last word, overlapping if need be
  std::memcpy(&y, b + size - 8, 8);
  return (differ | (x ^ y)) == 0;
}

// Whether the node entry at `entry` holds the source `text` of `member`.
bool holds(const std::uint8_t* entry, std::uint8_t member, const std::uint8_t* text, std::size_t size) noexcept {
  return entry[0] == member && get_u64(entry + 1) == size && same_bytes(entry + 9, text, size);
}

// A small first-in first-out queue: the work that waits for a prefetch.
template <class T, std::size_t N>
class Fifo {
 public:
  [[nodiscard]] bool full() const noexcept { return size_ == N; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  void push(const T& item) noexcept {
    items_[(head_ + size_) % N] = item;
    ++size_;
  }
  T pop() noexcept {
    const T item = items_[head_];
    head_ = (head_ + 1) % N;
    --size_;
    return item;
  }
  void clear() noexcept { head_ = size_ = 0; }

 private:
  std::array<T, N> items_;
  std::size_t head_ = 0, size_ = 0;
};

// How far the set's work trails the records: far enough for a slot, and then
// a node entry, to arrive from memory before they are read.
constexpr std::size_t kLag = 16;
// Sources hashed side by side.
constexpr std::size_t kHashLanes = 4;

// Edge entries are staged and hashed 64 KiB at a time; 256 KiB at a time when
// a thread of their own hashes them (as each handing over costs a wake-up),
// in one of two halves while that thread has the other.
constexpr std::size_t kStagingBytes = 64 * 1024;
constexpr std::size_t kThreadedPieceBytes = 256 * 1024;
// Streams of at least this many records (nodes, or edges) are hashed on a
// thread of their own: from here on the time saved outweighs starting it.
constexpr std::uint64_t kThreadedRecords = 2048;
// Node entries are hashed every 16 KiB, while they are still in cache (or
// every 256 KiB on a thread of their own).
constexpr std::size_t kNodeHashStep = 16 * 1024;
// What a thread keeps for its next hasher: 2 MiB of node chunks and a set of
// up to 2 MiB (manifests of up to about 87,000 nodes fit in both). Past that,
// chunks are huge pages.
constexpr std::size_t kChunkBytes = 256 * 1024;
constexpr std::size_t kKeptChunks = 8;
constexpr std::size_t kKeptTableBytes = std::size_t{2} << 20;

struct Chunk {
  HugeBuffer bytes;
  std::size_t used = 0;
  [[nodiscard]] std::uint8_t* data() const noexcept { return bytes.data(); }
  [[nodiscard]] std::size_t capacity() const noexcept { return bytes.size(); }
};

// A set slot: a node's keyed hash and its entry in the node chunks (whose
// first bytes are the source's kind, length and text). Never iterated.
struct Slot {
  std::uint64_t hash;
  const std::uint8_t* entry;  // nullptr: free
};

}  // namespace

// An endpoint's source, and whether it is a node's own (no check needed).
struct CompositionHasher::Source {
  SourceText text;
  bool known;
  bool validated;
};

// Everything a hasher works in. One per thread is kept between hashers (its
// memory trimmed to a few MiB); a hasher made while the thread's own is in
// use (one nested in another) gets one of its own.
struct CompositionHasher::State {
  std::unique_ptr<std::uint8_t[]> staging_memory =
      std::make_unique_for_overwrite<std::uint8_t[]>(2 * kThreadedPieceBytes);
  std::uint8_t* staging = staging_memory.get();  // the half being filled
  std::vector<Chunk> chunks;  // node entries; [0, chunk] in use, the rest spare
  HugeBuffer table_memory;
  Slot* table = nullptr;
  bool busy = false, heap = false;

  std::optional<Sha256> sha;
  // What the stream's head and its edge count are written into: they are
  // hashed from here, perhaps after the call that wrote them has returned.
  std::array<std::uint8_t, kHeadSize + 8> head_bytes;
  std::array<std::uint8_t, 8> count_bytes;
  // The piece each half of the staging memory was last handed over as.
  std::array<std::optional<std::uint32_t>, 2> staging_pieces;
  detail::SipKey key{};
  std::uint64_t announced_nodes = 0, nodes = 0, announced_edges = 0, edges = 0;
  std::size_t chunk = 0, hashed = 0, mask = 0, staged = 0;
  bool keeping = false, duplicate = false, unknown = false, invalid = false;
  std::vector<std::uint8_t> kept;

  struct Insert {
    std::uint64_t hash;
    const std::uint8_t* entry;
  };
  struct Probe {
    std::uint64_t hash;
    const std::uint8_t* text;
    std::size_t size, slot;
    std::uint8_t member;
    bool validated;
  };
  Fifo<Insert, kLag> inserts;
  Fifo<Probe, kLag> probes, compares;
  std::array<Probe, kHashLanes> unhashed;
  std::size_t unhashed_count = 0;
  // Last, so that it is gone before anything it may still be hashing.
  std::optional<detail::HashingThread> hashing;

  void begin(std::uint64_t node_count, const SourceSetKey& set_key) {
    key = {set_key.k0, set_key.k1};
    announced_nodes = node_count;
    nodes = edges = announced_edges = 0;
    chunk = hashed = staged = 0;
    keeping = duplicate = unknown = invalid = false;
    inserts.clear();
    probes.clear();
    compares.clear();
    unhashed_count = 0;
    if (chunks.empty()) chunks.push_back({HugeBuffer(kChunkBytes)});
    chunks[0].used = 0;
    // Never more than two-thirds full, so a probe usually ends at its first slot.
    const std::size_t slots = std::bit_ceil(node_count + node_count / 2 + 1);
    if (slots * sizeof(Slot) <= table_memory.size()) {
      std::memset(table_memory.data(), 0, slots * sizeof(Slot));
    } else {
      table_memory = HugeBuffer();
      table_memory = HugeBuffer(slots * sizeof(Slot));
    }
    table = reinterpret_cast<Slot*>(table_memory.data());
    mask = slots - 1;
    staging = staging_memory.get();
    staging_pieces = {};
    sha.emplace();
    if (node_count >= kThreadedRecords) start_hashing();
    write_head(node_count);
  }

  void start_hashing() {
    if (hashing || !detail::helper_may_start()) return;
    hashing.emplace(*sha);
    if (!hashing->running()) hashing.reset();  // no thread to spare: this one hashes
  }

  // Hashes what was handed over, and the stream is this thread's to hash again.
  void stop_hashing() noexcept {
    hashing.reset();
    staging_pieces = {};
  }

  // Bytes that stay as they are until the stream is finished (or the bytes
  // are next written, which waits for them first).
  std::optional<std::uint32_t> feed(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.empty()) return std::nullopt;
    if (hashing) return hashing->update(bytes);
    sha->update(bytes);
    return std::nullopt;
  }

  // Gives back all but a few MiB, ready for the thread's next hasher.
  void trim() noexcept {
    std::erase_if(chunks, [](const Chunk& c) { return c.capacity() != kChunkBytes; });
    if (chunks.size() > kKeptChunks) chunks.resize(kKeptChunks);
    if (table_memory.size() > kKeptTableBytes) table_memory = HugeBuffer();
    std::vector<std::uint8_t>().swap(kept);
  }

  // Only while no piece of an earlier head is unhashed: at the start, or
  // once the hashing thread is gone.
  void write_head(std::uint64_t node_count) noexcept {
    put_u64(head_bytes.data(), ManifestSchemaVersion::kV1Identifier.size());
    std::memcpy(head_bytes.data() + 8, ManifestSchemaVersion::kV1Identifier.data(),
                ManifestSchemaVersion::kV1Identifier.size());
    head_bytes[kHeadSize - 1] = 0x01;
    put_u64(head_bytes.data() + kHeadSize, node_count);
    feed(head_bytes);
  }

  // The same.
  void write_count(std::uint64_t count) noexcept {
    put_u64(count_bytes.data(), count);
    feed(count_bytes);
  }

  [[nodiscard]] std::uint64_t source_hash(std::uint8_t member, const std::uint8_t* text,
                                          std::size_t size) const noexcept {
    // A different key per member keeps equal texts of different members apart.
    const detail::SipKey member_key{key.k0, key.k1 ^ member};
    return detail::siphash<1, 3>(member_key, {reinterpret_cast<const char*>(text), size});
  }

  // Node entries go to SHA-256 a few KiB at a time.
  void hash_nodes() noexcept {
    Chunk& c = chunks[chunk];
    feed({c.data() + hashed, c.used - hashed});
    hashed = c.used;
  }

  Chunk& chunk_with_room(std::size_t size) {
    if (chunks[chunk].capacity() - chunks[chunk].used >= size) return chunks[chunk];
    hash_nodes();
    const std::size_t next = chunk + 1;
    if (next == chunks.size() || chunks[next].capacity() < size) {
      const std::size_t standard = next < kKeptChunks ? kChunkBytes : HugeBuffer::kHugePage;
      chunks.insert(chunks.begin() + static_cast<std::ptrdiff_t>(next),
                    {HugeBuffer(std::max(standard, size))});
    }
    chunk = next;
    chunks[chunk].used = 0;
    hashed = 0;
    return chunks[chunk];
  }

  void insert(const Insert& node) noexcept {
    for (std::size_t i = node.hash & mask;; i = (i + 1) & mask) {
      Slot& slot = table[i];
      if (slot.entry == nullptr) {
        slot = {node.hash, node.entry};
        return;
      }
      if (slot.hash == node.hash && holds(slot.entry, node.entry[0], node.entry + 9, get_u64(node.entry + 1))) {
        duplicate = true;
        return;
      }
    }
  }

  // The first slot from `start` on that has `hash` and `fits`; none if a
  // free slot comes first.
  template <class Fits>
  std::optional<std::size_t> find(std::size_t start, std::uint64_t hash, Fits&& fits) const noexcept {
    for (std::size_t i = start;; i = (i + 1) & mask) {
      const Slot& slot = table[i];
      if (slot.entry == nullptr) return std::nullopt;
      if (slot.hash == hash && fits(slot)) return i;
    }
  }

  // A text nobody has validated yet, once it is known to be no node's (or
  // that no longer matters): validated now.
  void settle(bool validated, const std::uint8_t* text, std::size_t size) noexcept {
    if (!validated && !invalid && !validate_representation({reinterpret_cast<const char*>(text), size})) {
      invalid = true;
    }
  }

  void unmatched(const Probe& endpoint) noexcept {
    unknown = true;
    settle(endpoint.validated, endpoint.text, endpoint.size);
  }

  // An endpoint whose slot has arrived: find the slot with its hash, and send
  // for that node's entry. Once an endpoint is unknown, the rest are only
  // validated.
  void probe(Probe endpoint) noexcept {
    if (unknown) return settle(endpoint.validated, endpoint.text, endpoint.size);
    const auto found = find(endpoint.slot, endpoint.hash, [](const Slot&) { return true; });
    if (!found) return unmatched(endpoint);
    const Slot& slot = table[*found];
    // The entry's head and, if it holds this text, the text's last byte.
    __builtin_prefetch(slot.entry);
    __builtin_prefetch(slot.entry + 8 + endpoint.size);
    endpoint.slot = *found;
    if (compares.full()) compare(compares.pop());
    compares.push(endpoint);
  }

  // An endpoint whose candidate entry has arrived.
  void compare(const Probe& endpoint) noexcept {
    if (unknown) return settle(endpoint.validated, endpoint.text, endpoint.size);
    const auto found = find(endpoint.slot, endpoint.hash, [&](const Slot& slot) {
      return holds(slot.entry, endpoint.member, endpoint.text, endpoint.size);
    });
    if (!found) unmatched(endpoint);
  }

  // Sources are hashed four at a time: SipHash is a chain of dependent
  // steps, and four chains side by side cost little more than one.
  template <class Item>
  void hash_four(std::array<Item, kHashLanes>& items) const noexcept {
    detail::SipKey keys[kHashLanes];
    const char* texts[kHashLanes];
    std::size_t sizes[kHashLanes];
    std::uint64_t hashes[kHashLanes];
    for (std::size_t l = 0; l < kHashLanes; ++l) {
      keys[l] = {key.k0, key.k1 ^ items[l].member};
      texts[l] = reinterpret_cast<const char*>(items[l].text);
      sizes[l] = items[l].size;
    }
    detail::siphash13_x4(keys, texts, sizes, hashes);
    for (std::size_t l = 0; l < kHashLanes; ++l) items[l].hash = hashes[l];
  }

  template <class Item>
  void hash_pending(std::array<Item, kHashLanes>& items, std::size_t count) const noexcept {
    if (count == kHashLanes) return hash_four(items);
    for (std::size_t l = 0; l < count; ++l) items[l].hash = source_hash(items[l].member, items[l].text, items[l].size);
  }

  void check_endpoint(std::uint8_t member, const std::uint8_t* text, std::size_t size, bool validated) noexcept {
    unhashed[unhashed_count++] = {0, text, size, 0, member, validated};
    if (unhashed_count == kHashLanes) hash_endpoints();
  }

  void hash_endpoints() noexcept {
    hash_pending(unhashed, unhashed_count);
    for (std::size_t l = 0; l < unhashed_count; ++l) {
      Probe endpoint = unhashed[l];
      endpoint.slot = endpoint.hash & mask;
      __builtin_prefetch(&table[endpoint.slot]);
      if (probes.full()) probe(probes.pop());
      probes.push(endpoint);
    }
    unhashed_count = 0;
  }

  void drain_probes() noexcept {
    hash_endpoints();
    while (!probes.empty()) probe(probes.pop());
    while (!compares.empty()) compare(compares.pop());
  }

  // Hashes (and keeps, if asked) the staged edges; the checks that read them
  // finish first. Staging goes on in the other half, once that is hashed.
  void flush_edges() {
    drain_probes();
    const std::span<const std::uint8_t> bytes{staging, staged};
    if (keeping) kept.insert(kept.end(), bytes.begin(), bytes.end());
    const std::size_t half = staging == staging_memory.get() ? 0 : 1;
    staging_pieces[half] = feed(bytes);
    staging = staging_memory.get() + (1 - half) * kThreadedPieceBytes;
    if (const auto piece = staging_pieces[1 - half]; piece && hashing) hashing->wait_for(*piece);
    staged = 0;
  }

  static std::uint8_t* put_edge(std::uint8_t* out, SourceText parent, SourceText child,
                                std::uint32_t occurrence) noexcept {
    out = put_source(out, parent);
    out = put_source(out, child);
    put_u32(out, occurrence);
    return out + 4;
  }

  // Checks the endpoint staged at `at` (unless it is a known node); once the
  // set's answer is settled, only validates it if need be.
  void check_staged(const std::uint8_t* at, const Source& source) noexcept {
    if (source.known) return;
    if (duplicate || unknown) return settle(source.validated, at + 9, source.text.text.size());
    check_endpoint(at[0], at + 9, source.text.text.size(), source.validated);
  }

  // Stages an edge; the set checks its endpoints later, while the staging
  // buffer still holds them.
  void add_edge(const Source& parent, const Source& child, std::uint32_t occurrence) {
    const std::size_t size = edge_entry_size(parent.text, child.text);
    ++edges;
    if (const std::size_t limit = hashing ? kThreadedPieceBytes : kStagingBytes; staged + size > limit) {
      flush_edges();
      if (size > limit) return add_large_edge(parent, child, occurrence);
    }
    std::uint8_t* const out = staging + staged;
    put_edge(out, parent.text, child.text, occurrence);
    staged += size;
    check_staged(out, parent);
    check_staged(out + 9 + parent.text.text.size(), child);
  }

  // An edge larger than the staging buffer, hashed whole and checked at once.
  void add_large_edge(const Source& parent, const Source& child, std::uint32_t occurrence) {
    std::vector<std::uint8_t> bytes(edge_entry_size(parent.text, child.text));
    put_edge(bytes.data(), parent.text, child.text, occurrence);
    if (const auto piece = feed(bytes)) hashing->wait_for(*piece);  // before `bytes` goes
    if (keeping) kept.insert(kept.end(), bytes.begin(), bytes.end());
    check_staged(bytes.data(), parent);
    check_staged(bytes.data() + 9 + parent.text.text.size(), child);
    drain_probes();
  }

  // The whole stream again, for a node or edge count that came out lower
  // than announced.
  void rehash(bool with_edges) noexcept {
    stop_hashing();
    sha.emplace();
    write_head(nodes);
    for (std::size_t i = 0; i <= chunk; ++i) sha->update({chunks[i].data(), chunks[i].used});
    if (with_edges) {
      write_count(edges);
      sha->update(kept);
    }
  }
};

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

void write_composition_stream(const ResolvedTemplateManifest& manifest, ByteSink& sink) {
  StreamWriter out(sink);
  // The identifier comes from the constant, never from the caller's text, so
  // every accepted spelling of the schema gives the same head.
  out.counted(ManifestSchemaVersion::kV1Identifier);
  out.byte(0x01);
  out.big_endian<std::uint64_t>(manifest.nodes.size());
  for (const auto& node : manifest.nodes) {
    out.source(node.source);
    out.counted(node.sha256.bytes());
  }
  out.big_endian<std::uint64_t>(manifest.edges.size());
  for (const auto& edge : manifest.edges) {
    out.source(edge.parent);
    out.source(edge.child);
    out.big_endian<std::uint32_t>(edge.occurrence);
  }
  out.flush();
}

std::uint64_t composition_stream_length(const ResolvedTemplateManifest& manifest) noexcept {
  std::uint64_t length = 25 + ManifestSchemaVersion::kV1Identifier.size();
  for (const auto& node : manifest.nodes) length += 49 + node.source.text().size();
  for (const auto& edge : manifest.edges) {
    length += 22 + edge.parent.text().size() + edge.child.text().size();
  }
  return length;
}

CompositionHasher::CompositionHasher(std::uint64_t nodes, const SourceSetKey& key) {
  thread_local State own;
  std::unique_ptr<State> fresh;
  if (own.busy) {
    fresh = std::make_unique<State>();
    fresh->heap = true;
  }
  State& state = fresh ? *fresh : own;
  state.begin(nodes, key);
  state.busy = true;
  state_ = fresh ? fresh.release() : &own;
}

CompositionHasher::~CompositionHasher() {
  state_->stop_hashing();
  if (state_->heap) {
    delete state_;
    return;
  }
  state_->trim();
  state_->busy = false;
}

NodeHandle CompositionHasher::add_node(SourceText source, const TemplateSha256& sha256) {
  State& s = *state_;
  const std::size_t size = node_entry_size(source);
  Chunk& chunk = s.chunk_with_room(size);
  std::uint8_t* const entry = chunk.data() + chunk.used;
  std::uint8_t* const digest = put_source(entry, source);
  put_u64(digest, 32);
  std::memcpy(digest + 8, sha256.bytes().data(), 32);
  chunk.used += size;
  ++s.nodes;
  if (!s.duplicate) {
    const std::uint64_t hash = s.source_hash(entry[0], entry + 9, source.text.size());
    __builtin_prefetch(&s.table[hash & s.mask]);
    if (s.inserts.full()) s.insert(s.inserts.pop());
    s.inserts.push({hash, entry});
  }
  if (chunk.used - s.hashed >= (s.hashing ? kThreadedPieceBytes : kNodeHashStep)) s.hash_nodes();
  return NodeHandle(entry);
}

void CompositionHasher::begin_edges(std::uint64_t edges) {
  State& s = *state_;
  while (!s.inserts.empty()) s.insert(s.inserts.pop());
  s.hash_nodes();
  if (s.nodes != s.announced_nodes) s.rehash(false);
  s.announced_edges = edges;
  if (edges >= kThreadedRecords) s.start_hashing();
  s.write_count(edges);
}

CompositionHasher::Source CompositionHasher::source_of(const Endpoint& endpoint) noexcept {
  if (endpoint.node_ == nullptr) return {endpoint.source_, false, endpoint.validated_};
  const std::uint8_t* entry = endpoint.node_;
  const std::string_view text(reinterpret_cast<const char*>(entry + 9), get_u64(entry + 1));
  return {{static_cast<CanonicalSource::Member>(entry[0]), text}, true, true};
}

void CompositionHasher::add_edge(Endpoint parent, Endpoint child, std::uint32_t occurrence) {
  state_->add_edge(source_of(parent), source_of(child), occurrence);
}

void CompositionHasher::keep_edges() {
  State& s = *state_;
  s.flush_edges();
  s.keeping = true;
}

void CompositionHasher::replay_edge(Endpoint parent, Endpoint child, std::uint32_t occurrence) {
  State& s = *state_;
  const SourceText parent_text = source_of(parent).text, child_text = source_of(child).text;
  const std::size_t at = s.kept.size();
  s.kept.resize(at + edge_entry_size(parent_text, child_text));
  State::put_edge(s.kept.data() + at, parent_text, child_text, occurrence);
}

bool CompositionHasher::keeping_edges() const noexcept { return state_->keeping; }

bool CompositionHasher::invalid_endpoint() noexcept {
  state_->drain_probes();
  return state_->invalid;
}

std::expected<CompositionSha256, CompositionError> CompositionHasher::finish() {
  State& s = *state_;
  s.flush_edges();
  if (s.edges != s.announced_edges) {
    if (!s.keeping) throw std::logic_error("fewer edges than announced, and none kept");
    s.rehash(true);
  }
  s.stop_hashing();
  const CompositionSha256 digest(s.sha->finish());
  if (s.duplicate) return std::unexpected(CompositionError::DuplicateSource);
  if (s.unknown) return std::unexpected(CompositionError::UnknownEdgeEndpoint);
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
