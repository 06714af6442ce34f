#include "failure.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "error_type.hpp"

namespace vela_sha::py {
namespace {

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

// The class of internal-fault exceptions, made once per process under the
// interpreter lock. Deliberately not in the module's namespace.
PyObject* fault_type() noexcept {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "vela_sha._native.InternalFault",
      "A defect inside vela_sha's native code (never a result of bad input).",
      PyExc_BaseException, nullptr);
  return type;
}

void set_internal_fault(const char* description) {
  PyObject *cause_type, *cause, *cause_traceback;
  PyErr_Fetch(&cause_type, &cause, &cause_traceback);
  PyObject* type = fault_type();
  if (type == nullptr) abort_at_boundary();
  PyErr_SetString(type, description);
  if (cause_type == nullptr) return;
  // Keep the interpreter's own reason as the fault's __cause__.
  PyErr_NormalizeException(&cause_type, &cause, &cause_traceback);
  PyObject *fault_class, *fault, *fault_traceback;
  PyErr_Fetch(&fault_class, &fault, &fault_traceback);
  PyErr_NormalizeException(&fault_class, &fault, &fault_traceback);
  if (fault == nullptr || cause == nullptr) abort_at_boundary();
  if (cause_traceback != nullptr) PyException_SetTraceback(cause, cause_traceback);
  PyException_SetCause(fault, cause);  // steals `cause`
  Py_DECREF(cause_type);
  Py_XDECREF(cause_traceback);
  PyErr_Restore(fault_class, fault, fault_traceback);
}

}  // namespace

std::unexpected<Failure> error(std::string_view code, std::string message) {
  PyObject* type = error_type();
  if (type == nullptr) throw std::logic_error("VelaShaError is used before the module was initialised");
  return std::unexpected(Failure(PendingError{Ref::borrow(type), code, std::move(message)}));
}

std::unexpected<Failure> error(ShaError sha_error) {
  const std::string_view error_code =
      sha_error == ShaError::InvalidUtf8 ? code::kInvalidUtf8 : code::kInvalidDigest;
  return error(error_code, std::string(message(sha_error)));
}

std::unexpected<Failure> error(const Utf8Error& utf8_error, PyObject* filename) {
  auto failure = error(code::kInvalidUtf8, std::string(message(utf8_error)));
  auto& pending = std::get<PendingError>(failure.error());
  pending.position = utf8_error;
  pending.filename = Ref::borrow(filename);
  return failure;
}

std::unexpected<Failure> raised() noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  return std::unexpected(
      Failure(RaisedError{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)}));
}

bool must_reach_caller(PyObject* type) noexcept {
  return !PyErr_GivenExceptionMatches(type, PyExc_Exception) ||
         PyErr_GivenExceptionMatches(type, PyExc_MemoryError);
}

Ref new_str(std::string_view text) {
  Ref str = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) throw InterpreterFault("could not create a str");
  return str;
}

Ref new_ascii_str(std::string_view text) {
  Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
  if (!str) throw InterpreterFault("could not create a str");
  std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
  return str;
}

namespace {

Ref arguments_of(const PendingError& pending) {
  Ref code_text = new_str(pending.code);
  Ref message_text = new_str(pending.message);
  Ref args = Ref::steal(PyTuple_New(2));
  if (!args) throw InterpreterFault("could not create the VelaShaError arguments");
  PyTuple_SET_ITEM(args.get(), 0, code_text.release());
  PyTuple_SET_ITEM(args.get(), 1, message_text.release());
  return args;
}

// The note that says where a text stopped being UTF-8: "first invalid byte at
// offset N, line L", or "input ends inside a multi-byte character that starts
// at offset N"; " of FILE" where the text came from a named file.
Ref note_of(const PendingError& pending) {
  const Utf8Error& at = *pending.position;
  Ref note = Ref::steal(at.unfinished
      ? PyUnicode_FromFormat("input ends inside a multi-byte character that starts at offset %llu",
                             static_cast<unsigned long long>(at.offset))
      : PyUnicode_FromFormat("first invalid byte at offset %llu, line %llu", static_cast<unsigned long long>(at.offset),
                             static_cast<unsigned long long>(at.line)));
  if (!note || !pending.filename) return note;
  const Ref name = Ref::steal(PyBytes_Check(pending.filename.get())
                                  ? PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(pending.filename.get()),
                                                                     PyBytes_GET_SIZE(pending.filename.get()))
                                  : Ref::borrow(pending.filename.get()).release());
  if (!name) return Ref();
  return Ref::steal(PyUnicode_FromFormat("%U of %U", note.get(), name.get()));
}

// VelaShaError(code, message), with the position (and the file) set and told
// in a note.
Ref instance_of(const PendingError& pending) {
  Ref instance = Ref::steal(PyObject_Call(pending.type.get(), arguments_of(pending).get(), nullptr));
  if (!instance || !pending.position) return instance;
  const Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(pending.position->offset));
  const Ref line = Ref::steal(PyLong_FromUnsignedLongLong(pending.position->line));
  if (!offset || !line || PyObject_SetAttrString(instance.get(), "offset", offset.get()) < 0 ||
      PyObject_SetAttrString(instance.get(), "line", line.get()) < 0 ||
      PyObject_SetAttrString(instance.get(), "filename", pending.filename ? pending.filename.get() : Py_None) < 0) {
    return Ref();
  }
  const Ref note = note_of(pending);
  if (!note) return Ref();
  const Ref added = Ref::steal(PyObject_CallMethod(instance.get(), "add_note", "O", note.get()));
  return added ? std::move(instance) : Ref();
}

}  // namespace

void restore(Failure&& failure) {
  if (auto* raised_error = std::get_if<RaisedError>(&failure)) {
    PyErr_Restore(raised_error->type.release(), raised_error->value.release(),
                  raised_error->traceback.release());
    return;
  }
  auto& pending = std::get<PendingError>(failure);
  if (!pending.position) {
    // The interpreter makes the instance from the arguments.
    PyErr_SetObject(pending.type.get(), arguments_of(pending).get());
    return;
  }
  const Ref instance = instance_of(pending);
  if (instance) PyErr_SetObject(pending.type.get(), instance.get());
}

Ref exception_of(Failure&& failure) {
  if (auto* pending = std::get_if<PendingError>(&failure)) return instance_of(*pending);
  auto& raised_error = std::get<RaisedError>(failure);
  PyObject* type = raised_error.type.release();
  PyObject* value = raised_error.value.release();
  PyObject* traceback = raised_error.traceback.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
}

void set_fault_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const InterpreterFault& fault) {
    // Out of memory in the interpreter is still just out of memory.
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    set_internal_fault(fault.what());
  } catch (const std::exception& fault) {
    set_internal_fault(fault.what());
  } catch (...) {
    set_internal_fault("unknown C++ exception");
  }
}

}  // namespace vela_sha::py
