"""Worker processes: Schema, Validator and Limits pickle, so they can be sent to workers, and
ValidationError and ParseError pickle, so they come back."""

import copy
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

from conftest import outcome, raised
from vorn_schema import Issue, IssueList, Issues, Limits, ParseError, Schema, ValidationError
from vorn_schema import Validator

TEXT = """
// \u00e9 in a comment, and a name: the text goes through as it was written
schema Item { n\u00e4me: String @min_len(1)  qty: u32 @range(1..=9) }
schema Order { id: u64  items: [Item] @max_items(3)  at: optional DateTime }
union Event @tag(kind) { order: Order }
"""
PAYLOADS = [
    {"id": 1, "items": [{"n\u00e4me": "a", "qty": 2}], "at": "2024-05-01T10:00:00Z"},
    {"id": -1, "items": [{"n\u00e4me": "", "qty": 0}] * 4},
    b'{"id": 2, "items": [], "extra": [1, [2]]}',
    b'{"id": 2, "items": [{"n\\u00e4me": "x", "qty": 9}]}',
    b'{"id": 2,',
]
INVALID = PAYLOADS[1]


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_schema_round_trip(protocol, tmp_path):
    path = tmp_path / "s.vorn"
    path.write_text(TEXT, encoding="utf-8")
    for schema in (Schema.parse(TEXT), Schema.load(path)):
        back = pickle.loads(pickle.dumps(schema, protocol))
        assert type(back) is Schema and back is not schema
        assert (back.describe(), repr(back)) == (schema.describe(), repr(schema))


@pytest.mark.parametrize(
    "limits", [Limits(), Limits(0, 1, 2, 3), Limits(2**64 - 1, 2**64 - 1, 0, 0)]
)
def test_limits_round_trip(limits):
    back = pickle.loads(pickle.dumps(limits))
    assert type(back) is Limits and back is not limits
    for field in ("max_depth", "max_items", "max_string_bytes", "max_object_keys"):
        assert getattr(back, field) == getattr(limits, field)
    # Equivalent, not equal: Limits keeps the default identity comparison.
    assert back != limits


@pytest.mark.parametrize("limits", [None, Limits(max_items=2), Limits(max_depth=1)])
@pytest.mark.parametrize("type_name", ["Order", "Event"])
def test_validator_round_trip_gives_the_same_outcomes(type_name, limits):
    v = Schema.parse(TEXT).validator(type_name, limits)
    back = pickle.loads(pickle.dumps(v))
    assert type(back) is Validator and back.type_name == type_name
    for payload in PAYLOADS:
        if type_name == "Event" and isinstance(payload, dict):
            payload = {"kind": "order", **payload}
        assert outcome(back, payload) == outcome(v, payload)


def test_copies_share_nothing_mutable():
    v = Schema.parse(TEXT).validator("Order")
    assert copy.deepcopy(v)(PAYLOADS[0]) == v(PAYLOADS[0])
    assert copy.copy(Schema.parse(TEXT)).type_names() == ["Event", "Item", "Order"]


def test_validator_reduce_names_public_callables_only():
    v = Schema.parse(TEXT).validator("Order", Limits(max_items=5))
    fn, (schema, name, limits) = v.__reduce__()
    assert fn == Schema.validator
    assert (type(schema), name, limits.max_items) == (Schema, "Order", 5)
    fn, args = Schema.parse("schema A {}").__reduce__()
    assert (fn, args) == (Schema.parse, ("schema A {}",))


def reads(issues):
    return (
        len(issues),
        [(i.path, i.code, i.message, str(i), repr(i)) for i in issues.list()],
        *[getattr(issues, name)() for name in
          ("summary", "first_path", "first_code", "first_message")],
    )


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_validation_error_round_trip_keeps_every_read(protocol):
    # The member name puts text that the repr of an Issue escapes into a path and a message.
    e = raised(lambda: Schema.parse(TEXT).validate("Order", {**INVALID, "\u00e9\"\\\n\u0301": 1}))
    e.request_id = "r-17"  # as a handler might add
    back = pickle.loads(pickle.dumps(e, protocol))
    assert type(back) is ValidationError
    assert type(back.issues) is IssueList
    assert reads(back.issues) == reads(e.issues)
    assert (str(back), repr(back), back.errors()) == (str(e), repr(e), e.errors())
    assert back.request_id == "r-17"
    # A second trip goes through the stand-in itself.
    again = pickle.loads(pickle.dumps(back, protocol))
    assert reads(again.issues) == reads(e.issues)
    assert copy.deepcopy(e).errors() == e.errors()


def test_issues_and_issue_do_not_pickle():
    e = raised(lambda: Schema.parse(TEXT).validate("Order", INVALID))
    assert "__reduce__" not in Issues.__dict__ and "__reduce__" not in Issue.__dict__
    with pytest.raises(TypeError):
        pickle.dumps(e.issues)


@pytest.mark.parametrize("error", [ParseError("1:2: expected `:`"), ValidationError("plain text")])
def test_other_errors_pickle_by_value_of_their_text(error):
    error.request_id = "r-17"
    back = pickle.loads(pickle.dumps(error))
    assert type(back) is type(error)
    assert (back.args, back.request_id) == (error.args, "r-17")


@pytest.mark.subprocess
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pool_runs_a_sent_validator(method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} here")
    v = Schema.parse(TEXT).validator("Order", Limits(max_items=2))
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context(method)) as pool:
        results = list(pool.map(outcome, [v] * len(PAYLOADS), PAYLOADS))
        invalid, broken = pool.submit(v, INVALID), pool.submit(v, PAYLOADS[-1])
        with pytest.raises(ValidationError) as info:
            invalid.result()
        with pytest.raises(ParseError) as parse:
            broken.result()
    assert results == [outcome(v, p) for p in PAYLOADS]
    assert not isinstance(info.value.issues, Issues)
    assert info.value.errors() == raised(lambda: v(INVALID)).errors()
    assert (type(parse.value), str(parse.value)) == (ParseError, "1:10: expected `\"`")


@pytest.mark.subprocess
def test_dask_process_scheduler():
    bag = pytest.importorskip("dask.bag")
    v = Schema.parse(TEXT).validator("Order")
    got = bag.from_sequence(PAYLOADS, npartitions=2).map(
        lambda p: outcome(v, p)).compute(scheduler="processes")
    assert got == [outcome(v, p) for p in PAYLOADS]
