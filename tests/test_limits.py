"""The four limits as the validator applies them to Python payloads, at and past each bound.

The JSON parser applies the same limits while reading text; test_json_road.py covers it.
"""

import pytest

from conftest import Err, issues_of, validator
from vorn_schema import _vorn

NEST = "schema T { n: optional T }"
PAIR = "schema T { x: u8 a: [u8] }"
ITEMS = "schema T { a: [u8] }"
KEYS = "schema T { a: optional u8 b: optional u8 c: optional u8 }"


def nested(levels):
    """An object nested `levels` deep below the root: {"n": {"n": ...}}."""
    payload = {}
    for _ in range(levels):
        payload = {"n": payload}
    return payload


def too_deep(path, limit):
    return [Err("depth_exceeded", path, f"nesting deeper than the limit of {limit}")]


def string(type_text):
    return f"schema T {{ s: {type_text} }}"


@pytest.mark.parametrize(
    "schema, limits, payload, expected",
    [
        # max_depth, never more than 256
        pytest.param(NEST, {"max_depth": 64}, nested(64), None, id="depth-64-at"),
        pytest.param(NEST, {"max_depth": 64}, nested(65), too_deep("n" + ".n" * 64, 64),
                     id="depth-64-past"),
        pytest.param(NEST, {"max_depth": 0}, nested(0), None, id="depth-0-at"),
        pytest.param(NEST, {"max_depth": 0}, nested(1), too_deep("n", 0), id="depth-0-past"),
        pytest.param(NEST, {"max_depth": 1000}, nested(256), None, id="depth-clamped-at"),
        pytest.param(NEST, {"max_depth": 1000}, nested(257), too_deep("n" + ".n" * 256, 256),
                     id="depth-clamped-past"),
        pytest.param(PAIR, {"max_depth": 0}, {"x": "s", "a": [1]},
                     [Err("type_mismatch", "x", "expected u8, found string")] + too_deep("a", 0),
                     id="depth-0-still-examines-scalar-members"),
        # max_items
        pytest.param(ITEMS, {"max_items": 2}, {"a": [1, 2, 3]},
                     [Err("size_exceeded", "a", "3 items exceeds the limit of 2")], id="items"),
        # max_string_bytes: counts UTF-8 bytes, inclusive, and replaces the type check
        pytest.param(string("String"), {"max_string_bytes": 10}, {"s": "\u00e9" * 5}, None,
                     id="string-at"),
    ]
    + [
        pytest.param(string(t), {"max_string_bytes": 10}, {"s": "\u00e9" * 5 + "x"},
                     [Err("size_exceeded", "s", "11 bytes exceeds the limit of 10")],
                     id=f"string-past-{t}")
        for t in ["String", "i32", "Date", "enum { a }"]
    ]
    + [
        # max_object_keys
        pytest.param(KEYS, {"max_object_keys": 2}, {"a": 0, "b": 1}, None, id="keys-at"),
        pytest.param(KEYS, {"max_object_keys": 2}, {"a": 0, "b": 1, "c": 2},
                     [Err("size_exceeded", "<root>", "3 keys exceeds the limit of 2")],
                     id="keys-past"),
    ],
)
def test_limits(schema, limits, payload, expected):
    v = validator(schema, "T", **limits)
    if expected is None:
        assert v(payload) == payload
    else:
        assert issues_of(lambda: v(payload)) == expected


@pytest.mark.parametrize("n, ok", [(2, True), (3, False)])
def test_item_limit_on_both_roads(road, n, ok):
    v = validator(ITEMS, "T", max_items=2)
    got = issues_of(lambda: road(v, {"a": ["x"] * n}))
    if ok:
        assert [i.code for i in got] == ["type_mismatch"] * n
    else:
        # the whole array is refused: none of its elements is examined
        assert [i.code for i in got] == ["size_exceeded"]


def test_validators_keep_their_own_limits():
    schema = _vorn.Schema.parse(ITEMS)
    tight = schema.validator("T", _vorn.Limits(max_items=1))
    loose = schema.validator("T")
    assert loose({"a": [1, 2]}) == {"a": [1, 2]}
    assert [i.code for i in issues_of(lambda: tight({"a": [1, 2]}))] == ["size_exceeded"]
