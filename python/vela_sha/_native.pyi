from typing import final

from vela_sha.types import CompositionResult, Manifest, TemplateInput, TemplateResult

__all__ = ["VelaShaError", "calculate_hash", "calculate_composition_hash"]

@final
class VelaShaError(Exception):
    """Every validation and hashing failure of vela-sha.

    An Exception with a read-only `code` and `message`; str(error) is the
    message and error.args == (code, message). Raised by vela-sha, the code is
    one of vela_sha.types.ErrorCode:

    - VELA_SHA_INVALID_INPUT: the argument is not a dict, or the template input
      has no utf8_file_bytes, or its value is not bytes.
    - VELA_SHA_INVALID_MANIFEST: a manifest entry is missing or of the wrong
      type, the schema is empty, a source kind is neither "local_path" nor
      "url", or an occurrence is not an integer from 0 to 4294967295.
    - VELA_SHA_INVALID_UTF8: template bytes are not strict UTF-8.
    - VELA_SHA_INVALID_DIGEST: a node's sha256 is not 64 hexadecimal digits.
    - VELA_SHA_INVALID_CANONICAL_SOURCE: a source value is empty, or holds a
      backslash or a control character.
    - VELA_SHA_UNSUPPORTED_MANIFEST_SCHEMA: the schema is neither
      "vela-sha/manifest/v1" nor "v1".
    - VELA_SHA_DUPLICATE_SOURCE: two nodes have the same source.
    - VELA_SHA_UNKNOWN_EDGE_ENDPOINT: an edge's parent or child is the source
      of no node.

    Invalid UTF-8 found by TemplateHasher or hash_file also sets the instance
    attributes `offset` (the 0-based byte offset of the first invalid
    sequence), `line` (its 1-based line) and `filename`.
    The class cannot be subclassed; its instances pickle and copy.
    """

    def __new__(cls, code: str, message: str) -> VelaShaError:
        """Both texts by position: Exception's __init__ refuses keywords."""

    @property
    def code(self) -> str:
        """The error code: one of vela_sha.types.ErrorCode when vela-sha raised
        the error, whatever text was given when Python code made it."""

    @property
    def message(self) -> str:
        """The fixed English message, also str(error). It names no value from
        the input, only, for a missing or mistyped entry, the key."""

    # Set only on invalid UTF-8 found by TemplateHasher, hash_file and the
    # batch functions; read them with getattr(error, "offset", None) elsewhere.
    offset: int
    line: int
    # The file the invalid UTF-8 was found in, as the path was given (after
    # os.fspath), or a file object's name where that is a str or bytes; None
    # otherwise (calculate_hash, TemplateHasher, a file object without one).
    filename: str | bytes | None

def calculate_hash(input: TemplateInput) -> TemplateResult:
    """The template digest of one template file.

    `input` is a dict (or dict subclass, read from its own storage) whose
    "utf8_file_bytes" holds the file's bytes (bytes or a subclass; encode a str
    yourself); other keys are ignored. The bytes must be strict UTF-8. CR LF
    and lone CR are read as LF; nothing else changes: a BOM is kept and hashed,
    no final newline is added or removed.

    Returns a new dict {"kind": "template", "sha256": digest}: the SHA-256 of
    the normalised text as 64 lowercase hexadecimal digits.

    Raises VelaShaError with the code VELA_SHA_INVALID_INPUT when `input` is
    not a dict, has no "utf8_file_bytes" or holds no bytes there, and
    VELA_SHA_INVALID_UTF8 when the bytes are not valid UTF-8. A missing or
    extra argument raises TypeError; running out of memory, MemoryError.
    """

def calculate_composition_hash(input: Manifest) -> CompositionResult:
    """The composition digest of a resolved manifest.

    `input` is a dict with "schema" ("vela-sha/manifest/v1" or "v1"), "nodes"
    (a list of {"source": source, "sha256": template digest, 64 hexadecimal
    digits in either case}) and "edges" (a list of {"parent": source, "child":
    source, "occurrence": int from 0 to 4294967295}). A source is {"kind":
    "local_path" or "url", "value": str}, used exactly as given. Dicts and
    lists may be subclasses (read from their own storage); other keys are
    ignored, and nothing is changed.

    Returns a new dict {"kind": "composition", "sha256": digest}: the SHA-256,
    as 64 lowercase hexadecimal digits, of a canonical byte stream of the
    nodes and edges in the order given (README, "Building a manifest").

    Raises VelaShaError for the first problem: the schema, then each node,
    then each edge in list order (its occurrence before its parent and child),
    then duplicate sources, then unknown edge endpoints. Codes:
    VELA_SHA_INVALID_INPUT (not a dict), VELA_SHA_INVALID_MANIFEST (an entry
    missing or mistyped, an empty schema, an unknown kind, an occurrence out of
    range), VELA_SHA_UNSUPPORTED_MANIFEST_SCHEMA, VELA_SHA_INVALID_DIGEST,
    VELA_SHA_INVALID_CANONICAL_SOURCE (a value empty or holding a backslash or
    a control character), VELA_SHA_DUPLICATE_SOURCE (two nodes with one
    source), VELA_SHA_UNKNOWN_EDGE_ENDPOINT (an edge end that is no node's
    source). An exception raised by the caller's own objects during a lookup
    passes through; a missing or extra argument raises TypeError; running out
    of memory, MemoryError.
    """
