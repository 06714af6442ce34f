"""The process around a call: signals, a FIFO whose writer is late or silent, daemon threads at interpreter
exit, and fork() while threads of the library work. Each runs in a child interpreter of its own, with a time limit."""

import os
import subprocess
import sys
import textwrap

import pytest

import vela_sha

PRELUDE = """
import ctypes, os, signal, sys, threading, time
import vela_sha

def batch_threads():
    # The threads of our own: every thread of the process but Python's.
    python = {t.native_id for t in threading.enumerate()}
    return [int(tid) for tid in os.listdir("/proc/self/task") if int(tid) not in python]

def signal_thread(tid, number):
    ctypes.CDLL(None).tgkill(os.getpid(), tid, number)
"""


def run(script, *args, timeout=60, **env):
    """Runs `script` in a new interpreter, which must end well and silently; its output."""
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env={**os.environ, **env})
    assert (done.returncode, done.stderr) == (0, "")
    return done.stdout


def test_a_signal_while_waiting_for_a_fifos_writer_is_no_end_of_file(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    out = run("""
        signal.signal(signal.SIGUSR1, lambda *_: None)
        def signal_then_write():
            time.sleep(0.3)
            for tid in batch_threads():
                signal_thread(tid, signal.SIGUSR1)
            time.sleep(0.3)
            writer = os.open(sys.argv[1], os.O_WRONLY | os.O_NONBLOCK)  # ENXIO once no reader is left
            os.write(writer, b"late\\r\\n")
            os.close(writer)
        threading.Thread(target=signal_then_write).start()
        print(vela_sha.hash_files([sys.argv[1]])[0]["sha256"])
    """, fifo)
    assert out == vela_sha.calculate_hash({"utf8_file_bytes": b"late\n"})["sha256"] + "\n"


@pytest.mark.parametrize("how, waits_on", [("hash_files", "fifo"), ("iter_hash_files", "fifo"), ("hash_files", "big")])
def test_ctrl_c_ends_a_batch_promptly_and_joins_its_threads(tmp_path, how, waits_on):
    # Waiting for a FIFO's writer that stays silent, the signal lands on the batch's threads;
    # hashing large files, on the process.
    path, fifo = tmp_path / waits_on, waits_on == "fifo"
    if fifo:
        os.mkfifo(path)
    else:
        path.write_bytes(b"line\r\n" * (40 << 20))  # 240 MiB: several seconds of work in all
    delay, threads = run(f"""
        path, sent = sys.argv[1], []
        writer = os.open(path, os.O_RDWR) if {fifo} else None  # a writer that never writes
        def interrupt():
            time.sleep(0.5)
            sent.append(time.monotonic())
            for tid in batch_threads() if {fifo} else [None]:
                signal_thread(tid, signal.SIGINT) if tid else os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt, daemon=True).start()
        try:
            list(vela_sha.{how}([path] * (1 if {fifo} else 40), jobs=2))
        except KeyboardInterrupt:
            print(time.monotonic() - sent[0], len(batch_threads()))
    """, path).split()
    assert float(delay) < 3 and threads == "0"


@pytest.mark.parametrize("work", [
    "while True: hasher.update(big)",
    "while True: vela_sha.hash_file(path)",
    "while True: vela_sha.hash_files([path] * 4)",
    "while True: list(vela_sha.iter_hash_files([path] * 4))",
    "while True: vela_sha.hash_file(open(path, 'rb'))",
])
def test_the_interpreter_exits_while_daemon_threads_hash(tmp_path, work):
    path = tmp_path / "big.html"
    path.write_bytes(b"<p>line</p>\r\n" * (4 << 20))
    script = f"""
        path, big, hasher = sys.argv[1], bytes(64 << 20), vela_sha.TemplateHasher()
        def work():
            {work}
        for _ in range(2):
            threading.Thread(target=work, daemon=True).start()
        time.sleep(0.4)
    """
    for _ in range(3):
        run(script, path)


# The caller's code forks in the middle of a hash that may run on a helper thread: both processes
# finish it, with the digest that the same manifest gives without the fork.
FORKING = """
    nodes, edges, at = map(int, sys.argv[1:4])
    sources = [{"kind": "url", "value": f"n{i}"} for i in range(nodes)]
    manifest = {"schema": "v1", "nodes": [{"source": source, "sha256": "ab" * 32} for source in sources],
                "edges": [{"parent": sources[i % nodes], "child": sources[i * 7 % nodes], "occurrence": 5}
                          for i in range(edges)]}
    expected = vela_sha.calculate_composition_hash(manifest)["sha256"]
    read, write = os.pipe()

    class Forking:
        def __index__(self):
            self.child = os.fork() == 0
            return 5

    manifest["edges"][at]["occurrence"] = forking = Forking()
    digest = vela_sha.calculate_composition_hash(manifest)["sha256"]
    if forking.child:
        os.write(write, digest.encode())
        os._exit(0)
    os.close(write)
    os.wait()
    print(digest, os.read(read, 100).decode(), expected)
"""


@pytest.mark.parametrize("nodes, edges, at", [(4000, 4000, 3000), (100, 200_000, 100)])
def test_a_fork_in_the_callers_code_gives_the_child_the_digest(nodes, edges, at):
    parent, child, expected = run(FORKING, nodes, edges, at, VELA_SHA_HELPER_THREADS="on").split()
    assert parent == child == expected


def test_an_iterator_inherited_through_fork_says_so(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    out = run("""
        import warnings  # from 3.12 on: the fork beside the batch's thread is the point here
        warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
        files = vela_sha.iter_hash_files([sys.argv[1]])
        if os.fork() == 0:
            try:
                next(files)
            except RuntimeError as error:
                print("child:", error)
            os._exit(0)
        os.wait()
        files.close()
    """, fifo, timeout=20)
    assert out.startswith("child: the files of this batch are hashed by threads of the process it was started in")
