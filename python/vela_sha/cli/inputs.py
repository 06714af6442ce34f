"""Reading what the commands hash: files, standard input and manifests."""

from __future__ import annotations

import argparse
import errno
import json
import os
import select
import stat
import sys
from typing import Any, Generator, Sequence

from vela_sha import VelaShaError, calculate_composition_hash, hash_file, iter_hash_files, manifest_problems
from vela_sha.cli.output import Outcome, Output
from vela_sha.cli.progress import Progress
from vela_sha.types import CompositionResult

MANIFEST_SHAPE = """\
A manifest is a JSON object:
  {"schema": "vela-sha/manifest/v1",            (or "v1")
   "nodes": [{"source": SOURCE, "sha256": "<64 hex digits>"}, ...],
   "edges": [{"parent": SOURCE, "child": SOURCE, "occurrence": 0}, ...]}
where SOURCE is {"kind": "local_path" | "url", "value": "<text>"}. Every edge
endpoint must be a node's source; no two nodes may share one. Order counts."""


def read(name: str) -> bytes:
    """All of a file, or of standard input for "-".

    Never blocks where Ctrl-C cannot reach it: a FIFO is opened without waiting
    for its writer, and every read waits in short polls, so that a SIGINT taken
    just before a blocking call still ends the command."""
    if name == "-":
        return _read_all(sys.stdin.fileno(), name)
    fd = os.open(name, os.O_RDONLY | os.O_CLOEXEC | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        os.set_blocking(fd, True)  # a poll said it is ready before each read
        return _read_all(fd, name)
    finally:
        os.close(fd)


def _read_all(fd: int, name: str) -> bytes:
    if stat.S_ISDIR(os.fstat(fd).st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
    waiting = select.poll()
    waiting.register(fd, select.POLLIN)
    chunks: list[bytes] = []
    while True:
        if not waiting.poll(100):
            continue  # back through the interpreter's loop, where a pending signal is raised
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def template_outcomes(run: Output, names: Sequence[str], jobs: int | None, progress: bool
                      ) -> Generator[tuple[str, Outcome], None, None]:
    """(name, result or exception) for each name, in order, hashed on `jobs` threads.

    Standard input ("-") is read on this thread, where Ctrl-C reaches it."""
    if progress and run.err.isatty():
        run.progress = Progress(run.err, names)
    try:
        batch: list[str] = []
        for name in [*names, None]:
            if name is not None and name != "-":
                batch.append(name)
                continue
            if batch:
                pairs = iter_hash_files(batch, jobs=jobs)
                try:
                    for path, outcome in pairs:
                        yield path, outcome
                        if run.progress:
                            run.progress.advance(path)
                finally:
                    pairs.close()
                batch = []
            if name == "-":
                try:
                    yield name, hash_file(sys.stdin.buffer)
                except (OSError, VelaShaError) as error:
                    yield name, error
    finally:
        if run.progress:
            run.progress.clear()
            run.progress = None


def manifest_of(name: str) -> tuple[Any, BaseException | None]:
    try:
        return json.loads(read(name)), None
    except (OSError, ValueError, RecursionError) as error:
        return None, error


def composition_of(manifest: Any) -> tuple[CompositionResult | None, BaseException | None, str]:
    """(result, None, "") or (None, error, where the manifest went wrong)."""
    try:
        return calculate_composition_hash(manifest), None, ""
    except VelaShaError as error:
        problems = manifest_problems(manifest)
        return None, error, problems[0]["where"] if problems else ""


def composition_file(name: str) -> tuple[CompositionResult | None, BaseException | None, str]:
    manifest, error = manifest_of(name)
    return (None, error, "") if error is not None else composition_of(manifest)


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid count: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def add_jobs_options(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("-j", "--jobs", type=_jobs, default=None, metavar="N",
                     help="hash on N threads (default: the CPUs available)")
    sub.add_argument("--progress", action="store_true",
                     help="show files and bytes done on standard error, when it is a terminal")
