// The composition stream of a whole manifest, written part by part with the
// stream format's own writers into one buffer: what the hasher's pipeline
// (staging, the source set, the hashing thread) must come to.
#pragma once

#include <cstdint>
#include <vector>

#include "composition_stream.hpp"

namespace vela_sha::testing {

inline std::vector<std::uint8_t> reference_stream(const ResolvedTemplateManifest& manifest) {
  namespace stream = detail::stream;
  auto text = [](const CanonicalSource& source) { return SourceText{source.member(), source.text()}; };
  std::uint64_t node_text = 0, edge_text = 0;
  for (const auto& node : manifest.nodes) node_text += node.source.text().size();
  for (const auto& edge : manifest.edges) edge_text += edge.parent.text().size() + edge.child.text().size();
  std::vector<std::uint8_t> bytes(
      stream::stream_size(manifest.nodes.size(), node_text, manifest.edges.size(), edge_text));
  std::uint8_t* out = stream::put_head(bytes.data());
  stream::put_u64(out, manifest.nodes.size());
  out += stream::kCountBytes;
  for (const auto& node : manifest.nodes) out = stream::put_node(out, text(node.source), node.sha256.bytes());
  stream::put_u64(out, manifest.edges.size());
  out += stream::kCountBytes;
  for (const auto& edge : manifest.edges) out = stream::put_edge(out, text(edge.parent), text(edge.child), edge.occurrence);
  bytes.resize(static_cast<std::size_t>(out - bytes.data()));  // the formula's length, unless a writer strays
  return bytes;
}

}  // namespace vela_sha::testing
