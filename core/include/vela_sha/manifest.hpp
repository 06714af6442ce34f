// The resolved template manifest: validated source texts, schema versions and
// the plain records the composition hash reads.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vela_sha/template_sha256.hpp"

namespace vela_sha {

enum class ManifestSchemaError : std::uint8_t {
  Empty,        // the schema text is empty
  Unsupported,  // the schema text is neither accepted form
};

class ManifestSchemaVersion {
 public:
  enum Value : std::uint8_t { V1 = 1 };

  // The identifier every V1 manifest is hashed under, whichever form it was given in.
  static constexpr std::string_view kV1Identifier = "vela-sha/manifest/v1";

  constexpr ManifestSchemaVersion(Value value) noexcept : value_(value) {}  // NOLINT: implicit

  // Accepts exactly "v1" and "vela-sha/manifest/v1": no trimming, no case folding.
  [[nodiscard]] static std::expected<ManifestSchemaVersion, ManifestSchemaError> try_from(
      std::string_view text) noexcept;

  [[nodiscard]] constexpr Value value() const noexcept { return value_; }
  friend constexpr bool operator==(ManifestSchemaVersion, ManifestSchemaVersion) noexcept = default;

 private:
  Value value_;
};

// The one error of canonical path and URL validation. Carries no data.
struct CanonicalSourceError {
  friend constexpr bool operator==(CanonicalSourceError, CanonicalSourceError) noexcept = default;
};

[[nodiscard]] std::string_view message(CanonicalSourceError error) noexcept;
std::ostream& operator<<(std::ostream& out, CanonicalSourceError error);

// Refuses the empty text, any backslash, and any control character of
// category Cc (U+0000..U+001F, U+007F..U+009F); accepts everything else as it
// stands. The C1 controls are the UTF-8 pairs C2 80..C2 9F.
[[nodiscard]] std::expected<void, CanonicalSourceError> validate_representation(
    std::string_view text) noexcept;

namespace detail {

// A source text that has passed validate_representation, kept exactly as given.
// `Tag` keeps paths and URLs apart although they are made the same way.
template <class Tag>
class CanonicalText {
 public:
  // Takes the string over without copying it; on failure it is released.
  [[nodiscard]] static std::expected<CanonicalText, CanonicalSourceError> try_from(
      std::string text) noexcept {
    if (auto valid = validate_representation(text); !valid) return std::unexpected(valid.error());
    return CanonicalText(std::move(text));
  }

  [[nodiscard]] std::string_view text() const noexcept { return text_; }
  friend bool operator==(const CanonicalText&, const CanonicalText&) noexcept = default;

 private:
  explicit CanonicalText(std::string&& text) noexcept : text_(std::move(text)) {}
  std::string text_;
};

struct TemplatePathTag;
struct SourceUrlTag;

}  // namespace detail

using CanonicalTemplatePath = detail::CanonicalText<detail::TemplatePathTag>;
using CanonicalSourceUrl = detail::CanonicalText<detail::SourceUrlTag>;

// Where a template comes from. Two sources are the same source exactly when
// they are the same member and their texts are equal byte for byte.
class CanonicalSource {
 public:
  // The member codes enter the composition digest and never change.
  enum class Member : std::uint8_t { LocalPath = 0, Url = 1 };

  CanonicalSource(CanonicalTemplatePath path) noexcept : value_(std::move(path)) {}  // NOLINT
  CanonicalSource(CanonicalSourceUrl url) noexcept : value_(std::move(url)) {}       // NOLINT

  [[nodiscard]] Member member() const noexcept { return static_cast<Member>(value_.index()); }
  [[nodiscard]] std::uint8_t code() const noexcept { return static_cast<std::uint8_t>(value_.index()); }
  [[nodiscard]] std::string_view text() const noexcept {
    if (const auto* path = std::get_if<CanonicalTemplatePath>(&value_)) return path->text();
    return std::get<CanonicalSourceUrl>(value_).text();
  }

  friend bool operator==(const CanonicalSource&, const CanonicalSource&) noexcept = default;

 private:
  // The alternatives' order is the member code.
  std::variant<CanonicalTemplatePath, CanonicalSourceUrl> value_;
};

struct ResolvedTemplateNode {
  CanonicalSource source;
  TemplateSha256 sha256;
};

struct ResolvedIncludeEdge {
  CanonicalSource parent;
  CanonicalSource child;
  std::uint32_t occurrence;
};

// Construction checks nothing across records: duplicate sources, dangling
// edges, repeated edges and cycles are all representable. The composition
// hash is what refuses them.
struct ResolvedTemplateManifest {
  ManifestSchemaVersion schema = ManifestSchemaVersion::V1;
  std::vector<ResolvedTemplateNode> nodes;
  std::vector<ResolvedIncludeEdge> edges;
};

}  // namespace vela_sha
