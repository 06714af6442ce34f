// text::scan with AVX-512: one pass over the block, 64 bytes at a time, each
// vector validated, its line endings counted and normalised, and written out.
//
// Work on bit masks is kept to a minimum: on some processors (Zen 4) every
// instruction that makes, moves or tests a mask register costs a cycle on
// the one unit that does them, which bounds the loop long before the vector
// units do. So rules are checked, and the LFs of plain text counted, in the
// vector registers, and one test per vector (per two for plain ASCII) says
// whether anything needs a closer look. Once a block has a CR, the rest of it
// goes through a loop of its own that only validates and normalises.
#if defined(__x86_64__)
#include <immintrin.h>

#include <bit>

#include "scan_kernels.hpp"

#define VELA_SHA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,avx512vnni,bmi,bmi2,popcnt")))
// The steps of the loop are inlined into it whatever the compiler thinks of
// their size: called, they would take the loop's state by reference, and keep
// it in memory (a store and a load on every vector's critical path).
#define VELA_SHA_STEP VELA_SHA_AVX512 __attribute__((always_inline)) inline

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
  __m512i e0_less, f0_less, top, below_top, one, zero, cr, lf;

  VELA_SHA_AVX512 Constants() noexcept
      : before_high(pinned(load(four_times(utf8_classes::kBeforeHigh)))),
        before_low(pinned(load(four_times(utf8_classes::kBeforeLow)))),
        own_high(pinned(load(four_times(utf8_classes::kOwnHigh)))),
        one_back(pinned(load(kCount<63>))),
        two_back(pinned(load(kCount<62>))),
        three_back(pinned(load(kCount<61>))),
        e0_less(pinned(_mm512_set1_epi8(0xE0 - 0x80))),
        f0_less(pinned(_mm512_set1_epi8(0xF0 - 0x80))),
        top(pinned(_mm512_set1_epi8(static_cast<char>(0x80)))),
        below_top(pinned(_mm512_set1_epi8(0x7F))),
        one(pinned(_mm512_set1_epi8(1))),
        zero(pinned(_mm512_setzero_si512())),
        cr(pinned(_mm512_set1_epi8('\r'))),
        lf(pinned(_mm512_set1_epi8('\n'))) {}

  // The entries of a table made by four_times() that each byte's low (high)
  // nibble picks. vpermb looks at the low six bits of each index: the two
  // above the nibble pick one of the table's four copies, so they need no
  // clearing.
  [[nodiscard]] static VELA_SHA_AVX512 __m512i by_low_nibble(__m512i table, __m512i v) noexcept {
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // GCC 12's vpermb intrinsic starts from an undefined vector
#endif
    return _mm512_permutexvar_epi8(v, table);
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  }
  [[nodiscard]] static VELA_SHA_AVX512 __m512i by_high_nibble(__m512i table, __m512i v) noexcept {
    return by_low_nibble(table, _mm512_srli_epi16(v, 4));
  }

  // Whether each byte of `v` differs from the byte `c` repeats, in bit 7: the
  // byte's distance from it, plus 0x7F, saturates past 0x7F unless it is 0.
  [[nodiscard]] VELA_SHA_AVX512 __m512i differs(__m512i v, __m512i c) const noexcept {
    return _mm512_adds_epu8(_mm512_xor_si512(v, c), below_top);
  }

  // The bytes `n` (1 to 3) before each lane of `v`, picked from `previous`
  // (the vector before) and `v`.
  [[nodiscard]] VELA_SHA_AVX512 __m512i back(__m512i previous, __m512i v, int n) const noexcept {
    return _mm512_permutex2var_epi8(previous, n == 1 ? one_back : n == 2 ? two_back : three_back, v);
  }

  // The UTF-8 rules (see utf8_classes), broken where a lane is not zero:
  // each byte classified with the byte `before` it, and where it must be the
  // third or fourth of a sequence told by the bytes two and three back, which
  // `bytes` gives (see InRegisters). A text of sequences no longer than
  // `longest` (2 to 4) needs to look back less far; a longer lead byte in `v`
  // is then marked too, for a look with a longer `longest`.
  template <class Back>
  [[nodiscard]] VELA_SHA_STEP __m512i broken(__m512i v, const Back& bytes, __m512i before,
                                             int longest) const noexcept {
    const __m512i classes = _mm512_ternarylogic_epi32(by_high_nibble(before_high, before),
                                                      by_low_nibble(before_low, before),
                                                      by_high_nibble(own_high, v), kAnd3);
    // From 0x80 up where a byte is >= E0, or >= F0.
    const __m512i three = _mm512_subs_epu8(v, e0_less), four = _mm512_subs_epu8(v, f0_less);
    if (longest == 2) return _mm512_ternarylogic_epi32(classes, three, top, kOrOfAnd);
    // The same two and three back: bytes that must be a third or fourth.
    const __m512i third = _mm512_subs_epu8(bytes.back(2), e0_less);
    if (longest == 3) {
      return _mm512_ternarylogic_epi32(_mm512_ternarylogic_epi32(third, classes, top, kAndXor), four, top,
                                       kOrOfAnd);
    }
    const __m512i fourth = _mm512_subs_epu8(bytes.back(3), f0_less);
    return _mm512_ternarylogic_epi32(_mm512_ternarylogic_epi32(third, fourth, top, kOrAnd), classes, classes, kXor);
  }
};

// Where the bytes before each lane of a vector come from: picked from the
// vector before and the vector itself, by shuffles, of which the rules need
// three more already; or read again from the text, by loads, which leaves the
// shuffle unit to the rules (multi-byte text after a CR scans a fifth faster).
// Reading again works only where the text before the vector is still as it
// was read: not where it is normalised in place.
struct InRegisters {
  const Constants& k;
  __m512i previous, v;
  [[nodiscard]] VELA_SHA_STEP __m512i back(int n) const noexcept { return k.back(previous, v, n); }
};
struct InText {
  const std::uint8_t* v;  // where the vector was read, 3 bytes or more into the text
  [[nodiscard]] VELA_SHA_STEP __m512i back(int n) const noexcept { return _mm512_loadu_si512(v - n); }
};

// The last three bytes of `v`.
VELA_SHA_AVX512 inline Tail tail_of(__m512i v) noexcept {
  alignas(64) std::uint8_t lanes[64];
  _mm512_store_si512(lanes, v);
  return Tail{static_cast<std::uint32_t>(lanes[61]) << 8 | static_cast<std::uint32_t>(lanes[62]) << 16 |
              static_cast<std::uint32_t>(lanes[63]) << 24};
}

// The loop's state. Each part is a variable of its own in scan_as, handed to
// the steps by reference: the steps are inlined, and the compiler keeps such
// variables in registers, where a struct that holds a vector would stay in
// memory, and every vector would wait on a store and a load.
struct Carry {          // what each vector needs of the ones before it in the block
  std::uint64_t high;   // the vector before's lanes from 0x80 up
  int longest;          // the longest sequence the block has needed, 2 to 4
  bool after_cr;        // the vector before ends in a CR (kept until the block normalises)
  bool normalising;     // a CR was seen in the block: every vector is normalised from here on
};
struct Written {        // where the normalised text goes
  std::uint8_t* out;    // once it is written
  std::size_t kept, bytes;
  std::uint64_t lfs;    // of the multi-byte vectors normalised, less 64 each (mod 2^64; see scan_as)

  [[nodiscard]] bool writing() const noexcept { return out != nullptr; }

  // The first `size` bytes of `v` after what is written; with `full`, the
  // whole vector (past what it keeps, never past the bytes read).
  VELA_SHA_STEP void put(__m512i v, bool full, std::size_t size) noexcept {
    if (full) {
      _mm512_storeu_si512(out + bytes, v);
    } else {
      _mm512_mask_storeu_epi8(out + bytes, _bzhi_u64(~0ULL, static_cast<unsigned>(size)), v);
    }
    bytes += size;
  }
};

// Line endings are counted as the LFs of the normalised text: in the vector
// registers, each vector's bytes that are not LF (lanes past its end are
// not), summed four at a time into 32-bit lanes by one vpdpbusd (exact for
// blocks far larger than any scan takes); or, for the normalised vectors of
// multi-byte text, whose checks keep the vector units busy, by a compare and
// a popcount (see Written::lfs).
VELA_SHA_STEP __m512i not_lf_of(const Constants& k, __m512i v) noexcept {
  return _mm512_min_epu8(_mm512_xor_si512(v, k.lf), k.one);
}
VELA_SHA_STEP void count_not_lf(const Constants& k, __m512i& not_lf, __m512i v) noexcept {
  not_lf = _mm512_dpbusd_epi32(not_lf, not_lf_of(k, v), k.one);
}
// Two vectors' worth, added as bytes first: one sum for both.
VELA_SHA_STEP void count_not_lf(const Constants& k, __m512i& not_lf, __m512i a, __m512i b) noexcept {
  not_lf = _mm512_dpbusd_epi32(not_lf, _mm512_add_epi8(not_lf_of(k, a), not_lf_of(k, b)), k.one);
}
VELA_SHA_AVX512 std::uint64_t sum_of(__m512i not_lf) noexcept {
  alignas(64) std::uint32_t sums[16];
  _mm512_store_si512(sums, not_lf);
  std::uint64_t sum = 0;
  for (const std::uint32_t part : sums) sum += part;
  return sum;
}

// Every CR of `v` becomes LF and the LF of each CR LF goes: the rest is
// packed to the front of the vector and written (which has begun). Its
// lines are counted in `not_lf` if `ascii` (where the mask unit is the one
// kept busy), else in w.lfs.
template <bool kCountLines>
VELA_SHA_STEP void normalise(const Constants& k, Written& w, __m512i& not_lf, __m512i v, __m512i before,
                             std::uint64_t lanes, bool ascii) noexcept {
  const __mmask64 cr = _mm512_cmpeq_epi8_mask(v, k.cr);
  const std::uint64_t drop = _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(before, k.cr), v, k.lf);
  const __m512i fixed = _mm512_mask_mov_epi8(v, cr, k.lf);
  if constexpr (kCountLines) {
    if (ascii) {
      count_not_lf(k, not_lf, fixed);
    } else {
      w.lfs += std::popcount(_cvtmask64_u64(_mm512_cmpeq_epi8_mask(fixed, k.lf))) - 64ULL;
    }
  }
  const auto bytes = static_cast<std::size_t>(std::popcount(lanes & ~drop));
  if ((drop & (drop - 1)) == 0) {
    // At most one LF to drop (the usual case, taken without a branch):
    // every lane from it on takes the byte one further.
    const __m512i picks = _mm512_loadu_si512(kDropOne[std::countr_zero(drop)].data());
    // (Masked with all lanes: GCC 12's unmasked form reads an undefined vector.)
    w.put(_mm512_mask_permutexvar_epi8(fixed, ~0ULL, picks, fixed), lanes == ~0ULL, bytes);
  } else {
    w.put(_mm512_maskz_compress_epi8(lanes & ~drop, fixed), lanes == ~0ULL, bytes);
  }
}

// `v` taken as it stands: valid, and without a CR or the LF of a CR LF.
template <bool kCountLines>
VELA_SHA_STEP bool plain(const Constants& k, __m512i& previous, Written& w, __m512i& not_lf, __m512i v,
                         std::uint64_t lanes) noexcept {
  if (w.writing()) w.put(v, lanes == ~0ULL, static_cast<std::size_t>(std::popcount(lanes)));
  if constexpr (kCountLines) count_not_lf(k, not_lf, v);
  previous = v;
  return true;
}

// A rule that seems broken, or a longer sequence, may only need a longer
// look back: the look back (after `longest`, up to 4) that finds `v` keeping
// the rules, or 0 if none does.
[[gnu::noinline]] VELA_SHA_AVX512 int deepen(const Constants& k, __m512i previous, int longest, __m512i v,
                                            __m512i before, std::uint64_t lanes) noexcept {
  while (longest < 4) {
    const __m512i broken = k.broken(v, InRegisters{k, previous, v}, before, ++longest);
    if (_mm512_mask_test_epi8_mask(lanes, broken, broken) == 0) return longest;
  }
  return 0;
}

// Whether `v`, whose rules seem `broken` (where a lane is not zero) by the
// look back the block has needed so far, keeps them: at once, or with a
// longer look back, which the block then keeps.
VELA_SHA_STEP bool keeps_rules(const Constants& k, Carry& c, __m512i previous, __m512i v, __m512i before,
                               __m512i broken, std::uint64_t lanes) noexcept {
  if (_mm512_mask_test_epi8_mask(lanes, broken, broken) == 0) return true;
  const int longest = deepen(k, previous, c.longest, v, before, lanes);
  if (longest == 0) return false;
  c.longest = longest;
  return true;
}

// One vector at `at` (its `lanes`; `last` is its last byte): false if it
// breaks a rule, which leaves it untouched.
template <Output kOutput, bool kCountLines>
VELA_SHA_STEP bool step(const Constants& k, const Block& block, Carry& c, __m512i& previous, Written& w,
                        __m512i& not_lf, __m512i v, std::size_t at, std::uint64_t lanes, std::uint8_t last) noexcept {
  const __m512i before = k.back(previous, v, 1);
  const std::uint64_t high = _mm512_movepi8_mask(v);
  // ASCII after ASCII keeps every rule; after anything else it is checked,
  // for a sequence left open.
  const bool check = (high | c.high) != 0;
  c.high = high;
  const __m512i broken = check ? k.broken(v, InRegisters{k, previous, v}, before, c.longest) : k.zero;
  const bool plain_so_far = !c.normalising && !c.after_cr;
  if (plain_so_far) {
    // One test: a rule broken, or a CR.
    const __m512i look = _mm512_ternarylogic_epi32(broken, k.differs(v, k.cr), k.top, kOrOfAndNot);
    if (_mm512_mask_test_epi8_mask(lanes, look, look) == 0) {
      return plain<kCountLines>(k, previous, w, not_lf, v, lanes);
    }
  }
  if (check && !keeps_rules(k, c, previous, v, before, broken, lanes)) return false;
  // Rules kept after a longer look back, and no CR yet: still plain.
  if (plain_so_far && _mm512_mask_testn_epi8_mask(lanes, k.differs(v, k.cr), k.top) == 0) {
    return plain<kCountLines>(k, previous, w, not_lf, v, lanes);
  }
  // The text changes from here on: what was read before is kept as it
  // stands.
  if (!w.writing()) {
    w.kept = at;
    w.out = kOutput == Output::InPlace ? block.out + at : block.out;
  }
  normalise<kCountLines>(k, w, not_lf, v, before, lanes, false);
  c.normalising = true;
  c.after_cr = last == '\r';
  previous = v;
  return true;
}

// One vector once the block normalises, read from `at` (at least 64 bytes
// into the block): validated, then normalised. False if it breaks a rule,
// which leaves it untouched. (Whether the vector before ends in a CR no
// longer matters: normalise() reads it.)
template <Output kOutput, bool kCountLines>
VELA_SHA_STEP bool normalising_step(const Constants& k, Carry& c, __m512i& previous, Written& w,
                                    __m512i& not_lf, const std::uint8_t* at) noexcept {
  const __m512i v = _mm512_loadu_si512(at);
  const auto bytes = [&] {
    if constexpr (kOutput == Output::InPlace) {
      return InRegisters{k, previous, v};
    } else {
      return InText{at};
    }
  }();
  const __m512i before = bytes.back(1);
  const std::uint64_t high = _mm512_movepi8_mask(v);
  const bool ascii = (high | c.high) == 0;
  if (!ascii) {
    const __m512i broken = k.broken(v, bytes, before, c.longest);
    if (!keeps_rules(k, c, previous, v, before, broken, ~0ULL)) return false;
  }
  c.high = high;
  normalise<kCountLines>(k, w, not_lf, v, before, ~0ULL, ascii);
  previous = v;
  return true;
}

// Two vectors of plain ASCII without a CR, after such a one, taken with one
// test; false leaves them to step().
template <bool kCountLines>
VELA_SHA_STEP bool plain_pair(const Constants& k, const Carry& c, __m512i& previous, Written& w, __m512i& not_lf,
                              const std::uint8_t* in) noexcept {
  if (c.high != 0 || c.after_cr || c.normalising) return false;
  const __m512i a = _mm512_loadu_si512(in), b = _mm512_loadu_si512(in + 64);
  // Bit 7: a byte from 0x80 up, or a CR.
  const __m512i look = _mm512_ternarylogic_epi32(_mm512_or_si512(a, b), k.differs(a, k.cr), k.differs(b, k.cr),
                                                 kOrNotAnd);
  if (_mm512_test_epi8_mask(look, k.top) != 0) return false;
  if (w.writing()) w.put(a, true, 64), w.put(b, true, 64);
  if constexpr (kCountLines) count_not_lf(k, not_lf, a, b);
  previous = b;
  return true;
}

// Staging holds `room` bytes once it is written: no more is read.
template <Output kOutput>
VELA_SHA_STEP bool has_room(const Block& block, const Written& w, std::size_t bytes) noexcept {
  return kOutput != Output::Staging || !w.writing() || w.bytes + bytes <= block.room;
}

template <Output kOutput, bool kCountLines>
[[gnu::noinline]] VELA_SHA_AVX512 Scanned scan_as(const Block& block, Tail& tail) noexcept {
  const std::uint8_t* in = block.in;
  const std::size_t size = block.size;
  const Tail end_tail = tail.then(in, size);  // read now: writing in place may change the bytes
  const Constants k;
  const int longest = tail.back(1) >= 0xF0 || tail.back(2) >= 0xF0 || tail.back(3) >= 0xF0 ? 4
                      : tail.back(1) >= 0xE0 || tail.back(2) >= 0xE0                       ? 3
                                                                                            : 2;
  Carry c{tail.bytes & 0x80808000U, longest, tail.after_cr(), false};
  __m512i previous = _mm512_maskz_set1_epi32(0x8000, static_cast<int>(tail.bytes));
  Written w{kOutput == Output::Copy ? block.out : nullptr, 0, 0, 0};
  __m512i not_lf = k.zero;
  std::size_t at = 0;
  bool valid = true;
  // Until the block's first CR: plain ASCII two vectors at a time where it
  // can be, else one.
  while (valid && !c.normalising && at + 64 <= size && has_room<kOutput>(block, w, 128)) {
    if (at + 128 <= size && plain_pair<kCountLines>(k, c, previous, w, not_lf, in + at)) {
      at += 128;
    } else if ((valid = step<kOutput, kCountLines>(k, block, c, previous, w, not_lf, _mm512_loadu_si512(in + at),
                                                   at, ~0ULL, in[at + 63]))) {
      at += 64;
    }
  }
  // From there on every vector is normalised: a loop of its own, with less
  // to decide and to hold. No vector writes more than it reads, so staging
  // has room for as many as it has room for 64 bytes.
  if (valid && c.normalising) {
    const std::size_t end =
        kOutput == Output::Staging ? std::min(size, at + (block.room - std::min(block.room, w.bytes)) / 64 * 64)
                                   : size;
    for (; at + 64 <= end; at += 64) {
      if (!(valid = normalising_step<kOutput, kCountLines>(k, c, previous, w, not_lf, in + at))) break;
    }
  }
  while (valid && at + 64 <= size && has_room<kOutput>(block, w, 64)) {
    valid = step<kOutput, kCountLines>(k, block, c, previous, w, not_lf, _mm512_loadu_si512(in + at), at, ~0ULL,
                                       in[at + 63]);
    if (valid) at += 64;
  }
  if (valid && at < size && at + 64 > size && has_room<kOutput>(block, w, size - at)) {
    const std::uint64_t lanes = _bzhi_u64(~0ULL, static_cast<unsigned>(size - at));
    valid = step<kOutput, kCountLines>(k, block, c, previous, w, not_lf, _mm512_maskz_loadu_epi8(lanes, in + at), at,
                                       lanes, 0);
    if (valid) at = size;
  }
  Scanned scanned;
  scanned.valid = valid;
  scanned.read = at;
  scanned.kept = w.writing() ? w.kept : at;
  scanned.written = w.bytes;
  // Each LF of the normalised text ends a line: those counted in vectors
  // (64 lanes each, less those not LF), and those counted in w.lfs, less the
  // LFs normalising dropped.
  if constexpr (kCountLines) {
    const std::uint64_t dropped = w.writing() ? at - w.kept - w.bytes : 0;
    scanned.line_endings = (at + 63) / 64 * 64 - sum_of(not_lf) + w.lfs - dropped;
  }
  tail = at == size ? end_tail : tail_of(previous);
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

VELA_SHA_AVX512 bool plain_ascii_avx512(const std::uint8_t* data, std::size_t size) noexcept {
  const __m512i cr = _mm512_set1_epi8('\r');
  __mmask64 marks = 0;  // a byte from 0x80 up, or a CR
  std::size_t at = 0;
  for (; at + 64 <= size && marks == 0; at += 64) {
    const __m512i v = _mm512_loadu_si512(data + at);
    marks = _mm512_movepi8_mask(v) | _mm512_cmpeq_epi8_mask(v, cr);
  }
  if (marks == 0 && at < size) {
    const __m512i v = _mm512_maskz_loadu_epi8(_bzhi_u64(~0ULL, static_cast<unsigned>(size - at)), data + at);
    marks = _mm512_movepi8_mask(v) | _mm512_cmpeq_epi8_mask(v, cr);
  }
  _mm256_zeroupper();  // left dirty, the upper halves slow down the SSE code of SHA-256 that follows
  return marks == 0;
}

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
