// from_hex accepts exactly 64 hexadecimal characters and reads them as the
// plain rule says; to_hex writes them back in lower case; any 32 bytes survive
// a round trip; under every set of kernels.
#include <cctype>
#include <string>
#include <string_view>

#include "fuzz.hpp"
#include "kernel_sets.hpp"
#include "vela_sha/template_sha256.hpp"

using namespace vela_sha;

namespace {

void check(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  bool hex = text.size() == 64;
  for (char c : text) hex = hex && std::isxdigit(static_cast<unsigned char>(c));

  const auto parsed = TemplateSha256::from_hex(text);
  FUZZ_CHECK(parsed.has_value() == hex);
  if (parsed) {
    std::string lower(text);
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    FUZZ_CHECK(parsed->to_hex() == lower);
    for (std::size_t i = 0; i < 32; ++i) {
      const int value = std::stoi(std::string(text.substr(2 * i, 2)), nullptr, 16);
      FUZZ_CHECK(parsed->bytes()[i] == value);
    }
  } else {
    FUZZ_CHECK(parsed.error() == ShaError::InvalidDigest);
  }

  if (size >= 32) {
    Sha256Bytes bytes;
    std::copy(data, data + 32, bytes.begin());
    const auto round_trip = TemplateSha256::from_hex(TemplateSha256(bytes).to_hex());
    FUZZ_CHECK(round_trip.has_value() && round_trip->bytes() == bytes);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  testing::for_each_kernel_set([&](const char*) { check(data, size); });
  return 0;
}
