"""ValidationError as an API returns it: errors(), repr, pickling, and JSON-ready results."""

import copy
import datetime
import json
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

from conftest import raised, validator
from vorn_schema import Issue, IssueList, Issues, ParseError, ValidationError, json_default

SCHEMA = """
schema Item { id: u8  tags: [String] }
schema Order { a: u8  b: String  items: [Item]  when: optional DateTime  kind: optional enum { x } }
"""
ORDER = validator(SCHEMA, "Order")
# Three issues, one quoting text that the repr of an Issue escapes.
THREE = {"a": "x", "b": "", "items": [{"id": 300, "tags": []}], "kind": "\u00e9\"\\\n\u0301"}
TWO = {"a": "x", "b": 5, "items": []}
ROWS = [
    {"path": "a", "code": "type_mismatch", "message": "expected u8, found string"},
    {"path": "b", "code": "type_mismatch", "message": "expected string, found integer"},
]


@pytest.mark.parametrize(
    "payload, expected, shown",
    [
        pytest.param(
            TWO, ROWS,
            "ValidationError(2 issues, first: a: expected u8, found string (type_mismatch))",
            id="two-in-order",
        ),
        pytest.param(
            {"a": 1, "b": "", "items": [{"id": 1, "tags": [1]}], "z": 0},
            [
                {"path": "items[0].tags[0]", "code": "type_mismatch",
                 "message": "expected string, found integer"},
                {"path": "z", "code": "unknown_field",
                 "message": "`Order` declares no field named `z`"},
            ],
            "ValidationError(2 issues, first: items[0].tags[0]: expected string, found integer"
            " (type_mismatch))",
            id="nested-paths",
        ),
        pytest.param(
            {"a": 1, "b": "", "items": "no"},
            [{"path": "items", "code": "type_mismatch", "message": "expected array, found string"}],
            "ValidationError(1 issue, first: items: expected array, found string (type_mismatch))",
            id="one-issue",
        ),
    ],
)
def test_errors_and_repr(payload, expected, shown):
    e = raised(lambda: ORDER(payload))
    assert e.errors() == expected
    assert json.loads(json.dumps(e.errors())) == expected
    assert repr(e) == shown


def test_an_error_built_by_hand_stays_ordinary():
    e = ValidationError("plain text")
    assert (repr(e), str(e)) == ("ValidationError('plain text')", "plain text")
    assert pickle.loads(pickle.dumps(e)).args == ("plain text",)
    empty = ValidationError(IssueList([]))
    assert repr(empty) == "ValidationError(0 issues)"
    issues = empty.issues
    assert (len(issues), issues.list(), issues.summary()) == (0, [], "validation failed")
    assert (issues.first_path(), issues.first_code(), issues.first_message()) == ("", "", "")


def reads(issues):
    return (
        len(issues),
        [(i.path, i.code, i.message, str(i), repr(i)) for i in issues.list()],
        *[getattr(issues, name)() for name in
          ("summary", "first_path", "first_code", "first_message")],
    )


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_keeps_every_read(protocol):
    e = raised(lambda: ORDER(THREE))
    e.request_id = "r-17"  # as a handler might add
    back = pickle.loads(pickle.dumps(e, protocol))
    assert type(back) is ValidationError
    assert type(back.issues) is IssueList
    assert reads(back.issues) == reads(e.issues)
    assert (str(back), repr(back), back.errors()) == (str(e), repr(e), e.errors())
    assert back.request_id == "r-17"
    # A second trip goes through the stand-in itself.
    again = pickle.loads(pickle.dumps(back, protocol))
    assert reads(again.issues) == reads(e.issues)
    assert copy.deepcopy(e).errors() == e.errors()


def test_issues_and_issue_do_not_pickle():
    assert "__reduce__" not in Issues.__dict__ and "__reduce__" not in Issue.__dict__
    with pytest.raises(TypeError):
        pickle.dumps(raised(lambda: ORDER(THREE)).issues)


def test_parse_error_pickles_by_value_of_its_text():
    e = ParseError("1:2: expected `:`")
    e.request_id = "r-17"
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is ParseError
    assert (back.args, back.request_id) == (e.args, "r-17")


def _validate_in_worker(payload):
    return ORDER(payload)


@pytest.mark.subprocess
def test_worker_process_hands_errors_to_the_parent():
    with ProcessPoolExecutor(1) as pool:
        invalid = pool.submit(_validate_in_worker, TWO)
        broken = pool.submit(_validate_in_worker, '{"a": ')
        with pytest.raises(ValidationError) as info:
            invalid.result()
        with pytest.raises(ParseError) as parse:
            broken.result()
    assert info.value.errors() == ROWS
    assert not isinstance(info.value.issues, Issues)
    assert str(parse.value) == "1:7: unexpected end of input"


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
