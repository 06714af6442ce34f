"""A straightforward pure-Python calculate_composition_hash, and manifest generators.

The comparison for the benchmark, and an independent second implementation for
the tests: same checks in the same order, same codes and messages, the stream
written with struct and hashed with hashlib.
"""

from __future__ import annotations

import hashlib
import random
import struct
from typing import Any

IDENTIFIER = b"vela-sha/manifest/v1"
KINDS = {"local_path": 0, "url": 1}


class ReferenceError(Exception):
    def __init__(self, code: str, message: str) -> None:
        super().__init__(code, message)
        self.code, self.message = code, message


def _fail(message: str, code: str = "VELA_SHA_INVALID_MANIFEST") -> ReferenceError:
    return ReferenceError(code, message)


def _string_field(mapping: dict, key: str) -> bytes:
    if key not in mapping:
        raise _fail(f"manifest object requires {key}")
    value = mapping[key]
    if not isinstance(value, str):
        raise _fail(f"manifest field {key} must be a string")
    try:
        return value.encode("utf-8")
    except UnicodeEncodeError:
        raise _fail(f"manifest field {key} must be a string") from None


def _source(value: Any) -> tuple[int, bytes]:
    if not isinstance(value, dict):
        raise _fail("source must be a mapping")
    kind = _string_field(value, "kind")
    text = _string_field(value, "value")
    if kind not in (b"url", b"local_path"):
        raise _fail("source kind must be local_path or url")
    if (
        not text
        or b"\\" in text
        or any(c < 0x20 or 0x7F <= c <= 0x9F for c in map(ord, text.decode("utf-8")))
    ):
        raise _fail(
            "invalid canonical source representation; provide a non-empty canonical path or URL "
            "with forward-slash separators and no control characters",
            "VELA_SHA_INVALID_CANONICAL_SOURCE",
        )
    return KINDS[kind.decode()], text


def _occurrence(value: Any) -> int:
    try:
        number = value.__index__()
    except Exception:
        raise _fail("occurrence must be a non-negative integer") from None
    if not 0 <= number <= 0xFFFFFFFF:
        raise _fail("occurrence must be a non-negative integer")
    return number


def composition_hash(manifest: Any) -> dict:
    if not isinstance(manifest, dict):
        raise _fail("hash input must be a mapping", "VELA_SHA_INVALID_INPUT")
    schema = _string_field(manifest, "schema")
    if not schema:
        raise _fail("manifest schema must not be empty")
    if schema not in (b"v1", IDENTIFIER):
        raise _fail("unsupported manifest schema; use vela-sha/manifest/v1",
                    "VELA_SHA_UNSUPPORTED_MANIFEST_SCHEMA")
    for key in ("nodes", "edges"):
        if key not in manifest:
            raise _fail(f"manifest object requires {key}")
    nodes_in, edges_in = manifest["nodes"], manifest["edges"]

    if not isinstance(nodes_in, list):
        raise _fail("manifest nodes must be a list")
    nodes = []
    for item in nodes_in:
        if not isinstance(item, dict):
            raise _fail("manifest node must be a mapping")
        if "source" not in item:
            raise _fail("manifest node requires source")
        source = _source(item["source"])
        text = _string_field(item, "sha256")
        if len(text) != 64 or any(c not in b"0123456789abcdefABCDEF" for c in text):
            raise _fail("SHA-256 digest must contain exactly 64 hexadecimal characters",
                        "VELA_SHA_INVALID_DIGEST")
        nodes.append((source, bytes.fromhex(text.decode())))

    if not isinstance(edges_in, list):
        raise _fail("manifest edges must be a list")
    edges = []
    for item in edges_in:
        if not isinstance(item, dict):
            raise _fail("manifest edge must be a mapping")
        for key in ("parent", "child", "occurrence"):
            if key not in item:
                raise _fail(f"manifest edge requires {key}")
        occurrence = _occurrence(item["occurrence"])
        edges.append((_source(item["parent"]), _source(item["child"]), occurrence))

    known = set()
    for source, _ in nodes:
        if source in known:
            raise _fail("resolved manifest contains a duplicate source; deduplicate nodes before hashing",
                        "VELA_SHA_DUPLICATE_SOURCE")
        known.add(source)
    for parent, child, _ in edges:
        if parent not in known or child not in known:
            raise _fail("resolved manifest edge has an unknown endpoint; include every endpoint in nodes",
                        "VELA_SHA_UNKNOWN_EDGE_ENDPOINT")
    return {"kind": "composition", "sha256": hashlib.sha256(stream(nodes, edges)).hexdigest()}


def stream(nodes: list, edges: list) -> bytes:
    """The canonical composition stream of already-validated nodes and edges."""
    parts = [struct.pack(">Q", len(IDENTIFIER)), IDENTIFIER, b"\x01", struct.pack(">Q", len(nodes))]
    for (kind, text), digest in nodes:
        parts += [struct.pack(">BQ", kind, len(text)), text, struct.pack(">Q", 32), digest]
    parts.append(struct.pack(">Q", len(edges)))
    for (pk, pt), (ck, ct), occurrence in edges:
        parts += [struct.pack(">BQ", pk, len(pt)), pt, struct.pack(">BQ", ck, len(ct)), ct,
                  struct.pack(">I", occurrence)]
    return b"".join(parts)


def manifest_stream(manifest: dict) -> bytes:
    """The stream of a valid manifest mapping (for the hashlib floor)."""
    def source(m: dict) -> tuple[int, bytes]:
        return KINDS[m["kind"]], m["value"].encode()

    nodes = [(source(n["source"]), bytes.fromhex(n["sha256"])) for n in manifest["nodes"]]
    edges = [(source(e["parent"]), source(e["child"]), e["occurrence"]) for e in manifest["edges"]]
    return stream(nodes, edges)


def generate(nodes: int, edges: int, *, seed: int = 1, path_length: int = 45) -> dict:
    """A valid manifest: `nodes` local paths of about `path_length` bytes and
    `edges` edges between them."""
    rng = random.Random(seed)
    sources = []
    for i in range(nodes):
        stem = f"templates/{i:06d}/"
        name = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz_") for _ in range(path_length - len(stem) - 5))
        sources.append({"kind": "local_path" if i % 8 else "url", "value": f"{stem}{name}.html"})
    return {
        "schema": "vela-sha/manifest/v1",
        "nodes": [{"source": s, "sha256": rng.randbytes(32).hex()} for s in sources],
        "edges": [
            {"parent": rng.choice(sources), "child": rng.choice(sources), "occurrence": rng.randrange(1 << 32)}
            for _ in range(edges)
        ],
    }
