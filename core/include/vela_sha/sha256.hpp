// SHA-256 (FIPS 180-4) as the rest of the library sees it.
//
// The whole library reaches libcrypto only through this unit, so the choice of
// OpenSSL API stays in one place (see sha256.cpp for why it is the one it is).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vela_sha {

// 32 digest bytes in the order FIPS 180-4 emits them.
using Sha256Bytes = std::array<std::uint8_t, 32>;

// An incremental SHA-256 computation. Feeding a message in any number of
// pieces gives the digest of their concatenation. Cannot fail; allocates
// nothing. A copy carries on from the same point independently.
class Sha256 {
 public:
  Sha256() noexcept;

  // Appends `bytes` to the message. Whole 64-byte blocks are compressed
  // straight from `bytes`; only a final partial block is buffered.
  void update(std::span<const std::uint8_t> bytes) noexcept;

  // Pads, finishes and returns the digest. The object must not be used after.
  [[nodiscard]] Sha256Bytes finish() noexcept;

  // The digest of the message so far; the object goes on as if never asked.
  [[nodiscard]] Sha256Bytes peek() const noexcept {
    Sha256 copy = *this;
    return copy.finish();
  }

 private:
  // Opaque room for libcrypto's context, so callers need no OpenSSL header.
  alignas(8) unsigned char state_[112];
};

// SHA-256 of one contiguous message.
[[nodiscard]] Sha256Bytes sha256(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace vela_sha
