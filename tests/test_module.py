"""The _native module's contract: its namespace, the exception class and the
argument binding, with their exact texts."""

import importlib
import importlib.util
import subprocess
import sys

import pytest

from vela_sha import _native
from vela_sha._native import VelaShaError, calculate_composition_hash, calculate_hash

NAMES = ["VelaShaError", "calculate_hash", "calculate_composition_hash"]
FUNCTIONS = [calculate_hash, calculate_composition_hash]


def test_namespace_functions_and_exception_class():
    assert _native.__all__ == NAMES and _native.__doc__ == ""
    assert all(hasattr(_native, name) for name in NAMES)
    for function in FUNCTIONS:
        assert (function.__text_signature__, function.__doc__, function.__module__) == (
            "(input)", None, "vela_sha._native")
    assert (VelaShaError.__module__, VelaShaError.__name__, VelaShaError.__qualname__) == (
        "builtins", "VelaShaError", "VelaShaError")
    assert (VelaShaError.__text_signature__, VelaShaError.__doc__) == ("(code, message)", "")
    assert issubclass(VelaShaError, Exception)
    with pytest.raises(TypeError):
        type("Sub", (VelaShaError,), {})


def _exec_with_all(preset):
    """The extension's exec run on a new module object whose __all__ is preset."""
    spec = importlib.util.find_spec("vela_sha._native")
    module = importlib.util.module_from_spec(spec)
    module.__all__ = preset
    spec.loader.exec_module(module)
    return module.__all__


def test_reimport_adds_the_same_type_and_its_own_all():
    first = sys.modules.pop("vela_sha._native")
    try:
        second = importlib.import_module("vela_sha._native")
        assert second is not first and second.VelaShaError is first.VelaShaError
        assert second.__all__ == first.__all__ and second.__all__ is not first.__all__
        assert second.calculate_hash is not first.calculate_hash
    finally:
        sys.modules["vela_sha._native"] = first
    assert _exec_with_all(["kept"]) == ["kept", *NAMES]  # appended behind an existing __all__
    with pytest.raises(TypeError):
        _exec_with_all(("kept",))  # one that is not a list is refused


def test_exception_instance():
    error = VelaShaError("C", "M")
    assert (error.code, error.message, error.args, str(error), repr(error)) == (
        "C", "M", ("C", "M"), "M", "VelaShaError('C', 'M')")
    for attribute in ("code", "message"):
        with pytest.raises(AttributeError):
            setattr(error, attribute, "x")
        with pytest.raises(AttributeError):
            delattr(error, attribute)
    # str subclasses are read by content; text is kept exactly, NUL and all.
    assert str(VelaShaError("C", "")) == ""
    error = VelaShaError(type("Text", (str,), {})("c\0d"), "ünïcödé ✓")
    assert type(error.code) is str and (error.code, error.message) == ("c\0d", "ünïcödé ✓")


def test_instances_release_their_type():
    # Each instance of a heap type holds a reference to it; dealloc must drop it.
    before = sys.getrefcount(VelaShaError)
    for _ in range(1000):
        VelaShaError("C", "M")
        try:
            calculate_hash({"utf8_file_bytes": b"\xff"})
        except VelaShaError:
            pass
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


def test_uncaught_error_shows_bare_class_name():
    script = "from vela_sha._native import calculate_hash\ncalculate_hash({'utf8_file_bytes': b'\\xff'})\n"
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 1
    assert run.stderr.splitlines()[-1] == (
        "VelaShaError: text-file bytes are not valid UTF-8; encode the source as UTF-8 before hashing")


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
