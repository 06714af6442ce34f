// The template digest: SHA-256 of a UTF-8 text with its line endings made LF.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <span>
#include <string_view>

#include "vela_sha/digest.hpp"

namespace vela_sha {

enum class ShaError : std::uint8_t {
  InvalidUtf8,    // template bytes are not valid UTF-8
  InvalidDigest,  // a digest text is not exactly 64 hexadecimal characters
};

// The fixed English text of each member.
[[nodiscard]] std::string_view message(ShaError error) noexcept;
std::ostream& operator<<(std::ostream& out, ShaError error);

class TemplateSha256 : public detail::Digest<TemplateSha256> {
 public:
  using Digest::Digest;

  // Parses 64 hexadecimal digits, upper or lower case; no blanks, no prefix.
  [[nodiscard]] static std::expected<TemplateSha256, ShaError> from_hex(
      std::string_view text) noexcept;
};

// Validates `bytes` as strict UTF-8 (RFC 3629), turns CR LF and lone CR into
// LF, and returns the SHA-256 of the result. Invalid input is hashed not at
// all. Text without a CR is hashed in place; otherwise it is normalised once
// into a buffer of the input's length (std::bad_alloc if that cannot be had).
[[nodiscard]] std::expected<TemplateSha256, ShaError> calculate_hash(
    std::span<const std::uint8_t> bytes);

// The same digest for a buffer the caller owns and no longer needs: the text is
// normalised inside `bytes` instead of in a second buffer, so hashing takes no
// memory beyond the caller's one copy. `bytes` is left unspecified.
[[nodiscard]] std::expected<TemplateSha256, ShaError> calculate_hash_in_place(
    std::span<std::uint8_t> bytes) noexcept;

// The same digest, made from one copy of `source` in memory of the call's own
// (a caller that must not hand the core memory it does not own: the bytes are
// read only while they are copied). The copy is made, validated and hashed a
// block at a time while the block is in cache; past a few MiB a helper thread
// makes it ahead of the hashing while a processor is free. `source` must not
// change meanwhile. std::bad_alloc if the copy's memory cannot be had.
[[nodiscard]] std::expected<TemplateSha256, ShaError> calculate_hash_from_copy(
    std::span<const std::uint8_t> source);

}  // namespace vela_sha
