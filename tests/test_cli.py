"""The vorn-schema command: check, describe, json-schema, lint and typeddict."""

import copy
import functools
import io
import json
import os
import pathlib
import select
import shutil
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from vorn_schema import cli
from vorn_schema._positions import Locator, github_line, parse_error_parts

ROOT = pathlib.Path(__file__).parent.parent
EXAMPLES = ROOT / "examples"
SHOP = str(EXAMPLES / "shop.vorn")


def ex(name):
    return str(EXAMPLES / name)


def run(*argv, stdin=None, monkeypatch=None):
    out = io.StringIO()
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    code = cli.main([str(a) for a in argv], out)
    return code, out.getvalue()


BAD = ex("order_invalid.json")
PAYMENTS = ex("payments.jsonl")
ORDER_LINES = [
    f"{BAD}:3:18: customer_id: not a valid uuid (invalid_format)",
    f"{BAD}:7:37: items[0].quantity: 0 is outside 1..=1000 (out_of_range)",
    # A missing member: the object that lacks it.
    f"{BAD}:8:5: items[1].weight_kg: required; may be null but must be present (required)",
    # An undeclared member: its key.
    f"{BAD}:11:3: gift_wrap: `Order` declares no field named `gift_wrap` (unknown_field)",
]
PAYMENT_LINES = [
    f"{PAYMENTS}:3:54: amount_cents: 0 is outside 1..=100000000 (out_of_range)",
    f"{PAYMENTS}:4:10: type: `voucher` is not a variant of `PaymentEvent`; expected one of: "
    "card, bank_transfer, refund (unknown_variant)",
    f"{PAYMENTS}:5:72: card_last4: length 2 is below the minimum of 4 (too_short)",
    f"{PAYMENTS}:5:84: at: `2024-05-04T08:00:00` has no UTC offset; Vorn does not assume local "
    "time (missing_timezone)",
    # A truncated record: its fault is at the end of its own line.
    f"{PAYMENTS}:6:56: <root>: expected `\"` (invalid_json)",
    "7 payloads checked: 3 passed, 4 failed",
]


@pytest.mark.parametrize(
    "argv, stdin, code, expected",
    [
        (["Order", ex("order.json"), BAD], None, 1, ORDER_LINES),
        (["Order", ex("order.json")], None, 0, ["1 payload checked: 1 passed, 0 failed"]),
        (["PaymentEvent", PAYMENTS], None, 1, PAYMENT_LINES),
        pytest.param(["PaymentEvent", PAYMENTS, "--jobs", 2], None, 1, PAYMENT_LINES,
                     marks=pytest.mark.subprocess, id="jobs"),
        (["Customer", "--jsonl"], (EXAMPLES / "customers.jsonl").read_bytes(), 0,
         ["3 payloads checked: 3 passed, 0 failed"]),
        (["Order", "-"], b'\n\n  {"id": 1,\n  "x" 2}', 1,
         ["<stdin>:4:7: <root>: expected `:` (invalid_json)"]),
        # A limit stops reading the document, so the issue sits at its start.
        *[
            (["Order", ex("order.json"), option, 1], None, 1,
             [f"{ex('order.json')}:1:1: <root>: {message}"])
            for option, message in [
                ("--max-depth", "nesting deeper than the limit of 1 (depth_exceeded)"),
                ("--max-items", "more than 1 items in one array (size_exceeded)"),
                ("--max-string-bytes", "string longer than 1 bytes (size_exceeded)"),
                ("--max-object-keys", "more than 1 keys in one object (size_exceeded)"),
            ]
        ],
        (["PaymentEvent", PAYMENTS, "--format", "github"], None, 1, [
            f"::error file={PAYMENTS.replace(':', '%3A')},line=3,col=54::amount_cents: 0 is "
            "outside 1..=100000000 (out_of_range)"]),
    ],
)
def test_check_prints_each_issue_where_it_sits(argv, stdin, code, expected, monkeypatch):
    got, out = run("check", SHOP, *argv, stdin=stdin, monkeypatch=monkeypatch)
    lines = out.splitlines()
    assert got == code
    assert [line for line in lines if line in expected] == expected, lines


def test_check_places_issues_under_quoted_names(tmp_path):
    schema = tmp_path / "q.vorn"
    schema.write_text('schema T { "a.b": u8  a: A  "": u8  "x[0]": u8 }  schema A { b: u8 }')
    doc = tmp_path / "d.json"
    doc.write_text('{\n  "a.b": 300,\n  "a": {},\n  "": "s",\n  "x[0]": -1\n}')
    # `a.b` also reads as `b` inside `a`. This payload holds both, so the issue sits at the
    # object that holds both readings.
    lines = tmp_path / "d.jsonl"
    lines.write_text('{"a.b": 300, "a": {"b": 7}, "": 1, "x[0]": 1}\n')
    u8 = "is outside the range of u8 (0..=255) (out_of_range)"
    assert run("check", schema, "T", doc, lines) == (1, "\n".join([
        f"{doc}:2:10: a.b: 300 {u8}",
        f"{doc}:3:8: a.b: required (required)",
        # The empty name renders as `<root>`: the root, or its member `""`.
        f"{doc}:1:1: <root>: expected u8, found string (type_mismatch)",
        f"{doc}:5:11: x[0]: -1 {u8}",
        f"{lines}:1:1: a.b: 300 {u8}",
        "2 payloads checked: 0 passed, 2 failed\n"]))


@pytest.mark.parametrize(
    "doc, path, code, names, where",
    [
        ("\n  7", "<root>", "type_mismatch", None, (2, 3)),
        ("\n\n[[1]]", "<root>", "depth_exceeded", None, (1, 1)),
        # Keys merge by their decoded text; the last value counts, with its own key.
        ('{"a": 1, "\\u0061": [true, 5]}', "a[1]", "type_mismatch", None, (1, 27)),
        ('{"b": 1, "\\u0062": 2}', "b", "unknown_field", None, (1, 10)),
        # Only a line feed ends a line.
        ('{"a":\r\n\r 1}', "a", "out_of_range", None, (2, 3)),
        ('{"a": {"": 3}}', "a.", "type_mismatch", None, (1, 12)),
        ('{"a": [0, 1]}', "a[01]", "type_mismatch", None, (1, 1)),
        # `a.b` is the member `a.b`, or `b` inside `a`: the declared names tell which, and
        # without them the issue sits at the object holding both readings.
        ('{"a.b": 1, "a": {"b": 2}}', "a.b", "out_of_range", None, (1, 1)),
        ('{"a.b": 1, "a": {"b": 2}}', "a.b", "out_of_range", {"a.b"}, (1, 9)),
        ('{"a.b": 1, "a": {"b": 2}}', "a.b", "out_of_range", {"a", "b"}, (1, 23)),
        ('{"a[0]": 1, "a": [2]}', "a[0]", "out_of_range", {"a"}, (1, 19)),
        ('{"a": {}}', "a.b", "required", {"a", "b"}, (1, 7)),
        ('{"a": {}}', "a.b", "required", {"a", "a.b"}, (1, 1)),
        # A field with the empty name renders as `<root>`, as the root itself does.
        ('{"": 3}', "<root>", "type_mismatch", {""}, (1, 1)),
        ('{"": {}}', "<root>", "required", {""}, (1, 6)),
    ],
)
def test_locator_places_an_issue(doc, path, code, names, where):
    located = Locator(doc.encode(), None if names is None else frozenset(names))
    assert located.locate(path, code) == where


SENTINEL = "\x00sentinel"
# JSON text holds no lone surrogate.
chars = st.characters(blacklist_categories=("Cs",))
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(chars),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(
        # Names that read one way only: no `.`, `[` or empty name, and not `<root>`.
        st.text(chars.filter(lambda c: c not in ".["), min_size=1).filter(
            lambda k: k != "<root>"), inner, max_size=4),
    max_leaves=25,
)


def _members(value, path=()):
    if isinstance(value, dict):
        children = value.items()
    elif isinstance(value, list):
        children = enumerate(value)
    else:
        return
    for step, child in children:
        yield (*path, step)
        yield from _members(child, (*path, step))


@given(json_values, st.data(), st.sampled_from([None, 2]), st.booleans())
def test_locator_finds_every_value_and_key(doc, data, indent, ascii_only):
    paths = list(_members(doc))
    assume(paths)
    path = data.draw(st.sampled_from(paths))
    key = isinstance(path[-1], str) and data.draw(st.booleans())
    # The same text with a sentinel in that place: everything before it is unchanged.
    marked = copy.deepcopy(doc)
    *above, last = path
    parent = functools.reduce(lambda v, step: v[step], above, marked)
    if key:
        items = [(SENTINEL if k == last else k, v) for k, v in parent.items()]
        parent.clear()
        parent.update(items)
    else:
        parent[last] = SENTINEL
    dump = functools.partial(json.dumps, indent=indent, ensure_ascii=ascii_only)
    before = dump(marked)[: dump(marked).index(dump(SENTINEL))].encode()
    where = (before.count(b"\n") + 1, len(before) - before.rfind(b"\n"))
    rendered = "".join(f"[{s}]" if isinstance(s, int) else f".{s}" for s in path).lstrip(".")
    code = "unknown_field" if key else "type_mismatch"
    assert Locator(dump(doc).encode()).locate(rendered, code) == where


def test_locator_places_issues_in_any_order():
    # Each position is counted from the one before, forwards or back, across lines.
    doc = Locator('{"\u00e9": [1, "\u00e9\u00e9", 3],\n "b": {"\u00e9": 1, "c": 2}}'.encode())
    asked = ["b.c", "\u00e9[2]", "\u00e9[0]", "b.\u00e9", "b.c", "\u00e9[1]"]
    assert [doc.locate(path, "out_of_range") for path in asked] == [
        (2, 22), (1, 20), (1, 9), (2, 14), (2, 22), (1, 12)]


@pytest.mark.parametrize(
    "text, parts",
    [
        ("3:14: expected `:`", (3, 14, "expected `:`")),
        ("1:2: unexpected `\n`: 9:9", (1, 2, "unexpected `\n`: 9:9")),
    ],
)
def test_parse_error_parts(text, parts):
    assert parse_error_parts(Exception(text)) == parts


def test_github_annotation_escapes_its_properties_and_message():
    assert github_line("a,b:c%.json", 2, 3, "p", "50%\r\nx", "c") == (
        "::error file=a%2Cb%3Ac%25.json,line=2,col=3::p: 50%25%0D%0Ax (c)")


@pytest.mark.parametrize(
    "argv, message",
    [
        (["check", "MISSING.vorn", "Order"], "MISSING.vorn: No such file or directory"),
        (["check", SHOP, "Nope", ex("order.json")],
         f"{SHOP}: schema declares no type named `Nope`"),
        (["check", SHOP, "Order", "no-such.json"], "no-such.json: No such file or directory"),
        (["json-schema", SHOP, "Nope"], f"{SHOP}: schema declares no type named `Nope`"),
        *[([command, "BAD", *rest], "BAD:2:6: unknown type `Strng`")
          for command, *rest in (["check", "Order"], ["lint"], ["describe"], ["typeddict"])],
        (["check", SHOP], "vorn-schema check: the following arguments are required: type"),
        (["frobnicate"], "vorn-schema: argument COMMAND: invalid choice: 'frobnicate'"),
        *[(["check", SHOP, "Order", option, value], f"vorn-schema check: argument {option}: "
           f"expected a whole number from {low} to {high}, got `{value}`")
          for option, value, low, high in [
              ("--max-string-bytes", "99999999999999999999", 0, cli.U64_MAX),
              ("--max-depth", "-1", 0, cli.U64_MAX),
              ("--max-items", "1.5", 0, cli.U64_MAX),
              ("--jobs", "0", 1, cli.MAX_JOBS),
              ("--jobs", "two", 1, cli.MAX_JOBS)]],
    ],
)
def test_errors_exit_with_two_and_one_line(argv, message, tmp_path, capsys):
    bad = tmp_path / "bad.vorn"
    bad.write_text("schema Order {\n  x: Strng\n}\n")
    argv = [str(bad) if a == "BAD" else a for a in argv]
    try:
        code = cli.main(argv, io.StringIO())
    except SystemExit as e:
        code = e.code
    err = capsys.readouterr().err
    usage_hint = " (see --help)" if message.startswith("vorn-schema") else ""
    assert code == 2 and err.count("\n") == 1, err
    assert err.startswith(message.replace("BAD", str(bad))) and err.endswith(usage_hint + "\n")


def test_every_option_has_help_and_version_prints(capsys):
    p = cli.parser()
    commands = p._subparsers._group_actions[0].choices
    for sub in [p, *commands.values()]:
        for action in sub._actions:
            assert action.help, (sub.prog, action.dest)
    with pytest.raises(SystemExit) as info:
        p.parse_args(["--version"])
    assert (info.value.code, capsys.readouterr().out) == (0, f"vorn-schema {cli.__version__}\n")


def test_describe_and_json_schema_print_json():
    code, out = run("describe", SHOP)
    assert code == 0 and json.loads(out)["PaymentEvent"]["tag"] == "type"
    code, out = run("json-schema", SHOP, "Order")
    doc = json.loads(out)
    assert code == 0 and doc["$ref"] == "#/$defs/Order" and "Customer" in doc["$defs"]


def test_typeddict_writes_a_module(tmp_path):
    target = tmp_path / "shop_types.py"
    assert run("typeddict", SHOP, "-o", target) == (0, "")
    source = target.read_text()
    # Optional keys need NotRequired, which only 3.11 and later offer; before, a total=False base.
    if sys.version_info >= (3, 11):
        assert "Order = _t.TypedDict('Order', {" in source
    else:
        assert "class Order(_Order_required, _Order_optional):" in source
    assert run("typeddict", SHOP)[1] == source


@pytest.mark.parametrize(
    "form, line",
    [
        ("text", "{file}:3:10: Price.n: `@min_len` reads text, which a `u32` value never is, "
         "so it checks nothing (never-applies)"),
        ("github", "::error file={file},line=3,col=10::Price.n: `@min_len` reads text, which a "
         "`u32` value never is, so it checks nothing (never-applies)"),
    ],
)
def test_lint_prints_as_check_does(form, line, tmp_path):
    assert run("lint", SHOP) == (0, "")
    sloppy = tmp_path / "sloppy.vorn"
    sloppy.write_text("schema Price {\n  amount: f64 @range(0..=100)\n  n: u32 @min_len(1)\n}\n")
    code, out = run("lint", sloppy, "--format", form)
    file = str(sloppy) if form == "text" else str(sloppy).replace(":", "%3A")
    assert (code, out.splitlines()[1]) == (1, line.format(file=file))


class Tty(io.StringIO):
    def isatty(self):
        return True


def test_progress_shows_only_on_a_terminal_after_two_seconds(monkeypatch):
    now = [100.0]
    monkeypatch.setattr(cli.time, "monotonic", lambda: now[0])
    quiet, tty = cli.Progress(1000, io.StringIO()), cli.Progress(1000, Tty())
    for p in (quiet, tty):
        p.update(100, 10)
    assert tty.stream.getvalue() == ""
    now[0] += 2.5
    for p in (quiet, tty):
        p.update(500, 50)
        p.close()
    assert quiet.stream.getvalue() == ""
    shown = tty.stream.getvalue()
    assert "50.0%" in shown and "50 payloads" in shown and shown.endswith("\r")
    unknown_size = cli.Progress(0, Tty())
    now[0] += 2.5
    unknown_size.update(0, 7)
    assert unknown_size.stream.getvalue() == "\r7 payloads, 3/s"


@pytest.mark.subprocess
def test_module_entry_point():
    done = subprocess.run(
        [sys.executable, "-m", "vorn_schema", "check", SHOP, "Order", ex("order.json")],
        capture_output=True, text=True, timeout=60,
    )
    assert (done.returncode, done.stdout, done.stderr) == (
        0, "1 payload checked: 1 passed, 0 failed\n", "")


def _until(ready, what, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not ready():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def _status(pid):
    """The fields of /proc/PID/status, or {} once the process is gone."""
    try:
        text = pathlib.Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return {}
    return dict(line.split(":\t", 1) for line in text.splitlines() if ":\t" in line)


def _descendants(pid):
    try:
        children = pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    except OSError:
        return []
    return [d for c in children for d in (int(c), *_descendants(int(c)))]


def _deaf_to_ctrl_c(pid):
    status = _status(pid)
    masks = int(status.get("SigBlk", "0"), 16) | int(status.get("SigIgn", "0"), 16)
    return bool(masks & (1 << (signal.SIGINT - 1)))


@pytest.mark.subprocess
@pytest.mark.skipif(not os.path.exists(f"/proc/{os.getpid()}/task/{os.getpid()}/children"),
                    reason="watches the processes through Linux's /proc")
@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_exits_130_and_ends_the_workers(jobs):
    # Ctrl-C on a terminal signals the whole process group, so the command runs in its own.
    p = subprocess.Popen(
        [sys.executable, "-m", "vorn_schema", "check", SHOP, "Order", "--jsonl", "--format",
         "json", "--jobs", str(jobs)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        start_new_session=True, env=dict(os.environ, PYTHONUNBUFFERED="1"),
    )
    try:
        if jobs == 1:
            # The first record shows the run is under way, then it waits for the next line.
            p.stdin.write(b"{}\n")
            p.stdin.flush()
            _until(lambda: select.select([p.stdout], [], [], 0)[0], "the first record")
            assert json.loads(p.stdout.readline())["ok"] is False
        else:
            # Workers deaf to Ctrl-C, and the command itself listening again.
            _until(lambda: len([c for c in _descendants(p.pid) if _deaf_to_ctrl_c(c)]) >= jobs
                   and not _deaf_to_ctrl_c(p.pid), "the workers")
        workers = _descendants(p.pid)
        os.killpg(p.pid, signal.SIGINT)
        _, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            p.kill()
    assert (p.returncode, err) == (130, b"")

    def ended():
        return all(_status(w).get("State", "Z")[0] in "ZX" for w in workers)

    _until(ended, "the workers to end", 10)


@pytest.mark.subprocess
def test_pre_commit_hook_checks_the_files_it_is_given(tmp_path):
    """Installs this tree as a hook repository, which builds the extension."""
    pytest.importorskip("pre_commit")
    git = shutil.which("git")
    if git is None or not (ROOT / ".git").exists():
        pytest.skip("needs git and a git checkout")
    env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@t", GIT_CONFIG_NOSYSTEM="1", PYTHONPATH="")

    def sh(*argv, cwd):
        return subprocess.run(argv, cwd=cwd, env=env, capture_output=True, text=True,
                              timeout=1200)

    # The hook repository: this working tree as it is, with the arguments a user's
    # configuration gives (try-repo has no way to pass them).
    hooks = tmp_path / "hooks"
    listed = sh(git, "ls-files", "-z", "--cached", "--others", "--exclude-standard", cwd=ROOT)
    for name in filter(None, listed.stdout.split("\0")):
        if (ROOT / name).is_file():
            (hooks / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, hooks / name)
    manifest = hooks / ".pre-commit-hooks.yaml"
    manifest.write_text(manifest.read_text() + "  args: [shop.vorn, Order]\n")
    project = tmp_path / "project"
    project.mkdir()
    shutil.copy(SHOP, project / "shop.vorn")
    shutil.copy(ex("order.json"), project / "ok.json")
    shutil.copy(BAD, project / "bad.json")
    for repo in (hooks, project):
        sh(git, "init", "-q", cwd=repo)
        sh(git, "add", ".", cwd=repo)
        sh(git, "commit", "-qm", "init", cwd=repo)
    done = sh(sys.executable, "-m", "pre_commit", "try-repo", hooks, "vorn-schema-check",
              "--all-files", cwd=project)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "bad.json:3:18: customer_id: not a valid uuid (invalid_format)" in done.stdout
    assert "2 payloads checked: 1 passed, 1 failed" in done.stdout
