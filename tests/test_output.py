"""The result of a successful run: a new dict, declared fields only, dates converted."""

import datetime as dt
import json

import pytest

from conftest import Err, issues_of, validator

SHAPES = """
schema Item { id: u32 when: Date? }
schema Order {
  id: u64
  note: optional String?
  price: f64
  created: DateTime
  items: [Item]
  days: [Date]
  nested: [[Date?]]
  counts: [u8]
  maybe: optional [Item?]
}
schema Circle { r: f64 }
schema Square { side: f64 }
union Shape @tag(kind) { circle: Circle square: Square }
schema Canvas { shapes: [Shape] first: Shape }
"""

UTC = dt.timezone.utc


def order(**over):
    base = {
        "items": [{"id": 1, "when": "2024-01-31"}],
        "created": "2024-01-31T12:00:00Z",
        "price": 2,
        "id": 7,
        "days": ["2024-02-29"],
        "nested": [["2024-01-01", None]],
        "counts": [1, 2],
    }
    base.update(over)
    return base


def test_result_is_a_new_dict_in_declaration_order(road):
    v = validator(SHAPES, "Order")
    payload = order()
    got = road(v, payload)
    assert got is not payload
    assert list(got) == ["id", "price", "created", "items", "days", "nested", "counts"]
    assert got == {
        "id": 7,
        "price": 2,
        "created": dt.datetime(2024, 1, 31, 12, 0, tzinfo=UTC),
        "items": [{"id": 1, "when": dt.date(2024, 1, 31)}],
        "days": [dt.date(2024, 2, 29)],
        "nested": [[dt.date(2024, 1, 1), None]],
        "counts": [1, 2],
    }
    assert type(got["price"]) is int  # an int in a float field stays an int


def test_nullable_present_null_is_kept_and_absent_optional_is_left_out(road):
    v = validator(SHAPES, "Order")
    got = road(v, order(note=None, maybe=[None, {"id": 2, "when": None}]))
    assert got["note"] is None
    assert got["maybe"] == [None, {"id": 2, "when": None}]
    assert "note" not in road(v, order())


def test_python_road_passes_unconverted_values_through():
    v = validator(SHAPES, "Order")
    counts = [1, 2]
    created = dt.datetime(2024, 1, 31, 12, tzinfo=UTC)
    day = dt.date(2024, 1, 31)
    got = v(order(counts=counts, created=created, days=(day, "2024-01-01")))
    assert got["counts"] is counts
    assert got["created"] is created
    assert got["days"] == [day, dt.date(2024, 1, 1)]  # a tuple of dates becomes a list
    assert got["days"][0] is day


def test_union_result_puts_the_tag_first(road):
    v = validator(SHAPES, "Canvas")
    got = road(v, {"first": {"r": 1.5, "kind": "circle"}, "shapes": [{"side": 2, "kind": "square"}]})
    assert list(got) == ["shapes", "first"]
    assert list(got["first"]) == ["kind", "r"]
    assert got["shapes"] == [{"kind": "square", "side": 2}]


def test_union_at_the_root(road):
    v = validator(SHAPES, "Shape")
    assert road(v, {"side": 1, "kind": "square"}) == {"kind": "square", "side": 1}


def test_json_road_numbers_and_escapes():
    v = validator("schema T { f: f64 g: f64 s: String }", "T")
    got = v(b'{"f": 1, "g": 1.0, "s": "caf\\u00e9"}')
    assert type(got["f"]) is int and type(got["g"]) is float
    assert got["s"] == "caf\u00e9"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("2024-01-31T12:00:00.5+01:00", dt.datetime(2024, 1, 31, 12, 0, 0, 500000, dt.timezone(dt.timedelta(hours=1)))),
        ("2024-01-31T12:00:00.1234567z", dt.datetime(2024, 1, 31, 12, 0, 0, 123456, UTC)),
        ("2024-01-31t12:00:00-00:00", dt.datetime(2024, 1, 31, 12, 0, tzinfo=UTC)),
    ],
)
def test_datetime_texts_convert(road, text, expected):
    v = validator("schema T { at: DateTime }", "T")
    assert road(v, {"at": text})["at"] == expected


@pytest.mark.parametrize(
    "schema, payload, expected",
    [
        pytest.param(
            "schema T { d: [Date] }",
            {"d": ["2024-01-01", "0000-01-01"]},
            Err("invalid_date", "d[1]", "`0000-01-01` cannot be represented as a Python date"),
            id="year-zero",
        ),
        pytest.param(
            "schema In { at: DateTime } schema T { x: optional In xs: [In] }",
            {"xs": [{"at": "2024-01-01T00:00:00Z"}, {"at": "2016-12-31T23:59:60Z"}]},
            Err(
                "invalid_datetime",
                "xs[1].at",
                "`2016-12-31T23:59:60Z` cannot be represented as a Python datetime",
            ),
            id="leap-second",
        ),
    ],
)
def test_unrepresentable_dates_are_issues_issue3(road, schema, payload, expected):
    v = validator(schema, "T")
    assert issues_of(lambda: road(v, payload)) == [expected]


def test_output_reads_arrays_as_validation_did_issue3():
    class Sneaky(list):
        def __iter__(self):
            return iter(["not a date"])

    v = validator("schema T { d: [Date] }", "T")
    assert v({"d": Sneaky(["2024-01-01"])}) == {"d": [dt.date(2024, 1, 1)]}


def test_each_element_is_read_once_and_the_checked_value_is_returned_issue7():
    class Flaky(list):
        calls = 0

        def __getitem__(self, i):
            Flaky.calls += 1
            if Flaky.calls > 1:
                raise KeyError("second read")
            return super().__getitem__(i)

    v = validator("schema T { d: [Date] }", "T")
    assert v({"d": Flaky(["2024-01-01"])}) == {"d": [dt.date(2024, 1, 1)]}
    assert Flaky.calls == 1


class Key(str):
    pass


@pytest.mark.parametrize(
    "payload",
    [
        pytest.param({"a": 1, "b": "x", "c": [1]}, id="in-order"),
        pytest.param({"c": [1], "b": "x", "a": 1}, id="reversed"),
        pytest.param({"a": 1, "c": [1]}, id="optional-absent"),
        pytest.param({Key("a"): 1, "b": "x", "c": [1]}, id="str-subclass-key"),
        pytest.param(type("D", (dict,), {})(a=1, b="x", c=[1]), id="dict-subclass"),
    ],
)
def test_plain_objects_come_back_in_declaration_order_with_str_keys(payload):
    v = validator("schema T { a: u8 b: optional String c: [u8] }", "T")
    got = v(payload)
    assert type(got) is dict and got is not payload
    assert list(got) == [k for k in ("a", "b", "c") if k in payload]
    assert all(type(k) is str for k in got)
    assert got["c"] is payload["c"]


class LyingKey(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "make_key, found",
    [
        pytest.param(lambda k: "".join(list(k)), True, id="equal-str-not-identical"),
        pytest.param(lambda k: k.encode().decode(), True, id="non-ascii-from-bytes"),
        pytest.param(Key, True, id="str-subclass"),
        pytest.param(LyingKey, True, id="lying-eq-same-text"),
        pytest.param(lambda k: LyingKey(k + "x"), False, id="lying-eq-other-text"),
    ],
)
def test_members_are_found_by_their_text_whatever_the_key_object(make_key, found):
    # Keys as json.loads makes them are equal to the schema's names but never the same
    # objects; a member found where the last one ended must be the one a lookup finds.
    v = validator('schema T { a: u8 "ключ": u8 c: u8 }', "T")
    payload = {"a": 1, make_key("ключ"): 2, "c": 3}
    if found:
        assert v(payload) == {"a": 1, "ключ": 2, "c": 3}
    else:
        assert issues_of(lambda: v(payload))[0].code == "required"


PLAIN = 'schema P { a: u8 b: f64 c: String @min_len(1) d: enum { x, y } e: bool? f: optional u8 }'
PLAIN_FULL = {"a": 1, "b": 2.5, "c": "é", "d": "x", "e": None, "f": 6}


class Text(str):
    pass


@pytest.mark.parametrize(
    "payload",
    [
        pytest.param(PLAIN_FULL, id="in-order"),
        pytest.param(dict(reversed(PLAIN_FULL.items())), id="reversed"),
        pytest.param(json.loads(json.dumps(PLAIN_FULL)), id="keys-from-json-loads"),
        pytest.param({**PLAIN_FULL, "c": Text("é")}, id="str-subclass-value"),
        pytest.param({**PLAIN_FULL, "b": 2}, id="int-in-float-field"),
        pytest.param({k: v for k, v in PLAIN_FULL.items() if k != "f"}, id="optional-absent"),
        pytest.param(type("D", (dict,), {})(PLAIN_FULL), id="dict-subclass"),
    ],
)
def test_flat_results_are_new_dicts_of_the_values_checked_in_declaration_order(payload):
    # An exact dict of exactly the declared members, in order, under the schema's own keys,
    # is copied whole; every other payload is built key by key. Both give the same result.
    v = validator(PLAIN, "P")
    got = v(payload)
    assert type(got) is dict and got is not payload
    assert list(got) == [k for k in "abcdef" if k in payload]
    assert all(type(k) is str for k in got)
    assert all(got[k] is payload[k] for k in got)
    got["a"] = 99
    assert payload["a"] == 1


WIDE = "schema W { a: u8 b: optional u8? c: u8 d: u8 e: optional String f: u8 g: [u8] }"
WIDE_FULL = {"a": 1, "b": None, "c": 3, "d": 4, "e": "x", "f": 6, "g": [7]}


@pytest.mark.parametrize(
    "payload",
    [
        pytest.param(WIDE_FULL, id="every-field"),
        pytest.param(dict(reversed(WIDE_FULL.items())), id="reversed"),
        pytest.param({k: v for k, v in WIDE_FULL.items() if k != "e"}, id="one-absent"),
        pytest.param({k: v for k, v in WIDE_FULL.items() if k not in "be"}, id="two-absent"),
    ],
)
def test_wide_results_hold_exactly_the_members_given_in_declaration_order(road, payload):
    # Types of six fields or more are built, from their second result on, from a copy of a
    # dict of their keys.
    v = validator(WIDE, "W")
    assert road(v, payload) == payload
    first = road(v, payload)
    assert list(first) == [k for k in "abcdefg" if k in payload]
    assert first == payload
    first["h"] = 0
    first.pop("a")
    assert road(v, payload) == payload  # a result is the caller's, shared with nothing


def test_wide_results_of_a_payload_with_undeclared_members_are_issues(road):
    payload = {**{k: v for k, v in WIDE_FULL.items() if k != "e"}, "z": 0}
    v = validator(WIDE, "W")
    assert issues_of(lambda: road(v, payload)) == [
        Err("unknown_field", "z", "`W` declares no field named `z`")
    ]


@pytest.mark.parametrize(
    "payload, expected",
    [
        pytest.param(
            {"d": ["0000-01-01"], "n": 300},
            [Err("out_of_range", "n", "300 is outside the range of u8 (0..=255)")],
            id="later-issue-wins",
        ),
        pytest.param(
            {"n": 300, "d": ["0000-01-01"]},
            [Err("out_of_range", "n", "300 is outside the range of u8 (0..=255)")],
            id="earlier-issue-wins",
        ),
        pytest.param(
            {"d": ["0000-01-01", "2024-02-30"]},
            [Err("invalid_date", "d[1]", "`2024-02-30` is not a valid date")],
            id="checking-goes-on-after-the-failed-build",
        ),
    ],
)
def test_a_failed_build_yields_to_the_issues_found_issue7(road, payload, expected):
    # The walk stops building where Python cannot hold a date and goes on checking.
    v = validator("schema T { d: [Date] n: optional u8 }", "T")
    assert issues_of(lambda: road(v, payload)) == expected


def test_json_enum_values_and_tags_are_made_once_at_binding_issue7():
    v = validator(
        "schema A { s: enum { on, off } } union U @tag(k) { a: A }",
        "U",
    )
    first, second = v(b'{"k": "a", "s": "on"}'), v(b'{"s": "on", "k": "a"}')
    assert first == second == {"k": "a", "s": "on"}
    assert first["s"] is second["s"] and first["k"] is second["k"]


class Tags(list):
    pass


@pytest.mark.parametrize(
    "schema, value, same",
    [
        pytest.param("[u8]", [1, 2], True, id="exact-list"),
        pytest.param("[String]", ("a", "b"), True, id="exact-tuple"),
        pytest.param("[u8]", Tags([1, 2]), False, id="list-subclass"),
        pytest.param("[[u8]]", [[1], [2]], False, id="array-of-arrays"),
    ],
)
def test_only_exact_lists_of_plain_values_pass_through_issue9(schema, value, same):
    got = validator(f"schema T {{ v: {schema} }}", "T")({"v": value})["v"]
    assert (got is value) is same
    assert list(got) == list(value) and (same or type(got) is list)


class Unreadable(list):
    reads = 0

    def __getitem__(self, i):
        Unreadable.reads += 1
        if Unreadable.reads == 1 or self.always:
            raise KeyError("unreadable")
        return super().__getitem__(i)


@pytest.mark.parametrize(
    "always, error",
    [pytest.param(True, KeyError, id="read-again-fails"), pytest.param(False, RuntimeError, id="read-again-succeeds")],
)
def test_an_element_the_result_needs_but_could_not_read_fails_the_call_issue9(always, error):
    # Validation skips an unreadable element; a result list cannot leave it out.
    Unreadable.reads = 0
    value = Unreadable(["2024-01-01"])
    value.always = always
    with pytest.raises(error):
        validator("schema T { d: [Date] }", "T")({"d": value})
