#include "vela_sha/manifest.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vela_sha {
namespace {

// UTF-8 of one code point.
std::string utf8(char32_t cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  const int tail = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  std::string s(1, static_cast<char>(((0xFF00 >> (tail + 1)) & 0xFF) | cp >> (6 * tail)));
  for (int i = tail - 1; i >= 0; --i) s += static_cast<char>(0x80 | (cp >> (6 * i) & 0x3F));
  return s;
}

TEST(ValidateRepresentation, EveryCodePointAtEveryWordOffset) {
  // The word-at-a-time scan against the rule itself: each code point, placed
  // at each offset within an 8-byte word and at the very end.
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const bool refused = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == '\\';
    const std::string encoded = utf8(cp);
    const int offsets = cp < 0x800 ? 9 : 2;  // the cheap ones everywhere, the rest twice
    for (int offset = 0; offset < offsets; ++offset) {
      const std::string text = std::string(offset, 'p') + encoded + std::string(9 - offset, 's');
      ASSERT_EQ(validate_representation(text).has_value(), !refused) << std::hex << static_cast<std::uint32_t>(cp) << " @" << offset;
    }
    ASSERT_EQ(validate_representation("prefix" + encoded).has_value(), !refused)
        << std::hex << static_cast<std::uint32_t>(cp);
  }
}

TEST(ValidateRepresentation, EveryPositionOfEveryLength) {
  // The block scans (16 bytes, 8 bytes, and the overlapping last block of
  // each) against the rule: one sequence at each position of texts of every
  // length up to a few blocks, a C1 pair also split across a block boundary.
  const std::pair<std::string, bool> inserts[] = {
      {"\t", false}, {"\\", false}, {"\x7F", false}, {utf8(0x85), false}, {utf8(0x9F), false},
      {utf8(0xA0), true}, {"\xC3\xA9", true}, {"~", true},
  };
  for (const auto& [insert, accepted] : inserts) {
    for (std::size_t size = insert.size(); size <= 70; ++size) {
      for (std::size_t at = 0; at + insert.size() <= size; ++at) {
        std::string text(size, 'a');
        text.replace(at, insert.size(), insert);
        ASSERT_EQ(validate_representation(text).has_value(), accepted) << size << " @" << at;
      }
    }
  }
}

// The text is kept as given; a bad one is refused whichever kind it would be. (Identity by kind and text,
// and the refusal's message, are the Python binding's to show: tests/test_composition.py.)
TEST(CanonicalText, KeepsTextExactlyAndRefusesBadText) {
  const auto path = CanonicalTemplatePath::try_from(" a//b/../c ");  // the form is the caller's to choose
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(path->text(), " a//b/../c ");
  EXPECT_FALSE(validate_representation("").has_value());
  EXPECT_EQ(CanonicalSourceUrl::try_from("x\\y").error(), CanonicalSourceError{});
}

TEST(ManifestSchemaVersion, AcceptsExactlyTwoForms) {
  EXPECT_EQ(ManifestSchemaVersion::try_from("v1"), ManifestSchemaVersion::V1);
  EXPECT_EQ(ManifestSchemaVersion::try_from("vela-sha/manifest/v1"), ManifestSchemaVersion::V1);
  EXPECT_EQ(ManifestSchemaVersion::try_from("").error(), ManifestSchemaError::Empty);
  for (std::string_view text : {"V1", " v1", "v1 ", "v1\n", "vela-sha/manifest/v1 ",
                                "\nvela-sha/manifest/v1", "vela-sha/manifest/v2", "VELA-SHA/MANIFEST/V1"}) {
    EXPECT_EQ(ManifestSchemaVersion::try_from(text).error(), ManifestSchemaError::Unsupported) << text;
  }
}

}  // namespace
}  // namespace vela_sha
