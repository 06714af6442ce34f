"""The vela-sha command line, end to end through a subprocess."""

import hashlib
import json
import subprocess
import sys

import pytest

CRLF_DIGEST = hashlib.sha256(b"a\nb").hexdigest()
EMPTY_MANIFEST = json.dumps({"schema": "v1", "nodes": [], "edges": []})
EMPTY_MANIFEST_DIGEST = "06f86f5722b2ea6dc471df8cb39121ad0afc164a3bb5a51ad8db8eb90944e965"


@pytest.fixture(params=["script", "module"])
def run(request, tmp_path):
    prefix = ["vela-sha"] if request.param == "script" else [sys.executable, "-m", "vela_sha"]

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


def test_template_lines_standard_input_and_failures(run, files):
    code, out, err = run("template", "crlf.txt", "missing.txt", "bad.txt", "-", "lf.txt", stdin=b"a\rb")
    assert code == 1
    assert out == (f"{CRLF_DIGEST}  crlf.txt\n{CRLF_DIGEST}  -\n{CRLF_DIGEST}  lf.txt\n").encode()
    assert err == (
        b"vela-sha: missing.txt: VELA_SHA_UNREADABLE_FILE: No such file or directory\n"
        b"vela-sha: bad.txt: VELA_SHA_INVALID_UTF8: text-file bytes are not valid UTF-8; "
        b"encode the source as UTF-8 before hashing (first invalid byte at offset 5, line 3)\n"
    )
    assert run("template", stdin=b"a\nb") == (0, f"{CRLF_DIGEST}  -\n".encode(), b"")


def test_composition(run, files):
    assert run("composition", "manifest.json") == (0, f"{EMPTY_MANIFEST_DIGEST}  manifest.json\n".encode(), b"")
    assert run("composition", stdin=EMPTY_MANIFEST.encode())[1] == f"{EMPTY_MANIFEST_DIGEST}  -\n".encode()
    code, out, err = run("composition", stdin=b"{not json")
    assert (code, out) == (1, b"") and err.startswith(b"vela-sha: -: VELA_SHA_INVALID_JSON: ")
    code, out, err = run("composition", stdin=b'{"schema": "v2"}')
    assert (code, out, err) == (1, b"", b"vela-sha: -: VELA_SHA_UNSUPPORTED_MANIFEST_SCHEMA: "
                                        b"unsupported manifest schema; use vela-sha/manifest/v1\n")


def test_check(run, files):
    code, sums, _ = run("template", "crlf.txt", "lf.txt")
    (files / "SUMS").write_bytes(sums)
    assert run("check", "SUMS") == (0, b"crlf.txt: OK\nlf.txt: OK\n", b"")
    (files / "lf.txt").write_bytes(b"changed")
    (files / "SUMS").write_bytes(sums + b"not a sum line\n" + b"0" * 64 + b"  missing.txt\n")
    code, out, err = run("check", "SUMS")
    assert code == 1
    assert out == b"crlf.txt: OK\nlf.txt: FAILED\nmissing.txt: FAILED\n"
    assert err == (
        b"vela-sha: SUMS: VELA_SHA_IMPROPER_CHECK_LINE: line 3 is not '<64 hex digits>  <name>'\n"
        b"vela-sha: missing.txt: VELA_SHA_UNREADABLE_FILE: No such file or directory\n"
        b"vela-sha: WARNING: 2 computed checksums did NOT match\n"
    )
    assert run("check", stdin=sums)[:2] == (1, b"crlf.txt: OK\nlf.txt: FAILED\n")


def test_names_needing_escapes_round_trip(run, files):
    name = "odd\\name\nwith breaks"
    (files / name).write_bytes(b"x")
    code, out, _ = run("template", name)
    assert out == b"\\" + hashlib.sha256(b"x").hexdigest().encode() + b"  odd\\\\name\\nwith breaks\n"
    (files / "SUMS").write_bytes(out)
    assert run("check", "SUMS") == (0, b"\\odd\\\\name\\nwith breaks: OK\n", b"")


def test_json_output(run, files):
    code, out, _ = run("--json", "template", "crlf.txt", "missing.txt")
    assert code == 1
    assert [json.loads(line) for line in out.splitlines()] == [
        {"kind": "template", "sha256": CRLF_DIGEST, "name": "crlf.txt"}]
    code, out, _ = run("composition", "--json", "manifest.json")
    assert json.loads(out) == {"kind": "composition", "sha256": EMPTY_MANIFEST_DIGEST, "name": "manifest.json"}


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["composition", "a", "b"], ["template", "--nope"]])
def test_usage_errors_exit_2(run, files, args):
    code, out, err = run(*args)
    assert code == 2 and out == b"" and err.startswith(b"usage: ")
