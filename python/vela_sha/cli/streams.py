"""Writing to standard output or standard error: a failed write ends the run."""

from __future__ import annotations

from typing import BinaryIO

__all__ = ["WriteError", "emit"]


class WriteError(Exception):
    """Standard output (or standard error) took no more: the run ends."""

    def __init__(self, error: OSError, stream: str) -> None:
        super().__init__(error.strerror or str(error))
        self.stream = stream


def emit(stream: BinaryIO, data: bytes, name: str) -> None:
    try:
        stream.write(data)
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise WriteError(error, name) from None
