"""Objects, field flags and rules, unions, and the order issues come out in."""

import pytest

from conftest import Err, issues_of, validator

USER = "schema User { name: String email: optional String? age: u8 }"

SHAPES = """
schema Circle { r: f64 }
schema Square { side: f64 @range(1..=10) }
union Shape @tag(kind) { circle: Circle square: Square "": Circle }
schema Canvas { shape: Shape }
"""

FLAGS = """
schema F {
  plain: optional u8
  req: u8
  req_null: u8?
  opt: optional u8
  opt_null: optional u8?
}
"""


def test_fields_in_declaration_order_then_undeclared(check):
    check(
        validator(USER, "User"),
        {"extra": 1, "name": None},
        [
            Err("null_not_allowed", "name", "must not be null"),
            Err("required", "age", "required"),
            Err("unknown_field", "extra", "`User` declares no field named `extra`"),
        ],
    )


@pytest.mark.parametrize(
    "payload, expected",
    [
        ({}, [Err("required", "req", "required"),
              Err("required", "req_null", "required; may be null but must be present")]),
        ({"req": None, "req_null": None, "opt": None, "opt_null": None},
         [Err("null_not_allowed", "req", "must not be null"),
          Err("null_not_allowed", "opt", "may be absent, but must not be null when present")]),
    ],
)
def test_required_and_null_messages_follow_the_flags(check, payload, expected):
    check(validator(FLAGS, "F"), payload, expected)


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


@pytest.mark.parametrize(
    "payload, expected",
    [
        ({}, [Err("required", "kind", "`kind` decides which variant of `Shape` this is")]),
        ({"kind": None}, [Err("null_not_allowed", "kind", "the tag of `Shape` cannot be null")]),
        ({"kind": 5}, [Err("type_mismatch", "kind", "expected string, found integer")]),
        ({"kind": "hexagon", "junk": 1},
         [Err("unknown_variant", "kind",
              "`hexagon` is not a variant of `Shape`; expected one of: circle, square, ")]),
        ([], [Err("type_mismatch", "<root>", "expected object, found array")]),
        ({"kind": "circle", "side": 1},
         [Err("required", "r", "required"),
          Err("unknown_field", "side", "`Circle` declares no field named `side`")]),
        ({"kind": "square", "side": 11}, [Err("out_of_range", "side", "11 is outside 1..=10")]),
        ({"kind": "", "r": 1}, {"kind": "", "r": 1}),
    ],
)
def test_union_at_the_root(check, payload, expected):
    check(validator(SHAPES, "Shape"), payload, expected)


def test_union_issues_nest_under_the_member(check):
    check(
        validator(SHAPES, "Canvas"),
        {"shape": {"kind": "circle", "r": "big"}},
        [Err("type_mismatch", "shape.r", "expected float, found string")],
    )


# Each union's tag has its own key; one tag equals a field name of another type.
TAGS = """
schema A { x: u8 }
schema B { y: u8 }
union P @tag(p) { a: A b: B }
union Q @tag(q) { a: A b: B }
union R @tag(y) { a: A }
schema Top { one: P two: Q three: R }
"""


@pytest.mark.parametrize(
    "payload, expected",
    [
        pytest.param(
            {"one": {"p": "a", "x": 1}, "two": {"q": "b", "y": 2}, "three": {"y": "a", "x": 3}},
            None,
            id="every-tag-found",
        ),
        pytest.param(
            {"one": {"q": "a", "x": 1}, "two": {"p": "b", "y": 2}, "three": {"x": 3}},
            [Err("required", "one.p", "`p` decides which variant of `P` this is"),
             Err("required", "two.q", "`q` decides which variant of `Q` this is"),
             Err("required", "three.y", "`y` decides which variant of `R` this is")],
            id="tags-swapped",
        ),
    ],
)
def test_each_union_reads_its_own_tag(check, payload, expected):
    check(validator(TAGS, "Top"), payload, expected or payload)


def test_unknown_type_at_binding():
    from vorn_schema import _vorn

    schema = _vorn.Schema.parse(USER)
    got = issues_of(lambda: schema.validator("Nobody"))
    assert got == [Err("unknown_type", "<root>", "schema declares no type named `Nobody`")]
    assert issues_of(lambda: schema.validate("Nobody", {})) == got


def test_unencodable_union_tag_names_what_was_seen_issue3():
    v = validator(SHAPES, "Shape")
    assert issues_of(lambda: v({"kind": "a\ud800b"})) == [
        Err("unknown_variant", "kind",
            "`a\ufffdb` is not a variant of `Shape`; expected one of: circle, square, "),
    ]


def test_non_string_keys_arrive_as_their_str_text():
    v = validator(USER, "User")
    assert issues_of(lambda: v({"name": "n", "age": 1, 1: "x", (2, 3): "y"})) == [
        Err("unknown_field", "1", "`User` declares no field named `1`"),
        Err("unknown_field", "(2, 3)", "`User` declares no field named `(2, 3)`"),
    ]


def test_depth_first_order_across_levels(check):
    v = validator(
        "schema Item { id: u8 tags: [String] } schema T { items: [Item] after: bool }", "T"
    )
    check(
        v,
        {"items": [{"id": -1, "tags": [1]}, {"tags": None}], "after": 1},
        [
            Err("out_of_range", "items[0].id"),
            Err("type_mismatch", "items[0].tags[0]"),
            Err("required", "items[1].id"),
            Err("null_not_allowed", "items[1].tags"),
            Err("type_mismatch", "after"),
        ],
    )
