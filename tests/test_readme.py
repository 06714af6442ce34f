"""README's examples run as written, and its stream example hashes to its digest."""

import doctest
import hashlib
import importlib.util
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text(encoding="utf-8")


def _code_only(text: str) -> str:
    """README with every line outside pycon and python fences blanked: line
    numbers stay README's, and each fence ends the expected output above it."""
    lines, language = [], None
    for line in text.splitlines():
        if line.startswith("```"):
            language = line[3:].strip() if language is None else None
            line = ""
        lines.append(line if language in ("pycon", "python") else "")
    return "\n".join(lines)


def _runnable(text: str) -> str:
    """README, less the resolver's section where Jinja2, which it runs, is not
    installed (wheels for another architecture are tried with pytest alone)."""
    if importlib.util.find_spec("jinja2"):
        return text
    start = text.index("\n## Pinning a site's templates")
    end = text.index("\n## ", start + 1)
    return text[:start] + "\n" * text.count("\n", start, end) + text[end:]


@pytest.mark.smoke
def test_examples_run_as_written():
    test = doctest.DocTestParser().get_doctest(_code_only(_runnable(TEXT)), {}, "README.md", str(README), 0)
    assert len(test.examples) > 20
    report: list[str] = []
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


@pytest.mark.smoke
def test_stream_example_hashes_to_the_digest_shown():
    dump, after = re.search(r"```text\noffset [^\n]*\n(.*?)```\n(.*?)\n\n", TEXT, re.S).groups()
    stream = bytearray()
    for line in dump.splitlines():
        offset, data = line[:5].strip(), line[7:54]
        assert not offset or int(offset) == len(stream), line
        stream += bytes.fromhex(data)
    length, digest = re.search(r"These (\d+) bytes hash to\s+`([0-9a-f]{64})`", after).groups()
    assert len(stream) == int(length)
    assert hashlib.sha256(stream).hexdigest() == digest
    # The doctest checks that the library gives this digest for the example's manifest.
    assert f"'sha256': '{digest}'" in TEXT
