#include "vela_sha/template_hasher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "kernel_sets.hpp"
#include "reference.hpp"
#include "text.hpp"
#include "vectors.hpp"

namespace vela_sha {
namespace {

using testing::Bytes;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

// What the references say of the whole text.
std::expected<TemplateSha256, Utf8Error> expected_of(const Bytes& text) {
  const std::size_t offset = testing::reference_utf8_error_offset(text);
  if (offset < text.size()) return std::unexpected(Utf8Error{offset, testing::reference_line_of(text, offset)});
  return TemplateSha256(testing::reference_digest(text));
}

// Feeds `text` cut at `cuts` (ascending offsets), alternating the copying and
// the in-place entry points, and returns the final digest or the first error.
// A hasher without line counts gives the same, with line 0.
std::expected<TemplateSha256, Utf8Error> fed_in_pieces(const Bytes& text, const std::vector<std::size_t>& cuts,
                                                       bool count_lines = true) {
  TemplateHasher hasher = count_lines ? TemplateHasher() : TemplateHasher(TemplateHasher::WithoutLines{});
  std::size_t from = 0;
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    const std::size_t to = k < cuts.size() ? cuts[k] : text.size();
    Bytes piece(text.begin() + static_cast<std::ptrdiff_t>(from), text.begin() + static_cast<std::ptrdiff_t>(to));
    const auto fed = k % 2 ? hasher.update_in_place(piece) : hasher.update(piece);
    if (!fed) {
      // Failed for good: later pieces and the digest give the same error.
      EXPECT_EQ(hasher.update(bytes_of("ok")).error(), fed.error());
      EXPECT_EQ(hasher.digest().error(), fed.error());
      return std::unexpected(fed.error());
    }
    from = to;
  }
  return hasher.digest();
}

// Short texts built to put every boundary case at a split point: CR LF pairs
// and lone CRs, each length of sequence, and each kind of invalid sequence.
const char* const kShortTexts[] = {
    "a\r\nb\rc\n",      "\r\r\n\n\r",        "x\xD0\x96\r\n\xE4\xB8\xAD\xF0\x9F\x98\x80\r",
    "\r\n\xE2\x82\xAC", "ab\xE2\x82",        "a\r\n\xE2\x82\x41",
    "\xF0\x9F\x98",     "a\r\r\xED\xA0\x80", "\n\xC0\xAF\r\n",
    "ok\r\n\xF4\x90\x80\x80", "\x80",        "a\rb\xF5",
    "\xE0\x80\x80",     "\xEF\xBB\xBF\r",    "\xC2\xC2\x80",
};

TEST(TemplateHasher, EveryTwoAndThreeWaySplitOfShortTexts) {
  for (const char* text_chars : kShortTexts) {
    const Bytes text = bytes_of(text_chars);
    const auto expected = expected_of(text);
    EXPECT_EQ(fed_in_pieces(text, {}), expected) << text_chars;
    for (std::size_t a = 0; a <= text.size(); ++a) {
      EXPECT_EQ(fed_in_pieces(text, {a}), expected) << text_chars << " at " << a;
      for (std::size_t b = a; b <= text.size(); ++b) {
        ASSERT_EQ(fed_in_pieces(text, {a, b}), expected) << text_chars << " at " << a << ", " << b;
      }
    }
  }
}

TEST(TemplateHasher, RandomTextsInRandomPieces) {
  std::mt19937 rng(20261206);
  const char* pieces[] = {"a", "\r\n", "\r", "\n", "\xD0\x96", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "bcdefgh"};
  for (int round = 0; round < 400; ++round) {
    std::string s;
    // Some texts run past the internal block size, so blocks meet pieces.
    const int count = round % 10 == 0 ? 30000 : 1 + static_cast<int>(rng() % 400);
    for (int i = 0; i < count; ++i) s += pieces[rng() % 8];
    Bytes text = bytes_of(s);
    if (round % 3 == 0) text[rng() % text.size()] = static_cast<std::uint8_t>(rng());
    std::vector<std::size_t> cuts(rng() % 12);
    for (auto& cut : cuts) cut = rng() % (text.size() + 1);
    std::sort(cuts.begin(), cuts.end());
    const auto expected = expected_of(text);
    ASSERT_EQ(fed_in_pieces(text, cuts), expected) << "round " << round;
    const auto uncounted = fed_in_pieces(text, cuts, false);
    if (expected) {
      ASSERT_EQ(uncounted, expected) << "round " << round;
    } else {
      ASSERT_EQ(uncounted.error(), (Utf8Error{expected.error().offset, 0})) << "round " << round;
    }
  }
}

TEST(TemplateHasher, LineEndingsAcrossInternalBlocksAndStagingPieces) {
  // CR LF, CR CR LF and lone CRs placed to straddle every internal boundary
  // (4 KiB staging pieces, 32 KiB blocks), after long plain ASCII runs, in one
  // piece and in several.
  for (const std::size_t boundary : {4096u, 8192u, 32768u, 65536u}) {
    for (const std::string_view ending : {"\r\n", "\r\r\n", "\r", "\n\r"}) {
      for (std::size_t before = 0; before < ending.size() + 1; ++before) {
        std::string text(boundary - before, 'x');
        text += ending;
        text += std::string(5000, 'y') + "\r";
        const Bytes bytes = bytes_of(text);
        ASSERT_EQ(fed_in_pieces(bytes, {}), expected_of(bytes)) << boundary << " " << before;
        ASSERT_EQ(fed_in_pieces(bytes, {boundary}), expected_of(bytes)) << boundary << " " << before;
        // Without line counts, plain ASCII blocks skip validation: the same digest.
        ASSERT_EQ(fed_in_pieces(bytes, {boundary - 1}, false), expected_of(bytes)) << boundary << " " << before;
      }
    }
  }
}

TEST(TemplateHasher, DigestMidwayAndGoingOn) {
  // At every point the digest is that of the text so far, a final CR reading
  // as a line ending, and asking changes nothing that follows.
  const Bytes text = bytes_of("a\r\nb\r\rc\xE2\x82\xAC\r");
  TemplateHasher hasher;
  for (std::size_t i = 0; i < text.size(); ++i) {
    ASSERT_TRUE(hasher.update({&text[i], 1}));
    const Bytes prefix(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(i + 1));
    EXPECT_EQ(hasher.digest(), expected_of(prefix)) << i;
    const TemplateHasher copy = hasher;
    EXPECT_EQ(copy.digest(), hasher.digest());
  }
  EXPECT_EQ(hasher.size(), text.size());
  // A cut-off sequence is an error of the text so far but does not fail the hasher.
  TemplateHasher open;
  ASSERT_TRUE(open.update(bytes_of("x\n\xE2\x82")));
  EXPECT_EQ(open.digest().error(), (Utf8Error{2, 2}));
  ASSERT_TRUE(open.update(bytes_of("\xAC")));
  EXPECT_EQ(open.digest().value(), calculate_hash(bytes_of("x\n\xE2\x82\xAC")).value());
}

TEST(TemplateHasher, ErrorPositionsOfPublicDecoderCases) {
  for (const auto& c : testing::read_utf8_cases()) {
    Bytes text = bytes_of("line\r\nline\rline\n");
    text.insert(text.end(), c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(fed_in_pieces(text, {text.size() / 2}), expected_of(text)) << c.id;
  }
}

TEST(LineCount, KernelsAgreeWithCounting) {
  std::mt19937 rng(5);
  for (int round = 0; round < 2000; ++round) {
    Bytes text(rng() % 20000);
    for (auto& b : text) b = "\r\nab"[rng() % (round % 2 ? 4 : 2)];
    // Mostly plain ASCII, with one CR or one high byte somewhere, or none.
    Bytes plain(rng() % 5000, 'x');
    if (!plain.empty() && round % 3) plain[rng() % plain.size()] = round % 3 == 1 ? '\r' : 0x80;
    const bool expected_plain = std::none_of(plain.begin(), plain.end(), [](auto b) { return b == '\r' || b >= 0x80; });
    text::LineBytes expected;
    for (auto b : text) expected.lf += b == '\n', expected.cr += b == '\r';
    testing::for_each_kernel_set([&](const char*) {
      ASSERT_EQ(text::plain_ascii(plain.data(), plain.size()), expected_plain) << round;
      const auto got = text::count_line_bytes(text.data(), text.size());
      ASSERT_EQ(got.lf, expected.lf) << round;
      ASSERT_EQ(got.cr, expected.cr) << round;
    });
  }
}

}  // namespace
}  // namespace vela_sha
