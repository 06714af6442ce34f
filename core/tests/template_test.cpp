#include "vela_sha/template_hasher.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kernel_sets.hpp"
#include "reference.hpp"
#include "text.hpp"
#include "vectors.hpp"

namespace vela_sha {
namespace {

using testing::Bytes;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

bool reference_valid(const Bytes& b) { return testing::reference_valid_utf8(b); }

using testing::for_each_kernel_set;

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

TEST(Utf8, PublicDecoderCases) {
  const auto cases = testing::read_utf8_cases();
  ASSERT_EQ(cases.size(), 222u);
  // Each case alone, and again behind ASCII padding so the vector kernel meets
  // it in the middle of a block and across a block boundary.
  for (const auto& c : cases) {
    ASSERT_EQ(reference_valid(c.bytes), c.valid) << c.id;
    EXPECT_EQ(calculate_hash(c.bytes).has_value(), c.valid) << c.id;
    for (std::size_t pad : {0u, 1u, 31u, 62u, 63u, 64u, 100u}) {
      Bytes padded(pad, 'x');
      padded.insert(padded.end(), c.bytes.begin(), c.bytes.end());
      padded.resize(padded.size() + 70, 'y');
      for_each_kernel_set([&](const char* name) {
        EXPECT_EQ(text::valid_utf8(padded.data(), padded.size()), c.valid) << c.id << " " << name << " pad " << pad;
        EXPECT_EQ(text::valid_utf8(padded.data(), padded.size() - 70), c.valid) << c.id << " " << name;
      });
    }
  }
}

TEST(Utf8, MutationsAgreeWithReference) {
  // Valid text of every sequence length; every single-byte change and every
  // truncation must be judged as the reference judges it.
  std::string seed;
  for (int i = 0; i < 3; ++i) seed += "ab\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xED\x9F\xBF\xF4\x8F\xBF\xBF"
                                      "\xEF\xBB\xBF\xE0\xA0\x80\xF0\x90\x80\x80""cd\xDF\xBF";
  const Bytes valid_text = bytes_of(seed);
  ASSERT_TRUE(reference_valid(valid_text));
  const std::uint8_t probes[] = {0x00, 0x0D, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (std::size_t pad : {0u, 17u, 40u}) {
    Bytes text(pad, ' ');
    text.insert(text.end(), valid_text.begin(), valid_text.end());
    for (std::size_t at = 0; at < text.size(); ++at) {
      for (std::uint8_t probe : probes) {
        Bytes mutated = text;
        mutated[at] = probe;
        const bool expected = reference_valid(mutated);
        ASSERT_EQ(text::first_invalid_utf8(mutated.data(), mutated.size()),
                  testing::reference_utf8_error_offset(mutated));
        for_each_kernel_set([&](const char* name) {
          ASSERT_EQ(text::valid_utf8(mutated.data(), mutated.size()), expected)
              << name << " pad " << pad << " at " << at << " byte " << int(probe);
        });
      }
    }
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      const bool expected = reference_valid(Bytes(text.begin(), text.begin() + cut));
      for_each_kernel_set([&](const char* name) {
        ASSERT_EQ(text::valid_utf8(text.data(), cut), expected) << name << " cut " << cut;
      });
    }
  }
}

TEST(Utf8, RandomBytesAgreeWithReference) {
  std::mt19937 rng(20261206);
  std::uniform_int_distribution<int> pick(0, 15);
  // Mostly well-formed pieces with sparse damage, so long runs get past the
  // first block before anything goes wrong.
  const char* pieces[] = {"a", "\r\n", "\xD0\x96", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "  "};
  for (int round = 0; round < 3000; ++round) {
    std::string s;
    const int count = 1 + round % 200;
    for (int i = 0; i < count; ++i) s += pieces[pick(rng) % 6];
    Bytes b = bytes_of(s);
    if (round % 2) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
    const bool expected = reference_valid(b);
    for_each_kernel_set([&](const char* name) {
      ASSERT_EQ(text::valid_utf8(b.data(), b.size()), expected) << name << " round " << round;
    });
  }
}

std::string hex_of(std::string_view text) { return calculate_hash(bytes_of(text))->to_hex(); }

TEST(TemplateHash, LineEndingsNormalise) {
  struct Case {
    std::string_view input, same_as;
  };
  const Case cases[] = {
      {"a\r\nb", "a\nb"},         {"a\rb", "a\nb"},         {"a\r\r\nb", "a\n\nb"},
      {"a\n\rb", "a\n\nb"},       {"a\r", "a\n"},           {"\r", "\n"},
      {"\r\r", "\n\n"},           {"\r\n\r\n", "\n\n"},     {"\n\r\n\r", "\n\n\n"},
      {"\xEF\xBB\xBFx\r\n", "\xEF\xBB\xBFx\n"},
      {"\xD0\x96\r\xE4\xB8\xAD\r\n", "\xD0\x96\n\xE4\xB8\xAD\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex_of(c.input), hex_of(c.same_as)) << c.input;
}

TEST(TemplateHash, NothingElseChanges) {
  // Each pair must differ: the final line end, a BOM, trailing blanks and
  // other "line breaks" are all part of the text.
  const std::pair<std::string_view, std::string_view> pairs[] = {
      {"a\n", "a"},
      {"\xEF\xBB\xBF" "a", "a"},
      {"a \n", "a\n"},
      {"a\xC2\x85" "b", "a\nb"},
      {"a\xE2\x80\xA8" "b", "a\nb"},
      {std::string_view("a\0b", 3), "ab"},
  };
  for (const auto& [a, b] : pairs) EXPECT_NE(hex_of(a), hex_of(b)) << a;
  // Text without CR is hashed exactly as given.
  EXPECT_EQ(hex_of("a\xE2\x80\xA8" "b"), digest_to_hex(sha256(bytes_of("a\xE2\x80\xA8" "b"))));
  EXPECT_EQ(hex_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

using testing::reference_normalise;

TEST(TemplateHash, NormaliserMatchesTwoStepRule) {
  std::mt19937 rng(7);
  const std::uint8_t alphabet[] = {'\r', '\n', 'a', 0xD0, 0x96};
  for (int round = 0; round < 5000; ++round) {
    // Sparse and dense CRs, and lengths around the 64-byte step.
    Bytes in(rng() % 300);
    for (auto& b : in) b = alphabet[rng() % (round % 3 ? 5 : 3)];
    if (round % 7 == 0) for (auto& b : in) b = rng() % 50 ? 'x' : '\r';
    const Bytes expected = reference_normalise(in);
    for_each_kernel_set([&](const char* name) {
      Bytes out = in;
      out.resize(text::normalise_line_endings(out.data(), out.size()));
      ASSERT_EQ(out, expected) << name << " round " << round;
    });
  }
}

TEST(TemplateHash, InvalidUtf8IsRejectedWithOrWithoutCr) {
  for (std::string_view bad : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "a\r\n\xFF", "\xF4\x90\x80\x80"}) {
    const auto result = calculate_hash(bytes_of(bad));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), ShaError::InvalidUtf8);
  }
  EXPECT_EQ(message(ShaError::InvalidUtf8),
            "text-file bytes are not valid UTF-8; encode the source as UTF-8 before hashing");
}

TEST(HexCodec, RoundTripsAndCase) {
  Sha256Bytes zero{};
  EXPECT_EQ(digest_to_hex(zero), std::string(64, '0'));
  Sha256Bytes ten{};
  ten[0] = 10;
  ten[31] = 0xAB;
  EXPECT_EQ(digest_to_hex(ten), "0a" + std::string(60, '0') + "ab");

  const std::string upper = "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";
  const auto parsed = TemplateSha256::from_hex(upper);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, *calculate_hash({}));
  EXPECT_EQ(parsed->to_hex(), hex_of(""));
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
