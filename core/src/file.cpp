#include "vela_sha/file.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>

#include "owned_copy.hpp"
#include "text.hpp"
#include "vela_sha/template_hasher.hpp"

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

namespace {

// Where the first CR is, or nullptr for text that is already normalised.
std::uint8_t* first_cr(const std::uint8_t* data, std::size_t size) noexcept {
  if (size == 0) return nullptr;
  return static_cast<std::uint8_t*>(const_cast<void*>(std::memchr(data, '\r', size)));
}

TemplateSha256 normalise_and_hash(std::uint8_t* data, std::size_t size, std::uint8_t* cr) noexcept {
  const auto before = static_cast<std::size_t>(cr - data);
  const std::size_t after = text::normalise_line_endings(cr, size - before);
  return TemplateSha256(sha256({data, before + after}));
}

}  // namespace

std::expected<TemplateSha256, ShaError> calculate_hash(std::span<const std::uint8_t> bytes) {
  if (!text::valid_utf8(bytes.data(), bytes.size())) {
    return std::unexpected(ShaError::InvalidUtf8);
  }
  const std::uint8_t* cr = first_cr(bytes.data(), bytes.size());
  if (cr == nullptr) return TemplateSha256(sha256(bytes));
  // Uninitialised on purpose: every byte is overwritten by the copy.
  const auto copy = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size());
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return normalise_and_hash(copy.get(), bytes.size(), copy.get() + (cr - bytes.data()));
}

std::expected<TemplateSha256, ShaError> calculate_hash_in_place(std::span<std::uint8_t> bytes) noexcept {
  if (!text::valid_utf8(bytes.data(), bytes.size())) {
    return std::unexpected(ShaError::InvalidUtf8);
  }
  std::uint8_t* cr = first_cr(bytes.data(), bytes.size());
  if (cr == nullptr) return TemplateSha256(sha256(bytes));
  return normalise_and_hash(bytes.data(), bytes.size(), cr);
}

std::expected<TemplateSha256, ShaError> calculate_hash_from_copy(std::span<const std::uint8_t> source) {
  // The copy is taken a block at a time, and each block validated and hashed
  // while it is still in the cache: one pass over memory instead of four. It
  // is ours to overwrite, so line endings are normalised inside it.
  constexpr std::size_t kBlock = 256 * 1024;
  detail::OwnedCopy copy(source.data(), source.size());
  TemplateHasher hasher(TemplateHasher::WithoutLines{});
  for (std::size_t at = 0; at < source.size(); at += kBlock) {
    const std::size_t length = std::min(kBlock, source.size() - at);
    if (!hasher.update_in_place({copy.block(at, length), length})) return std::unexpected(ShaError::InvalidUtf8);
  }
  const auto digest = hasher.digest();
  if (!digest) return std::unexpected(ShaError::InvalidUtf8);
  return *digest;
}

}  // namespace vela_sha
