"""vela-sha lint: every problem of each manifest."""

from __future__ import annotations

import argparse

from vela_sha import manifest_problems
from vela_sha.cli.inputs import MANIFEST_SHAPE, manifest_of
from vela_sha.cli.output import Output, escape

HELP = "print every problem of each manifest"
EPILOG = MANIFEST_SHAPE


def configure(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("manifests", nargs="*", metavar="MANIFEST.json", help="'-' or none: standard input")


def run(out: Output, arguments: argparse.Namespace) -> None:
    for name in arguments.manifests or ["-"]:
        manifest, error = manifest_of(name)
        if error is not None:
            out.fail(name, error)
            continue
        for problem in manifest_problems(manifest):
            out.failed = True
            if out.as_json:
                out.json({"name": name, **problem})
            else:
                escaped, text = escape(name)
                line = f": {problem['where']}: {problem['code']}: {problem['message']}\n"
                out.write((b"\\" if escaped else b"") + text + line.encode())
