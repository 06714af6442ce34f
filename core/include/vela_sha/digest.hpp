// The 32-byte digest value types and their text form.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "vela_sha/sha256.hpp"

namespace vela_sha {

// Writes `bytes` as 64 lowercase hexadecimal digits, high half first.
[[nodiscard]] std::string digest_to_hex(const Sha256Bytes& bytes);

// The same text into `out`, which must have room for 64 characters.
void digest_to_hex(const Sha256Bytes& bytes, char* out) noexcept;

// Reads exactly 64 hexadecimal digits (either case) into `out`. Returns false,
// leaving `out` unspecified, for any other length or any non-hex character.
[[nodiscard]] bool digest_from_hex(std::string_view text, Sha256Bytes& out) noexcept;

namespace detail {

// A SHA-256 digest that means one thing: `Tag` keeps a template digest from
// being passed where a composition digest is expected, and vice versa.
template <class Tag>
class Digest {
 public:
  constexpr explicit Digest(const Sha256Bytes& bytes) noexcept : bytes_(bytes) {}

  [[nodiscard]] constexpr const Sha256Bytes& bytes() const noexcept { return bytes_; }
  [[nodiscard]] std::string to_hex() const { return digest_to_hex(bytes_); }

  friend constexpr bool operator==(const Digest&, const Digest&) noexcept = default;

 private:
  Sha256Bytes bytes_;
};

}  // namespace detail
}  // namespace vela_sha
