#include "error_type.hpp"

#include <cstring>
#include <new>
#include <string>

#include "arguments.hpp"
#include "failure.hpp"

namespace vela_sha::py {
namespace {

// An owned UTF-8 text in interpreter memory. Zeroed memory is a valid empty
// text, which matters because the base's tp_new may hand back an instance that
// is destroyed before its texts were ever set.
struct Text {
  char* data;
  Py_ssize_t size;
};

struct ErrorObject {
  PyBaseExceptionObject base;
  Text code;
  Text message;
};

ErrorObject* as_error(PyObject* self) noexcept { return reinterpret_cast<ErrorObject*>(self); }

void free_text(Text& text) noexcept {
  PyMem_Free(text.data);
  text = {nullptr, 0};
}

Ref text_to_str(const Text& text) {
  return new_str(std::string_view(text.data == nullptr ? "" : text.data,
                                  static_cast<std::size_t>(text.size)));
}

// Adds "while processing '<name>'" to the exception being raised.
void add_processing_note(const char* name) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    const std::string note = std::string("while processing '") + name + "'";
    Ref result = Ref::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    if (!result) {
      // The note could not be added; the original exception still wins.
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, traceback);
}

// Copies a str argument's UTF-8 text, or raises TypeError / UnicodeEncodeError
// carrying a note that names the argument.
bool take_text(PyObject* object, const char* name, Text& out) {
  if (!PyUnicode_Check(object)) {
    if (object == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
    } else {
      Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
      if (!qualname) throw InterpreterFault("could not read a type's qualified name");
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", qualname.get());
    }
    add_processing_note(name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) {
    add_processing_note(name);
    return false;
  }
  out.data = static_cast<char*>(PyMem_Malloc(static_cast<std::size_t>(size) + 1));
  if (out.data == nullptr) throw std::bad_alloc();
  std::memcpy(out.data, utf8, static_cast<std::size_t>(size) + 1);
  out.size = size;
  return true;
}

constexpr const char* kNewParameters[] = {"code", "message"};
constexpr Signature kNewSignature{"VelaShaError.__new__()", kNewParameters};

PyObject* error_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments(kNewSignature, args, kwargs, bound)) return nullptr;
    Text code{}, message{};
    if (!take_text(bound[0], "code", code)) return nullptr;
    if (!take_text(bound[1], "message", message)) {
      free_text(code);
      return nullptr;
    }
    // The exception part starts with empty args; the inherited __init__ then
    // sets them from the call.
    PyObject* self = reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_new(cls, nullptr, nullptr);
    if (self == nullptr) {
      free_text(code);
      free_text(message);
      return nullptr;
    }
    as_error(self)->code = code;
    as_error(self)->message = message;
    return self;
  });
}

void error_dealloc(PyObject* self) {
  // Deallocation may run while another exception is being raised: set it
  // aside so that only a fault of our own is reported, then put it back.
  PyObject *pending_type, *pending, *pending_traceback;
  PyErr_Fetch(&pending_type, &pending, &pending_traceback);
  const int status = guarded<int>(-1, [&] {
    PyObject_GC_UnTrack(self);
    free_text(as_error(self)->code);
    free_text(as_error(self)->message);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_dealloc(self);
    Py_DECREF(type);  // each instance of a heap type holds its type
    return 0;
  });
  if (status != 0) PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(pending_type, pending, pending_traceback);
}

PyObject* error_str(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return text_to_str(as_error(self)->message).release(); });
}

PyObject* get_code(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return text_to_str(as_error(self)->code).release(); });
}

PyObject* get_message(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return text_to_str(as_error(self)->message).release(); });
}

PyGetSetDef error_getset[] = {
    {"code", get_code, nullptr, nullptr, nullptr},
    {"message", get_message, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot error_slots[] = {
    {Py_tp_base, nullptr},  // PyExc_Exception, filled in at creation
    {Py_tp_doc, const_cast<char*>("VelaShaError(code, message)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(error_new)},
    {Py_tp_str, reinterpret_cast<void*>(error_str)},
    {Py_tp_getset, error_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(error_dealloc)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. Cycle collection,
// traversal and clearing are inherited from the exception base.
PyType_Spec error_spec = {
    .name = "builtins.VelaShaError",
    .basicsize = static_cast<int>(sizeof(ErrorObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = error_slots,
};

PyObject* g_error_type = nullptr;

}  // namespace

PyObject* error_type() noexcept { return g_error_type; }

void adopt_error_type(PyObject* type) noexcept {
  if (g_error_type != nullptr) return;
  Py_INCREF(type);
  g_error_type = type;
}

PyObject* error_type_or_create() {
  if (g_error_type == nullptr) {
    error_slots[0].pfunc = PyExc_Exception;
    g_error_type = PyType_FromSpec(&error_spec);  // kept until the process ends
  }
  return g_error_type;
}

}  // namespace vela_sha::py
