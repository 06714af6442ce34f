// The result dictionaries both modules hand back.
#pragma once

#include <string_view>

#include "failure.hpp"
#include "vela_sha/sha256.hpp"

namespace vela_sha::py {

// A new result dict {"kind": kind, "sha256": the digest's hex text}, keys in
// that order. The digest is taken by value: making the dict may run the
// collector, and with it code that frees whatever held the digest.
[[nodiscard]] Result<Ref> digest_result(std::string_view kind, Sha256Bytes digest);

}  // namespace vela_sha::py
