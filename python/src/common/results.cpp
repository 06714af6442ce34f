#include "results.hpp"

#include "vela_sha/digest.hpp"

namespace vela_sha::py {

Result<Ref> digest_result(std::string_view kind, Sha256Bytes digest) {
  Ref result = Ref::steal(PyDict_New());
  if (!result) throw InterpreterFault("could not create the result dict");
  const Ref kind_key = new_ascii_str("kind");
  const Ref kind_value = new_ascii_str(kind);
  if (PyDict_SetItem(result.get(), kind_key.get(), kind_value.get()) < 0) return raised();
  const Ref sha_key = new_ascii_str("sha256");
  // The text form is written straight into the new str's storage.
  const Ref sha_value = Ref::steal(PyUnicode_New(64, 127));
  if (!sha_value) throw InterpreterFault("could not create a str");
  digest_to_hex(digest, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(sha_value.get())));
  if (PyDict_SetItem(result.get(), sha_key.get(), sha_value.get()) < 0) return raised();
  return result;
}

}  // namespace vela_sha::py
