"""Template hash speed of several builds side by side in one process.

Run with `python bench/compare_template.py [--runs N] [--rounds R] NAME=DIR ...`
where each DIR holds a build's `_native` and `_ext` extension modules (a
site-packages/vela_sha folder, or a CMake build's python/ folder). Each run
loads every build, then times each case the best of R rounds, taking the
builds and hashlib in turns within each round (each round starting one
further along), and prints the ratio of each build's time to
`hashlib.sha256(data).digest()`; with several runs (each in a fresh process)
it prints their median and range. Cases: calculate_hash on
the whole text, and TemplateHasher.update in 64 KiB pieces: separate bytes
objects, or with --views, views of the very text hashlib reads. Below that,
each build after the first against the first: the median of the runs'
differences in ratio, and in how many runs the build was the faster.
"""

from __future__ import annotations

import hashlib
import importlib.util
import json
import statistics
import subprocess
import sys
import timeit
import types
from pathlib import Path

from bench_template import make
from template_texts import cjk, cyrillic

CASES = {
    "1 MiB ASCII, LF": lambda: make("a", 1 << 20, "\n"),
    "1 MiB ASCII, CRLF": lambda: make("a", 1 << 20, "\r\n"),
    "1.4 MiB Russian text, LF": cyrillic,
    "1 MiB Chinese text, CRLF": cjk,
}


def load(tag: str, folder: str) -> tuple[types.ModuleType, types.ModuleType]:
    """A build's two modules, under a package name of their own."""
    package = types.ModuleType(tag)
    package.__path__ = []
    sys.modules[tag] = package
    modules = []
    for name in ("_native", "_ext"):
        path = next(Path(folder).glob(f"{name}.*.so"))
        spec = importlib.util.spec_from_file_location(f"{tag}.{name}", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        modules.append(module)
    return modules[0], modules[1]


def one_run(builds: dict[str, str], rounds: int, views: bool) -> dict[str, dict[str, float]]:
    """{case: {"BUILD one" / "BUILD pieces": ratio to hashlib}} from one process."""
    import vela_sha  # noqa: F401  (the installed package: _ext takes its error type from it)

    loaded = {name: load(f"build{i}", folder) for i, (name, folder) in enumerate(builds.items())}
    ratios = {}
    for case, text in CASES.items():
        data = text()
        arg = {"utf8_file_bytes": data}
        whole = memoryview(data) if views else data
        pieces = [whole[at:at + 65536] for at in range(0, len(data), 65536)]

        def chunked(ext):
            def run():
                hasher = ext.TemplateHasher()
                for piece in pieces:
                    hasher.update(piece)
                return hasher.digest()
            return run

        timed = {"hashlib": lambda: hashlib.sha256(data).digest()}
        for name, (native, ext) in loaded.items():
            timed[f"{name} one"] = lambda native=native: native.calculate_hash(arg)
            timed[f"{name} pieces"] = chunked(ext)
        best = dict.fromkeys(timed, float("inf"))
        # Each round starts one further along: a call runs faster after one
        # that left its text in cache, so no build may always come after the
        # same one.
        order = list(timed.items())
        for round_ in range(rounds):
            start = round_ % len(order)
            for label, run in order[start:] + order[:start]:
                best[label] = min(best[label], timeit.timeit(run, number=5) / 5)
        ratios[case] = {label: best[label] / best["hashlib"] for label in timed if label != "hashlib"}
    return ratios


def main() -> int:
    args = sys.argv[1:]
    runs = int(args[args.index("--runs") + 1]) if "--runs" in args else 1
    rounds = int(args[args.index("--rounds") + 1]) if "--rounds" in args else 7
    builds = dict(arg.split("=", 1) for arg in args if "=" in arg)
    views = "--views" in args
    if "--one" in args:
        print(json.dumps(one_run(builds, rounds, views)))
        return 0
    command = [sys.executable, __file__, "--one", "--rounds", str(rounds), *(["--views"] if views else []),
               *(f"{k}={v}" for k, v in builds.items())]
    results = [json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
               for _ in range(runs)]
    labels = [f"{name} {form}" for form in ("one", "pieces") for name in builds]
    print(f"{'case':<26} " + " ".join(f"{label:>22}" for label in labels))
    for case in CASES:
        cells = []
        for label in labels:
            values = [result[case][label] for result in results]
            cells.append(f"{statistics.median(values):.3f} ({min(values):.2f}-{max(values):.2f})")
        print(f"{case:<26} " + " ".join(f"{cell:>22}" for cell in cells))
    first, *others = builds
    for name in others:
        print(f"\n{name} against {first}: median difference (runs faster)")
        for case in CASES:
            cells = []
            for form in ("one", "pieces"):
                differences = [result[case][f"{name} {form}"] - result[case][f"{first} {form}"] for result in results]
                cells.append(f"{form} {statistics.median(differences):+.3f} "
                             f"({sum(d < 0 for d in differences)}/{len(differences)})")
            print(f"{case:<26} " + " ".join(f"{cell:>22}" for cell in cells))
    return 0


if __name__ == "__main__":
    sys.exit(main())
