"""vela-sha: template and composition digests on the command line.

Follows sha256sum's conventions: one "<digest>  <name>" line per input ("--tag"
for BSD-style "TEMPLATE (name) = <digest>" lines), "-" or no name for standard
input, and `check` to verify such lines with GNU's options, messages and exit
status. Names holding a backslash or a line break are written escaped, with a
leading backslash, as GNU sha256sum does, so that every line reads back
unchanged.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import time
from pathlib import Path
from typing import Any, BinaryIO, Iterator, Mapping, Sequence

from vela_sha import (
    VelaShaError,
    __version__,
    calculate_composition_hash,
    hash_file,
    iter_hash_files,
    manifest_problems,
)
from vela_sha.types import CompositionResult, TemplateResult

# Codes for failures the command line adds to the library's own.
UNREADABLE = "VELA_SHA_UNREADABLE_FILE"
INVALID_JSON = "VELA_SHA_INVALID_JSON"

Result = TemplateResult | CompositionResult
Outcome = Result | BaseException

MANIFEST_SHAPE = """\
A manifest is a JSON object:
  {"schema": "vela-sha/manifest/v1",            (or "v1")
   "nodes": [{"source": SOURCE, "sha256": "<64 hex digits>"}, ...],
   "edges": [{"parent": SOURCE, "child": SOURCE, "occurrence": 0}, ...]}
where SOURCE is {"kind": "local_path" | "url", "value": "<text>"}. Every edge
endpoint must be a node's source; no two nodes may share one. Order counts."""


class _Run:
    """Output for one run, written as bytes so that it is byte-stable."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json
        self.failed = False
        self.out: BinaryIO = sys.stdout.buffer
        self.err: BinaryIO = sys.stderr.buffer
        self.progress: _Progress | None = None

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
        code, message, detail = _describe(error, where)
        if self.progress:
            self.progress.clear()
        self.out.flush()
        self.err.write(b"vela-sha: " + os.fsencode(name) + f": {_reason(error, where)}\n".encode("utf-8", "surrogateescape"))
        self.err.flush()
        if self.as_json:
            self.json({"name": name, "error": {"code": code, "message": message, **detail}})

    def digest_line(self, name: str, result: Result, tag: bool = False) -> None:
        if self.as_json:
            self.json({**result, "name": name})
            return
        escaped, text = _escape(name)
        lead = b"\\" if escaped else b""
        if tag:
            self.write(lead + result["kind"].upper().encode() + b" (" + text + b") = " + result["sha256"].encode() + b"\n")
        else:
            self.write(lead + result["sha256"].encode() + b"  " + text + b"\n")

    def status_line(self, name: str, status: str) -> None:
        # As GNU's check does: escaped only when a line break would split the line.
        escaped, text = _escape(name) if "\n" in name else (False, os.fsencode(name))
        self.write((b"\\" if escaped else b"") + text + b": " + status.encode() + b"\n")

    def json(self, value: Mapping[str, object]) -> None:
        self.write(json.dumps(value).encode() + b"\n")


def _describe(error: BaseException, where: str) -> tuple[str, str, dict[str, Any]]:
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


def _reason(error: BaseException, where: str = "") -> str:
    """'<code>: <message>', with where the input went wrong when that is known."""
    code, message, detail = _describe(error, where)
    text = f"{code}: {message}"
    if "where" in detail:
        text += f" (at {detail['where']})"
    if "offset" in detail:
        text += f" (first invalid byte at offset {detail['offset']}, line {detail['line']})"
    return text


def _escape(name: str) -> tuple[bool, bytes]:
    raw = os.fsencode(name)
    if not any(c in raw for c in b"\\\n\r"):
        return False, raw
    return True, raw.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")


def _read(name: str) -> bytes:
    if name == "-":
        return sys.stdin.buffer.read()
    with open(name, "rb") as file:
        return file.read()


class _Progress:
    """One status line on standard error, redrawn a few times a second."""

    def __init__(self, err: BinaryIO, names: Sequence[str]) -> None:
        self.err, self.files, self.done, self.bytes_done = err, len(names), 0, 0
        self.total = sum(_size(name) for name in names)
        self.started = time.monotonic()
        self.drawn = self.started - 1.0  # the first file is shown at once
        self.width = 0

    def advance(self, name: str) -> None:
        self.done += 1
        self.bytes_done += _size(name)
        now = time.monotonic()
        if now - self.drawn >= 0.25:
            self.drawn = now
            self.draw(now)

    def draw(self, now: float) -> None:
        elapsed = max(now - self.started, 1e-9)
        rate = self.bytes_done / elapsed
        left = (self.total - self.bytes_done) / rate if rate > 0 else 0.0
        text = (f"{self.done}/{self.files} files, {_bytes(self.bytes_done)} of {_bytes(self.total)}, "
                f"{_bytes(rate)}/s, {left:.0f}s left")
        self.err.write(b"\r" + text.ljust(self.width).encode())
        self.width = len(text)
        self.err.flush()

    def clear(self) -> None:
        if self.width:
            self.err.write(b"\r" + b" " * self.width + b"\r")
            self.err.flush()
            self.width = 0


def _size(name: str) -> int:
    try:
        return os.stat(name).st_size if name != "-" else 0
    except OSError:
        return 0


def _bytes(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError


def _template_outcomes(run: _Run, names: Sequence[str], jobs: int | None, progress: bool) -> Iterator[tuple[str, Outcome]]:
    """(name, result or exception) for each name, in order, hashed on `jobs` threads.

    Standard input ("-") is read on this thread, where Ctrl-C reaches it."""
    if progress and run.err.isatty():
        run.progress = _Progress(run.err, names)
    try:
        batch: list[str] = []
        for name in [*names, None]:
            if name is not None and name != "-":
                batch.append(name)
                continue
            if batch:
                pairs = iter_hash_files(batch, jobs=jobs)
                try:
                    for path, outcome in pairs:
                        yield path, outcome
                        if run.progress:
                            run.progress.advance(path)
                finally:
                    pairs.close()
                batch = []
            if name == "-":
                try:
                    yield name, hash_file(sys.stdin.buffer)
                except (OSError, VelaShaError) as error:
                    yield name, error
    finally:
        if run.progress:
            run.progress.clear()
            run.progress = None


def template(run: _Run, names: list[str], jobs: int | None, tag: bool, progress: bool) -> None:
    for name, outcome in _template_outcomes(run, names or ["-"], jobs, progress):
        if isinstance(outcome, BaseException):
            run.fail(name, outcome)
        else:
            run.digest_line(name, outcome, tag)


def _manifest_of(name: str) -> tuple[Any, BaseException | None]:
    try:
        return json.loads(_read(name)), None
    except (OSError, ValueError, RecursionError) as error:
        return None, error


def _composition_of(manifest: Any) -> tuple[CompositionResult | None, BaseException | None, str]:
    """(result, None, "") or (None, error, where the manifest went wrong)."""
    try:
        return calculate_composition_hash(manifest), None, ""
    except VelaShaError as error:
        problems = manifest_problems(manifest)
        return None, error, problems[0]["where"] if problems else ""


def _composition_file(name: str) -> tuple[CompositionResult | None, BaseException | None, str]:
    manifest, error = _manifest_of(name)
    return (None, error, "") if error is not None else _composition_of(manifest)


def composition(run: _Run, names: list[str], tag: bool) -> None:
    for name in names or ["-"]:
        result, error, where = _composition_file(name)
        if result is not None:
            run.digest_line(name, result, tag)
        elif error is not None:
            run.fail(name, error, where)


def lint(run: _Run, names: list[str]) -> None:
    for name in names or ["-"]:
        manifest, error = _manifest_of(name)
        if error is not None:
            run.fail(name, error)
            continue
        for problem in manifest_problems(manifest):
            run.failed = True
            if run.as_json:
                run.json({"name": name, **problem})
            else:
                escaped, text = _escape(name)
                line = f": {problem['where']}: {problem['code']}: {problem['message']}\n"
                run.write((b"\\" if escaped else b"") + text + line.encode())


_HEX = frozenset(b"0123456789abcdefABCDEF")
_ESCAPES = {b"\\": b"\\", b"n": b"\n", b"r": b"\r"}


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


class _LineReader:
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


def check(run: _Run, sums_names: list[str], options: argparse.Namespace) -> None:
    reader = _LineReader()  # one for the run: GNU keeps the form it has seen across files
    for sums in sums_names or ["-"]:
        _check_one(run, sums, options, reader)


def _check_one(run: _Run, sums: str, options: argparse.Namespace, reader: _LineReader) -> None:
    try:
        data = _read(sums)
    except OSError as unreadable:
        run.fail(sums, unreadable)
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
                run.warn(f"{sums}: {number}: improperly formatted checksum line")
            continue
        lines.append((parsed[0], os.fsdecode(parsed[1]), parsed[2]))
    tally.proper = len(lines)

    templates = iter(_template_outcomes(run, [n for k, n, _ in lines if k == "template"], options.jobs,
                                        options.progress))
    for kind, name, expected in lines:
        if kind == "template":
            _, outcome = next(templates)
            result: Result | None = None if isinstance(outcome, BaseException) else outcome
            error: BaseException | None = outcome if isinstance(outcome, BaseException) else None
            where = ""
        else:
            result, error, where = _composition_file(name)
        _check_verdict(run, tally, options, name, expected, result, error, where)

    ok = (tally.proper and not tally.mismatched and not tally.unreadable
          and not (options.strict and tally.improper) and not (options.ignore_missing and not tally.matched))
    if not tally.proper:
        run.warn(f"{sums}: no properly formatted checksum lines found")
    elif not options.status:
        for count, one, many in ((tally.improper, "line is improperly formatted", "lines are improperly formatted"),
                                 (tally.unreadable, "listed file could not be read", "listed files could not be read"),
                                 (tally.mismatched, "computed checksum did NOT match",
                                  "computed checksums did NOT match")):
            if count:
                run.warn(f"WARNING: {count} {one if count == 1 else many}")
        if options.ignore_missing and not tally.matched:
            run.warn(f"{sums}: no file was verified")
    run.failed |= not ok


def _check_verdict(run: _Run, tally: _Tally, options: argparse.Namespace, name: str, expected: str,
                   result: Result | None, error: BaseException | None, where: str) -> None:
    if isinstance(error, FileNotFoundError) and options.ignore_missing:
        return
    reason = None
    if isinstance(error, OSError):
        tally.unreadable += 1
        status, reason = "FAILED open or read", error.strerror or str(error)
    elif error is not None:
        tally.mismatched += 1
        status, reason = "FAILED", _reason(error, where)
    elif result is not None and result["sha256"] == expected:
        tally.matched += 1
        status = "OK"
    else:
        tally.mismatched += 1
        status = "FAILED"
    if reason is not None:
        run.warn(f"{name}: {reason}")
    actual = result["sha256"] if result is not None else None
    if run.as_json:
        run.json({"name": name, "status": status, "expected": expected, "actual": actual, "reason": reason})
    elif not options.status and not (options.quiet and status == "OK"):
        run.status_line(name, status)


def _escape_reason(root: Path, value: str) -> str | None:
    """Why the node path `value` may not be read under `root`, or None."""
    if value.startswith("/"):
        return "an absolute path leaves the root"
    if ".." in value.split("/"):
        return "a '..' segment leaves the root"
    real_root = os.path.realpath(root)
    real_file = os.path.realpath(root / value)
    if os.path.commonpath([real_root, real_file]) != real_root:
        return "resolves outside the root (a symbolic link points out)"
    return None


def verify(run: _Run, name: str, root_option: str | None, jobs: int | None, progress: bool) -> None:
    manifest, error = _manifest_of(name)
    result, error, where = (None, error, "") if error is not None else _composition_of(manifest)
    if result is None:
        assert error is not None
        run.fail(name, error, where)
        return
    run.digest_line(name, result)
    root = Path(root_option) if root_option else (Path(name).parent if name != "-" else Path("."))
    local = [n for n in manifest["nodes"] if n["source"]["kind"] == "local_path"]
    urls = len(manifest["nodes"]) - len(local)
    refused = [_escape_reason(root, n["source"]["value"]) for n in local]
    # Joined as text, so a node named "-" is ./-, never standard input.
    readable = [os.path.join(root, n["source"]["value"]) for n, why in zip(local, refused) if why is None]
    outcomes = _template_outcomes(run, readable, jobs, progress)
    mismatched = unreadable = 0
    for node, reason in zip(local, refused):
        value, expected, actual = node["source"]["value"], node["sha256"].lower(), None
        status = "FAILED"
        if reason is None:
            _, outcome = next(outcomes)
            if isinstance(outcome, OSError):
                status, reason = "MISSING", outcome.strerror or str(outcome)
            elif isinstance(outcome, BaseException):
                reason = _reason(outcome)
            else:
                actual = outcome["sha256"]
                status = "OK" if actual == expected else "FAILED"
        mismatched += status == "FAILED"
        unreadable += status == "MISSING"
        if reason is not None:
            run.warn(f"{value}: {reason}")
        if run.as_json:
            run.json({"path": value, "status": status, "expected": expected, "actual": actual, "reason": reason})
        else:
            run.status_line(value, status)
    if urls:
        run.warn(f"{urls} url {'node' if urls == 1 else 'nodes'} not checked")
    if mismatched:
        run.warn(f"WARNING: {mismatched} computed {'checksum' if mismatched == 1 else 'checksums'} did NOT match")
    if unreadable:
        run.warn(f"WARNING: {unreadable} listed {'file' if unreadable == 1 else 'files'} could not be read")
    run.failed |= bool(mismatched or unreadable)


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid count: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The parser, and each subcommand's own by name."""
    parser = argparse.ArgumentParser(
        prog="vela-sha",
        description="Template and composition digests. Template digests differ from sha256sum's "
                    "for files with CR line endings: CR LF and lone CR are read as LF.")
    parser.add_argument("--version", action="version", version=f"vela-sha {__version__}")
    json_help = "print result dictionaries and failures, one JSON object per line"
    parser.add_argument("--json", action="store_true", default=False, help=json_help)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str, **kwargs: Any) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help, **kwargs)
        # After the command too; its own default must not undo one given before it.
        sub.add_argument("--json", action="store_true", default=argparse.SUPPRESS, help=json_help)
        return sub

    def jobs_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("-j", "--jobs", type=_jobs, default=None, metavar="N",
                         help="hash on N threads (default: the CPUs available)")
        sub.add_argument("--progress", action="store_true",
                         help="show files and bytes done on standard error, when it is a terminal")

    sub = command("template", "print the template digest of each FILE")
    sub.add_argument("files", nargs="*", metavar="FILE", help="'-' or none: standard input")
    sub.add_argument("--tag", action="store_true", help="write BSD-style lines: TEMPLATE (FILE) = <digest>")
    jobs_option(sub)

    sub = command("composition", "print the composition digest of each JSON manifest",
                  epilog=MANIFEST_SHAPE, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.add_argument("manifests", nargs="*", metavar="MANIFEST.json", help="'-' or none: standard input")
    sub.add_argument("--tag", action="store_true", help="write BSD-style lines: COMPOSITION (FILE) = <digest>")

    sub = command("check", "verify digest lines (GNU or BSD-style) read from each SUMS")
    sub.add_argument("sums", nargs="*", metavar="SUMS", help="'-' or none: standard input")
    sub.add_argument("--kind", choices=["template", "composition"], default="template",
                     help="what GNU-style lines name (BSD-style lines say it themselves)")
    sub.add_argument("--quiet", action="store_true", help="don't print OK for each verified file")
    sub.add_argument("--status", action="store_true", help="print nothing; the exit status tells")
    sub.add_argument("--strict", action="store_true", help="exit with 1 for improperly formatted lines")
    sub.add_argument("--ignore-missing", action="store_true", help="don't fail or report for missing files")
    sub.add_argument("-w", "--warn", action="store_true", help="warn about improperly formatted lines")
    jobs_option(sub)

    sub = command("verify", "check a manifest's local templates against their pinned digests",
                  epilog=MANIFEST_SHAPE, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.add_argument("manifest", metavar="MANIFEST.json", help="'-': standard input")
    sub.add_argument("--root", metavar="DIR",
                     help="where node paths start (default: the manifest's folder, or . for standard input)")
    jobs_option(sub)

    sub = command("lint", "print every problem of each manifest",
                  epilog=MANIFEST_SHAPE, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.add_argument("manifests", nargs="*", metavar="MANIFEST.json", help="'-' or none: standard input")
    return parser, commands.choices


def _run(arguments: argparse.Namespace) -> int:
    run = _Run(arguments.json)
    command = arguments.command
    if command == "template":
        template(run, arguments.files, arguments.jobs, arguments.tag, arguments.progress)
    elif command == "composition":
        composition(run, arguments.manifests, arguments.tag)
    elif command == "check":
        check(run, arguments.sums, arguments)
    elif command == "verify":
        verify(run, arguments.manifest, arguments.root, arguments.jobs, arguments.progress)
    else:
        lint(run, arguments.manifests)
    run.out.flush()
    return 1 if run.failed else 0


def main(argv: list[str] | None = None) -> int:
    parser, subcommands = _parser()
    arguments, extras = parser.parse_known_args(argv)
    if extras:
        # Said by the subcommand, so that its own usage is shown.
        subcommands[arguments.command].error(f"unrecognized arguments: {' '.join(extras)}")
    try:
        return _run(arguments)
    except BrokenPipeError:
        # The reader went away (`| head`): end as coreutils do, by SIGPIPE.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
        return 141


if __name__ == "__main__":
    sys.exit(main())
