"""vela-sha check: digest lines verified as GNU sha256sum -c verifies them."""

from __future__ import annotations

import argparse
import os

from vela_sha.cli.inputs import add_jobs_options, composition_file, read, template_outcomes
from vela_sha.cli.output import Output, Result, reason

HELP = "verify digest lines (GNU or BSD-style) read from each SUMS"
EPILOG = None

_HEX = frozenset(b"0123456789abcdefABCDEF")
_ESCAPES = {b"\\": b"\\", b"n": b"\n", b"r": b"\r"}


def configure(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("sums", nargs="*", metavar="SUMS", help="'-' or none: standard input")
    sub.add_argument("--kind", choices=["template", "composition"], default="template",
                     help="what GNU-style lines name (BSD-style lines say it themselves)")
    sub.add_argument("--quiet", action="store_true", help="don't print OK for each verified file")
    sub.add_argument("--status", action="store_true", help="print nothing; the exit status tells")
    sub.add_argument("--strict", action="store_true", help="exit with 1 for improperly formatted lines")
    sub.add_argument("--ignore-missing", action="store_true", help="don't fail or report for missing files")
    sub.add_argument("-w", "--warn", action="store_true", help="warn about improperly formatted lines")
    add_jobs_options(sub)


def _unescape_strict(raw: bytes) -> bytes | None:
    """An escaped name's bytes, or None if it holds an escape that means nothing."""
    out, i = bytearray(), 0
    while i < len(raw):
        if raw[i : i + 1] == b"\\":
            replacement = _ESCAPES.get(raw[i + 1 : i + 2])
            if replacement is None:
                return None
            out += replacement
            i += 2
        else:
            out.append(raw[i])
            i += 1
    return bytes(out)


class LineReader:
    """GNU and BSD-style digest lines, read as GNU's check reads them.

    Leading blanks are skipped; a backslash first marks an escaped name.
    BSD-style: `TAG (name) = digest`, the name ending at the last ')'.
    GNU-style: `digest`, one blank, then an optional ' ' or '*' before the
    name. A line with a single blank before a name that starts with neither
    (`digest name`) is read as the reversed BSD form; once one is seen, later
    lines are read that way too, and once a standard line is seen, reversed
    ones are refused, so that names with a leading blank stay unambiguous."""

    def __init__(self) -> None:
        self.reversed: bool | None = None

    def read(self, line: bytes, kind: str) -> tuple[str, bytes, str] | None:
        """(kind, name, lowercase digest), or None if the line is malformed."""
        body = line.lstrip(b" \t")
        escaped = body.startswith(b"\\")
        if escaped:
            body = body[1:]
        parsed = self._bsd(body) or self._gnu(body, kind)
        if parsed is None:
            return None
        kind, name, digest = parsed
        if not name or len(digest) != 64 or not _HEX.issuperset(digest):
            return None
        if escaped:
            unescaped = _unescape_strict(name)
            if unescaped is None:
                return None
            name = unescaped
        return kind, name, digest.decode().lower()

    @staticmethod
    def _bsd(body: bytes) -> tuple[str, bytes, bytes] | None:
        for tag, kind in ((b"TEMPLATE", "template"), (b"COMPOSITION", "composition")):
            if not body.startswith(tag):
                continue
            rest = body[len(tag):]
            rest = rest[1:] if rest.startswith(b" ") else rest
            close = rest.rfind(b")")
            if not rest.startswith(b"(") or close < 0:
                continue
            after = rest[close + 1 :].lstrip(b" \t")
            if after.startswith(b"="):
                return kind, rest[1:close], after[1:].lstrip(b" \t")
        return None

    def _gnu(self, body: bytes, kind: str) -> tuple[str, bytes, bytes] | None:
        digest, rest = body[:64], body[64:]
        if len(rest) < 2 or rest[:1] not in (b" ", b"\t"):
            return None
        if len(rest) == 2 or rest[1:2] not in (b" ", b"*") or self.reversed:
            if self.reversed is False:
                return None
            self.reversed = True
            return kind, rest[1:], digest
        self.reversed = False
        return kind, rest[2:], digest


class _Tally:
    def __init__(self) -> None:
        self.improper = self.unreadable = self.mismatched = self.matched = self.proper = 0


def run(out: Output, arguments: argparse.Namespace) -> None:
    reader = LineReader()  # one for the run: GNU keeps the form it has seen across files
    for sums in arguments.sums or ["-"]:
        _check_one(out, sums, arguments, reader)


def _check_one(out: Output, sums: str, options: argparse.Namespace, reader: LineReader) -> None:
    try:
        data = read(sums)
    except OSError as unreadable:
        out.fail(sums, unreadable)
        return
    tally = _Tally()
    lines: list[tuple[str, str, str]] = []  # kind, name, expected digest
    for number, raw in enumerate(data.split(b"\n"), 1):
        raw = raw.removesuffix(b"\r")
        if not raw or raw.startswith(b"#"):
            continue
        parsed = reader.read(raw, options.kind)
        if parsed is None:
            tally.improper += 1
            if options.warn:
                out.warn(f"{sums}: {number}: improperly formatted checksum line")
            continue
        lines.append((parsed[0], os.fsdecode(parsed[1]), parsed[2]))
    tally.proper = len(lines)

    templates = iter(template_outcomes(out, [n for k, n, _ in lines if k == "template"], options.jobs,
                                       options.progress))
    for kind, name, expected in lines:
        if kind == "template":
            _, outcome = next(templates)
            result: Result | None = None if isinstance(outcome, BaseException) else outcome
            error: BaseException | None = outcome if isinstance(outcome, BaseException) else None
            where = ""
        else:
            result, error, where = composition_file(name)
        _check_verdict(out, tally, options, name, expected, result, error, where)

    ok = (tally.proper and not tally.mismatched and not tally.unreadable
          and not (options.strict and tally.improper) and not (options.ignore_missing and not tally.matched))
    if not tally.proper:
        out.warn(f"{sums}: no properly formatted checksum lines found")
    elif not options.status:
        for count, one, many in ((tally.improper, "line is improperly formatted", "lines are improperly formatted"),
                                 (tally.unreadable, "listed file could not be read", "listed files could not be read"),
                                 (tally.mismatched, "computed checksum did NOT match",
                                  "computed checksums did NOT match")):
            if count:
                out.warn(f"WARNING: {count} {one if count == 1 else many}")
        if options.ignore_missing and not tally.matched:
            out.warn(f"{sums}: no file was verified")
    out.failed |= not ok


def _check_verdict(out: Output, tally: _Tally, options: argparse.Namespace, name: str, expected: str,
                   result: Result | None, error: BaseException | None, where: str) -> None:
    if isinstance(error, FileNotFoundError) and options.ignore_missing:
        return
    why = None
    if isinstance(error, OSError):
        tally.unreadable += 1
        status, why = "FAILED open or read", error.strerror or str(error)
    elif error is not None:
        tally.mismatched += 1
        status, why = "FAILED", reason(error, where)
    elif result is not None and result["sha256"] == expected:
        tally.matched += 1
        status = "OK"
    else:
        tally.mismatched += 1
        status = "FAILED"
    if why is not None:
        out.warn(f"{name}: {why}")
    actual = result["sha256"] if result is not None else None
    if out.as_json:
        out.json({"name": name, "status": status, "expected": expected, "actual": actual, "reason": why})
    elif not options.status and not (options.quiet and status == "OK"):
        out.status_line(name, status)
