// Template hashing against the plain references, under every set of kernels:
// each kernel's scans of the input, after each kind of text before it, as
// its portable twin and the references make them; and every way into the
// digest giving the references' digest or error.
#include "every_way.hpp"
#include "fuzz.hpp"

using namespace vela_sha;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  // Nothing before; a CR; an open two-, three- and four-byte sequence; the
  // leads whose second byte has a range of its own.
  for (const std::uint32_t tail : {0x00000000U, 0x0D000000U, 0xC3000000U, 0x82E20000U, 0x989FF000U, 0xE0000000U,
                                   0xED000000U, 0xF4000000U, 0x90F00000U}) {
    const std::string differs = testing::scan_disagreement(input, tail);
    if (!differs.empty()) std::fprintf(stderr, "scan after %08x: %s\n", tail, differs.c_str());
    FUZZ_CHECK(differs.empty());
  }
  const std::string differs = testing::disagreement(input, {size / 3, size - size / 4});
  if (!differs.empty()) std::fprintf(stderr, "%s\n", differs.c_str());
  FUZZ_CHECK(differs.empty());
  return 0;
}
