#include "vela_sha/file.hpp"

#include <cstring>
#include <memory>
#include <ostream>

#include "text.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vela_sha {

namespace text {

std::size_t normalise_line_endings(const std::uint8_t* data, std::size_t size,
                                   std::uint8_t* out) noexcept {
  std::uint8_t* const start = out;
  std::size_t i = 0;
  // After a CR the next byte is examined afresh, so CR CR LF gives LF LF.
  auto take_cr = [&] {
    *out++ = '\n';
    ++i;
    if (i < size && data[i] == '\n') ++i;
  };
#if defined(__SSE2__)
  // Copy 32 bytes at a time; where a block holds a CR, keep the bytes before
  // it, write LF for it and carry on from the byte after. Stores may run past
  // the bytes kept, but never past `out + size`, as `out` never passes `i`.
  const __m128i cr = _mm_set1_epi8('\r');
  while (i + 32 <= size) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), b);
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, cr))) |
                          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, cr))) << 16;
    if (mask == 0) {
      out += 32;
      i += 32;
      continue;
    }
    const unsigned kept = static_cast<unsigned>(__builtin_ctz(mask));
    out += kept;
    i += kept;
    take_cr();
  }
#endif
  while (i < size) {
    const void* found = std::memchr(data + i, '\r', size - i);
    const std::size_t next =
        found ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data) : size;
    std::memcpy(out, data + i, next - i);
    out += next - i;
    i = next;
    if (i < size) take_cr();
  }
  return static_cast<std::size_t>(out - start);
}

}  // namespace text

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

std::expected<TemplateSha256, ShaError> calculate_hash(std::span<const std::uint8_t> bytes) {
  if (!text::valid_utf8(bytes.data(), bytes.size())) {
    return std::unexpected(ShaError::InvalidUtf8);
  }
  if (bytes.empty() || std::memchr(bytes.data(), '\r', bytes.size()) == nullptr) {
    return TemplateSha256(sha256(bytes));
  }
  // Uninitialised on purpose: every byte hashed is written first.
  const auto normalised = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size());
  const std::size_t length =
      text::normalise_line_endings(bytes.data(), bytes.size(), normalised.get());
  return TemplateSha256(sha256({normalised.get(), length}));
}

}  // namespace vela_sha
