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
#include "text.hpp"
#include "vela_sha/template_hasher.hpp"

namespace vela_sha::testing {

using Outcome = std::expected<TemplateSha256, Utf8Error>;

// What the references say of the whole text: its digest, or where it stops
// being UTF-8.
inline Outcome reference_outcome(std::span<const std::uint8_t> text) {
  const std::size_t offset = reference_utf8_error_offset(text);
  if (offset < text.size()) return std::unexpected(Utf8Error{offset, reference_line_of(text, offset)});
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
      expected ? expected : Outcome(std::unexpected(Utf8Error{expected.error().offset, 0}));
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

// What text::scan made of a block, a scan at a time as a caller goes on.
struct Scans {
  bool valid = true;
  std::ptrdiff_t error = 0;  // where the first invalid sequence begins, placed as the pipeline places it
  std::vector<std::uint8_t> text;  // normalised
  std::uint64_t line_endings = 0;
  std::uint32_t tail = 0;
  friend bool operator==(const Scans&, const Scans&) = default;
};

inline Scans scans(std::span<const std::uint8_t> block, text::Tail tail, text::Output output, std::size_t room) {
  Scans result;
  std::vector<std::uint8_t> in(block.begin(), block.end()), out(std::max(room, block.size()));
  std::size_t at = 0;
  while (at < in.size()) {
    std::uint8_t* to = output == text::Output::InPlace ? in.data() + at : out.data();
    const text::Scanned scanned = text::scan({in.data() + at, in.size() - at, to, room, output, true}, tail);
    result.text.insert(result.text.end(), in.begin() + static_cast<std::ptrdiff_t>(at),
                       in.begin() + static_cast<std::ptrdiff_t>(at + scanned.kept));
    const std::uint8_t* written = output == text::Output::InPlace ? to + scanned.kept : to;
    result.text.insert(result.text.end(), written, written + scanned.written);
    result.line_endings += scanned.line_endings;
    at += scanned.read;
    if (!scanned.valid) {
      result.valid = false;
      result.error = static_cast<std::ptrdiff_t>(at) + text::find_invalid_utf8(in.data() + at, in.size() - at, tail);
      break;
    }
  }
  result.tail = tail.bytes;
  return result;
}

// The first kernel set whose scans of `block` after `tail` (the last three
// bytes before it; zeros stand for none) differ from its portable twin's or
// the references' in any way of output ("" if none does).
inline std::string scan_disagreement(std::span<const std::uint8_t> block, std::uint32_t tail) {
  std::vector<std::uint8_t> whole = {static_cast<std::uint8_t>(tail >> 8), static_cast<std::uint8_t>(tail >> 16),
                                     static_cast<std::uint8_t>(tail >> 24)};
  const std::vector<std::uint8_t> before = reference_normalise(whole);
  const std::uint64_t endings_before = reference_line_of(whole, 3);
  whole.insert(whole.end(), block.begin(), block.end());
  Scans expected;
  expected.error = static_cast<std::ptrdiff_t>(reference_definite_error_offset(whole)) - 3;
  expected.valid = expected.error == static_cast<std::ptrdiff_t>(block.size());
  if (expected.valid) {
    expected.error = 0;
    const std::vector<std::uint8_t> all = reference_normalise(whole);
    expected.text.assign(all.begin() + static_cast<std::ptrdiff_t>(before.size()), all.end());
    expected.line_endings = reference_line_of(whole, whole.size()) - endings_before;
    const std::size_t n = whole.size();
    expected.tail = std::uint32_t{whole[n - 3]} << 8 | std::uint32_t{whole[n - 2]} << 16 | std::uint32_t{whole[n - 1]} << 24;
  }
  std::string found;
  const std::pair<text::Output, std::size_t> ways[] = {
      {text::Output::InPlace, 0}, {text::Output::Copy, 0}, {text::Output::Staging, 64}, {text::Output::Staging, 4096}};
  std::vector<Scans> twins;
  for_each_kernel_set([&](const char* set) {
    for (std::size_t w = 0; w < std::size(ways); ++w) {
      Scans got = scans(block, text::Tail{tail}, ways[w].first, ways[w].second);
      if (!got.valid) got.text.clear(), got.line_endings = 0, got.tail = 0;  // only the error counts then
      if (twins.size() <= w) twins.push_back(got);  // the portable kernel's
      if (found.empty() && (got != expected || got != twins[w])) {
        found = std::string(set) + " way " + std::to_string(w) + (got != twins[w] ? " differs from portable" : "");
      }
    }
  });
  return found;
}

}  // namespace vela_sha::testing
