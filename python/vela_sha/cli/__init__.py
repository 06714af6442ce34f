"""vela-sha: template and composition digests on the command line.

Follows sha256sum's conventions: one "<digest>  <name>" line per input ("--tag"
for BSD-style "TEMPLATE (name) = <digest>" lines), "-" or no name for standard
input, and `check` to verify such lines with GNU's options, messages and exit
status. Names holding a backslash or a line break are written escaped, with a
leading backslash, as GNU sha256sum does, so that every line reads back
unchanged.

One module per command, each with its HELP, EPILOG, configure(parser) and
run(output, arguments); output.py, progress.py and inputs.py are what they share.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys

from vela_sha import __version__
from vela_sha.cli import check, composition, lint, template, verify
from vela_sha.cli.output import Output

__all__ = ["main"]

COMMANDS = {"template": template, "composition": composition, "check": check, "verify": verify, "lint": lint}


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
    for name, module in COMMANDS.items():
        extra = {} if module.EPILOG is None else {
            "epilog": module.EPILOG, "formatter_class": argparse.RawDescriptionHelpFormatter}
        sub = commands.add_parser(name, help=module.HELP, description=module.HELP, **extra)
        # After the command too; its own default must not undo one given before it.
        sub.add_argument("--json", action="store_true", default=argparse.SUPPRESS, help=json_help)
        module.configure(sub)
    return parser, commands.choices


def main(argv: list[str] | None = None) -> int:
    parser, subcommands = _parser()
    arguments, extras = parser.parse_known_args(argv)
    if extras:
        # Said by the subcommand, so that its own usage is shown.
        subcommands[arguments.command].error(f"unrecognized arguments: {' '.join(extras)}")
    try:
        out = Output(arguments.json)
        COMMANDS[arguments.command].run(out, arguments)
        out.out.flush()
        return 1 if out.failed else 0
    except BrokenPipeError:
        # The reader went away (`| head`): end as coreutils do, by SIGPIPE.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
        return 141
