#include "manifest_rules.hpp"

namespace vela_sha::py {

namespace {

std::string joined(std::string_view a, std::string_view b, std::string_view c = {}) {
  std::string text;
  text.reserve(a.size() + b.size() + c.size());
  return text.append(a).append(b).append(c);
}

}  // namespace

std::unexpected<Failure> rule_error(Rule rule, KeyId key) {
  const std::string_view name = key_text(key);
  switch (rule) {
    case Rule::InputNotMapping:
      return error(code::kInvalidInput, "hash input must be a mapping");
    case Rule::RequiresKey:
      return error(code::kInvalidManifest, joined("manifest object requires ", name));
    case Rule::FieldNotString:
      return error(code::kInvalidManifest, joined("manifest field ", name, " must be a string"));
    case Rule::SchemaEmpty:
      return error(code::kInvalidManifest, "manifest schema must not be empty");
    case Rule::SchemaUnsupported:
      return error(code::kUnsupportedManifestSchema, "unsupported manifest schema; use vela-sha/manifest/v1");
    case Rule::NodesNotList:
      return error(code::kInvalidManifest, "manifest nodes must be a list");
    case Rule::NodeNotMapping:
      return error(code::kInvalidManifest, "manifest node must be a mapping");
    case Rule::NodeRequiresSource:
      return error(code::kInvalidManifest, "manifest node requires source");
    case Rule::SourceNotMapping:
      return error(code::kInvalidManifest, "source must be a mapping");
    case Rule::SourceKind:
      return error(code::kInvalidManifest, "source kind must be local_path or url");
    case Rule::CanonicalSource:
      return error(code::kInvalidCanonicalSource, std::string(message(CanonicalSourceError{})));
    case Rule::Digest:
      return error(ShaError::InvalidDigest);
    case Rule::EdgesNotList:
      return error(code::kInvalidManifest, "manifest edges must be a list");
    case Rule::EdgeNotMapping:
      return error(code::kInvalidManifest, "manifest edge must be a mapping");
    case Rule::EdgeRequires:
      return error(code::kInvalidManifest, joined("manifest edge requires ", name));
    case Rule::Occurrence:
      return error(code::kInvalidManifest, "occurrence must be a non-negative integer");
  }
  throw std::logic_error("a rule without an error");
}

std::string Place::text() const {
  static constexpr std::string_view kIn[] = {"", "schema", "nodes", "edges"};
  std::string out(kIn[static_cast<std::size_t>(in)]);
  if (index) out.append("[").append(std::to_string(*index)).append("]");
  for (std::size_t i = 0; i < depth; ++i) (out += '.') += key_text(keys[i]);
  return out;
}

std::optional<CanonicalSource::Member> member_of(std::string_view kind) noexcept {
  if (kind == "url") return CanonicalSource::Member::Url;
  if (kind == "local_path") return CanonicalSource::Member::LocalPath;
  return std::nullopt;
}

}  // namespace vela_sha::py
