#include "vela_sha/digest.hpp"

#include <array>

#include "kernel_set.hpp"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

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

// The portable decoder's table; the SSE2 one computes the values instead.
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

bool hex_pairs_portable(const char* text, Sha256Bytes& out) noexcept {
  std::uint8_t seen = 0;  // OR of every value: kNotHex shows through
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint8_t high = kHexValues[static_cast<unsigned char>(text[2 * i])];
    const std::uint8_t low = kHexValues[static_cast<unsigned char>(text[2 * i + 1])];
    seen |= high | low;
    out[i] = static_cast<std::uint8_t>(high << 4 | (low & 0xF));
  }
  return (seen & 0xF0) == 0;
}

#if defined(__x86_64__)
// 16 characters a step: a digit is c - '0' <= 9; a letter is (c | 0x20) -
// 'a' <= 5, which only A-F and a-f satisfy.
bool hex_pairs_sse2(const char* text, Sha256Bytes& out) noexcept {
  bool valid = true;
  for (std::size_t i = 0; i < 64; i += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i digit = _mm_sub_epi8(c, _mm_set1_epi8('0'));
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
    const __m128i is_letter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    valid &= _mm_movemask_epi8(_mm_or_si128(is_digit, is_letter)) == 0xFFFF;
    const __m128i value = _mm_or_si128(_mm_and_si128(is_digit, digit),
                                       _mm_andnot_si128(is_digit, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    // Each 16-bit lane holds (first digit, second digit); make it one byte.
    const __m128i high = _mm_slli_epi16(_mm_and_si128(value, _mm_set1_epi16(0x00FF)), 4);
    const __m128i pairs = _mm_or_si128(high, _mm_srli_epi16(value, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out.data() + i / 2), _mm_packus_epi16(pairs, pairs));
  }
  return valid;
}
#endif

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
#if defined(__x86_64__)
  // SSE2 is part of x86-64; the portable decoder runs where the vector kernels are held back.
  if (detail::using_kernels(detail::KernelSet::Avx2)) return hex_pairs_sse2(text.data(), out);
#endif
  return hex_pairs_portable(text.data(), out);
}

}  // namespace vela_sha
