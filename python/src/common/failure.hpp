// How a binding step fails, and how a failure reaches Python.
#pragma once

#include <exception>
#include <expected>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "ref.hpp"
#include "vela_sha/template_hasher.hpp"

namespace vela_sha::py {

// The eight codes a VelaShaError raised by the module carries.
namespace code {
inline constexpr std::string_view kInvalidInput = "VELA_SHA_INVALID_INPUT";
inline constexpr std::string_view kInvalidManifest = "VELA_SHA_INVALID_MANIFEST";
inline constexpr std::string_view kInvalidUtf8 = "VELA_SHA_INVALID_UTF8";
inline constexpr std::string_view kInvalidDigest = "VELA_SHA_INVALID_DIGEST";
inline constexpr std::string_view kInvalidCanonicalSource = "VELA_SHA_INVALID_CANONICAL_SOURCE";
inline constexpr std::string_view kUnsupportedManifestSchema = "VELA_SHA_UNSUPPORTED_MANIFEST_SCHEMA";
inline constexpr std::string_view kDuplicateSource = "VELA_SHA_DUPLICATE_SOURCE";
inline constexpr std::string_view kUnknownEdgeEndpoint = "VELA_SHA_UNKNOWN_EDGE_ENDPOINT";
}  // namespace code

// A VelaShaError to raise once the entry point returns; the exception object
// itself is not built until then.
struct PendingError {
  Ref type;
  std::string_view code;  // always one of the static texts above
  std::string message;
  // Where a text stopped being UTF-8, for the errors that know it: set on the
  // exception as `offset` and `line`, and told in a note.
  std::optional<Utf8Error> position = std::nullopt;
  // The file the text came from (a str or bytes), set as `filename` and
  // named in the note; none where the text came from no named file.
  Ref filename = Ref();
};

// An exception the interpreter raised (a key's __eq__, a failed insertion, a
// TypeError from argument binding), taken out of the error indicator so that
// no Python code runs with it set while the call unwinds.
struct RaisedError {
  Ref type, value, traceback;
};

using Failure = std::variant<PendingError, RaisedError>;

template <class T>
using Result = std::expected<T, Failure>;

// Passes on the failure of an earlier step.
template <class T>
[[nodiscard]] std::unexpected<Failure> propagate(Result<T>& failed) noexcept {
  return std::unexpected(std::move(failed.error()));
}

// The error constructor every binding uses. Only fails if the module was
// never initialised, which is an internal fault.
[[nodiscard]] std::unexpected<Failure> error(std::string_view code, std::string message);

// A core ShaError passed on with its code and its display text.
[[nodiscard]] std::unexpected<Failure> error(ShaError sha_error);

// Invalid UTF-8 with where it was found: in the file named `filename` (a str
// or bytes), or in no named file if null.
[[nodiscard]] std::unexpected<Failure> error(const Utf8Error& utf8_error, PyObject* filename = nullptr);

// Takes the exception the interpreter has just set.
[[nodiscard]] std::unexpected<Failure> raised() noexcept;

// Whether an exception of `type` must reach the caller instead of giving way
// to the binding's own error (or being ignored): one that is no Exception
// (KeyboardInterrupt, SystemExit) asks to stop, and a MemoryError is no fault
// of the input.
[[nodiscard]] bool must_reach_caller(PyObject* type) noexcept;

// Sets the Python error indicator from a failure.
void restore(Failure&& failure);

// The exception object a failure stands for, as restore() would raise it; an
// empty Ref, with the error indicator set, if it cannot be made.
[[nodiscard]] Ref exception_of(Failure&& failure);

// Thrown when the interpreter fails where no input can make it fail (creating a
// str, a dict, a list); the error indicator holds its reason.
class InterpreterFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A new str from UTF-8 text.
[[nodiscard]] Ref new_str(std::string_view text);

// A new str from text known to be ASCII (keys, codes, digests): built directly,
// without a pass through the UTF-8 decoder.
[[nodiscard]] Ref new_ascii_str(std::string_view text);

// Sets the exception for a C++ exception that reached an entry point:
// std::bad_alloc becomes MemoryError, anything else an internal fault (a
// BaseException, not an Exception, so that `except Exception` cannot hide a
// defect). Aborts if even that cannot be done.
void set_fault_from_current_exception();

// Runs an entry point's body so that no C++ exception crosses into the
// interpreter: on one, the exception is set and `failure` returned. The one
// thing that passes is the forced unwind by which the interpreter ends a
// thread (a daemon thread at exit): it must run to the thread's start, so no
// entry point, and nothing between it and the interpreter's code, is noexcept.
template <class Value, class Body>
Value guarded(Value failure, Body&& body) {
  try {
    return body();
  } catch (const std::exception&) {
    // Everything this code throws is a std::exception. The forced unwind is
    // none (nor is anything else foreign to C++), so it goes on untouched;
    // catching it by its own type would bind a reference to no object, and
    // telling it apart by std::current_exception() would need a newer C++
    // runtime than the wheels may ask for.
    set_fault_from_current_exception();
    return failure;
  }
}

// Converts the result of a function body into what the C API expects.
inline PyObject* finish(Result<Ref>&& result) {
  if (result) return result->release();
  restore(std::move(result.error()));
  return nullptr;
}

}  // namespace vela_sha::py
