"""Every example in the README runs as printed.

- ``vorn`` blocks must parse;
- ``console`` blocks: each ``$ vorn-schema ...`` line runs, and its output must be the lines
  that follow it (blocks without a ``$`` line are shell instructions and are not run);
- ``python`` and ``pycon`` blocks run in order as one script, as a reader would paste them
  into a file; ``pycon`` blocks go through doctest, so their shown output must match.
"""

import contextlib
import importlib.util
import io
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import textwrap

import pytest

import vorn_schema
from vorn_schema import Schema, cli

ROOT = pathlib.Path(__file__).parent.parent
README = ROOT / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)


def blocks(kind):
    return [body for lang, body in FENCE.findall(README.read_text()) if lang == kind]


def test_readme_has_every_kind_of_example():
    assert {lang for lang, _ in FENCE.findall(README.read_text())} >= {
        "python", "pycon", "console", "vorn"}


@pytest.mark.parametrize("text", blocks("vorn"))
def test_schema_examples_parse(text):
    Schema.parse(text)


def commands():
    for body in blocks("console"):
        lines = body.splitlines()
        starts = [i for i, line in enumerate(lines) if line.startswith("$ ")]
        for n, i in enumerate(starts):
            end = starts[n + 1] if n + 1 < len(starts) else len(lines)
            yield lines[i][2:], lines[i + 1 : end]


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("command, expected", list(commands()), ids=lambda x: str(x)[:60])
def test_console_examples(command, expected, workdir):
    argv = shlex.split(command)
    assert argv[0] == "vorn-schema"
    out = io.StringIO()
    with contextlib.redirect_stderr(io.StringIO()):
        cli.main(argv[1:], out)
    assert out.getvalue().splitlines() == expected


DOCTEST_RUNNER = '''
def _run_doctest(source, name):
    import doctest
    parser = doctest.DocTestParser()
    test = parser.get_doctest(source, globals(), name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, clear_globs=False)
    globals().update(test.globs)  # the DocTest ran on a copy
    if runner.failures:
        raise SystemExit(f"{name}: {runner.failures} doctest failure(s)")
'''


def script(with_dask):
    parts = [DOCTEST_RUNNER]
    n = 0
    for lang, body in FENCE.findall(README.read_text()):
        if lang == "python" and ("import dask" not in body or with_dask):
            parts.append(body)
        elif lang == "pycon":
            n += 1
            parts.append(f"_run_doctest({body!r}, 'README pycon block {n}')\n")
    return "\n".join(parts)


@pytest.mark.subprocess
def test_python_examples_run_as_one_script(workdir):
    with_dask = importlib.util.find_spec("dask") is not None  # for the Dask recipe
    # The typed-results example imports the module that its console command generates.
    cli.main(["typeddict", "examples/shop.vorn", "-o", "shop_types.py"], io.StringIO())
    (workdir / "readme_examples.py").write_text(script(with_dask))
    # The package as this test run imports it, installed or from a development build.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(vorn_schema.__file__)))
    path = os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))
    done = subprocess.run(
        [sys.executable, "readme_examples.py"], cwd=workdir, capture_output=True, text=True,
        timeout=300, env=dict(os.environ, PYTHONPATH=path),
    )
    assert done.returncode == 0, textwrap.shorten(done.stdout + done.stderr, 4000)
