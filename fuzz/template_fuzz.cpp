// Template hashing against the plain reference: the same verdict and, for valid
// text, the digest of the two-step normalised text (SHA-256 taken straight from
// libcrypto, not through the library's own unit). Every kernel is held to it.
#include <openssl/sha.h>

#include <cstring>
#include <vector>

#include "fuzz.hpp"
#include "reference.hpp"
#include "text.hpp"
#include "vela_sha/file.hpp"

using namespace vela_sha;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const bool valid = testing::reference_valid_utf8(input);

  FUZZ_CHECK(text::valid_utf8_scalar(data, size) == valid);
  if (text::avx2_available()) FUZZ_CHECK(text::valid_utf8_avx2(data, size) == valid);

  const auto result = calculate_hash(input);
  std::vector<std::uint8_t> copy(input.begin(), input.end());
  const auto in_place = calculate_hash_in_place(copy);
  FUZZ_CHECK(result.has_value() == valid && in_place.has_value() == valid);
  if (!valid) {
    FUZZ_CHECK(result.error() == ShaError::InvalidUtf8 && in_place.error() == ShaError::InvalidUtf8);
  }

  // The normalisers work on any bytes, valid UTF-8 or not.
  const auto expected_text = testing::reference_normalise(input);
  for (auto normalise : {text::normalise_line_endings_portable, text::normalise_line_endings_avx512}) {
    if (normalise == text::normalise_line_endings_avx512 && !text::avx512_available()) continue;
    std::vector<std::uint8_t> buffer(input.begin(), input.end());
    buffer.resize(normalise(buffer.data(), buffer.size()));
    FUZZ_CHECK(buffer == expected_text);
  }

  if (valid) {
    Sha256Bytes expected;
    SHA256(expected_text.data(), expected_text.size(), expected.data());
    FUZZ_CHECK(result->bytes() == expected && in_place->bytes() == expected);
  }
  return 0;
}
