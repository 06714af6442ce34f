// vela_sha.TemplateHasher: the template digest of data given in pieces, shaped
// like hashlib's objects.
#include <new>

#include "common/arguments.hpp"
#include "common/results.hpp"
#include "ext.hpp"

namespace vela_sha::py {
namespace {

struct HasherObject {
  PyObject_HEAD
  // Made by the first update that gives the interpreter lock away; from then
  // on every use of the state takes it, so threads may share one hasher.
  PyThread_type_lock lock;
  TemplateHasher state;
};

HasherObject* as_hasher(PyObject* self) noexcept { return reinterpret_cast<HasherObject*>(self); }

// Holds the object's lock, if it has one, for a short use of its state. While
// another thread holds it (hashing a large piece), the wait happens without
// the interpreter lock.
class Locked {
 public:
  explicit Locked(HasherObject* self) : lock_(self->lock) {
    if (lock_ != nullptr && !PyThread_acquire_lock(lock_, NOWAIT_LOCK)) {
      Py_BEGIN_ALLOW_THREADS
      PyThread_acquire_lock(lock_, WAIT_LOCK);
      Py_END_ALLOW_THREADS
    }
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  ~Locked() {
    if (lock_ != nullptr) PyThread_release_lock(lock_);
  }

 private:
  PyThread_type_lock lock_;
};

Result<Ref> new_hasher(PyTypeObject* type) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return raised();
  as_hasher(self.get())->lock = nullptr;
  new (&as_hasher(self.get())->state) TemplateHasher();
  return self;
}

Result<Ref> update(HasherObject* self, PyObject* data) {
  auto view = BufferView::of(data);
  if (!view) return propagate(view);
  const auto bytes = view->bytes();
  std::expected<void, Utf8Error> fed;
  if (bytes.size() >= kReleaseLockAbove) {
    if (self->lock == nullptr) {
      self->lock = PyThread_allocate_lock();
      if (self->lock == nullptr) throw std::bad_alloc();
    }
    Py_BEGIN_ALLOW_THREADS
    PyThread_acquire_lock(self->lock, WAIT_LOCK);
    fed = self->state.update(bytes);
    PyThread_release_lock(self->lock);
    Py_END_ALLOW_THREADS
  } else {
    const Locked locked(self);
    fed = self->state.update(bytes);
  }
  if (!fed) return error(fed.error());
  return Ref::borrow(Py_None);
}

// The digest so far, or the error: the update's that failed the hasher, or
// (the text so far ending inside a character) one that says so.
Result<TemplateSha256> digest_of(HasherObject* self) {
  const Locked locked(self);
  const auto digest = self->state.digest();
  if (!digest) return error(digest.error());
  return *digest;
}

PyObject* hasher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kNames[] = {"data"};
  static constexpr Signature kSignature{"TemplateHasher()", kNames, 1, 1, 0};
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* data;
    if (!bind_arguments(kSignature, args, kwargs, &data)) return nullptr;
    auto self = new_hasher(type);
    if (!self) return finish(std::move(self));
    if (data != nullptr) {
      auto fed = update(as_hasher(self->get()), data);
      if (!fed) return finish(std::move(fed));
    }
    return self->release();
  });
}

void hasher_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (as_hasher(self)->lock != nullptr) PyThread_free_lock(as_hasher(self)->lock);
  as_hasher(self)->state.~TemplateHasher();
  type->tp_free(self);
  Py_DECREF(type);  // each instance of a heap type holds its type
}

PyObject* hasher_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"data"};
  static constexpr Signature kSignature{"update()", kNames, 1};
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* data;
    if (!bind_arguments(kSignature, args, nargs, kwnames, &data)) return nullptr;
    return finish(update(as_hasher(self), data));
  });
}

PyObject* hasher_digest(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto digest = digest_of(as_hasher(self));
    if (!digest) return finish(propagate(digest));
    const auto& bytes = digest->bytes();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  });
}

PyObject* hasher_hexdigest(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto digest = digest_of(as_hasher(self));
    if (!digest) return finish(propagate(digest));
    Ref text = Ref::steal(PyUnicode_New(64, 127));
    if (!text) return nullptr;
    digest_to_hex(digest->bytes(), reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())));
    return text.release();
  });
}

PyObject* hasher_result(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto digest = digest_of(as_hasher(self));
    if (!digest) return finish(propagate(digest));
    return finish(digest_result(Name::Template, digest->bytes()));
  });
}

PyObject* hasher_copy(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto copy = new_hasher(Py_TYPE(self));
    if (!copy) return finish(std::move(copy));
    const Locked locked(as_hasher(self));
    as_hasher(copy->get())->state = as_hasher(self)->state;
    return copy->release();
  });
}

PyObject* get_name(PyObject*, void*) noexcept { return PyUnicode_FromString("template-sha256"); }
PyObject* get_digest_size(PyObject*, void*) noexcept { return PyLong_FromLong(32); }
PyObject* get_block_size(PyObject*, void*) noexcept { return PyLong_FromLong(64); }

PyMethodDef hasher_methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hasher_update)),
     METH_FASTCALL | METH_KEYWORDS,
     "update($self, data, /)\n--\n\n"
     "Appends the bytes of `data` (any C-contiguous buffer). Invalid UTF-8 raises\n"
     "VelaShaError, with `offset` and `line` set, and fails the hasher for good."},
    {"digest", hasher_digest, METH_NOARGS,
     "digest($self, /)\n--\n\n"
     "The 32-byte template digest of the data so far; updating may go on."},
    {"hexdigest", hasher_hexdigest, METH_NOARGS,
     "hexdigest($self, /)\n--\n\nThe digest as 64 lowercase hexadecimal digits."},
    {"result", hasher_result, METH_NOARGS,
     "result($self, /)\n--\n\nThe digest as calculate_hash returns it: {'kind': 'template', 'sha256': hex}."},
    {"copy", hasher_copy, METH_NOARGS,
     "copy($self, /)\n--\n\nAn independent hasher that has seen the same data."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef hasher_getset[] = {
    {"name", get_name, nullptr, "'template-sha256'", nullptr},
    {"digest_size", get_digest_size, nullptr, "32: the digest's size in bytes", nullptr},
    {"block_size", get_block_size, nullptr, "64: SHA-256's block size in bytes", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hasher_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "TemplateHasher(data=b'', /)\n--\n\n"
        "The template digest of data given in pieces: the same digest, or the same\n"
        "VelaShaError, as calculate_hash on all of it. Line endings are normalised as\n"
        "they arrive; memory stays fixed whatever the size.")},
    {Py_tp_new, reinterpret_cast<void*>(hasher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hasher_dealloc)},
    {Py_tp_methods, hasher_methods},
    {Py_tp_getset, hasher_getset},
    {0, nullptr},
};

PyType_Spec hasher_spec = {
    .name = "vela_sha.TemplateHasher",
    .basicsize = static_cast<int>(sizeof(HasherObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = hasher_slots,
};

}  // namespace

Ref make_template_hasher_type(PyObject* module) {
  return Ref::steal(PyType_FromModuleAndSpec(module, &hasher_spec, nullptr));
}

}  // namespace vela_sha::py
