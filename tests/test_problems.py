"""manifest_problems past the first problem. That the first is the error the
hash raises, and where it is, on manifests with every fault and with caller
code, is checked in test_caller_code."""

import pytest

from test_composition import D, Index, RaisingKey, edge, manifest, node, src
from vela_sha import VelaShaError, calculate_composition_hash, manifest_problems


def _where(m):
    return [(p["where"], p["code"]) for p in manifest_problems(m)]


def test_problems_past_the_first():
    m = manifest([node("a"), node("b"), node("a", sha256="0" * 64), node("a", "url"), node("b")])
    assert [(p["where"], p["duplicate_of"]) for p in manifest_problems(m)] == [
        ("nodes[2]", "nodes[0]"), ("nodes[4]", "nodes[1]")]  # a duplicate names the earlier node
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
    m = manifest([node("a", sha256="bad"), {RaisingKey("source"): 1, "sha256": D}], [edge()])
    with pytest.raises(VelaShaError, match="64 hexadecimal"):
        calculate_composition_hash(m)
    assert _where(m)[0] == ("nodes[0].sha256", "VELA_SHA_INVALID_DIGEST")

    for nodes in ([node()], [node(sha256="bad")]):
        with pytest.raises(KeyboardInterrupt):
            manifest_problems(manifest(nodes, [edge(occurrence=Index(KeyboardInterrupt()))]))
