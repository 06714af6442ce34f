// Deliberately plain references that the fast kernels are held against, in the
// unit tests and in the fuzz targets.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vela_sha::testing {

// Decodes each sequence to its code point, then applies the rules to the code point.
inline bool reference_valid_utf8(std::span<const std::uint8_t> b) {
  for (std::size_t i = 0; i < b.size();) {
    const unsigned lead = b[i];
    std::size_t n;
    std::uint32_t cp;
    if (lead < 0x80) n = 1, cp = lead;
    else if ((lead & 0xE0) == 0xC0) n = 2, cp = lead & 0x1F;
    else if ((lead & 0xF0) == 0xE0) n = 3, cp = lead & 0x0F;
    else if ((lead & 0xF8) == 0xF0) n = 4, cp = lead & 0x07;
    else return false;
    if (i + n > b.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (b[i + k] & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
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

}  // namespace vela_sha::testing
