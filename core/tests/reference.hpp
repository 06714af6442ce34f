// Deliberately plain references that the fast kernels are held against, in the
// unit tests and in the fuzz targets.
#pragma once

#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vela_sha::testing {

// Decodes each sequence to its code point, then applies the rules to the code
// point. Returns the offset of the first sequence that fails, or the size.
inline std::size_t reference_utf8_error_offset(std::span<const std::uint8_t> b) {
  for (std::size_t i = 0; i < b.size();) {
    const unsigned lead = b[i];
    std::size_t n;
    std::uint32_t cp;
    if (lead < 0x80) n = 1, cp = lead;
    else if ((lead & 0xE0) == 0xC0) n = 2, cp = lead & 0x1F;
    else if ((lead & 0xF0) == 0xE0) n = 3, cp = lead & 0x0F;
    else if ((lead & 0xF8) == 0xF0) n = 4, cp = lead & 0x07;
    else return i;
    // A cut-off sequence fails at its lead byte, but so does one whose
    // available bytes already break a rule: decode what is there.
    const std::size_t have = std::min(n, b.size() - i);
    for (std::size_t k = 1; k < have; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return i;
      cp = cp << 6 | (b[i + k] & 0x3F);
    }
    if (have < n) return i;
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += n;
  }
  return b.size();
}

inline bool reference_valid_utf8(std::span<const std::uint8_t> b) {
  return reference_utf8_error_offset(b) == b.size();
}

// Whether the text ends inside a sequence that starts at `offset` and is valid
// so far: some continuation makes it a whole one.
inline bool reference_unfinished(std::span<const std::uint8_t> b, std::size_t offset) {
  if (offset >= b.size() || b.size() - offset > 3) return false;
  for (unsigned second = 0x80; second <= 0xBF; ++second) {
    for (std::size_t more = 0; more <= 2; ++more) {
      std::vector<std::uint8_t> whole(b.begin() + static_cast<std::ptrdiff_t>(offset), b.end());
      if (whole.size() == 1) whole.push_back(static_cast<std::uint8_t>(second));
      whole.insert(whole.end(), more, 0x80);
      if (reference_valid_utf8(whole)) return true;
    }
  }
  return false;
}

// The 1-based line of byte `offset`: one more than the line endings before it,
// where LF, CR LF and lone CR each count once.
inline std::uint64_t reference_line_of(std::span<const std::uint8_t> b, std::size_t offset) {
  std::uint64_t line = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    if (b[i] == '\r' || (b[i] == '\n' && (i == 0 || b[i - 1] != '\r'))) ++line;
  }
  return line;
}

// Every CR LF becomes LF, then every remaining CR becomes LF.
inline std::vector<std::uint8_t> reference_normalise(std::span<const std::uint8_t> in) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') continue;
    out.push_back(in[i]);
  }
  for (auto& b : out) {
    if (b == '\r') b = '\n';
  }
  return out;
}

// The template digest by its definition: SHA-256 (straight from libcrypto)
// of the normalised text.
inline std::array<std::uint8_t, 32> reference_digest(std::span<const std::uint8_t> text) {
  const std::vector<std::uint8_t> normalised = reference_normalise(text);
  std::array<std::uint8_t, 32> digest;
  SHA256(normalised.data(), normalised.size(), digest.data());
  return digest;
}

}  // namespace vela_sha::testing
