"""The shapes of vela-sha's inputs and results, for type checkers."""

from __future__ import annotations

from typing import List, Literal, TypedDict

__all__ = [
    "CompositionResult",
    "EdgeMapping",
    "ErrorCode",
    "Manifest",
    "ManifestProblem",
    "NodeMapping",
    "SchemaIdentifier",
    "SourceKind",
    "SourceMapping",
    "TemplateInput",
    "TemplateResult",
]

# Spelled as unions of single literals: the same type to a checker, and a
# Union at run time too, as stub checking expects of an alias.

ErrorCode = (
    Literal["VELA_SHA_INVALID_INPUT"]
    | Literal["VELA_SHA_INVALID_MANIFEST"]
    | Literal["VELA_SHA_INVALID_UTF8"]
    | Literal["VELA_SHA_INVALID_DIGEST"]
    | Literal["VELA_SHA_INVALID_CANONICAL_SOURCE"]
    | Literal["VELA_SHA_UNSUPPORTED_MANIFEST_SCHEMA"]
    | Literal["VELA_SHA_DUPLICATE_SOURCE"]
    | Literal["VELA_SHA_UNKNOWN_EDGE_ENDPOINT"]
)
"""The eight codes that a VelaShaError raised by vela-sha carries in `code`.

Each one's meaning is listed in VelaShaError's documentation.
"""

SourceKind = Literal["local_path"] | Literal["url"]
"""A source's "kind": a local path or a URL.

The same value under the two kinds names two different sources.
"""

SchemaIdentifier = Literal["vela-sha/manifest/v1"] | Literal["v1"]
"""A manifest's "schema": the identifier or its short form, which hash alike."""


class TemplateInput(TypedDict):
    """The argument of calculate_hash.

    utf8_file_bytes: a template file's bytes, strict UTF-8 (encode a str
    yourself). Other keys are ignored.
    """

    utf8_file_bytes: bytes


class SourceMapping(TypedDict):
    """Where a template comes from: a node's source, an edge's parent or child.

    kind: "local_path" or "url".
    value: the path or URL, used exactly as given and compared byte for byte
    (so "./t/3.html" and "t/3.html" are two sources); non-empty, with no
    backslash and no control character.
    """

    kind: SourceKind
    value: str


class NodeMapping(TypedDict):
    """One template of a manifest.

    source: where it comes from; no two nodes may have the same source.
    sha256: its template digest (calculate_hash's "sha256"), 64 hexadecimal
    digits in either case.
    """

    source: SourceMapping
    sha256: str


class EdgeMapping(TypedDict):
    """One include: the template `parent` includes the template `child`.

    parent, child: the sources of two nodes (or of one, for a self-include).
    occurrence: the caller's own number for repeated includes, from 0 to
    4294967295; for example, the 0-based position of this include among the
    parent's includes of that child.
    """

    parent: SourceMapping
    child: SourceMapping
    occurrence: int


class Manifest(TypedDict):
    """The argument of calculate_composition_hash: a resolved manifest.

    schema: "vela-sha/manifest/v1" or "v1".
    nodes: the templates; edges: the includes between them. Both are hashed in
    the order given, so build them in a deterministic order, for example
    nodes by (kind, value) and edges by (parent, child, occurrence).
    """

    schema: SchemaIdentifier
    nodes: List[NodeMapping]
    edges: List[EdgeMapping]


class TemplateResult(TypedDict):
    """What calculate_hash returns, keys in this order.

    kind: "template".
    sha256: the template digest, 64 lowercase hexadecimal digits.
    """

    kind: Literal["template"]
    sha256: str


class CompositionResult(TypedDict):
    """What calculate_composition_hash returns, keys in this order.

    kind: "composition".
    sha256: the composition digest, 64 lowercase hexadecimal digits.
    """

    kind: Literal["composition"]
    sha256: str


class _ProblemFields(TypedDict):
    where: str
    code: ErrorCode
    message: str


class ManifestProblem(_ProblemFields, total=False):
    """One problem of a manifest, as manifest_problems lists it.

    where: the entry, as a path such as "schema", "nodes[617].sha256" or
        "edges[37].child.value"; "" for the manifest itself.
    code, message: what calculate_composition_hash would raise for it.
    duplicate_of: for a duplicate source only, the `where` of the earlier node
        with the same source.
    """

    duplicate_of: str
