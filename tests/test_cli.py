"""The vorn-schema command: check, describe, json-schema, lint and typeddict."""

import io
import json
import pathlib
import subprocess
import sys

import pytest

from vorn_schema import cli

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"
SHOP = str(EXAMPLES / "shop.vorn")


def run(*argv, stdin=None, monkeypatch=None):
    out = io.StringIO()
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    code = cli.main([str(a) for a in argv], out)
    return code, out.getvalue()


def ex(name):
    return str(EXAMPLES / name)


def test_check_valid_and_invalid_json_files():
    code, out = run("check", SHOP, "Order", ex("order.json"), ex("order_invalid.json"))
    assert code == 1
    lines = out.splitlines()
    bad = ex("order_invalid.json")
    assert lines[0] == f"{bad}:1: customer_id: not a valid uuid (invalid_format)"
    assert lines[3] == f"{bad}:1: items[0].quantity: 0 is outside 1..=1000 (out_of_range)"
    assert lines[-2] == f"{bad}:1: gift_wrap: `Order` declares no field named `gift_wrap` (unknown_field)"
    assert lines[-1] == "2 payloads checked: 1 passed, 1 failed"
    assert run("check", SHOP, "Order", ex("order.json")) == (
        0, "1 payload checked: 1 passed, 0 failed\n")


PAYMENT_LINES = [
    "3: amount_cents: 0 is outside 1..=100000000 (out_of_range)",
    "4: type: `voucher` is not a variant of `PaymentEvent`; expected one of: card, "
    "bank_transfer, refund (unknown_variant)",
    "5: card_last4: length 2 is below the minimum of 4 (too_short)",
    "5: at: `2024-05-04T08:00:00` has no UTC offset; Vorn does not assume local time "
    "(missing_timezone)",
    # A truncated record: its fault is at the end of its own line.
    "6:56: expected `\"`",
]


@pytest.mark.parametrize("jobs", [1, pytest.param(2, marks=pytest.mark.subprocess)])
def test_check_json_lines_reports_each_line(jobs):
    code, out = run("check", SHOP, "PaymentEvent", ex("payments.jsonl"), "--jobs", jobs)
    assert code == 1
    name = ex("payments.jsonl")
    assert out.splitlines() == [f"{name}:{line}" for line in PAYMENT_LINES] + [
        "7 payloads checked: 3 passed, 4 failed"]


def test_check_json_format_emits_one_record_per_payload():
    code, out = run("check", SHOP, "PaymentEvent", ex("payments.jsonl"), "--format", "json")
    records = [json.loads(line) for line in out.splitlines()]
    assert code == 1
    assert [(r["line"], r["ok"]) for r in records] == [
        (1, True), (2, True), (3, False), (4, False), (5, False), (6, False), (7, True)]
    assert records[2] == {"file": ex("payments.jsonl"), "line": 3, "ok": False, "errors": [
        {"path": "amount_cents", "code": "out_of_range", "message": "0 is outside 1..=100000000"}]}
    assert records[5]["errors"] == [
        {"path": "<root>", "code": "invalid_json", "message": "6:56: expected `\"`"}]


def test_check_reads_standard_input(monkeypatch):
    lines = (EXAMPLES / "customers.jsonl").read_bytes()
    assert run("check", SHOP, "Customer", "--jsonl", stdin=lines, monkeypatch=monkeypatch) == (
        0, "3 payloads checked: 3 passed, 0 failed\n")
    code, out = run("check", SHOP, "Order", "-", stdin=b'\n\n  {"id": 1,\n  "x" 2}',
                    monkeypatch=monkeypatch)
    assert (code, out.splitlines()[0]) == (1, "<stdin>:4:7: expected `:`")
    # A JSON record keeps the payload's line; the fault's position is in its message.
    code, out = run("check", SHOP, "Order", "--format", "json", stdin=b'\n{"id" 1}',
                    monkeypatch=monkeypatch)
    assert json.loads(out) == {"file": "<stdin>", "line": 1, "ok": False, "errors": [
        {"path": "<root>", "code": "invalid_json", "message": "2:7: expected `:`"}]}


@pytest.mark.parametrize(
    "option, message",
    [
        ("--max-depth", "nesting deeper than the limit of 1 (depth_exceeded)"),
        ("--max-items", "more than 1 items in one array (size_exceeded)"),
        ("--max-string-bytes", "string longer than 1 bytes (size_exceeded)"),
        ("--max-object-keys", "more than 1 keys in one object (size_exceeded)"),
    ],
)
def test_check_limits_are_options(option, message):
    code, out = run("check", SHOP, "Order", ex("order.json"), option, "1")
    assert (code, out.splitlines()[0]) == (1, f"{ex('order.json')}:1: <root>: {message}")


@pytest.mark.parametrize(
    "argv, message",
    [
        (["check", "MISSING.vorn", "Order"], "MISSING.vorn: No such file or directory"),
        (["check", SHOP, "Nope", ex("order.json")],
         f"{SHOP}: schema declares no type named `Nope`"),
        (["check", SHOP, "Order", "no-such.json"], "no-such.json: No such file or directory"),
        (["json-schema", SHOP, "Nope"], f"{SHOP}: schema declares no type named `Nope`"),
    ],
)
def test_errors_exit_with_two(argv, message, capsys):
    assert cli.main(argv, io.StringIO()) == 2
    assert capsys.readouterr().err.splitlines()[-1] == message


def test_schema_parse_error_names_the_file(tmp_path, capsys):
    bad = tmp_path / "bad.vorn"
    bad.write_text("schema A {\n  x: Strng\n}\n")
    for command in (["check", bad, "A"], ["lint", bad], ["describe", bad], ["typeddict", bad]):
        assert cli.main([str(a) for a in command], io.StringIO()) == 2
        assert capsys.readouterr().err == f"{bad}:2:6: unknown type `Strng`\n"


@pytest.mark.parametrize("argv", [["check", SHOP], ["frobnicate"], ["check", SHOP, "Order",
                                                                   "--jobs", "0"]])
def test_usage_errors_exit_with_two(argv, capsys):
    with pytest.raises(SystemExit) as info:
        cli.main(argv, io.StringIO())
    assert info.value.code == 2


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
    assert "Order = _t.TypedDict('Order'" in source or "class Order(_Order_required" in source
    assert run("typeddict", SHOP)[1] == source


def test_lint_exit_status(tmp_path):
    assert run("lint", SHOP) == (0, "")
    sloppy = tmp_path / "sloppy.vorn"
    sloppy.write_text("schema Price {\n  amount: f64 @range(0..=100)\n  n: u32 @min_len(1)\n}\n")
    code, out = run("lint", sloppy)
    assert code == 1
    assert out.splitlines()[1] == (
        f"{sloppy}:3:10: Price.n: `@min_len` reads text, which a `u32` value never is, "
        "so it checks nothing [never-applies]")


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
