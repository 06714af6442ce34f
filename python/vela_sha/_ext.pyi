import os
from types import TracebackType
from typing import Iterable, Iterator, Literal, NoReturn, Protocol, TypeVar, final, overload

from _typeshed import ReadableBuffer, StrOrBytesPath
from typing_extensions import Self, deprecated

from vela_sha.types import ManifestProblem, TemplateResult

__all__ = ["TemplateHasher", "hash_file", "iter_hash_files", "hash_files", "manifest_problems"]

_Path = TypeVar("_Path", bound=StrOrBytesPath)

class _ReadsInto(Protocol):
    def readinto(self, buffer: memoryview, /) -> int | None: ...

class _Reads(Protocol):
    def read(self, size: int, /) -> ReadableBuffer | None: ...

@final
class TemplateHasher:
    """The template digest of data given in pieces.

    The same digest, or the same VelaShaError, as calculate_hash on all of the
    data. Line endings are normalised as they arrive; memory stays fixed
    whatever the size. Shaped like hashlib's objects; safe to share between
    threads (large updates run without the interpreter lock).
    """

    def __new__(cls, data: ReadableBuffer = b"", /) -> TemplateHasher: ...
    def update(self, data: ReadableBuffer, /) -> None:
        """Appends the bytes of `data` (any C-contiguous buffer).

        Invalid UTF-8 raises VelaShaError (with `offset` and `line` set) and
        fails the hasher for good: every later call raises the same error.
        """

    def digest(self) -> bytes:
        """The 32-byte digest of the data so far; updating may go on.

        A CR at the end reads as a line ending now; an LF that comes later
        still merges with it. Data that ends inside a multi-byte sequence
        raises VelaShaError without failing the hasher.
        """

    def hexdigest(self) -> str:
        """The digest as 64 lowercase hexadecimal digits."""

    def result(self) -> TemplateResult:
        """The digest as calculate_hash returns it."""

    def copy(self) -> TemplateHasher:
        """An independent hasher that has seen the same data."""

    @property
    def name(self) -> str:
        """'template-sha256'."""

    @property
    def digest_size(self) -> int:
        """32."""

    @property
    def block_size(self) -> int:
        """64."""

def hash_file(file: StrOrBytesPath | _ReadsInto | _Reads, /) -> TemplateResult:
    """The template digest of a file, as calculate_hash gives it for its bytes.

    A path (str, bytes, os.PathLike) is read through a fixed buffer without
    the interpreter lock. A binary file object is read from its current
    position to its end, through readinto where it has one (else read), and is
    never closed. I/O failures raise OSError with errno and filename; a
    text-mode file raises TypeError; invalid UTF-8 raises VelaShaError with
    `offset` and `line` set.
    """

@final
class _FileDigests(Iterator[tuple[_Path, TemplateResult | Exception]]):
    def __next__(self) -> tuple[_Path, TemplateResult | Exception]: ...
    def close(self) -> None:
        """Stops the batch's threads and waits for them; iteration then ends."""

    def __enter__(self) -> Self: ...
    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None, /
    ) -> Literal[False]:
        """Closes the iterator: the threads are joined on leaving the block."""

# A single path is not a collection of paths (a str would be read as its
# characters): the functions raise TypeError, and checkers that read PEP 702
# flag the call.
_OnePath = str | bytes | os.PathLike[str] | os.PathLike[bytes]

@overload
@deprecated("iter_hash_files() takes a collection of paths, not a single path: pass a list, [path]")
def iter_hash_files(files: _OnePath, /, *, jobs: int | None = None) -> NoReturn: ...
@overload
def iter_hash_files(files: Iterable[_Path], /, *, jobs: int | None = None) -> _FileDigests[_Path]:
    """Yields (path, outcome) for each of `files`, in input order.

    Each pair comes as soon as its file and every one before it are done.
    `outcome` is the result dict, or the exception for that file (VelaShaError
    with `offset` and `line`; OSError with `filename`). Every item is checked
    to be a path (str, bytes, os.PathLike) before any file is opened.

    The files are read and hashed on `jobs` threads (default: the CPUs this
    process may use: its affinity within the cgroup's CPU quota), without the
    interpreter lock and in flat memory per file. The threads are joined when
    iteration ends, on close(), on leaving a `with` block, or when the
    iterator goes; Ctrl-C stops them promptly. `jobs` must be a positive int.
    """

@overload
@deprecated("hash_files() takes a collection of paths, not a single path: pass a list, [path]")
def hash_files(files: _OnePath, /, *, jobs: int | None = None, return_exceptions: bool = False) -> NoReturn: ...
@overload
def hash_files(
    files: Iterable[StrOrBytesPath], /, *, jobs: int | None = None, return_exceptions: Literal[False] = False
) -> list[TemplateResult]: ...
@overload
def hash_files(
    files: Iterable[StrOrBytesPath], /, *, jobs: int | None = None, return_exceptions: bool
) -> list[TemplateResult | Exception]:
    """The result dicts of `files`, in input order, hashed as iter_hash_files does.

    By default the failure of the first failing file in input order is raised
    once the whole batch is done; with return_exceptions=True each failure
    takes its file's place in the list instead (as asyncio.gather does).
    """

def manifest_problems(manifest: object, /) -> list[ManifestProblem]:
    """Every problem of a manifest, each located, in the order they are checked.

    `[]` exactly when calculate_composition_hash succeeds; otherwise the first
    record holds the very code and message it raises. Past a problem, the rest
    is still read where it can be: a node whose digest is bad still takes part
    in the duplicate and endpoint checks; a node or edge whose source is
    invalid takes part in neither; without a node list, edges are checked for
    shape only. Each node and edge gives at most its first shape problem; each
    unknown endpoint is a record of its own. The manifest's objects are read
    as calculate_composition_hash reads them, and an exception they raise
    passes through.
    """
