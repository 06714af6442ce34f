"""TemplateHasher and hash_file: the same digests and errors as calculate_hash."""

import array
import hashlib
import io
import mmap
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

from conftest import raises_vela
from vela_sha import TemplateHasher, VelaShaError, calculate_hash, hash_file

BAD_UTF8 = "text-file bytes are not valid UTF-8; encode the source as UTF-8 before hashing"


def one_shot(data: bytes):
    """calculate_hash's digest, or (offset, line) as Python's decoder places the error."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        head = data[: error.start]
        line = 1 + head.count(b"\n") + head.count(b"\r") - head.count(b"\r\n")
        return error.start, line
    return calculate_hash({"utf8_file_bytes": data})["sha256"]


def streamed(pieces):
    """The digest, or (offset, line) of the error: invalid bytes found by an
    update, or (found by hexdigest) a text that ends inside a character."""
    hasher = TemplateHasher()
    note = "first invalid byte at offset {0.offset}, line {0.line}"
    try:
        for piece in pieces:
            hasher.update(piece)
        note = "input ends inside a multi-byte character that starts at offset {0.offset}"
        return hasher.hexdigest()
    except VelaShaError as error:
        assert (error.code, error.message, error.filename) == ("VELA_SHA_INVALID_UTF8", BAD_UTF8, None)
        assert error.__notes__ == [note.format(error)]
        return error.offset, error.line


pieces = st.sampled_from([b"a", b"\r", b"\n", b"\r\n", "Ж".encode(), "中".encode(), "😀".encode(), b"\xff",
                          b"\xe2\x82", b"\xed\xa0"])


@settings(max_examples=300, deadline=None)
@given(st.lists(pieces, max_size=2000), st.lists(st.integers(0, 10_000), max_size=12))
def test_random_splits_match_one_shot_and_the_decoder(parts, cuts):
    data = b"".join(parts)
    cuts = sorted({min(c, len(data)) for c in cuts})
    split = [data[i:j] for i, j in zip([0] + cuts, cuts + [len(data)])]
    assert streamed(split) == one_shot(data)


def test_digest_midway_then_going_on():
    hasher = TemplateHasher(b"a\r")
    assert hasher.hexdigest() == hashlib.sha256(b"a\n").hexdigest()  # the CR ends a line now
    hasher.update(b"\nb\xe2\x82")
    with raises_vela("VELA_SHA_INVALID_UTF8", BAD_UTF8) as raised:
        hasher.digest()  # cut off inside a sequence: not valid so far, not failed either
    hasher.update(b"\xac")
    assert hasher.result() == calculate_hash({"utf8_file_bytes": "a\nb€".encode()})
    copy = hasher.copy()
    copy.update(b"!")
    assert hasher.digest() == hashlib.sha256("a\nb€".encode()).digest()
    assert copy.hexdigest() == hashlib.sha256("a\nb€!".encode()).hexdigest()
    assert (hasher.name, hasher.digest_size, hasher.block_size) == ("template-sha256", 32, 64)


def test_failure_is_for_good():
    hasher = TemplateHasher(b"line\r\nnext")
    for call in (lambda: hasher.update(b"\xc0\xaf"),lambda: hasher.update(b"fine"), hasher.digest, hasher.hexdigest, hasher.result,
                 lambda: hasher.copy().digest()):
        with pytest.raises(VelaShaError) as info:
            call()
        assert (info.value.offset, info.value.line) == (10, 2)


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda b: array.array("B", b),
                                  lambda b: memoryview(b"xx" + b + b"yy")[2:-2]])
def test_every_buffer_type(make):
    data = "línea\r\nzwei\r".encode() * 500
    original = make(data)
    snapshot = bytes(original)
    assert TemplateHasher(original).result() == calculate_hash({"utf8_file_bytes": data})
    assert bytes(original) == snapshot  # normalised in a copy, not in the caller's buffer


def test_mmap_and_refused_buffers(tmp_path):
    (tmp_path / "m").write_bytes(b"a\r\nb" * 1000)
    with open(tmp_path / "m", "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        assert TemplateHasher(mapped).hexdigest() == hashlib.sha256(b"a\nb" * 1000).hexdigest()
    with pytest.raises(TypeError, match="encoded"):
        TemplateHasher("text")
    with pytest.raises(BufferError):
        TemplateHasher().update(memoryview(b"abcd")[::2])
    with pytest.raises(TypeError):
        TemplateHasher(data=b"")


def test_threads_sharing_one_hasher_and_many_hashers():
    chunk = "Ж\r\nline\r".encode() * 1000 + b"tail\n"  # large enough to hash without the lock
    shared, rounds = TemplateHasher(), 50
    prefixes = {hashlib.sha256(chunk.replace(b"\r\n", b"\n").replace(b"\r", b"\n") * k).hexdigest()
                for k in range(8 * rounds + 1)}
    seen, private = [], []

    def work():
        own = TemplateHasher()
        for _ in range(rounds):
            shared.update(chunk)
            own.update(chunk)
            seen.append(shared.copy().hexdigest())
        private.append(own.hexdigest())

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert shared.hexdigest() == streamed([chunk] * 8 * rounds)
    assert set(seen) <= prefixes and len(set(private)) == 1


DATA = "héllo\r\nwörld\r".encode() * 3000


def test_paths_and_file_objects(tmp_path):
    path = tmp_path / "t.txt"
    path.write_bytes(DATA)
    expected = calculate_hash({"utf8_file_bytes": DATA})
    for target in (path, str(path), os.fsencode(path)):
        assert hash_file(target) == expected
    (tmp_path / "empty").write_bytes(b"")
    assert hash_file(tmp_path / "empty") == calculate_hash({"utf8_file_bytes": b""})
    with open(path, "rb") as file:
        file.seek(7)
        assert hash_file(file) == calculate_hash({"utf8_file_bytes": DATA[7:]})
        assert not file.closed
    with open(path, "rb", buffering=0) as raw:
        assert hash_file(raw) == expected

    class ReadOnly:  # no readinto: read() is used, whatever bytes-like it returns
        def __init__(self, data, kind):
            self.stream, self.kind = io.BytesIO(data), kind

        def read(self, size):
            return self.kind(self.stream.read(size // 3 + 1))

    for kind in (bytes, bytearray, memoryview):
        assert hash_file(ReadOnly(DATA, kind)) == expected


class ReadsInto:
    def __init__(self, answer):
        self.answer = answer

    def readinto(self, buffer):
        return self.answer


class Shrinking:
    """A readinto that takes the buffer through the view and shrinks it."""

    calls = 0

    def readinto(self, view):
        Shrinking.calls += 1
        if Shrinking.calls > 1:
            return 0
        buffer = view.obj
        view.release()
        del buffer[16:]
        return 256 * 1024


def test_a_readinto_that_shrinks_its_buffer_reads_nothing_beyond_it():
    with pytest.raises(ValueError, match="more than the buffer"):
        hash_file(Shrinking())


def test_a_small_thread_stack_is_enough():
    # The smallest stack a thread may have: 32 KiB, or more where the
    # interpreter needs more for itself (53,248 bytes from 3.14 on).
    size = 32768
    while True:
        try:
            threading.stack_size(size)
            break
        except ValueError:
            size += 4096
    try:
        results = []
        thread = threading.Thread(target=lambda: results.append(TemplateHasher(b"a\r\nb" * 20000).hexdigest()))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(0)
    assert results == [streamed([b"a\r\nb" * 20000])]


def test_ctrl_c_while_a_fifo_waits_for_its_writer(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    script = f"import vela_sha; print('waiting', flush=True); vela_sha.hash_file({str(fifo)!r})"
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stdout.readline() == b"waiting\n"
    time.sleep(0.2)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=10)
    assert b"KeyboardInterrupt" in err


@pytest.mark.parametrize("target, error", [
    ("missing", FileNotFoundError), (".", IsADirectoryError), (io.StringIO("x"), TypeError),
    (ReadsInto(None), BlockingIOError), (ReadsInto(1 << 30), ValueError), (ReadsInto(-1), ValueError),
    (object(), TypeError), ("bad\0name", ValueError),
])
def test_refused_files(tmp_path, monkeypatch, target, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as info:
        hash_file(target)
    if isinstance(target, str) and error is not ValueError:
        assert info.value.filename == target and info.value.errno
    with open(tmp_path / "text.txt", "w+") as text_file, pytest.raises(TypeError, match="'rb'"):
        hash_file(text_file)


def _error_of(call):
    with pytest.raises(VelaShaError) as info:
        call()
    return info.value.filename, info.value.__notes__ if hasattr(info.value, "__notes__") else None


def test_errors_name_their_file_as_given(tmp_path):
    (tmp_path / "bad.html").write_bytes(b"ok\n\xff")
    (tmp_path / "cut.html").write_bytes(b"ok\n\xe2\x82")
    bad, cut = os.fspath(tmp_path / "bad.html"), os.fspath(tmp_path / "cut.html")
    invalid = "first invalid byte at offset 3, line 2"
    ends = "input ends inside a multi-byte character that starts at offset 3"
    with open(bad, "rb") as named:
        cases = [
            (lambda: hash_file(tmp_path / "bad.html"), (bad, [f"{invalid} of {bad}"])),
            (lambda: hash_file(os.fsencode(bad)), (os.fsencode(bad), [f"{invalid} of {bad}"])),
            (lambda: hash_file(named), (bad, [f"{invalid} of {bad}"])),
            (lambda: hash_file(io.BytesIO(b"ok\n\xff")), (None, [invalid])),
            (lambda: hash_file(cut), (cut, [f"{ends} of {cut}"])),
            (lambda: TemplateHasher(b"ok\n\xe2\x82").digest(), (None, [ends])),
            (lambda: TemplateHasher(b"ok\n\xff").digest(), (None, [invalid])),
            (lambda: calculate_hash({"utf8_file_bytes": b"\xff"}), (None, None)),
        ]
        for call, expected in cases:
            assert _error_of(call) == expected


def test_pipes_and_standard_input(tmp_path):
    read_end, write_end = os.pipe()
    writer = threading.Thread(target=lambda: (os.write(write_end, DATA), os.close(write_end)))
    writer.start()
    assert hash_file(f"/dev/fd/{read_end}") == calculate_hash({"utf8_file_bytes": DATA})
    writer.join()
    os.close(read_end)
    script = "import sys, vela_sha; print(vela_sha.hash_file(sys.stdin.buffer)['sha256'])"
    run = subprocess.run([sys.executable, "-c", script], input=DATA, capture_output=True, check=True)
    assert run.stdout.decode().strip() == one_shot(DATA)


def test_file_changing_while_read(tmp_path):
    path = tmp_path / "moving"
    path.write_bytes(b"line\n" * (8 << 20))
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            with open(path, "r+b") as file:
                file.truncate(1 << 20)
                file.seek(0, os.SEEK_END)
                file.write(b"more\r\n" * 100_000)

    thread = threading.Thread(target=churn)
    thread.start()
    try:
        for _ in range(20):
            assert hash_file(path)["kind"] == "template"  # whatever was read; never a crash
    finally:
        stop.set()
        thread.join()


@pytest.mark.parametrize("kernels", ["portable", "avx2"])
def test_the_same_with_narrower_vector_kernels(kernels):
    # This module and calculate_hash's again, with the wider kernels held back
    # (as on a CPU without them): every kernel set gives the same digests and errors.
    env = {**os.environ, "VELA_SHA_KERNELS": kernels}
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m", "not huge",
                          "-k", "not narrower_vector_kernels", "test_template.py", __file__],
                         env=env, capture_output=True, text=True, cwd=os.path.dirname(__file__))
    assert run.returncode == 0, run.stdout[-4000:]


@pytest.mark.huge
def test_sparse_file_past_four_gib(tmp_path):
    path = tmp_path / "sparse"
    size = (4 << 30) + 5
    with open(path, "wb") as file:
        file.truncate(size - 5)
        file.seek(size - 5)
        file.write("中\r\n".encode())
    expected = hashlib.sha256()
    zeros = bytes(1 << 24)
    for _ in range((size - 5) // len(zeros)):
        expected.update(zeros)
    expected.update("中\n".encode())
    assert hash_file(path)["sha256"] == expected.hexdigest()
