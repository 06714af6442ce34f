"""Load, huge inputs, threads and memory exhaustion."""

import concurrent.futures
import hashlib
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import soak
from composition_reference import generate
from vela_sha._native import calculate_composition_hash, calculate_hash


@pytest.mark.soak
def test_leak_soak_million_calls():
    before, after = soak.run(1_000_000)
    assert after - before < 2**20, f"resident memory grew by {after - before} bytes"


def test_threads_get_the_single_threaded_results():
    shared_manifest = generate(200, 400, seed=9)
    shared_template = {"utf8_file_bytes": "línea\r\n".encode() * 2000}
    jobs = [(calculate_composition_hash, shared_manifest), (calculate_hash, shared_template)]
    jobs += [(calculate_hash, {"utf8_file_bytes": bytes([i]) * 1000 + b"\r\n"}) for i in range(1, 100)]
    jobs += [(calculate_composition_hash, generate(i, 2 * i, seed=i)) for i in range(20)]
    expected = [function(argument) for function, argument in jobs]
    start = threading.Barrier(8)

    def failures(offset):
        start.wait()
        order = [(k + offset + round_) % len(jobs) for round_ in range(20) for k in range(len(jobs))]
        return [index for index in order if jobs[index][0](jobs[index][1]) != expected[index]]

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert sum(pool.map(failures, range(0, 56, 7)), []) == []


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves address space")
def test_memory_error_when_the_copy_cannot_be_had():
    # The address space is capped below what the copy of the input needs, so the allocation fails
    # inside the extension: that must surface as the interpreter's MemoryError, with the process alive.
    script = textwrap.dedent("""
        import resource
        from vela_sha import calculate_hash
        data = b"x" * (256 << 20)
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (64 << 20), resource.RLIM_INFINITY))
        try:
            calculate_hash({"utf8_file_bytes": data})
        except MemoryError:
            print("MemoryError")
        print(calculate_hash({"utf8_file_bytes": b"still working"})["kind"])
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (0, "MemoryError\ntemplate\n"), run.stderr


@pytest.mark.huge
def test_template_of_four_gib_and_five_bytes():
    data = b"ab\xd0\x96ef\n\x00" * (1 << 29) + "中\n\n".encode()
    assert len(data) == (1 << 32) + 5
    assert calculate_hash({"utf8_file_bytes": data})["sha256"] == hashlib.sha256(data).hexdigest()


@pytest.mark.huge
def test_line_endings_beyond_two_gib():
    # A CR LF at the start shifts all that follows by one byte, and further CRs
    # lie past offset 2**31, so the compaction carries data across that offset.
    body = b"y" * ((1 << 31) + 3)
    data = b"\r\n" + body + b"\r\n\r\rz\r"
    expected = hashlib.sha256(b"\n")
    expected.update(memoryview(data)[2:2 + len(body)])
    expected.update(b"\n\n\nz\n")
    assert calculate_hash({"utf8_file_bytes": data})["sha256"] == expected.hexdigest()
