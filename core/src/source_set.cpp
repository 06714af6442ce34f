#include "source_set.hpp"

#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "composition_stream.hpp"

namespace vela_sha::detail {
namespace {

// A set of up to 2 MiB stays for the next manifest (about 87,000 nodes).
constexpr std::size_t kKeptBytes = std::size_t{2} << 20;

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

// Whether two sources in stream form are the same: kind, length and text.
bool same_source(const std::uint8_t* a, const std::uint8_t* b) noexcept {
  const std::uint64_t size = stream::get_u64(a + stream::kKindBytes);
  return a[0] == b[0] && size == stream::get_u64(b + stream::kKindBytes) &&
         same_bytes(a + stream::kSourceBytes, b + stream::kSourceBytes, size);
}

// The first slot from `start` on that has `hash` and `fits`; none if a free
// slot comes first.
template <class Slot, class Fits>
std::optional<std::size_t> find(const Slot* table, std::size_t mask, std::size_t start, std::uint64_t hash,
                                Fits&& fits) noexcept {
  for (std::size_t i = start;; i = (i + 1) & mask) {
    if (table[i].entry == nullptr) return std::nullopt;
    if (table[i].hash == hash && fits(table[i])) return i;
  }
}

}  // namespace

void SourceSet::reset(std::uint64_t nodes, const SourceSetKey& key) {
  key_ = {key.k0, key.k1};
  duplicate_ = unknown_ = invalid_ = false;
  inserts_.clear();
  probes_.clear();
  compares_.clear();
  unhashed_count_ = 0;
  // Never more than two-thirds full, so a probe usually ends at its first slot.
  const std::size_t slots = std::bit_ceil(nodes + nodes / 2 + 1);
  if (slots * sizeof(Slot) <= memory_.size()) {
    std::memset(memory_.data(), 0, slots * sizeof(Slot));
  } else {
    memory_ = HugeBuffer();
    memory_ = HugeBuffer(slots * sizeof(Slot));
  }
  table_ = reinterpret_cast<Slot*>(memory_.data());
  mask_ = slots - 1;
}

void SourceSet::trim() noexcept {
  if (memory_.size() > kKeptBytes) memory_ = HugeBuffer();
}

std::uint64_t SourceSet::keyed_hash(const SipKey& key, const std::uint8_t* at) noexcept {
  // A different key per kind keeps equal texts of different kinds apart.
  return siphash<1, 3>({key.k0, key.k1 ^ at[0]}, stream::source_at(at).text);
}

std::uint64_t SourceSet::hash_of(const std::uint8_t* at) const noexcept { return keyed_hash(key_, at); }

void SourceSet::insert(const std::uint8_t* entry) noexcept {
  if (duplicate_) return;  // the answer is settled
  const std::uint64_t hash = hash_of(entry);
  __builtin_prefetch(&table_[hash & mask_]);
  if (inserts_.full()) place(inserts_.pop());
  inserts_.push({hash, entry, 0, true});
}

void SourceSet::end_nodes() noexcept {
  while (inserts_.size != 0) place(inserts_.pop());
}

void SourceSet::place(const Work& node) noexcept {
  for (std::size_t i = node.hash & mask_;; i = (i + 1) & mask_) {
    Slot& slot = table_[i];
    if (slot.entry == nullptr) {
      slot = {node.hash, node.at};
      return;
    }
    if (slot.hash == node.hash && same_source(slot.entry, node.at)) {
      duplicate_ = true;
      return;
    }
  }
}

void SourceSet::check(const std::uint8_t* at, bool validated) noexcept {
  const Work endpoint{0, at, 0, validated};
  if (duplicate_ || unknown_) return settle(endpoint);
  unhashed_[unhashed_count_++] = endpoint;
  if (unhashed_count_ == kLanes) hash_lanes();
}

// Sources are hashed four at a time: SipHash is a chain of dependent steps,
// and four chains side by side cost little more than one.
void SourceSet::hash_lanes() noexcept {
  if (unhashed_count_ == kLanes) {
    SipKey keys[kLanes];
    const char* texts[kLanes];
    std::size_t sizes[kLanes];
    std::uint64_t hashes[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
      const SourceText source = stream::source_at(unhashed_[l].at);
      keys[l] = {key_.k0, key_.k1 ^ unhashed_[l].at[0]};
      texts[l] = source.text.data();
      sizes[l] = source.text.size();
    }
    siphash13_x4(keys, texts, sizes, hashes);
    for (std::size_t l = 0; l < kLanes; ++l) unhashed_[l].hash = hashes[l];
  } else {
    for (std::size_t l = 0; l < unhashed_count_; ++l) unhashed_[l].hash = hash_of(unhashed_[l].at);
  }
  for (std::size_t l = 0; l < unhashed_count_; ++l) {
    Work endpoint = unhashed_[l];
    endpoint.slot = endpoint.hash & mask_;
    __builtin_prefetch(&table_[endpoint.slot]);
    if (probes_.full()) probe(probes_.pop());
    probes_.push(endpoint);
  }
  unhashed_count_ = 0;
}

void SourceSet::drain() noexcept {
  hash_lanes();
  while (probes_.size != 0) probe(probes_.pop());
  while (compares_.size != 0) compare(compares_.pop());
}

// An endpoint whose slot has arrived: find the slot with its hash, and send
// for that node's entry. Once an endpoint is unknown, the rest are only
// validated.
void SourceSet::probe(Work endpoint) noexcept {
  if (unknown_) return settle(endpoint);
  const auto found = find(table_, mask_, endpoint.slot, endpoint.hash, [](const Slot&) { return true; });
  if (!found) return unmatched(endpoint);
  const Slot& slot = table_[*found];
  // The entry's head and, if it holds this text, the text's last byte.
  __builtin_prefetch(slot.entry);
  __builtin_prefetch(slot.entry + stream::kLengthBytes + stream::get_u64(endpoint.at + stream::kKindBytes));
  endpoint.slot = *found;
  if (compares_.full()) compare(compares_.pop());
  compares_.push(endpoint);
}

// An endpoint whose candidate entry has arrived.
void SourceSet::compare(const Work& endpoint) noexcept {
  if (unknown_) return settle(endpoint);
  const auto found = find(table_, mask_, endpoint.slot, endpoint.hash,
                          [&](const Slot& slot) { return same_source(slot.entry, endpoint.at); });
  if (!found) unmatched(endpoint);
}

void SourceSet::unmatched(const Work& endpoint) noexcept {
  unknown_ = true;
  settle(endpoint);
}

// A text nobody has validated yet, once it is known to be no node's (or
// that no longer matters): validated now.
void SourceSet::settle(const Work& endpoint) noexcept {
  if (!endpoint.validated && !invalid_ && !validate_representation(stream::source_at(endpoint.at).text)) {
    invalid_ = true;
  }
}

}  // namespace vela_sha::detail
