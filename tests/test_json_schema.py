"""JSON Schema export: its shape, a differential run against the jsonschema package, and
field names of any text through every generator."""

import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

from vorn_schema import ParseError, Schema, ValidationError, to_json_schema
from vorn_schema.lint import NEVER_APPLIES, lint
from vorn_schema.typeddict import generate

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"

EDGE = """
schema E {
  u: u8
  i: optional i64
  f: optional f64 @range(0..=100)
  s: optional String @min_len(2) @max_len(4)
  d: optional Date
  dt: optional DateTime
  e: optional enum { a, "b c" }
  arr: optional [u8?] @min_items(1) @max_items(2)
  nested: optional [[String]?]?
  id: optional String @format(uuid)
  mail: optional String @format(email)
  host: optional String @format(hostname)
  v4: optional String @format(ipv4)
  v6: optional String @format(ipv6)
  n: String?
  r: optional i32 @range(-5..=5) @range(0..=10)
  never: optional u8 @min_len(3) @format(uuid) @max_items(0)
  self: optional E
  shape: optional U
}
schema One { x: u8 }
schema Two { y: optional String @max_len(3) }
union U @tag(kind) { one: One  "two words": Two }
"""


U8 = {"type": "integer", "minimum": 0, "maximum": 255}


@pytest.mark.parametrize("field, expected", [
    ("u8", U8),
    ("i64", {"type": "integer", "minimum": -(2**63), "maximum": 2**63 - 1}),
    pytest.param("i32 @range(-5..=5) @range(0..=10)",
                 {"type": "integer", "minimum": 0, "maximum": 5}, id="ranges-intersect"),
    pytest.param("u8 @min_len(3) @format(uuid) @max_items(0)", U8, id="rules-that-never-apply"),
    pytest.param("f64 @range(0..=100)", {"type": "number", "if": {"type": "integer"},
                                         "then": {"minimum": 0, "maximum": 100}},
                 id="f64-range-on-integers-only"),
    ("String?", {"anyOf": [{"type": "string"}, {"type": "null"}]}),
    ("[u8?] @min_items(1) @max_items(2)", {
        "type": "array", "items": {"anyOf": [U8, {"type": "null"}]},
        "minItems": 1, "maxItems": 2}),
    ("E", {"$ref": "#/$defs/E"}),
    ('enum { a, "b c" }', {"type": "string", "enum": ["a", "b c"]}),
    pytest.param("Date @format(hostname) @min_len(3) @min_len(5) @max_len(20)", {
        "type": "string", "format": "date", "allOf": [{"format": "hostname"}],
        "minLength": 5, "maxLength": 20}, id="formats-and-lengths-combine"),
])
def test_field_schema(field, expected):
    doc = to_json_schema(Schema.parse(f"schema E {{ f: {field} }}"), "E")
    got = doc["$defs"]["E"]["properties"]["f"]
    got.pop("pattern", None)
    assert got == expected


def test_document_shape():
    doc = to_json_schema(Schema.parse(EDGE), "E")
    assert doc["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    assert doc["$ref"] == "#/$defs/E"
    assert list(doc["$defs"]) == ["E", "One", "Two", "U"]
    e = doc["$defs"]["E"]
    assert e["additionalProperties"] is False
    assert e["required"] == ["u", "n"]
    union = doc["$defs"]["U"]
    assert union["properties"] == {"kind": {"enum": ["one", "two words"]}}
    assert union["discriminator"] == {"propertyName": "kind", "mapping": {
        "one": "#/$defs/U/allOf/0/then", "two words": "#/$defs/U/allOf/1/then"}}
    assert [v["if"] for v in union["allOf"]] == [
        {"properties": {"kind": {"const": tag}}, "required": ["kind"]}
        for tag in ("one", "two words")]
    variants = [v["then"] for v in union["allOf"]]
    assert [v["properties"]["kind"] for v in variants] == [{"const": "one"},
                                                          {"const": "two words"}]
    assert [v["required"] for v in variants] == [["kind", "x"], ["kind"]]
    assert all(v["additionalProperties"] is False for v in variants)
    whole = to_json_schema(Schema.parse(EDGE))
    assert "$ref" not in whole and whole["$defs"] == doc["$defs"]
    with pytest.raises(KeyError, match="no type named `Nope`"):
        to_json_schema(Schema.parse(EDGE), "Nope")


# Each case: an id, the type, and the JSON text both sides read.
CASES = [
    ("ok", "E", '{"u": 1, "n": null}'),
    ("u-missing", "E", '{"n": "x"}'),
    ("u-neg", "E", '{"u": -1, "n": null}'),
    ("u-256", "E", '{"u": 256, "n": null}'),
    ("u-float-integral", "E", '{"u": 1.0, "n": null}'),
    ("u-bool", "E", '{"u": true, "n": null}'),
    ("n-absent", "E", '{"u": 1}'),
    ("extra", "E", '{"u": 1, "n": null, "zz": 1}'),
    ("i-max", "E", '{"u": 1, "n": null, "i": 9223372036854775807}'),
    ("i-over", "E", '{"u": 1, "n": null, "i": 9223372036854775808}'),
    ("i-exponent", "E", '{"u": 1, "n": null, "i": 1e16}'),
    ("f-frac", "E", '{"u": 1, "n": null, "f": 99.5}'),
    ("f-int-over", "E", '{"u": 1, "n": null, "f": 1000}'),
    ("f-frac-over", "E", '{"u": 1, "n": null, "f": 1000.5}'),
    ("f-integral-float-over", "E", '{"u": 1, "n": null, "f": 1000.0}'),
    ("f-exp-over", "E", '{"u": 1, "n": null, "f": 1e9}'),
    ("f-infinite", "E", '{"u": 1, "n": null, "f": 1e999}'),
    ("f-null", "E", '{"u": 1, "n": null, "f": null}'),
    ("s-ok", "E", '{"u": 1, "n": null, "s": "\\u00e9\\u00e9"}'),
    ("s-short-astral", "E", '{"u": 1, "n": null, "s": "\\ud83d\\ude00"}'),
    ("s-long", "E", '{"u": 1, "n": null, "s": "abcde"}'),
    ("d-ok", "E", '{"u": 1, "n": null, "d": "2024-02-29"}'),
    ("d-bad-day", "E", '{"u": 1, "n": null, "d": "2023-02-29"}'),
    ("d-year-zero", "E", '{"u": 1, "n": null, "d": "0000-01-01"}'),
    ("d-datetime", "E", '{"u": 1, "n": null, "d": "2024-01-01T00:00:00Z"}'),
    ("dt-ok", "E", '{"u": 1, "n": null, "dt": "2024-05-01T10:00:00.5+05:30"}'),
    ("dt-lower", "E", '{"u": 1, "n": null, "dt": "2024-05-01t10:00:00z"}'),
    ("dt-no-offset", "E", '{"u": 1, "n": null, "dt": "2024-05-01T10:00:00"}'),
    ("dt-space", "E", '{"u": 1, "n": null, "dt": "2024-05-01 10:00:00Z"}'),
    ("dt-leap-second", "E", '{"u": 1, "n": null, "dt": "2016-12-31T23:59:60Z"}'),
    ("dt-feb-30", "E", '{"u": 1, "n": null, "dt": "2023-02-30T10:00:00Z"}'),
    ("dt-hour-24", "E", '{"u": 1, "n": null, "dt": "2024-05-01T24:00:00Z"}'),
    ("dt-minute-60", "E", '{"u": 1, "n": null, "dt": "2024-05-01T10:60:00Z"}'),
    ("dt-offset-24", "E", '{"u": 1, "n": null, "dt": "2024-05-01T10:00:00+24:00"}'),
    ("dt-offset-no-colon", "E", '{"u": 1, "n": null, "dt": "2024-05-01T10:00:00+0530"}'),
    ("e-ok", "E", '{"u": 1, "n": null, "e": "b c"}'),
    ("e-bad", "E", '{"u": 1, "n": null, "e": "B C"}'),
    ("arr-ok", "E", '{"u": 1, "n": null, "arr": [1, null]}'),
    ("arr-empty", "E", '{"u": 1, "n": null, "arr": []}'),
    ("arr-three", "E", '{"u": 1, "n": null, "arr": [1, 2, 3]}'),
    ("arr-bad-item", "E", '{"u": 1, "n": null, "arr": [300]}'),
    ("nested-ok", "E", '{"u": 1, "n": null, "nested": [["a"], null, []]}'),
    ("nested-null-inner", "E", '{"u": 1, "n": null, "nested": [[null]]}'),
    ("id-ok", "E", '{"u": 1, "n": null, "id": "A0B1C2D3-E4F5-A6B7-C8D9-E0F1A2B3C4D5"}'),
    ("id-no-hyphens", "E", '{"u": 1, "n": null, "id": "a0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5"}'),
    ("id-braces", "E", '{"u": 1, "n": null, "id": "{a0b1c2d3-e4f5-a6b7-c8d9-e0f1a2b3c4d5}"}'),
    ("mail-ok", "E", '{"u": 1, "n": null, "mail": "a+b@c.d"}'),
    ("mail-no-dot", "E", '{"u": 1, "n": null, "mail": "a@b"}'),
    ("mail-blank", "E", '{"u": 1, "n": null, "mail": "a b@c.d"}'),
    ("mail-no-at", "E", '{"u": 1, "n": null, "mail": "ab.c"}'),
    ("host-ok", "E", '{"u": 1, "n": null, "host": "api.example.com"}'),
    ("host-underscore", "E", '{"u": 1, "n": null, "host": "a_b.example.com"}'),
    ("host-trailing-dot", "E", '{"u": 1, "n": null, "host": "example.com."}'),
    ("v4-ok", "E", '{"u": 1, "n": null, "v4": "192.168.0.1"}'),
    ("v4-leading-zero", "E", '{"u": 1, "n": null, "v4": "01.2.3.4"}'),
    ("v4-256", "E", '{"u": 1, "n": null, "v4": "256.1.1.1"}'),
    ("v6-ok", "E", '{"u": 1, "n": null, "v6": "2001:db8::8a2e:370:7334"}'),
    ("v6-mapped", "E", '{"u": 1, "n": null, "v6": "::ffff:192.0.2.1"}'),
    ("v6-zone", "E", '{"u": 1, "n": null, "v6": "fe80::1%eth0"}'),
    ("v6-double", "E", '{"u": 1, "n": null, "v6": "1::2::3"}'),
    ("r-ok", "E", '{"u": 1, "n": null, "r": 5}'),
    ("r-outside-second", "E", '{"u": 1, "n": null, "r": -1}'),
    ("never-rules", "E", '{"u": 1, "n": null, "never": 7}'),
    ("self-ok", "E", '{"u": 1, "n": null, "self": {"u": 2, "n": "x"}}'),
    ("self-bad", "E", '{"u": 1, "n": null, "self": {"u": 2}}'),
    ("shape-one", "E", '{"u": 1, "n": null, "shape": {"kind": "one", "x": 1}}'),
    ("shape-two", "U", '{"kind": "two words", "y": "abc"}'),
    ("shape-two-long", "U", '{"kind": "two words", "y": "abcd"}'),
    ("shape-no-tag", "U", '{"x": 1}'),
    ("shape-null-tag", "U", '{"kind": null, "x": 1}'),
    ("shape-unknown-tag", "U", '{"kind": "three", "x": 1}'),
    ("shape-wrong-fields", "U", '{"kind": "one", "y": "a"}'),
    ("shape-array", "U", "[]"),
]

# Where the two disagree, and why. Anything else that disagrees fails the test.
EXPECTED = {
    "u-float-integral": "JSON Schema counts 1.0 as an integer; here it is a float",
    "i-exponent": "the same for 1e16",
    "dt-feb-30": "the date-time pattern does not check the day of the month",
    "f-integral-float-over": "1000.0 is an integer to JSON Schema, so its range applies; "
    "here a float skips an f64 range",
    "f-exp-over": "the same for 1e9",
    "f-infinite": "1e999 reads as infinity, which JSON Schema accepts as a number",
    "mail-no-dot": "the jsonschema package's email check only looks for an @",
    "mail-blank": "the same",
    "host-underscore": "the jsonschema package checks hostnames only with an optional extra",
    "host-trailing-dot": "the same",
}


def _vorn_accepts(schema, type_name, text):
    try:
        schema.validator(type_name)(text.encode())
        return True
    except ValidationError:
        return False


# The jsonschema package checks date-times only with its format extras installed; the
# export's pattern must carry the check without them.
@pytest.mark.parametrize("without", [(), ("date-time",)], ids=["all-formats", "no-date-time"])
def test_differential_against_jsonschema(without):
    jsonschema = pytest.importorskip("jsonschema")
    formats = [f for f in jsonschema.FormatChecker().checkers if f not in without]
    schema = Schema.parse(EDGE)
    checkers = {}
    disagree = {}
    for case_id, type_name, text in CASES:
        if type_name not in checkers:
            doc = to_json_schema(schema, type_name)
            jsonschema.Draft202012Validator.check_schema(doc)
            checkers[type_name] = jsonschema.Draft202012Validator(
                doc, format_checker=jsonschema.FormatChecker(formats)
            )
        ours = _vorn_accepts(schema, type_name, text)
        theirs = checkers[type_name].is_valid(json.loads(text))
        if ours != theirs:
            disagree[case_id] = (ours, theirs)
    expected = set(EXPECTED)
    if "date-time" in formats:
        # With its date-time checker, the jsonschema package refuses February 30 too.
        expected.discard("dt-feb-30")
    assert sorted(disagree) == sorted(expected)


def test_differential_over_the_example_files():
    jsonschema = pytest.importorskip("jsonschema")
    schema = Schema.load(EXAMPLES / "shop.vorn")
    rows = [("Order", (EXAMPLES / n).read_text()) for n in ("order.json", "order_invalid.json")]
    for name, type_name in (("payments.jsonl", "PaymentEvent"), ("customers.jsonl", "Customer")):
        rows += [(type_name, line) for line in (EXAMPLES / name).read_text().splitlines()]
    seen = set()
    for type_name, text in rows:
        try:
            value = json.loads(text)
        except json.JSONDecodeError:
            with pytest.raises(ParseError):
                schema.validator(type_name)(text)
            continue
        check = jsonschema.Draft202012Validator(
            to_json_schema(schema, type_name), format_checker=jsonschema.FormatChecker()
        )
        ours = _vorn_accepts(schema, type_name, text)
        assert ours == check.is_valid(value), text
        seen.add(ours)
    assert seen == {True, False}


def test_tag_picks_the_variant_in_linear_time_issue13():
    # A oneOf made jsonschema descend into every variant at every level: 3**depth work,
    # 7 s at depth 10. The guard counts `properties` checks and stops an exponential run
    # early instead of hanging; the time bound is ten times the 50 ms aimed at.
    jsonschema = pytest.importorskip("jsonschema")
    from jsonschema import _keywords, validators

    schema = Schema.parse("union B @tag(kind) { a: Sq  b: Sq  c: Sq } schema Sq { next: B? }")
    checks = []

    def properties(*args):
        checks.append(1)
        if len(checks) > 10_000:
            raise RuntimeError("exponential")
        yield from _keywords.properties(*args)

    counting = validators.extend(jsonschema.Draft202012Validator, {"properties": properties})
    check = counting(to_json_schema(schema, "B"))

    def run(depth):
        node = None
        for i in range(depth):
            node = {"kind": "abc"[i % 3], "next": node}
        checks.clear()
        started = time.perf_counter()
        assert check.is_valid(node)
        return len(checks), time.perf_counter() - started

    shallow, _ = run(5)
    deep, seconds = run(50)
    assert deep <= 10 * shallow and seconds < 0.5


# Field names JSON uses that are no identifiers. The schema language has no escapes, so a
# backslash is an ordinary character and `a\\b` is three characters long.
FIELD_NAMES = [
    pytest.param("first-name", id="hyphen"),
    pytest.param("$id", id="dollar"),
    pytest.param("@type", id="at"),
    pytest.param("a.b", id="dot"),
    pytest.param("a\\b", id="backslash"),
    pytest.param("a b", id="blank"),
    pytest.param("it's", id="apostrophe"),
    pytest.param("a//b", id="comment-like"),
    pytest.param("\u00e9t\u00e9 \u65e5", id="non-ascii"),
    pytest.param("class", id="python-keyword"),
    pytest.param("", id="empty"),
]


@pytest.mark.parametrize("name", FIELD_NAMES)
def test_field_names_of_any_text_through_each_generator(tmp_path, name):
    jsonschema = pytest.importorskip("jsonschema")
    text = f'schema T {{ "{name}": u8 @min_len(1) }}'
    schema = Schema.parse(text)
    assert [f["name"] for f in schema.describe()["T"]["fields"]] == [name]
    v = schema.validator("T")
    assert v({name: 1}) == v(json.dumps({name: 1})) == {name: 1}

    doc = to_json_schema(schema, "T")
    assert list(doc["$defs"]["T"]["properties"]) == doc["$defs"]["T"]["required"] == [name]
    check = jsonschema.Draft202012Validator(doc)
    assert check.is_valid({name: 1})
    assert not check.is_valid({}) and not check.is_valid({name: 1, name + "x": 1})

    (tmp_path / "names_gen.py").write_text(generate(schema))
    sys.path.insert(0, str(tmp_path))
    try:
        assert __import__("names_gen").T.__required_keys__ == {name}
    finally:
        sys.path.remove(str(tmp_path))
        sys.modules.pop("names_gen", None)

    [finding] = lint(text)
    assert (finding.kind, finding.field) == (NEVER_APPLIES, name)
    assert (finding.line, finding.column) == (1, text.rindex("@") + 1)


@pytest.mark.subprocess
def test_mypy_strict_reads_the_generated_names(tmp_path):
    pytest.importorskip("mypy")
    names = [p.values[0] for p in FIELD_NAMES]
    fields = "  ".join(f'"{n}": u8' for n in names)
    schema = Schema.parse(f"schema T {{ {fields} }}")
    (tmp_path / "names_gen.py").write_text(generate(schema))
    total = " + ".join(f"t[{ascii(n)}]" for n in names)
    use = f"from names_gen import T\n\n\ndef total(t: T) -> int:\n    return {total}\n"
    (tmp_path / "use.py").write_text(use)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py", "names_gen.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300, env=dict(os.environ),
    )
    assert done.returncode == 0, done.stdout + done.stderr
