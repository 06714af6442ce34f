// A text run through every way into the template digest, under every set of
// kernels, and held against the plain references (the unit tests and the
// fuzz targets alike).
#pragma once

#include <algorithm>
#include <expected>
#include <string>
#include <vector>

#include "kernel_sets.hpp"
#include "reference.hpp"
#include "vela_sha/template_hasher.hpp"

namespace vela_sha::testing {

using Outcome = std::expected<TemplateSha256, Utf8Error>;

// What the references say of the whole text: its digest, or where it stops
// being UTF-8.
inline Outcome reference_outcome(std::span<const std::uint8_t> text) {
  const std::size_t offset = reference_utf8_error_offset(text);
  if (offset < text.size()) {
    return std::unexpected(Utf8Error{offset, reference_line_of(text, offset), reference_unfinished(text, offset)});
  }
  return TemplateSha256(reference_digest(text));
}

// `text` fed in the pieces that `cuts` (ascending offsets; those past the end
// cut nothing) make, alternating
// update() and update_in_place() from `in_place`; the digest or the error.
// A failed hasher must keep failing alike.
inline Outcome fed_in_pieces(std::span<const std::uint8_t> text, const std::vector<std::size_t>& cuts,
                             bool count_lines = true, bool in_place = false) {
  TemplateHasher hasher = count_lines ? TemplateHasher() : TemplateHasher(TemplateHasher::WithoutLines{});
  std::size_t from = 0;
  for (std::size_t k = 0; k <= cuts.size(); ++k, in_place = !in_place) {
    const std::size_t to = k < cuts.size() ? std::clamp(cuts[k], from, text.size()) : text.size();
    std::vector<std::uint8_t> piece(text.begin() + static_cast<std::ptrdiff_t>(from),
                                    text.begin() + static_cast<std::ptrdiff_t>(to));
    const auto fed = in_place ? hasher.update_in_place(piece) : hasher.update(piece);
    if (!fed) {
      const std::uint8_t more[] = {'o', 'k'};
      if (hasher.update(more).error() != fed.error() || hasher.digest().error() != fed.error()) {
        return std::unexpected(Utf8Error{~0ULL, ~0ULL});  // matches nothing
      }
      return std::unexpected(fed.error());
    }
    from = to;
  }
  return hasher.digest();
}

// The first way that disagrees with the references ("" if none does): every
// kernel set; calculate_hash and calculate_hash_from_copy; a hasher fed the
// whole text and the pieces `cuts` make, by update() and update_in_place(),
// with line counts and without (whose errors say line 0).
inline std::string disagreement(std::span<const std::uint8_t> text, const std::vector<std::size_t>& cuts = {}) {
  const Outcome expected = reference_outcome(text);
  const Outcome uncounted =
      expected ? expected : Outcome(std::unexpected(Utf8Error{expected.error().offset, 0, expected.error().unfinished}));
  const std::expected<TemplateSha256, ShaError> one_call =
      expected ? std::expected<TemplateSha256, ShaError>(*expected) : std::unexpected(ShaError::InvalidUtf8);
  std::string found;
  for_each_kernel_set([&](const char* set) {
    const auto differs = [&](const char* way) {
      if (found.empty()) found = std::string(set) + ": " + way;
    };
    if (calculate_hash(text) != one_call) differs("calculate_hash");
    if (calculate_hash_from_copy(text) != one_call) differs("calculate_hash_from_copy");
    for (const bool in_place : {false, true}) {
      if (fed_in_pieces(text, {}, true, in_place) != expected) differs(in_place ? "whole, in place" : "whole");
      if (fed_in_pieces(text, cuts, true, in_place) != expected) differs(in_place ? "pieces, in place first" : "pieces");
      if (fed_in_pieces(text, cuts, false, in_place) != uncounted) differs("pieces, lines uncounted");
    }
  });
  return found;
}

}  // namespace vela_sha::testing
