"""calculate_hash: every rejection with its exact code and text, the digest, and hostile objects. Which bytes
are invalid UTF-8, and where, is test_vectors' and test_stream's."""

import hashlib
import types

import pytest

from conftest import raises_vela
from vela_sha._native import calculate_hash

INVALID_INPUT = "VELA_SHA_INVALID_INPUT"
REQUIRES = "hash input requires utf8_file_bytes"
BAD_UTF8 = "text-file bytes are not valid UTF-8; encode the source as UTF-8 before hashing"


def digest(data: bytes) -> str:
    return calculate_hash({"utf8_file_bytes": data})["sha256"]


def normalised(data: bytes) -> str:
    return hashlib.sha256(data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")).hexdigest()


@pytest.mark.parametrize("value, message", [
    *[(value, "hash input must be a mapping")
      for value in ([], "text", None, types.MappingProxyType({"utf8_file_bytes": b""}), 1)],
    *[(value, REQUIRES) for value in ({}, {"other": b"x"}, {b"utf8_file_bytes": b"x"})],
    *[({"utf8_file_bytes": value}, "utf8_file_bytes must be bytes; encode text as UTF-8 explicitly")
      for value in (None, "text", bytearray(b"x"), memoryview(b"x"), 0)],
])
def test_refused_input(value, message):
    with raises_vela(INVALID_INPUT, message):
        calculate_hash(value)


# CR LF and a lone CR are line ends, NEL and U+2028 are not; a BOM is text.
@pytest.mark.smoke
@pytest.mark.parametrize("data", [b"a\r\nb", b"a\rb", b"a\r\r\nb", b"a\n\rb", b"a\r", b"\xef\xbb\xbfx\r\n",
                                  b"a\xc2\x85b\xe2\x80\xa8c", "Ж\r\n中\r".encode() * 5000])
def test_digest_is_sha256_of_normalised_text(data):
    result = calculate_hash({"utf8_file_bytes": data})
    assert list(result.items()) == [("kind", "template"), ("sha256", normalised(data))]
    again = calculate_hash(input={"utf8_file_bytes": data})
    assert again == result and again is not result


def test_subclasses_are_read_by_their_storage_and_a_key_eq_exception_passes_through():
    def lie(*_):
        return b"lie"

    lying_bytes = type("LyingBytes", (bytes,), {"__bytes__": lie, "__len__": lambda _: 0,
                                                "__buffer__": lambda *_: memoryview(b"lie"), "decode": lie})
    lying_dict = type("LyingDict", (dict,), {"__getitem__": lie, "get": lie, "__missing__": lie})
    assert digest(lying_bytes(b"truth\r\n")) == normalised(b"truth\n")
    assert calculate_hash(lying_dict(utf8_file_bytes=b"truth"))["sha256"] == normalised(b"truth")
    with raises_vela(INVALID_INPUT, REQUIRES):
        calculate_hash(lying_dict())

    def raising(self, other):
        raise ZeroDivisionError("from __eq__")

    key = type("Key", (str,), {"__hash__": lambda _: hash("utf8_file_bytes"), "__eq__": raising})
    with pytest.raises(ZeroDivisionError, match="from __eq__"):
        calculate_hash({key("k"): b"x"})


@pytest.mark.parametrize("size", [(4 << 20) + 1, (5 << 20) + 3, (17 << 20) + 7])
def test_large_templates_past_the_kept_scratch(size):
    # Past 4 MiB the copy is a mapping of the call's own, made and hashed a
    # block at a time: CR LF and multi-byte text straddle every block edge.
    unit = "Ж\r\n中\r".encode()
    data = (unit * (size // len(unit) + 1))[:size]
    data = data[: len(data.decode("utf-8", "ignore").encode())]
    assert digest(data) == normalised(data)
    # Invalid at the end, and in the first block while the rest is still being copied.
    for bad in (data + b"\xe2\x82", b"\xff" + data):
        with raises_vela("VELA_SHA_INVALID_UTF8", BAD_UTF8):
            calculate_hash({"utf8_file_bytes": bad})
