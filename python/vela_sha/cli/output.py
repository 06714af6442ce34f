"""Where results and failures go: one run's standard output and standard error."""

from __future__ import annotations

import json
import os
import sys
from typing import TYPE_CHECKING, Any, BinaryIO, Mapping

from vela_sha import VelaShaError
from vela_sha.cli.names import escape, quotef
from vela_sha.cli.streams import emit
from vela_sha.resolve import ResolveError
from vela_sha.types import CompositionResult, TemplateResult

if TYPE_CHECKING:
    from vela_sha.cli.progress import Progress

# Codes for failures the command line adds to the library's own.
UNREADABLE = "VELA_SHA_UNREADABLE_FILE"
INVALID_JSON = "VELA_SHA_INVALID_JSON"
UNRESOLVED = "VELA_SHA_UNRESOLVED_TEMPLATE"
UNWRITABLE = "VELA_SHA_UNWRITABLE_FILE"

Result = TemplateResult | CompositionResult
Outcome = Result | BaseException


class UsageError(Exception):
    """Arguments that do not go together, found by a command: said with its usage, status 2."""


class Output:
    """Output for one run, written as bytes so that it is byte-stable."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json
        self.failed = False
        self.out: BinaryIO = sys.stdout.buffer
        self.err: BinaryIO = sys.stderr.buffer
        self.progress: Progress | None = None
        # Results on the terminal that shows the progress line must not mix with it.
        self.out_on_terminal = self.out.isatty()

    def write(self, data: bytes) -> None:
        # Each line as soon as it is ready, wherever it goes.
        hidden = self.progress.clear() if self.progress and self.out_on_terminal else False
        emit(self.out, data, "stdout")
        if hidden and self.progress:
            self.progress.redraw()

    def message(self, text: str, name: str | None = None, shown: str | None = None) -> None:
        """`vela-sha: [NAME: ]TEXT` on standard error, the name quoted as coreutils quote it
        (or as `shown`, when the caller has written it already)."""
        hidden = self.progress.clear() if self.progress else False
        emit(self.out, b"", "stdout")
        lead = f"{shown}: " if shown is not None else f"{quotef(name)}: " if name is not None else ""
        emit(self.err, f"vela-sha: {lead}{text}\n".encode("utf-8", "surrogateescape"), "stderr")
        if hidden and self.progress:
            self.progress.redraw()

    def fail(self, name: str, error: BaseException, where: str = "", coded: bool = True) -> None:
        """Reports a failure on standard error (and as JSON on standard output);
        `coded=False` leaves the code out of the text, as for coreutils' own failures."""
        self.failed = True
        code, message, detail = describe(error, where)
        self.message(reason(error, where) if coded else message, name)
        if self.as_json:
            self.json(failure_record(name, code, message, detail))

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

    def named_line(self, name: str, text: str, escape_any: bool = False) -> None:
        """`NAME: TEXT` on standard output. As GNU's check does, the name is escaped
        only when a line break would split the line, unless `escape_any`."""
        escaped, raw = escape(name) if escape_any or "\n" in name else (False, os.fsencode(name))
        self.write((b"\\" if escaped else b"") + raw + b": " + text.encode("utf-8", "surrogateescape") + b"\n")

    def json(self, value: Mapping[str, object]) -> None:
        self.write(json.dumps(value).encode() + b"\n")


def failure_record(name: str, code: str, message: str, detail: Mapping[str, Any]) -> dict[str, Any]:
    return {"name": name, "error": {"code": code, "message": message, **detail}}


def describe(error: BaseException, where: str) -> tuple[str, str, dict[str, Any]]:
    """(code, message, details) of a failure."""
    if isinstance(error, VelaShaError):
        detail: dict[str, Any] = {"where": where} if where else {}
        offset, line = getattr(error, "offset", None), getattr(error, "line", None)
        if offset is not None and line is not None:
            detail.update(offset=offset, line=line)
        return error.code, error.message, detail
    if isinstance(error, ResolveError):
        return UNRESOLVED, error.message, {"template": error.template, "line": error.line, "reference": error.reference}
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
