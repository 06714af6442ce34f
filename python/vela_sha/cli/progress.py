"""The --progress line: files and bytes done, on standard error."""

from __future__ import annotations

import os
import shutil
import time
from typing import BinaryIO, Sequence

from vela_sha.cli.streams import emit


class Progress:
    """One status line on standard error, redrawn a few times a second, never
    wider than the terminal (a line that wraps cannot be redrawn in place)."""

    def __init__(self, err: BinaryIO, names: Sequence[str]) -> None:
        self.err, self.files, self.done, self.bytes_done = err, len(names), 0, 0
        self.total = sum(size(name) for name in names)
        self.started = time.monotonic()
        self.drawn = self.started - 1.0  # the first file is shown at once
        self.text = ""
        self.width = 0  # of what is on the terminal now

    def advance(self, name: str) -> None:
        self.done += 1
        self.bytes_done += size(name)
        now = time.monotonic()
        if now - self.drawn >= 0.25:
            self.drawn = now
            self.text = self.fitted(now)
            self.redraw()

    def fitted(self, now: float) -> str:
        rate = self.bytes_done / max(now - self.started, 1e-9)
        left = (self.total - self.bytes_done) / rate if rate > 0 else 0.0
        files = f"{self.done}/{self.files} files"
        done = f"{in_units(self.bytes_done)} of {in_units(self.total)}"
        # The last column is left free: writing there makes some terminals wrap.
        width = shutil.get_terminal_size(self._own_size()).columns - 1
        for parts in ((files, done, f"{in_units(rate)}/s", f"{left:.0f}s left"), (files, done, f"{left:.0f}s left"),
                      (files, f"{left:.0f}s left"), (files,)):
            text = ", ".join(parts)
            if len(text) <= width:
                return text
        return text[: max(width, 0)]

    def _own_size(self) -> os.terminal_size:
        # shutil asks standard output's terminal; the line is on standard error's.
        try:
            return os.get_terminal_size(self.err.fileno())
        except OSError:
            return os.terminal_size((80, 24))

    def redraw(self) -> None:
        emit(self.err, b"\r" + self.text.ljust(self.width).encode(), "stderr")
        self.width = len(self.text)

    def clear(self) -> bool:
        """Takes the line off the terminal; whether it was there."""
        if not self.width:
            return False
        emit(self.err, b"\r" + b" " * self.width + b"\r", "stderr")
        self.width = 0
        return True


def size(name: str) -> int:
    try:
        return os.stat(name).st_size if name != "-" else 0
    except OSError:
        return 0


def in_units(count: float) -> str:
    """1023 B, 1.0 KiB, ..., 1.0 GiB: each unit up to what rounds to 1024 of it."""
    for unit in ("B", "KiB", "MiB"):
        digits = 0 if unit == "B" else 1
        if round(count, digits) < 1024:
            return f"{count:.{digits}f} {unit}"
        count /= 1024
    return f"{count:.1f} GiB"
