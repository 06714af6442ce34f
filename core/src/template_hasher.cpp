// The one pipeline of the template digest: each block of a text is scanned
// once (validated, its line endings counted and normalised, copied where it
// must go) and hashed while it sits in the cache. The one-call forms feed the
// same pipeline.
#include "vela_sha/template_hasher.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <ostream>

#include "owned_copy.hpp"
#include "text.hpp"

namespace vela_sha {
namespace {

// Scanned, then hashed, a block at a time: small enough that SHA-256 finds
// the block still in the core's own cache, large enough that each scan's
// start costs nothing much.
constexpr std::size_t kBlock = 32 * 1024;

// Text with CRs that is not ours to change is normalised into staging: the
// thread's own, a block's worth, so that each block is scanned in one go; or,
// where that memory cannot be had, this much (and a page, see kPage) on the
// stack at a time (small enough for a thread's smallest stack).
constexpr std::size_t kStackStaging = 4 * 1024;

// Staging holds a page more than it lends a block, so that the block's part
// can begin where staging_for() puts it.
constexpr std::size_t kPage = 4096;

// The thread's staging, made on its first use and kept; empty if the memory
// could not be had.
std::span<std::uint8_t> thread_staging() noexcept {
  thread_local const std::unique_ptr<std::uint8_t[]> staging(new (std::nothrow) std::uint8_t[kBlock + kPage]);
  return {staging.get(), staging ? kBlock + kPage : 0};
}

// The part of `staging` (all but a page of it) that the normalised text of a
// block read from `in` goes to: it begins half a page away from `in` in the
// page's offsets. Where it lies at about the same offsets as the text, or a
// little after, the writes into it slow down the reads of the text (the two
// look alike in the address bits the processor compares first): CR LF text
// in 64 KiB pieces was then hashed 4 to 10% slower than at half a page away,
// depending on where the pieces happened to lie.
std::uint8_t* staging_for(std::uint8_t* staging, const std::uint8_t* in) noexcept {
  const auto apart = reinterpret_cast<std::uintptr_t>(in) + kPage / 2 - reinterpret_cast<std::uintptr_t>(staging);
  return staging + apart % kPage;
}

// Texts up to this size are taken by the one-call forms in one go: checked,
// copied onto the stack where a copy is needed, and hashed by one SHA-256
// call. The pipeline's fixed costs (the hasher, the copy's memory, the scan's
// set-up, whose latency SHA-256 then waits for) came to 50 ns a call, most of
// what hashing a 64-byte text cost beyond SHA-256's own.
constexpr std::size_t kShort = 4096;

// The digest of plain ASCII text without a CR: SHA-256 of the text itself.
TemplateSha256 plain_digest(std::span<const std::uint8_t> text) noexcept {
  Sha256 sha;
  sha.update(text);
  return TemplateSha256(sha.finish());
}

// The digest of a short text held in `copy`, which is ours: normalised in place.
std::expected<TemplateSha256, ShaError> short_digest(std::uint8_t* copy, std::size_t size) noexcept {
  text::Tail tail;
  const text::Scanned scanned = text::scan({copy, size, copy, 0, text::Output::InPlace, false}, tail);
  if (!scanned.valid || tail.open() != 0) return std::unexpected(ShaError::InvalidUtf8);
  return plain_digest({copy, scanned.kept + scanned.written});
}

// The digest of a short text (at most kShort bytes). With `copy_always` (for
// a caller whose memory the core must not hash) it is hashed from a copy on
// the stack; else only text that is not plain ASCII without a CR is copied. A call of its
// own, so that the longer texts' frame keeps no room for the copy: where the
// hasher's state lies against their text matters to their speed.
[[gnu::noinline]] std::expected<TemplateSha256, ShaError> short_hash(std::span<const std::uint8_t> text,
                                                                     bool copy_always) noexcept {
  if (!copy_always && text::plain_ascii(text.data(), text.size())) return plain_digest(text);
  alignas(64) std::uint8_t copy[kShort];
  std::ranges::copy(text, copy);  // (memcpy would take no null source, even for no bytes)
  // Most short templates are plain ASCII, and take no scan.
  if (copy_always && text::plain_ascii(copy, text.size())) return plain_digest({copy, text.size()});
  return short_digest(copy, text.size());
}

}  // namespace

static_assert(static_cast<int>(text::Output::InPlace) == 0 && static_cast<int>(text::Output::Staging) == 1 &&
              static_cast<int>(text::Output::Copy) == 2);

std::string_view message(const Utf8Error&) noexcept { return message(ShaError::InvalidUtf8); }

std::ostream& operator<<(std::ostream& out, const Utf8Error& error) {
  if (error.unfinished) return out << message(error) << " (ends inside a sequence at offset " << error.offset << ")";
  return out << message(error) << " (first invalid byte at offset " << error.offset << ", line " << error.line << ")";
}

std::expected<void, Utf8Error> TemplateHasher::update(std::span<const std::uint8_t> bytes) noexcept {
  if (const auto staging = thread_staging(); !staging.empty()) {
    return append(bytes.data(), bytes.size(), staging.data(), Room::Staging, staging.size());
  }
  alignas(64) std::uint8_t staging[kStackStaging + kPage];
  return append(bytes.data(), bytes.size(), staging, Room::Staging, sizeof staging);
}

std::expected<void, Utf8Error> TemplateHasher::update_in_place(std::span<std::uint8_t> bytes) noexcept {
  return append(bytes.data(), bytes.size(), bytes.data(), Room::InPlace);
}

std::expected<void, Utf8Error> TemplateHasher::append(const std::uint8_t* in, std::size_t size, std::uint8_t* out,
                                                      Room room, std::size_t staging) noexcept {
  if (failed_) return std::unexpected(*failed_);
  const auto output = static_cast<text::Output>(room);
  const bool staged = room == Room::Staging;
  text::Tail tail{tail_};
  for (std::size_t at = 0; at < size;) {
    const std::size_t length = std::min(kBlock, size - at);
    std::uint8_t* to = staged ? staging_for(out, in + at) : out + at;
    const text::Scanned scanned =
        text::scan({in + at, length, to, staged ? staging - kPage : 0, output, count_lines_}, tail);
    // In place the normalised text follows what was kept as it stood.
    if (room == Room::InPlace) {
      sha_.update({in + at, scanned.kept + scanned.written});
    } else {
      sha_.update({in + at, scanned.kept});
      sha_.update({to, scanned.written});
    }
    seen_ += scanned.read;
    lines_ += scanned.line_endings;
    tail_ = tail.bytes;
    if (!scanned.valid) return fail(in + at + scanned.read, length - scanned.read);
    at += scanned.read;
  }
  return {};
}

std::unexpected<Utf8Error> TemplateHasher::fail(const std::uint8_t* rest, std::size_t size) noexcept {
  // The error may begin up to three bytes back, in a sequence the tail left
  // open (which holds no line ending).
  const text::Tail tail{tail_};
  const std::ptrdiff_t at = text::find_invalid_utf8(rest, size, tail);
  const std::uint64_t before = at > 0 ? text::count_line_endings(rest, static_cast<std::size_t>(at), tail) : 0;
  failed_ = Utf8Error{seen_ + static_cast<std::uint64_t>(at), count_lines_ ? lines_ + before + 1 : 0};
  return std::unexpected(*failed_);
}

std::expected<TemplateSha256, Utf8Error> TemplateHasher::digest() const noexcept {
  if (failed_) return std::unexpected(*failed_);
  if (const unsigned open = text::Tail{tail_}.open(); open != 0) {
    return std::unexpected(Utf8Error{seen_ - open, count_lines_ ? lines_ + 1 : 0, /*unfinished=*/true});
  }
  return TemplateSha256(sha_.peek());
}

std::expected<TemplateSha256, ShaError> calculate_hash(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() <= kShort) return short_hash(bytes, /*copy_always=*/false);
  TemplateHasher hasher(TemplateHasher::WithoutLines{});
  if (!hasher.update(bytes)) return std::unexpected(ShaError::InvalidUtf8);
  const auto digest = hasher.digest();
  if (!digest) return std::unexpected(ShaError::InvalidUtf8);
  return *digest;
}

std::expected<TemplateSha256, ShaError> calculate_hash_from_copy(std::span<const std::uint8_t> source) {
  if (source.size() <= kShort) return short_hash(source, /*copy_always=*/true);
  // The copy is made while each block is scanned: the source is read once, and
  // the block is then hashed from the copy while it is in cache. Where a
  // helper thread made the copy ahead, the block is scanned in place.
  detail::OwnedCopy copy(source.data(), source.size());
  TemplateHasher hasher(TemplateHasher::WithoutLines{});
  for (std::size_t at = 0; at < source.size(); at += detail::OwnedCopy::kStep) {
    const std::size_t length = std::min(detail::OwnedCopy::kStep, source.size() - at);
    const auto block = copy.block(at, length);
    const auto fed = block.copied ? hasher.append(block.data, length, block.data, TemplateHasher::Room::InPlace)
                                  : hasher.append(source.data() + at, length, block.data, TemplateHasher::Room::Copy);
    if (!fed) return std::unexpected(ShaError::InvalidUtf8);
  }
  const auto digest = hasher.digest();
  if (!digest) return std::unexpected(ShaError::InvalidUtf8);
  return *digest;
}

}  // namespace vela_sha
