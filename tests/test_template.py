"""calculate_hash: every rejection with its exact code and text, and the digest."""

import hashlib
import sys
import types

import pytest

from conftest import raises_vela
from vela_sha._native import VelaShaError, calculate_hash

INVALID_INPUT = "VELA_SHA_INVALID_INPUT"
NOT_MAPPING = "hash input must be a mapping"
REQUIRES = "hash input requires utf8_file_bytes"
NOT_BYTES = "utf8_file_bytes must be bytes; encode text as UTF-8 explicitly"
BAD_UTF8 = "text-file bytes are not valid UTF-8; encode the source as UTF-8 before hashing"


def digest(data: bytes) -> str:
    return calculate_hash({"utf8_file_bytes": data})["sha256"]


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize(
    "value", [[], "text", None, types.MappingProxyType({"utf8_file_bytes": b""}), 1]
)
def test_input_must_be_a_dict(value):
    with raises_vela(INVALID_INPUT, NOT_MAPPING):
        calculate_hash(value)


@pytest.mark.parametrize("value", [{}, {"other": b"x"}, {b"utf8_file_bytes": b"x"}])
def test_entry_is_required(value):
    with raises_vela(INVALID_INPUT, REQUIRES):
        calculate_hash(value)


@pytest.mark.parametrize("value", [None, "text", bytearray(b"x"), memoryview(b"x"), 0])
def test_value_must_be_bytes(value):
    with raises_vela(INVALID_INPUT, NOT_BYTES):
        calculate_hash({"utf8_file_bytes": value})


@pytest.mark.parametrize("data", [b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"ok\r\n\xf4\x90\x80\x80"])
def test_invalid_utf8(data):
    with raises_vela("VELA_SHA_INVALID_UTF8", BAD_UTF8):
        calculate_hash({"utf8_file_bytes": data})


def test_result_shape():
    first = calculate_hash({"utf8_file_bytes": b""})
    assert list(first.items()) == [("kind", "template"), ("sha256", sha(b""))]
    second = calculate_hash(input={"utf8_file_bytes": b""})
    assert second == first and second is not first


@pytest.mark.smoke
@pytest.mark.parametrize(
    "data, same_as",
    [
        (b"a\r\nb", b"a\nb"),
        (b"a\rb", b"a\nb"),
        (b"a\r\r\nb", b"a\n\nb"),
        (b"a\n\rb", b"a\n\nb"),
        (b"a\r", b"a\n"),
        (b"\xef\xbb\xbfx\r\n", b"\xef\xbb\xbfx\n"),
        (b"a\xc2\x85b\xe2\x80\xa8c", b"a\xc2\x85b\xe2\x80\xa8c"),
        ("Ж\r\n中\r".encode() * 5000, "Ж\n中\n".encode() * 5000),
    ],
)
def test_digest_is_sha256_of_normalised_text(data, same_as):
    assert digest(data) == sha(same_as)


def test_subclasses_read_by_their_storage():
    class LyingBytes(bytes):
        def __bytes__(self):
            return b"lie"

        def __len__(self):
            return 0

    class LyingDict(dict):
        def __getitem__(self, key):
            return b"lie"

        def get(self, key, default=None):
            return b"lie"

        def __missing__(self, key):
            return b"lie"

    assert digest(LyingBytes(b"truth")) == sha(b"truth")
    assert calculate_hash(LyingDict(utf8_file_bytes=b"truth"))["sha256"] == sha(b"truth")
    with raises_vela(INVALID_INPUT, REQUIRES):
        calculate_hash(LyingDict())


def test_key_eq_exception_passes_through():
    class Key(str):
        def __hash__(self):
            return hash("utf8_file_bytes")

        def __eq__(self, other):
            raise ZeroDivisionError("from __eq__")

    with pytest.raises(ZeroDivisionError, match="from __eq__"):
        calculate_hash({Key("k"): b"x"})


def test_inputs_unchanged_and_no_references_kept():
    data = b"a\r\nb" * 100
    mapping = {"utf8_file_bytes": data, "other": 1}
    snapshot = dict(mapping)
    before = (sys.getrefcount(data), sys.getrefcount(mapping))
    for _ in range(1000):
        calculate_hash(mapping)
        with pytest.raises(VelaShaError):
            calculate_hash({"utf8_file_bytes": data + b"\xff"})
    assert mapping == snapshot and data == b"a\r\nb" * 100
    assert (sys.getrefcount(data), sys.getrefcount(mapping)) == before


@pytest.mark.parametrize("size", [(4 << 20) + 1, (5 << 20) + 3, (17 << 20) + 7])
def test_large_templates_past_the_kept_scratch(size):
    # Past 4 MiB the copy is a mapping of the call's own, made and hashed a
    # block at a time: CR LF and multi-byte text straddle every block edge.
    unit = "Ж\r\n中\r".encode()
    data = (unit * (size // len(unit) + 1))[:size]
    data = data[: len(data.decode("utf-8", "ignore").encode())]
    assert digest(data) == sha(data.replace(b"\r\n", b"\n").replace(b"\r", b"\n"))
    # Invalid at the end, and in the first block while the rest is still being copied.
    for bad in (data + b"\xe2\x82", b"\xff" + data):
        with raises_vela("VELA_SHA_INVALID_UTF8", BAD_UTF8):
            calculate_hash({"utf8_file_bytes": bad})
