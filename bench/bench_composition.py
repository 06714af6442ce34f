"""Composition hash speed against a pure-Python implementation and hashlib, side by side.

Run with `python bench/bench_composition.py` against the installed package.
The floor is hashlib.sha256 over the finished stream bytes alone: nothing can
beat hashing the stream.
"""

from __future__ import annotations

import hashlib
import json
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from composition_reference import composition_hash, generate, manifest_stream  # noqa: E402
from vela_sha import calculate_composition_hash  # noqa: E402


def best(statement, number: int, repeat: int) -> float:
    """The best mean over `repeat` rounds of `number` calls."""
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number


def main() -> int:
    failed = False
    print(f"{'manifest':<40} {'vela-sha':>10} {'pure Python':>12} {'hashlib floor':>14} "
          f"{'speed-up':>9} {'x floor':>8}")
    big = generate(10_000, 20_000, seed=1)
    small = generate(3, 3, seed=3)
    cases = [
        # name, manifest, calls per round, rounds, speed-up target, floor target
        ("10,000 nodes, 20,000 edges (shared)", big, 1, 25, 25.0, 5.0),
        ("10,000 nodes, 20,000 edges (JSON)", json.loads(json.dumps(big)), 1, 25, 25.0, 5.0),
        ("3 nodes, 3 edges", small, 2_000, 25, 10.0, None),
    ]
    for name, manifest, number, repeat, speedup_target, floor_target in cases:
        assert calculate_composition_hash(manifest) == composition_hash(manifest)
        data = manifest_stream(manifest)
        ours = best(lambda: calculate_composition_hash(manifest), number, repeat)
        pure = best(lambda: composition_hash(manifest), number, max(3, repeat // 5))
        floor = best(lambda: hashlib.sha256(data).digest(), number, repeat)
        speedup, over_floor = pure / ours, ours / floor
        missed = speedup < speedup_target or (floor_target is not None and over_floor > floor_target)
        failed |= missed
        targets = f">= {speedup_target:g}x" + ("" if floor_target is None else f", <= {floor_target:g}x floor")
        print(f"{name:<40} {ours * 1e3:8.3f}ms {pure * 1e3:10.3f}ms {floor * 1e3:12.3f}ms "
              f"{speedup:8.1f}x {over_floor:7.2f}x  (targets {targets}){'  MISSED' if missed else ''}")
    print(f"stream of the large manifest: {len(manifest_stream(big)):,} bytes")
    return 1 if failed and "--check" in sys.argv else 0


if __name__ == "__main__":
    sys.exit(main())
