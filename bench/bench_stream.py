"""Streaming and file hashing against hashlib over the same bytes, side by side.

Run with `python bench/bench_stream.py [--runs N] [--check]` against the
installed package. Large files are made in a temporary folder and removed; the
page cache is warmed before timing, so reads come from memory, as they do for
hashlib. The template texts fed in 64 KiB pieces are timed against hashlib's
one-shot digest of the same bytes, best of 7, and with several runs their
ratio is the median.
"""

from __future__ import annotations

import hashlib
import statistics
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

from bench_template import in_turns
from template_texts import cjk, cyrillic
from vela_sha import TemplateHasher, hash_file

MiB = 1 << 20


def lines(unit: str, size: int, newline: str) -> bytes:
    line = (unit * 60 + newline).encode()
    return (line * (size // len(line) + 1))[:size].decode("utf-8", "ignore").encode()


def write_file(path: Path, unit: str, size: int, newline: str) -> None:
    block = lines(unit, 8 * MiB, newline)
    block = block[: block.rfind(newline.encode()) + len(newline)]  # whole lines only
    with open(path, "wb") as out:
        written = 0
        while written < size:
            out.write(block)
            written += len(block)


def best(statement, repeat: int, number: int = 1) -> float:
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number


def file_digest(path: Path) -> bytes:
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").digest()


def chunked(chunks: list[bytes], make) -> None:
    h = make()
    for chunk in chunks:
        h.update(chunk)
    h.digest()


# Runs a command from a small fresh interpreter, which times it and reads its
# peak resident memory: a child forked from this big process would start its
# high-water mark at this process's size.
_RUNNER = """
import resource, subprocess, sys, time
started = time.perf_counter()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(time.perf_counter() - started, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def command_run(argv: list[str]) -> tuple[float, int]:
    """Wall time and peak resident memory (bytes) of one run of `argv`."""
    out = subprocess.run([sys.executable, "-c", _RUNNER, *argv], capture_output=True, check=True, text=True)
    seconds, peak = out.stdout.split()
    return float(seconds), int(peak)


def pieces_against_one_shot(runs: int) -> list:
    """TemplateHasher.update in 64 KiB pieces against hashlib's one-shot digest."""
    rows = []
    for name, data, target in [("update, 64 KiB pieces, 1 MiB ASCII LF", lines("a", MiB, "\n"), 1.06),
                               ("update, 64 KiB pieces, 1 MiB ASCII CR LF", lines("a", MiB, "\r\n"), 1.06),
                               ("update, 64 KiB pieces, 1.4 MiB Russian LF", cyrillic(), 1.12),
                               ("update, 64 KiB pieces, 1 MiB Chinese CR LF", cjk(), 1.12)]:
        chunks = [data[i:i + 64 * 1024] for i in range(0, len(data), 64 * 1024)]
        timings = [in_turns(lambda: chunked(chunks, TemplateHasher), lambda: hashlib.sha256(data).digest(), 50)
                   for _ in range(runs)]
        ratio = statistics.median(ours / base for ours, base in timings)
        ours, base = timings[0]
        rows.append((name, ratio * base, base, target))
    return rows


def main() -> int:
    runs = int(sys.argv[sys.argv.index("--runs") + 1]) if "--runs" in sys.argv else 1
    rows = pieces_against_one_shot(runs)  # name, ours, base, target
    with tempfile.TemporaryDirectory() as folder:
        ascii_file, cjk_file, cli_file = (Path(folder) / n for n in ("ascii", "cjk", "cli"))
        write_file(ascii_file, "a", 1 << 30, "\n")
        write_file(cjk_file, "中", 1 << 30, "\r\n")
        for path, name, target in [(ascii_file, "hash_file, 1 GiB ASCII LF", 1.15),
                                   (cjk_file, "hash_file, 1 GiB CJK CR LF", 1.35)]:
            file_digest(path)  # warm the page cache
            base = best(lambda: file_digest(path), 5)
            ours = best(lambda: hash_file(path), 5)
            rows.append((name, ours, base, target))
        ascii_file.unlink()
        cjk_file.unlink()

        data = lines("a", 256 * MiB, "\n")
        chunks = [data[i:i + 64 * 1024] for i in range(0, len(data), 64 * 1024)]
        base = best(lambda: chunked(chunks, hashlib.sha256), 5)
        ours = best(lambda: chunked(chunks, TemplateHasher), 5)
        rows.append(("update, 64 KiB chunks, 256 MiB ASCII LF", ours, base, 1.15))
        del data, chunks

        small = b"a" * 63 + b"\n"
        base = best(lambda: hashlib.sha256(small).hexdigest(), 7, 200_000)
        ours = best(lambda: TemplateHasher(small).hexdigest(), 7, 200_000)
        rows.append(("TemplateHasher(data).hexdigest(), 64 B", ours, base, 1.50))

        write_file(cli_file, "a", 2 << 30, "\n")
        command = Path(sys.executable).with_name("vela-sha")
        reference = [sys.executable, "-c",
                     "import hashlib, sys\n"
                     "with open(sys.argv[1], 'rb') as f: print(hashlib.file_digest(f, 'sha256').hexdigest())",
                     str(cli_file)]
        command_run(reference)
        runs = [(command_run([str(command), "template", str(cli_file)]), command_run(reference))
                for _ in range(3)]
        ours, peak = min(r[0] for r in runs)
        base = min(r[1][0] for r in runs)
        rows.append(("vela-sha template, 2 GiB ASCII LF", ours, base, 1.20))
        rows.append(("  its peak resident memory", peak / MiB, 32, 1.0))

    failed = False
    print(f"{'case':<42} {'vela-sha':>11} {'hashlib':>11} {'ratio':>6} {'target':>7}")
    for name, ours, base, target in rows:
        ratio = ours / base
        missed = ratio > target
        failed |= missed
        if name.startswith("  "):
            print(f"{name:<42} {ours:9.1f}MiB {'':>11} {'':>6} {'<= ' + format(base, 'g') + ' MiB':>7}"
                  f"{'  MISSED' if missed else ''}")
            continue
        unit, scale = ("us", 1e6) if ours < 1e-3 else ("ms", 1e3)
        print(f"{name:<42} {ours * scale:9.2f}{unit} {base * scale:9.2f}{unit} {ratio:6.2f} "
              f"{'<= ' + format(target, '.2f'):>7}{'  MISSED' if missed else ''}")
    return 1 if failed and "--check" in sys.argv else 0


if __name__ == "__main__":
    sys.exit(main())
