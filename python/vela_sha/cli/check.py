"""vela-sha check: digest lines verified as GNU sha256sum -c verifies them."""

from __future__ import annotations

import argparse
import os
import re
from typing import Any, Iterator, NamedTuple

from vela_sha import VelaShaError, hash_file

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
    # As GNU's: of --quiet, --status and --warn, the last one given wins.
    report: dict[str, Any] = {"dest": "report", "action": "store_const", "default": None}
    sub.add_argument("--quiet", const="quiet", help="don't print OK for each verified file", **report)
    sub.add_argument("--status", const="status", help="print nothing; the exit status tells", **report)
    sub.add_argument("--strict", action="store_true", help="exit with 1 for improperly formatted lines")
    sub.add_argument("--ignore-missing", action="store_true", help="don't fail or report for missing files")
    sub.add_argument("-w", "--warn", const="warn", help="warn about improperly formatted lines", **report)
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

    def read(self, line: bytes, kind: str) -> tuple[str, bytes, str, bool] | None:
        """(kind, name, lowercase digest, whether BSD-style), or None if the line is malformed."""
        body = line.lstrip(b" \t")
        escaped = body.startswith(b"\\")
        if escaped:
            body = body[1:]
        bsd = self._bsd(body)
        parsed = bsd or self._gnu(body, kind)
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
        return kind, name, digest.decode().lower(), bsd is not None

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


class _Line(NamedTuple):
    number: int
    raw: bytes
    parsed: tuple[str, str, str, bool] | None  # kind, name, expected digest, whether BSD-style


class _Tally:
    def __init__(self) -> None:
        self.improper = self.unreadable = self.mismatched = self.matched = self.proper = 0


def run(out: Output, arguments: argparse.Namespace) -> None:
    reader = LineReader()  # one for the run: GNU keeps the form it has seen across files
    for sums in arguments.sums or ["-"]:
        try:
            data = read(sums)
        except OSError as unreadable:
            out.fail(sums, unreadable, coded=False)
            continue
        _check_lines(out, sums, list(_lines(data, reader, arguments.kind)), arguments)


def _lines(data: bytes, reader: LineReader, kind: str) -> Iterator[_Line]:
    for number, raw in enumerate(data.split(b"\n"), 1):
        raw = raw.removesuffix(b"\r")
        if raw and not raw.startswith(b"#"):
            parsed = reader.read(raw, kind)
            yield _Line(number, raw, parsed and (parsed[0], os.fsdecode(parsed[1]), *parsed[2:]))


def _check_lines(out: Output, sums: str, lines: list[_Line], options: argparse.Namespace) -> None:
    """Each line's verdict in order, the malformed ones' warnings among them, as GNU prints them."""
    tally, hinted = _Tally(), False
    templates = template_outcomes(out, [line.parsed[1] for line in lines if line.parsed and line.parsed[0] == "template"],
                                  options.jobs, options.progress)
    try:
        for line in lines:
            if line.parsed is None:
                tally.improper += 1
                if options.report == "warn":
                    out.message(f"{line.number}: improperly formatted SHA256 checksum line", sums)
                hint = None if hinted or options.report == "status" else _algorithm_hint(line.raw)
                if hint:
                    out.message(f"{line.number}: {hint}", sums)
                    hinted = True
                continue
            tally.proper += 1
            kind, name, expected, _ = line.parsed
            if kind == "template":
                _, outcome = next(templates)
                result: Result | None = None if isinstance(outcome, BaseException) else outcome
                error: BaseException | None = outcome if isinstance(outcome, BaseException) else None
                where = ""
            else:
                result, error, where = composition_file(name)
            _verdict(out, tally, options, line, result, error, where)
    finally:
        templates.close()
    _summary(out, sums, tally, options)


def _verdict(out: Output, tally: _Tally, options: argparse.Namespace, line: _Line,
             result: Result | None, error: BaseException | None, where: str) -> None:
    assert line.parsed is not None
    kind, name, expected, bsd = line.parsed
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
        out.message(why, name)
    actual = result["sha256"] if result is not None else None
    if out.as_json:
        out.json({"name": name, "status": status, "expected": expected, "actual": actual, "reason": why})
    elif options.report != "status" and not (options.report == "quiet" and status == "OK"):
        out.named_line(name, status)
    if status == "FAILED" and not bsd and options.report != "status" and _digest_of_other_kind(kind, name) == expected:
        other = "composition" if kind == "template" else "template"
        out.message(f"the listed digest is this file's {other} digest; check it with --kind {other}", name)


def _summary(out: Output, sums: str, tally: _Tally, options: argparse.Namespace) -> None:
    ok = (tally.proper and not tally.mismatched and not tally.unreadable
          and not (options.strict and tally.improper) and not (options.ignore_missing and not tally.matched))
    if not tally.proper:
        out.message("no properly formatted checksum lines found", sums)
    elif options.report != "status":
        for count, one, many in ((tally.improper, "line is improperly formatted", "lines are improperly formatted"),
                                 (tally.unreadable, "listed file could not be read", "listed files could not be read"),
                                 (tally.mismatched, "computed checksum did NOT match",
                                  "computed checksums did NOT match")):
            if count:
                out.message(f"WARNING: {count} {one if count == 1 else many}")
        if options.ignore_missing and not tally.matched:
            out.message("no file was verified", sums)
    out.failed |= not ok


_OTHER_BSD = re.compile(rb"\\?([A-Za-z0-9][A-Za-z0-9_-]*) ?\(.*\) ?= ?[0-9A-Za-z+/=]+")


def _algorithm_hint(raw: bytes) -> str | None:
    """For a BSD-style line of another program (`SHA256 (x) = ...`), a word on why it is not read."""
    match = _OTHER_BSD.fullmatch(raw.lstrip(b" \t"))
    if match is None:
        return None
    return f"{match[1].decode()} is not an algorithm of vela-sha; it checks TEMPLATE and COMPOSITION lines"


def _digest_of_other_kind(kind: str, name: str) -> str | None:
    """A failed GNU-style line's file read as the other kind: its digest, if it has one."""
    try:
        if kind == "composition":
            return hash_file(name)["sha256"]
        with open(name, "rb") as file:
            if not file.read(4096).lstrip().startswith(b"{"):
                return None  # not a manifest: no need to read it all
        result, _, _ = composition_file(name)
        return result["sha256"] if result else None
    except (OSError, VelaShaError):
        return None
