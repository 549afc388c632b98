"""The documentation's examples, run as a reader would run them.

Every page under docs/ is read in order, in a fresh folder holding a copy of
the bundled examples: each ```console block's `$ ` lines run in a shell
(with the installed orvtool on PATH) and must succeed, or end with the status
its `[status N]` line names; the output shown under a command must match what
it prints (`...` stands for any text). ```pycon blocks run as doctests, one
namespace per page. A page that goes stale fails here."""

import doctest
import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
BLOCK = re.compile(r"^```(console|pycon)\n(.*?)^```$", re.M | re.S)
PAGES = sorted(p for p in DOCS.rglob("*.md") if BLOCK.search(p.read_text(encoding="utf-8")))
STATUS = re.compile(r"^\[status (\d+)\]$")
CHECKER = doctest.OutputChecker()
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def console_steps(text):
    """(command, expected output or None, expected status) per `$ ` line."""
    steps = []
    for line in text.splitlines():
        if line.startswith("$ "):
            steps.append([line[2:], [], 0])
        elif steps and (m := STATUS.match(line.strip())):
            steps[-1][2] = int(m.group(1))
        elif steps and line.strip():
            steps[-1][1].append(line)
    return [(cmd, "\n".join(out) + "\n" if out else None, code) for cmd, out, code in steps]


def run_console(text, where, env, page):
    for command, expected, code in console_steps(text):
        done = subprocess.run(
            ["bash", "-o", "pipefail", "-c", command],
            cwd=where,
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
        )
        said = done.stdout + done.stderr
        assert done.returncode == code, f"{page}: `{command}` ended with {done.returncode}:\n{said[:1500]}"
        if expected is not None:
            assert CHECKER.check_output(expected, said, FLAGS), f"{page}: `{command}` printed\n{said[:1500]}"


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(DOCS)) for p in PAGES])
def test_page_examples_run(page, tmp_path, monkeypatch):
    text = page.read_text(encoding="utf-8")
    blocks = [(m.group(1), m.group(2), text.count("\n", 0, m.start(2))) for m in BLOCK.finditer(text)]
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")
    env.pop("COLUMNS", None)
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    names: dict[str, object] = {}
    for kind, body, line in blocks:
        if kind == "console":
            run_console(body, tmp_path, env, page.name)
        else:
            test = parser.get_doctest(body, names, f"{page.name}:{line + 1}", str(page), line)
            runner.run(test, clear_globs=False)
    assert runner.summarize(verbose=False).failed == 0, f"{page.name}: a Python example failed (above)"


def test_the_pages_have_examples():
    assert len(PAGES) >= 15


def test_every_module_finding_is_explained():
    """The messages page names every category of finding the module has."""
    header = (ROOT / "src" / "common" / "diagnostics.hpp").read_text(encoding="utf-8")
    body = header.split("enum class Category", 1)[1].split("};", 1)[0]
    categories = re.findall(r"^\s+([a-z_]+),", body, re.M)
    page = (DOCS / "reference" / "messages.md").read_text(encoding="utf-8")
    assert len(categories) > 15
    assert [c for c in categories if f"`{c}`" not in page] == []


def test_the_offline_check_finds_what_a_page_would_load_from_elsewhere(tmp_path):
    spec = importlib.util.spec_from_file_location("build_docs", ROOT / "scripts" / "build_docs.py")
    assert spec and spec.loader
    build_docs = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(build_docs)
    (tmp_path / "page.html").write_text(
        '<a href="https://example.org/">a link is no load</a><img src="_images/x.png">'
        '<script src="https://cdn.example.org/x.js"></script><link rel="stylesheet" href="//fonts.example.org/f.css">'
        '<img alt="x" src="data:image/png;base64,AAAA">'
    )
    (tmp_path / "s.css").write_text('a { background: url("https://x.example.org/i.png") } b { background: url(x.png) }')
    (tmp_path / "f.svg").write_text('<svg xmlns="http://www.w3.org/2000/svg"><rect/></svg>')
    found = build_docs.external_loads(tmp_path)
    assert [f.split(":")[0] for f in found] == ["page.html", "page.html", "s.css"]
