// text::scan with AVX-512: one pass over the block, 64 bytes at a time, each
// vector validated, its line endings counted and normalised, and written out.
// Bit masks are shifted and combined in general registers: faster than in
// mask registers on some processors (Zen 4), and no slower on others.
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

constexpr auto kBeforeHigh = four_times(utf8_classes::kBeforeHigh);
constexpr auto kBeforeLow = four_times(utf8_classes::kBeforeLow);
constexpr auto kOwnHigh = four_times(utf8_classes::kOwnHigh);

// Lane k holds k + `plus`.
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

VELA_SHA_AVX512 inline __m512i load(const std::array<std::uint8_t, 64>& lanes) noexcept {
  return _mm512_loadu_si512(lanes.data());
}

// Puts `v` out of the compiler's reach, so that it stays in its register
// rather than being made anew in every round of a loop (GCC's preference).
VELA_SHA_AVX512 inline __m512i pinned(__m512i v) noexcept {
  asm("" : "+v"(v));
  return v;
}

// A mask taken into a general register: GCC otherwise folds an AND with it
// into a masked compare, which moves the other operand to a mask register,
// slowly on some processors (Zen 4).
VELA_SHA_AVX512 inline std::uint64_t general(std::uint64_t mask) noexcept {
  asm("" : "+r"(mask));
  return mask;
}

// The vectors every round works with, made once per block.
struct Constants {
  __m512i before_high, before_low, own_high;
  __m512i one_back, two_back, three_back;  // pick the bytes 1, 2 and 3 before each lane from (previous, input)
  __m512i nibble, e0_less, f0_less, top, cr, lf;

  VELA_SHA_AVX512 Constants() noexcept
      : before_high(pinned(load(kBeforeHigh))),
        before_low(pinned(load(kBeforeLow))),
        own_high(pinned(load(kOwnHigh))),
        one_back(pinned(load(kCount<63>))),
        two_back(pinned(load(kCount<62>))),
        three_back(pinned(load(kCount<61>))),
        nibble(pinned(_mm512_set1_epi8(0x0F))),
        e0_less(pinned(_mm512_set1_epi8(0xE0 - 0x80))),
        f0_less(pinned(_mm512_set1_epi8(0xF0 - 0x80))),
        top(pinned(_mm512_set1_epi8(static_cast<char>(0x80)))),
        cr(pinned(_mm512_set1_epi8('\r'))),
        lf(pinned(_mm512_set1_epi8('\n'))) {}

  [[nodiscard]] VELA_SHA_AVX512 __m512i high_nibbles(__m512i v) const noexcept {
    return _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble);
  }
};

// The UTF-8 rules 64 bytes at a time (see utf8_classes): each byte is
// classified with the byte before it, and where it must be the third or
// fourth of a sequence is told by the bytes two and three back.
struct Utf8Check {
  __m512i previous;  // the vector checked last (only its last three lanes count)
  std::uint64_t high;  // its bytes from 0x80 up

  VELA_SHA_AVX512 explicit Utf8Check(Tail tail) noexcept
      : previous(_mm512_maskz_set1_epi32(0x8000, static_cast<int>(tail.bytes))), high(tail.bytes & 0x80808000U) {}

  // Whether `v` (its `lanes`) keeps the rules.
  VELA_SHA_AVX512 bool keeps(const Constants& k, __m512i v, std::uint64_t lanes) noexcept {
    const std::uint64_t was_high = high;
    high = _mm512_movepi8_mask(v);
    // ASCII after ASCII keeps every rule; after anything else it is checked,
    // for a sequence left open.
    if ((high | was_high) == 0) {
      previous = v;
      return true;
    }
    const __m512i before = _mm512_permutex2var_epi8(previous, k.one_back, v);
    const __m512i classes = _mm512_ternarylogic_epi32(
        _mm512_shuffle_epi8(k.before_high, k.high_nibbles(before)),
        _mm512_shuffle_epi8(k.before_low, _mm512_and_si512(before, k.nibble)),
        _mm512_shuffle_epi8(k.own_high, k.high_nibbles(v)), 0x80);  // a & b & c
    // Only bytes two back >= E0 or three back >= F0 land at or above 0x80 here.
    const __m512i third = _mm512_subs_epu8(_mm512_permutex2var_epi8(previous, k.two_back, v), k.e0_less);
    const __m512i fourth = _mm512_subs_epu8(_mm512_permutex2var_epi8(previous, k.three_back, v), k.f0_less);
    const __m512i must = _mm512_ternarylogic_epi32(third, fourth, k.top, 0xA8);  // (a | b) & c
    if (_mm512_mask_test_epi8_mask(lanes, _mm512_xor_si512(must, classes), _mm512_xor_si512(must, classes)) != 0) {
      return false;
    }
    previous = v;
    return true;
  }

  // The last three bytes checked.
  [[nodiscard]] VELA_SHA_AVX512 Tail tail() const noexcept {
    alignas(64) std::uint8_t lanes[64];
    _mm512_store_si512(lanes, previous);
    return Tail{static_cast<std::uint32_t>(lanes[61]) << 8 | static_cast<std::uint32_t>(lanes[62]) << 16 |
                static_cast<std::uint32_t>(lanes[63]) << 24};
  }
};

// Where a vector's line endings are: its CRs, and the LFs that complete a
// CR LF (which normalising drops).
struct Endings {
  std::uint64_t cr, drop;
};

// Line endings 64 bytes at a time, with the CR the last vector ended on.
template <bool kCountLines>
struct LineEndings {
  std::uint64_t after_cr;
  std::uint64_t count = 0;

  VELA_SHA_AVX512 Endings find(const Constants& k, __m512i v) noexcept {
    const std::uint64_t cr = _mm512_cmpeq_epi8_mask(v, k.cr);
    const std::uint64_t lf = general(_mm512_cmpeq_epi8_mask(v, k.lf));
    const std::uint64_t after = cr << 1 | after_cr;  // the lanes right after a CR
    after_cr = cr >> 63;
    // Each CR ends a line, and so does each LF that does not follow one.
    if constexpr (kCountLines) count += static_cast<std::uint64_t>(std::popcount(cr) + std::popcount(lf & ~after));
    return {cr, lf & after};
  }
};

// Puts a block's normalised text where kOutput says: nothing until its first
// change (but for a copy), then every vector: plain stores until the first
// change, then each vector with its CRs made LF and its dropped LFs packed out.
template <Output kOutput>
struct Writer {
  const Block& block;
  std::uint8_t* out = kOutput == Output::Copy ? block.out : nullptr;  // set once writing begins
  std::size_t kept = 0, written = 0;
  bool normalising = false;

  [[nodiscard]] bool writing() const noexcept { return out != nullptr; }
  [[nodiscard]] bool has_room(std::size_t bytes) const noexcept {
    return kOutput != Output::Staging || !writing() || written + bytes <= block.room;
  }

  // Vector `v` read at `at`, its `lanes` counting; `full` if all 64 do, when
  // a store may write past what it keeps (never past the bytes read).
  VELA_SHA_AVX512 void put(const Constants& k, __m512i v, Endings endings, std::size_t at, std::uint64_t lanes,
                           bool full) noexcept {
    if (!normalising) {
      if ((endings.cr | endings.drop) == 0) {
        if (writing()) store(v, full, static_cast<std::size_t>(std::popcount(lanes)));
        return;
      }
      if (!writing()) {
        kept = at;
        out = kOutput == Output::InPlace ? block.out + at : block.out;
      }
      normalising = true;
    }
    const __m512i fixed = _mm512_mask_mov_epi8(v, endings.cr, k.lf);
    const std::uint64_t drop = endings.drop;
    const auto bytes = static_cast<std::size_t>(std::popcount(lanes & ~drop));
    if ((drop & (drop - 1)) == 0) {
      // At most one LF to drop (the usual case, taken without a branch):
      // every lane from it on takes the byte one further.
      const __m512i picks = _mm512_loadu_si512(kDropOne[std::countr_zero(drop)].data());
      store(_mm512_mask_permutexvar_epi8(fixed, ~0ULL, picks, fixed), full, bytes);
    } else {
      store(_mm512_maskz_compress_epi8(lanes & ~drop, fixed), full, bytes);
    }
  }

  // The first `bytes` of `v` at the end of what is written.
  VELA_SHA_AVX512 void store(__m512i v, bool full, std::size_t bytes) noexcept {
    if (full) {
      _mm512_storeu_si512(out + written, v);
    } else {
      _mm512_mask_storeu_epi8(out + written, _bzhi_u64(~0ULL, static_cast<unsigned>(bytes)), v);
    }
    written += bytes;
  }
};

template <Output kOutput, bool kCountLines>
VELA_SHA_AVX512 Scanned scan_as(const Block& block, Tail& tail) noexcept {
  const std::uint8_t* in = block.in;
  const std::size_t size = block.size;
  const Tail end_tail = tail.then(in, size);  // read now: writing in place may change the bytes
  const Constants k;
  Utf8Check utf8(tail);
  LineEndings<kCountLines> endings{tail.after_cr()};
  Writer<kOutput> writer{block};
  Scanned scanned;
  std::size_t at = 0;
  for (; at + 64 <= size && writer.has_room(64); at += 64) {
    const __m512i v = _mm512_loadu_si512(in + at);
    if (!utf8.keeps(k, v, ~0ULL)) {
      scanned.valid = false;
      break;
    }
    writer.put(k, v, endings.find(k, v), at, ~0ULL, true);
  }
  if (scanned.valid && at < size && at + 64 > size && writer.has_room(size - at)) {
    const std::uint64_t lanes = _bzhi_u64(~0ULL, static_cast<unsigned>(size - at));
    const __m512i v = _mm512_maskz_loadu_epi8(lanes, in + at);
    scanned.valid = utf8.keeps(k, v, lanes);
    if (scanned.valid) {
      writer.put(k, v, endings.find(k, v), at, lanes, false);
      at = size;
    }
  }
  scanned.read = at;
  scanned.kept = writer.writing() ? writer.kept : at;
  scanned.written = writer.written;
  scanned.line_endings = endings.count;
  tail = at == size ? end_tail : utf8.tail();
  return scanned;
}

template <Output kOutput>
VELA_SHA_AVX512 Scanned scan_lines_or_not(const Block& block, Tail& tail) noexcept {
  if (block.count_lines) return scan_as<kOutput, true>(block, tail);
  return scan_as<kOutput, false>(block, tail);
}

}  // namespace

VELA_SHA_AVX512 Scanned scan_avx512(const Block& block, Tail& tail) noexcept {
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

}  // namespace vela_sha::text
#endif
