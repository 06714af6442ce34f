"""vela-sha verify: a manifest's local templates against their pinned digests."""

from __future__ import annotations

import argparse
import os
from collections import Counter

from vela_sha.cli.inputs import MANIFEST_SHAPE, add_jobs_options, composition_of, manifest_of, template_outcomes
from vela_sha.cli.output import Outcome, Output, reason
from vela_sha.cli.paths import Roots

HELP = "check a manifest's local templates against their pinned digests"
EPILOG = MANIFEST_SHAPE

# Each status with the closing warning that counts it, singular and plural.
_COUNTED = (("FAILED", "computed checksum did NOT match", "computed checksums did NOT match"),
            ("unreadable", "listed file could not be read", "listed files could not be read"),
            ("REFUSED", "listed file was refused", "listed files were refused"))


def configure(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("manifest", metavar="MANIFEST.json", help="'-': standard input")
    sub.add_argument("--root", metavar="DIR", dest="roots", action="append",
                     help="where node paths start (default: the manifest's folder, or . for standard input); "
                          "given more than once, a search path: the first root that has a file gives it")
    add_jobs_options(sub)


def run(out: Output, arguments: argparse.Namespace) -> None:
    name = arguments.manifest
    manifest, error = manifest_of(name)
    result, error, where = (None, error, "") if error is not None else composition_of(manifest)
    if result is None:
        assert error is not None
        out.fail(name, error, where)
        return
    out.digest_line(name, result)
    roots = Roots(arguments.roots or [os.path.dirname(name) or "." if name != "-" else "."])
    for folder, unusable in roots.unusable():
        out.fail(folder, unusable, coded=False)
    if out.failed:
        return
    local = [node for node in manifest["nodes"] if node["source"]["kind"] == "local_path"]
    located = [roots.locate(node["source"]["value"]) for node in local]
    outcomes = template_outcomes(out, [path for path, refused in located if refused is None],
                                 arguments.jobs, arguments.progress)
    counts: Counter[str] = Counter()
    try:
        for node, (_, refused) in zip(local, located):
            value, expected = node["source"]["value"], node["sha256"].lower()
            status, actual, why = ("REFUSED", None, refused) if refused else _verdict(next(outcomes)[1], expected)
            counts["unreadable" if status in ("MISSING", "FAILED open or read") else status] += 1
            _report(out, value, status, expected, actual, why)
    finally:
        outcomes.close()
    if urls := len(manifest["nodes"]) - len(local):
        out.message(f"{urls} url {'node' if urls == 1 else 'nodes'} not checked")
    for status, one, many in _COUNTED:
        if counts[status]:
            out.message(f"WARNING: {counts[status]} {one if counts[status] == 1 else many}")
    out.failed |= counts["OK"] < len(local)


def _verdict(outcome: Outcome, expected: str) -> tuple[str, str | None, str | None]:
    """(status, computed digest, why) of one node's file."""
    if isinstance(outcome, (FileNotFoundError, NotADirectoryError)):
        return "MISSING", None, outcome.strerror
    if isinstance(outcome, OSError):  # there, but not a file that can be read
        return "FAILED open or read", None, outcome.strerror or str(outcome)
    if isinstance(outcome, BaseException):
        return "FAILED", None, reason(outcome)
    actual = outcome["sha256"]
    if actual == expected:
        return "OK", actual, None
    return "FAILED", actual, f"expected {expected}, computed {actual}"


def _report(out: Output, value: str, status: str, expected: str, actual: str | None, why: str | None) -> None:
    if why is not None:
        out.message(why, value)
    if out.as_json:
        out.json({"path": value, "status": status, "expected": expected, "actual": actual, "reason": why})
    else:
        out.named_line(value, status)
