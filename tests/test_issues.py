"""Issues and Issue: what a ValidationError carries, and how each problem reads."""

import gc
import subprocess
import sys
import textwrap

import pytest

from conftest import raised, validator
from vorn_schema import Issue, Issues, Schema

SCHEMA = """
schema Item { id: u8  tags: [String] }
schema Order { a: u8  b: String  items: [Item] }
schema Tags { kind: enum { a, b } }
"""
ORDER = validator(SCHEMA, "Order")

# Four issues in depth-first order.
FOUR_ISSUES = {"a": "x", "b": 5, "items": [{"id": 300, "tags": ["ok", 1]}]}


def test_list_order_and_fields():
    e = raised(lambda: ORDER(FOUR_ISSUES))
    assert len(e.args) == 1 and type(e.args[0]) is Issues
    issues = e.args[0]
    assert [(i.path, i.code, i.message) for i in issues.list()] == [
        ("a", "type_mismatch", "expected u8, found string"),
        ("b", "type_mismatch", "expected string, found integer"),
        ("items[0].id", "out_of_range", "300 is outside the range of u8 (0..=255)"),
        ("items[0].tags[1]", "type_mismatch", "expected string, found integer"),
    ]
    assert len(issues) == 4
    assert all(type(i) is Issue for i in issues.list())
    # Each call builds new objects.
    assert issues.list() is not issues.list()
    assert issues.list()[0] is not issues.list()[0]


@pytest.mark.parametrize(
    "call, summary, count",
    [
        pytest.param(
            lambda: ORDER(FOUR_ISSUES),
            "a: expected u8, found string (type_mismatch), and 3 more",
            4,
            id="many",
        ),
        pytest.param(
            lambda: ORDER({"a": 1, "b": "x", "items": [{"id": 256, "tags": []}]}),
            "items[0].id: 256 is outside the range of u8 (0..=255) (out_of_range)",
            1,
            id="one",
        ),
        pytest.param(
            lambda: ORDER([]), "<root>: expected object, found array (type_mismatch)", 1, id="root"
        ),
        pytest.param(
            lambda: Schema.parse(SCHEMA).validator("X"),
            "<root>: schema declares no type named `X` (unknown_type)",
            1,
            id="unknown-type-at-binding",
        ),
        pytest.param(
            lambda: Schema.parse(SCHEMA).validate("X", {}),
            "<root>: schema declares no type named `X` (unknown_type)",
            1,
            id="unknown-type-one-off",
        ),
    ],
)
def test_summary_str_and_first_issue(call, summary, count):
    e = raised(call)
    issues = e.args[0]
    assert (issues.summary(), str(e), len(issues)) == (summary, summary, count)
    # The summary names the first issue only, in the same form as str(issue), and the
    # first_* accessors read that same issue.
    first = issues.list()[0]
    assert summary.startswith(str(first))
    assert (issues.first_path(), issues.first_code(), issues.first_message()) == (
        first.path, first.code, first.message
    )


@pytest.mark.parametrize(
    "text, quoted",
    [
        pytest.param('say "hi"', 'say \\"hi\\"', id="double-quote"),
        pytest.param("back\\slash", "back\\\\slash", id="backslash"),
        pytest.param("it's", "it's", id="single-quote-unchanged"),
        pytest.param("t\tr\rn\nz\0", "t\\tr\\rn\\nz\\0", id="named-controls"),
        pytest.param("bell\x07", "bell\\u{7}", id="other-control"),
        pytest.param("e\u0301", "e\\u{301}", id="combining-mark"),
        pytest.param("nb\u00a0sp", "nb\\u{a0}sp", id="non-ascii-space"),
        pytest.param("caf\u00e9 \u4e2d", "caf\u00e9 \u4e2d", id="printable-non-ascii-unchanged"),
    ],
)
def test_repr_quotes_path_and_message(text, quoted):
    # An unknown member puts payload text in both the path and the message.
    v = validator(SCHEMA, "Tags")
    (issue,) = raised(lambda: v({"kind": "a", text: 1})).args[0].list()
    message = f"`Tags` declares no field named `{quoted}`"
    assert repr(issue) == f'Issue(path="{quoted}", code="unknown_field", message="{message}")'


def test_issue_outlives_its_issues():
    issues = raised(lambda: ORDER(FOUR_ISSUES)).args[0]
    kept = issues.list()[3]
    del issues
    gc.collect()
    assert (kept.path, kept.code) == ("items[0].tags[1]", "type_mismatch")


CHILD = """
import vorn_schema
from vorn_schema import _vorn
v = _vorn.Schema.parse("schema T { a: u8 }").validator("T")

def outcome():
    try:
        v({"a": "x"})
    except BaseException as e:
        return type(e).__name__ + ": " + str(e)
    return "passed"

def kind():
    return outcome().split(":")[0]
"""


@pytest.mark.subprocess
@pytest.mark.parametrize(
    "body, expected",
    [
        pytest.param(
            """
            saved = vorn_schema.ValidationError
            del vorn_schema.ValidationError
            print(kind())
            vorn_schema.ValidationError = saved
            print(outcome())
            """,
            ["AttributeError", "ValidationError: a: expected u8, found string (type_mismatch)"],
            id="missing-class-is-retried-until-found",
        ),
        pytest.param(
            """
            outcome()
            vorn_schema.ValidationError = type("Other", (Exception,), {})
            print(kind())
            """,
            ["ValidationError"],
            id="class-is-fixed-after-first-failure",
        ),
        pytest.param(
            "vorn_schema.ValidationError = 42\nprint(kind())", ["TypeError"], id="not-a-class"
        ),
        pytest.param(
            "vorn_schema.ValidationError = type('NotAnError', (), {})\nprint(outcome())",
            ["TypeError: exceptions must derive from BaseException"],
            id="not-an-exception",
        ),
    ],
)
def test_the_error_class_is_looked_up_once_it_works(body, expected):
    # The ValidationError cache is process-wide, so each scenario runs in a fresh interpreter.
    done = subprocess.run(
        [sys.executable, "-c", CHILD + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == expected
