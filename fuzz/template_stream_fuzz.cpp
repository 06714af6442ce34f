// The incremental hasher against the one-shot path and the plain references:
// the input's first byte says how many of the following bytes are piece
// lengths, the rest is the text. After every piece the digest so far must be
// that of the text so far by the references, and the end must agree with
// them on the whole text (the error's offset and line too).
#include <vector>

#include "fuzz.hpp"
#include "reference.hpp"
#include "vela_sha/template_hasher.hpp"

using namespace vela_sha;

namespace {

std::expected<TemplateSha256, Utf8Error> one_shot(std::span<const std::uint8_t> text) {
  const std::size_t offset = testing::reference_utf8_error_offset(text);
  if (offset < text.size()) return std::unexpected(Utf8Error{offset, testing::reference_line_of(text, offset)});
  return TemplateSha256(testing::reference_digest(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t cuts = std::min<std::size_t>(data[0] % 8, size - 1);
  const std::span<const std::uint8_t> lengths(data + 1, cuts);
  const std::span<const std::uint8_t> text(data + 1 + cuts, size - 1 - cuts);

  TemplateHasher hasher;
  TemplateHasher uncounted(TemplateHasher::WithoutLines{});  // the same, with line 0 in errors
  std::size_t from = 0;
  for (std::size_t k = 0; k <= cuts; ++k) {
    const std::size_t to = k < cuts ? std::min(text.size(), from + lengths[k]) : text.size();
    std::vector<std::uint8_t> piece(text.begin() + static_cast<std::ptrdiff_t>(from),
                                    text.begin() + static_cast<std::ptrdiff_t>(to));
    std::vector<std::uint8_t> copy = piece;
    const auto fed = k % 2 ? hasher.update_in_place(piece) : hasher.update(piece);
    const auto fed_uncounted = k % 2 ? uncounted.update(copy) : uncounted.update_in_place(copy);
    FUZZ_CHECK(fed.has_value() == fed_uncounted.has_value());
    if (!fed) {
      FUZZ_CHECK(fed_uncounted.error() == (Utf8Error{fed.error().offset, 0}));
      FUZZ_CHECK(one_shot(text) == std::unexpected(fed.error()));
      FUZZ_CHECK(hasher.digest() == std::unexpected(fed.error()));
      return 0;
    }
    from = to;
    const auto so_far = one_shot(text.first(to));
    const auto digest = hasher.digest();
    // A text cut inside a sequence is an error now and may be completed later.
    if (so_far || digest) FUZZ_CHECK(digest == so_far);
  }
  FUZZ_CHECK(hasher.digest() == one_shot(text));
  if (hasher.digest()) FUZZ_CHECK(uncounted.digest() == hasher.digest());
  return 0;
}
