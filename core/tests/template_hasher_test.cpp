#include "vela_sha/template_hasher.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "every_way.hpp"
#include "vectors.hpp"

namespace vela_sha {
namespace {

using testing::Bytes;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

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
    for (std::size_t a = 0; a <= text.size(); ++a) {
      for (std::size_t b = a; b <= text.size(); ++b) {
        ASSERT_EQ(testing::disagreement(text, {a, b}), "") << text_chars << " at " << a << ", " << b;
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
    EXPECT_EQ(hasher.digest(), testing::reference_outcome(prefix)) << i;
    const TemplateHasher copy = hasher;
    EXPECT_EQ(copy.digest(), hasher.digest());
  }
  EXPECT_EQ(hasher.size(), text.size());
  testing::for_each_kernel_set([&](const char* set) {
    // A cut-off sequence is an error of the text so far but does not fail
    // the hasher; a byte that can start none fails the piece it ends.
    TemplateHasher open;
    ASSERT_TRUE(open.update(bytes_of("x\n\xE2\x82")));
    EXPECT_EQ(open.digest().error(), (Utf8Error{2, 2, /*unfinished=*/true})) << set;
    ASSERT_TRUE(open.update(bytes_of("\xAC")));
    EXPECT_EQ(open.digest().value(), calculate_hash(bytes_of("x\n\xE2\x82\xAC")).value()) << set;
    for (const char* end : {"\xC0", "\xC1", "\xF5", "\xFF"}) {
      EXPECT_EQ(TemplateHasher().update(bytes_of(std::string(70, 'x') + end)).error(), (Utf8Error{70, 1})) << set;
    }
  });
}

}  // namespace
}  // namespace vela_sha
