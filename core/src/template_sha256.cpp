#include "vela_sha/template_sha256.hpp"

#include <ostream>

namespace vela_sha {

std::string_view message(ShaError error) noexcept {
  switch (error) {
    case ShaError::InvalidUtf8:
      return "text-file bytes are not valid UTF-8; encode the source as UTF-8 before hashing";
    case ShaError::InvalidDigest:
      return "SHA-256 digest must contain exactly 64 hexadecimal characters";
  }
  return "unknown ShaError";
}

std::ostream& operator<<(std::ostream& out, ShaError error) { return out << message(error); }

std::expected<TemplateSha256, ShaError> TemplateSha256::from_hex(std::string_view text) noexcept {
  Sha256Bytes bytes;
  if (!digest_from_hex(text, bytes)) return std::unexpected(ShaError::InvalidDigest);
  return TemplateSha256(bytes);
}

}  // namespace vela_sha
