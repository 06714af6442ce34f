// vela_sha.hash_file: the template digest of a file, by path or file object.
#include <cerrno>
#include <memory>
#include <string>

#include "common/arguments.hpp"
#include "common/results.hpp"
#include "ext.hpp"
#include "vela_sha/file_reader.hpp"

namespace vela_sha::py {
namespace {

// The size hashlib.file_digest reads in, for the same reason: few calls, and
// still small enough to stay in the cache while it is validated and hashed.
constexpr std::size_t kChunk = 256 * 1024;

// Between two looks at the signals, so Ctrl-C stops a huge file promptly
// without costing a lock round trip per chunk.
constexpr std::uint64_t kBetweenSignalChecks = 64ULL << 20;

constexpr const char* kTextMode = "hash_file() needs a binary file, not a text-mode one: open it with 'rb'";

std::span<std::uint8_t> thread_buffer() {
  // One per thread that reads paths, kept for its life: files come in runs.
  thread_local std::unique_ptr<std::uint8_t[]> buffer;
  if (!buffer) buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk);
  return {buffer.get(), kChunk};
}

std::unexpected<Failure> os_error(int error_number, PyObject* filename) {
  errno = error_number;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
  return raised();
}

Result<Ref> hash_path(PyObject* path) {
  auto file_path = fs_path(path);
  if (!file_path) return propagate(file_path);
  PyObject* const filename = file_path->name.get();
  const auto buffer = thread_buffer();

  std::expected<FileDescriptor, ReadError> file = std::unexpected(ReadError{EINTR});
  // Opening a FIFO waits for a writer; a signal ends the wait, and Ctrl-C
  // must be heard then.
  while (!file && file.error().error_number == EINTR) {
    if (PyErr_CheckSignals() < 0) return raised();
    Py_BEGIN_ALLOW_THREADS
    file = FileDescriptor::open(file_path->bytes.c_str());
    Py_END_ALLOW_THREADS
  }
  if (!file) return os_error(file.error().error_number, filename);

  TemplateHasher hasher;
  for (;;) {
    std::expected<Fed, FeedError> fed;
    Py_BEGIN_ALLOW_THREADS
    fed = feed(file->get(), hasher, buffer, kBetweenSignalChecks);
    Py_END_ALLOW_THREADS
    if (!fed) {
      if (const auto* utf8 = std::get_if<Utf8Error>(&fed.error())) return error(*utf8, filename);
      return os_error(std::get_if<ReadError>(&fed.error())->error_number, filename);
    }
    if (PyErr_CheckSignals() < 0) return raised();
    if (fed->at_end) break;
  }
  const auto digest = hasher.digest();
  if (!digest) return error(digest.error(), filename);
  return digest_result(Name::Template, digest->bytes());
}

// A file object's name, where it is a str or bytes (as open() gives it), for
// its errors to name; none otherwise.
Result<Ref> name_of(PyObject* file) {
  Ref name = Ref::steal(PyObject_GetAttrString(file, "name"));
  if (!name) {
    if (must_reach_caller(PyErr_Occurred())) return raised();
    PyErr_Clear();
    return Ref();
  }
  if (!PyUnicode_Check(name.get()) && !PyBytes_Check(name.get())) return Ref();
  return name;
}

// Invalid UTF-8 in a file object, named by its name where it has one.
std::unexpected<Failure> invalid_in(PyObject* file, const Utf8Error& at) {
  auto name = name_of(file);
  if (!name) return propagate(name);
  return error(at, name->get());
}

Result<void> refuse_text_mode(PyObject* file) {
  const Ref io = Ref::steal(PyImport_ImportModule("io"));
  if (!io) return raised();
  const Ref text_base = Ref::steal(PyObject_GetAttrString(io.get(), "TextIOBase"));
  if (!text_base) return raised();
  const int text_mode = PyObject_IsInstance(file, text_base.get());
  if (text_mode < 0) return raised();
  if (text_mode) {
    PyErr_SetString(PyExc_TypeError, kTextMode);
    return raised();
  }
  return {};
}

std::unexpected<Failure> would_block() {
  PyErr_SetString(PyExc_BlockingIOError, "hash_file() read no data from a non-blocking file");
  return raised();
}

// A file object with readinto: read into one bytearray, as hashlib.file_digest does.
Result<void> hash_readinto(PyObject* file, PyObject* readinto, TemplateHasher& hasher) {
  const Ref chunk = Ref::steal(PyByteArray_FromStringAndSize(nullptr, kChunk));
  if (!chunk) return raised();
  const Ref view = Ref::steal(PyMemoryView_FromObject(chunk.get()));
  if (!view) return raised();
  for (;;) {
    const Ref got = Ref::steal(PyObject_CallOneArg(readinto, view.get()));
    if (!got) return raised();
    if (got.get() == Py_None) return would_block();
    const Py_ssize_t size = PyNumber_AsSsize_t(got.get(), PyExc_OverflowError);
    if (size == -1 && PyErr_Occurred()) return raised();
    if (size < 0 || static_cast<std::size_t>(size) > kChunk) {
      PyErr_Format(PyExc_ValueError, "readinto() returned %zd, outside 0 to %zu", size, kChunk);
      return raised();
    }
    if (size == 0) return {};
    // The bytearray stays exported while it is hashed, so it cannot be
    // resized then; but readinto may have resized it (through the view's
    // .obj, once the view was released), so its length now is what bounds.
    auto held = BufferView::of(chunk.get());
    if (!held) return propagate(held);
    if (static_cast<std::size_t>(size) > held->bytes().size()) {
      PyErr_Format(PyExc_ValueError, "readinto() returned %zd, more than the buffer now holds", size);
      return raised();
    }
    if (auto fed = update_releasing(hasher, held->bytes().first(static_cast<std::size_t>(size))); !fed) {
      return invalid_in(file, fed.error());
    }
    if (PyErr_CheckSignals() < 0) return raised();
  }
}

// A file object with only read: whatever bytes-like object each call returns.
Result<void> hash_read(PyObject* file, TemplateHasher& hasher) {
  const Ref read = Ref::steal(PyObject_GetAttrString(file, "read"));
  if (!read) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "hash_file() needs a path or a binary file object, not %.200s",
                 Py_TYPE(file)->tp_name);
    return raised();
  }
  const Ref size = Ref::steal(PyLong_FromSize_t(kChunk));
  if (!size) return raised();
  for (;;) {
    const Ref got = Ref::steal(PyObject_CallOneArg(read.get(), size.get()));
    if (!got) return raised();
    if (got.get() == Py_None) return would_block();
    if (PyUnicode_Check(got.get())) {
      PyErr_SetString(PyExc_TypeError, kTextMode);
      return raised();
    }
    auto held = BufferView::of(got.get());
    if (!held) return propagate(held);
    if (held->bytes().empty()) return {};
    if (auto fed = update_releasing(hasher, held->bytes()); !fed) return invalid_in(file, fed.error());
  }
}

Result<Ref> hash_file_object(PyObject* file) {
  if (auto refused = refuse_text_mode(file); !refused) return propagate(refused);
  TemplateHasher hasher;
  const Ref readinto = Ref::steal(PyObject_GetAttrString(file, "readinto"));
  Result<void> read;
  if (readinto) {
    read = hash_readinto(file, readinto.get(), hasher);
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
    PyErr_Clear();
    read = hash_read(file, hasher);
  }
  if (!read) return propagate(read);
  const auto digest = hasher.digest();
  if (!digest) return invalid_in(file, digest.error());
  return digest_result(Name::Template, digest->bytes());
}

}  // namespace

std::expected<void, Utf8Error> update_releasing(TemplateHasher& hasher, std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kReleaseLockAbove) return hasher.update(bytes);
  std::expected<void, Utf8Error> fed;
  Py_BEGIN_ALLOW_THREADS
  fed = hasher.update(bytes);
  Py_END_ALLOW_THREADS
  return fed;
}

PyObject* hash_file_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"file"};
  static constexpr Signature kSignature{"hash_file()", kNames, 1};
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* file;
    if (!bind_arguments(kSignature, args, nargs, kwnames, &file)) return nullptr;
    return finish(is_path(file) ? hash_path(file) : hash_file_object(file));
  });
}

}  // namespace vela_sha::py
