from typing import Protocol, final

from _typeshed import ReadableBuffer, StrOrBytesPath

from vela_sha.types import TemplateResult

__all__ = ["TemplateHasher", "hash_file"]

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
