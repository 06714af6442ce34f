// Template hashing against the plain reference, under every set of kernels:
// the same verdict and, for valid text, the digest of the two-step normalised
// text, whole and in place.
#include <vector>

#include "fuzz.hpp"
#include "kernel_sets.hpp"
#include "reference.hpp"
#include "text.hpp"
#include "vela_sha/template_hasher.hpp"

using namespace vela_sha;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const bool valid = testing::reference_valid_utf8(input);
  const auto expected_text = testing::reference_normalise(input);
  const Sha256Bytes expected = testing::reference_digest(input);

  testing::for_each_kernel_set([&](const char*) {
    FUZZ_CHECK(text::valid_utf8(data, size) == valid);
    // The normaliser works on any bytes, valid UTF-8 or not.
    std::vector<std::uint8_t> buffer(input.begin(), input.end());
    buffer.resize(text::normalise_line_endings(buffer.data(), buffer.size()));
    FUZZ_CHECK(buffer == expected_text);

    const auto result = calculate_hash(input);
    std::vector<std::uint8_t> copy(input.begin(), input.end());
    TemplateHasher in_place(TemplateHasher::WithoutLines{});
    const bool fed = in_place.update_in_place(copy).has_value();
    FUZZ_CHECK(result.has_value() == valid && (fed && in_place.digest().has_value()) == valid);
    if (valid) {
      FUZZ_CHECK(result->bytes() == expected && in_place.digest()->bytes() == expected);
    } else {
      FUZZ_CHECK(result.error() == ShaError::InvalidUtf8);
    }
  });
  return 0;
}
