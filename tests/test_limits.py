"""The four limits as the validator applies them to Python payloads, at and past each bound.

The JSON parser applies the same limits while reading text; test_json_road.py covers it.
"""

import pytest

from conftest import Err, issues_of, validator
from vorn_schema import _vorn

NEST = "schema N { n: optional N }"


def nested(levels):
    """An object nested `levels` deep below the root: {"n": {"n": ...}}."""
    payload = {}
    for _ in range(levels):
        payload = {"n": payload}
    return payload


@pytest.mark.parametrize(
    "max_depth, levels, path",
    [
        (64, 64, None),
        (64, 65, "n" + ".n" * 64),
        (0, 0, None),
        (0, 1, "n"),
        (1000, 256, None),
        (1000, 257, "n" + ".n" * 256),
    ],
)
def test_depth_limit(max_depth, levels, path):
    v = validator(NEST, "N", max_depth=max_depth)
    if path is None:
        v(nested(levels))
    else:
        limit = min(max_depth, 256)
        assert issues_of(lambda: v(nested(levels))) == [
            Err("depth_exceeded", path, f"nesting deeper than the limit of {limit}")
        ]


def test_depth_zero_still_examines_scalar_members():
    v = validator("schema T { x: u8 a: [u8] }", "T", max_depth=0)
    assert issues_of(lambda: v({"x": "s", "a": [1]})) == [
        Err("type_mismatch", "x", "expected u8, found string"),
        Err("depth_exceeded", "a", "nesting deeper than the limit of 0"),
    ]


@pytest.mark.parametrize("n, ok", [(2, True), (3, False)])
def test_item_limit(road, n, ok):
    v = validator("schema T { a: [u8] }", "T", max_items=2)
    payload = {"a": ["x"] * n}
    got = issues_of(lambda: road(v, payload))
    if ok:
        assert [i.code for i in got] == ["type_mismatch"] * n
    else:
        # the whole array is refused: none of its elements is examined
        assert [i.code for i in got] == ["size_exceeded"]


def test_item_limit_message_on_the_python_road():
    v = validator("schema T { a: [u8] }", "T", max_items=2)
    assert issues_of(lambda: v({"a": [1, 2, 3]})) == [
        Err("size_exceeded", "a", "3 items exceeds the limit of 2")
    ]


@pytest.mark.parametrize("type_text", ["String", "i32", "Date", "enum { a }"])
def test_string_limit_replaces_the_type_check(type_text):
    v = validator(f"schema T {{ s: {type_text} }}", "T", max_string_bytes=10)
    assert issues_of(lambda: v({"s": "\u00e9" * 5 + "x"})) == [
        Err("size_exceeded", "s", "11 bytes exceeds the limit of 10")
    ]


def test_string_limit_counts_utf8_bytes_and_is_inclusive():
    v = validator("schema T { s: String }", "T", max_string_bytes=10)
    assert v({"s": "\u00e9" * 5}) == {"s": "\u00e9" * 5}


@pytest.mark.parametrize("keys, ok", [(2, True), (3, False)])
def test_key_limit(keys, ok):
    v = validator("schema T { a: optional u8 b: optional u8 c: optional u8 }", "T", max_object_keys=2)
    payload = dict(zip("abc", range(keys)))
    if ok:
        assert v(payload) == payload
    else:
        assert issues_of(lambda: v(payload)) == [
            Err("size_exceeded", "<root>", "3 keys exceeds the limit of 2")
        ]


def test_validators_keep_their_own_limits():
    schema = _vorn.Schema.parse("schema T { a: [u8] }")
    tight = schema.validator("T", _vorn.Limits(max_items=1))
    loose = schema.validator("T")
    assert loose({"a": [1, 2]}) == {"a": [1, 2]}
    assert [i.code for i in issues_of(lambda: tight({"a": [1, 2]}))] == ["size_exceeded"]
