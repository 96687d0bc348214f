"""The schema language: lexing, declarations, types, rules, name checks and their messages."""

import json

import pytest

from conftest import Err, issues_of, matches
from vorn_schema import ParseError, Schema

FORMATS = "uuid, email, hostname, ipv4, ipv6"
MAX_I128 = 2**127 - 1
ARRAY_DEPTH = 256


def error_of(text):
    with pytest.raises(ParseError) as info:
        Schema.parse(text)
    assert len(info.value.args) == 1
    return info.value.args[0]


def fields_of(text, name="A"):
    return Schema.parse(text).describe()[name]["fields"]


# Every message of the language once, with its exact position; then which of two errors is
# reported, and how lines and columns are counted.
@pytest.mark.parametrize(
    "text, expected",
    [
        # lexical
        ("schema A = {}", "1:10: unexpected character `=`"),
        ("schema A { x: u8 ; }", "1:18: unexpected character `;`"),
        ("schema A { x: u8 @min_len(- 5) }", "1:27: unexpected character `-`"),
        ("schema A { x: i8 @range(1..5) }", "1:26: unexpected character `.`"),
        ("/ comment", "1:1: unexpected character `/`"),
        ('union U @tag("kind) { a: A }', "1:14: unterminated string"),
        ('union U @tag("ki\nnd") { a: A }', "1:14: unterminated string"),
        ('schema A {}\n"', "2:1: unterminated string"),
        (
            f"schema A {{ x: i8 @range(0..={MAX_I128 + 1}) }}",
            f"1:29: `{MAX_I128 + 1}` does not fit a 128-bit integer",
        ),
        pytest.param(
            "schema A { x: i8 @range(-170_141_183_460_469_231_731_687_303_715_884_105_729..=0) }",
            "1:25: `-170141183460469231731687303715884105729` does not fit a 128-bit integer",
            id="digits-quoted-with-sign-without-separators",
        ),
        # declarations
        ("struct A {}", "1:1: expected `schema` or `union`, found `struct`"),
        ("schema A {} 5", "1:13: expected `schema` or `union`, found `5`"),
        ('schema "S" {}', '1:8: expected a schema name, found string "S"'),
        ("union 5", "1:7: expected a union name, found `5`"),
        ("schema A", "1:9: expected `{`, found end of input"),
        ("schema A { x u8 }", "1:14: expected `:`, found `u8`"),
        ("schema A { 5: u8 }", "1:12: expected a field name, found `5`"),
        ('schema A { x: u8 "x": u8 }', "1:26: `A` declares `x` more than once"),
        ('schema A { "x": u8 x: u8 }', "1:26: `A` declares `x` more than once"),
        ('schema A { "x\ny": u8 }', "1:12: unterminated string"),
        ('union U @tag(k) { a: "A" }', '1:22: expected a schema name, found string "A"'),
        ('union "U" @tag(k) { a: A }', '1:7: expected a union name, found string "U"'),
        ("schema A { x: u8", "1:17: expected `}`, found end of input"),
        (
            "schema A { x: u8 x: String @min_len(1) }",
            "1:40: `A` declares `x` more than once",
        ),
        ("schema User {} schema User {}", "1:30: `User` is declared more than once"),
        (
            "schema User {} union User @tag(k) { a: User }",
            "1:46: `User` is declared more than once",
        ),
        pytest.param(
            "schema A {} schema A { x: u8 x: u8 }",
            "1:36: `A` declares `x` more than once",
            id="duplicate-declaration-found-after-its-body",
        ),
        (
            "union Shape { a: A }",
            '1:13: `Shape` needs `@tag("...")` naming the field that decides the variant, '
            "found `{`",
        ),
        ('union U @"tag"(k) {}', '1:10: expected `tag`, found string "tag"'),
        ("union Shape @kind(x) {}", "1:13: unknown union attribute `@kind`, expected `@tag`"),
        ("union U @tag k", "1:14: expected `(`, found `k`"),
        ("union U @tag(5) {}", "1:14: expected the tag field's name, found `5`"),
        ('union U @tag("") { a: A }', "1:16: the tag field's name cannot be empty"),
        ("union U @tag(k { a: A }", "1:16: expected `)`, found `{`"),
        ("union U @tag(k) { 5: A }", "1:19: expected a variant tag value, found `5`"),
        ("union U @tag(k) { a A }", "1:21: expected `:`, found `A`"),
        ("union U @tag(k) { a: 5 }", "1:22: expected a schema name, found `5`"),
        (
            "union U @tag(k) { circle: String }",
            "1:27: a variant must be a declared `schema`, and `String` is a built-in type",
        ),
        (
            "union Shape @tag(kind) { circle: C circle: D }",
            "1:46: `Shape` lists the tag `circle` twice",
        ),
        ("union Shape @tag(kind) {}", "1:26: `Shape` needs at least one variant"),
        ("union U @tag(k) { a: A", "1:23: expected `}`, found end of input"),
        # types
        ("schema A { x: optional }", "1:24: expected a type, found `}`"),
        ("schema A { x: u8?? }", "1:18: expected a field name, found `?`"),
        ("schema A { x: [u8 }", "1:19: expected `]`, found `}`"),
        ("schema A { x: [u8??] }", "1:19: expected `]`, found `?`"),
        ("schema A { x: enum red }", "1:20: expected `{`, found `red`"),
        ("schema A { x: enum { 5 } }", "1:22: expected an enum value, found `5`"),
        ('schema A { x: enum { a, "a" } }', "1:29: `a` is listed twice"),
        ("schema A { x: enum {} }", "1:23: an enum needs at least one value"),
        ("schema A { x: enum { a b } }", "1:24: expected `}`, found `b`"),
        # rules
        ("schema A { x: u8 @5 }", "1:19: expected a rule name, found `5`"),
        ("schema A { x: u8 @length(3) }", "1:19: unknown rule `@length`"),
        pytest.param(
            "schema A { x: u8 @length }",
            "1:26: expected `(`, found `}`",
            id="parenthesis-checked-before-the-rule-name",
        ),
        ("schema A { x: String @min_len 3 }", "1:31: expected `(`, found `3`"),
        ("schema A { x: String @min_len(3 }", "1:33: expected `)`, found `}`"),
        ("schema A { x: String @min_len(x) }", "1:31: expected a number, found `x`"),
        ("schema A { x: String @min_len(12ab) }", "1:33: expected `)`, found `ab`"),
        ("schema A { x: i8 @range(1, 5) }", "1:26: expected `..=`, found `,`"),
        ("schema A { x: i8 @range(1..=x) }", "1:29: expected a number, found `x`"),
        ("schema A { x: i8 @range(5..=4) }", "1:30: `range(5..=4)` is empty"),
        (
            "schema A { x: i8 @range(5..=-18446744073709551617) }",
            "1:50: `range(5..=-18446744073709551617)` is empty",
        ),
        ("schema A { x: String @format(5) }", "1:30: expected a format name, found `5`"),
        (
            "schema A { x: String @format(Email) }",
            f"1:30: unknown format `Email`, expected one of: {FORMATS}",
        ),
        (
            'schema A { x: String @format("e mail") }',
            f"1:30: unknown format `e mail`, expected one of: {FORMATS}",
        ),
        (
            "schema A { x: String @min_len(-1) }",
            "1:31: `@min_len` needs a non-negative number, found -1",
        ),
        (
            f"schema A {{ x: [u8] @max_items({2**64}) }}",
            f"1:31: `@max_items` needs a non-negative number, found {2**64}",
        ),
        # name checks
        ("schema A { x: Strng }", "1:15: unknown type `Strng`"),
        ("schema A { x: string }", "1:15: unknown type `string`"),
        ("schema A { b: [B?] }", "1:16: unknown type `B`"),
        (
            "union U @tag(kind) { a: A } schema A { kind: String }",
            "1:25: `A` declares `kind`, which is the tag `U` uses; the tag belongs to the union, "
            "not to its variants",
        ),
        (
            "union U @tag(t) { a: V } union V @tag(t) { a: A } schema A {}",
            "1:22: `V` is a union, and a variant of `U` must be a `schema`",
        ),
        ("union U @tag(t) { a: Missing }", "1:22: unknown type `Missing`"),
        # which error wins
        pytest.param(
            "schema { ; }", "1:10: unexpected character `;`", id="lexical-before-syntax"
        ),
        pytest.param(
            "union U @tag(t) { a: Missing } schema A { x: Nope }",
            "1:46: unknown type `Nope`",
            id="references-before-variants",
        ),
        pytest.param(
            "schema A { x: Nope y: Gone }", "1:15: unknown type `Nope`", id="first-reference-wins"
        ),
        pytest.param(
            "schema A {} schema A { x: Missing }",
            "1:36: `A` is declared more than once",
            id="duplicate-declaration-before-name-checks",
        ),
        pytest.param(
            "schema A { x: u8 } schema A { x: u8 x: u8",
            "1:42: `A` declares `x` more than once",
            id="error-inside-duplicate-body-wins",
        ),
        # positions
        pytest.param("schema A {\r\n  x: Nope }", "2:6: unknown type `Nope`", id="cr-lf"),
        pytest.param(
            "schema A {\rx: Nope }", "1:15: unknown type `Nope`", id="lone-cr-is-a-column"
        ),
        pytest.param(
            "schema A {\tx: Nope }", "1:15: unknown type `Nope`", id="tab-is-one-column"
        ),
        pytest.param(
            "schema A { gr\u00f6\u00dfe: Nope }",
            "1:19: unknown type `Nope`",
            id="columns-count-chars",
        ),
        pytest.param(
            "schema A { x: \U0001d4b3 }",
            "1:15: unknown type `\U0001d4b3`",
            id="astral-letter-is-an-identifier",
        ),
        pytest.param(
            "schema A { // \u00e9\u00e9",
            "1:17: expected `}`, found end of input",
            id="eof-column-after-comment",
        ),
        pytest.param(
            "schema A {\n", "2:1: expected `}`, found end of input", id="eof-after-final-lf"
        ),
        pytest.param(
            "\ufeffschema A {}",
            "1:1: unexpected character `\ufeff`",
            id="byte-order-mark-is-not-stripped",
        ),
        pytest.param(
            "schema A { \u0663: u8 }",
            "1:12: unexpected character `\u0663`",
            id="non-ascii-digit-cannot-begin-a-token",
        ),
        pytest.param(
            "schema A { x: u8 \u200b }",
            "1:18: unexpected character `\u200b`",
            id="zero-width-space-is-not-white-space",
        ),
        pytest.param(
            "// one\n// two\nschema A { x: Nope // three }\n}",
            "3:15: unknown type `Nope`",
            id="comments-run-to-end-of-line",
        ),
        # array depth
        pytest.param(
            "schema A { x: " + "[" * (ARRAY_DEPTH + 1) + "u8" + "]" * (ARRAY_DEPTH + 1) + " }",
            f"1:{15 + ARRAY_DEPTH}: array types nest deeper than the limit of 256",
            id="one-level-too-deep",
        ),
        pytest.param(
            "schema A { x: " + "[" * 100_000,
            f"1:{15 + ARRAY_DEPTH}: array types nest deeper than the limit of 256",
            id="brackets-alone-stop-at-the-limit",
        ),
        pytest.param(
            "[" * 100_000,
            "1:1: expected `schema` or `union`, found `[`",
            id="brackets-alone-at-top-level",
        ),
        # maps and Json (issue 14)
        ("schema A { m: [u8: u8] }", "1:16: a map key must be `String` or an enum"),
        ("schema A { m: [String?: u8] }", "1:22: a map key cannot be nullable"),
        pytest.param("schema A { m: [enum { a }?: u8] }", "1:26: a map key cannot be nullable",
                     id="enum-key-nullable"),
        pytest.param("schema A { m: [u8?: u8] }", "1:16: a map key must be `String` or an enum",
                     id="key-type-message-before-nullable"),
        pytest.param("schema A { m: [Json: u8] } schema Json {}",
                     "1:16: a map key must be `String` or an enum", id="json-key"),
        pytest.param("schema A { m: [[String]: u8] }",
                     "1:16: a map key must be `String` or an enum", id="array-key"),
        pytest.param("schema A { m: [String: [Date: u8]] }",
                     "1:25: a map key must be `String` or an enum", id="nested-map-key"),
        ("schema A { m: [String: u8 }", "1:27: expected `]`, found `}`"),
        ("schema A { m: [String: ] }", "1:24: expected a type, found `]`"),
        ("schema A { m: [String: u8: u8] }", "1:26: expected `]`, found `:`"),
        pytest.param("schema A { m: [String: [Nope]?] }", "1:25: unknown type `Nope`",
                     id="references-in-map-values-resolve"),
        pytest.param("union U @tag(k) { a: Json }",
                     "1:22: a variant must be a declared `schema`, and `Json` is a built-in type",
                     id="variant-naming-undeclared-json"),
        pytest.param("union U @tag(k) { a: Json } union Json @tag(k) { b: U }",
                     "1:22: `Json` is a union, and a variant of `U` must be a `schema`",
                     id="variant-naming-declared-union-json"),
        pytest.param("schema A { x: " + "[String: " * (ARRAY_DEPTH + 1) + "u8"
                     + "]" * (ARRAY_DEPTH + 1) + " }",
                     f"1:{15 + 9 * ARRAY_DEPTH}: array types nest deeper than the limit of 256",
                     id="map-brackets-count-toward-the-limit"),
    ],
)
def test_message(text, expected):
    assert error_of(text) == expected


@pytest.mark.parametrize(
    "text",
    [
        "",
        "  \n\t\r\n",
        "// only a comment",
        "// a comment without a final line feed\n// and another",
        "\u00a0\u3000\u2028\u0085",
    ],
)
def test_texts_without_declarations(text):
    schema = Schema.parse(text)
    assert schema.type_names() == []
    assert repr(schema) == "Schema(types=[])"


@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param("schema A { x: String }", "x", id="plain"),
        pytest.param("schema A { gr\u00f6\u00dfe: u8 }", "gr\u00f6\u00dfe", id="latin"),
        pytest.param("schema A { \u0438\u043c\u044f: u8 }", "\u0438\u043c\u044f", id="cyrillic"),
        pytest.param("schema A { x\u0663: u8 }", "x\u0663", id="non-ascii-digit-continues"),
        pytest.param("schema A { _1: u8 }", "_1", id="underscore"),
        pytest.param("schema A { optional: bool }", "optional", id="keyword-as-field-name"),
        pytest.param("schema A {\u00a0x\u3000: u8 }", "x", id="unicode-white-space-separates"),
    ],
)
def test_identifiers(text, expected):
    assert [f["name"] for f in fields_of(text)] == [expected]


def test_string_literal_keeps_backslash_and_blanks():
    described = Schema.parse('union U @tag("a\\b") { "": A "x y": A } schema A {}').describe()["U"]
    assert described["tag"] == "a\\b"
    assert described["variants"] == [{"tag": "", "type": "A"}, {"tag": "x y", "type": "A"}]


# Field names JSON uses but an identifier cannot hold (issue 13), written as string literals.
@pytest.mark.parametrize(
    "name",
    [
        pytest.param("first-name", id="hyphen"),
        pytest.param("$id", id="dollar"),
        pytest.param("@type", id="at"),
        pytest.param("a.b", id="dot"),
        pytest.param("x y", id="blank"),
        pytest.param("a\\b", id="backslash-is-an-ordinary-character"),
        pytest.param("gr\u00f6\u00dfe \u540d", id="non-ascii"),
        pytest.param("", id="empty"),
    ],
)
def test_quoted_field_names_issue13(name, road):
    schema = Schema.parse(f'schema T {{ "{name}": u8  next: optional T }}')
    assert [f["name"] for f in schema.describe()["T"]["fields"]] == [name, "next"]
    v = schema.validator("T")
    payload = {name: 1, "next": {name: 2}}
    assert road(v, payload) == payload
    # Names are written verbatim in paths; the empty name writes nothing.
    got = issues_of(lambda: road(v, {name: 300, "next": {}}))
    assert matches(got, [Err("out_of_range", name or "<root>"), Err("required", f"next.{name}")])


def span(low, high):
    return {"rule": "range", "min": low, "max": high}


@pytest.mark.parametrize(
    "declared, rules",
    [
        pytest.param(
            "bool @min_len(3) @min_len(5) @range(1..=2) @max_len(0)",
            [
                {"rule": "min_len", "value": 3},
                {"rule": "min_len", "value": 5},
                span(1, 2),
                {"rule": "max_len", "value": 0},
            ],
            id="stored-unchecked-and-in-order",
        ),
        ("i8 @range(5..=5)", [span(5, 5)]),
        ("i64 @range(-1_0..=10)", [span(-10, 10)]),
        pytest.param("i64 @range(1__0_..=1_000)", [span(10, 1000)], id="separators-dropped"),
        ("i64 @range(007..=007)", [span(7, 7)]),
        (f"[u8] @max_items({2**64 - 1})", [{"rule": "max_items", "value": 2**64 - 1}]),
        ('String @format("ipv6")', [{"rule": "format", "value": "ipv6"}]),
    ],
)
def test_rules(declared, rules):
    assert fields_of(f"schema A {{ x: {declared} }}")[0]["rules"] == rules


@pytest.mark.parametrize(
    "text, names",
    [
        pytest.param("schema A { b: B } schema B {}", ["A", "B"], id="forward-reference"),
        pytest.param("schema Node { next: Node? }", ["Node"], id="recursion"),
        pytest.param(
            "schema A { s: S } union S @tag(k) { a: A }", ["A", "S"], id="reference-to-union"
        ),
        pytest.param(
            "union U @tag(k) { a: A b: A } union V @tag(k) { a: A } schema A {}",
            ["A", "U", "V"],
            id="schema-shared-by-variants",
        ),
        pytest.param(
            "schema b {} schema a {} schema Z {} schema ab {} union B @tag(t) { x: a }",
            ["B", "Z", "a", "ab", "b"],
            id="byte-order-mixes-kinds",
        ),
    ],
)
def test_names_resolve(text, names):
    assert Schema.parse(text).type_names() == names


JSON_TYPE = {"kind": "json"}
JSON_REF = {"kind": "ref", "name": "Json"}


# A declaration named Json wins over the built-in type; the thirteen built-in names are the
# other way round.
@pytest.mark.parametrize(
    "text, expected",
    [
        ("schema A { x: Json }", JSON_TYPE),
        ("schema A { x: Json } schema Json {}", JSON_REF),
        ("schema Json {} schema A { x: [String: [Json?]] }",
         {"kind": "map", "key": {"kind": "string"},
          "value": {"kind": "array", "item": JSON_REF, "item_nullable": True},
          "value_nullable": False}),
        ("schema A { x: Json } union Json @tag(k) { b: B } schema B {}", JSON_REF),
        ("schema A { x: String } schema String {}", {"kind": "string"}),
    ],
)
def test_what_json_names_issue14(text, expected):
    assert fields_of(text)[0]["type"] == expected


def test_array_brackets_nest_to_the_limit():
    text = "schema A { x: " + "[" * ARRAY_DEPTH + "u8" + "]" * ARRAY_DEPTH + " }"
    item = fields_of(text)[0]["type"]
    for _ in range(ARRAY_DEPTH):
        item = item["item"]
    assert item["kind"] == "int"


EVERY_CONSTRUCT = """
// A schema using every construct of the language.
schema User {
    id: u64
    name: String @min_len(1) @max_len(64)
    email: optional String? @format(email)
    tags: [String?]? @min_items(0) @max_items(1_000)
    role: enum { admin, "power user", }
    born: Date
    seen: optional DateTime
    score: f64?
    delta: i64 @range(-170141183460469231731687303715884105728
                      ..= 170141183460469231731687303715884105727)
    small: i8 @range(-8..=7)
    flags: [[bool]]?
    ok: bool
    c: u16
    d: u32
    e: i16
    f: i32
    g: u8
    friend: optional User?
    event: Event
    labels: [String: String?] @max_items(64)
    by_role: optional [enum { a, "b c" }: [String: u8]]
    meta: Json?
}
union Event @tag("kind") {
    login: Login
    "log out": Login
}
schema Login { at: DateTime }
"""


def int_type(name):
    return {
        "kind": "int",
        "name": name,
        "signed": name.startswith("i"),
        "fits_js_number": not name.endswith("64"),
    }


def field(name, type_, optional=False, nullable=False, rules=()):
    return {
        "name": name,
        "type": type_,
        "optional": optional,
        "nullable": nullable,
        "rules": list(rules),
    }


EXPECTED_DESCRIPTION = {
    "Login": {
        "kind": "object",
        "name": "Login",
        "deny_unknown_fields": True,
        "fields": [field("at", {"kind": "datetime"})],
    },
    "User": {
        "kind": "object",
        "name": "User",
        "deny_unknown_fields": True,
        "fields": [
            field("id", int_type("u64")),
            field(
                "name",
                {"kind": "string"},
                rules=[{"rule": "min_len", "value": 1}, {"rule": "max_len", "value": 64}],
            ),
            field(
                "email",
                {"kind": "string"},
                optional=True,
                nullable=True,
                rules=[{"rule": "format", "value": "email"}],
            ),
            field(
                "tags",
                {"kind": "array", "item": {"kind": "string"}, "item_nullable": True},
                nullable=True,
                rules=[{"rule": "min_items", "value": 0}, {"rule": "max_items", "value": 1000}],
            ),
            field("role", {"kind": "enum", "values": ["admin", "power user"]}),
            field("born", {"kind": "date"}),
            field("seen", {"kind": "datetime"}, optional=True),
            field("score", {"kind": "float"}, nullable=True),
            field("delta", int_type("i64"), rules=[span(-(2**127), MAX_I128)]),
            field("small", int_type("i8"), rules=[span(-8, 7)]),
            field(
                "flags",
                {
                    "kind": "array",
                    "item": {"kind": "array", "item": {"kind": "bool"}, "item_nullable": False},
                    "item_nullable": False,
                },
                nullable=True,
            ),
            field("ok", {"kind": "bool"}),
            field("c", int_type("u16")),
            field("d", int_type("u32")),
            field("e", int_type("i16")),
            field("f", int_type("i32")),
            field("g", int_type("u8")),
            field("friend", {"kind": "ref", "name": "User"}, optional=True, nullable=True),
            field("event", {"kind": "ref", "name": "Event"}),
            field(
                "labels",
                {"kind": "map", "key": {"kind": "string"}, "value": {"kind": "string"},
                 "value_nullable": True},
                rules=[{"rule": "max_items", "value": 64}],
            ),
            field(
                "by_role",
                {
                    "kind": "map",
                    "key": {"kind": "enum", "values": ["a", "b c"]},
                    "value": {"kind": "map", "key": {"kind": "string"},
                              "value": int_type("u8"), "value_nullable": False},
                    "value_nullable": False,
                },
                optional=True,
            ),
            field("meta", {"kind": "json"}, nullable=True),
        ],
    },
    "Event": {
        "kind": "union",
        "name": "Event",
        "tag": "kind",
        "variants": [{"tag": "login", "type": "Login"}, {"tag": "log out", "type": "Login"}],
    },
}


def test_describe_every_construct():
    described = Schema.parse(EVERY_CONSTRUCT).describe()
    assert described == EXPECTED_DESCRIPTION
    # The text form compares the key order of every dict too: unions come after every
    # object, whatever their names, and each dict's keys have a fixed order.
    assert json.dumps(described) == json.dumps(EXPECTED_DESCRIPTION)


def test_describe_returns_fresh_objects():
    schema = Schema.parse(EVERY_CONSTRUCT)
    first = schema.describe()
    first["User"]["fields"].clear()
    first["Login"]["fields"][0]["rules"].append("changed")
    assert schema.describe() == EXPECTED_DESCRIPTION


@pytest.mark.parametrize(
    "text, expected",
    [
        ("schema B {} schema A {}", 'Schema(types=["A", "B"])'),
        (EVERY_CONSTRUCT, 'Schema(types=["Event", "Login", "User"])'),
        pytest.param(
            "schema a\u0941 {}", 'Schema(types=["a\\u{941}"])', id="grapheme-extender-escaped"
        ),
        pytest.param(
            "schema gr\u00f6\u00dfe {}", 'Schema(types=["gr\u00f6\u00dfe"])', id="letters-unchanged"
        ),
    ],
)
def test_repr(text, expected):
    assert repr(Schema.parse(text)) == expected
