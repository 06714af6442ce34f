"""manifest_problems: every problem located, the first one the error the hash raises."""

import copy
import random

import pytest

from composition_reference import generate
from test_composition import D, edge, manifest, node, src
from vela_sha import VelaShaError, calculate_composition_hash, manifest_problems


def _pick(rng, m, key):
    items = m[key] if isinstance(m.get(key), list) else []
    return rng.randrange(len(items)) if items else None


def _node_fault(rng, m):
    i = _pick(rng, m, "nodes")
    if i is None:
        return
    n = m["nodes"][i]
    choice = rng.randrange(11)
    if not isinstance(n, dict) or (choice in (3, 4, 5) and not isinstance(n.get("source"), dict)):
        return
    if choice == 0:
        m["nodes"][i] = rng.choice([None, 3, [n]])
    elif choice == 1:
        n.pop("source", None)
    elif choice == 2:
        n["source"] = rng.choice([None, "a", [1]])
    elif choice == 3:
        n["source"] = {k: v for k, v in n["source"].items() if k != rng.choice(["kind", "value"])}
    elif choice == 4:
        n["source"] = {**n["source"], "kind": rng.choice(["URL", 1, None, "url "])}
    elif choice == 5:
        n["source"] = {**n["source"], "value": rng.choice(["", "a\\b", "x\ty", b"v", "\udc80"])}
    elif choice == 6:
        n.pop("sha256", None)
    elif choice in (7, 8):
        n["sha256"] = rng.choice(["", D[:63], D + "0", "g" * 64, 5])
    else:  # a duplicate of another node's source
        j = rng.randrange(len(m["nodes"]))
        if isinstance(m["nodes"][j], dict) and "source" in m["nodes"][j]:
            n["source"] = copy.deepcopy(m["nodes"][j]["source"])


def _edge_fault(rng, m):
    k = _pick(rng, m, "edges")
    if k is None:
        return
    e = m["edges"][k]
    choice = rng.randrange(7)
    if not isinstance(e, dict):
        return
    if choice == 0:
        m["edges"][k] = rng.choice([None, (1, 2)])
    elif choice == 1:
        e.pop(rng.choice(["parent", "child", "occurrence"]), None)
    elif choice == 2:
        e["occurrence"] = rng.choice([-1, 1 << 32, "1", 1.0, None])
    elif choice in (3, 4):
        e[rng.choice(["parent", "child"])] = src(f"unknown/{rng.randrange(99)}")
    else:
        e[rng.choice(["parent", "child"])] = rng.choice([None, {"kind": "url"}, src("a\nb")])


def _top_fault(rng, m):
    choice = rng.randrange(6)
    if choice == 0:
        m["schema"] = rng.choice([None, "", "v2", "V1", b"v1"])
    elif choice == 1:
        m.pop("schema", None)
    elif choice == 2:
        m.pop(rng.choice(["nodes", "edges"]), None)
    elif choice == 3:
        m[rng.choice(["nodes", "edges"])] = rng.choice([(), {}, "x"])
    else:
        _node_fault(rng, m)


@pytest.mark.parametrize("seed", range(400))
def test_first_problem_is_the_raised_error(seed):
    rng = random.Random(seed)
    m = copy.deepcopy(generate(rng.randrange(1, 8), rng.randrange(0, 10), seed=seed))
    for _ in range(rng.randrange(4)):
        rng.choice([_top_fault, _node_fault, _node_fault, _edge_fault, _edge_fault])(rng, m)
    problems = manifest_problems(m)
    try:
        calculate_composition_hash(m)
    except VelaShaError as error:
        assert problems and (problems[0]["code"], problems[0]["message"]) == (error.code, error.message)
    else:
        assert problems == []


def _where(m):
    return [(p["where"], p["code"]) for p in manifest_problems(m)]


@pytest.mark.parametrize("change, where", [
    (lambda m: m.pop("schema"), "schema"),
    (lambda m: m.update(schema="v2"), "schema"),
    (lambda m: m.pop("nodes"), "nodes"),
    (lambda m: m.update(edges=()), "edges"),
    (lambda m: m["nodes"].append(7), "nodes[2]"),
    (lambda m: m["nodes"][1].pop("source"), "nodes[1].source"),
    (lambda m: m["nodes"][1].update(source=None), "nodes[1].source"),
    (lambda m: m["nodes"][1]["source"].update(kind="file"), "nodes[1].source.kind"),
    (lambda m: m["nodes"][1]["source"].pop("value"), "nodes[1].source.value"),
    (lambda m: m["nodes"][0]["source"].update(value="a\\b"), "nodes[0].source.value"),
    (lambda m: m["nodes"][1].update(sha256="0" * 63), "nodes[1].sha256"),
    (lambda m: m["nodes"][1].update(sha256=None), "nodes[1].sha256"),
    (lambda m: m["edges"].insert(0, []), "edges[0]"),
    (lambda m: m["edges"][1].pop("occurrence"), "edges[1].occurrence"),
    (lambda m: m["edges"][1].update(occurrence=-1), "edges[1].occurrence"),
    (lambda m: m["edges"][1]["parent"].update(kind=None), "edges[1].parent.kind"),
    (lambda m: m["edges"][0].update(child=src("")), "edges[0].child.value"),
    (lambda m: m["edges"][0].update(child=src("zzz")), "edges[0].child"),
    (lambda m: m["edges"][1].update(parent=src("b", "url")), "edges[1].parent"),
])
def test_where_each_single_fault_is(change, where):
    m = manifest([node("a"), node("b")], [edge("a", "b"), edge("b", "a", 1)])
    change(m)
    assert _where(m)[0][0] == where


def test_duplicates_name_the_earlier_node():
    m = manifest([node("a"), node("b"), node("a", sha256="0" * 64), node("a", "url"), node("b")])
    assert [(p["where"], p["duplicate_of"]) for p in manifest_problems(m)] == [
        ("nodes[2]", "nodes[0]"), ("nodes[4]", "nodes[1]")]


def test_cascades():
    # A node with a bad digest still has its source: it is a duplicate's first
    # and an edge's endpoint. A node whose source is bad has none.
    m = manifest([node("a", sha256="bad"), node("a"), node("c\\d")], [edge("a", "a"), edge("a", "c\\d")])
    assert _where(m) == [("nodes[0].sha256", "VELA_SHA_INVALID_DIGEST"),
                         ("nodes[2].source.value", "VELA_SHA_INVALID_CANONICAL_SOURCE"),
                         ("edges[1].child.value", "VELA_SHA_INVALID_CANONICAL_SOURCE"),
                         ("nodes[1]", "VELA_SHA_DUPLICATE_SOURCE")]
    # An edge gives only its first problem; past a bad occurrence its endpoints
    # still count, but an edge with an invalid source takes no part.
    m = manifest([node("a")], [{"parent": src("x"), "child": src("a"), "occurrence": -5},
                               {"parent": src("x"), "child": src(""), "occurrence": 1}])
    assert _where(m) == [("edges[0].occurrence", "VELA_SHA_INVALID_MANIFEST"),
                         ("edges[1].child.value", "VELA_SHA_INVALID_CANONICAL_SOURCE"),
                         ("edges[0].parent", "VELA_SHA_UNKNOWN_EDGE_ENDPOINT")]
    # Without a node list, edges are checked for shape but not for endpoints.
    m = manifest(None, [edge("x", "y"), edge(occurrence=None)])
    m["nodes"] = "not a list"
    assert _where(m) == [("nodes", "VELA_SHA_INVALID_MANIFEST"), ("edges[1].occurrence", "VELA_SHA_INVALID_MANIFEST")]
    assert _where([]) == [("", "VELA_SHA_INVALID_INPUT")]


def test_hostile_objects_as_the_hash_meets_them():
    class Raising(str):  # a key whose lookup collides with `self.target` and raises
        def __hash__(self):
            return hash(self.target)

        def __eq__(self, other):
            raise LookupError("from __eq__")

    def raising(target):
        key = Raising("k")
        key.target = target
        return key

    m = manifest([{"source": {raising("kind"): "url", "value": "a"}, "sha256": D}])
    for function in (calculate_composition_hash, manifest_problems):
        with pytest.raises(LookupError):
            function(m)

    class Missing(dict):
        def __missing__(self, key):
            return "url"

    edges = [edge(), edge("b", "a"), edge("x", "y")]

    class Shrinking:  # the list is walked within its current length, as the hash walks it
        def __index__(self):
            edges.pop()
            raise ValueError("not an occurrence")

    edges[0]["occurrence"] = Shrinking()
    m = manifest([node("a"), {"source": Missing(value="b"), "sha256": D}], edges)
    assert _where(m) == [("nodes[1].source.kind", "VELA_SHA_INVALID_MANIFEST"),
                         ("edges[0].occurrence", "VELA_SHA_INVALID_MANIFEST"),
                         ("edges[1].parent", "VELA_SHA_UNKNOWN_EDGE_ENDPOINT")]

    # Past the first problem the hash would have stopped before meeting a
    # raising object: the problems stand, and only an interrupt goes through.
    m = manifest([node("a", sha256="bad"), {raising("source"): 1, "sha256": D}], [edge()])
    with pytest.raises(VelaShaError, match="64 hexadecimal"):
        calculate_composition_hash(m)
    assert _where(m)[0] == ("nodes[0].sha256", "VELA_SHA_INVALID_DIGEST")

    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    for nodes in ([node()], [node(sha256="bad")]):
        with pytest.raises(KeyboardInterrupt):
            manifest_problems(manifest(nodes, [edge(occurrence=Interrupting())]))
