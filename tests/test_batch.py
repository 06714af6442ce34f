"""iter_hash_files and hash_files: many files on threads, in input order."""

import concurrent.futures
import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from vela_sha import VelaShaError, calculate_hash, hash_files, iter_hash_files


@pytest.fixture
def corpus(tmp_path):
    """Paths of every kind, failures in the middle, and what each gives alone."""
    paths, expected = [], []
    for i in range(30):
        bad = i % 11 == 7
        data = ("línea\r\n" * (i * 997)).encode() + (b"\xe2\x82" if i == 29 else b"\xc0\xaf") * bad
        path = tmp_path / f"t{i}.txt"
        path.write_bytes(data)
        paths.append(path if i % 3 == 0 else str(path) if i % 3 == 1 else os.fsencode(path))
        expected.append(VelaShaError if bad else calculate_hash({"utf8_file_bytes": data}))
    paths[12:12] = [tmp_path / "missing", tmp_path, paths[0]]
    expected[12:12] = [FileNotFoundError, IsADirectoryError, expected[0]]
    return paths, expected


def same(outcome, expected, path):
    if isinstance(expected, dict):
        return outcome == expected
    if type(outcome) is not expected or outcome.filename != os.fspath(path):  # a failure names its file, as given
        return False
    if expected is not VelaShaError:
        return bool(outcome.errno)
    note = (f"input ends inside a multi-byte character that starts at offset {outcome.offset}"
            if Path(os.fsdecode(path)).read_bytes().endswith(b"\xe2\x82")
            else f"first invalid byte at offset {outcome.offset}, line {outcome.line}")
    note += f" of {os.fsdecode(path)}"
    return outcome.code == "VELA_SHA_INVALID_UTF8" and outcome.__notes__ == [note]


@pytest.mark.smoke
@pytest.mark.parametrize("jobs", [None, 1, 2, 7, 1000])
def test_input_order_and_outcomes_under_any_jobs(corpus, jobs):
    paths, expected = corpus
    pairs = list(iter_hash_files(iter(paths), jobs=jobs))
    assert [path for path, _ in pairs] == paths  # the very objects given
    assert all(same(outcome, e, p) for (p, outcome), e in zip(pairs, expected))
    listed = hash_files(paths, jobs=jobs, return_exceptions=True)
    assert all(same(outcome, e, p) for p, outcome, e in zip(paths, listed, expected))
    # Otherwise the first failure in input order is raised, after the batch.
    with pytest.raises(VelaShaError) as info:
        hash_files(paths, jobs=jobs)
    assert info.value.offset == len(("línea\r\n" * (7 * 997)).encode())  # t7, before the missing file
    with pytest.raises(FileNotFoundError):
        hash_files(paths[12:], jobs=jobs)
    assert hash_files([], jobs=jobs) == [] and list(iter_hash_files((), jobs=jobs)) == []


@pytest.mark.parametrize("call", [iter_hash_files, hash_files])
@pytest.mark.parametrize("files, jobs, error, text", [
    (["a", b"b", 3], None, TypeError, "item 2 is not a path"), (5, None, TypeError, "not iterable"),
    (["a"], 0, ValueError, "at least 1"), (["a"], -(10**30), ValueError, "at least 1"),
    (["a"], 1.0, TypeError, "positive int"), (["a"], True, TypeError, "positive int"),
    (["a\0b"], None, ValueError, "null"), ("one.html", None, TypeError, r"not a single path: pass a list, \[path\]"),
    (b"one.html", None, TypeError, "not a single path"), (Path("one.html"), None, TypeError, "not a single path"),
])
def test_refused_arguments_before_any_file_is_opened(call, files, jobs, error, text):
    with pytest.raises(error, match=text):
        call(files, jobs=jobs)


def _threads() -> int:
    return len(os.listdir("/proc/self/task"))


def _settles_at(count: int) -> bool:
    """Whether the process is back to `count` threads within a second (a joined Python thread may take a moment)."""
    deadline = time.monotonic() + 1.0
    while _threads() != count and time.monotonic() < deadline:
        time.sleep(0.01)
    return _threads() == count


def test_closing_joins_the_threads_from_any_thread(tmp_path):
    (tmp_path / "big").write_bytes(b"x" * (64 << 20))
    big, before = [tmp_path / "big"] * 50, _threads()
    pairs = iter_hash_files(big, jobs=4)
    assert next(pairs)[1]["kind"] == "template" and _threads() > before
    pairs.close()
    assert _threads() == before and list(pairs) == []
    iter_hash_files(big, jobs=4)  # dropped at once: joined too
    assert _threads() == before
    with iter_hash_files(big, jobs=4) as pairs:  # and so does leaving the block
        assert next(pairs)[1]["kind"] == "template"
    assert _threads() == before and list(pairs) == []
    # Two threads closing at once: one ends the batch, the other finds it ended.
    pairs, start = iter_hash_files(big, jobs=2), threading.Barrier(2)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda _: (start.wait(), pairs.close()), range(2), timeout=30))
    assert _settles_at(before)
    # A close while another thread waits in __next__ ends that wait.
    pairs, got = iter_hash_files(big, jobs=1), []
    waiter = threading.Thread(target=lambda: got.extend(pairs))
    waiter.start()
    time.sleep(0.05)
    pairs.close()
    waiter.join(timeout=30)
    assert not waiter.is_alive() and len(got) < len(big) and _settles_at(before) and list(pairs) == []


# A LocalCluster of two worker processes, from a client that imports vela_sha and distributed in the
# order given: each remote outcome as a record, then the errors raised by a submitted task and by a bag.
CLUSTER_CLIENT = """
import json, sys
for name in sys.argv[1].split():
    __import__(name)
import dask.bag, distributed, vela_sha
from test_batch import record
paths, bad = json.loads(sys.argv[2]), sys.argv[3]
with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \\
        distributed.Client(cluster) as client:
    bag = dask.bag.from_sequence(paths, npartitions=4)
    outcomes = bag.map_partitions(lambda part: vela_sha.hash_files(part, return_exceptions=True)).compute()
    raised = []
    for job in (lambda: client.submit(vela_sha.hash_file, bad).result(),
                lambda: dask.bag.from_sequence([bad, bad]).map_partitions(vela_sha.hash_files).compute()):
        try:
            job()
        except vela_sha.VelaShaError as error:
            raised.append(record(error))
print(json.dumps([[record(outcome) for outcome in outcomes], raised]))
"""


def record(outcome):
    """A result, or an exception's type, arguments and every attribute."""
    if not isinstance(outcome, BaseException):
        return outcome
    return [type(outcome).__name__, list(outcome.args), getattr(outcome, "filename", None), vars(outcome)]


@pytest.mark.cluster
@pytest.mark.parametrize("order", ["vela_sha distributed", "distributed vela_sha"])
def test_dask_cluster_gives_the_local_results_and_errors(corpus, tmp_path, order):
    pytest.importorskip("distributed")
    paths = [os.fsdecode(p) for p in corpus[0]]
    bad = next(p for p, e in zip(paths, corpus[1]) if e is VelaShaError)
    client = subprocess.run([sys.executable, "-c", CLUSTER_CLIENT, order, json.dumps(paths), bad],
                            capture_output=True, text=True, cwd=Path(__file__).parent, timeout=300)
    assert client.returncode == 0, client.stderr
    outcomes, raised = json.loads(client.stdout)
    assert outcomes == [record(o) for o in hash_files(paths, return_exceptions=True)]
    local = record(hash_files([bad], return_exceptions=True)[0])
    assert raised == [local] * 2 and local[3]["offset"] > 0
