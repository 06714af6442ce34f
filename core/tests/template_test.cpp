// The template digest and its kernels against the plain references, and the
// digest's text form.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "every_way.hpp"
#include "text.hpp"
#include "vectors.hpp"

namespace vela_sha {
namespace {

using testing::Bytes;
using testing::disagreement;
using testing::for_each_kernel_set;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(KernelSets, NamedAndCappedAtTheCpu) {
  using detail::KernelSet;
  EXPECT_EQ(detail::kernel_set_named("portable"), KernelSet::Portable);
  EXPECT_EQ(detail::kernel_set_named("avx2"), KernelSet::Avx2);
  EXPECT_EQ(detail::kernel_set_named("avx512"), KernelSet::Avx512);
  EXPECT_EQ(detail::kernel_set_named("AVX2"), std::nullopt);
  const KernelSet before = detail::use_kernel_set(KernelSet::Avx512);
  EXPECT_EQ(detail::kernel_set(), detail::widest_kernel_set());
  detail::use_kernel_set(KernelSet::Portable);
  EXPECT_EQ(detail::kernel_set(), KernelSet::Portable);
  detail::use_kernel_set(before);
}

// Every edge UTF-8 and line endings have: each valid length at its extremes,
// every truncation of a longer sequence, every overlong form, surrogates,
// values past U+10FFFF, bytes that start nothing, and CR and LF mixed.
const char* const kEdges[] = {
    "\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF",
    "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xC2", "\xE0\xA0", "\xE1", "\xF0\x90\x80", "\xF4\x8F", "\xF1",
    "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF",
    "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\x80", "\xBF",
    "\xC2\xC2\x80", "\xE2\x82\x41", "\r\n", "\r", "\r\r\n", "\n\r", "\r\n\xE2\x82\xAC\r",
};

// Each edge at every offset across two vectors, after ASCII and after two-
// and three-byte text (which each kernel takes another way), then followed
// by more text; fed whole and cut right before, inside and after the edge.
TEST(TemplateKernels, EdgesAtEveryOffsetAcrossVectors) {
  for (const char* filler : {"a", "\xD0\xB6", "\xE4\xB8\xAD"}) {
    const std::string unit(filler);
    for (std::size_t offset = 0; offset < 136; offset += unit.size()) {
      std::string prefix;
      while (prefix.size() < offset) prefix += unit;
      for (const char* edge : kEdges) {
        const Bytes text = bytes_of(prefix + edge + unit + "\r\n" + std::string(70, 'z'));
        const std::size_t at = prefix.size(), length = std::string_view(edge).size();
        ASSERT_EQ(disagreement(text, {at, at + length / 2 + 1, at + length}), "")
            << filler << " offset " << offset << " edge " << testing::to_hex(bytes_of(edge));
      }
    }
  }
}

// The same across the edges of the pipeline's blocks and staging, and of the
// pieces the copy is made in.
TEST(TemplateKernels, EdgesAcrossBlocks) {
  for (const std::size_t edge_at : {4096u, 32768u, 256u * 1024}) {
    for (std::size_t back = 0; back <= 5; ++back) {
      std::string prefix;
      for (std::size_t i = 0; prefix.size() + 2 <= edge_at - back; ++i) prefix += i % 61 ? "\xD0\xB6" : "\r\n";
      prefix.resize(edge_at - back, 'a');
      for (const char* edge : kEdges) {
        const Bytes text = bytes_of(prefix + edge + "\r\nz");
        ASSERT_EQ(disagreement(text, {edge_at - 1, edge_at + 1}), "")
            << edge_at << " - " << back << " edge " << testing::to_hex(bytes_of(edge));
      }
    }
  }
}

// The short-text check under every kernel set: a byte from 0x80 up or a CR
// at every place of texts of every length up to a few vectors, and plain text
// of every kind of byte it may hold.
TEST(TemplateKernels, PlainAsciiMarksEveryHighByteAndCr) {
  for_each_kernel_set([&](const char* name) {
    for (std::size_t size = 0; size <= 200; ++size) {
      Bytes text(size);
      for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<std::uint8_t>(i % 128 == '\r' ? 0 : i % 128);
      ASSERT_TRUE(text::plain_ascii(text.data(), size)) << name << " " << size;
      for (std::size_t at = 0; at < size; ++at) {
        const std::uint8_t kept = text[at];
        for (const std::uint8_t mark : {std::uint8_t{0x80}, std::uint8_t{0xFF}, std::uint8_t{'\r'}}) {
          text[at] = mark;
          ASSERT_FALSE(text::plain_ascii(text.data(), size)) << name << " " << size << " at " << at;
        }
        text[at] = kept;
      }
    }
  });
}

TEST(TemplateKernels, PublicDecoderCasesAfterEveryKindOfText) {
  const auto cases = testing::read_utf8_cases();
  ASSERT_EQ(cases.size(), 222u);
  for (const auto& c : cases) {
    ASSERT_EQ(testing::reference_valid_utf8(c.bytes), c.valid) << c.id;
    for (const std::string_view before : {"", "line\r\nline\rline\n", "\xD0\xB6\xD0\xB6 x\r"}) {
      Bytes text = bytes_of(before);
      text.insert(text.end(), c.bytes.begin(), c.bytes.end());
      ASSERT_EQ(disagreement(text, {text.size() / 2}), "") << c.id;
    }
  }
}

TEST(TemplateKernels, RandomTextsInRandomPieces) {
  std::mt19937 rng(20261206);
  const char* pieces[] = {"a", "\r\n", "\r", "\n", "\xD0\x96", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "bcdefgh"};
  for (int round = 0; round < 300; ++round) {
    std::string s;
    // Some texts run past the pipeline's block, so that blocks meet pieces.
    const int count = round % 10 == 0 ? 12000 : 1 + static_cast<int>(rng() % 400);
    for (int i = 0; i < count; ++i) s += pieces[rng() % (round % 4 ? 8 : 4)];
    Bytes text = bytes_of(s);
    if (round % 3 == 0) text[rng() % text.size()] = static_cast<std::uint8_t>(rng());
    std::vector<std::size_t> cuts(rng() % 12);
    for (auto& cut : cuts) cut = rng() % (text.size() + 1);
    std::sort(cuts.begin(), cuts.end());
    ASSERT_EQ(disagreement(text, cuts), "") << "round " << round;
  }
}

TEST(HexCodec, EveryByteAtEveryStepOfTheDecoder) {
  const std::string digits = "0123456789abcdefABCDEF";
  for_each_kernel_set([&](const char* name) {
    for (std::size_t at : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 47u, 48u, 62u, 63u}) {
      for (int byte = 0; byte < 256; ++byte) {
        std::string text(64, '7');
        text[at] = static_cast<char>(byte);
        const auto result = TemplateSha256::from_hex(text);
        const auto expected = digits.find(static_cast<char>(byte));
        ASSERT_EQ(result.has_value(), byte != 0 && expected != std::string::npos) << name << at << " " << byte;
        if (result) {
          const int value = expected < 16 ? static_cast<int>(expected) : static_cast<int>(expected) - 6;
          const int got = at % 2 ? result->bytes()[at / 2] & 0xF : result->bytes()[at / 2] >> 4;
          ASSERT_EQ(got, value) << name << at << " " << byte;
        }
      }
    }
  });
}

TEST(HexCodec, RejectsAnythingButSixtyFourHexDigits) {
  const std::string good(64, 'a');
  const std::string bad[] = {
      std::string(63, 'a'), std::string(65, 'a'), "",
      good.substr(0, 63) + "g", " " + good.substr(1), good.substr(0, 63) + " ",
      "0x" + good.substr(2), good.substr(0, 62) + "\xC3\xA9",
      good.substr(0, 10) + std::string(1, '\0') + good.substr(11),
  };
  for_each_kernel_set([&](const char* name) {
    for (const auto& text : bad) {
      const auto result = TemplateSha256::from_hex(text);
      ASSERT_FALSE(result.has_value()) << name << text;
      EXPECT_EQ(result.error(), ShaError::InvalidDigest);
    }
  });
  EXPECT_EQ(message(ShaError::InvalidDigest),
            "SHA-256 digest must contain exactly 64 hexadecimal characters");
}

}  // namespace
}  // namespace vela_sha
