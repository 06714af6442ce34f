#include "vela_sha/composition.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <random>
#include <vector>

#include "composition_reference.hpp"
#include "hashing_thread.hpp"
#include "siphash.hpp"
#include "vectors.hpp"

namespace vela_sha {
namespace {

using testing::Bytes;
using testing::from_hex;

constexpr auto stream_of = testing::reference_stream;

CanonicalSource path(std::string_view text) { return *CanonicalTemplatePath::try_from(std::string(text)); }
CanonicalSource url(std::string_view text) { return *CanonicalSourceUrl::try_from(std::string(text)); }

TemplateSha256 digest_of(std::uint8_t seed) {
  Sha256Bytes bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed + i);
  return TemplateSha256(bytes);
}

ResolvedTemplateNode node(CanonicalSource source, std::uint8_t seed = 0) {
  return {std::move(source), digest_of(seed)};
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes raw(std::uint8_t seed) {
  const Sha256Bytes bytes = digest_of(seed).bytes();
  return Bytes(bytes.begin(), bytes.end());
}

// Streams byte for byte, each hashed to its SHA-256: the empty manifest's 45
// bytes; both kinds, a text of multi-byte characters and the largest occurrence.
TEST(CompositionStream, KnownStreams) {
  const Bytes head = from_hex("0000000000000014 76656c612d7368612f6d616e69666573742f7631 01");
  const ResolvedTemplateManifest empty;
  EXPECT_EQ(stream_of(empty), head + Bytes(16, 0));
  EXPECT_EQ(calculate_composition_hash(empty)->bytes(), sha256(head + Bytes(16, 0)));

  ResolvedTemplateManifest manifest;
  manifest.nodes = {node(url("x/y"), 0x40), node(path("\xC3\xA9")), node(url("bc"))};
  manifest.edges = {{path("\xC3\xA9"), url("bc"), 2}, {path("\xC3\xA9"), path("\xC3\xA9"), 0xFFFFFFFF}};
  const Bytes expected = head + from_hex("0000000000000003 01 0000000000000003 782f79 0000000000000020") +
                         raw(0x40) + from_hex("00 0000000000000002 c3a9 0000000000000020") + raw(0) +
                         from_hex("01 0000000000000002 6263 0000000000000020") + raw(0) +
                         from_hex("0000000000000002 00 0000000000000002 c3a9 01 0000000000000002 6263 00000002"
                                  "00 0000000000000002 c3a9 00 0000000000000002 c3a9 ffffffff");
  EXPECT_EQ(stream_of(manifest), expected);
  EXPECT_EQ(calculate_composition_hash(manifest)->bytes(), sha256(expected));
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

TEST(CompositionHash, ErrorsAndTheirPrecedence) {
  using E = CompositionError;
  struct Case {
    const char* name;
    std::vector<ResolvedTemplateNode> nodes;
    std::vector<ResolvedIncludeEdge> edges;
    std::optional<E> expected;  // none: accepted
    ManifestSchemaVersion schema = ManifestSchemaVersion::V1;
  };
  const Case cases[] = {
      {"edge without nodes", {}, {{path("a"), path("a"), 0}}, E::UnknownEdgeEndpoint},
      {"duplicate despite different digests", {node(path("a"), 1), node(path("a"), 2)}, {}, E::DuplicateSource},
      {"endpoint of the other member", {node(path("a"))}, {{path("a"), url("a"), 0}}, E::UnknownEdgeEndpoint},
      {"duplicate before unknown endpoint", {node(url("a")), node(url("a"))}, {{path("x"), path("y"), 0}},
       E::DuplicateSource},
      {"schema before everything", {node(url("a")), node(url("a"))}, {{path("x"), path("y"), 0}},
       E::UnsupportedSchema, static_cast<ManifestSchemaVersion::Value>(2)},
      {"a self-edge, and one text under both kinds", {node(path("a"), 7), node(url("a"), 7)},
       {{path("a"), url("a"), 1}, {path("a"), path("a"), 0}}, std::nullopt},
  };
  for (const auto& c : cases) {
    const ResolvedTemplateManifest manifest{c.schema, c.nodes, c.edges};
    const auto result = calculate_composition_hash(manifest);
    ASSERT_EQ(result.has_value(), !c.expected) << c.name;
    if (c.expected) {
      EXPECT_EQ(result.error(), *c.expected) << c.name;
    } else {
      EXPECT_EQ(result->bytes(), sha256(stream_of(manifest))) << c.name;
    }
  }
  EXPECT_EQ(message(E::UnsupportedSchema),
            "unsupported resolved manifest schema; provide ManifestSchemaVersion::V1");
  EXPECT_EQ(message(E::DuplicateSource),
            "resolved manifest contains a duplicate source; deduplicate nodes before hashing");
  EXPECT_EQ(message(E::UnknownEdgeEndpoint),
            "resolved manifest edge has an unknown endpoint; include every endpoint in nodes");
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

// Pieces hashed on the thread, in order, while the writer reuses each buffer
// once it has waited for it: the digest is that of the whole.
TEST(HashingThread, HashesThePiecesInOrder) {
  std::mt19937 rng(21);
  std::vector<std::vector<std::uint8_t>> buffers(3, std::vector<std::uint8_t>(70000));
  std::vector<std::optional<std::uint32_t>> pieces(buffers.size());
  Bytes whole;
  Sha256 sha;
  {
    detail::HashingThread hashing(sha);
    for (int i = 0; i < 3000; ++i) {
      const std::size_t b = rng() % buffers.size();
      if (pieces[b]) hashing.wait_for(*pieces[b]);
      const std::size_t size = 1 + (i % 10 == 0 ? rng() % buffers[b].size() : rng() % 200);
      for (std::size_t k = 0; k < size; ++k) buffers[b][k] = static_cast<std::uint8_t>(rng());
      whole.insert(whole.end(), buffers[b].begin(), buffers[b].begin() + static_cast<std::ptrdiff_t>(size));
      pieces[b] = hashing.update({buffers[b].data(), size});
    }
  }
  EXPECT_EQ(sha.finish(), sha256(whole));
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
