"""ValidationError as an API returns it: errors(), repr, pickling, and JSON-ready results."""

import copy
import datetime
import json
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import vorn_schema
from conftest import validator
from vorn_schema import IssueList, Issues, ValidationError, json_default

SCHEMA = """
schema Item { id: u8  tags: [String] }
schema Order { a: u8  b: String  items: [Item]  when: optional DateTime  kind: optional enum { x } }
"""
# Three issues, one quoting text that the repr of an Issue escapes.
THREE = {"a": "x", "b": "", "items": [{"id": 300, "tags": []}], "kind": "\u00e9\"\\\n\u0301"}
ROWS = [
    {"path": "a", "code": "type_mismatch", "message": "expected u8, found string"},
    {"path": "b", "code": "type_mismatch", "message": "expected string, found integer"},
]


def failure(payload):
    with pytest.raises(ValidationError) as info:
        validator(SCHEMA, "Order")(payload)
    return info.value


READS = ("summary", "first_path", "first_code", "first_message")


def reads(issues):
    return (
        len(issues),
        [(i.path, i.code, i.message, str(i), repr(i)) for i in issues.list()],
        *[getattr(issues, name)() for name in READS],
    )


@pytest.mark.parametrize(
    "payload, expected",
    [
        pytest.param({"a": "x", "b": 5, "items": []}, ROWS, id="two-in-order"),
        pytest.param(
            {"a": 1, "b": "", "items": [{"id": 1, "tags": [1]}], "z": 0},
            [
                {"path": "items[0].tags[0]", "code": "type_mismatch",
                 "message": "expected string, found integer"},
                {"path": "z", "code": "unknown_field",
                 "message": "`Order` declares no field named `z`"},
            ],
            id="nested-paths",
        ),
    ],
)
def test_errors_lists_every_issue_in_order(payload, expected):
    e = failure(payload)
    assert e.errors() == expected
    assert json.loads(json.dumps(e.errors())) == expected


def test_repr_shows_count_and_first_issue():
    e = failure({"a": "x", "b": 5, "items": []})
    assert repr(e) == "ValidationError(2 issues, first: a: expected u8, found string (type_mismatch))"
    one = failure({"a": 1, "b": "", "items": "no"})
    assert repr(one) == "ValidationError(1 issue, first: items: expected array, found string (type_mismatch))"


def test_repr_and_str_of_an_error_built_by_hand_stay_ordinary():
    e = ValidationError("plain text")
    assert repr(e) == "ValidationError('plain text')"
    assert str(e) == "plain text"
    assert pickle.loads(pickle.dumps(e)).args == ("plain text",)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_keeps_every_read(protocol):
    e = failure(THREE)
    back = pickle.loads(pickle.dumps(e, protocol))
    assert type(back) is ValidationError
    assert type(back.issues) is IssueList
    assert reads(back.issues) == reads(e.issues)
    assert str(back) == str(e)
    assert repr(back) == repr(e)
    assert back.errors() == e.errors()
    # A second trip goes through the stand-in itself.
    again = pickle.loads(pickle.dumps(back, protocol))
    assert reads(again.issues) == reads(e.issues)


def test_pickle_keeps_attributes_a_handler_added():
    e = failure(THREE)
    e.request_id = "r-17"
    assert pickle.loads(pickle.dumps(e)).request_id == "r-17"
    assert copy.deepcopy(e).errors() == e.errors()


def test_stand_in_answers_an_empty_list_like_issues():
    empty = IssueList([])
    assert (len(empty), empty.list(), empty.summary()) == (0, [], "validation failed")
    assert (empty.first_path(), empty.first_code(), empty.first_message()) == ("", "", "")
    assert repr(ValidationError(empty)) == "ValidationError(0 issues)"


def _raise_in_worker(payload):
    return validator(SCHEMA, "Order")(payload)


@pytest.mark.subprocess
def test_worker_process_hands_the_error_to_the_parent():
    with ProcessPoolExecutor(1) as pool:
        with pytest.raises(ValidationError) as info:
            pool.submit(_raise_in_worker, {"a": "x", "b": 5, "items": []}).result()
    assert info.value.errors() == ROWS
    assert not isinstance(info.value.issues, Issues)


def _parse_in_worker(text):
    return validator(SCHEMA, "Order")(text)


def test_parse_error_pickles_by_value_of_its_text():
    e = vorn_schema.ParseError("1:2: expected `:`")
    e.request_id = "r-17"
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is vorn_schema.ParseError
    assert (back.args, back.request_id) == (e.args, "r-17")


@pytest.mark.subprocess
def test_worker_process_hands_a_parse_error_to_the_parent():
    with ProcessPoolExecutor(1) as pool:
        with pytest.raises(vorn_schema.ParseError) as info:
            pool.submit(_parse_in_worker, '{"a": ').result()
    assert str(info.value) == "1:7: unexpected end of input"


def test_json_default_writes_dates_as_iso_text():
    v = validator(SCHEMA, "Order")
    result = v(b'{"a": 1, "b": "x", "items": [], "when": "2024-05-01T10:00:00+02:00"}')
    text = json.dumps({**result, "day": datetime.date(2024, 5, 1), "t": (1, 2)},
                      default=json_default)
    assert json.loads(text) == {
        "a": 1, "b": "x", "items": [], "when": "2024-05-01T10:00:00+02:00",
        "day": "2024-05-01", "t": [1, 2],
    }
    with pytest.raises(TypeError, match="set is not JSON serializable"):
        json.dumps({1}, default=json_default)


def test_issues_and_issue_gain_nothing():
    assert "__reduce__" not in vorn_schema.Issues.__dict__
    assert "__reduce__" not in vorn_schema.Issue.__dict__
    with pytest.raises(TypeError):
        pickle.dumps(failure(THREE).issues)
