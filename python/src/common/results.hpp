// The result dictionaries both modules hand back, and the few texts every
// call of theirs names.
#pragma once

#include <cstdint>

#include "failure.hpp"
#include "vela_sha/sha256.hpp"

namespace vela_sha::py {

// A text that each call names: a key of the result dicts, a kind, the input key.
enum class Name : std::uint8_t { Kind, Sha256, Template, Composition, Utf8FileBytes };

// The str of `name`. In the main interpreter it is made at its first use and
// kept for the rest of the process, like the VelaShaError type: a str made per
// call costs an allocation and, as a dict key, the hash of its text each time,
// a quarter of a short call. A subinterpreter gets a new one each time, since
// one with memory of its own would free the kept str when it ends. The caller
// holds the GIL.
[[nodiscard]] Ref name_object(Name name);

// A new result dict {"kind": kind, "sha256": the digest's hex text}, keys in
// that order; `kind` is Name::Template or Name::Composition. The digest is
// taken by value: making the dict may run the collector, and with it code that
// frees whatever held the digest.
[[nodiscard]] Result<Ref> digest_result(Name kind, Sha256Bytes digest);

}  // namespace vela_sha::py
