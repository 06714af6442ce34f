// The template digest's value type, and the errors of making or reading one.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
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

}  // namespace vela_sha
