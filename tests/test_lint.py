"""lint: rules that check nothing, contradictions, and ranges that do not overlap."""

import datetime

import pytest

from vorn_schema import ParseError, Schema, ValidationError
from vorn_schema.lint import (
    CONTRADICTION,
    DISJOINT_RANGES,
    FORMAT_LENGTHS,
    NEVER_APPLIES,
    PARTLY_APPLIES,
    REPEATED_RULE,
    lint,
    tokens,
)

# Values each field type accepts, and a rule of each kind that some value could fail.
ACCEPTED = {
    "bool": [True, False],
    "u8": [0, 7, 200],
    "i64": [-(2**63), 0, 2**63 - 1],
    "f64": [0.5, 7, 1e9, 1000],
    "String": ["", "a", "abcdef", "a@b.cd"],
    "Date": [datetime.date(2024, 5, 1), "2024-05-01"],
    "DateTime": ["2024-05-01T10:00:00Z"],
    "enum { a, bbbbbb }": ["a", "bbbbbb"],
    "[u8]": [[], [1, 2, 3]],
    "B": [{}],
}
RULES = {
    "@min_len(30)": "too_short",
    "@max_len(2)": "too_long",
    "@range(1..=2)": "out_of_range",
    "@min_items(1)": "too_few_items",
    "@max_items(1)": "too_many_items",
    "@format(uuid)": "invalid_format",
}


def engine_applies(type_text, rule):
    """Whether the engine records the rule's code for any value the type accepts."""
    v = Schema.parse(f"schema A {{ v: {type_text} {rule} }} schema B {{}}").validator("A")
    for value in ACCEPTED[type_text]:
        try:
            v({"v": value})
        except ValidationError as e:
            if RULES[rule] in [i.code for i in e.issues.list()]:
                return True
    return False


@pytest.mark.parametrize("rule", RULES)
@pytest.mark.parametrize("type_text", ACCEPTED)
def test_never_applies_agrees_with_the_engine(type_text, rule):
    found = lint(f"schema A {{ v: {type_text} {rule} }} schema B {{}}")
    flagged = [f for f in found if f.kind in (NEVER_APPLIES, PARTLY_APPLIES)]
    if (type_text, rule) == ("f64", "@range(1..=2)"):
        # Applies to integers only: flagged, with its own message, though it can fail.
        assert engine_applies(type_text, rule)
        assert flagged[0].kind == PARTLY_APPLIES
        assert "only values that arrive as integers" in flagged[0].message
    else:
        assert bool(flagged) == (not engine_applies(type_text, rule))


@pytest.mark.parametrize(
    "field, kind, message",
    [
        ("s: String @min_len(5) @max_len(2)", CONTRADICTION,
         "`@min_len(5)` and `@max_len(2)` leave no value that passes both"),
        ("s: [u8] @max_items(1) @min_items(2) @min_items(3)", CONTRADICTION,
         "`@min_items(3)` and `@max_items(1)` leave no value that passes both"),
        ("d: Date @min_len(11)", CONTRADICTION,
         "every `Date` is 10 characters long, so `@min_len(11)` rejects them all"),
        ("d: DateTime @max_len(19)", CONTRADICTION,
         "every `DateTime` is at least 20 characters long, so `@max_len(19)` rejects them all"),
        ("d: Date @format(ipv4)", CONTRADICTION,
         "no `Date` text is a valid ipv4, so `@format` rejects them all"),
        ("d: DateTime @format(hostname)", CONTRADICTION,
         "no `DateTime` text is a valid hostname, so `@format` rejects them all"),
        ("e: enum { a, b } @format(email)", CONTRADICTION,
         "no value of the enum passes `@format(email)`"),
        ("e: enum { a, bb } @max_len(0)", CONTRADICTION,
         "no value of the enum passes `@max_len(0)`"),
        ("n: i32 @range(0..=5) @range(6..=9)", DISJOINT_RANGES,
         "`@range(6..=9)` does not overlap `@range(0..=5)`, so no value passes both"),
        ("n: u8 @range(-9..=-1)", DISJOINT_RANGES,
         "`@range(-9..=-1)` lies outside the range of `u8` (0..=255), so no value passes"),
        ("s: String @format(uuid) @max_len(10)", CONTRADICTION,
         "every valid uuid is 36 characters long, so `@format(uuid)` and `@max_len(10)` "
         "leave no value that passes both"),
        ("s: String @min_len(16) @format(ipv4)", CONTRADICTION,
         "every valid ipv4 is 7 to 15 characters long, so `@format(ipv4)` and `@min_len(16)` "
         "leave no value that passes both"),
        ("s: String @min_len(1) @min_len(2)", REPEATED_RULE,
         "`@min_len(2)` repeats `@min_len(1)`; both apply, so write the rule once"),
        ("n: i32 @range(0..=5) @range(5..=9)", REPEATED_RULE,
         "`@range(5..=9)` repeats `@range(0..=5)`; both apply, so write the rule once"),
        ("s: optional String? @format(email) @format(email)", REPEATED_RULE,
         "`@format(email)` repeats `@format(email)`; both apply, so write the rule once"),
        # Sound rules: no finding.
        ("d: Date @format(hostname) @min_len(10) @max_len(10)", None, None),
        ("e: enum { a, \"x@y.z\" } @format(email) @min_len(5)", None, None),
        ("n: u8 @range(-5..=0)", None, None),
        ("s: String @min_len(3) @max_len(3)", None, None),
        ("t: optional [String]? @min_items(0) @max_items(2)", None, None),
        ("s: String @format(uuid) @min_len(36) @max_len(36)", None, None),
        ("s: String @format(email) @min_len(5) @max_len(318)", None, None),
        ("s: String @format(ipv6) @min_len(2) @max_len(45)", None, None),
    ],
)
def test_findings(field, kind, message):
    found = lint(f"schema A {{ {field} }}")
    assert [(f.kind, f.message) for f in found] == ([(kind, message)] if kind else [])


# The shortest and the longest text each format accepts: the lengths lint counts on.
FORMAT_EXTREMES = {
    "uuid": ("0" * 8 + "-0000" * 3 + "-" + "0" * 12, None),
    "ipv4": ("0.0.0.0", "255.255.255.255"),
    "ipv6": ("::", "ffff:" * 6 + "255.255.255.255"),
    "hostname": ("a", ".".join(["a" * 63] * 3 + ["b" * 61])),
    "email": ("a@b.c", "a" * 64 + "@" + ".".join(["a" * 63] * 3 + ["b" * 61])),
}


@pytest.mark.parametrize("fmt", FORMAT_EXTREMES)
def test_format_lengths_are_the_engines(fmt):
    shortest, longest = FORMAT_EXTREMES[fmt]
    longest = longest or shortest
    v = Schema.parse(f"schema A {{ s: String @format({fmt}) }}").validator("A")
    for text in (shortest, longest):
        v({"s": text})
    assert FORMAT_LENGTHS[fmt] == (len(shortest), len(longest))


def test_positions_point_at_each_rule():
    text = (
        "// \u00e9\u00e9 comment\n"
        'union U @tag("k") { "x y": A }\n'
        "schema A {\n"
        "  \u00e9t\u00e9: [enum { \"}\", b }?]? @min_len(2)\n"
        "  n: u8 @range(1..=2) @range(3..=4)\n"
        "}\n"
    )
    found = lint(text)
    assert [(f.line, f.column, f.type_name, f.field) for f in found] == [
        (4, 28, "A", "\u00e9t\u00e9"), (5, 23, "A", "n")]
    assert found[1].render("s.vorn") == (
        "s.vorn:5:23: A.n: `@range(3..=4)` does not overlap `@range(1..=2)`, "
        "so no value passes both (disjoint-ranges)")


def test_a_rule_gets_one_finding_the_most_telling():
    text = ("schema A {\n"
            "  m: u8 @min_len(1) @min_len(2)\n"
            "  n: u8 @range(1..=2) @range(3..=4) @range(1..=2)\n"
            "  s: String @max_len(9) @format(uuid) @max_len(40)\n"
            "}\n")
    assert [(f.line, f.column, f.kind) for f in lint(text)] == [
        (2, 9, NEVER_APPLIES), (2, 21, NEVER_APPLIES),
        (3, 23, DISJOINT_RANGES), (3, 37, DISJOINT_RANGES),
        (4, 25, CONTRADICTION), (4, 39, REPEATED_RULE)]


def test_tokens_count_columns_in_characters():
    toks = tokens("a\u00e9 -1_0 ..= \"q r\"\n\u3000x")
    assert [(t.kind, t.text, t.line, t.column) for t in toks] == [
        ("ident", "a\u00e9", 1, 1), ("num", "-1_0", 1, 4), ("..=", "..=", 1, 9),
        ("str", "q r", 1, 13), ("ident", "x", 2, 2), ("eof", "", 2, 3)]


def test_lint_raises_parse_errors():
    with pytest.raises(ParseError, match="unknown type `Strng`"):
        lint("schema A { x: Strng }")
