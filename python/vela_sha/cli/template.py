"""vela-sha template: the template digest of each file."""

from __future__ import annotations

import argparse

from vela_sha.cli.inputs import add_jobs_options, template_outcomes
from vela_sha.cli.output import Output

HELP = "print the template digest of each FILE"
EPILOG = None


def configure(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("files", nargs="*", metavar="FILE", help="'-' or none: standard input")
    sub.add_argument("--tag", action="store_true", help="write BSD-style lines: TEMPLATE (FILE) = <digest>")
    add_jobs_options(sub)


def run(out: Output, arguments: argparse.Namespace) -> None:
    for name, outcome in template_outcomes(out, arguments.files or ["-"], arguments.jobs, arguments.progress):
        if isinstance(outcome, BaseException):
            out.fail(name, outcome)
        else:
            out.digest_line(name, outcome, arguments.tag)
