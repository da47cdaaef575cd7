"""Every example in README.md and docs/ run as written, its output checked.

How a document's fenced blocks are read:

- ```python blocks run; one that starts with `>>>` is a doctest session
  whose shown output must be what the code prints (ELLIPSIS allowed).
- ```console blocks are shell sessions: `$ ` starts a command, `> ` lines
  continue it (a here-document), and the lines up to the next `$ ` are what
  it prints, stdout and stderr together. Each command must exit 0: show a
  failing one as `cmd || echo "exit $?"`.
- ```sh, ```text and ```yaml blocks are not run: build commands, cluster
  set-up, signatures and transcripts. A ```sh block may not run `talvik`:
  an example of the command goes in a console block.

The blocks of one document run in order in one namespace and one fresh
folder, the current directory, which its console sessions share.
"""
import doctest
import os
import re
import subprocess
import sys

import pytest
from sybil import Sybil
from sybil.parsers.markdown import PythonCodeBlockParser
from sybil.parsers.markdown.codeblock import CodeBlockParser
from sybil.parsers.markdown.lexers import FencedCodeBlockLexer

from support.paths import DOCS, README, talvik_script

DOCUMENTS = [README, *sorted(DOCS.rglob("*.md"))]
NOT_RUN = {"sh", "text", "yaml"}


def session(source):
    """[(command, expected output)] of a console block."""
    steps = []
    for line in source.splitlines(keepends=True):
        if line.startswith("$ "):
            steps.append([line[2:], ""])
        elif not steps:
            raise ValueError(f"a console block must start with a `$ ` command, not {line!r}")
        elif line.startswith("> ") and not steps[-1][1]:
            steps[-1][0] += line[2:]
        else:
            steps[-1][1] += line
    return [(command, expected) for command, expected in steps]


def run_console(example):
    env = dict(os.environ)
    # The talvik under test first, whichever environment runs the suite.
    env["PATH"] = os.pathsep.join([str(talvik_script().parent), os.path.dirname(sys.executable), env["PATH"]])
    env["PYTHONUNBUFFERED"] = "1"
    for command, expected in session(example.parsed):
        out = subprocess.run(["bash", "-o", "pipefail", "-c", command], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, env=env, timeout=600)
        got = out.stdout.decode()
        if out.returncode != 0:
            return f"$ {command}exited {out.returncode}, printing:\n{got}"
        checker = doctest.OutputChecker()
        if not checker.check_output(expected, got, doctest.ELLIPSIS):
            return f"$ {command}printed:\n{got}\nnot, as shown:\n{expected}"
    return None


SYBIL = Sybil(parsers=[PythonCodeBlockParser(doctest_optionflags=doctest.ELLIPSIS),
                       CodeBlockParser("console", run_console)])


def label(path):
    return path.relative_to(README.parent).as_posix()


@pytest.mark.parametrize("path", DOCUMENTS, ids=label)
def test_examples_run_as_shown(path, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    document = SYBIL.parse(path)
    try:
        for example in document:
            example.evaluate()
    finally:
        client = document.namespace.get("client")
        if client is not None:  # a Dask example left its cluster up
            client.close()


def fenced_blocks(path):
    document = SYBIL.parse(path)
    lexer = FencedCodeBlockLexer(language=r"[\w-]*", mapping={"language": "language", "source": "source"})
    return [(str(region.lexemes["language"]), str(region.lexemes["source"])) for region in lexer(document)]


@pytest.mark.parametrize("path", DOCUMENTS, ids=label)
def test_every_block_is_run_or_declared_not_to_be(path):
    for language, source in fenced_blocks(path):
        assert language in NOT_RUN | {"python", "console"}, f"a ```{language} block in {label(path)}"
        if language == "sh":
            assert not re.search(r"^\s*(\$ )?talvik ", source, re.M), f"{label(path)}: {source}"


def test_the_site_is_beside_the_tests():
    # A copy of the suite without docs/ would otherwise check README alone.
    assert {"index.md", "api.md", "cli.md", "dask.md", "module.md", "package.md"} <= {
        p.name for p in DOCS.glob("*.md")}


@pytest.mark.parametrize("source, steps", [
    ("$ echo a\na\n", [("echo a\n", "a\n")]),
    ("$ cat > f <<'EOF'\n> x\n> EOF\n$ cat f\nx\n", [("cat > f <<'EOF'\nx\nEOF\n", ""), ("cat f\n", "x\n")]),
    ("$ echo a\na\n> b\n", [("echo a\n", "a\n> b\n")]),   # after output, `> ` is output
])
def test_console_sessions_are_read_as_typed(source, steps):
    assert session(source) == steps


def test_a_console_block_must_start_with_a_command():
    with pytest.raises(ValueError, match="must start"):
        session("output\n$ echo\n")
