"""The module's surface, the exception class and the shared argument binding."""

import importlib
import importlib.util
import subprocess
import sys
import textwrap

import pytest

from vela_sha._native import VelaShaError, calculate_composition_hash, calculate_hash

FUNCTIONS = [calculate_hash, calculate_composition_hash]


def test_namespace_and_all(native):
    assert native.__all__ == ["VelaShaError", "calculate_hash", "calculate_composition_hash"]
    assert native.__doc__ == ""
    for name in native.__all__:
        assert hasattr(native, name)


def test_reimport_adds_the_same_type_and_its_own_all():
    first = sys.modules.pop("vela_sha._native")
    try:
        second = importlib.import_module("vela_sha._native")
        assert second is not first
        assert second.VelaShaError is first.VelaShaError
        assert second.__all__ == first.__all__ and second.__all__ is not first.__all__
        assert second.calculate_hash is not first.calculate_hash
    finally:
        sys.modules["vela_sha._native"] = first


def _fresh_module(preset_all):
    """Runs the extension's exec on a new module object whose __all__ is preset."""
    spec = importlib.util.find_spec("vela_sha._native")
    module = importlib.util.module_from_spec(spec)
    module.__all__ = preset_all
    spec.loader.exec_module(module)
    return module


def test_exec_appends_behind_an_existing_all():
    module = _fresh_module(["kept"])
    assert module.__all__ == ["kept", "VelaShaError", "calculate_hash", "calculate_composition_hash"]


def test_exec_refuses_an_all_that_is_not_a_list():
    with pytest.raises(TypeError):
        _fresh_module(("kept",))


@pytest.mark.parametrize("function", FUNCTIONS)
def test_function_signature_and_doc(function):
    assert function.__text_signature__ == "(input)"
    assert function.__doc__ is None
    assert function.__module__ == "vela_sha._native"


def test_exception_class_surface():
    assert VelaShaError.__module__ == "builtins"
    assert VelaShaError.__name__ == VelaShaError.__qualname__ == "VelaShaError"
    assert issubclass(VelaShaError, Exception)
    assert VelaShaError.__text_signature__ == "(code, message)"
    assert VelaShaError.__doc__ == ""
    with pytest.raises(TypeError):
        type("Sub", (VelaShaError,), {})


def test_exception_instance():
    e = VelaShaError("C", "M")
    assert (e.code, e.message, e.args, str(e)) == ("C", "M", ("C", "M"), "M")
    assert repr(e) == "VelaShaError('C', 'M')"
    for attribute in ("code", "message"):
        with pytest.raises(AttributeError):
            setattr(e, attribute, "x")
        with pytest.raises(AttributeError):
            delattr(e, attribute)
    # str subclasses are read by content; text is kept exactly, NUL and all.
    class S(str):
        pass

    assert str(VelaShaError("C", "")) == ""
    e = VelaShaError(S("c\0d"), "ünïcödé ✓")
    assert type(e.code) is str and e.code == "c\0d" and e.message == "ünïcödé ✓"


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


def test_keyword_construction_fails_in_inherited_init():
    with pytest.raises(TypeError):
        VelaShaError(code="C", message="M")


@pytest.mark.parametrize(
    "args, text",
    [
        (("C",), "VelaShaError.__new__() missing 1 required positional argument: 'message'"),
        ((), "VelaShaError.__new__() missing 2 required positional arguments: 'code' and 'message'"),
        (("a", "b", "c"), "VelaShaError.__new__() takes 2 positional arguments but 3 were given"),
    ],
)
def test_constructor_binding_texts(args, text):
    with pytest.raises(TypeError) as info:
        VelaShaError(*args)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "code, message, text, note",
    [
        (1, "M", "'int' object is not an instance of 'str'", "while processing 'code'"),
        (None, "M", "'None' is not an instance of 'str'", "while processing 'code'"),
        ("C", b"M", "'bytes' object is not an instance of 'str'", "while processing 'message'"),
    ],
)
def test_constructor_conversion_errors(code, message, text, note):
    with pytest.raises(TypeError) as info:
        VelaShaError(code, message)
    assert str(info.value) == text
    assert info.value.__notes__ == [note]


def test_constructor_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError) as info:
        VelaShaError("C", "\udc80")
    assert info.value.__notes__ == ["while processing 'message'"]


def test_uncaught_error_shows_bare_class_name():
    script = textwrap.dedent(
        """
        from vela_sha._native import calculate_hash
        calculate_hash({"utf8_file_bytes": b"\\xff"})
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 1
    assert run.stderr.splitlines()[-1] == (
        "VelaShaError: text-file bytes are not valid UTF-8; encode the source as UTF-8 before hashing"
    )


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize(
    "call, text",
    [
        (lambda f: f(), "{}() missing 1 required positional argument: 'input'"),
        (lambda f: f({}, {}), "{}() takes 1 positional arguments but 2 were given"),
        (lambda f: f(inputs={}), "{}() got an unexpected keyword argument 'inputs'"),
        (lambda f: f({}, input={}), "{}() got multiple values for argument 'input'"),
        (lambda f: f(**{"\udc80": 1}), "{}() got an unexpected keyword argument '\udc80'"),
    ],
)
def test_function_binding_texts(function, call, text):
    with pytest.raises(TypeError) as info:
        call(function)
    assert str(info.value) == text.format(function.__name__)
