"""Manifests of real template trees, resolved as Jinja2 or Django resolves them.

    manifest = manifest_for("admin/change_form.html", search_path=["templates", admin_templates],
                            engine="django")
    calculate_composition_hash(manifest)

The references between templates (`extends`, `include`, Jinja2's `import` and
`from ... import`) are read with the engine's own parser, each name is looked
up in the first folder of `search_path` that has it, as the engines'
filesystem loaders do, and every file is pinned by its template digest. The
engines are optional: `pip install 'vela-sha[jinja2]'` or `'vela-sha[django]'`;
importing this module needs neither.
"""

from __future__ import annotations

import errno
import os
import warnings
from typing import TYPE_CHECKING, Iterable, Literal, Sequence, overload

from vela_sha import VelaShaError, calculate_hash, hash_file, hash_files
from vela_sha._engines import JINJA2_EXTENSIONS, Reader, SyntaxProblem, reader
from vela_sha.types import EdgeMapping, Manifest, NodeMapping, SourceMapping, TemplateResult

if TYPE_CHECKING:
    import jinja2

__all__ = ["DynamicReferenceWarning", "Engine", "ResolveError", "manifest_for", "manifests_for"]

Engine = Literal["jinja2"] | Literal["django"]
"""The template engines whose references can be resolved."""

SCHEMA: Literal["vela-sha/manifest/v1"] = "vela-sha/manifest/v1"


class _Located(Exception):
    """A message about a reference: where it stands, and the name as written."""

    message: str
    template: str | None
    line: int | None
    reference: str | None

    def __init__(self, message: str, template: str | None = None, line: int | None = None,
                 reference: str | None = None) -> None:
        # All four in args, so that the default pickling rebuilds the same object.
        super().__init__(message, template, line, reference)
        self.message, self.template, self.line, self.reference = message, template, line, reference

    def __str__(self) -> str:
        where = [str(part) for part in (self.template, self.line) if part is not None]
        return ":".join([*where, " " + self.message]) if where else self.message


class ResolveError(_Located):
    """A page whose manifest cannot be made: `TEMPLATE:LINE: what is wrong`.

    template: the canonical name of the template in which the problem stands.
    line: its 1-based line there.
    reference: the referenced name as written.
    message: what is wrong. Each attribute is None where it does not apply
    (a page that is not found stands in no template).
    """


class DynamicReferenceWarning(_Located, UserWarning):
    """A reference whose name is an expression, left out under skip_dynamic.

    Its template, line and reference (the expression) are attributes, as for
    ResolveError.
    """


def _canonical(name: str) -> tuple[str, str | None]:
    """(the name without empty and "." segments, why it cannot name a template or None)."""
    parts = [part for part in name.split("/") if part not in ("", ".")]
    return "/".join(parts), _name_problem(name, parts)


def _name_problem(name: str, parts: list[str]) -> str | None:
    if name.startswith("/"):
        return "an absolute name leaves the search path"
    if ".." in parts:
        return "a '..' segment leaves the search path"
    if not parts:
        return "an empty name"
    if "\\" in name or any(ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F for c in name):
        return "a name with a backslash or a control character cannot be a manifest source"
    try:
        name.encode()
    except UnicodeEncodeError:
        return "a name that is not Unicode text cannot be a manifest source"
    return None


class _Tree:
    """Templates of one search path, each found, read and parsed once."""

    def __init__(self, folders: list[str], read: Reader, engine: str, skip_dynamic: bool) -> None:
        self.folders, self.read, self.engine, self.skip_dynamic = folders, read, engine, skip_dynamic
        self.real_folders: dict[str, str] = {}
        self.files: dict[str, tuple[str | None, str | None]] = {}  # canonical name -> (path, problem)
        self.children: dict[str, list[str] | BaseException] = {}  # canonical name -> children, or its error
        self.warnings: list[DynamicReferenceWarning] = []

    def find(self, canonical: str) -> tuple[str | None, str | None]:
        """(path of the first folder's file or None, or why it may not be used)."""
        found = self.files.get(canonical)
        if found is None:
            found = None, None
            for folder in self.folders:
                path = os.path.join(folder, canonical)
                if os.path.isfile(path):
                    real = self.real_folders.get(folder) or self.real_folders.setdefault(folder, os.path.realpath(folder))
                    inside = os.path.commonpath([real, os.path.realpath(path)]) == real
                    found = (path, None) if inside else (None, "resolves outside its folder (a symbolic link points out)")
                    break
            self.files[canonical] = found
        return found

    def page(self, page: str) -> tuple[list[str], list[tuple[str, str, int]]]:
        """The page's templates and its (parent, child, occurrence) edges, both in manifest order."""
        canonical, problem = _canonical(page)
        path, problem = (None, problem) if problem else self.find(canonical)
        if path is None:
            raise ResolveError(f"page {page!r}: {problem or 'template not found in the search path'}",
                               reference=page)
        order, seen, edges = [canonical], {canonical}, []
        for parent in order:  # grows as templates are found: each is read once, in reading order
            count: dict[str, int] = {}
            for child in self.references(parent):
                edges.append((parent, child, count.get(child, 0)))
                count[child] = count.get(child, 0) + 1
                if child not in seen:
                    seen.add(child)
                    order.append(child)
        # str order is UTF-8 byte order (every name encodes); all nodes are local paths.
        return sorted(order), sorted(edges)

    def references(self, name: str) -> list[str]:
        """The canonical names `name` references, in reading order; the first problem is raised."""
        outcome = self.children.get(name)
        if outcome is None:
            try:
                outcome = self._resolve(name)
            except (ResolveError, OSError, VelaShaError) as error:
                outcome = error
            self.children[name] = outcome
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    def _resolve(self, name: str) -> list[str]:
        path = self.find(name)[0]
        assert path is not None
        with open(path, "rb") as file:
            data = file.read()
        try:
            text = data.decode()
        except UnicodeDecodeError:
            hash_file(path)  # raises the VelaShaError that locates the fault and names the file
            calculate_hash({"utf8_file_bytes": data})  # for a file that has changed since
            raise
        children = []
        try:
            refs = self.read(name, text)
        except SyntaxProblem as error:
            raise ResolveError(f"syntax error: {error.message}", name, error.line) from None
        for ref in refs:
            if ref.names is None:
                problem = f"{ref.kind} {ref.shown}: the template name is an expression, not a constant"
                if not self.skip_dynamic:
                    raise ResolveError(problem, name, ref.line, ref.reference)
                self.warnings.append(DynamicReferenceWarning(problem + "; left out", name, ref.line, ref.reference))
                continue
            child = None
            for candidate in ref.names:
                canonical, bad = _canonical(candidate)
                found, bad = (None, bad) if bad else self.find(canonical)
                if bad:
                    raise ResolveError(f"{ref.kind} {ref.shown}: {bad}", name, ref.line, ref.reference)
                if found is not None:
                    child = canonical
                    break
            if child is None and ref.ignore_missing:
                continue
            if child is None:
                raise ResolveError(f"{ref.kind} {ref.shown}: template not found in the search path",
                                   name, ref.line, ref.reference)
            if child == name and ref.kind == "extends" and self.engine == "django":
                raise ResolveError(f"extends {ref.shown}: a template that extends its own name (an override of "
                                   "the next folder's template) would give one name to two files",
                                   name, ref.line, ref.reference)
            children.append(child)
        return children


def _folders(search_path: object) -> list[str]:
    if isinstance(search_path, (str, bytes, os.PathLike)):
        raise TypeError("search_path must be a sequence of folders, not a single path")
    if not isinstance(search_path, Iterable):
        raise TypeError(f"search_path must be a sequence of folders, not {type(search_path).__name__}")
    folders = []
    for index, folder in enumerate(search_path):
        path = os.fspath(folder) if isinstance(folder, (str, os.PathLike)) else None
        if not isinstance(path, str):
            raise TypeError(f"search_path[{index}] must be a str or os.PathLike naming a folder, "
                            f"not {type(folder if path is None else path).__name__}")
        if not os.path.isdir(path):
            code = errno.ENOTDIR if os.path.exists(path) else errno.ENOENT
            raise (NotADirectoryError if code == errno.ENOTDIR else FileNotFoundError)(
                code, "search_path folder not found", path)
        folders.append(path)
    if not folders:
        raise ValueError("search_path must name at least one folder")
    return folders


def _resolve_pages(pages: object, search_path: object, engine: object, skip_dynamic: bool, extensions: object,
                   environment: object, jobs: object) -> tuple[dict[str, Manifest | Exception], list[Warning]]:
    """Each page's manifest or failure, and the warnings to emit."""
    if isinstance(pages, (str, bytes)) or not isinstance(pages, Iterable):
        raise TypeError("pages must be an iterable of template names")
    pages = list(pages)
    for page in pages:
        if not isinstance(page, str):
            raise TypeError(f"a page must be a str (a template name), not {type(page).__name__}")
    if jobs is not None and (not isinstance(jobs, int) or isinstance(jobs, bool)):
        raise TypeError(f"jobs must be an int, not {type(jobs).__name__}")
    if jobs is not None and jobs < 1:
        raise ValueError("jobs must be at least 1")
    tree = _Tree(_folders(search_path), reader(engine, extensions, environment), str(engine), bool(skip_dynamic))
    graphs: dict[str, tuple[list[str], list[tuple[str, str, int]]] | Exception] = {}
    for page in pages:
        if page not in graphs:
            try:
                graphs[page] = tree.page(page)
            except (ResolveError, OSError, VelaShaError) as error:
                graphs[page] = error
    names = sorted({name for graph in graphs.values() if not isinstance(graph, Exception) for name in graph[0]})
    paths = [tree.find(name)[0] or name for name in names]
    outcomes = hash_files(paths, jobs=jobs, return_exceptions=True)
    digests = dict(zip(names, outcomes))
    manifests = {page: graph if isinstance(graph, Exception) else _manifest(*graph, digests)
                 for page, graph in graphs.items()}
    return manifests, list(tree.warnings)


def _issue(found: list[Warning]) -> None:
    for warning in found:
        warnings.warn(warning, stacklevel=3)  # at the caller of manifest_for or manifests_for


def _manifest(names: list[str], edges: list[tuple[str, str, int]],
              digests: dict[str, TemplateResult | Exception]) -> Manifest | Exception:
    hashed = []
    for name in names:  # the failure hash_files would raise for this page's files alone
        digest = digests[name]
        if isinstance(digest, Exception):
            return digest
        hashed.append(digest["sha256"])
    sources: dict[str, SourceMapping] = {name: {"kind": "local_path", "value": name} for name in names}
    nodes: list[NodeMapping] = [{"source": sources[name], "sha256": sha256} for name, sha256 in zip(names, hashed)]
    links: list[EdgeMapping] = [{"parent": sources[parent], "child": sources[child], "occurrence": occurrence}
                                for parent, child, occurrence in edges]
    return {"schema": SCHEMA, "nodes": nodes, "edges": links}


def manifest_for(page: str, /, *, search_path: Sequence[str | os.PathLike[str]], engine: Engine,
                 skip_dynamic: bool = False, extensions: Sequence[str] = (),
                 environment: jinja2.Environment | None = None) -> Manifest:
    """The manifest of `page`: it and every template it reaches, with one edge per reference.

    `page` is a template name, as the engine's loader takes it. Each name is
    looked up in the first folder of `search_path` that has it; a node's
    source is its canonical name (no empty or "." segments), its digest the
    file's template digest. Nodes are sorted by source and edges by (parent,
    child, occurrence), the occurrence counting the parent's references to
    that child in reading order; cycles and self-references are kept.

    References are read with the engine's parser: Jinja2's `extends`,
    `include`, `import` and `from ... import` (with the extensions i18n, do,
    loopcontrols and debug, plus the dotted names in `extensions`, or with
    the syntax and extensions of `environment`, whose loader is ignored);
    Django's `extends` and `include`, outside comment blocks, with relative
    names resolved as Django resolves them. A name that is an expression
    raises ResolveError, or with `skip_dynamic` is left out with a
    DynamicReferenceWarning. A missing template raises ResolveError, except
    under Jinja2's `ignore missing`; so do a syntax error, a name that leaves
    its folder, and a Django template that extends its own name.

    A file that is not UTF-8 raises VelaShaError (with `offset`, `line` and
    the path in `filename`); one that cannot be read, OSError.
    """
    if not isinstance(page, str):
        raise TypeError(f"page must be a str (a template name), not {type(page).__name__}")
    manifests, found = _resolve_pages([page], search_path, engine, skip_dynamic, extensions, environment, None)
    _issue(found)
    outcome = manifests[page]
    if isinstance(outcome, Exception):
        raise outcome
    return outcome


@overload
def manifests_for(pages: Iterable[str], /, *, search_path: Sequence[str | os.PathLike[str]], engine: Engine,
                  skip_dynamic: bool = False, extensions: Sequence[str] = (),
                  environment: jinja2.Environment | None = None, jobs: int | None = None,
                  return_exceptions: Literal[False] = False) -> dict[str, Manifest]: ...
@overload
def manifests_for(pages: Iterable[str], /, *, search_path: Sequence[str | os.PathLike[str]], engine: Engine,
                  skip_dynamic: bool = False, extensions: Sequence[str] = (),
                  environment: jinja2.Environment | None = None, jobs: int | None = None,
                  return_exceptions: bool) -> dict[str, Manifest | Exception]: ...
def manifests_for(pages: Iterable[str], /, *, search_path: Sequence[str | os.PathLike[str]], engine: Engine,
                  skip_dynamic: bool = False, extensions: Sequence[str] = (),
                  environment: jinja2.Environment | None = None, jobs: int | None = None,
                  return_exceptions: bool = False) -> dict[str, Manifest] | dict[str, Manifest | Exception]:
    """The manifest of each page, keyed by the pages as given, in their order.

    The same manifests as one manifest_for per page, but each template is
    read, parsed and hashed once, the files on `jobs` threads (default: the
    CPUs this process may use). By default the failure of the first failing
    page is raised once all are done; with return_exceptions=True each
    failure (ResolveError, VelaShaError, OSError) takes its page's place.
    """
    results, found = _resolve_pages(pages, search_path, engine, skip_dynamic, extensions, environment, jobs)
    _issue(found)
    if not return_exceptions:
        for outcome in results.values():
            if isinstance(outcome, Exception):
                raise outcome
    return results
