"""Command line: `python -m vela_sha template FILE ...` prints each file's template digest."""

from __future__ import annotations

import argparse
import sys

from vela_sha._native import VelaShaError, calculate_hash


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="vela-sha", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    template = commands.add_parser("template", help="print the template digest of each FILE")
    template.add_argument("files", nargs="*", metavar="FILE", help="'-' or nothing: standard input")
    arguments = parser.parse_args(argv)

    status = 0
    for name in arguments.files or ["-"]:
        try:
            if name == "-":
                data = sys.stdin.buffer.read()
            else:
                with open(name, "rb") as file:
                    data = file.read()
            digest = calculate_hash({"utf8_file_bytes": data})["sha256"]
        except OSError as error:
            print(f"vela-sha: {name}: {error.strerror}", file=sys.stderr)
            status = 1
        except VelaShaError as error:
            print(f"vela-sha: {name}: {error.code}: {error.message}", file=sys.stderr)
            status = 1
        else:
            print(f"{digest}  {name}")
    return status


if __name__ == "__main__":
    sys.exit(main())
