"""vela-sha composition: the composition digest of each manifest."""

from __future__ import annotations

import argparse

from vela_sha.cli.inputs import MANIFEST_SHAPE, composition_file
from vela_sha.cli.output import Output

HELP = "print the composition digest of each JSON manifest"
EPILOG = MANIFEST_SHAPE


def configure(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("manifests", nargs="*", metavar="MANIFEST.json", help="'-' or none: standard input")
    sub.add_argument("--tag", action="store_true", help="write BSD-style lines: COMPOSITION (FILE) = <digest>")


def run(out: Output, arguments: argparse.Namespace) -> None:
    for name in arguments.manifests or ["-"]:
        result, error, where = composition_file(name)
        if result is not None:
            out.digest_line(name, result, arguments.tag)
        elif error is not None:
            out.fail(name, error, where)
