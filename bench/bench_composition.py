"""Composition hash speed against a pure-Python implementation and hashlib, side by side.

    python bench/bench_composition.py [--large] [--check]

Runs against the installed package. The floor is hashlib.sha256 over the
finished stream bytes alone: nothing can beat hashing the stream. Every case
is measured in this one process, best of several rounds. Two shapes of each
size: built in Python, with edges reusing the nodes' very source dicts
("shared"), and decoded from JSON, where every mapping is a dict of its own.
--large adds 100,000 and 1,000,000 nodes (twice as many edges; a few minutes,
about 8 GiB) and the extra peak resident memory of one call.
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


def peak_during(call) -> float | None:
    """Resident memory the call adds at its peak, in MiB (Linux only)."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # restarts the peak (VmHWM) from the current size
    except OSError:
        return None

    def status(field: str) -> int:
        with open("/proc/self/status") as lines:
            return next(int(line.split()[1]) for line in lines if line.startswith(field))

    before = status("VmRSS:")
    call()
    return (status("VmHWM:") - before) / 1024


def huge_pages() -> str:
    try:
        mode = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text()
    except OSError:
        return "unknown"
    return mode[mode.index("[") + 1:mode.index("]")]


def main() -> int:
    large = "--large" in sys.argv
    failed = False
    print(f"transparent huge pages: {huge_pages()}" + ("" if huge_pages() in ("always", "madvise")
                                                        else " (unavailable: large buffers use 4 KiB pages)"))
    print(f"{'manifest':<34} {'vela-sha':>11} {'pure Python':>12} {'floor':>10} {'speed-up':>9} {'x floor':>8}"
          f" {'peak':>9}")
    # nodes, rounds, speed-up target, floor target (shared, JSON)
    sizes = [(3, 25, 25.0, None), (10_000, 25, 35.0, (3.5, 3.5))]
    if large:
        sizes += [(100_000, 5, None, (12.0, 6.0)), (1_000_000, 3, None, (12.0, 6.0))]
    for nodes, repeat, speedup_target, floor_targets in sizes:
        small = nodes == 3
        shared = generate(nodes, nodes if small else 2 * nodes, seed=3 if small else 1)
        for shape, manifest in (("shared", shared), ("JSON", json.loads(json.dumps(shared)))):
            name = f"{nodes:,} nodes, {len(manifest['edges']):,} edges ({shape})"
            data = manifest_stream(manifest)
            if nodes <= 10_000:
                assert calculate_composition_hash(manifest) == composition_hash(manifest)
            number = 2_000 if small else 1
            ours = best(lambda: calculate_composition_hash(manifest), number, repeat)
            floor = best(lambda: hashlib.sha256(data).digest(), number, repeat)
            pure = best(lambda: composition_hash(manifest), number, 5) if speedup_target else None
            peak = peak_during(lambda: calculate_composition_hash(manifest)) if large and not small else None
            floor_target = None if floor_targets is None else floor_targets[shape == "JSON"]
            over_floor = ours / floor
            missed = (pure is not None and pure / ours < speedup_target) or (
                floor_target is not None and over_floor > floor_target)
            failed |= missed
            targets = []
            if speedup_target:
                targets.append(f">= {speedup_target:g}x")
            if floor_target:
                targets.append(f"<= {floor_target:g}x floor")
            pure_text = "—" if pure is None else f"{pure * 1e3:.3f}ms"
            speedup_text = "—" if pure is None else f"{pure / ours:.1f}x"
            peak_text = "—" if peak is None else f"{peak:.0f} MiB"
            print(f"{name:<34} {ours * 1e3:9.3f}ms {pure_text:>12} {floor * 1e3:8.3f}ms {speedup_text:>9} "
                  f"{over_floor:7.2f}x {peak_text:>9}  (targets {', '.join(targets)}){'  MISSED' if missed else ''}",
                  flush=True)
            if small:
                break  # one shape is enough for three nodes
    print(f"stream of the 10,000-node manifest: {len(manifest_stream(generate(10_000, 20_000, seed=1))):,} bytes")
    return 1 if failed and "--check" in sys.argv else 0


if __name__ == "__main__":
    sys.exit(main())
