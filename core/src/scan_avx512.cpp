// text::scan with AVX-512: one pass over the block, 64 bytes at a time, each
// vector validated, its line endings counted and normalised, and written out.
//
// Work on bit masks is kept to a minimum: on some processors (Zen 4) every
// instruction that makes, moves or tests a mask register costs a cycle on
// the one unit that does them, which bounds the loop long before the vector
// units do. So rules are checked, and LFs counted, in the vector registers,
// and one test per vector (per two for plain ASCII) says whether anything
// needs a closer look.
#if defined(__x86_64__)
#include <immintrin.h>

#include <bit>

#include "scan_kernels.hpp"

#define VELA_SHA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

namespace vela_sha::text {
namespace {

// A 16-entry table in each 128-bit lane, as the byte shuffle takes it.
constexpr std::array<std::uint8_t, 64> four_times(const std::array<std::uint8_t, 16>& entries) noexcept {
  std::array<std::uint8_t, 64> lanes{};
  for (std::size_t k = 0; k < 64; ++k) lanes[k] = entries[k % 16];
  return lanes;
}

// Lane k holds k + `plus`: picks the byte `64 - plus` before each lane from
// two vectors in a row.
template <std::uint8_t kPlus>
constexpr std::array<std::uint8_t, 64> kCount = [] {
  std::array<std::uint8_t, 64> lanes{};
  for (std::size_t k = 0; k < 64; ++k) lanes[k] = static_cast<std::uint8_t>(k + kPlus);
  return lanes;
}();

// For each lane d (and 64 for none), the lanes of a vector with the byte at
// d taken out: lane k picks k, or k + 1 from d on.
constexpr std::array<std::array<std::uint8_t, 64>, 65> kDropOne = [] {
  std::array<std::array<std::uint8_t, 64>, 65> picks{};
  for (std::size_t d = 0; d <= 64; ++d) {
    for (std::size_t k = 0; k < 64; ++k) picks[d][k] = static_cast<std::uint8_t>((k + (k >= d)) % 64);
  }
  return picks;
}();

// The immediate of a three-input bitwise function for vpternlog: the function
// applied to the three inputs' own truth-table columns.
template <class Function>
constexpr int truth_table(Function f) noexcept {
  return f(0xF0, 0xCC, 0xAA) & 0xFF;
}
constexpr int kAnd3 = truth_table([](int a, int b, int c) { return a & b & c; });
constexpr int kOrOfAnd = truth_table([](int a, int b, int c) { return a | (b & c); });
constexpr int kAndXor = truth_table([](int a, int b, int c) { return (a & c) ^ b; });
constexpr int kOrAnd = truth_table([](int a, int b, int c) { return (a | b) & c; });
constexpr int kXor = truth_table([](int a, int b, int) { return a ^ b; });
constexpr int kOrOfAndNot = truth_table([](int a, int b, int c) { return a | (c & ~b); });
constexpr int kOrNotAnd = truth_table([](int a, int b, int c) { return a | ~(b & c); });

VELA_SHA_AVX512 inline __m512i load(const std::array<std::uint8_t, 64>& lanes) noexcept {
  return _mm512_loadu_si512(lanes.data());
}

// Puts `v` out of the compiler's reach, so that it stays in its register
// rather than being made anew in every round of a loop (GCC's preference).
VELA_SHA_AVX512 inline __m512i pinned(__m512i v) noexcept {
  asm("" : "+v"(v));
  return v;
}

// The vectors every round works with, made once per block.
struct Constants {
  __m512i before_high, before_low, own_high;  // the UTF-8 classes (utf8_classes)
  __m512i one_back, two_back, three_back;     // pick the bytes 1, 2 and 3 before each lane
  __m512i nibble, e0_less, f0_less, top, below_top, one, zero, cr, lf;

  VELA_SHA_AVX512 Constants() noexcept
      : before_high(pinned(load(four_times(utf8_classes::kBeforeHigh)))),
        before_low(pinned(load(four_times(utf8_classes::kBeforeLow)))),
        own_high(pinned(load(four_times(utf8_classes::kOwnHigh)))),
        one_back(pinned(load(kCount<63>))),
        two_back(pinned(load(kCount<62>))),
        three_back(pinned(load(kCount<61>))),
        nibble(pinned(_mm512_set1_epi8(0x0F))),
        e0_less(pinned(_mm512_set1_epi8(0xE0 - 0x80))),
        f0_less(pinned(_mm512_set1_epi8(0xF0 - 0x80))),
        top(pinned(_mm512_set1_epi8(static_cast<char>(0x80)))),
        below_top(pinned(_mm512_set1_epi8(0x7F))),
        one(pinned(_mm512_set1_epi8(1))),
        zero(pinned(_mm512_setzero_si512())),
        cr(pinned(_mm512_set1_epi8('\r'))),
        lf(pinned(_mm512_set1_epi8('\n'))) {}

  [[nodiscard]] VELA_SHA_AVX512 __m512i high_nibbles(__m512i v) const noexcept {
    return _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble);
  }

  // Whether each byte of `v` differs from the byte `c` repeats, in bit 7: the
  // byte's distance from it, plus 0x7F, saturates past 0x7F unless it is 0.
  [[nodiscard]] VELA_SHA_AVX512 __m512i differs(__m512i v, __m512i c) const noexcept {
    return _mm512_adds_epu8(_mm512_xor_si512(v, c), below_top);
  }

  // The UTF-8 rules (see utf8_classes), broken where a lane is not zero:
  // each byte classified with the byte before it, and where it must be the
  // third or fourth of a sequence told by the bytes two and three back. A
  // text of sequences no longer than `longest` (2 to 4) needs to look back
  // less far; a longer lead byte in `v` is then marked too, for a look with
  // a longer `longest`.
  [[nodiscard]] VELA_SHA_AVX512 __m512i broken(__m512i v, __m512i previous, __m512i before,
                                               int longest) const noexcept {
    const __m512i classes = _mm512_ternarylogic_epi32(
        _mm512_shuffle_epi8(before_high, high_nibbles(before)),
        _mm512_shuffle_epi8(before_low, _mm512_and_si512(before, nibble)),
        _mm512_shuffle_epi8(own_high, high_nibbles(v)), kAnd3);
    // From 0x80 up where a byte is >= E0, or >= F0.
    const __m512i three = _mm512_subs_epu8(v, e0_less), four = _mm512_subs_epu8(v, f0_less);
    if (longest == 2) return _mm512_ternarylogic_epi32(classes, three, top, kOrOfAnd);
    // The same two and three back: bytes that must be a third or fourth.
    const __m512i third = _mm512_permutex2var_epi8(_mm512_subs_epu8(previous, e0_less), two_back, three);
    if (longest == 3) {
      return _mm512_ternarylogic_epi32(_mm512_ternarylogic_epi32(third, classes, top, kAndXor), four, top,
                                       kOrOfAnd);
    }
    const __m512i fourth = _mm512_permutex2var_epi8(_mm512_subs_epu8(previous, f0_less), three_back, four);
    return _mm512_ternarylogic_epi32(_mm512_ternarylogic_epi32(third, fourth, top, kOrAnd), classes, classes, kXor);
  }
};

// The last three bytes of `v`.
VELA_SHA_AVX512 inline Tail tail_of(__m512i v) noexcept {
  alignas(64) std::uint8_t lanes[64];
  _mm512_store_si512(lanes, v);
  return Tail{static_cast<std::uint32_t>(lanes[61]) << 8 | static_cast<std::uint32_t>(lanes[62]) << 16 |
              static_cast<std::uint32_t>(lanes[63]) << 24};
}

// LFs counted in the vector registers: each vector's bytes that are not LF
// (lanes past its end are not), summed eight at a time.
struct LfCount {
  __m512i not_lf;
  std::uint64_t bytes = 0;

  VELA_SHA_AVX512 void add(const Constants& k, __m512i v) noexcept {
    not_lf = _mm512_add_epi64(not_lf, _mm512_sad_epu8(_mm512_min_epu8(_mm512_xor_si512(v, k.lf), k.one), k.zero));
    bytes += 64;
  }
  [[nodiscard]] VELA_SHA_AVX512 std::uint64_t lfs() const noexcept {
    alignas(64) std::uint64_t sums[8];
    _mm512_store_si512(sums, not_lf);
    std::uint64_t not_lfs = 0;
    for (const std::uint64_t sum : sums) not_lfs += sum;
    return bytes - not_lfs;
  }
};

// What each vector needs of the ones before it in the block. Kept apart from
// the constants and small, so that the compiler holds it in registers.
struct Carry {
  __m512i previous;     // the vector before (only its last three lanes count)
  std::uint64_t high;   // its lanes from 0x80 up
  int longest;          // the longest sequence the block has needed, 2 to 4
  bool after_cr;        // its last byte is a CR
  bool normalising;     // a CR was seen in the block: every vector is normalised from here on
};

// Where the normalised text goes, and the line endings counted.
struct Written {
  std::uint8_t* out;  // once it is written
  std::size_t kept, bytes;
  std::uint64_t crs;  // and LFs, of the vectors normalised

  [[nodiscard]] bool writing() const noexcept { return out != nullptr; }

  // The first `size` bytes of `v` after what is written; with `full`, the
  // whole vector (past what it keeps, never past the bytes read).
  VELA_SHA_AVX512 void put(__m512i v, bool full, std::size_t size) noexcept {
    if (full) {
      _mm512_storeu_si512(out + bytes, v);
    } else {
      _mm512_mask_storeu_epi8(out + bytes, _bzhi_u64(~0ULL, static_cast<unsigned>(size)), v);
    }
    bytes += size;
  }
};

// Every CR of `v` (read at `at`) becomes LF and the LF of each CR LF goes:
// the rest is packed to the front of the vector and written.
template <Output kOutput, bool kCountLines>
VELA_SHA_AVX512 inline void normalise(const Constants& k, const Block& block, Written& w, __m512i v, __m512i before,
                                      std::size_t at, std::uint64_t lanes) noexcept {
  if (!w.writing()) {
    w.kept = at;
    w.out = kOutput == Output::InPlace ? block.out + at : block.out;
  }
  const __mmask64 cr = _mm512_cmpeq_epi8_mask(v, k.cr);
  const std::uint64_t drop = _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(before, k.cr), v, k.lf);
  if constexpr (kCountLines) {
    w.crs += static_cast<std::uint64_t>(std::popcount(_cvtmask64_u64(cr)) +
                                        std::popcount(_cvtmask64_u64(_mm512_cmpeq_epi8_mask(v, k.lf))));
  }
  const __m512i fixed = _mm512_mask_mov_epi8(v, cr, k.lf);
  const auto bytes = static_cast<std::size_t>(std::popcount(lanes & ~drop));
  if ((drop & (drop - 1)) == 0) {
    // At most one LF to drop (the usual case, taken without a branch):
    // every lane from it on takes the byte one further.
    const __m512i picks = _mm512_loadu_si512(kDropOne[std::countr_zero(drop)].data());
    w.put(_mm512_mask_permutexvar_epi8(fixed, ~0ULL, picks, fixed), lanes == ~0ULL, bytes);
  } else {
    w.put(_mm512_maskz_compress_epi8(lanes & ~drop, fixed), lanes == ~0ULL, bytes);
  }
}

// `v` taken as it stands: valid, and without a CR or the LF of a CR LF.
template <bool kCountLines>
VELA_SHA_AVX512 inline bool plain(const Constants& k, Carry& c, Written& w, LfCount& lfs, __m512i v,
                                  std::uint64_t lanes) noexcept {
  if (w.writing()) w.put(v, lanes == ~0ULL, static_cast<std::size_t>(std::popcount(lanes)));
  if constexpr (kCountLines) lfs.add(k, v);
  c.previous = v;
  return true;
}

// A rule that seems broken, or a longer sequence, may only need a longer
// look back: whether a look back far enough finds `v` keeping the rules.
[[gnu::noinline]] VELA_SHA_AVX512 bool deepen(const Constants& k, Carry& c, __m512i v, __m512i before,
                                             std::uint64_t lanes) noexcept {
  while (c.longest < 4) {
    const __m512i broken = k.broken(v, c.previous, before, ++c.longest);
    if (_mm512_mask_test_epi8_mask(lanes, broken, broken) == 0) return true;
  }
  return false;
}

// One vector at `at` (its `lanes`; `last` is its last byte): false if it
// breaks a rule, which leaves it untouched.
template <Output kOutput, bool kCountLines>
VELA_SHA_AVX512 inline bool step(const Constants& k, const Block& block, Carry& c, Written& w, LfCount& lfs,
                                 __m512i v, std::size_t at, std::uint64_t lanes, std::uint8_t last) noexcept {
  const __m512i before = _mm512_permutex2var_epi8(c.previous, k.one_back, v);
  const std::uint64_t high = _mm512_movepi8_mask(v);
  // ASCII after ASCII keeps every rule; after anything else it is checked,
  // for a sequence left open.
  const bool check = (high | c.high) != 0;
  c.high = high;
  const __m512i broken = check ? k.broken(v, c.previous, before, c.longest) : k.zero;
  const bool plain_so_far = !c.normalising && !c.after_cr;
  if (plain_so_far) {
    // One test: a rule broken, or a CR.
    const __m512i look = _mm512_ternarylogic_epi32(broken, k.differs(v, k.cr), k.top, kOrOfAndNot);
    if (_mm512_mask_test_epi8_mask(lanes, look, look) == 0) return plain<kCountLines>(k, c, w, lfs, v, lanes);
  }
  if (check && _mm512_mask_test_epi8_mask(lanes, broken, broken) != 0 && !deepen(k, c, v, before, lanes)) {
    return false;
  }
  // Rules kept after a longer look back, and no CR yet: still plain.
  if (plain_so_far && _mm512_mask_testn_epi8_mask(lanes, k.differs(v, k.cr), k.top) == 0) {
    return plain<kCountLines>(k, c, w, lfs, v, lanes);
  }
  normalise<kOutput, kCountLines>(k, block, w, v, before, at, lanes);
  c.normalising = true;
  c.after_cr = last == '\r';
  c.previous = v;
  return true;
}

// Two vectors of plain ASCII without a CR, after such a one, taken with one
// test; false leaves them to step().
template <bool kCountLines>
VELA_SHA_AVX512 inline bool plain_pair(const Constants& k, Carry& c, Written& w, LfCount& lfs,
                                       const std::uint8_t* in) noexcept {
  if (c.high != 0 || c.after_cr || c.normalising) return false;
  const __m512i a = _mm512_loadu_si512(in), b = _mm512_loadu_si512(in + 64);
  // Bit 7: a byte from 0x80 up, or a CR.
  const __m512i look = _mm512_ternarylogic_epi32(_mm512_or_si512(a, b), k.differs(a, k.cr), k.differs(b, k.cr),
                                                 kOrNotAnd);
  if (_mm512_test_epi8_mask(look, k.top) != 0) return false;
  if (w.writing()) w.put(a, true, 64), w.put(b, true, 64);
  if constexpr (kCountLines) lfs.add(k, a), lfs.add(k, b);
  c.previous = b;
  return true;
}

template <Output kOutput, bool kCountLines>
VELA_SHA_AVX512 Scanned scan_as(const Block& block, Tail& tail) noexcept {
  const std::uint8_t* in = block.in;
  const std::size_t size = block.size;
  const Tail end_tail = tail.then(in, size);  // read now: writing in place may change the bytes
  const Constants k;
  const int longest = tail.back(1) >= 0xF0 || tail.back(2) >= 0xF0 || tail.back(3) >= 0xF0 ? 4
                      : tail.back(1) >= 0xE0 || tail.back(2) >= 0xE0                       ? 3
                                                                                            : 2;
  Carry c{_mm512_maskz_set1_epi32(0x8000, static_cast<int>(tail.bytes)), tail.bytes & 0x80808000U, longest,
          tail.after_cr(), false};
  Written w{kOutput == Output::Copy ? block.out : nullptr, 0, 0, 0};
  LfCount lfs{k.zero};
  // Staging holds `room` bytes once it is written: no more is read.
  const auto has_room = [&](std::size_t bytes) {
    return kOutput != Output::Staging || !w.writing() || w.bytes + bytes <= block.room;
  };
  std::size_t at = 0;
  bool valid = true;
  while (valid && at + 64 <= size && has_room(128)) {
    if (at + 128 <= size && plain_pair<kCountLines>(k, c, w, lfs, in + at)) {
      at += 128;
    } else if ((valid = step<kOutput, kCountLines>(k, block, c, w, lfs, _mm512_loadu_si512(in + at), at, ~0ULL,
                                                   in[at + 63]))) {
      at += 64;
    }
  }
  while (valid && at + 64 <= size && has_room(64)) {
    valid = step<kOutput, kCountLines>(k, block, c, w, lfs, _mm512_loadu_si512(in + at), at, ~0ULL, in[at + 63]);
    if (valid) at += 64;
  }
  if (valid && at < size && at + 64 > size && has_room(size - at)) {
    const std::uint64_t lanes = _bzhi_u64(~0ULL, static_cast<unsigned>(size - at));
    valid = step<kOutput, kCountLines>(k, block, c, w, lfs, _mm512_maskz_loadu_epi8(lanes, in + at), at, lanes, 0);
    if (valid) at = size;
  }
  Scanned scanned;
  scanned.valid = valid;
  scanned.read = at;
  scanned.kept = w.writing() ? w.kept : at;
  scanned.written = w.bytes;
  // Each CR ends a line, and so does each LF but the one of a CR LF: the LFs
  // normalising dropped.
  if constexpr (kCountLines) scanned.line_endings = w.crs + lfs.lfs() - (w.writing() ? at - w.kept - w.bytes : 0);
  tail = at == size ? end_tail : tail_of(c.previous);
  return scanned;
}

template <Output kOutput>
VELA_SHA_AVX512 Scanned scan_lines_or_not(const Block& block, Tail& tail) noexcept {
  if (block.count_lines) return scan_as<kOutput, true>(block, tail);
  return scan_as<kOutput, false>(block, tail);
}

// A block of at most 64 bytes of plain ASCII without a CR, after such text:
// the common short template, taken without the loop's machinery. False
// leaves the block to the loop.
VELA_SHA_AVX512 bool short_plain(const Block& block, Tail& tail, Scanned& scanned) noexcept {
  if (block.size > 64 || (tail.bytes & 0x80808000U) != 0 || tail.after_cr()) return false;
  const std::uint64_t lanes = _bzhi_u64(~0ULL, static_cast<unsigned>(block.size));
  const __m512i v = _mm512_maskz_loadu_epi8(lanes, block.in);
  if ((_mm512_movepi8_mask(v) | _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\r'))) != 0) return false;
  scanned.read = block.size;
  if (block.output == Output::Copy) {
    _mm512_mask_storeu_epi8(block.out, lanes, v);
    scanned.written = block.size;
  } else {
    scanned.kept = block.size;
  }
  if (block.count_lines) scanned.line_endings = std::popcount(_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n')));
  tail = tail.then(block.in, block.size);
  return true;
}

VELA_SHA_AVX512 Scanned scan_blocks(const Block& block, Tail& tail) noexcept {
  if (Scanned scanned; short_plain(block, tail, scanned)) return scanned;
  // A pair of bytes breaks a rule in the lane of its second: a byte that can
  // start nothing shows only with the byte after it. As the last of the block
  // it is left out, and told here.
  Block most = block;
  const bool starts_nothing = most.size != 0 && block.in[most.size - 1] >= 0xC0 &&
                              utf8_sequence_length(block.in[most.size - 1]) == 0;
  most.size -= starts_nothing;
  Scanned scanned;
  switch (most.output) {
    case Output::InPlace:
      scanned = scan_lines_or_not<Output::InPlace>(most, tail);
      break;
    case Output::Staging:
      scanned = scan_lines_or_not<Output::Staging>(most, tail);
      break;
    case Output::Copy:
      scanned = scan_lines_or_not<Output::Copy>(most, tail);
      break;
  }
  if (starts_nothing && scanned.read == most.size) scanned.valid = false;
  return scanned;
}

}  // namespace

VELA_SHA_AVX512 Scanned scan_avx512(const Block& block, Tail& tail) noexcept {
  const Scanned scanned = scan_blocks(block, tail);
  // The upper halves of the vector registers are cleared on every way out,
  // whatever the compiler made of the calls in between: left dirty, they slow
  // down each legacy SSE instruction that follows (OpenSSL's SHA-256 among
  // them) until something clears them.
  _mm256_zeroupper();
  return scanned;
}

}  // namespace vela_sha::text
#endif
