"""Template trees resolved into manifests: each rule on small trees, then two real trees."""

import importlib.util
import pickle
from pathlib import Path

import pytest

from vela_sha import calculate_composition_hash, calculate_hash, hash_file
from vela_sha.resolve import DynamicReferenceWarning, ResolveError, manifest_for, manifests_for

HAVE = {engine: importlib.util.find_spec(engine) is not None for engine in ("jinja2", "django")}
NEEDS = {engine: pytest.mark.skipif(not HAVE[engine], reason=f"needs pip install 'vela-sha[{engine}]'") for engine in HAVE}


def row(engine, *values):
    """A test case for `engine`, skipped with the reason when the engine is absent."""
    return pytest.param(engine, *values, marks=NEEDS[engine])


BOTH = pytest.mark.parametrize("engine", [row("jinja2"), row("django")])

if HAVE["jinja2"]:
    import jinja2.ext

    class PinExtension(jinja2.ext.Extension):
        """{% pin "name" %}: an include written as a tag of its own."""
        tags = {"pin"}

        def parse(self, parser):
            lineno = next(parser.stream).lineno
            return jinja2.nodes.Include(parser.parse_expression(), True, False, lineno=lineno)


def write(root, files):
    for name, body in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(body if isinstance(body, bytes) else body.encode())
    return root


def graph(manifest):
    """(node names, (parent, child, occurrence) edges)."""
    return ([node["source"]["value"] for node in manifest["nodes"]],
            [(e["parent"]["value"], e["child"]["value"], e["occurrence"]) for e in manifest["edges"]])


def children(tmp_path, engine, text, page="p.html", files=(), **options):
    """The children of `page` (text given), in a tree that also holds b.html, d/b.html and d/e/b.html,
    and out.html, a link to a file outside it."""
    root = write(tmp_path / "t", {page: text, "b.html": "b", "d/b.html": "db", "d/e/b.html": "deb", **dict(files)})
    (root / "out.html").symlink_to(write(tmp_path, {"out.html": "x"}) / "out.html")
    return [child for parent, child, _ in graph(manifest_for(page, search_path=[root], engine=engine, **options))[1]
            if parent == page]


NAMES = [("b.html", ["b.html"]), ("d//./b.html", ["d/b.html"]), ("./d/e/b.html", ["d/e/b.html"]),
         ("../b.html", ""), ("/b.html", "an absolute name"), ("d\\\\b.html", "a backslash"),
         ("out.html", "resolves outside its folder"), ("x.html", "include 'x.html': template not found")]


# Each page's children, or the error it raises (a pattern). Names: canonical forms, and names that
# leave their folder. References: read by the engine's parser; static ones count wherever they stand.
@pytest.mark.parametrize("engine, text, expected", [
    *[row(engine, f'\n{{% include "{name}" %}}', outcome if isinstance(outcome, list) else f"^p.html:2: .*{outcome}")
      for engine in ("jinja2", "django") for name, outcome in NAMES],
    row("jinja2", '{% extends "b.html" %}{% include "b.html" %}{% import "b.html" as m %}{% from "b.html" import x %}',
        ["b.html"] * 4),
    row("jinja2", '{% raw %}{% include "b.html" %}{% endraw %}{{ "{% include \'b.html\' %}" }}'
        '{# {% include "b.html" %} #}', []),
    row("jinja2", '{% do x.append(1) %}{% for a in b %}{% break %}{% endfor %}{% debug %}{% trans %}t{% endtrans %}', []),
    row("jinja2", '{% if a %}{% include "b.html" %}{% else %}{% for x in y %}{% block c %}{% include "d/b.html" %}'
        '{% endblock %}{% endfor %}{% endif %}', ["b.html", "d/b.html"]),
    row("jinja2", '{% include ["x.html", "d/b.html", "b.html"] %}{% include ("x.html",) ignore missing %}'
        '{% include "x.html" ignore missing %}', ["d/b.html"]),
    row("django", '{% comment "why" %}{% include "b.html" %}{% endcomment %}{# {% include "b.html" #}'
        '{% verbatim %}{% include "b.html" %}{% endverbatim %}', []),
    row("django", '{% extends "b.html" %}{% block x %}{% if a %}{% include \'d/b.html\' with a=1 only %}{% endif %}'
        '{% endblock %}', ["b.html", "d/b.html"]),
    # Bad input: the engine's own syntax errors, at the engine's line.
    row("jinja2", "\n\n{% if %}", "^p.html:3: syntax error: "),
    row("jinja2", "a\r\n{{ x }\r\n", "^p.html:2: syntax error: "),
    row("django", "\n{% extends %}", "^p.html:2: syntax error: 'extends' takes one argument"),
    row("django", '\r\n{% include "b.html" bad %}', "^p.html:2: syntax error: Unknown argument for 'include' tag"),
    row("django", "\n{% comment %}{% include 'b.html' %}", "^p.html:2: syntax error: Unclosed tag"),
    row("django", '{% include "../../b.html" %}', "^p.html:1: syntax error: The relative path"),
])
def test_names_references_and_syntax_errors(tmp_path, engine, text, expected):
    if isinstance(expected, list):
        assert children(tmp_path, engine, text) == expected
        return
    with pytest.raises(ResolveError, match=expected):
        children(tmp_path, engine, text)


@pytest.mark.parametrize("text, expected", [
    ('{% extends "./b.html" %}', ["d/b.html"]), ('{% include "./p.html" %}', ["d/p.html"]),
    ('{% include "../b.html" %}{% include "./e/b.html" %}', ["b.html", "d/e/b.html"])])
@NEEDS["django"]
def test_django_relative_names_resolve_against_the_template(tmp_path, text, expected):
    assert children(tmp_path, "django", text, page="d/p.html") == expected


@NEEDS["jinja2"]
def test_jinja2_extensions_and_the_users_syntax(tmp_path):
    assert children(tmp_path, "jinja2", '{% pin "b.html" %}', extensions=["test_resolve.PinExtension"]) == ["b.html"]
    env = jinja2.Environment(block_start_string="<%", block_end_string="%>", line_statement_prefix="#",
                             loader=jinja2.DictLoader({}))
    text = '<% include "b.html" %>\n# include "d/b.html"\n{% include "x.html" %}\n'
    assert children(tmp_path / "again", "jinja2", text, environment=env) == ["b.html", "d/b.html"]


# A name that is an expression fails, or is left out with a warning.
@pytest.mark.parametrize("engine, text, reference", [
    row("jinja2", '{% include ".icons/" ~ icon ~ ".svg" %}', "'.icons/' ~ icon ~ '.svg'"),
    row("jinja2", "{% extends layout %}", "layout"), row("jinja2", "{% import 42 as x %}", "42"),
    row("django", "{% include name %}", "name"), row("django", '{% extends "b.html"|lower %}', '"b.html"|lower'),
    row("django", '{% include _("b.html") %}', '_("b.html")'),
])
def test_dynamic_references(tmp_path, engine, text, reference):
    text = '{% include "b.html" %}\n' + text
    with pytest.raises(ResolveError, match="^p.html:2: .* the template name is an expression") as info:
        children(tmp_path, engine, text)
    with pytest.warns(DynamicReferenceWarning) as caught:
        assert children(tmp_path / "again", engine, text, skip_dynamic=True) == ["b.html"]
    [warning] = caught
    assert warning.filename == __file__
    for raised in (info.value, warning.message):  # each as it comes back from another process
        copy = pickle.loads(pickle.dumps(raised))
        assert (type(copy), str(copy), copy.template, copy.line, copy.reference) == (
            type(raised), str(raised), "p.html", 2, reference)


# The first folder that has a name gives its file; the manifest is sorted, counts references and keeps cycles.
@BOTH
def test_manifest_from_a_search_path_sorted_with_counts_and_cycles(tmp_path, engine):
    files = {"p.html": '{% include "é.html" %}{% include "Z.html" %}{% include "é.html" %}{% include "p.html" %}',
             "é.html": '{% include "z/a.html" %}', "z/a.html": '{% include "é.html" %}x\r\n', "unused.html": ""}
    first = write(tmp_path / "a", files)
    second = write(tmp_path / "b", {"Z.html": "z", "é.html": "shadowed", "p.html": "shadowed"})
    manifest = manifest_for("p.html", search_path=[first, str(second)], engine=engine)
    assert list(manifest) == ["schema", "nodes", "edges"] and manifest["schema"] == "vela-sha/manifest/v1"
    order = ["Z.html", "p.html", "z/a.html", "é.html"]  # UTF-8 bytes
    assert graph(manifest) == (order, [("p.html", "Z.html", 0), ("p.html", "p.html", 0), ("p.html", "é.html", 0),
                                       ("p.html", "é.html", 1), ("z/a.html", "é.html", 0), ("é.html", "z/a.html", 0)])
    assert [n["sha256"] for n in manifest["nodes"]] == [
        calculate_hash({"utf8_file_bytes": {"Z.html": "z", **files}[name].encode()})["sha256"] for name in order]
    calculate_composition_hash(manifest)


@pytest.mark.parametrize("change, error, match", [
    ({"engine": "mako"}, ValueError, "engine must be 'jinja2' or 'django', not 'mako'"),
    ({"engine": None}, TypeError, "engine must be"),
    ({"search_path": "t"}, TypeError, "search_path must be a sequence of folders, not a single path"),
    ({"search_path": [b"t"]}, TypeError, r"search_path\[0\] must be a str or os.PathLike"),
    ({"search_path": []}, ValueError, "search_path must name at least one folder"),
    ({"search_path": ["nowhere"]}, FileNotFoundError, "search_path folder not found"),
    ({"page": b"p.html"}, TypeError, "page must be a str"),
    ({"page": "../p.html"}, ResolveError, "^page '../p.html': a '..' segment"),
    ({"page": "q.html"}, ResolveError, "^page 'q.html': template not found"),
    pytest.param({"page": "admin/base.html", "engine": "django", "search_path": ["t", "app"]}, ResolveError,
                 "^admin/base.html:1: extends 'admin/base.html': .* own name", marks=NEEDS["django"]),
    ({"extensions": "jinja2.ext.do"}, TypeError, "extensions must be a sequence"),
    ({"engine": "django", "extensions": ["jinja2.ext.do"]}, ValueError, "for the jinja2 engine only"),
    pytest.param({"extensions": ["jinja2.ext.nope"]}, ValueError, "extension 'jinja2.ext.nope' cannot be imported",
                 marks=NEEDS["jinja2"]),
])
def test_bad_arguments_and_pages_say_which(tmp_path, monkeypatch, change, error, match):
    monkeypatch.chdir(write(tmp_path, {"t/p.html": "", "t/admin/base.html": '{% extends "admin/base.html" %}',
                                       "app/admin/base.html": "the app's"}))
    arguments = {"page": "p.html", "search_path": ["t"], "engine": "jinja2", **change}
    with pytest.raises(error, match=match) as info:
        manifest_for(arguments.pop("page"), **arguments)
    assert not match.startswith("^page") or (info.value.template, info.value.reference) == (None, change["page"])


@NEEDS["jinja2"]
def test_manifests_for_parses_each_template_once_and_fails_per_page(tmp_path):
    parsed = []

    class Counting(jinja2.Environment):
        def parse(self, source, name=None, filename=None):
            parsed.append(name)
            return super().parse(source, name, filename)

    root = write(tmp_path, {"a.html": '{% include "c.html" %}', "b.html": '{% extends "c.html" %}',
                            "c.html": '{% include "d.html" %}', "d.html": "", "e.html": "{% include x %}"})
    pages = ["b.html", "e.html", "a.html", "b.html", "missing.html"]
    found = manifests_for(pages, search_path=[root], engine="jinja2", environment=Counting(), return_exceptions=True)
    assert sorted(parsed) == ["a.html", "b.html", "c.html", "d.html", "e.html"]
    assert list(found) == ["b.html", "e.html", "a.html", "missing.html"]
    assert found["a.html"] == manifest_for("a.html", search_path=[root], engine="jinja2")
    assert [type(found[page]) for page in ("e.html", "missing.html")] == [ResolveError, ResolveError]
    with pytest.raises(ResolveError, match="^e.html:1: "):
        manifests_for(pages, search_path=[root], engine="jinja2", jobs=2)


# Two real trees: every page pinned, every pinned file as its loader finds it, and a few edges known.
@pytest.mark.parametrize("engine, package, folders, edges", [
    ("django", "django", ["contrib/admin/templates", "forms/templates"], {
        ("admin/change_form.html", "admin/base_site.html", 0), ("admin/base_site.html", "admin/base.html", 0),
        ("admin/change_form.html", "admin/includes/fieldset.html", 0),
        ("admin/widgets/date.html", "django/forms/widgets/date.html", 0)}),  # from the second folder
    ("jinja2", "sphinx", ["themes/basic"], {("page.html", "layout.html", 0), ("layout.html", "relations.html", 0)}),
])
def test_real_trees(engine, package, folders, edges):
    module = pytest.importorskip(package, reason=f"needs {package} (pip install 'vela-sha[test]')")
    pytest.importorskip(engine, reason=f"needs pip install 'vela-sha[{engine}]'")
    folders = [Path(module.__file__).parent / folder for folder in folders]
    pages = sorted(p.relative_to(folders[0]).as_posix() for p in folders[0].rglob("*.html"))
    with pytest.warns(DynamicReferenceWarning):
        found = manifests_for(pages, search_path=folders, engine=engine, skip_dynamic=True)
    assert list(found) == pages and len(pages) > 15
    assert edges <= {edge for manifest in found.values() for edge in graph(manifest)[1]}
    for manifest in found.values():
        calculate_composition_hash(manifest)
        for node in manifest["nodes"]:
            path = next(f / node["source"]["value"] for f in folders if (f / node["source"]["value"]).is_file())
            assert hash_file(path)["sha256"] == node["sha256"]
