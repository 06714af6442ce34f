"""vela-sha: template and composition digests on the command line.

Follows sha256sum's conventions: one "<digest>  <name>" line per input, "-" or
no name for standard input, and `check` to verify such lines. Names holding a
backslash or a line break are written escaped, with a leading backslash, as
GNU sha256sum does, so that every line reads back unchanged.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import BinaryIO, Iterator, Mapping

from vela_sha import VelaShaError, calculate_composition_hash, hash_file
from vela_sha.types import CompositionResult, TemplateResult

# Codes for failures the command line adds to the library's own.
UNREADABLE = "VELA_SHA_UNREADABLE_FILE"
INVALID_JSON = "VELA_SHA_INVALID_JSON"
IMPROPER_LINE = "VELA_SHA_IMPROPER_CHECK_LINE"


class _Run:
    """Output for one run, written as bytes so that it is byte-stable."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json
        self.failed = False
        self.out: BinaryIO = sys.stdout.buffer
        self.err: BinaryIO = sys.stderr.buffer

    def fail(self, name: str, code: str, message: str) -> None:
        self.failed = True
        self.err.write(b"vela-sha: " + os.fsencode(name) + f": {code}: {message}\n".encode())
        self.err.flush()

    def digest_line(self, name: str, result: TemplateResult | CompositionResult) -> None:
        if self.as_json:
            self._json({**result, "name": name})
        else:
            escaped, text = _escape(name)
            self.out.write((b"\\" if escaped else b"") + result["sha256"].encode() + b"  " + text + b"\n")

    def status_line(self, name: str, ok: bool) -> None:
        if self.as_json:
            self._json({"name": name, "status": "OK" if ok else "FAILED"})
        else:
            escaped, text = _escape(name)
            self.out.write((b"\\" if escaped else b"") + text + (b": OK\n" if ok else b": FAILED\n"))

    def _json(self, value: Mapping[str, object]) -> None:
        self.out.write(json.dumps(value).encode() + b"\n")


def _escape(name: str) -> tuple[bool, bytes]:
    raw = os.fsencode(name)
    if not any(c in raw for c in b"\\\n\r"):
        return False, raw
    return True, raw.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")


def _unescape(raw: bytes) -> bytes:
    out, i = bytearray(), 0
    while i < len(raw):
        if raw[i : i + 1] == b"\\" and i + 1 < len(raw):
            out += {b"\\": b"\\", b"n": b"\n", b"r": b"\r"}.get(raw[i + 1 : i + 2], raw[i : i + 2])
            i += 2
        else:
            out.append(raw[i])
            i += 1
    return bytes(out)


def _read(name: str) -> bytes:
    if name == "-":
        return sys.stdin.buffer.read()
    with open(name, "rb") as file:
        return file.read()


def _located(error: VelaShaError) -> str:
    """The message, with where the text went wrong when the error knows it."""
    offset, line = getattr(error, "offset", None), getattr(error, "line", None)
    if offset is None or line is None:
        return error.message
    return f"{error.message} (first invalid byte at offset {offset}, line {line})"


def _template_digest(run: _Run, name: str) -> TemplateResult | None:
    # Streamed through a fixed buffer: memory stays flat whatever the size.
    try:
        return hash_file(sys.stdin.buffer if name == "-" else name)
    except OSError as error:
        run.fail(name, UNREADABLE, error.strerror or str(error))
    except VelaShaError as error:
        run.fail(name, error.code, _located(error))
    return None


def template(run: _Run, names: list[str]) -> None:
    for name in names or ["-"]:
        result = _template_digest(run, name)
        if result is not None:
            run.digest_line(name, result)


def composition(run: _Run, name: str) -> None:
    try:
        manifest = json.loads(_read(name))
        run.digest_line(name, calculate_composition_hash(manifest))
    except OSError as error:
        run.fail(name, UNREADABLE, error.strerror or str(error))
    except (ValueError, RecursionError) as error:  # JSONDecodeError and undecodable bytes
        run.fail(name, INVALID_JSON, str(error))
    except VelaShaError as error:
        run.fail(name, error.code, error.message)


def _check_lines(data: bytes) -> Iterator[tuple[int, bytes | None, bytes]]:
    """(line number, name or None if the line is malformed, digest)."""
    for number, line in enumerate(data.split(b"\n"), 1):
        line = line.removesuffix(b"\r")
        if not line:
            continue
        escaped = line.startswith(b"\\")
        body = line[1:] if escaped else line
        digest, separator, name = body[:64], body[64:66], body[66:]
        if len(digest) != 64 or separator not in (b"  ", b" *") or not name or \
                any(c not in b"0123456789abcdefABCDEF" for c in digest):
            yield number, None, b""
            continue
        yield number, _unescape(name) if escaped else name, digest.lower()


def check(run: _Run, sums: str) -> None:
    try:
        data = _read(sums)
    except OSError as error:
        run.fail(sums, UNREADABLE, error.strerror or str(error))
        return
    mismatched = 0
    for number, raw_name, digest in _check_lines(data):
        if raw_name is None:
            run.fail(sums, IMPROPER_LINE, f"line {number} is not '<64 hex digits>  <name>'")
            continue
        name = os.fsdecode(raw_name)
        result = _template_digest(run, name)
        ok = result is not None and result["sha256"].encode() == digest
        if not ok:
            mismatched += 1
            run.failed = True
        run.status_line(name, ok)
    if mismatched:
        plural = "checksum" if mismatched == 1 else "checksums"
        run.err.write(f"vela-sha: WARNING: {mismatched} computed {plural} did NOT match\n".encode())


def _parser() -> argparse.ArgumentParser:
    def json_option(parser: argparse.ArgumentParser, default: object) -> None:
        parser.add_argument("--json", action="store_true", default=default,
                            help="print result dictionaries, one JSON object per line")

    parser = argparse.ArgumentParser(
        prog="vela-sha",
        description="Template and composition digests. Template digests differ from sha256sum's "
                    "for files with CR line endings: CR LF and lone CR are read as LF.")
    json_option(parser, False)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    template_parser = commands.add_parser("template", help="print the template digest of each FILE")
    template_parser.add_argument("files", nargs="*", metavar="FILE", help="'-' or none: standard input")
    composition_parser = commands.add_parser("composition", help="print the composition digest of a JSON manifest")
    composition_parser.add_argument("manifest", nargs="?", default="-", metavar="MANIFEST.json")
    check_parser = commands.add_parser("check", help="verify '<digest>  <name>' lines")
    check_parser.add_argument("sums", nargs="?", default="-", metavar="SUMS")
    # After the command too; a subcommand's own default must not undo one given before it.
    for command in (template_parser, composition_parser, check_parser):
        json_option(command, argparse.SUPPRESS)
    return parser


def main(argv: list[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    run = _Run(arguments.json)
    try:
        if arguments.command == "template":
            template(run, arguments.files)
        elif arguments.command == "composition":
            composition(run, arguments.manifest)
        else:
            check(run, arguments.sums)
        run.out.flush()
    except BrokenPipeError:
        # The reader went away (`| head`); say nothing more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 1 if run.failed else 0


if __name__ == "__main__":
    sys.exit(main())
