#include "vela_sha/composition.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <random>
#include <vector>

#include "composition_reference.hpp"
#include "siphash.hpp"

namespace vela_sha {
namespace {

constexpr auto stream_of = testing::reference_stream;

CanonicalSource path(std::string_view text) { return *CanonicalTemplatePath::try_from(std::string(text)); }
CanonicalSource url(std::string_view text) { return *CanonicalSourceUrl::try_from(std::string(text)); }

ResolvedTemplateNode node(CanonicalSource source, std::uint8_t seed = 0) {
  Sha256Bytes bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed + i);
  return {std::move(source), TemplateSha256(bytes)};
}

ResolvedTemplateManifest random_manifest(std::mt19937& rng, std::size_t nodes, std::size_t edges,
                                         std::size_t max_text) {
  ResolvedTemplateManifest manifest;
  for (std::size_t i = 0; i < nodes; ++i) {
    std::string text = "n" + std::to_string(i) + "/" + std::string(rng() % max_text, "abé"[rng() % 3]);
    if (text.back() == '\xC3') text.pop_back();
    manifest.nodes.push_back(node(rng() % 2 ? path(text) : url(text), static_cast<std::uint8_t>(i)));
  }
  for (std::size_t i = 0; i < edges && nodes > 0; ++i) {
    const auto& parent = manifest.nodes[rng() % nodes].source;
    const auto& child = manifest.nodes[rng() % nodes].source;
    manifest.edges.push_back({parent, child, static_cast<std::uint32_t>(rng())});
  }
  return manifest;
}

// The schema is this entry's own check, made before any record is looked at. The hasher's errors, their
// order and texts are the Python binding's (tests/test_composition.py), which hashes through the hasher.
TEST(CompositionHash, SchemaComesFirst) {
  const auto v2 = static_cast<ManifestSchemaVersion::Value>(2);
  const ResolvedTemplateManifest manifest{v2, {node(url("a")), node(url("a"))}, {{path("x"), path("y"), 0}}};
  EXPECT_EQ(calculate_composition_hash(manifest).error(), CompositionError::UnsupportedSchema);
  EXPECT_EQ(message(CompositionError::UnsupportedSchema),
            "unsupported resolved manifest schema; provide ManifestSchemaVersion::V1");
}

// The manifest handed to a CompositionHasher record by record: `extra_nodes`
// announced beyond those that come, `recount_at` the edge before which the
// edges start over uncounted (those already added are added again),
// `by_handle` every edge endpoint named by its node's handle.
struct Feeding {
  std::size_t extra_nodes = 0;
  std::optional<std::size_t> recount_at;
  bool by_handle = false;
};

std::expected<CompositionSha256, CompositionError> feed(const ResolvedTemplateManifest& manifest,
                                                        const Feeding& how) {
  auto text = [](const CanonicalSource& source) { return SourceText{source.member(), source.text()}; };
  CompositionHasher hasher(manifest.nodes.size() + how.extra_nodes);
  std::vector<NodeHandle> handles;
  for (const auto& node : manifest.nodes) handles.push_back(hasher.add_node(text(node.source), node.sha256));
  auto endpoint = [&](const CanonicalSource& source) -> Endpoint {
    if (!how.by_handle) return text(source);
    for (std::size_t i = 0; i < manifest.nodes.size(); ++i) {
      if (manifest.nodes[i].source == source) return handles[i];
    }
    return text(source);
  };
  auto add = [&](std::size_t i) {
    const auto& e = manifest.edges[i];
    hasher.add_edge(endpoint(e.parent), endpoint(e.child), e.occurrence);
  };
  // A recount may announce more edges than come, as a list that shrinks does.
  hasher.begin_edges(manifest.edges.size() + (how.recount_at ? 5 : 0));
  for (std::size_t i = 0; i <= manifest.edges.size(); ++i) {
    if (how.recount_at == i) {
      hasher.recount_edges();
      for (std::size_t j = 0; j < i; ++j) add(j);
    }
    if (i < manifest.edges.size()) add(i);
  }
  return hasher.finish();
}

// Both ways of hashing: on a thread of the stream's own (from 2,048 records)
// and on the caller's, whatever the machine's load.
class HelperThreads : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { setenv("VELA_SHA_HELPER_THREADS", GetParam(), 1); }
  void TearDown() override { unsetenv("VELA_SHA_HELPER_THREADS"); }
};
INSTANTIATE_TEST_SUITE_P(OnAndOff, HelperThreads, ::testing::Values("on", "off"));

// Small texts are batched, texts beyond a node chunk or the edge staging go through whole; the
// digest is the reference stream's whatever the source set's key.
TEST_P(HelperThreads, HasherGivesTheDigestOfTheRecordsThatCame) {
  std::mt19937 rng(9);
  for (const auto& [nodes, text] : {std::pair<std::size_t, std::size_t>{1, 4}, {4, 20000}, {40, 60}, {3000, 60}}) {
    auto manifest = random_manifest(rng, nodes, 2 * nodes + 10, text);
    manifest.nodes.push_back(node(path(std::string(300 * 1024, 'z')), 3));
    manifest.edges.push_back({manifest.nodes.back().source, manifest.nodes[0].source, 7});
    manifest.edges.push_back({manifest.nodes[0].source, manifest.nodes.back().source, 8});
    const auto expected = calculate_composition_hash(manifest);
    ASSERT_TRUE(expected.has_value());
    ASSERT_EQ(expected->bytes(), sha256(stream_of(manifest)));
    for (std::uint64_t k : {0ULL, ~0ULL}) EXPECT_EQ(calculate_composition_hash(manifest, {k, k * 3}), expected);
    const std::size_t edges = manifest.edges.size();
    const Feeding cases[] = {
        {0, std::nullopt, false}, {0, std::nullopt, true}, {3, std::nullopt, false},
        {3, 0, false},            {0, edges / 2, false},   {0, edges, true},
    };
    for (const auto& how : cases) {
      EXPECT_EQ(feed(manifest, how), expected)
          << nodes << " " << how.extra_nodes << " " << how.recount_at.value_or(~0u) << " " << how.by_handle;
    }
  }
  // Errors come out the same way; a hasher nested in another has memory of its own.
  const auto manifest = random_manifest(rng, 40, 90, 60);
  auto duplicate = manifest;
  duplicate.nodes.push_back(duplicate.nodes[5]);
  auto unknown = manifest;
  unknown.edges.push_back({path("nowhere"), manifest.nodes[0].source, 0});
  CompositionHasher outer(1);
  EXPECT_EQ(feed(duplicate, {0, 4, false}).error(), CompositionError::DuplicateSource);
  EXPECT_EQ(feed(unknown, {3, 0, false}).error(), CompositionError::UnknownEdgeEndpoint);
  outer.begin_edges(0);
  EXPECT_EQ(outer.finish(), calculate_composition_hash(ResolvedTemplateManifest{}));
}

// SipHash-2-4 reference values from the SipHash paper (Appendix A) and the
// reference implementation's vectors.h: key 00..0f, message 00..(n-1). The
// set uses the 1-3 variant of the same code.
TEST(SipHash, ReferenceVectors) {
  const detail::SipKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  std::string message;
  EXPECT_EQ((detail::siphash<2, 4>(key, message)), 0x726fdb47dd0e0e31ULL);
  for (char c = 0; c < 15; ++c) message += c;
  EXPECT_EQ((detail::siphash<2, 4>(key, message)), 0xa129ca6149be45e5ULL);
}

TEST(SipHash, LanesGiveWhatOneAtATimeGives) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 2000; ++round) {
    detail::SipKey keys[4];
    std::string texts[4];
    const char* pointers[4];
    std::size_t sizes[4];
    for (int l = 0; l < 4; ++l) {
      keys[l] = {rng(), rng()};
      texts[l].resize(round % 7 == 0 ? rng() % 200 : 40 + rng() % 12);
      for (auto& c : texts[l]) c = static_cast<char>(rng());
      pointers[l] = texts[l].data();
      sizes[l] = texts[l].size();
    }
    std::uint64_t one[4], lanes[4], dispatched[4], vector[4];
    for (int l = 0; l < 4; ++l) one[l] = detail::siphash<1, 3>(keys[l], texts[l]);
    detail::siphash_lanes<1, 3>(keys, pointers, sizes, lanes);
    detail::siphash13_x4(keys, pointers, sizes, dispatched);
    ASSERT_EQ(std::to_array(lanes), std::to_array(one)) << round;
    ASSERT_EQ(std::to_array(dispatched), std::to_array(one)) << round;
    if (detail::avx512_siphash_available()) {
      detail::siphash13_x4_avx512(keys, pointers, sizes, vector);
      ASSERT_EQ(std::to_array(vector), std::to_array(one)) << round;
    }
  }
}

}  // namespace
}  // namespace vela_sha
