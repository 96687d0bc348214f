"""Objects and their fields, rules, unions, and the order issues come out in."""

import pytest

from conftest import Err, issues_of, validator
from vorn_schema import _vorn

OBJECTS = """
schema User { name: String email: optional String? age: u8 }
schema F {
  plain: optional u8
  req: u8
  req_null: u8?
  opt: optional u8
  opt_null: optional u8?
}
schema Item { id: u8 tags: [String] }
schema Items { items: [Item] after: bool }
"""


@pytest.mark.parametrize(
    "root, payload, expected",
    [
        pytest.param("User", {"extra": 1, "name": None}, [
            Err("null_not_allowed", "name", "must not be null"),
            Err("required", "age", "required"),
            Err("unknown_field", "extra", "`User` declares no field named `extra`"),
        ], id="declaration-order-then-undeclared"),
        pytest.param("F", {}, [
            Err("required", "req", "required"),
            Err("required", "req_null", "required; may be null but must be present"),
        ], id="absent"),
        pytest.param("F", {"req": None, "req_null": None, "opt": None, "opt_null": None}, [
            Err("null_not_allowed", "req", "must not be null"),
            Err("null_not_allowed", "opt", "may be absent, but must not be null when present"),
        ], id="null"),
        pytest.param("Items", {"items": [{"id": -1, "tags": [1]}, {"tags": None}], "after": 1}, [
            Err("out_of_range", "items[0].id", "-1 is outside the range of u8 (0..=255)"),
            Err("type_mismatch", "items[0].tags[0]", "expected string, found integer"),
            Err("required", "items[1].id", "required"),
            Err("null_not_allowed", "items[1].tags", "must not be null"),
            Err("type_mismatch", "after", "expected bool, found integer"),
        ], id="depth-first-across-levels"),
    ],
)
def test_fields(check, root, payload, expected):
    check(validator(OBJECTS, root), payload, expected)


RULES = """
schema R {
  s: optional String @min_len(2) @max_len(3)
  n: optional u8 @range(0..=10)
  neg: optional i64 @range(-5..=-1)
  a: optional [u8] @min_items(1) @max_items(2)
  e: optional String @format(email)
  odd: optional bool @min_len(3) @range(1..=2) @min_items(1)
  wide: optional u64 @range(-170141183460469231731687303715884105728..=0)
}
"""


@pytest.mark.parametrize(
    "payload, expected",
    [
        ({"s": "\u00e9"}, [Err("too_short", "s", "length 1 is below the minimum of 2")]),
        ({"s": "abcd"}, [Err("too_long", "s", "length 4 exceeds the maximum of 3")]),
        ({"s": "\U0001f600\U0001f600"}, None),
        ({"n": 300}, [Err("out_of_range", "n", "300 is outside the range of u8 (0..=255)"),
                      Err("out_of_range", "n", "300 is outside 0..=10")]),
        ({"neg": 0}, [Err("out_of_range", "neg", "0 is outside -5..=-1")]),
        ({"a": []}, [Err("too_few_items", "a", "0 items is below the minimum of 1")]),
        ({"a": [1, 2, 3]}, [Err("too_many_items", "a", "3 items exceeds the maximum of 2")]),
        ({"a": [1, "x", 3]}, [Err("type_mismatch", "a[1]", "expected u8, found string"),
                              Err("too_many_items", "a", "3 items exceeds the maximum of 2")]),
        ({"e": "a@b"}, [Err("invalid_format", "e", "not a valid email")]),
        pytest.param({"odd": True}, None, id="rules-that-do-not-apply"),
        ({"s": 5}, [Err("type_mismatch", "s", "expected string, found integer")]),
        ({"wide": 1}, [Err("out_of_range", "wide",
                           "1 is outside -170141183460469231731687303715884105728..=0")]),
    ],
)
def test_rules(check, payload, expected):
    check(validator(RULES, "R"), payload, expected or payload)


# Each union's tag has its own key; the tag of R equals a field name of B.
UNIONS = """
schema Circle { r: f64 }
schema Square { side: f64 @range(1..=10) }
union Shape @tag(kind) { circle: Circle square: Square "": Circle }
schema Canvas { shape: Shape }
schema A { x: u8 }
schema B { y: u8 }
union P @tag(p) { a: A b: B }
union Q @tag(q) { a: A b: B }
union R @tag(y) { a: A }
schema Top { one: P two: Q three: R }
"""


def not_a_variant(text):
    message = f"`{text}` is not a variant of `Shape`; expected one of: circle, square, "
    return [Err("unknown_variant", "kind", message)]


@pytest.mark.parametrize(
    "root, payload, expected",
    [
        ("Shape", {}, [Err("required", "kind", "`kind` decides which variant of `Shape` this is")]),
        ("Shape", {"kind": None},
         [Err("null_not_allowed", "kind", "the tag of `Shape` cannot be null")]),
        ("Shape", {"kind": 5}, [Err("type_mismatch", "kind", "expected string, found integer")]),
        ("Shape", {"kind": "hexagon", "junk": 1}, not_a_variant("hexagon")),
        ("Shape", [], [Err("type_mismatch", "<root>", "expected object, found array")]),
        ("Shape", {"kind": "circle", "side": 1},
         [Err("required", "r", "required"),
          Err("unknown_field", "side", "`Circle` declares no field named `side`")]),
        ("Shape", {"kind": "square", "side": 11},
         [Err("out_of_range", "side", "11 is outside 1..=10")]),
        ("Shape", {"kind": "", "r": 1}, None),
        pytest.param("Canvas", {"shape": {"kind": "circle", "r": "big"}},
                     [Err("type_mismatch", "shape.r", "expected float, found string")],
                     id="issues-nest-under-the-member"),
        pytest.param("Top", {"one": {"p": "a", "x": 1}, "two": {"q": "b", "y": 2},
                             "three": {"y": "a", "x": 3}}, None, id="every-tag-found"),
        pytest.param(
            "Top", {"one": {"q": "a", "x": 1}, "two": {"p": "b", "y": 2}, "three": {"x": 3}},
            [Err("required", "one.p", "`p` decides which variant of `P` this is"),
             Err("required", "two.q", "`q` decides which variant of `Q` this is"),
             Err("required", "three.y", "`y` decides which variant of `R` this is")],
            id="tags-swapped"),
    ],
)
def test_unions(check, root, payload, expected):
    check(validator(UNIONS, root), payload, expected or payload)


@pytest.mark.parametrize(
    "schema, root, payload, expected",
    [
        pytest.param(OBJECTS, "User", {"name": "n", "age": 1, 1: "x", (2, 3): "y"}, [
            Err("unknown_field", "1", "`User` declares no field named `1`"),
            Err("unknown_field", "(2, 3)", "`User` declares no field named `(2, 3)`"),
        ], id="non-string-keys-arrive-as-their-str-text"),
        pytest.param(UNIONS, "Shape", {"kind": "a\ud800b"}, not_a_variant("a\ufffdb"),
                     id="unencodable-tag-names-what-was-seen-issue3"),
    ],
)
def test_python_only_payloads(schema, root, payload, expected):
    v = validator(schema, root)
    assert issues_of(lambda: v(payload)) == expected


def test_unknown_type_at_binding():
    schema = _vorn.Schema.parse(OBJECTS)
    got = issues_of(lambda: schema.validator("Nobody"))
    assert got == [Err("unknown_type", "<root>", "schema declares no type named `Nobody`")]
    assert issues_of(lambda: schema.validate("Nobody", {})) == got
