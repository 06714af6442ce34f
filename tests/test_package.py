"""The package around the extension: its API, version, picklable errors and stubs.
That _ext raises _native's one error class is checked wherever its errors are."""

import concurrent.futures
import copy
import importlib.metadata
import multiprocessing
import pickle

import pytest

import vela_sha
from vela_sha import _ext, _native


def test_reexports_are_the_extension_objects():
    assert vela_sha.__all__ == _native.__all__ + _ext.__all__
    for module in (_native, _ext):
        for name in module.__all__:
            assert getattr(vela_sha, name) is getattr(module, name)
    assert vela_sha.__version__ == importlib.metadata.version("vela-sha")


def _raised_error():
    try:
        vela_sha.calculate_hash({"utf8_file_bytes": b"\xff"})
    except vela_sha.VelaShaError as error:
        return error
    raise AssertionError("no error")


def _same(a, b):
    return type(a) is type(b) and (a.code, a.message, a.args) == (b.code, b.message, b.args)


@pytest.mark.parametrize("make", [_raised_error, lambda: vela_sha.VelaShaError("C", ""),
                                  lambda: vela_sha.VelaShaError("ü", "ñ")])
def test_pickle_and_copy_round_trips(make):
    error = make()
    error.add_note("a note")
    error.filename = b"any attribute"
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(error, protocol))
        assert _same(restored, error) and vars(restored) == vars(error)
    copied = copy.deepcopy(error)
    assert _same(copy.copy(error), error) and _same(copied, error) and vars(copied) == vars(error)


def _fail_in_worker(data: bytes):
    return vela_sha.calculate_hash({"utf8_file_bytes": data})


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_error_crosses_process_boundary(method):
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        assert pool.submit(_fail_in_worker, b"ok").result()["kind"] == "template"
        with pytest.raises(vela_sha.VelaShaError) as info:
            pool.submit(_fail_in_worker, b"\xc0\xaf").result()
    assert _same(info.value, _raised_error())


def test_stubs_refuse_a_single_path_where_a_collection_goes(tmp_path):
    # The calls raise TypeError; a checker that reads PEP 702 says so first.
    mypy = pytest.importorskip("mypy.api")
    (tmp_path / "use.py").write_text(
        "import vela_sha\n"
        "with vela_sha.iter_hash_files(['a.html']) as pairs:\n"
        "    names = [path for path, outcome in pairs]\n"
        "vela_sha.hash_files('one.html')\n")
    out, _, status = mypy.run(["--strict", "--enable-error-code", "deprecated", "--no-incremental",
                               str(tmp_path / "use.py")])
    assert status == 1 and out.count("error:") == 1 and "use.py:4: error:" in out and "not a single path" in out
