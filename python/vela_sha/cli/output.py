"""Where results and failures go: one run's standard output and standard error."""

from __future__ import annotations

import json
import os
import sys
from typing import TYPE_CHECKING, Any, BinaryIO, Mapping

from vela_sha import VelaShaError
from vela_sha.types import CompositionResult, TemplateResult

if TYPE_CHECKING:
    from vela_sha.cli.progress import Progress

# Codes for failures the command line adds to the library's own.
UNREADABLE = "VELA_SHA_UNREADABLE_FILE"
INVALID_JSON = "VELA_SHA_INVALID_JSON"

Result = TemplateResult | CompositionResult
Outcome = Result | BaseException


class Output:
    """Output for one run, written as bytes so that it is byte-stable."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json
        self.failed = False
        self.out: BinaryIO = sys.stdout.buffer
        self.err: BinaryIO = sys.stderr.buffer
        self.progress: Progress | None = None

    def write(self, data: bytes) -> None:
        # Each line as soon as it is ready, wherever it goes.
        self.out.write(data)
        self.out.flush()

    def warn(self, text: str) -> None:
        if self.progress:
            self.progress.clear()
        self.out.flush()
        self.err.write(f"vela-sha: {text}\n".encode("utf-8", "surrogateescape"))
        self.err.flush()

    def fail(self, name: str, error: BaseException, where: str = "") -> None:
        """Reports a failure on standard error (and as JSON on standard output)."""
        self.failed = True
        code, message, detail = describe(error, where)
        if self.progress:
            self.progress.clear()
        self.out.flush()
        self.err.write(b"vela-sha: " + os.fsencode(name) + f": {reason(error, where)}\n".encode("utf-8", "surrogateescape"))
        self.err.flush()
        if self.as_json:
            self.json({"name": name, "error": {"code": code, "message": message, **detail}})

    def digest_line(self, name: str, result: Result, tag: bool = False) -> None:
        if self.as_json:
            self.json({**result, "name": name})
            return
        escaped, text = escape(name)
        lead = b"\\" if escaped else b""
        if tag:
            self.write(lead + result["kind"].upper().encode() + b" (" + text + b") = " + result["sha256"].encode() + b"\n")
        else:
            self.write(lead + result["sha256"].encode() + b"  " + text + b"\n")

    def status_line(self, name: str, status: str) -> None:
        # As GNU's check does: escaped only when a line break would split the line.
        escaped, text = escape(name) if "\n" in name else (False, os.fsencode(name))
        self.write((b"\\" if escaped else b"") + text + b": " + status.encode() + b"\n")

    def json(self, value: Mapping[str, object]) -> None:
        self.write(json.dumps(value).encode() + b"\n")


def describe(error: BaseException, where: str) -> tuple[str, str, dict[str, Any]]:
    """(code, message, details) of a failure."""
    if isinstance(error, VelaShaError):
        detail: dict[str, Any] = {"where": where} if where else {}
        offset, line = getattr(error, "offset", None), getattr(error, "line", None)
        if offset is not None and line is not None:
            detail.update(offset=offset, line=line)
        return error.code, error.message, detail
    if isinstance(error, OSError):
        return UNREADABLE, error.strerror or str(error), {}
    if isinstance(error, (ValueError, RecursionError)):  # JSONDecodeError and undecodable bytes
        return INVALID_JSON, str(error), {}
    raise error


def reason(error: BaseException, where: str = "") -> str:
    """'<code>: <message>', with where the input went wrong when that is known."""
    code, message, detail = describe(error, where)
    text = f"{code}: {message}"
    if "where" in detail:
        text += f" (at {detail['where']})"
    if "offset" in detail:
        text += f" (first invalid byte at offset {detail['offset']}, line {detail['line']})"
    return text


def escape(name: str) -> tuple[bool, bytes]:
    """Whether `name` needs GNU's escaped form, and its bytes in that form."""
    raw = os.fsencode(name)
    if not any(c in raw for c in b"\\\n\r"):
        return False, raw
    return True, raw.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")
