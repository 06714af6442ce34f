"""calculate_composition_hash: each message once and the precedence between them, and hostile
objects. Every fault's variants, caller code run mid-conversion and the stream against a reference
written apart are in test_caller_code's walk; the stream byte for byte in README.md (test_readme)."""

import copy
import sys

import pytest

import composition_reference as reference
from conftest import raises_vela
from vela_sha import manifest_problems
from vela_sha._native import VelaShaError, calculate_composition_hash, calculate_hash

MANIFEST = "VELA_SHA_INVALID_MANIFEST"
SOURCE_ERROR = (
    "VELA_SHA_INVALID_CANONICAL_SOURCE",
    "invalid canonical source representation; provide a non-empty canonical path or URL "
    "with forward-slash separators and no control characters",
)
DIGEST_ERROR = ("VELA_SHA_INVALID_DIGEST", "SHA-256 digest must contain exactly 64 hexadecimal characters")
DUPLICATE = ("VELA_SHA_DUPLICATE_SOURCE",
             "resolved manifest contains a duplicate source; deduplicate nodes before hashing")
UNKNOWN = ("VELA_SHA_UNKNOWN_EDGE_ENDPOINT",
           "resolved manifest edge has an unknown endpoint; include every endpoint in nodes")
D = "ab" * 32


def src(value="a", kind="local_path"):
    return {"kind": kind, "value": value}


def node(value="a", kind="local_path", sha256=D):
    return {"source": src(value, kind), "sha256": sha256}


def edge(parent="a", child="a", occurrence=0):
    return {"parent": src(parent), "child": src(child), "occurrence": occurrence}


def manifest(nodes=None, edges=None, schema="vela-sha/manifest/v1"):
    return {"schema": schema, "nodes": [node()] if nodes is None else nodes, "edges": [] if edges is None else edges}


# Each case: a manifest (or input) and the exact (code, message) it must raise.
ERROR_CASES = [
    ("{}", ("VELA_SHA_INVALID_INPUT", "hash input must be a mapping")),
    ({}, (MANIFEST, "manifest object requires schema")),
    ({"schema": "\udc80"}, (MANIFEST, "manifest field schema must be a string")),
    ({"schema": ""}, (MANIFEST, "manifest schema must not be empty")),
    ({"schema": "V1", "nodes": [], "edges": []},
     ("VELA_SHA_UNSUPPORTED_MANIFEST_SCHEMA", "unsupported manifest schema; use vela-sha/manifest/v1")),
    ({"schema": "v1", "edges": []}, (MANIFEST, "manifest object requires nodes")),
    ({"schema": "v1", "nodes": 1}, (MANIFEST, "manifest object requires edges")),
    ({"schema": "v1", "nodes": (), "edges": ()}, (MANIFEST, "manifest nodes must be a list")),
    (manifest(edges=()), (MANIFEST, "manifest edges must be a list")),
    (manifest([1]), (MANIFEST, "manifest node must be a mapping")),
    (manifest([{"sha256": D}]), (MANIFEST, "manifest node requires source")),
    (manifest([{"source": None}]), (MANIFEST, "source must be a mapping")),
    (manifest([{"source": src()}]), (MANIFEST, "manifest object requires sha256")),
    (manifest([{"source": {"kind": "x"}, "sha256": D}]), (MANIFEST, "manifest object requires value")),
    (manifest([{"source": {"value": "a"}}]), (MANIFEST, "manifest object requires kind")),
    (manifest([node(kind=1)]), (MANIFEST, "manifest field kind must be a string")),
    (manifest([node(value="\ud800")]), (MANIFEST, "manifest field value must be a string")),
    (manifest([node(sha256=None)]), (MANIFEST, "manifest field sha256 must be a string")),
    (manifest([node(kind="URL")]), (MANIFEST, "source kind must be local_path or url")),
    (manifest([node(value="a\u0085b", kind="url")]), SOURCE_ERROR),
    (manifest([node(sha256=D[:63] + "é")]), DIGEST_ERROR),  # 64 characters, 65 bytes
    (manifest(edges=[1]), (MANIFEST, "manifest edge must be a mapping")),
    (manifest(edges=[{}]), (MANIFEST, "manifest edge requires parent")),
    (manifest(edges=[{"parent": 1}]), (MANIFEST, "manifest edge requires child")),
    (manifest(edges=[{"parent": 1, "child": 1}]), (MANIFEST, "manifest edge requires occurrence")),
    (manifest(edges=[{"parent": 1, "child": 1, "occurrence": 0}]), (MANIFEST, "source must be a mapping")),
    # Precedence.
    ({"schema": "", "nodes": 1}, (MANIFEST, "manifest schema must not be empty")),
    (manifest([node(kind="x"), 1], edges=[1]), (MANIFEST, "source kind must be local_path or url")),
    (manifest(edges=[{"parent": None, "child": None, "occurrence": 1.0}]),
     (MANIFEST, "occurrence must be a non-negative integer")),
    (manifest(edges=[{"parent": src("\\"), "child": None, "occurrence": 0}]), SOURCE_ERROR),
    (manifest([node(), node()], edges=[edge("zz")]), DUPLICATE),
    (manifest([], edges=[edge()]), UNKNOWN),
    (manifest([node("a")], edges=[{"parent": src(), "child": src("a", "url"), "occurrence": 0}]), UNKNOWN),
]


def with_lookups(value):
    """A copy in which every dict also holds a non-str key, so that no entry
    can be read without a real lookup."""
    if isinstance(value, dict):
        return {**{k: with_lookups(v) for k, v in value.items()}, 0: None}
    if isinstance(value, list):
        return [with_lookups(v) for v in value]
    return value


@pytest.mark.parametrize("lookups", [False, True])
@pytest.mark.parametrize("value, expected", ERROR_CASES)
def test_errors(value, expected, lookups):
    value = with_lookups(value) if lookups else value
    snapshot = copy.deepcopy(value)
    with raises_vela(*expected):
        calculate_composition_hash(value)
    assert value == snapshot


class Index:
    """An occurrence whose __index__ returns its value, or raises it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


# The accepted value; None: refused; an exception class: it passes through.
@pytest.mark.parametrize("occurrence, accepted", [
    (True, 1), (False, 0), (0, 0), (4294967295, 4294967295), (Index(7), 7),
    *[(value, None) for value in ((1 << 63) - 1, 1 << 1000, -(1 << 64), Index(-1), Index(ZeroDivisionError()),
                                  Index(OverflowError()))],
    *[(Index(kind("from __index__")), kind) for kind in (KeyboardInterrupt, SystemExit, MemoryError)],
])
def test_occurrence_values(occurrence, accepted):
    m = manifest(edges=[edge(occurrence=occurrence)])
    if accepted is None:
        with raises_vela(MANIFEST, "occurrence must be a non-negative integer"):
            calculate_composition_hash(m)
    elif isinstance(accepted, type):
        with pytest.raises(accepted, match="from __index__"):
            calculate_composition_hash(m)
    else:
        same = manifest(edges=[edge(occurrence=accepted)])
        assert calculate_composition_hash(m) == reference.composition_hash(same)


def test_memory_error_in_the_string_test_passes_through():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter's _testcapi cannot fail allocations")
    # A fresh non-ASCII str has no UTF-8 form yet: the string test makes it, the call's first allocation.
    m = manifest([node("".join(["é", "x", str(id(object()))]))])
    with pytest.raises(MemoryError):
        testcapi.set_nomemory(0, 1)
        try:
            calculate_composition_hash(m)
        finally:
            testcapi.remove_mem_hooks()


def test_subclasses_are_read_from_their_own_storage():
    def consulted(self, *args):
        raise AssertionError("an override was consulted")

    lying_dict = type("LyingDict", (dict,), {"__getitem__": consulted, "get": consulted, "__missing__": consulted})
    lying_list = type("LyingList", (list,), {"__iter__": consulted, "__getitem__": consulted, "__len__": lambda _: 0})
    text = type("Text", (str,), {"encode": consulted})
    hostile = lying_dict(schema=text("v1"), edges=lying_list([lying_dict(edge())]), nodes=lying_list([lying_dict(
        source=lying_dict(kind=text("local_path"), value=text("a")), sha256=text(D))]))
    assert calculate_composition_hash(hostile) == calculate_composition_hash(manifest([node("a")], [edge()]))
    with raises_vela(MANIFEST, "manifest object requires nodes"):
        calculate_composition_hash(lying_dict(schema="v1", edges=[]))


def raising(self, other):
    raise ZeroDivisionError("from __eq__")


RaisingKey = type("RaisingKey", (str,), {"__hash__": str.__hash__, "__eq__": raising})  # its name's place, and raises


@pytest.mark.parametrize("function", [calculate_composition_hash, manifest_problems])
@pytest.mark.parametrize("where", ["top", "node", "source", "edge"])
def test_key_eq_exception_passes_through(function, where):
    m = manifest(edges=[edge()])
    target = {"top": m, "node": m["nodes"][0], "source": m["nodes"][0]["source"], "edge": m["edges"][0]}[where]
    name = next(iter(target))
    target[RaisingKey(name)] = target.pop(name)
    with pytest.raises(ZeroDivisionError, match="from __eq__"):
        function(m)


def test_a_call_nested_in_a_call():
    # Both large enough to be hashed on threads of their own, where there is a processor to spare.
    inner = reference.generate(2500, 5000, seed=6)

    class Nesting:
        def __index__(self):
            self.result = calculate_composition_hash(inner)
            return 3

    nesting = Nesting()
    outer = reference.generate(2600, 5200, seed=7)
    outer["edges"][3000]["occurrence"] = nesting
    expected = copy.deepcopy(outer)
    expected["edges"][3000]["occurrence"] = 3
    assert calculate_composition_hash(outer) == reference.composition_hash(expected)
    assert nesting.result == reference.composition_hash(inner)


def parts(value):
    """`value` and every value within it."""
    yield value
    for item in value.values() if isinstance(value, dict) else value if isinstance(value, list) else ():
        yield from parts(item)


@pytest.mark.parametrize("function, good, bad", [
    (calculate_composition_hash, reference.generate(20, 40, seed=2), manifest([node(), node()])),
    (calculate_hash, {"utf8_file_bytes": b"a\r\nb" * 100, "other": 1}, {"utf8_file_bytes": b"a\r\nb\xff"}),
])
def test_inputs_and_reference_counts_unchanged(function, good, bad):
    objects, snapshots = [*parts(good), *parts(bad)], copy.deepcopy([good, bad])
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(300):
        function(good)
        with pytest.raises(VelaShaError):
            function(bad)
    assert [sys.getrefcount(o) for o in objects] == before
    assert [good, bad] == snapshots
