import contextlib
import sys
from pathlib import Path

import pytest

from vela_sha._native import VelaShaError

# The pure-Python reference implementation lives with the benchmarks.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))


# The fast group is everything but these three: -m "not huge and not soak and not cluster".
def pytest_configure(config):
    config.addinivalue_line(
        "markers", "huge: inputs of several GiB, about a minute and 12 GiB of memory (skip with -m 'not huge')")
    config.addinivalue_line("markers", "soak: the million-call leak soak")
    config.addinivalue_line("markers", "cluster: runs a distributed.LocalCluster with worker processes (needs dask[distributed])")
    # What a wheel for another architecture runs under emulation (scripts/check-wheel: -m smoke,
    # with pytest alone): modules holding smoke tests import nothing else from outside.
    config.addinivalue_line("markers", "smoke: a quick cross-section: vectors, README examples, hash_files, the command line")


@contextlib.contextmanager
def raises_vela(code: str, message: str):
    """Asserts a VelaShaError with exactly this code and message."""
    with pytest.raises(VelaShaError) as info:
        yield
    error = info.value
    assert (error.code, error.message, error.args, str(error)) == (code, message, (code, message), message)
