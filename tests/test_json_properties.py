"""The JSON parser against the standard library's json.loads: among RFC 8259 texts they accept
and reject the same documents, and accepted documents carry the same values, compared through
a schema that covers them, duplicate keys included. Where the two differ by design: json.loads
reads NaN, infinities, lone surrogates and a byte order mark (the table below), refuses raw
control characters, and reads numbers beyond 64 bits and texts past the limits, which
test_json_road.py covers."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import Err, issues_of, outcome, validator
from vorn_schema import Limits, ParseError, Schema

U64_MAX = 2**64 - 1

# Wide enough that no limit ends a parse: only the syntax decides.
OPEN = Schema.parse("schema T { }").validator("T", Limits(256, U64_MAX, U64_MAX, U64_MAX))

COVER = validator(
    """
    schema Leaf { s: optional String? i: optional i64? u: optional u64? f: optional f64?
                  b: optional bool? }
    schema Doc { leaves: [Leaf] grid: optional [[f64?]] kids: optional [Doc] note: optional String }
    """,
    "Doc",
)

# Text JSON can carry (a str cannot hold a lone surrogate and still encode as UTF-8).
TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)
INTS = st.integers(-(2**70), 2**70) | st.sampled_from([2**63 - 1, 2**63, U64_MAX, 2**64, -(2**63)])
FLOATS = st.floats(allow_nan=False, allow_infinity=False)
LEAF = st.fixed_dictionaries(
    {},
    optional={
        "s": st.none() | TEXT,
        "i": st.none() | INTS,
        "u": st.none() | INTS,
        "f": st.none() | FLOATS | INTS,
        "b": st.none() | st.booleans(),
    },
)
DOC = st.recursive(
    st.fixed_dictionaries(
        {"leaves": st.lists(LEAF, max_size=3)},
        optional={"grid": st.lists(st.lists(st.none() | FLOATS, max_size=3), max_size=2),
                  "note": TEXT},
    ),
    lambda inner: st.fixed_dictionaries(
        {"leaves": st.lists(LEAF, max_size=2), "kids": st.lists(inner, max_size=2)}
    ),
    max_leaves=4,
)

WHITESPACE = st.text(st.sampled_from(" \t\n\r"), max_size=2)
SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n",
                 "\r": "\\r", "\t": "\\t"}


def render(draw, value):
    """JSON text for `value`, spelled in one of the many ways RFC 8259 allows."""
    ws = lambda: draw(WHITESPACE)  # noqa: E731
    if value is None or isinstance(value, bool):
        return json.dumps(value)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        spelling = draw(st.sampled_from(["repr", "e", "g"]))
        text = {"repr": repr(value), "e": f"{value:.17e}", "g": f"{value:.17g}"}[spelling]
        # RFC 8259 needs a digit after the dot and none before a leading one.
        return text if text[-1].isdigit() or "e" in text else text + "0"
    if isinstance(value, str):
        out = []
        for c in value:
            how = draw(st.sampled_from(["raw", "escape"])) if c >= " " else "escape"
            if how == "raw" and c not in '"\\':
                out.append(c)
            elif c in SHORT_ESCAPES and draw(st.booleans()):
                out.append(SHORT_ESCAPES[c])
            elif ord(c) > 0xFFFF:
                high, low = divmod(ord(c) - 0x10000, 0x400)
                out.append(f"\\u{0xD800 + high:04x}\\u{0xDC00 + low:04X}")
            else:
                out.append(f"\\u{ord(c):04x}")
        return '"' + "".join(out) + '"'
    if isinstance(value, list):
        return "[" + ws() + ",".join(ws() + render(draw, v) + ws() for v in value) + ws() + "]"
    members = (ws() + render(draw, k) + ws() + ":" + ws() + render(draw, v) + ws()
               for k, v in value.items())
    return "{" + ws() + ",".join(members) + ws() + "}"


def loads_accepts(text):
    """json.loads with the documented differences taken out: raw control characters are
    allowed (strict=False), and a lone surrogate escape is refused."""
    try:
        # a lone surrogate cannot encode as UTF-8 (UnicodeEncodeError is a ValueError)
        json.dumps(json.loads(text, strict=False), ensure_ascii=False).encode()
    except ValueError:
        return False
    return True


@given(st.data())
def test_values_agree_with_json_loads(data):
    text = render(data.draw, data.draw(DOC))
    assert outcome(COVER, text.encode()) == outcome(COVER, json.loads(text))


MUTATION_BYTES = list('{}[]":,.-+eE0123456789 \\/u"tfn') + ["\\u", "\\ud800", "\x01", "\u00e9"]


@st.composite
def mutated(draw):
    text = render(draw, draw(DOC))
    for _ in range(draw(st.integers(0, 2))):
        at = draw(st.integers(0, len(text)))
        kind = draw(st.sampled_from(["insert", "delete", "truncate"]))
        if kind == "insert":
            text = text[:at] + draw(st.sampled_from(MUTATION_BYTES)) + text[at:]
        elif kind == "delete":
            text = text[:at] + text[at + 1 :]
        else:
            text = text[:at]
    return text


@given(mutated() | st.lists(st.sampled_from(MUTATION_BYTES), max_size=12).map("".join))
def test_accepts_exactly_what_json_loads_accepts(text):
    parsed = outcome(OPEN, text.encode())
    assert (parsed[0] != "parse") == loads_accepts(text), (text, parsed)


# Each row is a text that json.loads reads one way and this parser another, on purpose.
@pytest.mark.parametrize(
    "text, loads, ours",
    [
        pytest.param(b"NaN", "nan", "1:1: unexpected `N`", id="nan"),
        pytest.param(b"Infinity", "inf", "1:1: unexpected `I`", id="infinity"),
        pytest.param(b"-Infinity", "-inf", "1:2: expected a digit", id="minus-infinity"),
        pytest.param(b'"\\ud800"', "'\\ud800'", "1:9: lone high surrogate", id="lone-surrogate"),
        pytest.param(b"\xef\xbb\xbf{}", "{}", "1:1: unexpected `\u00ef`", id="utf8-bom"),
    ],
)
def test_json_loads_accepts_what_we_refuse(text, loads, ours):
    assert repr(json.loads(text)) == loads
    with pytest.raises(ParseError) as info:
        OPEN(text)
    assert str(info.value) == ours


# Keys drawn from few letters, each written plain or escaped, so that repeats of one text in
# different spellings are common.
KEYS = st.lists(st.tuples(st.sampled_from("abc"), st.integers(0, 9)), max_size=12)


@given(KEYS, st.data())
def test_repeated_keys_in_any_spelling_agree_with_json_loads(members, data):
    text = "{" + ",".join(render(data.draw, k) + ":" + str(v) for k, v in members) + "}"
    loaded = json.loads(text)
    # The key limit counts distinct texts; undeclared keys come once each, in the order of
    # their first occurrence, which is json.loads's key order.
    limits = {"max_object_keys": len(loaded)}
    whole = validator("schema T { a: optional u8 b: optional u8 c: optional u8 }", "T", **limits)
    assert whole(text.encode()) == loaded
    only_a = validator("schema T { a: optional u8 }", "T", **limits)
    unknown = [Err("unknown_field", k, f"`T` declares no field named `{k}`") for k in loaded]
    unknown = [e for e in unknown if e.path != "a"]
    got = issues_of(lambda: only_a(text.encode())) if unknown else only_a(text.encode())
    assert got == (unknown or loaded)

