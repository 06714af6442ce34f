// iter_hash_files and hash_files: many files on the batch's own threads, the
// interpreter lock given away while they read and hash.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "common/arguments.hpp"
#include "common/results.hpp"
#include "ext.hpp"
#include "vela_sha/file_batch.hpp"

namespace vela_sha::py {
namespace {

// How often a waiting caller looks at its signals, so Ctrl-C is heard promptly.
constexpr std::chrono::milliseconds kSignalCheck{100};

Result<std::size_t> jobs_of(PyObject* jobs, const char* function) {
  if (jobs == nullptr || jobs == Py_None) return FileBatch::default_jobs();
  if (!PyLong_Check(jobs) || PyBool_Check(jobs)) {
    PyErr_Format(PyExc_TypeError, "%s() jobs must be a positive int or None, not %.200s", function,
                 Py_TYPE(jobs)->tp_name);
    return raised();
  }
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(jobs, &overflow);
  if (count == -1 && PyErr_Occurred()) return raised();
  if (overflow > 0) return std::size_t(-1);  // as many as there are files
  if (overflow < 0 || count <= 0) {
    PyErr_Format(PyExc_ValueError, "%s() jobs must be at least 1", function);
    return raised();
  }
  return static_cast<std::size_t>(count);
}

// The caller's items, each checked to be a path before any file is opened,
// with the names open() would report and the bytes the system is given.
struct Items {
  Ref given;      // list of the items as given
  Ref filenames;  // list of their os.fspath()
  std::vector<std::string> paths;
};

Result<Items> items_of(PyObject* files, const char* function) {
  // A str, bytes or path object is itself iterable (by characters, bytes),
  // which is never what was meant.
  if (is_path(files)) {
    PyErr_Format(PyExc_TypeError, "%s() takes a collection of paths, not a single path: pass a list, [path]",
                 function);
    return raised();
  }
  const Ref iterator = Ref::steal(PyObject_GetIter(files));
  if (!iterator) return raised();
  Items items{Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)), {}};
  if (!items.given || !items.filenames) return raised();
  for (Py_ssize_t index = 0;; ++index) {
    const Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return raised();
      return items;
    }
    if (!is_path(item.get())) {
      PyErr_Format(PyExc_TypeError, "%s() item %zd is not a path (str, bytes or os.PathLike): %.200s",
                   function, index, Py_TYPE(item.get())->tp_name);
      return raised();
    }
    auto path = fs_path(item.get());
    if (!path) return propagate(path);
    items.paths.push_back(std::move(path->bytes));
    if (PyList_Append(items.given.get(), item.get()) < 0 ||
        PyList_Append(items.filenames.get(), path->name.get()) < 0) {
      return raised();
    }
  }
}

// Stops the threads and waits for them, without the interpreter lock.
void stop(FileBatch& batch) {
  Py_BEGIN_ALLOW_THREADS
  batch.stop();
  Py_END_ALLOW_THREADS
}

// Waits for file `index` (or for all, given none) without the interpreter
// lock, looking at the signals in between: true once it is done, false if the
// batch was told to stop meanwhile. A signal's exception stops the batch and
// is returned.
Result<bool> wait_for(FileBatch& batch, std::optional<std::size_t> index) {
  for (;;) {
    if (batch.inherited()) {
      PyErr_SetString(PyExc_RuntimeError,
                      "the files of this batch are hashed by threads of the process it was started in, "
                      "not of this forked child: start the batch again here");
      return raised();
    }
    bool done;
    Py_BEGIN_ALLOW_THREADS
    done = index ? batch.wait_for(*index, kSignalCheck) : batch.wait_for_all(kSignalCheck);
    Py_END_ALLOW_THREADS
    if (done) return true;
    if (batch.stopping()) return false;
    if (PyErr_CheckSignals() < 0) {
      auto interrupted = raised();
      stop(batch);
      return interrupted;
    }
  }
}

// The result dict of a file, or the exception that stands for its failure.
Ref outcome_object(const FileOutcome& outcome, PyObject* filename) {
  if (outcome) {
    auto result = digest_result(Name::Template, outcome->bytes());
    return result ? std::move(*result) : exception_of(std::move(result.error()));
  }
  if (const auto* utf8 = std::get_if<Utf8Error>(&outcome.error())) {
    return exception_of(std::move(error(*utf8, filename).error()));
  }
  const int number = std::get_if<ReadError>(&outcome.error())->error_number;
  // OSError(errno, strerror, filename) is the subclass open() would raise.
  return Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", number, std::strerror(number), filename));
}

// What iter_hash_files returns: the caller's items with their outcomes, in
// input order, each as soon as it and everything before it are done.
struct IteratorObject {
  PyObject_HEAD
  PyObject* given;
  PyObject* filenames;
  FileBatch* batch;  // gone once finished or closed
  Py_ssize_t next;
  bool busy;  // a call is waiting without the interpreter lock
};

IteratorObject* as_iterator(PyObject* self) noexcept { return reinterpret_cast<IteratorObject*>(self); }

// Ends the batch: taken from the iterator first, so that a call from another
// thread meanwhile (the lock is given away while the threads are joined)
// finds it gone.
void finish_batch(IteratorObject* self) {
  const std::unique_ptr<FileBatch> batch(std::exchange(self->batch, nullptr));
  if (batch) stop(*batch);
}

PyObject* iterator_next(PyObject* object) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    IteratorObject* self = as_iterator(object);
    if (self->busy) {
      PyErr_SetString(PyExc_ValueError, "iter_hash_files() iterator already executing");
      return nullptr;
    }
    if (self->batch == nullptr) return nullptr;
    if (self->next >= PyList_GET_SIZE(self->given)) {
      finish_batch(self);
      return nullptr;  // the end, no exception set
    }
    const Py_ssize_t next = self->next;
    const auto index = static_cast<std::size_t>(next);
    // Busy until the pair is made: making objects may run the collector, and
    // a finalizer that calls next() or close() must not pass this one.
    struct Busy {
      IteratorObject* self;
      explicit Busy(IteratorObject* iterator) noexcept : self(iterator) { self->busy = true; }
      ~Busy() { self->busy = false; }
    };
    Result<bool> waited = false;
    {
      const Busy busy(self);
      waited = wait_for(*self->batch, index);
      if (waited && *waited) {
        const FileOutcome outcome = self->batch->outcome(index);
        const Ref made = outcome_object(outcome, PyList_GET_ITEM(self->filenames, next));
        PyObject* pair = made ? PyTuple_Pack(2, PyList_GET_ITEM(self->given, next), made.get()) : nullptr;
        if (pair != nullptr) self->next = next + 1;
        return pair;
      }
    }
    finish_batch(self);  // interrupted, or closed from another thread
    if (!waited) restore(std::move(waited.error()));
    return nullptr;
  });
}

PyObject* iterator_close(PyObject* object, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    IteratorObject* self = as_iterator(object);
    if (self->busy) {
      // Another thread waits in __next__: it ends the batch once told.
      self->batch->request_stop();
    } else {
      finish_batch(self);
    }
    Py_RETURN_NONE;
  });
}

int iterator_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(as_iterator(object)->given);
  Py_VISIT(as_iterator(object)->filenames);
  return 0;
}

void iterator_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  IteratorObject* self = as_iterator(object);
  // Joining needs no interpreter state; the threads never touch Python.
  if (self->batch != nullptr) {
    self->batch->stop();
    delete self->batch;
  }
  Py_XDECREF(self->given);
  Py_XDECREF(self->filenames);
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* iterator_enter(PyObject* object, PyObject*) { return Py_NewRef(object); }

PyObject* iterator_exit(PyObject* object, PyObject* const*, Py_ssize_t) {
  PyObject* closed = iterator_close(object, nullptr);
  if (closed == nullptr) return nullptr;
  Py_DECREF(closed);
  Py_RETURN_FALSE;  // an exception from the block goes on
}

PyMethodDef iterator_methods[] = {
    {"close", iterator_close, METH_NOARGS,
     "close($self, /)\n--\n\nStops the batch's threads and waits for them; iteration then ends."},
    {"__enter__", iterator_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nThe iterator itself."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iterator_exit)), METH_FASTCALL,
     "__exit__($self, /, *exc_info)\n--\n\nCloses the iterator: its threads are joined."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("The (path, outcome) pairs of iter_hash_files, in input order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    .name = "vela_sha.FileDigests",
    .basicsize = static_cast<int>(sizeof(IteratorObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = iterator_slots,
};

struct Arguments {
  PyObject* files = nullptr;
  PyObject* jobs = nullptr;
  bool return_exceptions = false;
};

Result<std::unique_ptr<FileBatch>> start(Items& items, PyObject* jobs_object, const char* function) {
  auto jobs = jobs_of(jobs_object, function);
  if (!jobs) return propagate(jobs);
  try {
    return std::make_unique<FileBatch>(std::move(items.paths), *jobs);
  } catch (const std::system_error&) {
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
    return raised();
  }
}

Result<Ref> iter_hash_files(PyObject* module, const Arguments& arguments) {
  auto items = items_of(arguments.files, "iter_hash_files");
  if (!items) return propagate(items);
  auto batch = start(*items, arguments.jobs, "iter_hash_files");
  if (!batch) return propagate(batch);
  std::unique_ptr<FileBatch> owned = std::move(*batch);
  auto* type = reinterpret_cast<PyTypeObject*>(state_of(module).file_digests_type);
  auto* self = PyObject_GC_New(IteratorObject, type);
  if (self == nullptr) return raised();
  self->given = items->given.release();
  self->filenames = items->filenames.release();
  self->batch = owned.release();
  self->next = 0;
  self->busy = false;
  PyObject_GC_Track(self);
  return Ref::steal(reinterpret_cast<PyObject*>(self));
}

Result<Ref> hash_files(const Arguments& arguments) {
  auto items = items_of(arguments.files, "hash_files");
  if (!items) return propagate(items);
  const Ref given = std::move(items->given), filenames = std::move(items->filenames);
  auto batch = start(*items, arguments.jobs, "hash_files");
  if (!batch) return propagate(batch);
  const std::unique_ptr<FileBatch> owned = std::move(*batch);
  const Py_ssize_t count = PyList_GET_SIZE(given.get());
  Ref results = Ref::steal(PyList_New(count));
  if (!results) return raised();
  // Nobody sees a file before the last is done, so one wait does.
  if (auto waited = wait_for(*owned, std::nullopt); !waited) return propagate(waited);
  Ref first_failure;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref outcome = outcome_object(owned->outcome(static_cast<std::size_t>(i)), PyList_GET_ITEM(filenames.get(), i));
    if (!outcome) return raised();
    if (!first_failure && !PyDict_CheckExact(outcome.get())) first_failure = Ref::borrow(outcome.get());
    PyList_SET_ITEM(results.get(), i, outcome.release());
  }
  stop(*owned);
  if (first_failure && !arguments.return_exceptions) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(first_failure.get())), first_failure.get());
    return raised();
  }
  return results;
}

}  // namespace

Ref make_file_digests_type(PyObject* module) {
  return Ref::steal(PyType_FromModuleAndSpec(module, &iterator_spec, nullptr));
}

PyObject* iter_hash_files_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"files", "jobs"};
  static constexpr Signature kSignature{"iter_hash_files()", kNames, 1, 1, 1};
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return finish(iter_hash_files(module, {bound[0], bound[1], false}));
  });
}

PyObject* hash_files_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"files", "jobs", "return_exceptions"};
  static constexpr Signature kSignature{"hash_files()", kNames, 1, 1, 1};
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    int return_exceptions = 0;
    if (bound[2] != nullptr && (return_exceptions = PyObject_IsTrue(bound[2])) < 0) return nullptr;
    return finish(hash_files({bound[0], bound[1], return_exceptions != 0}));
  });
}

}  // namespace vela_sha::py
