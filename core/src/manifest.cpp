#include "vela_sha/manifest.hpp"

#include <cstring>
#include <ostream>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vela_sha {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Non-zero if some byte of `word` is zero (may also flag bytes above one).
constexpr std::uint64_t has_zero(std::uint64_t word) noexcept {
  return (word - kOnes) & ~word & kHighs;
}

// Non-zero if `word` may hold a byte that needs a closer look: below 0x20,
// DEL, a backslash, or C2 (the lead byte of every C1 control).
constexpr std::uint64_t suspicious(std::uint64_t word) noexcept {
  return ((word - 0x20 * kOnes) & ~word & kHighs) | has_zero(word ^ (0x7F * kOnes)) |
         has_zero(word ^ (0x5C * kOnes)) | has_zero(word ^ (0xC2 * kOnes));
}

bool refused_at(const unsigned char* text, std::size_t i, std::size_t size) noexcept {
  const unsigned char byte = text[i];
  if (byte < 0x20 || byte == 0x7F || byte == '\\') return true;
  return byte == 0xC2 && i + 1 < size && text[i + 1] >= 0x80 && text[i + 1] <= 0x9F;
}

// The exact rule at every byte, for the texts the quick pass flagged.
[[gnu::noinline]] bool refused_anywhere(const unsigned char* bytes, std::size_t size) noexcept {
  for (std::size_t i = 0; i < size; ++i) {
    if (refused_at(bytes, i, size)) return true;
  }
  return false;
}

}  // namespace

std::expected<ManifestSchemaVersion, ManifestSchemaError> ManifestSchemaVersion::try_from(
    std::string_view text) noexcept {
  if (text.empty()) return std::unexpected(ManifestSchemaError::Empty);
  if (text == "v1" || text == kV1Identifier) return ManifestSchemaVersion(V1);
  return std::unexpected(ManifestSchemaError::Unsupported);
}

std::string_view message(CanonicalSourceError) noexcept {
  return "invalid canonical source representation; provide a non-empty canonical path or URL "
         "with forward-slash separators and no control characters";
}

std::ostream& operator<<(std::ostream& out, CanonicalSourceError error) {
  return out << message(error);
}

std::expected<void, CanonicalSourceError> validate_representation(std::string_view text) noexcept {
  if (text.empty()) return std::unexpected(CanonicalSourceError{});
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  // A quick pass flags every byte that may be refused (and some that are not);
  // only a text with a flag gets the exact check. The last block overlaps the
  // one before it, so that no byte is left over.
  bool flagged = true;
#if defined(__SSE2__)
  if (size >= 16) {
    // Any byte <= 0x1F, DEL, backslash or C2 (the lead byte of every C1 control).
    auto flags = [bytes](std::size_t at) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
      return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(block, _mm_set1_epi8(0x1F)), block),
                                       _mm_cmpeq_epi8(block, _mm_set1_epi8(0x7F))),
                          _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\\')),
                                       _mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(0xC2)))));
    };
    __m128i any = flags(size - 16);
    for (std::size_t at = 0; at + 16 < size; at += 16) any = _mm_or_si128(any, flags(at));
    flagged = _mm_movemask_epi8(any) != 0;
  } else
#endif
  if (size >= 8) {
    auto flags = [bytes](std::size_t at) {
      std::uint64_t word;
      std::memcpy(&word, bytes + at, 8);
      return suspicious(word);
    };
    std::uint64_t any = flags(size - 8);
    for (std::size_t at = 0; at + 8 < size; at += 8) any |= flags(at);
    flagged = any != 0;
  }
  if (flagged && refused_anywhere(bytes, size)) return std::unexpected(CanonicalSourceError{});
  return {};
}

}  // namespace vela_sha
