"""Leak soak: many mixed calls, resident memory flat after warm-up.

    python tests/soak.py [--calls 1000000]

Successes and every error path of each entry point, argument-binding failures, VelaShaError
constructions and interpreter exceptions passing through. Exits 1 if resident memory grew by 1 MiB
or more after the first tenth of the calls.
"""

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


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _raising(self, other):
    raise LookupError("from __eq__")


def workload():
    manifest = generate(30, 60, seed=4)
    key = type("RaisingKey", (str,), {"__hash__": str.__hash__, "__eq__": _raising})
    templates = [b"", b"a\r\nb\rc" * 50, "Ж中😀\r\n".encode() * 30, b"ok\xff", "text", bytearray(b"x")]
    calls = [lambda v=v: calculate_hash({"utf8_file_bytes": v}) for v in templates]
    calls += [lambda v=v: calculate_hash(v) for v in (1, [], {})]
    calls += [lambda v=v, function=function: function(v) for v, _ in [(manifest, None), *ERROR_CASES]
              for function in (calculate_composition_hash, manifest_problems)]
    calls += [lambda: calculate_hash(), lambda: calculate_hash({}, {}),
              lambda: calculate_composition_hash(input={}, extra=1),
              lambda: VelaShaError("VELA_SHA_X", "message"), lambda: VelaShaError("VELA_SHA_X"),
              lambda: VelaShaError(1, "m"), lambda: VelaShaError("c", "\udc80"),
              lambda: calculate_hash({key("utf8_file_bytes"): b""}),
              lambda: calculate_composition_hash({key("schema"): "v1"})]
    folder = Path(tempfile.mkdtemp(prefix="vela-sha-soak-"))
    atexit.register(shutil.rmtree, folder, True)
    (folder / "good").write_bytes(b"a\r\nb" * 3000)
    (folder / "bad").write_bytes(b"ok\r\n" * 100 + b"\xff")
    good, bad, missing = folder / "good", folder / "bad", folder / "missing"
    calls += [lambda: TemplateHasher(b"a\r").update(b"\nb"), lambda: TemplateHasher(b"x\r\n" * 2000).copy().result(),
              lambda: TemplateHasher(b"\xe2\x82").digest(), lambda: TemplateHasher(b"ok").update(b"\xc0\xaf"),
              lambda: TemplateHasher().update("text"), lambda: hash_file(io.BytesIO(b"a\r\nb" * 100)),
              lambda: hash_files([good, bad, missing], return_exceptions=True), lambda: hash_files([good, 7]),
              lambda: hash_files([good, bad], jobs=2), lambda: next(iter_hash_files([good] * 3, jobs=2))]
    return calls + [lambda path=path: hash_file(path) for path in (good, bad, missing)]


def run(calls):
    """Resident memory after the first tenth of the calls, and at the end."""
    work = workload()
    after_warm_up = 0
    for i in range(calls):
        if i == calls // 10:
            after_warm_up = resident_bytes()
        try:
            work[i % len(work)]()
        except (VelaShaError, TypeError, UnicodeEncodeError, LookupError, OSError):
            pass
    return after_warm_up, resident_bytes()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    calls = parser.parse_args().calls
    before, after = run(calls)
    print(f"{calls:,} calls: resident {before / 2**20:.2f} MiB after warm-up, {after / 2**20:.2f} MiB at the end, "
          f"growth {(after - before) / 2**10:+.0f} KiB")
    sys.exit(0 if after - before < 2**20 else 1)
