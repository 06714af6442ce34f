import pytest

from vela_sha import _native


# The fast group is everything but these three: -m "not huge and not soak and not cluster".
def pytest_configure(config):
    config.addinivalue_line(
        "markers", "huge: inputs of several GiB, about a minute and 12 GiB of memory (skip with -m 'not huge')")
    config.addinivalue_line("markers", "soak: the million-call leak soak")
    config.addinivalue_line("markers", "cluster: runs a distributed.LocalCluster with worker processes (needs dask[distributed])")
    # What a wheel for another architecture runs under emulation (scripts/check-wheel: -m smoke,
    # with pytest alone): modules holding smoke tests import nothing else from outside.
    config.addinivalue_line("markers", "smoke: a quick cross-section: vectors, README examples, hash_files, the command line")


@pytest.fixture
def native():
    return _native


def raises_vela(code: str, message: str):
    """Context manager asserting a VelaShaError with exactly this code and message."""
    return _Raises(code, message)


class _Raises:
    def __init__(self, code: str, message: str) -> None:
        self.code, self.message = code, message

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        assert kind is _native.VelaShaError, f"expected VelaShaError, got {kind!r}: {value!r}"
        assert (value.code, value.message) == (self.code, self.message)
        assert value.args == (self.code, self.message)
        assert str(value) == self.message
        return True


import sys as _sys
from pathlib import Path as _Path

# The pure-Python reference implementation lives with the benchmarks.
_sys.path.insert(0, str(_Path(__file__).resolve().parent.parent / "bench"))
