"""Maps `[K: V]` and free-form `Json` values (issue 14): what each accepts, reports and returns."""

import datetime as dt
import json
import decimal
import enum

import pytest

from conftest import Err, issues_of, matches, validator

MAPS = """
schema M {
  m: optional [String: u8?] @min_items(1) @max_items(2) @min_len(50) @range(9..=9)
  e: optional [enum { a, "b c" }: [String: String]]
  d: optional [String: Date]
  r: optional [String: R]
  a: optional [[String: i8?]]
  j: optional Json @min_len(3) @range(0..=1) @max_items(0) @format(uuid)
  n: optional Json?
  js: optional [String: Json]
}
schema R { x: u8 }
"""
V = validator(MAPS, "M")

WIDE = Err("integer_too_wide", "j", "integer is wider than 64 bits")
NOT_U8 = "300 is outside the range of u8 (0..=255)"
NULL_ELEMENT = "must not be null; declare the element as `T?` to allow it"


@pytest.mark.parametrize(
    "payload, expected",
    [
        # maps: each member's key, then its value, then the field's rules
        pytest.param({"m": {"x": 1, "y": None}}, {"m": {"x": 1, "y": None}}, id="map"),
        pytest.param({"m": {"a.b": 300, "": 300}},
                     [Err("out_of_range", "m.a.b", NOT_U8), Err("out_of_range", "m.", NOT_U8)],
                     id="keys-verbatim-in-paths"),
        pytest.param({"m": {"x": 300, "y": "s", "z": 1}}, [
            Err("out_of_range", "m.x", NOT_U8),
            Err("type_mismatch", "m.y", "expected u8, found string"),
            Err("too_many_items", "m", "3 items exceeds the maximum of 2")],
            id="members-then-rules"),
        pytest.param({"m": {}}, [Err("too_few_items", "m", "0 items is below the minimum of 1")],
                     id="min-items-counts-members"),
        pytest.param({"m": [1, 2, 3]}, [Err("type_mismatch", "m", "expected map, found array")],
                     id="item-rules-skip-an-array"),
        pytest.param({"m": "abc"}, [Err("type_mismatch", "m", "expected map, found string")],
                     id="text-rules-skip-a-string"),
        pytest.param({"m": None}, [
            Err("null_not_allowed", "m", "may be absent, but must not be null when present")],
            id="null-map"),
        pytest.param({"e": {"a": {"k": "v"}, "b c": {}}}, {"e": {"a": {"k": "v"}, "b c": {}}},
                     id="enum-keys"),
        pytest.param({"e": {"c": {"k": 1}, "a": None}}, [
            Err("not_in_enum", "e.c", "`c` is not one of: a, b c"),
            Err("type_mismatch", "e.c.k", "expected string, found integer"),
            Err("null_not_allowed", "e.a", NULL_ELEMENT)],
            id="key-issue-then-its-value"),
        pytest.param({"d": {"x": "2024-05-01"}}, {"d": {"x": dt.date(2024, 5, 1)}},
                     id="values-converted"),
        pytest.param({"d": {"x": "2024-02-30"}},
                     [Err("invalid_date", "d.x", "`2024-02-30` is not a valid date")],
                     id="value-issue"),
        pytest.param({"r": {"k": {"x": 1, "y": 2}}},
                     [Err("unknown_field", "r.k.y", "`R` declares no field named `y`")],
                     id="object-values"),
        pytest.param({"a": [{"k": None}, {"k": 200}]},
                     [Err("out_of_range", "a[1].k", "200 is outside the range of i8 (-128..=127)")],
                     id="maps-in-arrays"),
        # Json: anything JSON holds, null only inside
        pytest.param({"j": {"a": [1, -2.5, None, "x", True, {}, []]}, "n": None},
                     {"j": {"a": [1, -2.5, None, "x", True, {}, []]}, "n": None}, id="json"),
        pytest.param({"j": "ab", "js": {"x": 5}}, {"j": "ab", "js": {"x": 5}},
                     id="no-rule-applies-to-json"),
        pytest.param({"j": [2]}, {"j": [2]}, id="no-item-rule-either"),
        pytest.param({"j": None}, [
            Err("null_not_allowed", "j", "may be absent, but must not be null when present")],
            id="json-not-nullable"),
        pytest.param({"js": {"x": None}}, [Err("null_not_allowed", "js.x", NULL_ELEMENT)],
                     id="json-map-value-not-nullable"),
        pytest.param({"j": 2**64 - 1, "n": -(2**63)}, {"j": 2**64 - 1, "n": -(2**63)},
                     id="widest-integers"),
        pytest.param({"j": 2**64}, [WIDE], id="integer-too-wide"),
        pytest.param({"j": -(2**63) - 1}, [WIDE], id="negative-integer-too-wide"),
        pytest.param({"j": {"a": [0, 2**70]}},
                     [Err("integer_too_wide", "j.a[1]", "integer is wider than 64 bits")],
                     id="deep-integer-too-wide"),
    ],
)
def test_maps_and_json(payload, expected, check):
    check(V, payload, expected)


NOT_JSON = "expected JSON value, found unsupported value"
KEY_INT = "expected string, found integer"


class Color(enum.IntEnum):
    RED = 1


class LyingDict(dict):
    """A dict whose Python-level reads all lie; its storage is read past them."""

    def __iter__(self):
        return iter(["zz"])

    def items(self):
        return [("zz", 999)]

    def __getitem__(self, key):
        return 999

    def __len__(self):
        return 99


class RaisingStr:
    def __str__(self):
        raise ValueError("no text")


# The Python road reads values JSON cannot carry.
@pytest.mark.parametrize(
    "payload, expected",
    [
        pytest.param({"m": {1: 300}},
                     [Err("type_mismatch", "m.1", KEY_INT), Err("out_of_range", "m.1", NOT_U8)],
                     id="key-not-a-str-and-its-value"),
        pytest.param({"m": {dt.date(2024, 1, 2): 1}}, [
            Err("type_mismatch", "m.2024-01-02", "expected string, found unsupported value")],
            id="date-key-is-no-string"),
        pytest.param({"m": {RaisingStr(): 1}},
                     [Err("type_mismatch", "m.<key>", "expected string, found unsupported value")],
                     id="key-without-text"),
        pytest.param({"j": {"s": {1}, "b": b"x", "d": decimal.Decimal(1), 2: 0}}, [
            Err("type_mismatch", "j.s", NOT_JSON), Err("type_mismatch", "j.b", NOT_JSON),
            Err("type_mismatch", "j.d", NOT_JSON), Err("type_mismatch", "j.2", KEY_INT)],
            id="json-refuses-other-objects"),
        pytest.param({"j": [dt.date(2024, 1, 2), dt.datetime(2024, 1, 2)]}, [
            Err("type_mismatch", "j[0]", NOT_JSON), Err("type_mismatch", "j[1]", NOT_JSON)],
            id="json-refuses-date-objects"),
        pytest.param({"j": float("inf"), "n": [float("nan")]}, [
            Err("not_finite", "j", "NaN and infinity are not valid values"),
            Err("not_finite", "n[0]", "NaN and infinity are not valid values")],
            id="json-refuses-non-finite"),
        pytest.param({"j": ({"a": (1, 2)},)}, {"j": [{"a": [1, 2]}]}, id="tuples-become-lists"),
        pytest.param({"m": LyingDict(a=1), "j": LyingDict(b=[LyingDict(c=2)])},
                     {"m": {"a": 1}, "j": {"b": [{"c": 2}]}}, id="dict-subclass-read-past-code"),
    ],
)
def test_python_road_only(payload, expected):
    if isinstance(expected, list):
        got = issues_of(lambda: V(payload))
        assert matches(got, expected), got
    else:
        assert V(payload) == expected


# The JSON road keeps its parser's readings: merged duplicates, numbers as json.loads types.
@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param(rb'{"m": {"a": 1, "b": 2, "\u0061": 3}}', {"m": {"a": 3, "b": 2}},
                     id="duplicate-keys-merge"),
        pytest.param(b'{"j": [1, 1.0, 1e2, -0, "\\u00e9"]}', {"j": [1, 1.0, 100.0, 0, "\u00e9"]},
                     id="numbers-as-json-loads-reads-them"),
        pytest.param(b'{"j": {"x": [1e400]}}',
                     [Err("not_finite", "j.x[0]", "NaN and infinity are not valid values")],
                     id="overflowing-float"),
        pytest.param(b'{"n": 18446744073709551616}',
                     [Err("integer_too_wide", "n", "integer is wider than 64 bits")],
                     id="integer-too-wide"),
    ],
)
def test_json_road_only(text, expected):
    if isinstance(expected, list):
        got = issues_of(lambda: V(text))
        assert matches(got, expected), got
    else:
        got = V(text)
        assert got == expected
        assert [type(x) for x in got.get("j", [])] == [type(x) for x in expected.get("j", [])]


class Key(str):
    """A key whose equality and hash lie, so a dict holds two keys of one text."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return id(self)


def test_map_and_json_results_are_new_containers_with_plain_keys():
    kept_str = type("Text", (str,), {})("t")
    member = {"x": 1}
    payload = {
        "j": type("D", (dict,), {})({Key("k"): type("L", (list,), {})([Color.RED, kept_str])}),
        "js": {Key("a"): 1, "b": member, Key("a"): 3},
    }
    result = V(payload)
    # Keys of equal text merge as JSON duplicates do: the last value, at the first place.
    assert result["js"] == {"a": 3, "b": member}
    assert [type(k) for k in [*result["js"], *result["j"]]] == [str, str, str]
    assert type(result["j"]) is dict and type(result["j"]["k"]) is list
    # Scalars are the caller's own objects; containers are new.
    assert result["j"]["k"][0] is Color.RED and result["j"]["k"][1] is kept_str
    assert result["js"]["b"] is not member


def test_map_key_limit_on_python_keys():
    v = validator("schema T { m: [String: u8] }", "T", max_string_bytes=3)
    assert v({"m": {"abc": 1}}) == {"m": {"abc": 1}}
    # The key is reported and its value still checked.
    assert issues_of(lambda: v({"m": {"\u00e9\u00e9": 300}})) == [
        Err("size_exceeded", "m.\u00e9\u00e9", "4 bytes exceeds the limit of 3"),
        Err("out_of_range", "m.\u00e9\u00e9", NOT_U8)]


def test_json_road_keys_read_as_json_loads_reads_them_across_calls():
    # Keys of every length around the cached ones, escaped, non-ASCII, and more distinct keys
    # than any cache holds: each call, first or repeated, gives json.loads's keys.
    v = validator("schema T { m: [String: u8] j: Json }", "T", max_object_keys=20_000)
    odd = ["", "a", "\u00e9", "\U0001f600", "\\u0061b", *("k" * n for n in range(60, 70))]
    many = [f"key-{i}-{'x' * (i % 70)}" for i in range(10_000)]
    text = json.dumps({"m": {k: i % 256 for i, k in enumerate(odd + many)},
                       "j": {k: [k] for k in odd}}).encode()
    for _ in range(3):
        assert v(text) == json.loads(text)
