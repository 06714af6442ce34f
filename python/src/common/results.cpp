#include "results.hpp"

#include <array>
#include <string_view>

#include "vela_sha/digest.hpp"

namespace vela_sha::py {
namespace {

constexpr std::array<std::string_view, 5> kNames = {"kind", "sha256", "template", "composition", "utf8_file_bytes"};

}  // namespace

Ref name_object(Name name) {
  const std::string_view text = kNames[static_cast<std::size_t>(name)];
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return new_ascii_str(text);
  // Kept until the process ends, and never freed.
  static std::array<PyObject*, kNames.size()> objects{};
  PyObject*& object = objects[static_cast<std::size_t>(name)];
  // Making a str runs no Python code (a str is not collected), so no other
  // call can come in between.
  if (object == nullptr) object = new_ascii_str(text).release();
  return Ref::borrow(object);
}

Result<Ref> digest_result(Name kind, Sha256Bytes digest) {
  Ref result = Ref::steal(PyDict_New());
  if (!result) throw InterpreterFault("could not create the result dict");
  if (PyDict_SetItem(result.get(), name_object(Name::Kind).get(), name_object(kind).get()) < 0) return raised();
  // The text form is written straight into the new str's storage.
  const Ref sha_value = Ref::steal(PyUnicode_New(64, 127));
  if (!sha_value) throw InterpreterFault("could not create a str");
  digest_to_hex(digest, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(sha_value.get())));
  if (PyDict_SetItem(result.get(), name_object(Name::Sha256).get(), sha_value.get()) < 0) return raised();
  return result;
}

}  // namespace vela_sha::py
