"""The public UTF-8 decoder cases (vectors/, see SOURCES.md), in one call and byte by byte.

The NIST SHA-256 vectors are messages of arbitrary bytes, which no template
digest can take as they are: the core's tests (core/tests) check them."""

import hashlib
from pathlib import Path

import pytest

from vela_sha import TemplateHasher, VelaShaError, calculate_hash

VECTORS = Path(__file__).resolve().parent / "vectors"


def decoder_cases():
    """utf8tests.txt ("num:valid:ASCII", "num:valid hex:HEX", "num:invalid hex:HEX:...")
    and every line of Kuhn's stress test, which Python's decoder judges."""
    cases = []
    for line in (VECTORS / "utf8tests.txt").read_text("ascii").splitlines():
        if line.strip() and not line.startswith("#"):
            number, kind, rest = line.split(":", 2)
            kind = kind.strip()
            data = rest.encode() if kind == "valid" else bytes.fromhex(rest.split(":")[0])
            cases.append((f"utf8tests {number.strip()}", data, kind != "invalid hex"))
    assert len(cases) == 222
    for number, line in enumerate((VECTORS / "UTF-8-test.txt").read_bytes().split(b"\n"), 1):
        cases.append((f"UTF-8-test line {number}", line, None))
    return cases


def where(data: bytes):
    """(offset, line) of the first invalid sequence as Python's decoder places it, or None."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        head = data[: error.start]
        return error.start, 1 + head.count(b"\n") + head.count(b"\r") - head.count(b"\r\n")
    return None


@pytest.mark.smoke
def test_decoder_cases_one_shot_and_byte_by_byte():
    for name, data, valid in decoder_cases():
        bad = where(data)
        assert valid is None or valid == (bad is None), name
        hasher = TemplateHasher()
        try:
            for byte in data:
                hasher.update(bytes([byte]))
            streamed = hasher.hexdigest()
        except VelaShaError as error:
            streamed = error.offset, error.line
        if bad is None:
            expected = hashlib.sha256(data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")).hexdigest()
            assert calculate_hash({"utf8_file_bytes": data})["sha256"] == streamed == expected, name
        else:
            with pytest.raises(VelaShaError, match="not valid UTF-8"):
                calculate_hash({"utf8_file_bytes": data})
            assert streamed == bad, name

