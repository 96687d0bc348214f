"""Issues and Issue: what a ValidationError carries, and how each problem reads."""

import gc
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import validator
from vorn_schema import Issue, Issues, ValidationError, _vorn

SCHEMA = """
schema Item { id: u8  tags: [String] }
schema Order { a: u8  b: String  items: [Item] }
schema Tags { kind: enum { a, b } }
"""

# Four issues in depth-first order; the first is at path a.
FOUR_ISSUES = {"a": "x", "b": 5, "items": [{"id": 300, "tags": ["ok", 1]}]}
FIRST = ("a", "type_mismatch", "expected u8, found string")


@pytest.fixture(scope="module")
def order():
    return validator(SCHEMA, "Order")


def raised(call):
    with pytest.raises(ValidationError) as info:
        call()
    return info.value


def test_error_carries_one_issues_object(order):
    e = raised(lambda: order(FOUR_ISSUES))
    assert len(e.args) == 1
    assert type(e.args[0]) is Issues


def test_list_order_and_fields(order):
    issues = raised(lambda: order(FOUR_ISSUES)).args[0]
    rows = [(i.path, i.code, i.message) for i in issues.list()]
    assert rows == [
        FIRST,
        ("b", "type_mismatch", "expected string, found integer"),
        ("items[0].id", "out_of_range", "300 is outside the range of u8 (0..=255)"),
        ("items[0].tags[1]", "type_mismatch", "expected string, found integer"),
    ]
    assert len(issues) == 4
    assert all(type(i) is Issue for i in issues.list())


def test_list_builds_new_objects_each_call(order):
    issues = raised(lambda: order(FOUR_ISSUES)).args[0]
    assert issues.list() is not issues.list()
    assert issues.list()[0] is not issues.list()[0]
    assert len(issues.list()) == len(issues)


@pytest.mark.parametrize(
    "payload, summary",
    [
        pytest.param(
            FOUR_ISSUES,
            "a: expected u8, found string (type_mismatch), and 3 more",
            id="many",
        ),
        pytest.param(
            {"a": 1, "b": "x", "items": [{"id": 256, "tags": []}]},
            "items[0].id: 256 is outside the range of u8 (0..=255) (out_of_range)",
            id="one",
        ),
        pytest.param(
            [],
            "<root>: expected object, found array (type_mismatch)",
            id="root",
        ),
    ],
)
def test_summary_and_str(order, payload, summary):
    e = raised(lambda: order(payload))
    issues = e.args[0]
    assert issues.summary() == summary
    # The summary names the first issue only, in the same form as str(issue).
    assert summary.startswith(str(issues.list()[0]))
    assert str(e) == summary


def test_first_accessors(order):
    issues = raised(lambda: order(FOUR_ISSUES)).args[0]
    assert (issues.first_path(), issues.first_code(), issues.first_message()) == FIRST
    first = issues.list()[0]
    assert (first.path, first.code, first.message) == FIRST


def test_unknown_type():
    schema = _vorn.Schema.parse(SCHEMA)
    issues = raised(lambda: schema.validator("X")).args[0]
    text = "<root>: schema declares no type named `X` (unknown_type)"
    assert issues.summary() == text
    assert str(issues.list()[0]) == text
    assert len(issues) == 1
    assert issues.first_path() == "<root>"


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
    issues = raised(lambda: v({"kind": "a", text: 1})).args[0]
    (issue,) = issues.list()
    message = f"`Tags` declares no field named `{quoted}`"
    assert repr(issue) == f'Issue(path="{quoted}", code="unknown_field", message="{message}")'


@pytest.mark.parametrize("name", ["path", "code", "message"])
def test_issue_attributes_are_read_only(order, name):
    issue = raised(lambda: order(FOUR_ISSUES)).args[0].list()[0]
    with pytest.raises(AttributeError):
        setattr(issue, name, "x")
    with pytest.raises(AttributeError):
        delattr(issue, name)


@pytest.mark.parametrize("cls", [Issues, Issue])
def test_classes_have_no_constructor_and_no_subclasses(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__module__ == "vorn_schema"


def test_class_surface():
    assert Issues.__doc__.startswith(
        "What a `ValidationError` carries, with nothing built until it is read.\n\n"
    )
    assert Issue.__doc__ is None
    for name in ["list", "summary", "first_path", "first_code", "first_message"]:
        assert getattr(Issues, name).__text_signature__ == "($self)"
    # No iteration, indexing or comparison beyond object's.
    assert not hasattr(Issues, "__iter__") and not hasattr(Issues, "__getitem__")
    assert Issues.__eq__ is object.__eq__ and Issue.__eq__ is object.__eq__


def test_issue_outlives_its_issues(order):
    issues = raised(lambda: order(FOUR_ISSUES)).args[0]
    kept = issues.list()[3]
    del issues
    gc.collect()
    assert (kept.path, kept.code) == ("items[0].tags[1]", "type_mismatch")


def test_no_references_leak(order):
    def run():
        try:
            order(FOUR_ISSUES)
        except ValidationError as e:
            issues = e.args[0]
            issues.list()
            issues.summary()
            repr(issues.list()[0])

    run()
    gc.collect()
    before = (sys.getrefcount(Issues), sys.getrefcount(Issue), sys.getrefcount(ValidationError))
    for _ in range(200):
        run()
    gc.collect()
    after = (sys.getrefcount(Issues), sys.getrefcount(Issue), sys.getrefcount(ValidationError))
    assert after == before


def run_child(body):
    # The ValidationError cache is process-wide, so each scenario runs in a fresh interpreter.
    code = textwrap.dedent(
        """
        import vorn_schema
        from vorn_schema import _vorn
        v = _vorn.Schema.parse("schema T { a: u8 }").validator("T")

        def outcome():
            try:
                v({"a": "x"})
            except BaseException as e:
                return type(e).__name__ + ": " + str(e)
            return "passed"
        """
    ) + textwrap.dedent(body)
    done = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        env=os.environ.copy(),
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


@pytest.mark.subprocess
def test_missing_class_is_retried_until_found():
    out = run_child(
        """
        saved = vorn_schema.ValidationError
        del vorn_schema.ValidationError
        print(outcome().split(":")[0])
        vorn_schema.ValidationError = saved
        print(outcome())
        """
    )
    assert out == [
        "AttributeError",
        "ValidationError: a: expected u8, found string (type_mismatch)",
    ]


@pytest.mark.subprocess
def test_class_is_fixed_after_first_failure():
    out = run_child(
        """
        outcome()
        class Other(Exception):
            pass
        vorn_schema.ValidationError = Other
        print(outcome().split(":")[0])
        """
    )
    assert out == ["ValidationError"]


@pytest.mark.subprocess
@pytest.mark.parametrize(
    "replacement, expected",
    [
        pytest.param("42", "TypeError", id="not-a-class"),
        pytest.param(
            "type('NotAnError', (), {})",
            "TypeError: exceptions must derive from BaseException",
            id="not-an-exception",
        ),
    ],
)
def test_unusable_class(replacement, expected):
    out = run_child(
        f"""
        vorn_schema.ValidationError = {replacement}
        print(outcome())
        """
    )
    assert out[0].startswith(expected)
