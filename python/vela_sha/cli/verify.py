"""vela-sha verify: a manifest's local templates against their pinned digests."""

from __future__ import annotations

import argparse
import os
from pathlib import Path

from vela_sha.cli.inputs import MANIFEST_SHAPE, add_jobs_options, composition_of, manifest_of, template_outcomes
from vela_sha.cli.output import Output, reason

HELP = "check a manifest's local templates against their pinned digests"
EPILOG = MANIFEST_SHAPE


def configure(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("manifest", metavar="MANIFEST.json", help="'-': standard input")
    sub.add_argument("--root", metavar="DIR",
                     help="where node paths start (default: the manifest's folder, or . for standard input)")
    add_jobs_options(sub)


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


def run(out: Output, arguments: argparse.Namespace) -> None:
    name = arguments.manifest
    manifest, error = manifest_of(name)
    result, error, where = (None, error, "") if error is not None else composition_of(manifest)
    if result is None:
        assert error is not None
        out.fail(name, error, where)
        return
    out.digest_line(name, result)
    root = Path(arguments.root) if arguments.root else (Path(name).parent if name != "-" else Path("."))
    local = [n for n in manifest["nodes"] if n["source"]["kind"] == "local_path"]
    urls = len(manifest["nodes"]) - len(local)
    refused = [_escape_reason(root, n["source"]["value"]) for n in local]
    # Joined as text, so a node named "-" is ./-, never standard input.
    readable = [os.path.join(root, n["source"]["value"]) for n, why in zip(local, refused) if why is None]
    outcomes = template_outcomes(out, readable, arguments.jobs, arguments.progress)
    mismatched = unreadable = 0
    for node, why in zip(local, refused):
        value, expected, actual = node["source"]["value"], node["sha256"].lower(), None
        status = "FAILED"
        if why is None:
            _, outcome = next(outcomes)
            if isinstance(outcome, OSError):
                status, why = "MISSING", outcome.strerror or str(outcome)
            elif isinstance(outcome, BaseException):
                why = reason(outcome)
            else:
                actual = outcome["sha256"]
                status = "OK" if actual == expected else "FAILED"
        mismatched += status == "FAILED"
        unreadable += status == "MISSING"
        if why is not None:
            out.warn(f"{value}: {why}")
        if out.as_json:
            out.json({"path": value, "status": status, "expected": expected, "actual": actual, "reason": why})
        else:
            out.status_line(value, status)
    if urls:
        out.warn(f"{urls} url {'node' if urls == 1 else 'nodes'} not checked")
    if mismatched:
        out.warn(f"WARNING: {mismatched} computed {'checksum' if mismatched == 1 else 'checksums'} did NOT match")
    if unreadable:
        out.warn(f"WARNING: {unreadable} listed {'file' if unreadable == 1 else 'files'} could not be read")
    out.failed |= bool(mismatched or unreadable)
