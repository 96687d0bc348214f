"""Built-in types, enums and arrays, checked on both roads where JSON can express the value."""

import decimal
import enum
import math

import pytest

from conftest import Err, issues_of, matches, validator

U64_MAX = 2**64 - 1
TOO_WIDE = [Err("integer_too_wide", "x", "integer is wider than 64 bits")]
NOT_FINITE = [Err("not_finite", "x", "NaN and infinity are not valid values")]
NULL = [Err("null_not_allowed", "x", "must not be null")]
NULL_ELEMENT = "must not be null; declare the element as `T?` to allow it"


def field(type_text):
    return validator(f"schema T {{ x: {type_text} }}", "T")


def mismatch(expected, found, path="x"):
    return [Err("type_mismatch", path, f"expected {expected}, found {found}")]


def out_of_range(v, name, lo, hi):
    return [Err("out_of_range", "x", f"{v} is outside the range of {name} ({lo}..={hi})")]


BOTH_ROADS = [
    # Built-in types
    ("bool", True, None),
    ("bool", 1, mismatch("bool", "integer")),
    ("u8", 255, None),
    ("u8", 300, out_of_range(300, "u8", 0, 255)),
    ("u8", -1, out_of_range(-1, "u8", 0, 255)),
    ("i8", -128, None),
    ("i8", 128, out_of_range(128, "i8", -128, 127)),
    ("i8", True, mismatch("i8", "bool")),
    ("i8", 1.0, mismatch("i8", "float")),
    ("i8", 2**64, TOO_WIDE),
    ("i8", -(2**63) - 1, TOO_WIDE),
    ("u16", 65536, out_of_range(65536, "u16", 0, 65535)),
    ("i32", -2147483649, out_of_range(-2147483649, "i32", -2147483648, 2147483647)),
    ("u64", U64_MAX, None),
    ("u64", -1, out_of_range(-1, "u64", 0, U64_MAX)),
    ("i64", 2**63, out_of_range(2**63, "i64", -(2**63), 2**63 - 1)),
    ("i64", -(2**63), None),
    # Bounds past 64 bits are written out exactly, on both sides of the boundary.
    ("u64 @range(18446744073709551616..=36893488147419103232)", 5,
     [Err("out_of_range", "x", "5 is outside 18446744073709551616..=36893488147419103232")]),
    ("i64 @range(-170141183460469231731687303715884105728..=-9223372036854775809)", -1,
     [Err("out_of_range", "x",
          "-1 is outside -170141183460469231731687303715884105728..=-9223372036854775809")]),
    ("f64", 3, None),
    ("f64", U64_MAX, None),
    ("f64", 0.5, None),
    ("f64", 2**64, mismatch("float", "integer wider than 64 bits")),
    ("f64", False, mismatch("float", "bool")),
    ("f64", "1.0", mismatch("float", "string")),
    ("String", "", None),
    ("String", None, NULL),
    ("String", [], mismatch("string", "array")),
    ("String", {}, mismatch("string", "object")),
    ("Date", 5, mismatch("date", "integer")),
    ("DateTime", None, NULL),
    # Enums
    ("enum { a, b }", "b", None),
    ("enum { a, b }", "c", [Err("not_in_enum", "x", "`c` is not one of: a, b")]),
    ("enum { a, b }", 1, mismatch("string", "integer")),
    ('enum { "x y", "" }', "", None),
    # Arrays
    ("[u8]", [1, 2], None),
    ("[u8]", "ab", mismatch("array", "string")),
    ("[u8]", [1, None, 300], [
        Err("null_not_allowed", "x[1]", NULL_ELEMENT),
        Err("out_of_range", "x[2]", "300 is outside the range of u8 (0..=255)"),
    ]),
    ("[u8?]", [None], None),
    ("[[u8]?]", [None, [1], ["a"]], mismatch("u8", "string", "x[2][0]")),
]


@pytest.mark.parametrize("type_text, payload, expected", BOTH_ROADS)
def test_values_on_both_roads(check, type_text, payload, expected):
    check(field(type_text), {"x": payload}, expected or {"x": payload})


class Color(enum.IntEnum):
    RED = 1


class Json(str):
    """A member value written as JSON text: a row only the JSON road can express."""


ONE_ROAD = [
    pytest.param("u8", Color.RED, None, id="intenum"),
    pytest.param("u8", type("MyInt", (int,), {})(7), None, id="int-subclass"),
    pytest.param("String", type("MyStr", (str,), {})("s"), None, id="str-subclass"),
    pytest.param("f64", type("MyFloat", (float,), {})(1.5), None, id="float-subclass"),
    pytest.param("[u8]", (1, 2), None, id="tuple"),
    pytest.param("f64", math.nan, NOT_FINITE, id="nan"),
    pytest.param("f64", -math.inf, NOT_FINITE, id="inf"),
    pytest.param("f64", Json("1e999"), NOT_FINITE, id="json-overflow-is-infinity"),
    pytest.param("u8", decimal.Decimal(1), mismatch("u8", "unsupported value"), id="decimal"),
    pytest.param("String", b"x", mismatch("string", "unsupported value"), id="bytes-inside"),
    pytest.param("[u8]", {1}, mismatch("array", "unsupported value"), id="set"),
    pytest.param("String", "\ud800", None, id="lone-surrogate-is-still-a-str"),
    pytest.param("enum { a }", "\ud800", mismatch("string", "string"), id="surrogate-enum"),
]


@pytest.mark.parametrize("type_text, payload, expected", ONE_ROAD)
def test_values_on_one_road(type_text, payload, expected):
    v = field(type_text)
    if isinstance(payload, Json):
        call = lambda: v(f'{{"x": {payload}}}'.encode())  # noqa: E731
    else:
        call = lambda: v({"x": payload})  # noqa: E731
    if expected is None:
        assert call()["x"] is payload  # a Python value that needs no conversion is its own result
    else:
        got = issues_of(call)
        assert matches(got, expected), got
