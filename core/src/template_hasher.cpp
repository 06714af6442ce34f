// The one pipeline of the template digest: each block of a text is validated,
// its line endings counted and normalised, and it is hashed, while it sits in
// the cache; the one-call forms feed the same pipeline.
#include "vela_sha/template_hasher.hpp"

#include <algorithm>
#include <cstring>
#include <ostream>

#include "owned_copy.hpp"
#include "text.hpp"

namespace vela_sha {
namespace {

// Each block is validated, counted, normalised and hashed in turn while it
// sits in the cache.
constexpr std::size_t kBlock = 32 * 1024;

// Text with CRs that is not ours to change is normalised in a staging copy on
// the stack, this much at a time: small enough for a thread's smallest stack.
constexpr std::size_t kStaging = 4 * 1024;

// Line endings in `bytes`, counted slowly: only an error needs this.
std::uint64_t count_endings(std::span<const std::uint8_t> bytes, bool after_cr) noexcept {
  std::uint64_t endings = 0;
  for (const std::uint8_t byte : bytes) {
    endings += byte == '\r' || (byte == '\n' && !after_cr);
    after_cr = byte == '\r';
  }
  return endings;
}

}  // namespace

std::string_view message(const Utf8Error&) noexcept { return message(ShaError::InvalidUtf8); }

std::ostream& operator<<(std::ostream& out, const Utf8Error& error) {
  return out << message(error) << " (first invalid byte at offset " << error.offset << ", line "
             << error.line << ")";
}

std::expected<void, Utf8Error> TemplateHasher::update(std::span<const std::uint8_t> bytes) noexcept {
  return append<false>(bytes);
}

std::expected<void, Utf8Error> TemplateHasher::update_in_place(std::span<std::uint8_t> bytes) noexcept {
  return append<true>(bytes);
}

template <bool kInPlace, class Byte>
std::expected<void, Utf8Error> TemplateHasher::append(std::span<Byte> bytes) noexcept {
  if (failed_) return std::unexpected(*failed_);
  for (std::size_t at = 0; at < bytes.size(); at += kBlock) {
    const auto block = bytes.subspan(at, std::min(kBlock, bytes.size() - at));
    // Plain ASCII without a CR, with nothing open before it, is valid and
    // normalised as it stands: one pass tells, and it goes straight to
    // SHA-256. (Counting lines needs a pass of its own anyway.)
    if (!count_lines_ && open_size_ == 0 && text::plain_ascii(block.data(), block.size())) {
      const std::size_t skip = after_cr_ && block.front() == '\n' ? 1 : 0;
      sha_.update(block.subspan(skip));
      after_cr_ = false;
      seen_ += block.size();
      continue;
    }
    if (auto valid = validate(block); !valid) return valid;
    if constexpr (kInPlace) {
      hash(block, block.data());
    } else {
      hash(block, nullptr);
    }
  }
  return {};
}

std::expected<void, Utf8Error> TemplateHasher::validate(std::span<const std::uint8_t> block) noexcept {
  std::size_t i = 0;
  // First the rest of a sequence the last piece left open.
  if (open_size_ > 0) {
    const std::size_t length = text::utf8_sequence_length(open_lead_);
    for (; open_size_ < length && i < block.size(); ++i, ++open_size_) {
      if (!text::utf8_continuation_ok(open_lead_, open_size_, block[i])) {
        // The lead byte came `open_size_ - i` bytes before this block.
        return fail(block, static_cast<std::ptrdiff_t>(i) - open_size_);
      }
    }
    if (open_size_ < length) return {};
    open_size_ = 0;
  }
  // A sequence cut off at the end of the block is left open for the next
  // piece: the last lead byte among the final three, if its sequence runs past
  // the end. (A byte that can start no sequence stays for the validator.)
  const std::size_t end = block.size();
  std::size_t tail = end;
  for (std::size_t back = 1; back <= 3 && back <= end - i; ++back) {
    const std::uint8_t byte = block[end - back];
    if (byte < 0x80) break;
    if (byte >= 0xC0) {
      const std::size_t length = text::utf8_sequence_length(byte);
      if (length > back) tail = end - back;
      break;
    }
  }
  if (!text::valid_utf8(block.data() + i, tail - i)) {
    return fail(block, static_cast<std::ptrdiff_t>(i + text::first_invalid_utf8(block.data() + i, tail - i)));
  }
  if (tail < end) {
    open_lead_ = block[tail];
    for (open_size_ = 1; tail + open_size_ < end; ++open_size_) {
      if (!text::utf8_continuation_ok(open_lead_, open_size_, block[tail + open_size_])) {
        return fail(block, static_cast<std::ptrdiff_t>(tail));
      }
    }
  }
  return {};
}

std::unexpected<Utf8Error> TemplateHasher::fail(std::span<const std::uint8_t> block,
                                                std::ptrdiff_t at) noexcept {
  // `at` is relative to the block, negative for a sequence begun in an earlier
  // piece (which holds no line ending).
  const std::uint64_t before = at > 0 ? count_endings(block.first(static_cast<std::size_t>(at)), after_cr_) : 0;
  failed_ = Utf8Error{seen_ + static_cast<std::uint64_t>(at), count_lines_ ? lines_ + before + 1 : 0};
  open_size_ = 0;
  return std::unexpected(*failed_);
}

void TemplateHasher::hash(std::span<const std::uint8_t> block, std::uint8_t* in_place) noexcept {
  // An LF that completes a CR LF begun in the last piece was already hashed,
  // as the LF the CR became.
  const std::size_t skip = after_cr_ && block.front() == '\n' ? 1 : 0;
  const bool ends_with_cr = block.back() == '\r';  // read before an in-place normalisation
  const std::uint8_t* data = block.data() + skip;
  const std::size_t size = block.size() - skip;
  text::LineBytes counts;
  if (count_lines_) {
    counts = text::count_line_bytes(data, size);
  } else {
    counts.cr = size != 0 && std::memchr(data, '\r', size) != nullptr;
  }
  // Each CR LF pair loses its LF, and so counts once as a line ending.
  std::size_t pairs = 0;
  if (counts.cr == 0) {
    sha_.update({data, size});
  } else if (in_place != nullptr) {
    const std::size_t normalised = text::normalise_line_endings(in_place + skip, size);
    pairs = size - normalised;
    sha_.update({in_place + skip, normalised});
  } else {
    alignas(64) std::uint8_t staging[kStaging];
    bool piece_after_cr = false;
    for (std::size_t at = 0; at < size;) {
      const std::size_t length = std::min(kStaging, size - at);
      const std::size_t merged = piece_after_cr && data[at] == '\n' ? 1 : 0;
      std::memcpy(staging, data + at + merged, length - merged);
      const std::size_t normalised = text::normalise_line_endings(staging, length - merged);
      pairs += merged + (length - merged - normalised);
      sha_.update({staging, normalised});
      piece_after_cr = data[at + length - 1] == '\r';
      at += length;
    }
  }
  if (count_lines_) lines_ += counts.lf + counts.cr - pairs;
  after_cr_ = ends_with_cr;
  seen_ += block.size();
}

std::expected<TemplateSha256, Utf8Error> TemplateHasher::digest() const noexcept {
  if (failed_) return std::unexpected(*failed_);
  if (open_size_ > 0) return std::unexpected(Utf8Error{seen_ - open_size_, count_lines_ ? lines_ + 1 : 0});
  return TemplateSha256(sha_.peek());
}

std::expected<TemplateSha256, ShaError> calculate_hash(std::span<const std::uint8_t> bytes) noexcept {
  TemplateHasher hasher(TemplateHasher::WithoutLines{});
  if (!hasher.update(bytes)) return std::unexpected(ShaError::InvalidUtf8);
  const auto digest = hasher.digest();
  if (!digest) return std::unexpected(ShaError::InvalidUtf8);
  return *digest;
}

std::expected<TemplateSha256, ShaError> calculate_hash_from_copy(std::span<const std::uint8_t> source) {
  // The copy is taken a block at a time, and each block validated and hashed
  // while it is still in the cache: one pass over memory instead of four. It
  // is ours to overwrite, so line endings are normalised inside it.
  constexpr std::size_t kCopyBlock = 256 * 1024;
  detail::OwnedCopy copy(source.data(), source.size());
  TemplateHasher hasher(TemplateHasher::WithoutLines{});
  for (std::size_t at = 0; at < source.size(); at += kCopyBlock) {
    const std::size_t length = std::min(kCopyBlock, source.size() - at);
    if (!hasher.update_in_place({copy.block(at, length), length})) return std::unexpected(ShaError::InvalidUtf8);
  }
  const auto digest = hasher.digest();
  if (!digest) return std::unexpected(ShaError::InvalidUtf8);
  return *digest;
}

}  // namespace vela_sha
