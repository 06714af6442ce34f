"""vela-sha: template and composition digests on the command line.

Follows sha256sum's conventions: one "<digest>  <name>" line per input ("--tag"
for BSD-style "TEMPLATE (name) = <digest>" lines), "-" or no name for standard
input, and `check` to verify such lines with GNU's options, messages and exit
status. Names holding a backslash or a line break are written escaped, with a
leading backslash, as GNU sha256sum does, so that every line reads back
unchanged.

One module per command, each with its HELP, EPILOG, configure(parser) and
run(output, arguments). What they share: output.py (where results and
failures go; UsageError for arguments found wrong past parsing), names.py
(how names are written), inputs.py (reading files and manifests), paths.py
(node paths on disk) and progress.py.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from typing import Any

from vela_sha import __version__
from vela_sha.cli import check, composition, lint, manifest, template, verify
from vela_sha.cli.output import Output, UsageError
from vela_sha.cli.streams import WriteError, emit

__all__ = ["main"]

COMMANDS = {"template": template, "composition": composition, "check": check, "verify": verify,
            "manifest": manifest, "lint": lint}


class _Parser(argparse.ArgumentParser):
    def _print_message(self, message: str, file: Any = None) -> None:
        # argparse would drop a failed write: `--help > /dev/full` must fail as coreutils' does.
        stream = file or sys.stderr
        try:
            stream.write(message)
            stream.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise WriteError(error, "stdout" if stream is sys.stdout else "stderr") from None


def _parser() -> tuple[_Parser, dict[str, _Parser]]:
    """The parser, and each subcommand's own by name."""
    parser = _Parser(
        prog="vela-sha",
        description="Template and composition digests. Template digests differ from sha256sum's "
                    "for files with CR line endings: CR LF and lone CR are read as LF.")
    parser.add_argument("--version", action="version", version=f"vela-sha {__version__}")
    json_help = "print result dictionaries and failures, one JSON object per line"
    parser.add_argument("--json", action="store_true", default=False, help=json_help)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, module in COMMANDS.items():
        extra = {} if module.EPILOG is None else {
            "epilog": module.EPILOG, "formatter_class": argparse.RawDescriptionHelpFormatter}
        sub = commands.add_parser(name, help=module.HELP, description=module.HELP, **extra)
        # After the command too; its own default must not undo one given before it.
        sub.add_argument("--json", action="store_true", default=argparse.SUPPRESS, help=json_help)
        module.configure(sub)
    return parser, commands.choices


def main(argv: list[str] | None = None) -> int:
    """Runs one command; its exit status. Ends as coreutils end: killed by SIGINT
    on Ctrl-C, by SIGPIPE when the reader went away, with status 1 and a
    "write error" when standard output took no more."""
    try:
        _take_closed_standard_streams()
        return _run(argv)
    except KeyboardInterrupt:
        return _end_by(signal.SIGINT)
    except BrokenPipeError:
        _discard_unwritten()
        return _end_by(signal.SIGPIPE)
    except WriteError as error:
        if error.stream == "stdout":
            try:
                emit(sys.stderr.buffer, f"vela-sha: write error: {error}\n".encode(), "stderr")
            except (WriteError, BrokenPipeError):
                pass
        _discard_unwritten()
        return 1


def _run(argv: list[str] | None) -> int:
    parser, subcommands = _parser()
    arguments, extras = parser.parse_known_args(argv)
    if extras:
        # Said by the subcommand, so that its own usage is shown.
        subcommands[arguments.command].error(f"unrecognized arguments: {' '.join(extras)}")
    out = Output(arguments.json)
    try:
        COMMANDS[arguments.command].run(out, arguments)
    except UsageError as error:
        subcommands[arguments.command].error(str(error))
    return 1 if out.failed else 0


def _discard_unwritten() -> None:
    """What is left unwritten must not fail again when the interpreter flushes it at exit."""
    sink = os.open(os.devnull, os.O_WRONLY)
    os.dup2(sink, 1)
    os.dup2(sink, 2)
    os.close(sink)


def _end_by(signum: int) -> int:
    """Ends the process by `signum`, its default action restored, as a shell expects."""
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    return 128 + signum  # only if the signal was not delivered at once


def _take_closed_standard_streams() -> None:
    """A standard stream closed by the caller (`>&-`) gets a placeholder open the
    other way round, so that no file opened later lands on its number and
    every use of it fails with EBADF, as it does for coreutils."""
    for fd, flags, name in ((0, os.O_WRONLY, "stdin"), (1, os.O_RDONLY, "stdout"), (2, os.O_RDONLY, "stderr")):
        try:
            os.fstat(fd)
            continue
        except OSError:
            placeholder = os.open(os.devnull, flags)
        if placeholder != fd:
            os.dup2(placeholder, fd)
            os.close(placeholder)
        setattr(sys, name, open(fd, "w" if fd else "r", closefd=False))
