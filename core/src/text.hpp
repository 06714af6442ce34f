// The byte-level work behind the template digest: one pass over each block of
// a text validates it as UTF-8, counts and normalises its line endings, and
// copies it where it must go. Internal to the library; exposed in a header so
// that the tests can hold each kernel against its twin and a plain reference.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela_sha::text {

// The length of the sequence a lead byte starts: 1 for ASCII, 2 to 4 for
// C2..F4, 0 for a byte that cannot start one.
[[nodiscard]] constexpr std::size_t utf8_sequence_length(std::uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;  // a continuation byte, or the overlong C0 / C1
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

// Whether `byte` may stand at position `index` (1 to 3) of the sequence `lead`
// starts. The second byte's range carries every rule beyond "is a
// continuation": it excludes overlongs (E0, F0), surrogates (ED) and values
// past U+10FFFF (F4).
[[nodiscard]] constexpr bool utf8_continuation_ok(std::uint8_t lead, std::size_t index,
                                                  std::uint8_t byte) noexcept {
  std::uint8_t low = 0x80, high = 0xBF;
  if (index == 1) {
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  return byte >= low && byte <= high;
}

// The last three bytes of a text so far (zeros while it has fewer): all that
// the UTF-8 rules and CR LF look back at across the edge of a block.
struct Tail {
  std::uint32_t bytes = 0;  // the third-last byte in bits 8..15, the second-last in 16..23, the last in 24..31

  // The byte `k` places from the end (1 to 3).
  [[nodiscard]] constexpr std::uint8_t back(int k) const noexcept {
    return static_cast<std::uint8_t>(bytes >> (32 - 8 * k));
  }
  [[nodiscard]] constexpr bool after_cr() const noexcept { return back(1) == '\r'; }
  // How many of the last bytes belong to a sequence still waiting for more
  // (0 if none is). A byte that can start none (C0, C1, F5..FF) counts as
  // waiting, as it would if it could: the next byte, or the end, shows it.
  [[nodiscard]] unsigned open() const noexcept;
  // The tail once `data` follows.
  [[nodiscard]] Tail then(const std::uint8_t* data, std::size_t size) const noexcept {
    std::uint32_t last = bytes;
    const std::size_t from = size >= 3 ? size - 3 : 0;
    for (std::size_t i = from; i < size; ++i) last = (last >> 8 | static_cast<std::uint32_t>(data[i]) << 24) & ~0xFFU;
    return Tail{last};
  }
};

// Where the first invalid sequence of `data` begins, when the text so far
// ended on `tail`: an offset into `data`, or -1 to -3 for a sequence the tail
// left open; `size` if there is none. A sequence cut off at the end is no
// error: more may follow. Python's decoder reports the same offset as the
// error's start. The portable validator, and where any kernel's "no" is placed.
[[nodiscard]] std::ptrdiff_t find_invalid_utf8(const std::uint8_t* data, std::size_t size, Tail tail) noexcept;

// Line endings among `data` (LF, CR LF and lone CR each one), after `tail`.
[[nodiscard]] std::uint64_t count_line_endings(const std::uint8_t* data, std::size_t size, Tail tail) noexcept;

// Where a block's normalised text goes.
enum class Output : std::uint8_t {
  InPlace,  // into the block itself (`out` is `in`), from its first change on
  Staging,  // into `out`, from the block's first change on, while `room` lasts
  Copy,     // all of it into `out` (room for the whole block)
};

// One block of a text to scan.
struct Block {
  const std::uint8_t* in;
  std::size_t size;
  std::uint8_t* out;
  std::size_t room;  // Staging only: the bytes `out` holds
  Output output;
  bool count_lines;
};

// What a scan did. The normalised text of the bytes read is in[0, kept)
// followed by `written` bytes at out (in place: at in + kept).
struct Scanned {
  std::size_t read = 0;  // all of the block, unless the staging room ran out or the text is invalid
  std::size_t kept = 0;
  std::size_t written = 0;
  std::uint64_t line_endings = 0;  // among the bytes read, if counted
  bool valid = true;  // false: an invalid sequence begins at or after read - 3; nothing from `read` on was touched
};

// Scans `block` after `tail`, which becomes the tail of the bytes read. Runs
// the widest set of kernels in use (see kernel_set.hpp).
[[nodiscard]] Scanned scan(const Block& block, Tail& tail) noexcept;

// Whether `data` is ASCII without a CR: a whole text that is valid UTF-8 and
// that normalising leaves as it stands. For short texts, ahead of the scan's
// machinery: a load and a compare or two per vector, and no set-up. Runs the widest set of
// kernels in use.
[[nodiscard]] bool plain_ascii(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace vela_sha::text
