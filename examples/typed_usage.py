"""Typed use of vela-sha; checked with `mypy --strict examples/typed_usage.py`."""

from __future__ import annotations

from pathlib import Path

from vela_sha import (
    TemplateHasher,
    VelaShaError,
    calculate_composition_hash,
    calculate_hash,
    hash_file,
    hash_files,
    iter_hash_files,
    manifest_problems,
)
from vela_sha.resolve import ResolveError, manifest_for, manifests_for
from vela_sha.types import (
    CompositionResult,
    EdgeMapping,
    ErrorCode,
    Manifest,
    ManifestProblem,
    NodeMapping,
    TemplateResult,
)


def template_digest(path: Path) -> str:
    result: TemplateResult = calculate_hash({"utf8_file_bytes": path.read_bytes()})
    assert result["kind"] == "template"
    return result["sha256"]


def manifest_of(paths: list[Path]) -> Manifest:
    nodes: list[NodeMapping] = [
        {"source": {"kind": "local_path", "value": path.as_posix()}, "sha256": template_digest(path)}
        for path in paths
    ]
    edges: list[EdgeMapping] = [
        {"parent": nodes[0]["source"], "child": node["source"], "occurrence": index}
        for index, node in enumerate(nodes[1:])
    ]
    return {"schema": "vela-sha/manifest/v1", "nodes": nodes, "edges": edges}


def composition_digest(paths: list[Path]) -> str | ErrorCode:
    try:
        result: CompositionResult = calculate_composition_hash(manifest_of(paths))
    except VelaShaError as error:
        code: str = error.code
        return "VELA_SHA_DUPLICATE_SOURCE" if code == "VELA_SHA_DUPLICATE_SOURCE" else "VELA_SHA_INVALID_INPUT"
    return result["sha256"]


def streamed(chunks: list[bytes]) -> bytes:
    hasher = TemplateHasher()
    for chunk in chunks:
        hasher.update(memoryview(chunk))
    return hasher.copy().digest()


def failures(paths: list[Path]) -> dict[Path, str]:
    found: dict[Path, str] = {}
    for path, outcome in iter_hash_files(paths, jobs=2):
        if isinstance(outcome, Exception):
            found[path] = str(outcome)
    return found


def all_digests(paths: list[Path]) -> list[str]:
    return [result["sha256"] for result in hash_files(paths)] + [hash_file(paths[0])["sha256"]]


def locate(manifest: Manifest) -> list[str]:
    problems: list[ManifestProblem] = manifest_problems(manifest)
    return [f"{p['where']}: {p['code']}" + (f" (first: {p['duplicate_of']})" if "duplicate_of" in p else "")
            for p in problems]


def pinned_pages(pages: list[str], folders: list[Path]) -> dict[str, str]:
    """Each page's composition digest, or where it could not be resolved."""
    found = manifests_for(pages, search_path=folders, engine="jinja2", skip_dynamic=True, return_exceptions=True)
    digests: dict[str, str] = {}
    for page, outcome in found.items():
        if isinstance(outcome, ResolveError):
            digests[page] = f"{outcome.template}:{outcome.line}: {outcome.reference}"
        elif not isinstance(outcome, Exception):
            digests[page] = calculate_composition_hash(outcome)["sha256"]
    first: Manifest = manifest_for(pages[0], search_path=[str(folders[0])], engine="django")
    return digests | {"": first["schema"]}


if __name__ == "__main__":
    print(composition_digest(sorted(Path(".").glob("*.md"))))
