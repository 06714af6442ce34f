"""The vela-sha command line, end to end through a subprocess."""

import hashlib
import json
import os
import pty
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import vela_sha

CRLF_DIGEST = hashlib.sha256(b"a\nb").hexdigest()
EMPTY_MANIFEST = json.dumps({"schema": "v1", "nodes": [], "edges": []})
EMPTY_MANIFEST_DIGEST = "06f86f5722b2ea6dc471df8cb39121ad0afc164a3bb5a51ad8db8eb90944e965"
BAD_UTF8 = b"VELA_SHA_INVALID_UTF8: text-file bytes are not valid UTF-8; encode the source as UTF-8 before hashing"
# The command that belongs to the interpreter under test, not whichever is first on PATH.
COMMAND = str(Path(sys.executable).with_name("vela-sha"))


@pytest.fixture(params=["script", "module"])
def run(request, tmp_path):
    prefix = [COMMAND] if request.param == "script" else [sys.executable, "-m", "vela_sha"]

    def run(*args, stdin=b""):
        done = subprocess.run(prefix + list(args), input=stdin, capture_output=True, cwd=tmp_path)
        return done.returncode, done.stdout, done.stderr

    return run


@pytest.fixture
def files(tmp_path):
    (tmp_path / "crlf.txt").write_bytes(b"a\r\nb")
    (tmp_path / "lf.txt").write_bytes(b"a\nb")
    (tmp_path / "bad.txt").write_bytes(b"ok\r\n\r\xff")
    (tmp_path / "manifest.json").write_text(EMPTY_MANIFEST)
    return tmp_path


@pytest.mark.smoke
def test_template_lines_standard_input_and_failures(run, files):
    code, out, err = run("template", "crlf.txt", "missing.txt", "bad.txt", "-", "lf.txt", stdin=b"a\rb")
    assert code == 1
    assert out == (f"{CRLF_DIGEST}  crlf.txt\n{CRLF_DIGEST}  -\n{CRLF_DIGEST}  lf.txt\n").encode()
    assert err == (b"vela-sha: missing.txt: VELA_SHA_UNREADABLE_FILE: No such file or directory\n"
                   b"vela-sha: bad.txt: " + BAD_UTF8 + b" (first invalid byte at offset 5, line 3)\n")
    assert run("template", stdin=b"a\nb") == (0, f"{CRLF_DIGEST}  -\n".encode(), b"")


def test_parallel_template_keeps_input_order(run, files):
    names = [f"f{i}" for i in range(40)]
    for i, name in enumerate(names):
        (files / name).write_bytes(b"x\r\n" * (i * 5000))
    names[10:10] = ["missing", "bad.txt", "-"]
    code, out, err = run("template", "-j", "3", *names, stdin=b"a\r\nb")
    assert code == 1 and err.count(b"\n") == 2
    assert out.decode().splitlines() == [
        f"{CRLF_DIGEST if n == '-' else vela_sha.hash_file(files / n)['sha256']}  {n}"
        for n in names if n not in ("missing", "bad.txt")]


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


def test_lint_prints_every_problem(run, files):
    manifest = {"schema": "", "nodes": [{"source": {"kind": "url", "value": "a"}, "sha256": "0" * 64}] * 2,
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
        "include every endpoint in nodes"]
    assert run("lint", "manifest.json") == (0, b"", b"")


@pytest.mark.parametrize("kind", ["template", "composition"])
def test_tag_lines_round_trip(run, files, kind):
    name = "manifest.json" if kind == "composition" else "crlf.txt"
    digest = EMPTY_MANIFEST_DIGEST if kind == "composition" else CRLF_DIGEST
    code, out, _ = run(kind, "--tag", name)
    assert out == f"{kind.upper()} ({name}) = {digest}\n".encode()
    (files / "TAGS").write_bytes(out)
    assert run("check", "TAGS") == (0, f"{name}: OK\n".encode(), b"")
    # GNU-style lines are templates unless said otherwise.
    (files / "GNU").write_bytes(f"{digest}  {name}\n".encode())
    assert run("check", "--kind", kind, "GNU") == (0, f"{name}: OK\n".encode(), b"")


def test_check_reports_invalid_text_and_manifests_with_their_reason(run, files):
    (files / "SUMS").write_bytes(b"0" * 64 + b"  bad.txt\nCOMPOSITION (lf.txt) = " + b"0" * 64 + b"\n")
    code, out, err = run("check", "SUMS")
    assert (code, out) == (1, b"bad.txt: FAILED\nlf.txt: FAILED\n")
    assert err.splitlines() == [
        b"vela-sha: bad.txt: " + BAD_UTF8 + b" (first invalid byte at offset 5, line 3)",
        b"vela-sha: lf.txt: VELA_SHA_INVALID_JSON: Expecting value: line 1 column 1 (char 0)",
        b"vela-sha: WARNING: 2 computed checksums did NOT match"]


SUMS_FILES = {
    "mixed": "{a}  a\n{b}  b\ngarbage\n" + "0" * 64 + "  a\n{a}  missing\n",
    "empty": "",
    "missing only": "{a}  missing\n",
    "comments and blanks": "# a comment\n{a}  a\n\n\n",
    "improper only": "garbage\n",
    "escaped": "\\{a}  a\\\\b\n",
    "blanks, tabs, reversed": "  {a} a\n\t{b}\tb\n{a} *a\n{a}   a\n",
    "standard, then reversed": "{a} *a\n{b} b\n\t{a}  a\n",
    "unknown escape": "\\{a}  a\\qb\n{a}  a\n",
    "not UTF-8": "{a}  \udcff\udcfe\n",
}
# GNU quotes names with blanks or odd bytes in its messages; vela-sha writes
# them as they are. Only for these is standard error not compared.
QUOTED_NAMES = {"blanks, tabs, reversed", "not UTF-8"}


@pytest.mark.skipif(shutil.which("sha256sum") is None, reason="needs GNU sha256sum")
@pytest.mark.parametrize("options", [[], ["--quiet"], ["--status"], ["--strict"], ["--ignore-missing"], ["--warn"],
                                     ["--quiet", "--ignore-missing"]])
@pytest.mark.parametrize("sums", list(SUMS_FILES))
def test_check_options_agree_with_sha256sum(run, files, options, sums):
    # For LF-only text the two digests agree, and so must everything check says.
    (files / "a").write_bytes(b"a\n")
    (files / "b").write_bytes(b"b\n")
    (files / "a\\b").write_bytes(b"a\n")
    digests = {n: hashlib.sha256((files / n).read_bytes()).hexdigest() for n in ("a", "b")}
    (files / "SUMS").write_bytes(SUMS_FILES[sums].format(**digests).encode("utf-8", "surrogateescape"))
    gnu = subprocess.run(["sha256sum", "-c", *options, "SUMS"], capture_output=True, cwd=files)
    expected_err = gnu.stderr.replace(b"sha256sum:", b"vela-sha:").replace(b" SHA256 checksum", b" checksum")
    code, out, err = run("check", *options, "SUMS")
    assert (code, out) == (gnu.returncode, gnu.stdout)
    assert err == expected_err or sums in QUOTED_NAMES


def test_check_json(run, files):
    (files / "SUMS").write_bytes(f"{CRLF_DIGEST}  crlf.txt\n{CRLF_DIGEST}  missing\n{CRLF_DIGEST}  bad.txt\n".encode())
    code, out, _ = run("--json", "check", "SUMS")
    assert code == 1
    records = [json.loads(line) for line in out.splitlines()]
    assert records[0] == {"name": "crlf.txt", "status": "OK", "expected": CRLF_DIGEST, "actual": CRLF_DIGEST,
                          "reason": None}
    assert records[1] == {"name": "missing", "status": "FAILED open or read", "expected": CRLF_DIGEST,
                          "actual": None, "reason": "No such file or directory"}
    assert records[2]["status"] == "FAILED" and records[2]["reason"].startswith("VELA_SHA_INVALID_UTF8: ")


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


def test_names_needing_escapes_round_trip(run, files):
    name = "odd\\name\nwith breaks"
    (files / name).write_bytes(b"x")
    code, out, _ = run("template", name)
    assert out == b"\\" + hashlib.sha256(b"x").hexdigest().encode() + b"  odd\\\\name\\nwith breaks\n"
    (files / "SUMS").write_bytes(out)
    assert run("check", "SUMS") == (0, b"\\odd\\\\name\\nwith breaks: OK\n", b"")
    (files / "back\\slash").write_bytes(b"x")  # only a line break makes check escape a name, as GNU's does
    (files / "SUMS").write_bytes(run("template", "back\\slash")[1])
    assert run("check", "SUMS") == (0, b"back\\slash: OK\n", b"")


def _node(kind, value, digest):
    return {"source": {"kind": kind, "value": value}, "sha256": digest}


def test_verify(run, files):
    site = files / "site"
    (site / "t").mkdir(parents=True)
    (site / "t" / "ok.html").write_bytes(b"ok\r\n")
    (site / "t" / "changed.html").write_bytes(b"changed")
    (site / "t" / "bad.html").write_bytes(b"\xff")
    (files / "outside.html").write_bytes(b"secret")
    os.symlink(files / "outside.html", site / "t" / "link.html")
    ok = hashlib.sha256(b"ok\n").hexdigest()
    nodes = [_node("local_path", "t/ok.html", ok.upper()), _node("local_path", "t/changed.html", ok),
             _node("local_path", "t/gone.html", ok), _node("local_path", "t/bad.html", ok),
             _node("url", "https://cdn.example/x", ok), _node("local_path", "../outside.html", ok),
             _node("local_path", "/etc/passwd", ok), _node("local_path", "t/link.html", ok)]
    manifest = {"schema": "v1", "nodes": nodes, "edges": []}
    (site / "m.json").write_text(json.dumps(manifest))
    digest = vela_sha.calculate_composition_hash(manifest)["sha256"]
    code, out, err = run("verify", "site/m.json", "-j", "2")
    assert code == 1
    assert out.decode().splitlines() == [
        f"{digest}  site/m.json", "t/ok.html: OK", "t/changed.html: FAILED", "t/gone.html: MISSING",
        "t/bad.html: FAILED", "../outside.html: FAILED", "/etc/passwd: FAILED", "t/link.html: FAILED"]
    assert err.decode().splitlines() == [
        "vela-sha: t/gone.html: No such file or directory",
        "vela-sha: t/bad.html: " + BAD_UTF8.decode() + " (first invalid byte at offset 0, line 1)",
        "vela-sha: ../outside.html: a '..' segment leaves the root",
        "vela-sha: /etc/passwd: an absolute path leaves the root",
        "vela-sha: t/link.html: resolves outside the root (a symbolic link points out)",
        "vela-sha: 1 url node not checked",
        "vela-sha: WARNING: 5 computed checksums did NOT match",
        "vela-sha: WARNING: 1 listed file could not be read"]
    # From standard input the root is the current folder, unless --root says otherwise.
    code, out, _ = run("verify", "--json", "-", "--root", "site", stdin=json.dumps(
        {"schema": "v1", "nodes": nodes[:1], "edges": []}).encode())
    assert code == 0
    assert [json.loads(line) for line in out.splitlines()][1] == {
        "path": "t/ok.html", "status": "OK", "expected": ok, "actual": ok, "reason": None}
    # A node named "-" is a file of that name, not standard input.
    (site / "-").write_bytes(b"ok\n")
    (site / "dash.json").write_text(json.dumps({"schema": "v1", "nodes": [_node("local_path", "-", ok)], "edges": []}))
    assert run("verify", "site/dash.json", stdin=b"other")[1].endswith(b"-: OK\n")
    code, out, err = run("verify", "-", stdin=b'{"schema": "v1", "nodes": [1], "edges": []}')
    assert (code, out) == (1, b"") and err.endswith(b"manifest node must be a mapping (at nodes[0])\n")


def test_progress_only_on_a_terminal(files):
    names = [str(files / "crlf.txt")] * 3
    quiet = subprocess.run([COMMAND, "template", "--progress", *names], capture_output=True)
    assert quiet.stderr == b""
    primary, secondary = pty.openpty()
    try:
        shown = subprocess.run([COMMAND, "template", "--progress", *names], stdout=subprocess.PIPE,
                               stderr=secondary, check=True)
        os.close(secondary)
        drawn = os.read(primary, 4096)
    finally:
        os.close(primary)
    assert shown.stdout.count(b"\n") == 3
    assert drawn.startswith(b"\r1/3 files") and drawn.endswith(b"\r")  # drawn, then cleared


def test_version_usage_and_closed_pipe(run, files):
    assert run("--version") == (0, f"vela-sha {vela_sha.__version__}\n".encode(), b"")
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
