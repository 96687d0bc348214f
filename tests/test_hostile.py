"""Payloads built to hurt: cycles, shared containers, code that mutates the payload."""

import datetime as dt
import json
import subprocess
import sys
import textwrap

import pytest

from conftest import Err, issues_of, validator
from vorn_schema import ValidationError


def run_isolated(code, timeout=20):
    """Runs code in a child interpreter; returns its stdout (hostile inputs may hang)."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


# Containers shared, or containing themselves


def self_containing_dict():
    d = {}
    d["next"] = d
    d["kids"] = [d]
    return d


def self_containing_list():
    lst = []
    lst.append(lst)
    return lst


def self_containing_map():
    d = {"m": {}}
    d["m"]["self"] = d
    return d


SHARED = {"next": None, "kids": []}
ITEM = {"a": 1, "b": 2, "c": 3}
DEPTH = "nesting deeper than the limit of 64"
SHARING = """
schema N { next: N? kids: [N] }
schema Pair { a: N b: N }
schema D { a: u8 b: u8 c: u8 }
schema G { g: [[D]] }
schema X { x: [[[u8]]] }
schema J { j: Json }
schema M { m: [String: M] }
"""


@pytest.mark.parametrize(
    "root, payload, expected",
    [
        pytest.param("N", self_containing_dict(), [Err("depth_exceeded", "next", DEPTH),
                                                   Err("depth_exceeded", "kids[0]", DEPTH)],
                     id="self-containing-dict-reports-depth-at-once-issue3"),
        # Each level is a different array type, so this is no cycle: the walk ends at the u8.
        pytest.param("X", {"x": self_containing_list()},
                     [Err("type_mismatch", "x[0][0][0]", "expected u8, found array")],
                     id="self-containing-list-is-read-level-by-level"),
        pytest.param("Pair", {"a": SHARED, "b": SHARED}, None,
                     id="same-object-under-another-type-is-no-cycle"),
        pytest.param("G", {"g": [[ITEM] * 10_000]}, None, id="one-dict-everywhere-issue3"),
        pytest.param("G", {"g": [[dict(ITEM) for _ in range(50)]] * 300}, None,
                     id="one-list-everywhere-issue3"),
        # maps and Json values (issue 14)
        pytest.param("J", {"j": self_containing_dict()},
                     [Err("depth_exceeded", "j.next", DEPTH),
                      Err("depth_exceeded", "j.kids[0]", DEPTH)],
                     id="self-containing-dict-in-json"),
        pytest.param("J", {"j": [self_containing_list()]},
                     [Err("depth_exceeded", "j[0][0]", DEPTH)], id="self-containing-list-in-json"),
        pytest.param("M", self_containing_map(), [Err("depth_exceeded", "m.self", DEPTH)],
                     id="object-containing-itself-through-a-map"),
        pytest.param("J", {"j": [[ITEM] * 10_000]}, None, id="one-dict-everywhere-in-json"),
    ],
)
def test_shared_and_self_containing_payloads(root, payload, expected):
    v = validator(SHARING, root)
    if expected is None:
        assert v(payload) == payload
    else:
        assert issues_of(lambda: v(payload)) == expected


@pytest.mark.subprocess
@pytest.mark.parametrize("x_type", ["[[[[u8]]]]", "Json"])
@pytest.mark.parametrize("leaf", ["1", "'x'"])
def test_alias_bomb_is_bounded_issue3(leaf, x_type):
    out = run_isolated(
        f"""
        import resource, time
        from vorn_schema import _vorn, ValidationError
        v = _vorn.Schema.parse("schema T {{ x: {x_type} }}").validator("T")
        level = [{leaf}] * 1000
        for _ in range(3):
            level = [level] * 1000
        start = time.perf_counter()
        try:
            v({{"x": level}})
            codes = []
        except ValidationError as e:
            codes = [i.code for i in e.args[0].list()]
        print(time.perf_counter() - start, len(codes), codes[-1] if codes else "")
        """
    )
    seconds, count, last = out.split()
    assert float(seconds) < 1.0
    assert last == "size_exceeded"
    assert int(count) < 5_000


# The caller's own code: run at most once per value, its errors swallowed, its changes
# never slipping an unchecked value into the result


def raising(base, method, *args):
    """An instance of a `base` subclass whose `method` raises ZeroDivisionError."""
    return type(f"Bad{method}", (base,), {method: lambda *a: 1 / 0})(*args)


UNDECLARED_Z = Err("unknown_field", "z", "`T` declares no field named `z`")


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(type("BadClass", (), {"__class__": property(lambda s: 1 / 0)})(),
                     "unsupported value", id="class"),
        pytest.param(raising(int, "__index__", 3), "integer", id="index"),
        # A str, and a date object, are strings whatever their methods do.
        pytest.param(raising(str, "__str__", "x"), None, id="str"),
        pytest.param(raising(dt.date, "isoformat", 2024, 1, 1), None, id="iso"),
        pytest.param(raising(list, "__len__", [1]), "array", id="len"),
    ],
)
def test_misbehaving_values_never_raise_through_validation(value, expected):
    v = validator("schema T { x: String y: optional [u8] }", "T")
    mismatch = [Err("type_mismatch", "x", f"expected string, found {expected}")] if expected else []
    assert issues_of(lambda: v({"x": value, "z": 1})) == mismatch + [UNDECLARED_Z]


@pytest.mark.parametrize(
    "schema, field_rules, expected",
    [
        pytest.param("DateTime", "", None, id="plain"),
        pytest.param("String", "@min_len(1) @max_len(40) @format(email)",
                     [Err("invalid_format", "at", "not a valid email")], id="rules-share-text"),
    ],
)
def test_isoformat_runs_once_per_value_issue7(schema, field_rules, expected):
    class Counted(dt.datetime):
        calls = 0

        def isoformat(self, *args):
            Counted.calls += 1
            return super().isoformat(*args)

    v = validator(f"schema T {{ at: {schema} {field_rules} }}", "T")
    payload = {"at": Counted(2024, 1, 1, tzinfo=dt.timezone.utc)}
    if expected is None:
        assert v(payload)["at"] is payload["at"]
    else:
        assert issues_of(lambda: v(payload)) == expected
    assert Counted.calls == 1


def test_a_sequence_answering_differently_on_a_second_read_gets_nothing_unchecked_issue7():
    class Shifty(list):
        reads = 0

        def __getitem__(self, i):
            Shifty.reads += 1
            return {"qty": 5} if Shifty.reads == 1 else {"qty": 999}

    v = validator("schema Item { qty: u8 @range(1..=10) } schema T { items: [Item] }", "T")
    assert v({"items": Shifty([None])}) == {"items": [{"qty": 5}]}
    assert Shifty.reads == 1


def test_code_run_by_a_check_cannot_swap_a_checked_member_issue7():
    payload = {}

    class Sly:
        # isinstance() asks for __class__, which runs this: the member it rewrites was
        # already checked, and the result keeps the checked value.
        @property
        def __class__(self):
            payload["n"] = "not a number"
            return dt.datetime

        def isoformat(self):
            return "2024-01-01T00:00:00Z"

    sly = Sly()
    payload.update({"n": 7, "s": sly})
    assert validator("schema T { n: u8 s: String }", "T")(payload) == {"n": 7, "s": sly}


def test_validator_reentered_from_isoformat_issue3():
    v = validator("schema T { at: DateTime }", "T")
    seen = []

    class Reentrant(dt.datetime):
        def isoformat(self, *a):
            seen.append(v({"at": "2024-01-01T00:00:00Z"}))
            return "2024-01-01T00:00:00+00:00"

    got = v({"at": Reentrant(2024, 1, 1, tzinfo=dt.timezone.utc)})
    assert seen and isinstance(got["at"], Reentrant)


def test_dict_mutated_while_keys_are_walked_issue3():
    class Evil:
        def __init__(self, target):
            self.target = target

        def __str__(self):
            self.target["added"] = 1
            return "evil"

        def __hash__(self):
            return 1

    payload = {"a": 1}
    payload[Evil(payload)] = 2
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        validator("schema T { a: u8 }", "T")(payload)


def test_map_mutated_by_a_members_check_issue14():
    class Growing(dt.date):
        def isoformat(self):
            payload["m"]["late"] = "2024-01-01"
            return super().isoformat()

    payload = {"m": {"a": Growing(2024, 1, 1)}}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        validator("schema T { m: [String: Date] }", "T")(payload)


@pytest.mark.parametrize("as_text", [False, True], ids=["python", "json"])
def test_json_nested_to_the_depth_limit_issue14(as_text):
    v = validator("schema T { j: Json }", "T")
    inner = []
    for _ in range(63):
        inner = [inner]

    def run(payload):
        return v(json.dumps(payload) if as_text else payload)

    assert run({"j": inner}) == {"j": inner}
    # One more level: the walk reports it where it is, the JSON parser for the document.
    path = "<root>" if as_text else "j" + "[0]" * 64
    assert issues_of(lambda: run({"j": [inner]})) == [Err("depth_exceeded", path, DEPTH)]


def test_payload_emptied_by_isoformat_is_checked_as_the_walk_reads_it():
    victims = []

    class Mutating(dt.datetime):
        def isoformat(self, *a):
            victims[0].clear()
            victims[1].clear()
            return "2024-01-01T00:00:00Z"

    items = [Mutating(2024, 1, 1), Mutating(2024, 1, 2), "2024-01-01T00:00:00Z"]
    payload = {"at": items, "more": {"k": 1}}
    victims.extend([items, payload["more"]])
    v = validator("schema M { k: u8 } schema T { at: [DateTime] more: M }", "T")
    # Each value is checked as it stands when the walk reads it: the first element before
    # its isoformat() emptied both containers, the other two no longer there (skipped, and
    # only the result they would belong to fails), and `more` already empty.
    assert issues_of(lambda: v(payload)) == [Err("required", "more.k", "required")]
    assert payload == {"at": [], "more": {}}


def lying(items, length):
    """A list subclass whose __len__ claims `length` elements, fewer than it holds."""
    return type("LyingLen", (list,), {"__len__": lambda self: length})(items)


def uncountable(base, items, again=False):
    """A `base` subclass whose __len__ raises LookupError, and raises again unless `again`."""
    calls = []

    def length(self):
        calls.append(1)
        if len(calls) > 1 and again:
            return base.__len__(self)
        raise LookupError("no length today")

    return type("NoLength", (base,), {"__len__": length})(items)


LENGTHS = """
    schema I { xs: [u8] }
    schema T { v: [u8] w: optional [[u8]] i: optional [I] n: optional u8 }
"""
MESSAGES = {
    LookupError: "^no length today$",
    RuntimeError: "^a sequence changed while it was validated$",
}
OUT_OF_RANGE = Err("out_of_range", "n", "300 is outside the range of u8 (0..=255)")


@pytest.mark.parametrize(
    "payload, expected",
    [
        # The walk checks as many elements as __len__ claims and builds a new list of exactly
        # those: the unchecked 1000, "x" and None never reach the result.
        pytest.param({"v": lying([7, 1000, "x", None], 0)}, {"v": []}, id="claims-0-issue9"),
        pytest.param({"v": lying([7, 1000, "x", None], 1)}, {"v": [7]}, id="claims-1-issue9"),
        # A raising __len__ reads as 0, but a result holding [] would pass the caller's
        # elements off as checked: the call fails with the error a second __len__ gives.
        pytest.param({"v": uncountable(list, [1, 2])}, LookupError, id="list-issue12"),
        pytest.param({"v": uncountable(tuple, (1, 2))}, LookupError, id="tuple-issue12"),
        pytest.param({"v": uncountable(list, ["x", 300])}, LookupError, id="invalid-items"),
        pytest.param({"v": uncountable(list, [1], True)}, RuntimeError, id="list-len-again"),
        pytest.param({"v": uncountable(tuple, (1,), True)}, RuntimeError, id="tuple-len-again"),
        pytest.param({"v": [], "w": [[1], uncountable(list, [2])]}, LookupError, id="inner-list"),
        pytest.param({"v": [], "w": uncountable(tuple, ([1],))}, LookupError, id="outer-tuple"),
        pytest.param({"v": [], "i": [{"xs": uncountable(tuple, ())}]}, LookupError, id="in-object"),
        pytest.param({"n": 300, "v": uncountable(list, [1])}, [OUT_OF_RANGE], id="issue-before"),
        pytest.param({"v": uncountable(list, [1]), "n": 300}, [OUT_OF_RANGE], id="issue-after"),
    ],
)
def test_an_array_is_as_long_as_its_first_len_says(payload, expected):
    v = validator(LENGTHS, "T")
    if isinstance(expected, dict):
        assert v(payload) == expected
    elif isinstance(expected, list):
        assert issues_of(lambda: v(payload)) == expected
    else:
        with pytest.raises(expected, match=MESSAGES[expected]):
            v(payload)


@pytest.mark.parametrize(
    "limits, rule, text, expected",
    [
        pytest.param({"max_string_bytes": 4}, "", "abcdefgh\ud800",
                     Err("size_exceeded", "s", "11 bytes exceeds the limit of 4"), id="limit"),
        pytest.param({}, "@max_len(3)", "abcdefgh\ud800",
                     Err("too_long", "s", "length 9 exceeds the maximum of 3"), id="max-len"),
        pytest.param({}, "@min_len(3)", "\ud800",
                     Err("too_short", "s", "length 1 is below the minimum of 3"), id="min-len"),
        pytest.param({}, "@format(ipv4)", "1.2.3.4\ud800",
                     Err("invalid_format", "s", "not a valid ipv4"), id="format"),
    ],
)
def test_lone_surrogate_does_not_bypass_size_checks_issue9(limits, rule, text, expected):
    # Measured with the surrogate as one U+FFFD: three bytes, one character.
    v = validator(f"schema T {{ s: String {rule} }}", "T", **limits)
    assert issues_of(lambda: v({"s": text})) == [expected]


# Resources


def test_refcounts_are_unchanged_by_runs():
    v = validator("schema T { a: [u8] at: Date s: String m: [String: u8] j: Json }", "T")
    key = "k" * 40  # not interned, so its count is the payload's alone
    good = {"a": [1, 2], "at": dt.date(2024, 1, 1), "s": "x", "m": {key: 1}, "j": {key: [key]}}
    bad = {"a": [1, "x"], "at": "nope", "s": 3, "extra": object(), "m": {1: key}, "j": {2: {3}}}
    held = (good, good["a"], good["at"], good["m"], good["j"], key, bad, bad["a"], bad["j"])
    before = [sys.getrefcount(o) for o in held]
    for _ in range(100):
        v(good)
        with pytest.raises(ValidationError):
            v(bad)
        v(b'{"a": [1], "at": "2024-01-01", "s": "x", "m": {"k": 1}, "j": {"k": [1.5]}}')
    after = [sys.getrefcount(o) for o in held]
    assert before == after


@pytest.mark.subprocess
@pytest.mark.memory
def test_memory_stays_flat_over_many_runs():
    out = run_isolated(
        """
        import resource
        from vorn_schema import _vorn, ValidationError
        v = _vorn.Schema.parse(
            "schema I { id: u32 tags: [String] } schema T { items: [I] at: DateTime? }"
        ).validator("T")
        good = {"items": [{"id": 1, "tags": ["a", "b"]}] * 5, "at": "2024-01-01T00:00:00Z"}
        bad = {"items": [{"id": -1, "tags": [1]}] * 5, "at": "x", "zz": 1}
        text = b'{"items": [{"id": 1, "tags": ["a"]}], "at": null}'
        def loop(n):
            for _ in range(n):
                v(good); v(text)
                try:
                    v(bad)
                except ValidationError as e:
                    e.args[0].list()
        loop(20_000)
        first = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        loop(100_000)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - first)
        """,
        timeout=120,
    )
    assert int(out) < 2048  # KiB


@pytest.mark.subprocess
def test_long_objects_in_any_order_cost_linear_time_issue7():
    # 100,000 fields, members shuffled, escaped and not: scans per field took minutes.
    out = run_isolated(
        """
        import json, random
        from vorn_schema import Schema, Limits, ValidationError
        names = [f"k{i}" for i in range(100_000)]
        schema = Schema.parse("schema T { " + " ".join(f"{k}: u8" for k in names) + " }")
        v = schema.validator("T", Limits(max_object_keys=len(names)))
        random.Random(7).shuffle(names)
        payload = {k: 1 for k in names}
        text = json.dumps(payload)
        escaped = text.replace('"k', '"\\\\u006b')
        assert v(payload) == v(text.encode()) == v(escaped.encode())
        del payload[names[0]]
        payload["stray"] = 2
        try:
            v(payload)
        except ValidationError as e:
            print(*(i.code for i in e.issues.list()))
        """,
        timeout=60,
    )
    assert out.split() == ["required", "unknown_field"]


@pytest.mark.subprocess
def test_every_allocation_failure_raises_cleanly_issue9():
    # Fails the interpreter's allocations from the n-th on, for every n an operation reaches:
    # each C-API error path must end in MemoryError (or the operation's own error), never in
    # a crash or a SystemError, and the module must work normally afterwards.
    pytest.importorskip("_testcapi")
    out = run_isolated(
        """
        import _testcapi
        from vorn_schema import Limits, ParseError, Schema, ValidationError
        TEXT = "schema I { id: u8 at: optional DateTime? tags: [String] } union U @tag(k) { i: I }"
        S = Schema.parse(TEXT)
        V = S.validator("U")
        GOOD = {"k": "i", "id": 1, "at": "2024-01-31T00:00:00Z", "tags": ["a"]}
        def issues(payload):
            try:
                V(payload)
            except ValidationError as e:
                found = e.args[0]
                return [repr(i) for i in found.list()], str(e), found.first_path()
        OPS = [
            lambda: Schema.parse(TEXT).type_names(),
            lambda: Schema.parse("schema {"),
            lambda: repr(S.validator("U", Limits(3))),
            lambda: Limits(1, 2, 3, 4).max_object_keys,
            lambda: V(GOOD),
            lambda: V(b'{"k": "i", "id": 1, "at": null, "tags": ["\\\\u00e9"]}'),
            lambda: issues(b'{"k": "i", "id": 300}'),
            lambda: V(b'{"k": '),
            lambda: issues({"k": "i", "id": 300, "tags": [1], "zz": 0}),
            lambda: S.describe(),
        ]
        def outcome(op):
            try:
                return repr(op())
            except (ValidationError, ParseError) as e:
                return type(e).__name__
        for i, op in enumerate(OPS):
            expected = outcome(op)
            for start in range(120):
                _testcapi.set_nomemory(start, 0)
                try:
                    op()
                except (MemoryError, ValidationError, ParseError):
                    pass
                except BaseException as e:
                    _testcapi.remove_mem_hooks()
                    print(i, start, type(e).__name__, e)
                finally:
                    _testcapi.remove_mem_hooks()
            if outcome(op) != expected:
                print(i, "changed", outcome(op), expected)
        print("done")
        """,
        timeout=120,
    )
    assert out.splitlines() == ["done"]


@pytest.mark.subprocess
def test_a_long_array_of_objects_parses_in_linear_time_issue12():
    # Each closing container appended its members to the document's storage, which grew to
    # the exact size: 80,000 one-member objects took 0.59 s and 160,000 took 2.4 s.
    out = run_isolated(
        """
        import time
        from vorn_schema import _vorn
        schema = _vorn.Schema.parse("schema I { a: u8 } schema T { items: [I] }")
        v = schema.validator("T", _vorn.Limits(max_items=500_000))
        doc = b'{"items": [' + b",".join([b'{"a": 1}'] * 500_000) + b"]}"
        start = time.perf_counter()
        v(doc)
        print(time.perf_counter() - start)
        """,
        timeout=120,
    )
    assert float(out) < 5.0


class ShrinkingLength(list):
    """Says 3 to the first len() and 1 to every later one."""

    def __init__(self, items):
        super().__init__(items)
        self.calls = 0

    def __len__(self):
        self.calls += 1
        return 3 if self.calls == 1 else 1


def test_item_rules_count_what_the_walk_counted_issue12():
    # A second len() for the rule let `@max_items(2)` pass the three elements the walk built.
    v = validator("schema T { a: [u8] @max_items(2) }", "T")
    payload = ShrinkingLength([1, 2, 3])
    assert issues_of(lambda: v({"a": payload})) == [
        Err("too_many_items", "a", "3 items exceeds the maximum of 2")
    ]
    assert payload.calls == 1
