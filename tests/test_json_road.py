"""The JSON road: which payloads are JSON text, parse failures and their positions, the limits
applied while reading, duplicate keys, escapes and number edges."""

import json

import pytest

from conftest import Err, issues_of, typed, validator
from vorn_schema import ParseError, ValidationError


def read(v, text):
    """What `v` makes of `text`: the output, the issues as Err rows, or the ParseError's text."""
    try:
        return v(text)
    except ParseError as e:
        return str(e)
    except ValidationError as e:
        return [Err(i.code, i.path, i.message) for i in e.args[0].list()]


# The two roads: the payload's type picks the road.


class Bytes(bytes):
    pass


class Text(str):
    pass


@pytest.mark.parametrize(
    "wrap",
    [bytes, bytearray, Bytes, lambda b: b.decode(), lambda b: Text(b.decode())],
    ids=["bytes", "bytearray", "bytes-subclass", "str", "str-subclass"],
)
@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param(b'{"s": "\\u00e9", "n": [1]}', {"s": "\u00e9", "n": [1]}, id="valid"),
        pytest.param(b'{"s": 1}', [Err("type_mismatch", "s", "expected string, found integer")],
                     id="invalid"),
        pytest.param(b"{", '1:2: expected `"`', id="malformed"),
        pytest.param(b'"abc"', [Err("type_mismatch", "<root>", "expected object, found string")],
                     id="json-text-never-a-string-value"),
        pytest.param(b"abc", "1:1: unexpected `a`", id="a-bare-word-is-no-json"),
    ],
)
def test_text_payloads_take_the_json_road(wrap, text, expected):
    v = validator("schema T { s: String n: optional [u8] }", "T")
    assert read(v, wrap(text)) == expected


def test_memoryview_takes_the_python_road():
    assert read(validator("schema T { }", "T"), memoryview(b"{}")) == [
        Err("type_mismatch", "<root>", "expected object, found unsupported value")
    ]


def test_str_with_lone_surrogate_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        validator("schema T { }", "T")('{"a": "\ud800"}')


# Parse errors: LINE:COLUMN, where columns count bytes.

ANY = "schema T { a: optional u8 }"


@pytest.mark.parametrize(
    "text, expected",
    [
        (b"", "1:1: unexpected end of input"),
        (b" \n\t", "2:2: unexpected end of input"),
        (b"[", "1:2: unexpected end of input"),
        (b'{"a":', "1:6: unexpected end of input"),
        (b"{", '1:2: expected `"`'),
        (b'{"a":1,}', '1:8: expected `"`'),
        (b"{1:2}", '1:2: expected `"`'),
        (b'{"a" 1}', "1:6: expected `:`"),
        (b'{"a"', "1:5: expected `:`"),
        pytest.param(b"[1 2]", "1:5: expected `,` or `]`", id="just-past-the-byte"),
        (b"[1", "1:3: expected `,` or `]`"),
        (b"[truex]", "1:7: expected `,` or `]`"),
        (b'{"a":1 "b":2}', "1:9: expected `,` or `}`"),
        (b'{"a":1', "1:7: expected `,` or `}`"),
        (b"[1,]", "1:4: unexpected `]`"),
        (b"+1", "1:1: unexpected `+`"),
        (b"'a'", "1:1: unexpected `'`"),
        pytest.param(b"\xef\xbb\xbf{}", "1:1: unexpected `\u00ef`", id="bom-shows-first-byte"),
        pytest.param("\u00e9".encode(), "1:1: unexpected `\u00c3`", id="lead-byte-as-latin1"),
        (b"tru", "1:1: expected `true`"),
        (b"[fals]", "1:2: expected `false`"),
        (b"nul", "1:1: expected `null`"),
        (b"truex", "1:5: trailing characters after the document"),
        (b"01", "1:2: trailing characters after the document"),
        (b"{} {}", "1:4: trailing characters after the document"),
        (b"\nx", "2:1: unexpected `x`"),
        pytest.param(b"\r\nx", "2:1: unexpected `x`", id="crlf"),
        pytest.param(b"\rx", "1:2: unexpected `x`", id="cr-is-an-ordinary-byte"),
        (b"[\n  1,\n  }", "3:3: unexpected `}`"),
        pytest.param('["\u00e9" x]'.encode(), "1:8: expected `,` or `]`", id="columns-count-bytes"),
        (b"\xff", "1:1: input is not valid UTF-8"),
        pytest.param(b'["ok", "\xc0\x80"]', "1:1: input is not valid UTF-8", id="overlong"),
        pytest.param(b'"\xed\xa0\x80"', "1:1: input is not valid UTF-8", id="encoded-surrogate"),
        pytest.param(b'"\xf4\x90\x80\x80"', "1:1: input is not valid UTF-8", id="above-10ffff"),
        pytest.param(b'"\xe2\x82', "1:1: input is not valid UTF-8", id="cut-sequence"),
        (b'"abc', "1:5: unterminated string"),
        (b'"abc\\"', "1:7: unterminated string"),
        (b'"\\x"', "1:4: unknown escape"),
        (b'"\\', "1:3: unknown escape"),
        (b'"\\u12x4"', "1:7: expected four hex digits"),
        (b'"\\u12', "1:6: expected four hex digits"),
        (b'"\\ude00"', "1:8: lone low surrogate"),
        (b'"\\ud83dx"', "1:9: lone high surrogate"),
        (b'"\\ud83d\\x"', "1:10: lone high surrogate"),
        (b'"\\ud83d', "1:8: lone high surrogate"),
        (b'"\\ud83d\\u0041"', "1:14: high surrogate not followed by a low one"),
        (b'"\\ud83d\\ud83d"', "1:14: high surrogate not followed by a low one"),
        (b"-", "1:2: expected a digit"),
        (b"[-a]", "1:3: expected a digit"),
        (b"1.", "1:3: expected a digit after `.`"),
        (b"1.e5", "1:3: expected a digit after `.`"),
        (b"1e", "1:3: expected a digit in the exponent"),
        (b"1E+", "1:4: expected a digit in the exponent"),
    ],
)
def test_syntax_failures_raise_parse_error(text, expected):
    assert read(validator(ANY, "T"), text) == expected


# Limits: the parser applies them while reading and stops at the first breach, so the issue
# sits at the root (not at n.n... for a deep text) and a later syntax error is never reached.

LIMITED = "schema T { a: optional [u8] b: optional u8 s: optional String n: optional T }"


def nested(levels):
    """An object nested `levels` deep below the root: {"n": {"n": ...}}."""
    payload = {}
    for _ in range(levels):
        payload = {"n": payload}
    return payload


def nested_json(levels):
    return json.dumps(nested(levels)).encode()


@pytest.mark.parametrize(
    "text, limits, code, message",
    [
        pytest.param(b'{"a": [1, 2, 3]}', {"max_items": 2}, "size_exceeded",
                     "more than 2 items in one array", id="items"),
        pytest.param(b'{"a": 1, "b": 2}', {"max_object_keys": 1}, "size_exceeded",
                     "more than 1 keys in one object", id="keys"),
        pytest.param(b'{"a": "abcd"}', {"max_string_bytes": 3}, "size_exceeded",
                     "string longer than 3 bytes", id="string"),
        pytest.param(b'{"abcd": 1}', {"max_string_bytes": 3}, "size_exceeded",
                     "string longer than 3 bytes", id="key-is-a-string"),
        pytest.param(b'{"a": "\\u0061"}', {"max_string_bytes": 3}, "size_exceeded",
                     "string longer than 3 bytes", id="escape-counts-raw-bytes"),
        pytest.param(b'{"a": 1}', {"max_depth": 0}, "depth_exceeded",
                     "nesting deeper than the limit of 0", id="scalar-member-counts"),
        pytest.param(b"[" * 300, {"max_depth": 1000}, "depth_exceeded",
                     "nesting deeper than the limit of 256", id="clamped-to-256"),
        pytest.param(b"[1, 2, 3, x", {"max_items": 2}, "size_exceeded",
                     "more than 2 items in one array", id="limit-before-later-syntax-error"),
        pytest.param(nested_json(65), {}, "depth_exceeded",
                     "nesting deeper than the limit of 64", id="depth-default-past"),
        pytest.param(nested_json(1), {"max_depth": 0}, "depth_exceeded",
                     "nesting deeper than the limit of 0", id="depth-0-past"),
        pytest.param(nested_json(257), {"max_depth": 1000}, "depth_exceeded",
                     "nesting deeper than the limit of 256", id="depth-clamped-past"),
    ],
)
def test_limit_failures_are_one_root_issue(text, limits, code, message):
    v = validator(LIMITED, "T", **limits)
    assert issues_of(lambda: v(text)) == [Err(code, "<root>", message)]


@pytest.mark.parametrize(
    "limits, text, expected",
    [
        ({"max_items": 2}, b'{"a": [1, 2]}', {"a": [1, 2]}),
        ({"max_items": 0}, b'{"a": []}', {"a": []}),
        ({"max_object_keys": 2}, b'{"a": [], "b": 1}', {"a": [], "b": 1}),
        pytest.param({"max_object_keys": 1}, b'{"b": 1, "b": 2}', {"b": 2},
                     id="repeats-count-once"),
        pytest.param({"max_object_keys": 1}, b'{"b": 1, "\\u0062": 2}', {"b": 2},
                     id="decoded-repeats-count-once-issue12"),
        ({"max_object_keys": 0}, b"{}", {}),
        ({"max_string_bytes": 3}, b'{"s": "abc"}', {"s": "abc"}),
        pytest.param({"max_string_bytes": 1}, b'{"s": "a"}', {"s": "a"},
                     id="key-and-value-at-bound"),
        pytest.param({"max_string_bytes": 2}, '{"s": "\u00e9"}'.encode(), {"s": "\u00e9"},
                     id="utf8-bytes"),
        pytest.param({"max_string_bytes": 6}, b'{"s": "\\u00e9"}', {"s": "\u00e9"},
                     id="six-raw-bytes-read-then-two-decoded-checked"),
        pytest.param({}, nested_json(64), nested(64), id="depth-default-at"),
        pytest.param({"max_depth": 0}, nested_json(0), {}, id="depth-0-at"),
        pytest.param({"max_depth": 1000}, nested_json(256), nested(256), id="depth-clamped-at"),
    ],
)
def test_limits_at_their_bound_pass(limits, text, expected):
    assert validator(LIMITED, "T", **limits)(text) == expected


# Duplicate keys: one member per key however it is spelled; the last value wins, in the place
# where the key first appeared.


@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param(b'{"a": 1, "a": 2}', {"a": 2}, id="last-wins"),
        pytest.param(b'{"b": null, "a": "x", "a": 3}', {"a": 3, "b": None},
                     id="earlier-bad-value-replaced"),
        pytest.param(b'{"a": 1, "\\u0061": 2}', {"a": 2}, id="decoded-equal-last-wins-issue12"),
        pytest.param(b'{"a": "x", "\\u0061": 2}', {"a": 2},
                     id="decoded-equal-bad-value-replaced-issue12"),
        pytest.param(
            b'{"\\u0061": 1, "a": "x"}',
            [Err("type_mismatch", "a", "expected u8, found string")],
            id="decoded-equal-last-is-checked-issue12",
        ),
        pytest.param(b'{"\\u0062": "x", "a": 1, "b": 2}', {"a": 1, "b": 2},
                     id="decoded-equal-merged-before-an-in-order-member-issue12"),
        pytest.param(
            b'{"a": 1, "z": 1, "\\u007a": 2, "z": 3}',
            [Err("unknown_field", "z", "`T` declares no field named `z`")],
            id="decoded-equal-undeclared-reported-once-issue12",
        ),
        pytest.param(
            b'{"a": 0, "b": 0, "c": 0, "d": 0, "e": 0, "f": 0, "g": 0, "h": 0, "i": 0, '
            b'"j": 0, "\\u0061": "x", "\\u0063": null}',
            [Err("type_mismatch", "a", "expected u8, found string")]
            + [Err("unknown_field", k, f"`T` declares no field named `{k}`") for k in "cdefghij"],
            id="decoded-equal-merged-past-eight-keys-issue12",
        ),
        pytest.param(
            b'{"a": 0, "b": 0, "c": 0, "d": 0, "e": 0, "f": 0, "g": 0, "h": 0, "i": 0, '
            b'"j": 0, "a": 5, "c": null}',
            [Err("unknown_field", k, f"`T` declares no field named `{k}`") for k in "cdefghij"],
            id="merged-past-eight-keys",
        ),
    ],
)
def test_duplicate_keys(text, expected):
    assert read(validator("schema T { a: u8 b: optional u8? }", "T"), text) == expected


def test_many_repeated_keys_stay_under_the_key_limit():
    members = b", ".join(b'"k%d": %d' % (i % 1000, i) for i in range(200_000))
    v = validator("schema T { k7: u32 k999: u32 }", "T", max_object_keys=1000)
    # Undeclared members are reported once per distinct key, in the order they first appear.
    assert read(v, b"{" + members + b"}") == [
        Err("unknown_field", f"k{i}", f"`T` declares no field named `k{i}`")
        for i in range(1000) if i not in (7, 999)
    ]


def escaped(name):
    """The text written with every UTF-16 code unit as a \\u escape."""
    units = name.encode("utf-16-be")
    return "".join(f"\\u{units[i]:02x}{units[i + 1]:02x}" for i in range(0, len(units), 2))


NESTED = """
schema Item { sku: String qty: u8 }
schema Order { id: u8 items: [Item] note: optional String extra: optional Item }
"""


@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param(
            '{"%s": 1, "items": [{"%s": "a", "qty": 1}, {"sku": "b", "%s": 2}], "%s": "n"}'
            % (escaped("id"), escaped("sku"), escaped("qty"), escaped("note")),
            {"id": 1, "items": [{"sku": "a", "qty": 1}, {"sku": "b", "qty": 2}], "note": "n"},
            id="escaped-keys-at-every-level",
        ),
        pytest.param(
            '{"items": [{"%s": "a", "qty": 1}], "%s": 1}' % (escaped("sku"), escaped("id")),
            {"id": 1, "items": [{"sku": "a", "qty": 1}]},
            id="inner-object-closes-before-outer",
        ),
        pytest.param(
            '{"id": 1, "items": [], "%s": {"%s": "s", "qty": 2}}'
            % (escaped("extra"), escaped("sku")),
            {"id": 1, "items": [], "extra": {"sku": "s", "qty": 2}},
            id="escaped-key-whose-value-has-escaped-keys",
        ),
        pytest.param(
            '{"id": 1, "items": [{"sku": "a", "qty": 1, "%s": 2}, {"%s": 3, "qty": 4, "sku": "b"}]}'
            % (escaped("qty"), escaped("qty")),
            {"id": 1, "items": [{"sku": "a", "qty": 2}, {"sku": "b", "qty": 4}]},
            id="decoded-twins-last-wins-in-each-object-issue12",
        ),
        pytest.param(
            '{"id": 1, "items": [], "%s": 2}' % escaped("\u00e9\U0001f600"),
            [Err("unknown_field", "\u00e9\U0001f600",
                 "`Order` declares no field named `\u00e9\U0001f600`")],
            id="undeclared-key-reported-decoded",
        ),
    ],
)
def test_escaped_keys_in_nested_objects(text, expected):
    assert read(validator(NESTED, "Order"), text.encode()) == expected


@pytest.mark.parametrize("count", [8, 9, 16, 17, 40])
@pytest.mark.parametrize("escape_every", [1, 3])
def test_escaped_keys_in_long_objects(count, escape_every):
    # Past eight keys duplicates are found through a hash index; past sixteen members the
    # document's member run leaves its inline buffer.
    fields = " ".join(f"f{i}: optional u16" for i in range(count))
    v = validator(f"schema T {{ {fields} }}", "T", max_object_keys=count)
    members = ", ".join(
        f'"{escaped(f"f{i}") if i % escape_every == 0 else f"f{i}"}": {i}'
        for i in reversed(range(count))
    )
    # A repeat written plain merges with the escaped first occurrence: the last value wins.
    text = "{" + members + ', "f0": 999}'
    assert v(text.encode()) == {**{f"f{i}": i for i in range(count)}, "f0": 999}


# Escapes decode as they are read; rules and matches see the decoded text.


@pytest.mark.parametrize(
    "text, expected",
    [
        (b'{"s": "caf\\u00e9"}', "caf\u00e9"),
        (b'{"s": "caf\\u00E9"}', "caf\u00e9"),
        (b'{"s": "\\ud83d\\ude00"}', "\U0001f600"),
        (b'{"s": "\\"\\\\\\/\\b\\f\\n\\r\\t"}', '"\\/\b\f\n\r\t'),
        (b'{"s": "\\u0000"}', "\x00"),
        pytest.param(b'{"s": "a\tb\x01"}', "a\tb\x01", id="raw-control-bytes-accepted"),
        pytest.param('{"s": "\u4e2d\U0001f600"}'.encode(), "\u4e2d\U0001f600", id="raw-utf8"),
        pytest.param(b'{"\\u0073": "x"}', "x", id="escaped-key"),
    ],
)
def test_escapes_decode_when_read(text, expected):
    v = validator("schema T { s: String }", "T")
    assert v(text) == {"s": expected}


@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param(b'{"s": "\\ud83d\\ude00"}', {"s": "\U0001f600"}, id="pair-is-one-character"),
        pytest.param(
            b'{"s": "\\u00e9\\u00e9"}',
            [Err("too_long", "s", "length 2 exceeds the maximum of 1")],
            id="escapes-counted-decoded",
        ),
    ],
)
def test_length_rules_count_decoded_characters(text, expected):
    assert read(validator("schema T { s: String @max_len(1) }", "T"), text) == expected


def test_escaped_enum_value_and_tag_match_decoded():
    v = validator('schema A { c: enum { "\u00e9t\u00e9" } } union U @tag(k) { a: A }', "U")
    assert v(b'{"\\u006b": "\\u0061", "c": "\\u00e9t\\u00e9"}') == {"k": "a", "c": "\u00e9t\u00e9"}


# Numbers: integers beyond 64 bits are no values; floats round to nearest, keep their sign,
# and overflow to infinity.

WIDE = "integer is wider than 64 bits"
INFINITE = "NaN and infinity are not valid values"


@pytest.mark.parametrize(
    "field, number, expected",
    [
        ("i", b"-0", 0),
        ("i", b"-9223372036854775808", -(2**63)),
        ("i", b"9223372036854775807", 2**63 - 1),
        ("u", b"9223372036854775808", 2**63),
        ("u", b"18446744073709551615", 2**64 - 1),
        ("u", b"18446744073709551616", Err("integer_too_wide", "u", WIDE)),
        ("i", b"-9223372036854775809", Err("integer_too_wide", "i", WIDE)),
        ("i", b"1" * 400, Err("integer_too_wide", "i", WIDE)),
        pytest.param(
            "i", b"9223372036854775808",
            Err("out_of_range", "i", "9223372036854775808 is outside the range of i64 "
                "(-9223372036854775808..=9223372036854775807)"),
            id="2^63-as-i64",
        ),
        ("i", b"1.0", Err("type_mismatch", "i", "expected i64, found float")),
        ("i", b"1e2", Err("type_mismatch", "i", "expected i64, found float")),
        ("f", b"1", 1),
        ("f", b"1.5e3", 1500.0),
        ("f", b"0.1", 0.1),
        ("f", b"1e-400", 0.0),
        ("f", b"1e400", Err("not_finite", "f", INFINITE)),
        ("f", b"-1e400", Err("not_finite", "f", INFINITE)),
        ("f", b"1" * 400 + b".0", Err("not_finite", "f", INFINITE)),
        # beyond binary64 with the first significant digit after the dot
        ("f", b"0.00001e400", Err("not_finite", "f", INFINITE)),
        ("f", b"-0.00001e-400", -0.0),
        ("f", b"0.000e999999999999999999", 0.0),
        ("f", b"-0.0", -0.0),
        ("f", b"-1e-400", -0.0),
        ("f", b"0.0", 0.0),
        ("f", b"2.2250738585072011e-308", 2.2250738585072011e-308),
        ("f", b"4.9e-324", 5e-324),
        ("f", b"1.7976931348623157e308", 1.7976931348623157e308),
        # the edges of the exact short-float conversion, and just past them
        *[("f", t, float(t)) for t in (b"1e22", b"1e23", b"3.0e-22", b"123456789012345.6",
                                        b"9007199254740993e0", b"0.000123", b"-8.5e-23")],
        pytest.param(
            "f", b"-9223372036854775809",
            Err("type_mismatch", "f", "expected float, found integer wider than 64 bits"),
            id="f64-below-i64",
        ),
    ],
)
def test_number_edges(field, number, expected):
    v = validator("schema T { i: optional i64 u: optional u64 f: optional f64 }", "T")
    got = read(v, b'{"' + field.encode() + b'": ' + number + b"}")
    # typed: 1, 1.0 and True differ, and so do 0.0 and -0.0
    assert typed(got) == typed([expected] if isinstance(expected, Err) else {field: expected})


# Size: a document reads the same on either side of its inline buffers.

@pytest.mark.parametrize("size", [0, 1, 15, 16, 17, 31, 32, 33, 100])
def test_documents_around_the_inline_buffers(size):
    # 32 nodes, 16 members and 16 elements fit inside the document; one more of each moves
    # that vector to the heap mid-parse.
    v = validator("schema P { x: u16 } schema T { xs: [u16] ps: [P] m: optional P }", "T")
    payload = {"xs": list(range(size)), "ps": [{"x": i} for i in range(size)], "m": {"x": 7}}
    text = json.dumps(payload).encode()
    assert v(text) == payload == v(payload)
    bad = json.dumps({**payload, "ps": payload["ps"] + [{"x": -1}]}).encode()
    assert issues_of(lambda: v(bad)) == [
        Err("out_of_range", f"ps[{size}].x", "-1 is outside the range of u16 (0..=65535)")
    ]
