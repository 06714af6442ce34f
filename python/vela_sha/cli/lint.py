"""vela-sha lint: every problem of each manifest, and sources worth normalising."""

from __future__ import annotations

import argparse
from typing import Any, Iterator

from vela_sha import manifest_problems
from vela_sha.cli.inputs import MANIFEST_SHAPE, manifest_of
from vela_sha.cli.output import Output, failure_record
from vela_sha.cli.paths import unnormalised

HELP = "print every problem of each manifest, and each local path that is not normalised"
EPILOG = MANIFEST_SHAPE


def configure(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("manifests", nargs="*", metavar="MANIFEST.json", help="'-' or none: standard input")
    sub.add_argument("--strict", action="store_true", help="exit with 1 for warnings too")


def run(out: Output, arguments: argparse.Namespace) -> None:
    for name in arguments.manifests or ["-"]:
        manifest, error = manifest_of(name)
        if error is not None:
            out.fail(name, error)
            continue
        for problem in manifest_problems(manifest):
            out.failed = True
            where, code, message = problem["where"], problem["code"], problem["message"]
            if out.as_json:
                detail = {key: value for key, value in problem.items() if key not in ("code", "message") and value}
                out.json(failure_record(name, code, message, detail))
            else:
                out.named_line(name, f"{where or '(manifest)'}: {code}: {message}", escape_any=True)
        for where, why in _unnormalised_sources(manifest):
            out.failed |= arguments.strict
            message = f"source is not normalised ({why})"
            if out.as_json:
                out.json({"name": name, "warning": {"message": message, "where": where}})
            else:
                out.named_line(name, f"{where}: warning: {message}", escape_any=True)


def _unnormalised_sources(manifest: Any) -> Iterator[tuple[str, str]]:
    """(where, why) for each node whose local path is not normalised."""
    nodes = manifest.get("nodes") if isinstance(manifest, dict) else None
    for i, node in enumerate(nodes if isinstance(nodes, list) else ()):
        source = node.get("source") if isinstance(node, dict) else None
        if isinstance(source, dict) and source.get("kind") == "local_path" and isinstance(source.get("value"), str):
            why = unnormalised(source["value"])
            if why is not None:
                yield f"nodes[{i}].source.value", why
