"""Errors: what a ValidationError carries, how each issue reads, and errors() for an API.
Pickling them is in test_pickle.py."""

import datetime
import gc
import json
import subprocess
import sys
import textwrap

import pytest

from conftest import raised, validator
from vorn_schema import Issue, IssueList, Issues, Schema, ValidationError, json_default

SCHEMA = """
schema Item { id: u8  tags: [String] }
schema Order { a: u8  b: String  items: [Item]  when: optional DateTime  kind: optional enum { x } }
"""
ORDER = validator(SCHEMA, "Order")
# Four issues in depth-first order.
FOUR = {"a": "x", "b": 5, "items": [{"id": 300, "tags": ["ok", 1]}]}
ROWS = [
    ("a", "type_mismatch", "expected u8, found string"),
    ("b", "type_mismatch", "expected string, found integer"),
    ("items[0].id", "out_of_range", "300 is outside the range of u8 (0..=255)"),
    ("items[0].tags[1]", "type_mismatch", "expected string, found integer"),
]


def as_dicts(rows):
    return [{"path": p, "code": c, "message": m} for p, c, m in rows]


def test_issues_in_order():
    e = raised(lambda: ORDER(FOUR))
    assert len(e.args) == 1 and type(e.args[0]) is Issues and e.issues is e.args[0]
    issues = e.issues
    assert [(i.path, i.code, i.message) for i in issues.list()] == ROWS
    assert len(issues) == 4
    assert all(type(i) is Issue for i in issues.list())
    # Each call builds new objects.
    assert issues.list() is not issues.list()
    assert issues.list()[0] is not issues.list()[0]
    assert e.errors() == as_dicts(ROWS)
    assert json.loads(json.dumps(e.errors())) == e.errors()


UNKNOWN_TYPE = "<root>: schema declares no type named `X` (unknown_type)"


@pytest.mark.parametrize(
    "call, summary, shown",
    [
        pytest.param(
            lambda: ORDER(FOUR),
            "a: expected u8, found string (type_mismatch), and 3 more",
            "ValidationError(4 issues, first: a: expected u8, found string (type_mismatch))",
            id="many",
        ),
        pytest.param(
            lambda: ORDER({"a": 1, "b": "x", "items": [{"id": 256, "tags": []}]}),
            "items[0].id: 256 is outside the range of u8 (0..=255) (out_of_range)",
            "ValidationError(1 issue, first: items[0].id: 256 is outside the range of u8"
            " (0..=255) (out_of_range))",
            id="one",
        ),
        pytest.param(
            lambda: ORDER([]),
            "<root>: expected object, found array (type_mismatch)",
            "ValidationError(1 issue, first: <root>: expected object, found array (type_mismatch))",
            id="root",
        ),
        pytest.param(
            lambda: ORDER({"a": 1, "b": "", "items": [{"id": 1, "tags": [1]}], "z": 0}),
            "items[0].tags[0]: expected string, found integer (type_mismatch), and 1 more",
            "ValidationError(2 issues, first: items[0].tags[0]: expected string, found integer"
            " (type_mismatch))",
            id="nested-then-unknown-field",
        ),
        pytest.param(
            lambda: Schema.parse(SCHEMA).validator("X"),
            UNKNOWN_TYPE,
            f"ValidationError(1 issue, first: {UNKNOWN_TYPE})",
            id="unknown-type-at-binding",
        ),
        pytest.param(
            lambda: Schema.parse(SCHEMA).validate("X", {}),
            UNKNOWN_TYPE,
            f"ValidationError(1 issue, first: {UNKNOWN_TYPE})",
            id="unknown-type-one-off",
        ),
    ],
)
def test_how_a_failure_reads(call, summary, shown):
    e = raised(call)
    issues = e.issues
    assert (issues.summary(), str(e), repr(e)) == (summary, summary, shown)
    # The summary names the first issue in the form of str(issue); len, the first_*
    # accessors and errors() read the same issues as list().
    listed = issues.list()
    assert summary.startswith(str(listed[0]))
    assert len(issues) == len(listed)
    assert (issues.first_path(), issues.first_code(), issues.first_message()) == (
        listed[0].path, listed[0].code, listed[0].message
    )
    assert e.errors() == as_dicts((i.path, i.code, i.message) for i in listed)


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
    (issue,) = raised(lambda: ORDER({"a": 1, "b": "", "items": [], text: 1})).issues.list()
    message = f"`Order` declares no field named `{quoted}`"
    assert repr(issue) == f'Issue(path="{quoted}", code="unknown_field", message="{message}")'


def test_issue_outlives_its_issues():
    issues = raised(lambda: ORDER(FOUR)).issues
    kept = issues.list()[3]
    del issues
    gc.collect()
    assert (kept.path, kept.code) == ("items[0].tags[1]", "type_mismatch")


def test_an_error_built_by_hand_stays_ordinary():
    e = ValidationError("plain text")
    assert (repr(e), str(e)) == ("ValidationError('plain text')", "plain text")
    empty = ValidationError(IssueList([]))
    assert repr(empty) == "ValidationError(0 issues)"
    issues = empty.issues
    assert (len(issues), issues.list(), issues.summary()) == (0, [], "validation failed")
    assert (issues.first_path(), issues.first_code(), issues.first_message()) == ("", "", "")


def test_json_default_writes_dates_as_iso_text():
    result = ORDER(b'{"a": 1, "b": "x", "items": [], "when": "2024-05-01T10:00:00+02:00"}')
    text = json.dumps({**result, "day": datetime.date(2024, 5, 1), "t": (1, 2)},
                      default=json_default)
    assert json.loads(text) == {
        "a": 1, "b": "x", "items": [], "when": "2024-05-01T10:00:00+02:00",
        "day": "2024-05-01", "t": [1, 2],
    }
    with pytest.raises(TypeError, match="set is not JSON serializable"):
        json.dumps({1}, default=json_default)


# --- Where the package's error class comes from --------------------------------------------

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
    # The class is cached process-wide, so each scenario runs in a fresh interpreter.
    done = subprocess.run(
        [sys.executable, "-c", CHILD + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == expected
