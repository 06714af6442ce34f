"""Many files at once: hash_files and the command line against one-at-a-time
loops and sha256sum, side by side.

Run with `python bench/bench_batch.py [--check]` against the installed package.
The files are made in a temporary folder (2 GiB of large ones, 20,000 small
ones) and removed; the page cache is warm for every run.
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
import time
from pathlib import Path

from vela_sha import calculate_hash, hash_file, hash_files

MiB = 1 << 20


def best(statement, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        statement()
        times.append(time.perf_counter() - started)
    return min(times)


def loop_hash_file(paths: list[Path]) -> None:
    for path in paths:
        hash_file(path)


def loop_read_and_hash(paths: list[Path]) -> None:
    for path in paths:
        with open(path, "rb") as file:
            calculate_hash({"utf8_file_bytes": file.read()})


def command(argv: list[str], cwd: Path) -> None:
    subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, check=True)


def main() -> int:
    rows = []
    with tempfile.TemporaryDirectory() as folder_name:
        folder = Path(folder_name)
        line = b"x" * 59 + b"\n"
        big = [folder / f"big{i:02d}" for i in range(64)]
        block = line * (32 * MiB // len(line)) + line[: 32 * MiB % len(line)]
        for path in big:
            path.write_bytes(block)
        loop_hash_file(big)  # warm the page cache
        base = best(lambda: loop_hash_file(big), 3)
        ours = best(lambda: hash_files(big, jobs=2), 3)
        rows.append(("64 files of 32 MiB: hash_files(jobs=2)", ours, base, "loop of hash_file", 0.60))
        for path in big:
            path.unlink()

        small_folder = folder / "small"
        small_folder.mkdir()
        small = [small_folder / f"t{i:05d}.html" for i in range(20_000)]
        for i, path in enumerate(small):
            path.write_bytes(line * (60 + i % 20))  # about 4 KiB each
        loop_read_and_hash(small)
        base = best(lambda: loop_read_and_hash(small), 5)
        ours = best(lambda: hash_files(small), 5)
        rows.append(("20,000 files of ~4 KiB: hash_files", ours, base, "loop of calculate_hash(read())", 0.70))

        names = [path.name for path in small]
        vela_sha_command = str(Path(sys.executable).with_name("vela-sha"))
        command(["sha256sum", *names], small_folder)
        base = best(lambda: command(["sha256sum", *names], small_folder), 5)
        ours = best(lambda: command([vela_sha_command, "template", *names], small_folder), 5)
        rows.append(("20,000 files of ~4 KiB: vela-sha template", ours, base, "sha256sum", 0.60))

    failed = False
    print(f"{'case':<44} {'vela-sha':>10} {'baseline':>10} {'ratio':>6} {'target':>7}  baseline")
    for name, ours, base, baseline, target in rows:
        ratio = ours / base
        failed |= ratio > target
        print(f"{name:<44} {ours * 1e3:8.1f}ms {base * 1e3:8.1f}ms {ratio:6.2f} {'<= ' + format(target, '.2f'):>7}"
              f"  {baseline}{'  MISSED' if ratio > target else ''}")
    return 1 if failed and "--check" in sys.argv else 0


if __name__ == "__main__":
    sys.exit(main())
