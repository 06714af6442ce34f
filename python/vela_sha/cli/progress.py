"""The --progress line: files and bytes done, on standard error."""

from __future__ import annotations

import os
import time
from typing import BinaryIO, Sequence


class Progress:
    """One status line on standard error, redrawn a few times a second."""

    def __init__(self, err: BinaryIO, names: Sequence[str]) -> None:
        self.err, self.files, self.done, self.bytes_done = err, len(names), 0, 0
        self.total = sum(size(name) for name in names)
        self.started = time.monotonic()
        self.drawn = self.started - 1.0  # the first file is shown at once
        self.width = 0

    def advance(self, name: str) -> None:
        self.done += 1
        self.bytes_done += size(name)
        now = time.monotonic()
        if now - self.drawn >= 0.25:
            self.drawn = now
            self.draw(now)

    def draw(self, now: float) -> None:
        elapsed = max(now - self.started, 1e-9)
        rate = self.bytes_done / elapsed
        left = (self.total - self.bytes_done) / rate if rate > 0 else 0.0
        text = (f"{self.done}/{self.files} files, {in_units(self.bytes_done)} of {in_units(self.total)}, "
                f"{in_units(rate)}/s, {left:.0f}s left")
        self.err.write(b"\r" + text.ljust(self.width).encode())
        self.width = len(text)
        self.err.flush()

    def clear(self) -> None:
        if self.width:
            self.err.write(b"\r" + b" " * self.width + b"\r")
            self.err.flush()
            self.width = 0


def size(name: str) -> int:
    try:
        return os.stat(name).st_size if name != "-" else 0
    except OSError:
        return 0


def in_units(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError
