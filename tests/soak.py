"""Leak soak: many mixed calls, resident memory flat after warm-up.

    python tests/soak.py [--calls 1000000]

Mixes successes of both functions, every error path of both, argument-binding
failures, VelaShaError constructions (good and failing), and interpreter
exceptions passing through. Prints resident memory after warm-up and at the
end; exits 1 if it grew by 1 MiB or more.
"""

from __future__ import annotations

import argparse
import atexit
import io
import os
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

from composition_reference import generate  # noqa: E402
from test_composition import ERROR_CASES  # noqa: E402
from vela_sha import TemplateHasher, hash_file, hash_files, iter_hash_files, manifest_problems  # noqa: E402
from vela_sha._native import VelaShaError, calculate_composition_hash, calculate_hash  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class RaisingKey(str):
    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        raise LookupError("from __eq__")


def workload() -> list:
    manifest = generate(30, 60, seed=4)
    template_inputs = [b"", b"a\r\nb\rc" * 50, "Ж中😀\r\n".encode() * 30]
    failing_templates = [1, [], {}, {"utf8_file_bytes": "text"}, {"utf8_file_bytes": bytearray(b"x")},
                         {"utf8_file_bytes": b"ok\xff"}]
    calls = []
    calls += [lambda d=d: calculate_hash({"utf8_file_bytes": d}) for d in template_inputs]
    calls.append(lambda: calculate_composition_hash(manifest))
    calls += [lambda v=v: calculate_hash(v) for v in failing_templates]
    calls += [lambda v=v: calculate_composition_hash(v) for v, _ in ERROR_CASES]
    calls += [
        lambda: calculate_hash(),
        lambda: calculate_hash({}, {}),
        lambda: calculate_composition_hash(input={}, extra=1),
        lambda: VelaShaError("VELA_SHA_X", "message"),
        lambda: VelaShaError("VELA_SHA_X"),
        lambda: VelaShaError(1, "m"),
        lambda: VelaShaError("c", "\udc80"),
        lambda: calculate_hash({RaisingKey("utf8_file_bytes"): b""}),
        lambda: calculate_composition_hash({RaisingKey("schema"): "v1"}),
    ]
    folder = Path(tempfile.mkdtemp(prefix="vela-sha-soak-"))
    atexit.register(shutil.rmtree, folder, True)
    (folder / "good").write_bytes(b"a\r\nb" * 3000)
    (folder / "bad").write_bytes(b"ok\r\n" * 100 + b"\xff")
    calls += [
        lambda: TemplateHasher(b"a\r").update(b"\nb"),
        lambda: TemplateHasher(b"x\r\n" * 2000).copy().result(),
        lambda: TemplateHasher(b"\xe2\x82").digest(),
        lambda: TemplateHasher(b"ok").update(b"\xc0\xaf"),
        lambda: TemplateHasher().update("text"),
        lambda: hash_file(folder / "good"),
        lambda: hash_file(folder / "bad"),
        lambda: hash_file(folder / "missing"),
        lambda: hash_file(io.BytesIO(b"a\r\nb" * 100)),
        lambda: hash_files([folder / "good", folder / "bad", folder / "missing"], return_exceptions=True),
        lambda: hash_files([folder / "good", folder / "bad"], jobs=2),
        lambda: next(iter_hash_files([folder / "good"] * 3, jobs=2)),
        lambda: hash_files([folder / "good", 7]),
    ]
    calls += [lambda v=v: manifest_problems(v) for v, _ in ERROR_CASES]
    calls.append(lambda: manifest_problems(manifest))
    return calls


def run(calls: int) -> tuple[int, int]:
    """Returns resident memory after the first tenth of the calls and at the end."""
    work = workload()
    expected = (VelaShaError, TypeError, UnicodeEncodeError, LookupError, OSError)
    warm_up, after_warm_up = calls // 10, 0
    for i in range(calls):
        if i == warm_up:
            after_warm_up = resident_bytes()
        try:
            work[i % len(work)]()
        except expected:
            pass
    return after_warm_up, resident_bytes()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    calls = parser.parse_args().calls
    before, after = run(calls)
    growth = after - before
    print(f"{calls:,} calls: resident {before / 2**20:.2f} MiB after warm-up, "
          f"{after / 2**20:.2f} MiB at the end, growth {growth / 2**10:+.0f} KiB")
    return 0 if growth < 2**20 else 1


if __name__ == "__main__":
    sys.exit(main())
