"""The package as shipped: the _native module's contract (namespace, exception class, argument binding,
with their exact texts), the package's API, version, picklable errors and stubs, and the check that
wheels pass. _ext's errors are checked where they are; errors crossing processes in test_batch."""

import contextlib
import copy
import importlib.metadata
import importlib.util
import os
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vela_sha
from vela_sha import _ext, _native
from vela_sha._native import VelaShaError, calculate_composition_hash, calculate_hash

NAMES = ["VelaShaError", "calculate_hash", "calculate_composition_hash"]
FUNCTIONS = [calculate_hash, calculate_composition_hash]


def test_namespace_functions_and_exception_class():
    assert _native.__all__ == NAMES and _native.__doc__ == ""
    for function in FUNCTIONS:
        assert (function.__text_signature__, function.__doc__, function.__module__) == (
            "(input)", None, "vela_sha._native")
    # Of builtins, so that a traceback names the class bare.
    assert (VelaShaError.__module__, VelaShaError.__name__, VelaShaError.__qualname__) == (
        "builtins", "VelaShaError", "VelaShaError")
    assert (VelaShaError.__text_signature__, VelaShaError.__doc__, VelaShaError.__base__) == (
        "(code, message)", "", Exception)
    with pytest.raises(TypeError):
        type("Sub", (VelaShaError,), {})


def test_reimport_adds_the_same_type_and_its_own_all():
    first = sys.modules.pop("vela_sha._native")
    try:
        second = importlib.import_module("vela_sha._native")
        assert second is not first and second.VelaShaError is first.VelaShaError
        assert second.__all__ == first.__all__ and second.__all__ is not first.__all__
        assert second.calculate_hash is not first.calculate_hash
    finally:
        sys.modules["vela_sha._native"] = first
    # The extension's exec on a new module whose __all__ is preset: appended behind a list, anything else refused.
    spec = importlib.util.find_spec("vela_sha._native")
    for preset in (["kept"], ("kept",)):
        module = importlib.util.module_from_spec(spec)
        module.__all__ = preset
        with pytest.raises(TypeError) if isinstance(preset, tuple) else contextlib.nullcontext():
            spec.loader.exec_module(module)
        assert isinstance(preset, tuple) or module.__all__ == ["kept", *NAMES]


def test_exception_instances_and_their_type():
    error = VelaShaError("C", "M")
    assert (error.code, error.message, error.args, str(error), repr(error)) == (
        "C", "M", ("C", "M"), "M", "VelaShaError('C', 'M')")
    for attribute in ("code", "message"):
        for change in (lambda: setattr(error, attribute, "x"), lambda: delattr(error, attribute)):
            with pytest.raises(AttributeError):
                change()
    # str subclasses are read by content; text is kept exactly, NUL and all.
    assert str(VelaShaError("C", "")) == ""
    error = VelaShaError(type("Text", (str,), {})("c\0d"), "ünïcödé ✓")
    assert type(error.code) is str and (error.code, error.message) == ("c\0d", "ünïcödé ✓")
    # Each instance of a heap type holds a reference to it; dealloc must drop it.
    before = sys.getrefcount(VelaShaError)
    for _ in range(1000):
        VelaShaError("C", "M")
        with contextlib.suppress(VelaShaError):
            calculate_hash({"utf8_file_bytes": b"\xff"})
    assert sys.getrefcount(VelaShaError) == before


# The arguments, the error, its text (None: the interpreter's own) and its notes.
@pytest.mark.parametrize("args, kwargs, error, text, notes", [
    (("C",), {}, TypeError, "VelaShaError.__new__() missing 1 required positional argument: 'message'", None),
    ((), {}, TypeError, "VelaShaError.__new__() missing 2 required positional arguments: 'code' and 'message'", None),
    (("a", "b", "c"), {}, TypeError, "VelaShaError.__new__() takes 2 positional arguments but 3 were given", None),
    ((), {"code": "C", "message": "M"}, TypeError, None, None),  # in the inherited __init__
    ((1, "M"), {}, TypeError, "'int' object is not an instance of 'str'", ["while processing 'code'"]),
    ((None, "M"), {}, TypeError, "'None' is not an instance of 'str'", ["while processing 'code'"]),
    (("C", b"M"), {}, TypeError, "'bytes' object is not an instance of 'str'", ["while processing 'message'"]),
    (("C", "\udc80"), {}, UnicodeEncodeError, None, ["while processing 'message'"]),
])
def test_constructor_failures(args, kwargs, error, text, notes):
    with pytest.raises(error) as info:
        VelaShaError(*args, **kwargs)
    assert text is None or str(info.value) == text
    assert getattr(info.value, "__notes__", None) == notes


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("call, text", [
    (lambda f: f(), "{}() missing 1 required positional argument: 'input'"),
    (lambda f: f({}, {}), "{}() takes 1 positional arguments but 2 were given"),
    (lambda f: f(inputs={}), "{}() got an unexpected keyword argument 'inputs'"),
    (lambda f: f({}, input={}), "{}() got multiple values for argument 'input'"),
    (lambda f: f(**{"\udc80": 1}), "{}() got an unexpected keyword argument '\udc80'"),
])
def test_function_binding_texts(function, call, text):
    with pytest.raises(TypeError) as info:
        call(function)
    assert str(info.value) == text.format(function.__name__)


def test_reexports_are_the_extension_objects():
    assert vela_sha.__all__ == _native.__all__ + _ext.__all__
    for module in (_native, _ext):
        for name in module.__all__:
            assert getattr(vela_sha, name) is getattr(module, name)
    assert vela_sha.__version__ == importlib.metadata.version("vela-sha")


def _raised():
    try:
        calculate_hash({"utf8_file_bytes": b"\xff"})
    except VelaShaError as error:
        return error


@pytest.mark.parametrize("make", [_raised, lambda: VelaShaError("C", ""), lambda: VelaShaError("ü", "ñ")])
def test_pickle_and_copy_round_trips(make):
    error = make()
    error.add_note("a note")
    error.filename = b"any attribute"
    copies = [pickle.loads(pickle.dumps(error, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    for copied in [*copies, copy.copy(error), copy.deepcopy(error)]:
        assert type(copied) is VelaShaError and (copied.args, vars(copied)) == (error.args, vars(error))
        assert (copied.code, copied.message) == (error.code, error.message)


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


# A module that gets wrong what the check looks for: weak and GNU-unique symbols besides its init function,
# the machine's libcrypto, a glibc symbol newer than manylinux_2_28. (False alarms would fail every wheel.)
FAULTY = r"""
#include <typeinfo>
__attribute__((noinline)) inline int& counter() { static int n; return n; }
struct Thrown { virtual ~Thrown() = default; };
extern "C" char __libc_single_threaded;
extern "C" int SHA256_Init(void*);
extern "C" const void* PyInit__faulty() {
  ++counter();
  return __libc_single_threaded ? &typeid(Thrown) : reinterpret_cast<const void*>(&SHA256_Init);
}
"""
# The compiler and binutils run without the sanitizer runtime that scripts/sanitize preloads.
ENV = {key: value for key, value in os.environ.items() if key not in ("LD_PRELOAD", "PYTHONMALLOC")}


def check(*paths):
    script = Path(__file__).resolve().parent.parent / "scripts" / "check-extension"
    return subprocess.run([sys.executable, str(script), *map(str, paths)], capture_output=True, text=True, env=ENV)


def test_each_module_exports_only_its_init_function():
    modules = sorted(Path(vela_sha.__file__).parent.glob("_*.so"))
    assert {path.name.split(".")[0] for path in modules} >= {"_native", "_ext"}
    assert " exports " not in check(*modules).stdout


@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "g++")) is None, reason="no C++ compiler")
def test_the_check_names_every_fault(tmp_path):
    (tmp_path / "_faulty.cpp").write_text(FAULTY)
    subprocess.run([os.environ.get("CXX", "g++"), "-shared", "-fPIC", "-O1", "-o", "_faulty.so", "_faulty.cpp",
                    "-lcrypto"], cwd=tmp_path, check=True, env=ENV)
    faulty = check(tmp_path / "_faulty.so")
    assert (faulty.returncode, faulty.stdout.splitlines()[0]) == (1, "_faulty.so: 6 fault(s)")
    assert sorted(faulty.stdout.splitlines()[1:]) == [
        *[f"  exports {name} besides PyInit__faulty" for name in ("counter()", "counter()::n", "typeinfo for Thrown",
                                                                   "typeinfo name for Thrown")],
        "  needs GLIBC_2.32 (manylinux_2_28 allows GLIBC_2.28) for __libc_single_threaded",
        "  needs the machine's OpenSSL (libcrypto.so.3)"]
