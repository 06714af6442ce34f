#include "vela_sha/digest.hpp"

#include <array>

namespace vela_sha {
namespace {

constexpr std::array<char, 512> kHexPairs = [] {
  constexpr char digits[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (int byte = 0; byte < 256; ++byte) {
    pairs[2 * byte] = digits[byte >> 4];
    pairs[2 * byte + 1] = digits[byte & 0xF];
  }
  return pairs;
}();

constexpr std::uint8_t kNotHex = 0xFF;

constexpr std::array<std::uint8_t, 256> kHexValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotHex);
  for (int d = 0; d < 10; ++d) values['0' + d] = static_cast<std::uint8_t>(d);
  for (int d = 0; d < 6; ++d) {
    values['a' + d] = static_cast<std::uint8_t>(10 + d);
    values['A' + d] = static_cast<std::uint8_t>(10 + d);
  }
  return values;
}();

}  // namespace

void digest_to_hex(const Sha256Bytes& bytes, char* out) noexcept {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kHexPairs[2 * bytes[i]];
    out[2 * i + 1] = kHexPairs[2 * bytes[i] + 1];
  }
}

std::string digest_to_hex(const Sha256Bytes& bytes) {
  std::string text(64, '\0');
  digest_to_hex(bytes, text.data());
  return text;
}

bool digest_from_hex(std::string_view text, Sha256Bytes& out) noexcept {
  if (text.size() != 64) return false;
  std::uint8_t seen = 0;  // OR of every value: kNotHex shows through
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint8_t high = kHexValues[static_cast<unsigned char>(text[2 * i])];
    const std::uint8_t low = kHexValues[static_cast<unsigned char>(text[2 * i + 1])];
    seen |= high | low;
    out[i] = static_cast<std::uint8_t>(high << 4 | (low & 0xF));
  }
  return (seen & 0xF0) == 0;
}

}  // namespace vela_sha
