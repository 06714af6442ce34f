"""The vela-sha command line, end to end through a subprocess."""

import contextlib
import errno
import fcntl
import hashlib
import json
import os
import pty
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

import vela_sha
from vela_sha.cli.progress import in_units
from vela_sha.resolve import manifest_for

CRLF_DIGEST = hashlib.sha256(b"a\nb").hexdigest()
EMPTY_MANIFEST = json.dumps({"schema": "v1", "nodes": [], "edges": []})
EMPTY_MANIFEST_DIGEST = "06f86f5722b2ea6dc471df8cb39121ad0afc164a3bb5a51ad8db8eb90944e965"
BAD_UTF8 = b"VELA_SHA_INVALID_UTF8: text-file bytes are not valid UTF-8; encode the source as UTF-8 before hashing"
# The command that belongs to the interpreter under test, not whichever is first on PATH.
COMMAND = str(Path(sys.executable).with_name("vela-sha"))


@pytest.fixture
def files(tmp_path):
    (tmp_path / "crlf.txt").write_bytes(b"a\r\nb")
    (tmp_path / "lf.txt").write_bytes(b"a\nb")
    (tmp_path / "bad.txt").write_bytes(b"ok\r\n\r\xff")
    (tmp_path / "manifest.json").write_text(EMPTY_MANIFEST)
    return tmp_path


@pytest.fixture
def run(files):
    def run(*args, stdin=b""):
        done = subprocess.run([COMMAND, *args], input=stdin, capture_output=True, cwd=files)
        return done.returncode, done.stdout, done.stderr

    return run


@pytest.mark.smoke
def test_template_lines_standard_input_and_failures(run, files):
    (files / "odd\\name\n").write_bytes(b"a\nb")
    code, out, err = run("template", "crlf.txt", "missing.txt", "bad.txt", "-", "odd\\name\n", "it's gone",
                         stdin=b"a\rb")
    assert code == 1
    assert out == (f"{CRLF_DIGEST}  crlf.txt\n{CRLF_DIGEST}  -\n\\{CRLF_DIGEST}  odd\\\\name\\n\n").encode()
    assert err == (b"vela-sha: missing.txt: VELA_SHA_UNREADABLE_FILE: No such file or directory\n"
                   b"vela-sha: bad.txt: " + BAD_UTF8 + b" (first invalid byte at offset 5, line 3)\n"
                   b"vela-sha: \"it's gone\": VELA_SHA_UNREADABLE_FILE: No such file or directory\n")
    assert run("template", stdin=b"a\nb") == (0, f"{CRLF_DIGEST}  -\n".encode(), b"")


def test_parallel_template_gives_the_sequential_output(run, files):
    names = [f"f{i}" for i in range(40)]
    for i, name in enumerate(names):
        (files / name).write_bytes(b"x\r\n" * (i * 5000))
    names[10:10] = ["missing", "bad.txt", "-"]
    parallel = run("template", "-j", "3", *names, stdin=b"a\r\nb")
    assert parallel[0] == 1 and parallel == run("template", *names, stdin=b"a\r\nb")


@pytest.mark.smoke
def test_composition_several_manifests_and_located_failures(run, files):
    (files / "bad.json").write_text(json.dumps(
        {"schema": "v1", "nodes": [{"source": {"kind": "url", "value": "a"}, "sha256": "0" * 64},
                                   {"source": {"kind": "url", "value": "b"}, "sha256": "xyz"}], "edges": []}))
    code, out, err = run("composition", "manifest.json", "bad.json", "-", stdin=b'{"schema": "v2"}')
    assert (code, out) == (1, f"{EMPTY_MANIFEST_DIGEST}  manifest.json\n".encode())
    assert err == (b"vela-sha: bad.json: VELA_SHA_INVALID_DIGEST: SHA-256 digest must contain exactly 64 "
                   b"hexadecimal characters (at nodes[1].sha256)\n"
                   b"vela-sha: -: VELA_SHA_UNSUPPORTED_MANIFEST_SCHEMA: unsupported manifest schema; "
                   b"use vela-sha/manifest/v1 (at schema)\n")
    code, out, err = run("composition", stdin=b"{not json")
    assert (code, out) == (1, b"") and err.startswith(b"vela-sha: -: VELA_SHA_INVALID_JSON: ")


def _node(kind, value, digest="0" * 64):
    return {"source": {"kind": kind, "value": value}, "sha256": digest}


def test_lint_problems_and_unnormalised_sources(run, files):
    manifest = {"schema": "", "nodes": [_node("url", "a")] * 2 + [_node("local_path", v) for v in (
                    "./a", "a//b", "a/./b", "a/../b", "/a", "a/", "ok/a.html")] + [_node("url", "https://x//y/")],
                "edges": [{"parent": {"kind": "url", "value": "a"}, "child": {"kind": "url", "value": "z"},
                           "occurrence": 0}]}
    (files / "m.json").write_text(json.dumps(manifest))
    code, out, err = run("lint", "m.json", "manifest.json")
    assert (code, err) == (1, b"")
    assert out.decode().splitlines() == [
        "m.json: schema: VELA_SHA_INVALID_MANIFEST: manifest schema must not be empty",
        "m.json: nodes[1]: VELA_SHA_DUPLICATE_SOURCE: resolved manifest contains a duplicate source; "
        "deduplicate nodes before hashing",
        "m.json: edges[0].child: VELA_SHA_UNKNOWN_EDGE_ENDPOINT: resolved manifest edge has an unknown endpoint; "
        "include every endpoint in nodes"] + [
        f"m.json: nodes[{i}].source.value: warning: source is not normalised ({why})" for i, why in enumerate(
            ["a leading './'", "an empty segment", "a '.' segment", "a '..' segment", "an absolute path",
             "a trailing '/'"], 2)]
    # Warnings alone fail only under --strict; --json records are the other commands' failure records.
    (files / "warn.json").write_text(json.dumps({"schema": "v1", "nodes": [_node("local_path", "./a")], "edges": []}))
    assert run("lint", "warn.json", "manifest.json")[0] == 0
    code, out, _ = run("lint", "--json", "--strict", "warn.json", "-", stdin=b"[]")
    assert code == 1
    assert [json.loads(line) for line in out.splitlines()] == [
        {"name": "warn.json", "warning": {"message": "source is not normalised (a leading './')",
                                          "where": "nodes[0].source.value"}},
        {"name": "-", "error": {"code": "VELA_SHA_INVALID_INPUT", "message": "hash input must be a mapping"}}]
    assert run("lint", "-", stdin=b"[]")[1] == b"-: (manifest): VELA_SHA_INVALID_INPUT: hash input must be a mapping\n"


def test_check_tags_kinds_hints_and_reasons(run, files):
    for kind, name, digest in (("template", "crlf.txt", CRLF_DIGEST),
                               ("composition", "manifest.json", EMPTY_MANIFEST_DIGEST)):
        assert run(kind, "--tag", name)[1] == f"{kind.upper()} ({name}) = {digest}\n".encode()
        (files / "TAGS").write_bytes(run(kind, "--tag", name)[1])
        assert run("check", "TAGS") == (0, f"{name}: OK\n".encode(), b"")
        # GNU-style lines are templates unless said otherwise; a wrong guess is named.
        (files / "GNU").write_bytes(f"{digest}  {name}\n".encode())
        assert run("check", "--kind", kind, "GNU") == (0, f"{name}: OK\n".encode(), b"")
        other = "composition" if kind == "template" else "template"
        code, out, err = run("check", "--kind", other, "GNU")
        assert (code, out) == (1, f"{name}: FAILED\n".encode())
        assert err.splitlines()[-2] == (f"vela-sha: {name}: the listed digest is this file's {kind} digest; "
                                        f"check it with --kind {kind}").encode()
    (files / "SUMS").write_bytes(f"SHA256 (lf.txt) = {CRLF_DIGEST}\n".encode() * 2)
    assert run("check", "SUMS") == (1, b"", b"vela-sha: SUMS: 1: SHA256 is not an algorithm of vela-sha; it checks "
                                            b"TEMPLATE and COMPOSITION lines\n"
                                            b"vela-sha: SUMS: no properly formatted checksum lines found\n")
    # Text that is not UTF-8 and a file that is no manifest fail with their reason.
    (files / "SUMS").write_bytes(b"0" * 64 + b"  bad.txt\nCOMPOSITION (lf.txt) = " + b"0" * 64 + b"\n")
    assert run("check", "SUMS") == (1, b"bad.txt: FAILED\nlf.txt: FAILED\n", b"vela-sha: bad.txt: " + BAD_UTF8 + (
        b" (first invalid byte at offset 5, line 3)\nvela-sha: lf.txt: VELA_SHA_INVALID_JSON: Expecting value: "
        b"line 1 column 1 (char 0)\nvela-sha: WARNING: 2 computed checksums did NOT match\n"))


SUMS_FILES = {
    "mixed": "{a}  a\n{b}  b\ngarbage\n" + "0" * 64 + "  a\n{a}  missing\n",
    "empty": "",
    "missing only": "{a}  missing\n",
    "comments and blanks": "# a comment\n{a}  a\n\n\n",
    "improper only": "garbage\n",
    "escaped": "\\{a}  a\\\\b\n\\{a}  a\\nb\n{a}  a\\b\n",
    "blanks, tabs, reversed": "  {a} a\n\t{b}\tb\n{a} *a\n{a}   a\n",
    "standard, then reversed": "{a} *a\n{b} b\n\t{a}  a\n",
    "unknown escape": "\\{a}  a\\qb\n{a}  a\n",
    "odd names": "{a}  it's\n{a}  a:b\n{a}  \udcff\udcfe\n{a}  tab\there\n{a}  a\n",
    "no SUMS": None,
}


@pytest.mark.skipif(shutil.which("sha256sum") is None, reason="needs GNU sha256sum")
@pytest.mark.parametrize("options", [[], ["--quiet"], ["--status"], ["--strict"], ["--ignore-missing"], ["--warn"],
                                     ["--quiet", "--ignore-missing"], ["-w", "--status"], ["--status", "-w"],
                                     ["-w", "--quiet"], ["--quiet", "-w", "--strict"]])
@pytest.mark.parametrize("sums", list(SUMS_FILES))
def test_check_options_agree_with_sha256sum(files, options, sums):
    # For LF-only text the two digests agree, and so must everything check says, where it says it.
    for name, text in (("a", b"a\n"), ("b", b"b\n"), ("a\\b", b"a\n"), ("a\nb", b"a\n")):
        (files / name).write_bytes(text)
    digests = {n: hashlib.sha256((files / n).read_bytes()).hexdigest() for n in ("a", "b")}
    if SUMS_FILES[sums] is not None:
        (files / "SUMS").write_bytes(SUMS_FILES[sums].format(**digests).encode("utf-8", "surrogateescape"))
    streams = [{"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}]
    if "-w" in options or "--warn" in options:  # and merged, for the order of results and warnings
        streams.append({"stdout": subprocess.PIPE, "stderr": subprocess.STDOUT})
    for pipes in streams:
        gnu = subprocess.run(["sha256sum", "-c", *options, "SUMS"], cwd=files, **pipes)
        ours = subprocess.run([COMMAND, "check", *options, "SUMS"], cwd=files, **pipes)
        assert (ours.returncode, ours.stdout) == (gnu.returncode, gnu.stdout.replace(b"sha256sum:", b"vela-sha:"))
        assert ours.stderr == (gnu.stderr and gnu.stderr.replace(b"sha256sum:", b"vela-sha:"))


def test_json_results_and_failures_on_standard_output(run, files):
    code, out, err = run("--json", "template", "crlf.txt", "missing.txt", "bad.txt")
    assert code == 1 and err.count(b"\n") == 2
    assert [json.loads(line) for line in out.splitlines()] == [
        {"kind": "template", "sha256": CRLF_DIGEST, "name": "crlf.txt"},
        {"name": "missing.txt", "error": {"code": "VELA_SHA_UNREADABLE_FILE", "message": "No such file or directory"}},
        {"name": "bad.txt", "error": {"code": "VELA_SHA_INVALID_UTF8", "message": BAD_UTF8.decode().split(": ", 1)[1],
                                      "offset": 5, "line": 3}}]
    code, out, _ = run("composition", "--json", "manifest.json", "-", stdin=b'{"schema": "v1", "nodes": 1}')
    assert [json.loads(line) for line in out.splitlines()] == [
        {"kind": "composition", "sha256": EMPTY_MANIFEST_DIGEST, "name": "manifest.json"},
        {"name": "-", "error": {"code": "VELA_SHA_INVALID_MANIFEST", "message": "manifest object requires edges",
                                "where": "edges"}}]
    (files / "SUMS").write_bytes(f"{CRLF_DIGEST}  crlf.txt\n{CRLF_DIGEST}  missing\n{CRLF_DIGEST}  bad.txt\n".encode())
    code, out, _ = run("--json", "check", "SUMS")
    records = [json.loads(line) for line in out.splitlines()]
    assert code == 1 and records[:2] == [
        {"name": "crlf.txt", "status": "OK", "expected": CRLF_DIGEST, "actual": CRLF_DIGEST, "reason": None},
        {"name": "missing", "status": "FAILED open or read", "expected": CRLF_DIGEST, "actual": None,
         "reason": "No such file or directory"}]
    assert records[2]["status"] == "FAILED" and records[2]["reason"].startswith("VELA_SHA_INVALID_UTF8: ")


def test_verify(run, files):
    site = files / "site"
    for path, data in (("t/ok.html", b"ok\r\n"), ("t/changed.html", b"changed"), ("t/bad.html", b"\xff"),
                       ("admin/base.html", b"ok\n"), ("-", b"ok\n")):
        (site / path).parent.mkdir(parents=True, exist_ok=True)
        (site / path).write_bytes(data)
    (files / "outside.html").write_bytes(b"ok\n")
    os.symlink(files / "outside.html", site / "t" / "link.html")
    ok, changed = hashlib.sha256(b"ok\n").hexdigest(), hashlib.sha256(b"changed").hexdigest()
    nodes = [  # path, status, why
        ("t/ok.html", "OK", None), ("-", "OK", None), ("t/changed.html", "FAILED", f"expected {ok}, computed {changed}"),
        ("t/gone.html", "MISSING", "No such file or directory"), ("t/ok.html/x", "MISSING", "Not a directory"),
        ("t", "FAILED open or read", "Is a directory"),
        ("t/bad.html", "FAILED", BAD_UTF8.decode() + " (first invalid byte at offset 0, line 1)"),
        *[(path, "REFUSED", f"not normalised ({why})") for path, why in (
            ("../outside.html", "a '..' segment"), ("admin/../admin/base.html", "a '..' segment"),
            ("/etc/passwd", "an absolute path"), ("./t/ok.html", "a leading './'"), ("t//ok.html", "an empty segment"),
            ("t/./ok.html", "a '.' segment"), ("admin/", "a trailing '/'"))],
        ("t/link.html", "REFUSED", "resolves outside the root (a symbolic link points out)")]
    manifest = {"schema": "v1", "edges": [],
                "nodes": [_node("local_path", p, ok.upper()) for p, _, _ in nodes] + [_node("url", "https://x/")]}
    (site / "m.json").write_text(json.dumps(manifest))
    digest = vela_sha.calculate_composition_hash(manifest)["sha256"]
    code, out, err = run("verify", "site/m.json", "-j", "2", stdin=b"other")
    assert code == 1
    assert out.decode().splitlines() == [f"{digest}  site/m.json"] + [f"{p}: {status}" for p, status, _ in nodes]
    assert err.decode().splitlines() == [f"vela-sha: {p}: {why}" for p, _, why in nodes if why] + [
        "vela-sha: 1 url node not checked", "vela-sha: WARNING: 2 computed checksums did NOT match",
        "vela-sha: WARNING: 3 listed files could not be read", "vela-sha: WARNING: 8 listed files were refused"]
    # From standard input the root is the current folder, unless --root says otherwise.
    code, out, _ = run("verify", "--json", "-", "--root", "site", stdin=json.dumps(
        {"schema": "v1", "nodes": [_node("local_path", p, ok) for p in ("t/ok.html", "/etc/passwd")],
         "edges": []}).encode())
    assert code == 1
    assert [json.loads(line) for line in out.splitlines()][1:] == [
        {"path": "t/ok.html", "status": "OK", "expected": ok, "actual": ok, "reason": None},
        {"path": "/etc/passwd", "status": "REFUSED", "expected": ok, "actual": None,
         "reason": "not normalised (an absolute path)"}]
    assert run("verify", "site/m.json", "--root", "nowhere") == (
        1, f"{digest}  site/m.json\n".encode(), b"vela-sha: nowhere: No such file or directory\n")
    code, out, err = run("verify", "-", stdin=b'{"schema": "v1", "nodes": [1], "edges": []}')
    assert (code, out) == (1, b"") and err.endswith(b"manifest node must be a mapping (at nodes[0])\n")


@pytest.fixture
def site(files):
    """A site's templates over a theme's: q.html names its include by an expression."""
    pytest.importorskip("jinja2", reason="needs pip install 'vela-sha[jinja2]'")
    for path, text in (("t/p.html", '{% extends "base.html" %}{% include "n.html" %}{% include "n.html" %}'),
                       ("t/q.html", '{% extends "base.html" %}\n{% include x %}'), ("theme/base.html", "<b>"),
                       ("theme/n.html", "theme's nav"), ("t/bad.html", '{% include "b.txt" %}')):
        (files / path).parent.mkdir(exist_ok=True)
        (files / path).write_text(text)
    shutil.copy(files / "bad.txt", files / "t" / "b.txt")
    return ["manifest", "--engine", "jinja2", "--path", "t", "--path", "theme"]


def test_manifest_to_standard_output_files_and_failures(run, files, site):
    expected = manifest_for("p.html", search_path=[files / "t", files / "theme"], engine="jinja2")
    assert run(*site, "p.html") == (0, json.dumps(expected, indent=2).encode() + b"\n", b"")
    for args in (["p.html", "q.html"], ["--extension", "jinja2.ext.do", "--engine", "django", "p.html"],
                 ["--extension", "no.such", "p.html"]):
        code, out, err = run(*site, *args)
        assert (code, out) == (2, b"") and err.startswith(b"usage: vela-sha manifest "), args
    assert run(*site, "--path", "nowhere", "p.html") == (1, b"", b"vela-sha: nowhere: No such file or directory\n")
    (files / "pins" / "n.html.json").mkdir(parents=True)  # a page that cannot be written
    code, out, err = run("--json", *site, "-o", "pins", "q.html", "p.html", "bad.html", "n.html", "./p.html")
    assert code == 1 and sorted(p.name for p in (files / "pins").iterdir()) == ["n.html.json", "p.html.json"]
    assert json.loads((files / "pins" / "p.html.json").read_text()) == expected
    assert err.decode().splitlines() == [
        "vela-sha: q.html:2: VELA_SHA_UNRESOLVED_TEMPLATE: include x: the template name is an expression, not a constant",
        "vela-sha: t/b.txt: " + BAD_UTF8.decode() + " (first invalid byte at offset 5, line 3)",
        "vela-sha: pins/n.html.json: Is a directory"]
    assert [json.loads(line) for line in out.splitlines()] == [
        {"name": "q.html:2", "page": "q.html", "error": {
            "code": "VELA_SHA_UNRESOLVED_TEMPLATE", "message": "include x: the template name is an expression, "
            "not a constant", "template": "q.html", "line": 2, "reference": "x"}},
        {"name": "t/b.txt", "page": "bad.html", "error": {"code": "VELA_SHA_INVALID_UTF8", "offset": 5, "line": 3,
                                                          "message": BAD_UTF8.decode().split(": ", 1)[1]}},
        {"name": "pins/n.html.json", "page": "n.html", "error": {"code": "VELA_SHA_UNWRITABLE_FILE",
                                                                      "message": "Is a directory"}}]
    assert run(*site, "--skip-dynamic", "-o", "pins", "q.html") == (0, b"", b"vela-sha: q.html:2: warning: include x: "
                                                                      b"the template name is an expression, not a "
                                                                      b"constant; left out\n")
    missing = subprocess.run([sys.executable, "-c", "import sys; sys.modules['jinja2'] = None; import vela_sha.cli; "
                              "sys.exit(vela_sha.cli.main(sys.argv[1:]))", *site, "p.html"], capture_output=True, cwd=files)
    assert (missing.returncode, missing.stderr) == (1, b"vela-sha: the jinja2 engine needs Jinja2: "
                                                       b"pip install 'vela-sha[jinja2]'\n")


def test_verify_with_several_roots_as_a_search_path(run, files, site):
    assert run(*site, "-o", "pins", "p.html", "q.html", "--skip-dynamic")[0] == 0
    check = ("verify", "pins/p.html.json", "--root", "t", "--root", "theme")
    assert run(*check)[1].decode().splitlines()[1:] == ["base.html: OK", "n.html: OK", "p.html: OK"]
    (files / "t" / "base.html").mkdir()  # no file: the next root's is the one
    assert run(*check)[0] == 0
    # A template that changed, and one that a new file in an earlier root now overrides, fail by name.
    (files / "theme" / "base.html").write_text("<b>!")
    (files / "t" / "n.html").write_text("the site's nav")
    code, out, err = run("verify", "pins/q.html.json", *check[2:], "--root", "nowhere")
    assert (code, err) == (1, b"vela-sha: nowhere: No such file or directory\n")
    code, out, err = run(*check)
    assert code == 1 and out.decode().splitlines()[1:] == ["base.html: FAILED", "n.html: FAILED", "p.html: OK"]
    assert err.decode().splitlines()[-1] == "vela-sha: WARNING: 2 computed checksums did NOT match"


def _screen(text, width):
    """The rows a terminal `width` columns wide shows for `text`, trailing blanks dropped."""
    rows, column = [""], 0
    for char in text:
        if char in "\r\n":
            rows += [""] * (char == "\n")
            column = 0
            continue
        if column == width:  # wraps when a character follows the last column
            rows.append("")
            column = 0
        row = rows[-1].ljust(column)
        rows[-1] = row[:column] + char + row[column + 1:]
        column += 1
    return [row.rstrip() for row in rows]


def test_progress_line_on_a_terminal_only_and_never_mixed_with_results(files):
    names = [f"f{i}" for i in range(30)]
    for i, name in enumerate(names):
        (files / name).write_bytes(b"x\n" * (i * 20000))
    quiet = subprocess.run([COMMAND, "template", "--progress", *names], capture_output=True, cwd=files)
    assert quiet.returncode == 0 and quiet.stderr == b""
    # Results and the progress line on one 40-column terminal.
    primary, secondary = pty.openpty()
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 40, 0, 0))
    environment = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "LINES")}
    child = subprocess.Popen([COMMAND, "template", "--progress", *names], stdout=secondary, stderr=secondary,
                             cwd=files, env=environment)
    os.close(secondary)
    shown = b""
    with contextlib.suppress(OSError):  # EIO once the child has closed the terminal
        while chunk := os.read(primary, 65536):
            shown += chunk
    os.close(primary)
    assert child.wait() == 0 and b" files, " in shown
    results = quiet.stdout.decode().splitlines()
    # A line that wrapped, or a result written after the progress line, would show here.
    assert _screen(shown.decode(), 40) == [line[i:i + 40] for line in results for i in (0, 40)] + [""]
    assert [in_units(n) for n in (1023, 1023.6, 2**30 - 2**20 // 50, 5 * 2**40)] == [
        "1023 B", "1.0 KiB", "1.0 GiB", "5120.0 GiB"]


@pytest.mark.parametrize("command", ["template", "composition", "check", "verify", "lint"])
def test_ctrl_c_ends_by_sigint_without_traceback(files, command):
    os.mkfifo(files / "fifo")
    child = subprocess.Popen([COMMAND, command, "fifo"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=files)
    deadline = time.monotonic() + 30
    while True:  # opens once the command has opened it to read: it is waiting inside the run
        try:
            writer = os.open(files / "fifo", os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError as error:
            assert error.errno == errno.ENXIO and time.monotonic() < deadline and child.poll() is None
            time.sleep(0.01)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    os.close(writer)
    assert (child.returncode, out, err) == (-signal.SIGINT, b"", b"")


@pytest.mark.parametrize("redirect, message", [("> /dev/full", b"No space left on device"),
                                               (">&-", b"Bad file descriptor")])
@pytest.mark.parametrize("args", ["template crlf.txt", "check SUMS", "--version"])
def test_write_errors_end_with_status_1(files, redirect, message, args):
    (files / "SUMS").write_bytes(f"{CRLF_DIGEST}  crlf.txt\n".encode())
    done = subprocess.run(f"'{COMMAND}' {args} {redirect}", shell=True, capture_output=True, cwd=files)
    assert (done.returncode, done.stderr) == (1, b"vela-sha: write error: " + message + b"\n")


def test_version_usage_module_and_closed_pipe(run, files):
    assert run("--version") == (0, f"vela-sha {vela_sha.__version__}\n".encode(), b"")
    module = subprocess.run([sys.executable, "-m", "vela_sha", "template"], input=b"a\r\nb", capture_output=True)
    assert module.stdout == f"{CRLF_DIGEST}  -\n".encode()
    for args, usage in [([], b"usage: vela-sha "), (["frobnicate"], b"usage: vela-sha "),
                        (["template", "--nope"], b"usage: vela-sha template "),
                        (["check", "-j", "0"], b"usage: vela-sha check ")]:
        code, out, err = run(*args)
        assert code == 2 and out == b"" and err.startswith(usage), args
    # A reader that goes away ends the command as it ends coreutils: by SIGPIPE, silently.
    reader = subprocess.Popen(["head", "-c", "1"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    writer = subprocess.run([COMMAND, "template", *["crlf.txt"] * 50_000], stdout=reader.stdin,
                            stderr=subprocess.PIPE, cwd=files)
    reader.stdin.close()
    reader.wait()
    assert (writer.returncode, writer.stderr) == (-signal.SIGPIPE, b"")
