// Template hashing against the plain references, under every set of kernels:
// each kernel's scans of the input, after each kind of text before it, as
// its portable twin and the references make them; and every way into the
// digest giving the references' digest or error.
#include <algorithm>

#include "every_way.hpp"
#include "fuzz.hpp"
#include "text.hpp"

using namespace vela_sha;

namespace vela_sha::testing {
namespace {

// reference_utf8_error_offset, but a sequence cut off by the end is no error
// if some bytes after it could still make it valid: where a scan of a text
// that goes on must stop.
std::size_t reference_definite_error_offset(std::span<const std::uint8_t> b) {
  const std::size_t offset = reference_utf8_error_offset(b);
  if (offset == b.size()) return offset;
  const unsigned lead = b[offset];
  const std::size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (offset + n <= b.size() || n == 1) return offset;  // not cut off
  // The code points the bytes there allow: the rest all 80, or all BF.
  std::uint32_t low = lead & (0x7F >> n), high = low;
  for (std::size_t k = 1; k < n; ++k) {
    const bool have = offset + k < b.size();
    if (have && (b[offset + k] & 0xC0) != 0x80) return offset;
    low = low << 6 | (have ? b[offset + k] & 0x3F : 0x00);
    high = high << 6 | (have ? b[offset + k] & 0x3F : 0x3F);
  }
  const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool none = high < smallest[n] || low > 0x10FFFF || (low >= 0xD800 && high <= 0xDFFF) || lead > 0xF4;
  return none ? offset : b.size();
}

// What text::scan made of a block, a scan at a time as a caller goes on.
struct Scans {
  bool valid = true;
  std::ptrdiff_t error = 0;  // where the first invalid sequence begins, placed as the pipeline places it
  std::vector<std::uint8_t> text;  // normalised
  std::uint64_t line_endings = 0;
  std::uint32_t tail = 0;
  friend bool operator==(const Scans&, const Scans&) = default;
};

Scans scans(std::span<const std::uint8_t> block, text::Tail tail, text::Output output, std::size_t room) {
  Scans result;
  std::vector<std::uint8_t> in(block.begin(), block.end()), out(std::max(room, block.size()));
  std::size_t at = 0;
  while (at < in.size()) {
    std::uint8_t* to = output == text::Output::InPlace ? in.data() + at : out.data();
    const text::Scanned scanned = text::scan({in.data() + at, in.size() - at, to, room, output, true}, tail);
    result.text.insert(result.text.end(), in.begin() + static_cast<std::ptrdiff_t>(at),
                       in.begin() + static_cast<std::ptrdiff_t>(at + scanned.kept));
    const std::uint8_t* written = output == text::Output::InPlace ? to + scanned.kept : to;
    result.text.insert(result.text.end(), written, written + scanned.written);
    result.line_endings += scanned.line_endings;
    at += scanned.read;
    if (!scanned.valid) {
      result.valid = false;
      result.error = static_cast<std::ptrdiff_t>(at) + text::find_invalid_utf8(in.data() + at, in.size() - at, tail);
      break;
    }
  }
  result.tail = tail.bytes;
  return result;
}

// The first kernel set whose scans of `block` after `tail` (the last three
// bytes before it; zeros stand for none) differ from its portable twin's or
// the references' in any way of output ("" if none does).
std::string scan_disagreement(std::span<const std::uint8_t> block, std::uint32_t tail) {
  std::vector<std::uint8_t> whole = {static_cast<std::uint8_t>(tail >> 8), static_cast<std::uint8_t>(tail >> 16),
                                     static_cast<std::uint8_t>(tail >> 24)};
  const std::vector<std::uint8_t> before = reference_normalise(whole);
  const std::uint64_t endings_before = reference_line_of(whole, 3);
  whole.insert(whole.end(), block.begin(), block.end());
  Scans expected;
  expected.error = static_cast<std::ptrdiff_t>(reference_definite_error_offset(whole)) - 3;
  expected.valid = expected.error == static_cast<std::ptrdiff_t>(block.size());
  if (expected.valid) {
    expected.error = 0;
    const std::vector<std::uint8_t> all = reference_normalise(whole);
    expected.text.assign(all.begin() + static_cast<std::ptrdiff_t>(before.size()), all.end());
    expected.line_endings = reference_line_of(whole, whole.size()) - endings_before;
    const std::size_t n = whole.size();
    expected.tail = std::uint32_t{whole[n - 3]} << 8 | std::uint32_t{whole[n - 2]} << 16 | std::uint32_t{whole[n - 1]} << 24;
  }
  std::string found;
  const std::pair<text::Output, std::size_t> ways[] = {
      {text::Output::InPlace, 0}, {text::Output::Copy, 0}, {text::Output::Staging, 64}, {text::Output::Staging, 4096}};
  std::vector<Scans> twins;
  for_each_kernel_set([&](const char* set) {
    for (std::size_t w = 0; w < std::size(ways); ++w) {
      Scans got = scans(block, text::Tail{tail}, ways[w].first, ways[w].second);
      if (!got.valid) got.text.clear(), got.line_endings = 0, got.tail = 0;  // only the error counts then
      if (twins.size() <= w) twins.push_back(got);  // the portable kernel's
      if (found.empty() && (got != expected || got != twins[w])) {
        found = std::string(set) + " way " + std::to_string(w) + (got != twins[w] ? " differs from portable" : "");
      }
    }
  });
  return found;
}

}  // namespace
}  // namespace vela_sha::testing

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
  const bool plain = std::all_of(data, data + size, [](std::uint8_t byte) { return byte < 0x80 && byte != '\r'; });
  testing::for_each_kernel_set([&](const char* set) {
    const bool said = text::plain_ascii(data, size);
    if (said != plain) std::fprintf(stderr, "plain_ascii, %s\n", set);
    FUZZ_CHECK(said == plain);
  });
  const std::string differs = testing::disagreement(input, {size / 3, size - size / 4});
  if (!differs.empty()) std::fprintf(stderr, "%s\n", differs.c_str());
  FUZZ_CHECK(differs.empty());
  return 0;
}
