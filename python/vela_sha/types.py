"""The shapes of vela-sha's inputs and results, for type checkers."""

from __future__ import annotations

from typing import List, Literal, TypedDict

__all__ = [
    "CompositionResult",
    "EdgeMapping",
    "ErrorCode",
    "Manifest",
    "NodeMapping",
    "SchemaIdentifier",
    "SourceKind",
    "SourceMapping",
    "TemplateInput",
    "TemplateResult",
]

# Spelled as unions of single literals: the same type to a checker, and a
# Union at run time too, as stub checking expects of an alias.

#: The eight codes a VelaShaError raised by the module carries.
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

SourceKind = Literal["local_path"] | Literal["url"]
SchemaIdentifier = Literal["vela-sha/manifest/v1"] | Literal["v1"]


class TemplateInput(TypedDict):
    utf8_file_bytes: bytes


class SourceMapping(TypedDict):
    kind: SourceKind
    value: str


class NodeMapping(TypedDict):
    source: SourceMapping
    sha256: str


class EdgeMapping(TypedDict):
    parent: SourceMapping
    child: SourceMapping
    occurrence: int


class Manifest(TypedDict):
    schema: SchemaIdentifier
    nodes: List[NodeMapping]
    edges: List[EdgeMapping]


class TemplateResult(TypedDict):
    kind: Literal["template"]
    sha256: str


class CompositionResult(TypedDict):
    kind: Literal["composition"]
    sha256: str
