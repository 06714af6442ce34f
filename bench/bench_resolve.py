"""manifests_for over a real Jinja2 tree against Jinja2's own parse, side by side.

Run with `python bench/bench_resolve.py [--tree DIR] [--check]` against the
installed package (with Jinja2). The tree is DIR, else Sphinx's basic theme
(pip install sphinx); its pages are every *.html file in it. The baseline is
`Environment.parse` of every template the manifests take in, once each, with
the sources already in memory: the floor. manifests_for reads, parses and
hashes the same templates and builds every page's manifest. Best of several
runs, the page cache warm.
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from pathlib import Path
from typing import Callable

import jinja2

from vela_sha.resolve import JINJA2_EXTENSIONS, manifests_for

TARGET = 1.5


def best(*statements: Callable[[], object], seconds: float = 6.0, least: int = 5) -> list[float]:
    """The best time of each statement, run in turn round after round, so that a busy
    spell on the machine falls on both."""
    times: list[list[float]] = [[] for _ in statements]
    ends = time.perf_counter() + seconds
    while len(times[0]) < least or time.perf_counter() < ends:
        for statement, taken in zip(statements, times):
            started = time.perf_counter()
            statement()
            taken.append(time.perf_counter() - started)
    return [min(taken) for taken in times]


def main() -> int:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--tree", type=Path, help="a folder of Jinja2 templates (default: Sphinx's basic theme)")
    options.add_argument("--check", action="store_true", help=f"exit with 1 above {TARGET}x")
    arguments = options.parse_args()
    tree = arguments.tree
    if tree is None:
        import sphinx

        tree = Path(sphinx.__file__).parent / "themes" / "basic"
    pages = sorted(path.relative_to(tree).as_posix() for path in tree.rglob("*.html"))

    def ours() -> dict[str, object]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # dynamic references, left out
            return manifests_for(pages, search_path=[tree], engine="jinja2", skip_dynamic=True, return_exceptions=True)

    found = ours()
    failed = [f"{page}: {outcome}" for page, outcome in found.items() if isinstance(outcome, Exception)]
    names = sorted({node["source"]["value"] for m in found.values() if isinstance(m, dict) for node in m["nodes"]})
    sources = {name: (tree / name).read_text(encoding="utf-8") for name in names}
    environment = jinja2.Environment(extensions=list(JINJA2_EXTENSIONS))

    def parse_each() -> None:
        for name, source in sources.items():
            environment.parse(source, name)

    size = sum(len(source.encode()) for source in sources.values())
    print(f"tree: {tree}\n{len(pages)} pages, {len(names)} templates parsed ({size / 1024:.0f} KiB), "
          f"{len(failed)} pages failed{': ' + '; '.join(failed[:3]) if failed else ''}")
    floor, resolved = best(parse_each, ours)
    ratio = resolved / floor
    print(f"{'case':<44} {'time':>10}")
    print(f"{'Environment.parse of each template':<44} {floor * 1e3:>8.2f} ms")
    print(f"{'manifests_for, every page':<44} {resolved * 1e3:>8.2f} ms")
    print(f"ratio {ratio:.2f} (target <= {TARGET})")
    return 1 if arguments.check and ratio > TARGET else 0


if __name__ == "__main__":
    sys.exit(main())
