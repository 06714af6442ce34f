"""The manifest conversion against a plain sequential walk, on manifests with faults planted anywhere and
caller code run in the middle: an occurrence's __index__, a key's __eq__, finalizers the collector runs.

For __index__ and __eq__ the outcome, the calls of the caller's code and the manifest afterwards are exactly
the walk's (each entry looked up once, when the walk reaches it), and manifest_problems' first record is the
hash's error, at the walk's place. A finalizer runs where the interpreter collects, which a walk cannot pin:
its change must be the walk's with the change made between some two of its steps."""

import contextlib
import copy
import functools
import gc
import hashlib
import json
import operator
import os
import pickle
import random
import re
from unittest import mock

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import composition_reference as reference
from test_composition import D, src, with_lookups
from vela_sha import VelaShaError, calculate_composition_hash, hash_file, iter_hash_files, manifest_problems

MISSING = object()
MANIFEST = "VELA_SHA_INVALID_MANIFEST"


class Failed(Exception):
    """The walk's first failure: (code, message, where)."""


def fail(message, where, code=MANIFEST):
    raise Failed(code, message, where)


def walk(m, step):
    """The sequential walk, calling `step(place)` before every lookup or conversion that may reach the
    caller's code, and once at the end. Returns the result, or the (code, message, where) of the first failure."""
    at = ("top", 0)

    def get(mapping, key, where, missing=None):
        step(at)
        if (value := dict.get(mapping, key, MISSING)) is MISSING:
            fail(missing or "manifest object requires " + key, where)
        return value

    def text(mapping, key, where):
        value = get(mapping, key, where)
        if not isinstance(value, str) or re.search("[\ud800-\udfff]", value):
            fail(f"manifest field {key} must be a string", where)
        return str.encode(value)

    def source(value, where):
        if not isinstance(value, dict):
            fail("source must be a mapping", where)
        kind, body = text(value, "kind", where + ".kind"), text(value, "value", where + ".value")
        if kind not in (b"local_path", b"url"):
            fail("source kind must be local_path or url", where + ".kind")
        if not body or b"\\" in body or re.search("[\x00-\x1f\x7f-\x9f]", body.decode()):
            fail("invalid canonical source representation; provide a non-empty canonical path or URL with "
                 "forward-slash separators and no control characters", where + ".value",
                 "VELA_SHA_INVALID_CANONICAL_SOURCE")
        return int(kind == b"url"), body

    def node(item, where):
        if not isinstance(item, dict):
            fail("manifest node must be a mapping", where)
        value = get(item, "source", where + ".source", "manifest node requires source")
        node_source, sha256 = source(value, where + ".source"), text(item, "sha256", where + ".sha256")
        if not re.fullmatch(rb"[0-9a-fA-F]{64}", sha256):
            fail("SHA-256 digest must contain exactly 64 hexadecimal characters", where + ".sha256",
                 "VELA_SHA_INVALID_DIGEST")
        return node_source, bytes.fromhex(sha256.decode())

    def edge(item, where):
        if not isinstance(item, dict):
            fail("manifest edge must be a mapping", where)
        found = [get(item, key, f"{where}.{key}", "manifest edge requires " + key)
                 for key in ("parent", "child", "occurrence")]
        step(at)
        try:
            number = operator.index(found[2])
        except Exception:
            number = -1
        if not 0 <= number <= 0xFFFFFFFF:
            fail("occurrence must be a non-negative integer", where + ".occurrence")
        return source(found[0], where + ".parent"), source(found[1], where + ".child"), number

    def items(value, name, convert):
        nonlocal at
        if not isinstance(value, list):
            fail(f"manifest {name} must be a list", name)
        converted, start = [], len(value)
        for index in range(start + 1):  # within the length it had, and has
            at = (name, index)
            step(at)
            if index >= min(start, len(value)):
                return converted
            converted.append(convert(value[index], f"{name}[{index}]"))

    try:
        step(at)
        if not isinstance(m, dict):
            fail("hash input must be a mapping", "", "VELA_SHA_INVALID_INPUT")
        if not (schema := text(m, "schema", "schema")):
            fail("manifest schema must not be empty", "schema")
        if schema not in (b"v1", b"vela-sha/manifest/v1"):
            fail("unsupported manifest schema; use vela-sha/manifest/v1", "schema",
                 "VELA_SHA_UNSUPPORTED_MANIFEST_SCHEMA")
        lists = [get(m, key, key) for key in ("nodes", "edges")]
        nodes, edges = items(lists[0], "nodes", node), items(lists[1], "edges", edge)
        step(("end", 0))
        known = {}
        for index, (node_source, _) in enumerate(nodes):
            if known.setdefault(node_source, index) != index:
                fail("resolved manifest contains a duplicate source; deduplicate nodes before hashing",
                     f"nodes[{index}]", "VELA_SHA_DUPLICATE_SOURCE")
        for index, ends in enumerate(edges):
            for name, end in zip(("parent", "child"), ends):
                if end not in known:
                    fail("resolved manifest edge has an unknown endpoint; include every endpoint in nodes",
                         f"edges[{index}].{name}", "VELA_SHA_UNKNOWN_EDGE_ENDPOINT")
        return {"kind": "composition", "sha256": hashlib.sha256(reference.stream(nodes, edges)).hexdigest()}
    except Failed as failed:
        return failed.args


# Ways the caller's code changes a manifest, and faults planted before the call. `at` is a
# fraction of a list's length; `variant` picks one of a fault's options.
def _at(items, at):
    return min(int(at * len(items)), len(items) - 1)


def _item(m, name, at):
    return m[name][_at(m[name], at)]


MUTATIONS = {
    "remove": lambda m, name, at: m[name].pop(_at(m[name], at)),
    "insert": lambda m, name, at: m[name].insert(_at(m[name], at), m[name][0] if m[name] else {}),
    "replace": lambda m, name, at: m[name].__setitem__(_at(m[name], at), {"source": None}),
    "duplicate": lambda m, name, at: m[name].append(_item(m, name, at)),
    "clear item": lambda m, name, at: _item(m, name, at).clear(),
    "rename source": lambda m, name, at: _item(m, "nodes", at)["source"].update(value="x"),
    "clear source": lambda m, name, at: _item(m, "nodes", at)["source"].clear(),
    "empty list": lambda m, name, at: m[name].clear(),
    "swap list": lambda m, name, at: m.update({name: []}),
}
ENDPOINTS = [None, {"kind": "url"}, src(""), src("a" * 300_000 + "\\b"),  # the long one beyond an edge's staging
             src("x\u0085", "url"), src("a", "ftp"), src("nowhere")]
FAULTS = {  # name: (the options, how the one chosen is planted)
    "schema": ([None, "", "v2", b"v1", "v1 ", "\udc80"], lambda m, at, value: m.update(schema=value)),
    "top entry": (["schema", "nodes", "edges"], lambda m, at, key: m.pop(key)),
    "not a list": (["nodes", "edges"], lambda m, at, key: m.update({key: ()})),
    "node": ([None, 3, [{}]], lambda m, at, value: m["nodes"].__setitem__(_at(m["nodes"], at), value)),
    "node entry": (["source", "sha256"], lambda m, at, key: _item(m, "nodes", at).pop(key)),
    "source": ([None, "a", {"value": "a"}, {"kind": "url"}],
               lambda m, at, value: _item(m, "nodes", at).update(source=value)),
    "kind": (["URL", 1, "url ", None], lambda m, at, value: _item(m, "nodes", at)["source"].update(kind=value)),
    "value": (["", "a\\b", "x\ty", b"v", "\udc80", "a\u0085"],
              lambda m, at, value: _item(m, "nodes", at)["source"].update(value=value)),
    "digest": (["", D[:63], D + "0", "g" * 64, 5, "\udfff"],
               lambda m, at, value: _item(m, "nodes", at).update(sha256=value)),
    "duplicate": ([None], lambda m, at, _: m["nodes"].append(copy.deepcopy(_item(m, "nodes", at)))),
    "edge": ([None, (1, 2)], lambda m, at, value: m["edges"].__setitem__(_at(m["edges"], at), value)),
    "edge entry": (["parent", "child", "occurrence"], lambda m, at, key: _item(m, "edges", at).pop(key)),
    "occurrence": ([-1, 1 << 32, 2**64, "1", 1.0, None],
                   lambda m, at, value: _item(m, "edges", at).update(occurrence=value)),
    "endpoint": ([{end: value} for end in ("parent", "child") for value in ENDPOINTS],
                 lambda m, at, change: _item(m, "edges", at).update(change)),
}


class Caller:
    """The caller's code: logs each call, and changes the manifest at the first. As an occurrence, its
    __index__ runs it and is 7."""

    def __init__(self, log, name, change=None):
        self.log, self.name, self.change = log, name, change

    def __call__(self):
        self.log.append(self.name)
        change, self.change = self.change, None
        if change:
            with contextlib.suppress(LookupError, TypeError, AttributeError):  # a manifest a fault broke
                change()

    def __index__(self):
        self()
        return 7


class Key(str):
    """A key that is its plain name to every lookup, and calls the caller's code when compared."""

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        self.caller()
        return str.__eq__(self, other)


class Finalizer:
    def __del__(self):
        self.caller()


@contextlib.contextmanager
def finalizer_when_collected(caller):
    """`caller` runs from a finalizer at the collector's first run, which comes at the next allocation."""
    thresholds = gc.get_threshold()
    gc.collect(0)
    gc.disable()
    cycle = Finalizer()
    cycle.caller, cycle.cycle = caller, cycle
    del cycle
    gc.set_threshold(1)
    gc.enable()
    try:
        yield
    finally:
        gc.set_threshold(*thresholds)
        gc.collect(0)  # the finalizer has run by now


COLLECTED = ("surrogate", "overflow", "python")  # a finalizer runs, and this is where the collector may run


@functools.cache
def base(sizes, shape, seed):
    """A valid manifest, pickled. Edges share the nodes' source dicts; or every mapping is its own, as
    from JSON; or every mapping also holds a key that is no str, so that no entry is read without a real
    lookup. Odd seeds give texts beyond ASCII, upper-case digests and the short schema."""
    m = reference.generate(*sizes, seed=seed, path_length=20)
    if seed % 2:
        m["schema"] = "v1"
        for i, node in enumerate(m["nodes"]):
            node["source"]["value"] += ["é", "中", "😀", " %", "\u00a0", "\u2028"][i % 6]
            node["sha256"] = node["sha256"].upper() if i % 3 else node["sha256"]
    if shape != "shared":
        m = json.loads(json.dumps(m))
    return pickle.dumps(with_lookups(m) if shape == "lookups" else m)


def build(plan):
    """The manifest `plan` describes, the log its caller code writes, the change as the caller's code,
    and where a collection may come (list, index)."""
    sizes, shape, trigger, where, mutation, list_name, at, seed, faults = plan
    m, log = pickle.loads(base(sizes, shape, seed)), []
    change = Caller(log, "collected" if trigger in COLLECTED else trigger,
                    lambda: MUTATIONS[mutation](m, list_name, at))
    place = "edges" if m["edges"] else "nodes"
    index = _at(m[place], where)
    item = m[place][index]
    occurrences = {"index": change, "overflow": 2**64, "python": Caller(log, "python")}
    if trigger in occurrences and place == "edges":
        item["occurrence"] = occurrences[trigger]
    elif trigger == "eq":
        victim = item if where < 0.5 else item.get("source", item.get("parent"))
        name = next(iter(victim))
        key = Key(name)
        key.caller = change
        victim[key] = victim.pop(name)
    elif trigger == "surrogate":
        item.get("source", item.get("child"))["value"] = "b\ud800"
    for fault, fault_at, variant in faults:
        options, plant = FAULTS[fault]
        with contextlib.suppress(LookupError, TypeError, AttributeError):
            plant(m, fault_at, copy.deepcopy(options[variant % len(options)]))  # the caller's code may change it
    return m, log, change, (place, index)


def plain(m):
    """The manifest as text, caller code left as a mark."""
    return json.dumps(m, default=lambda value: "<caller>" if isinstance(value, Caller) else repr(value))


def walk_outcomes(plan, fired_after):
    """The walk's outcomes, and its error where it pins the caller's code: with the change made by the
    caller's code where that runs; or, for a finalizer, made at the steps it may have come at: after
    `fired_after` calls of the caller's code and before the next, at the first or last such step or at
    the item where a collection may come."""

    def run(when=-1):
        m, log, change, trap = build(plan)
        steps = []

        def step(place):
            steps.append((place, len(log)))
            if len(steps) - 1 == when:
                change()

        result = walk(m, step)
        if when == len(steps):  # after the last step, failed or not
            change()
        return (result if isinstance(result, dict) else result[:2], log, plain(m)), result, steps, trap

    outcome, result, steps, trap = run()
    if fired_after is None:
        return [outcome], result
    window = [when for when, (_, calls) in enumerate(steps) if calls == fired_after]
    if window and window[-1] == len(steps) - 1:
        window.append(len(steps))
    ends = window[:1] + window[-1:]
    return [run(when)[0] for when in window if when in ends or when < len(steps) and steps[when][0] == trap], None


SIZES = [(4, 6), (40, 60), (300, 500), (2050, 3), (5, 2050)]


def planted(seed):
    """Up to three faults, each (name, at, variant), drawn evenly: hypothesis's own draws favour a few
    of many names."""
    rng = random.Random(seed)
    return [(rng.choice(sorted(FAULTS)), rng.random(), rng.randrange(84)) for _ in range(rng.randrange(4))]


PLANS = st.tuples(st.sampled_from(SIZES), st.sampled_from(["json", "shared", "lookups"]),
                  st.sampled_from(["none", "index", "eq", "surrogate", "overflow", "python"]), st.floats(0, 1),
                  st.sampled_from(sorted(MUTATIONS)), st.sampled_from(["nodes", "edges"]), st.floats(0, 1),
                  st.integers(0, 3), st.integers(0, 2**32).map(planted))


def check(plan, helpers=None):
    """The module's outcome is one of the walk's; and, where the walk pins the caller's code,
    manifest_problems' first record is its error."""
    outcomes = []
    for function in (calculate_composition_hash, manifest_problems):  # the second never crashes, whatever ran
        m, log, change, _ = build(plan)
        collecting = finalizer_when_collected(change) if plan[2] in COLLECTED else contextlib.nullcontext()
        with mock.patch.dict(os.environ, VELA_SHA_HELPER_THREADS=helpers or "off"), collecting:
            try:
                result = function(m)
            except VelaShaError as error:
                result = (error.code, error.message)
        outcomes.append((result, log, plain(m)))
    outcome, problems = outcomes[0], outcomes[1][0]
    walks, pinned = walk_outcomes(plan, outcome[1].index("collected") if plan[2] in COLLECTED else None)
    assert outcome in walks, (outcome[:2], [walk[:2] for walk in walks])
    assert isinstance(problems, list)
    if pinned is not None:  # the first problem is the error, and says where
        first = [(problem["code"], problem["message"], problem["where"]) for problem in problems[:1]]
        assert first == ([] if isinstance(pinned, dict) else [pinned])


# Every fault and variant, alone or before a duplicate node, where items are read ahead in runs.
@pytest.mark.parametrize("shape", ["json", "shared"])
@pytest.mark.parametrize("duplicate", [[], [("duplicate", 0.2, 0)]])
@pytest.mark.parametrize("fault, variant", [
    (fault, variant) for fault in sorted(FAULTS) for variant in range(len(FAULTS[fault][0]))])
def test_each_fault_gives_the_walks_outcome(fault, variant, duplicate, shape):
    check(((300, 500), shape, "none", 0.0, "remove", "nodes", 0.0, 1, [(fault, 0.7, variant), *duplicate]))


@pytest.mark.parametrize("helpers", ["on", "off"])
@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(plan=PLANS)
def test_faults_and_caller_code_anywhere_give_the_walks_outcome(helpers, plan):
    check(plan, helpers)


@pytest.mark.parametrize("action", ["next", "close"])
def test_a_finalizer_that_steps_or_closes_the_file_iterator(tmp_path, action):
    # Making the pair's objects may run the collector; a finalizer using the iterator must not pass the call.
    paths = [tmp_path / f"{i}.html" for i in range(3)]
    for i, path in enumerate(paths):
        path.write_bytes(b"x" * i)
    files, seen = iter_hash_files(paths), []

    def use():
        try:
            seen.append(files.close() if action == "close" else next(files))
        except ValueError as error:  # already executing
            seen.append(str(error))

    with finalizer_when_collected(use):
        first = next(files)
    assert first == (paths[0], hash_file(paths[0]))
    assert seen in ([None], ["iter_hash_files() iterator already executing"], [(paths[1], hash_file(paths[1]))])
