"""vela-sha manifest: the manifest of each page of a Jinja2 or Django template tree."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import tempfile
import warnings
from vela_sha.cli.names import quotef
from vela_sha.cli.output import UNWRITABLE, Output, UsageError, describe, reason
from vela_sha.cli.paths import Roots
from vela_sha.resolve import DynamicReferenceWarning, ResolveError, manifests_for
from vela_sha.types import Manifest

HELP = "write the manifest of each PAGE of a Jinja2 or Django template tree"
EPILOG = """\
Each PAGE is a template name, as the engine's loader takes it. The rules,
which decide the digest:
  - A name's file is the one in the first --path folder that has it; a node's
    source is the name without empty or '.' segments. Names with a '..'
    segment, absolute names and files that resolve outside their folder are
    refused.
  - References are read with the engine's own parser. Jinja2: extends,
    include, import and from ... import (extensions i18n, do, loopcontrols
    and debug, plus each --extension). Django: extends and include outside
    {% comment %} blocks, ./ and ../ names against the including template.
  - A constant name is an edge wherever it stands (in an if, a for, a block);
    of a Jinja2 list of names, the first that exists. A missing template is
    an error, except under Jinja2's 'ignore missing'.
  - A name that is an expression is an error; --skip-dynamic leaves it out,
    with a warning.
  - Nodes: the page and every template it reaches. Edges: one per reference,
    numbered per (parent, child) from 0 in reading order. Both sorted.
  - A Django template that extends its own name is refused.

One PAGE and no -o: its manifest on standard output. With -o OUTDIR: each
page to OUTDIR/PAGE.json, whole or not at all. A page that fails is reported
at TEMPLATE:LINE, the others are still written, and the exit status is 1.

Example: a site's templates over a theme's, pinned, then checked later.
  $ vela-sha manifest --engine jinja2 --path templates --path theme \\
      -o pins pages/index.html pages/about.html
  vela-sha: pages/about.html:2: VELA_SHA_UNRESOLVED_TEMPLATE: include
      'icons/' ~ icon: the template name is an expression, not a constant
  $ vela-sha manifest --engine jinja2 --path templates --path theme \\
      --skip-dynamic -o pins pages/about.html
  vela-sha: pages/about.html:2: warning: include 'icons/' ~ icon: the
      template name is an expression, not a constant; left out
  $ vela-sha verify pins/pages/index.html.json --root templates --root theme
  c7cd39a08ed5e05d84809e2ac44ad27d5b4b6ff01a6395503636b8cf7c033eb7  pins/pages/index.html.json
  base.html: OK
  pages/index.html: OK
  partials/logo.svg: OK
  partials/nav.html: OK"""


def configure(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("pages", nargs="+", metavar="PAGE", help="a template name, as the engine's loader takes it")
    sub.add_argument("--engine", required=True, choices=["jinja2", "django"], help="the engine whose rules apply")
    sub.add_argument("--path", metavar="DIR", dest="paths", action="append", required=True,
                     help="a folder of templates; given more than once, searched in order")
    sub.add_argument("--skip-dynamic", action="store_true",
                     help="leave out references whose name is an expression, with a warning, instead of failing")
    sub.add_argument("--extension", metavar="DOTTED", dest="extensions", action="append", default=[],
                     help="a Jinja2 extension to parse with, by its dotted name (more than once for several)")
    sub.add_argument("-o", "--output", metavar="OUTDIR",
                     help="write each page's manifest to OUTDIR/PAGE.json (needed for several pages)")


def run(out: Output, arguments: argparse.Namespace) -> None:
    if arguments.output is None and len(arguments.pages) > 1:
        raise UsageError("several pages need -o OUTDIR")
    if arguments.extensions and arguments.engine != "jinja2":
        raise UsageError("--extension is for the jinja2 engine only")
    for folder, unusable in Roots(arguments.paths).unusable():
        out.fail(folder, unusable, coded=False)
    if out.failed:
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DynamicReferenceWarning)
        try:
            found = manifests_for(arguments.pages, search_path=arguments.paths, engine=arguments.engine,
                                  skip_dynamic=arguments.skip_dynamic, extensions=arguments.extensions,
                                  return_exceptions=True)
        except ImportError as missing:  # the engine, named with its extra
            out.failed = True
            out.message(str(missing))
            return
        except (TypeError, ValueError) as error:
            raise UsageError(str(error)) from None
        except OSError as error:  # a folder gone since it was looked at
            out.fail(error.filename or arguments.paths[0], error, coded=False)
            return
    for warning in caught:
        if isinstance(warning.message, DynamicReferenceWarning):
            _, shown = _named(warning.message.template, warning.message.line, "")
            out.message(f"warning: {warning.message.message}", shown=shown)
        else:
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    umask = os.umask(0)
    os.umask(umask)
    for page, outcome in found.items():
        if isinstance(outcome, Exception):
            _fail(out, page, outcome)
        elif arguments.output is None:
            text = json.dumps(outcome) if out.as_json else json.dumps(outcome, indent=2)  # --json: one line
            out.write(text.encode() + b"\n")
        else:
            path = os.path.join(arguments.output, _canonical(page) + ".json")
            try:
                _write_whole(path, outcome, 0o666 & ~umask)
            except OSError as error:
                out.failed = True
                out.message(error.strerror or str(error), path)
                if out.as_json:
                    out.json({"name": path, "page": page,
                              "error": {"code": UNWRITABLE, "message": error.strerror or str(error)}})


def _canonical(page: str) -> str:
    # A page that was resolved has no '..' segment and is not absolute.
    return "/".join(part for part in page.split("/") if part not in ("", "."))


def _named(template: str | None, line: int | None, otherwise: str) -> tuple[str, str]:
    """TEMPLATE:LINE (or `otherwise`) as a record names it, and as a message shows it."""
    if template is None:
        return otherwise, quotef(otherwise)
    where = "" if line is None else f":{line}"
    return template + where, quotef(template) + where


def _fail(out: Output, page: str, error: Exception) -> None:
    """A page that failed, named where the problem stands: a template's line, or
    the file that is not UTF-8 or cannot be read, as `template` names it."""
    out.failed = True
    if isinstance(error, ResolveError):
        name, shown = _named(error.template, error.line, page)
    else:
        filename = getattr(error, "filename", None)
        name, shown = _named(None if filename is None else os.fsdecode(filename), None, page)
    out.message(reason(error), shown=shown)
    if out.as_json:
        code, message, detail = describe(error, "")
        out.json({"name": name, "page": page, "error": {"code": code, "message": message, **detail}})


def _write_whole(path: str, manifest: Manifest, mode: int) -> None:
    """`manifest` to `path` whole or not at all: written beside it under another
    name, flushed to disk, then renamed over it."""
    folder = os.path.dirname(path) or "."
    os.makedirs(folder, exist_ok=True)
    fd, temporary = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        with open(fd, "wb") as file:
            os.fchmod(fd, mode)  # as open() would have made it; mkstemp's is 0600
            file.write(json.dumps(manifest, indent=2).encode() + b"\n")
            file.flush()
            os.fsync(fd)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
