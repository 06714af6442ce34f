// The template digest: SHA-256 of a UTF-8 text with its line endings made LF,
// taken from a text that arrives in pieces or all at once.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <optional>
#include <span>
#include <string_view>

#include "vela_sha/template_sha256.hpp"

namespace vela_sha {

// Where a text stops being UTF-8. `offset` is the 0-based byte offset of the
// lead byte of the first invalid or cut-off sequence in the whole text (what
// Python's decoder reports as the error's start); `line` is the 1-based line
// that byte is on, where LF, CR LF and lone CR each end one line.
// `unfinished`: the text ends inside that sequence, which is valid so far (the
// digest of a text cut off there); false for a byte that cannot be UTF-8.
struct Utf8Error {
  std::uint64_t offset;
  std::uint64_t line;
  bool unfinished = false;

  friend constexpr bool operator==(const Utf8Error&, const Utf8Error&) noexcept = default;
};

// The same fixed text as ShaError::InvalidUtf8: the position is data, not message.
[[nodiscard]] std::string_view message(const Utf8Error& error) noexcept;
std::ostream& operator<<(std::ostream& out, const Utf8Error& error);

// The template digest of the concatenation of every piece given to update():
// the same digest, and the same verdict, as calculate_hash on the whole text.
// Memory is fixed: between pieces it carries only the SHA-256 state, the last
// three bytes (an unfinished UTF-8 sequence, or a CR whose LF may follow), and
// the counts of bytes and line endings seen. Copies are independent.
class TemplateHasher {
 public:
  TemplateHasher() noexcept = default;

  // A hasher for a caller that reports no position: it skips counting line
  // endings (a pass over the text), and its errors carry line 0.
  struct WithoutLines {};
  explicit TemplateHasher(WithoutLines) noexcept : count_lines_(false) {}

  // Appends `bytes`. The first invalid sequence fails the hasher for good: this
  // and every later call return the same error. A sequence cut off at the end
  // of `bytes` is no error yet; the next piece may complete it.
  [[nodiscard]] std::expected<void, Utf8Error> update(std::span<const std::uint8_t> bytes) noexcept;

  // The same for bytes the caller no longer needs: line endings are normalised
  // inside them rather than in a staging copy. `bytes` is left unspecified.
  [[nodiscard]] std::expected<void, Utf8Error> update_in_place(std::span<std::uint8_t> bytes) noexcept;

  // The digest of the text so far; updating may go on afterwards. A CR at the
  // end reads as a line ending now, and an LF that follows later still merges
  // with it. Text that ends inside a sequence gives the error (without failing
  // the hasher), as does a failed hasher.
  [[nodiscard]] std::expected<TemplateSha256, Utf8Error> digest() const noexcept;

  // Bytes given so far.
  [[nodiscard]] std::uint64_t size() const noexcept { return seen_; }

 private:
  friend std::expected<TemplateSha256, ShaError> calculate_hash_from_copy(std::span<const std::uint8_t> source);

  // How append() finds room for the normalised text (text::Output).
  enum class Room : std::uint8_t { InPlace, Staging, Copy };
  // Appends `size` bytes from `in`, the normalised text going to `out` as
  // `room` says (for Room::Staging, into part of the `staging` bytes at `out`,
  // all but a page of them, at a time), a block at a time.
  std::expected<void, Utf8Error> append(const std::uint8_t* in, std::size_t size, std::uint8_t* out, Room room,
                                        std::size_t staging = 0) noexcept;
  // Fails the hasher at the first invalid sequence of `rest`, the unread part
  // of a block that a kernel found invalid.
  std::unexpected<Utf8Error> fail(const std::uint8_t* rest, std::size_t size) noexcept;

  Sha256 sha_;
  std::uint64_t seen_ = 0;   // bytes given
  std::uint64_t lines_ = 0;  // line endings in them
  std::optional<Utf8Error> failed_;
  // The last three bytes given (text::Tail): all that UTF-8 and CR LF need of
  // the text before the next piece.
  std::uint32_t tail_ = 0;
  bool count_lines_ = true;
};

// The digest of a whole text: validates `bytes` as strict UTF-8 (RFC 3629),
// turns CR LF and lone CR into LF, and returns the SHA-256 of the result.
// Invalid input is hashed not at all. Text without a CR is hashed where it
// lies (a short one only if it is plain ASCII); other text goes through a
// copy: on the stack for a short text, else a block at a time in staging.
[[nodiscard]] std::expected<TemplateSha256, ShaError> calculate_hash(std::span<const std::uint8_t> bytes) noexcept;

// The same digest, made from one copy of `source` in memory of the call's own
// (a caller that must not hand the core memory it does not own: the bytes are
// read only while they are copied). A short text's copy is on the stack;
// else the copy is made, validated and hashed a block at a time while the
// block is in cache, and past a few MiB a helper thread makes it ahead of the
// hashing while a processor is free. `source` must not change meanwhile.
// std::bad_alloc if the copy's memory cannot be had.
[[nodiscard]] std::expected<TemplateSha256, ShaError> calculate_hash_from_copy(
    std::span<const std::uint8_t> source);

}  // namespace vela_sha
