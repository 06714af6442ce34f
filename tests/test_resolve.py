"""Template trees resolved into manifests: each rule on small trees, then two real trees."""

import importlib.util
import pickle
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

from vela_sha import VelaShaError, calculate_composition_hash, calculate_hash, hash_file
from vela_sha.resolve import DynamicReferenceWarning, ResolveError, manifest_for, manifests_for


HAVE = {engine: importlib.util.find_spec(engine) is not None for engine in ("jinja2", "django")}
NEEDS = {engine: pytest.mark.skipif(not HAVE[engine], reason=f"needs pip install 'vela-sha[{engine}]'") for engine in HAVE}


def row(engine, *values):
    """A test case for `engine`, skipped with the reason when the engine is absent."""
    return pytest.param(engine, *values, marks=NEEDS[engine])


BOTH = pytest.mark.parametrize("engine", [row("jinja2"), row("django")])

if HAVE["jinja2"]:
    import jinja2.ext
    from jinja2 import nodes

    class PinExtension(jinja2.ext.Extension):
        """{% pin "name" %}: an include written as a tag of its own."""
        tags = {"pin"}

        def parse(self, parser):
            lineno = next(parser.stream).lineno
            return nodes.Include(parser.parse_expression(), True, False, lineno=lineno)


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
    """The children of `page` (text given), in a tree that also holds b.html, d/b.html and d/e/b.html."""
    root = write(tmp_path / "t", {page: text, "b.html": "b", "d/b.html": "db", "d/e/b.html": "deb", **dict(files)})
    return [child for parent, child, _ in graph(manifest_for(page, search_path=[root], engine=engine, **options))[1]
            if parent == page]


def test_import_needs_no_engine_and_a_missing_one_names_its_extra(tmp_path):
    code = ("import sys; sys.modules['jinja2'] = sys.modules['django'] = None\n"
            "import vela_sha.resolve as r\n"
            "for engine in ('jinja2', 'django'):\n"
            "    try: r.manifest_for('p.html', search_path=['.'], engine=engine)\n"
            "    except ImportError as error: print(error)\n")
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, check=True)
    assert run.stdout == ("the jinja2 engine needs Jinja2: pip install 'vela-sha[jinja2]'\n"
                          "the django engine needs Django: pip install 'vela-sha[django]'\n")


@pytest.mark.parametrize("kind", [ResolveError, DynamicReferenceWarning])
@pytest.mark.parametrize("args, text", [(("bad", "a.html", 3, "b"), "a.html:3: bad"), (("bad", "a.html"), "a.html: bad"),
                                        (("bad", None, None, "p"), "bad")])
def test_errors_read_template_line_and_pickle(kind, args, text):
    error = pickle.loads(pickle.dumps(kind(*args)))
    assert (type(error), str(error), error.message) == (kind, text, "bad")
    assert (error.template, error.line, error.reference) == (args + (None, None))[1:4]


# Rule 1: names, canonical forms, and names that leave their folder.
@BOTH
@pytest.mark.parametrize("reference, outcome", [
    ("b.html", ["b.html"]), ("d//./b.html", ["d/b.html"]), ("./d/e/b.html", ["d/e/b.html"]),
    ("../b.html", ""), ("/b.html", "an absolute name"), ("d\\\\b.html", "a backslash"),
    ("out.html", "resolves outside its folder"), ("x.html", "include 'x.html': template not found"),
])
def test_names_are_canonical_and_stay_in_their_folder(tmp_path, engine, reference, outcome):
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "out.html").symlink_to(write(tmp_path, {"out.html": "x"}) / "out.html")
    if isinstance(outcome, list):
        assert children(tmp_path, engine, f'{{% include "{reference}" %}}') == outcome
        return
    with pytest.raises(ResolveError, match="^p.html:2: .*" + outcome) as info:
        children(tmp_path, engine, f'\n{{% include "{reference}" %}}')
    assert (info.value.template, info.value.line) == ("p.html", 2)


@pytest.mark.parametrize("page, text", [("./p.html", None), ("../p.html", "page '../p.html': a '..' segment"),
                                        ("q.html", "page 'q.html': template not found")])
@NEEDS["django"]
def test_pages_are_names_too(tmp_path, page, text):
    root = write(tmp_path, {"p.html": "x"})
    if text is None:
        assert graph(manifest_for(page, search_path=[root], engine="django"))[0] == ["p.html"]
        return
    with pytest.raises(ResolveError, match=text) as info:
        manifest_for(page, search_path=[root], engine="django")
    assert (info.value.template, info.value.line, info.value.reference) == (None, None, page)


# Rule 2: the first folder that has a name gives its file.
@BOTH
def test_first_folder_that_has_the_name_wins(tmp_path, engine):
    a = write(tmp_path / "a", {"p.html": '{% include "b.html" %}{% include "c.html" %}', "b.html": "first"})
    b = write(tmp_path / "b", {"b.html": "second", "c.html": "only here", "p.html": "shadowed"})
    manifest = manifest_for("p.html", search_path=[a, str(b)], engine=engine)
    assert [(n["source"]["value"], n["sha256"]) for n in manifest["nodes"]] == [
        (name, hash_file(folder / name)["sha256"]) for folder, name in [(a, "b.html"), (b, "c.html"), (a, "p.html")]]


# Rules 3 and 4: references read by the engine's parser; static ones count wherever they stand.
@pytest.mark.parametrize("engine, text, expected", [
    row("jinja2", '{% extends "b.html" %}{% include "b.html" %}{% import "b.html" as m %}{% from "b.html" import x %}',
     ["b.html"] * 4),
    row("jinja2", '{% raw %}{% include "b.html" %}{% endraw %}{{ "{% include \'b.html\' %}" }}{# {% include "b.html" %} #}', []),
    row("jinja2", '{% do x.append(1) %}{% for a in b %}{% break %}{% endfor %}{% debug %}{% trans %}t{% endtrans %}', []),
    row("jinja2", '{% if a %}{% include "b.html" %}{% else %}{% for x in y %}{% block c %}{% include "d/b.html" %}'
             '{% endblock %}{% endfor %}{% endif %}', ["b.html", "d/b.html"]),
    row("jinja2", '{% include ["x.html", "d/b.html", "b.html"] %}{% include ("x.html",) ignore missing %}'
             '{% include "x.html" ignore missing %}', ["d/b.html"]),
    row("django", '{% comment "why" %}{% include "b.html" %}{% endcomment %}{# {% include "b.html" #}'
             '{% verbatim %}{% include "b.html" %}{% endverbatim %}', []),
    row("django", '{% extends "b.html" %}{% block x %}{% if a %}{% include \'d/b.html\' with a=1 only %}{% endif %}'
             '{% endblock %}', ["b.html", "d/b.html"]),
])
def test_references_are_what_the_engine_reads(tmp_path, engine, text, expected):
    assert children(tmp_path, engine, text) == expected


@pytest.mark.parametrize("text, expected", [('{% extends "./b.html" %}', ["d/b.html"]),
                                            ('{% include "../b.html" %}{% include "./e/b.html" %}', ["b.html", "d/e/b.html"]),
                                            ('{% include "./p.html" %}', ["d/p.html"])])
@NEEDS["django"]
def test_django_relative_names_resolve_against_the_template(tmp_path, text, expected):
    assert children(tmp_path, "django", text, page="d/p.html") == expected


@NEEDS["jinja2"]
def test_jinja2_extensions_and_the_users_syntax(tmp_path):
    assert children(tmp_path, "jinja2", '{% pin "b.html" %}', extensions=["test_resolve.PinExtension"]) == ["b.html"]
    env = jinja2.Environment(block_start_string="<%", block_end_string="%>", line_statement_prefix="#",
                             loader=jinja2.DictLoader({}))
    text = '<% include "b.html" %>\n# include "d/b.html"\n{% include "x.html" %}\n'
    assert children(tmp_path, "jinja2", text, environment=env) == ["b.html", "d/b.html"]


# Rule 5: a name that is an expression fails, or is left out with a warning.
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
    assert info.value.reference == reference
    with pytest.warns(DynamicReferenceWarning) as caught:
        assert children(tmp_path, engine, text, skip_dynamic=True) == ["b.html"]
    [warning] = caught
    assert (warning.message.template, warning.message.line, warning.message.reference) == ("p.html", 2, reference)
    assert warning.filename == __file__


# Rules 6 and 7: the manifest, and overrides.
@BOTH
def test_manifest_is_sorted_counts_references_and_keeps_cycles(tmp_path, engine):
    files = {"p.html": '{% include "é.html" %}{% include "Z.html" %}{% include "é.html" %}{% include "p.html" %}',
             "é.html": '{% include "z/a.html" %}', "Z.html": "", "z/a.html": '{% include "é.html" %}x\r\n',
             "unused.html": ""}
    manifest = manifest_for("p.html", search_path=[write(tmp_path, files)], engine=engine)
    assert list(manifest) == ["schema", "nodes", "edges"] and manifest["schema"] == "vela-sha/manifest/v1"
    order = ["Z.html", "p.html", "z/a.html", "é.html"]  # UTF-8 bytes
    assert graph(manifest) == (order, [("p.html", "Z.html", 0), ("p.html", "p.html", 0), ("p.html", "é.html", 0),
                                       ("p.html", "é.html", 1), ("z/a.html", "é.html", 0), ("é.html", "z/a.html", 0)])
    assert [n["sha256"] for n in manifest["nodes"]] == [
        calculate_hash({"utf8_file_bytes": files[name].encode()})["sha256"] for name in order]
    calculate_composition_hash(manifest)


@NEEDS["django"]
def test_django_override_extending_its_own_name_is_refused(tmp_path):
    site = write(tmp_path / "site", {"admin/base.html": '{% extends "admin/base.html" %}'})
    write(tmp_path / "app", {"admin/base.html": "the app's"})
    with pytest.raises(ResolveError, match="admin/base.html:1: extends 'admin/base.html': .* own name"):
        manifest_for("admin/base.html", search_path=[site, tmp_path / "app"], engine="django")


# Rule 8: bad input.
@pytest.mark.parametrize("engine, text, match", [
    row("jinja2", "\n\n{% if %}", "^p.html:3: syntax error: "), row("jinja2", "a\r\n{{ x }\r\n", "^p.html:2: syntax error: "),
    row("django", "\n{% extends %}", "^p.html:2: syntax error: 'extends' takes one argument"),
    row("django", '\r\n{% include "b.html" bad %}', "^p.html:2: syntax error: Unknown argument for 'include' tag"),
    row("django", "\n{% comment %}{% include 'b.html' %}", "^p.html:2: syntax error: Unclosed tag"),
    row("django", '{% include "../../b.html" %}', "^p.html:1: syntax error: The relative path"),
])
def test_syntax_errors_carry_the_engines_line(tmp_path, engine, text, match):
    with pytest.raises(ResolveError, match=match):
        children(tmp_path, engine, text)


@BOTH
def test_a_template_that_is_not_utf8_is_located(tmp_path, engine):
    with pytest.raises(VelaShaError) as info:
        children(tmp_path, engine, '{% include "d/c.html" %}', files={"d/c.html": b"ok\n\xff"})
    assert (info.value.code, info.value.offset, info.value.line) == ("VELA_SHA_INVALID_UTF8", 3, 2)


@pytest.mark.parametrize("change, error, match", [
    ({"engine": "mako"}, ValueError, "engine must be 'jinja2' or 'django', not 'mako'"),
    ({"engine": None}, TypeError, "engine must be"),
    ({"search_path": "t"}, TypeError, "search_path must be a sequence of folders, not a single path"),
    ({"search_path": [b"t"]}, TypeError, r"search_path\[0\] must be a str or os.PathLike"),
    ({"search_path": []}, ValueError, "search_path must name at least one folder"),
    ({"search_path": ["nowhere"]}, FileNotFoundError, "search_path folder not found"),
    ({"page": b"p.html"}, TypeError, "page must be a str"),
    ({"extensions": "jinja2.ext.do"}, TypeError, "extensions must be a sequence"),
    ({"engine": "django", "extensions": ["jinja2.ext.do"]}, ValueError, "for the jinja2 engine only"),
    pytest.param({"extensions": ["jinja2.ext.nope"]}, ValueError, "extension 'jinja2.ext.nope' cannot be imported",
                 marks=NEEDS["jinja2"]),
])
def test_bad_arguments_say_which(tmp_path, monkeypatch, change, error, match):
    monkeypatch.chdir(write(tmp_path, {"t/p.html": ""}))
    arguments = {"page": "p.html", "search_path": ["t"], "engine": "jinja2", **change}
    with pytest.raises(error, match=match):
        manifest_for(arguments.pop("page"), **arguments)


# Many pages at once.
@NEEDS["jinja2"]
def test_manifests_for_parses_each_template_once_and_fails_per_page(tmp_path):
    engine, parsed = "jinja2", []

    class Counting(jinja2.Environment):
        def parse(self, source, name=None, filename=None):
            parsed.append(name)
            return super().parse(source, name, filename)

    root = write(tmp_path, {"a.html": '{% include "c.html" %}', "b.html": '{% extends "c.html" %}',
                            "c.html": '{% include "d.html" %}', "d.html": "", "e.html": "{% include x %}"})
    pages = ["b.html", "e.html", "a.html", "b.html", "missing.html"]
    found = manifests_for(pages, search_path=[root], engine=engine, environment=Counting(), return_exceptions=True)
    assert sorted(parsed) == ["a.html", "b.html", "c.html", "d.html", "e.html"]
    assert list(found) == ["b.html", "e.html", "a.html", "missing.html"]
    for page, outcome in found.items():
        try:
            assert manifest_for(page, search_path=[root], engine=engine) == outcome
        except ResolveError as error:
            assert str(error) == str(outcome) and type(error) is type(outcome)
    with pytest.raises(ResolveError, match="^e.html:1: "):
        manifests_for(pages, search_path=[root], engine=engine, jobs=2)


# Two real trees: every page pinned, every pinned file as its loader finds it.
def _real_tree(engine, package, folders):
    module = pytest.importorskip(package, reason=f"needs {package} (pip install 'vela-sha[test]')")
    pytest.importorskip(engine, reason=f"needs pip install 'vela-sha[{engine}]'")
    folders = [Path(module.__file__).parent / folder for folder in folders]
    pages = sorted(p.relative_to(folders[0]).as_posix() for p in folders[0].rglob("*.html"))
    with pytest.warns(DynamicReferenceWarning):
        found = manifests_for(pages, search_path=folders, engine=engine, skip_dynamic=True)
    assert list(found) == pages and len(pages) > 15
    for page, manifest in found.items():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DynamicReferenceWarning)
            assert manifest == manifest_for(page, search_path=folders, engine=engine, skip_dynamic=True)
        calculate_composition_hash(manifest)
        for node in manifest["nodes"]:
            path = next(f / node["source"]["value"] for f in folders if (f / node["source"]["value"]).is_file())
            assert hash_file(path)["sha256"] == node["sha256"]
    return found


def test_real_tree_django_admin():
    found = _real_tree("django", "django", ["contrib/admin/templates", "forms/templates"])
    edges = graph(found["admin/change_form.html"])[1]
    assert {("admin/change_form.html", "admin/base_site.html", 0), ("admin/base_site.html", "admin/base.html", 0),
            ("admin/change_form.html", "admin/includes/fieldset.html", 0)} <= set(edges)
    assert any(n["source"]["value"].startswith("django/forms/") for m in found.values() for n in m["nodes"])


def test_real_tree_sphinx_basic_theme():
    found = _real_tree("jinja2", "sphinx", ["themes/basic"])
    assert {("page.html", "layout.html", 0), ("layout.html", "relations.html", 0)} <= set(graph(found["page.html"])[1])
