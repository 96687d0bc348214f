"""Payloads built to hurt: cycles, shared containers, code that mutates the payload."""

import datetime as dt
import subprocess
import sys
import textwrap

import pytest

from conftest import Err, issues_of, validator
from vorn_schema import ValidationError

TREE = "schema N { next: N? kids: [N] }"


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


def test_self_containing_dict_reports_depth_at_once_issue3():
    d = {}
    d["next"] = d
    d["kids"] = [d]
    depth = "nesting deeper than the limit of 64"
    assert issues_of(lambda: validator(TREE, "N")(d)) == [
        Err("depth_exceeded", "next", depth),
        Err("depth_exceeded", "kids[0]", depth),
    ]


def test_same_object_under_another_type_is_no_cycle():
    shared = {"next": None, "kids": []}
    v = validator("schema N { next: N? kids: [N] } schema Pair { a: N b: N }", "Pair")
    assert v({"a": shared, "b": shared}) == {"a": shared, "b": shared}


def test_self_containing_list_is_read_level_by_level():
    lst = []
    lst.append(lst)
    v = validator("schema T { x: [[[u8]]] }", "T")
    # each level is a different array type, so this is no cycle: the walk ends at the u8
    assert issues_of(lambda: v({"x": lst})) == [
        Err("type_mismatch", "x[0][0][0]", "expected u8, found array")
    ]


@pytest.mark.parametrize("copies, groups", [(10_000, 1), (50, 300)])
def test_ordinary_sharing_passes_issue3(copies, groups):
    item = {"a": 1, "b": 2, "c": 3}
    group = [dict(item) for _ in range(copies)] if groups > 1 else [item] * copies
    v = validator("schema D { a: u8 b: u8 c: u8 } schema T { g: [[D]] }", "T")
    got = v({"g": [group] * groups})
    assert len(got["g"]) == groups and len(got["g"][0]) == copies


@pytest.mark.subprocess
@pytest.mark.parametrize("leaf", ["1", "'x'"])
def test_alias_bomb_is_bounded_issue3(leaf):
    out = run_isolated(
        f"""
        import resource, time
        from vorn_schema import _vorn, ValidationError
        v = _vorn.Schema.parse("schema T {{ x: [[[[u8]]]] }}").validator("T")
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


def test_validator_reentered_from_isoformat_issue3():
    v = validator("schema T { at: DateTime }", "T")
    seen = []

    class Reentrant(dt.datetime):
        def isoformat(self, *a):
            seen.append(v({"at": "2024-01-01T00:00:00Z"}))
            return "2024-01-01T00:00:00+00:00"

    got = v({"at": Reentrant(2024, 1, 1, tzinfo=dt.timezone.utc)})
    assert seen and isinstance(got["at"], Reentrant)


@pytest.mark.parametrize(
    "value",
    [
        pytest.param(type("BadClass", (), {"__class__": property(lambda s: 1 / 0)})(), id="class"),
        pytest.param(type("BadIndex", (int,), {"__index__": lambda s: 1 / 0})(3), id="index"),
        pytest.param(type("BadStr", (str,), {"__str__": lambda s: 1 / 0})("x"), id="str"),
        pytest.param(type("BadIso", (dt.date,), {"isoformat": lambda s: 1 / 0})(2024, 1, 1), id="iso"),
        pytest.param(type("BadLen", (list,), {"__len__": lambda s: 1 / 0})([1]), id="len"),
    ],
)
def test_misbehaving_values_never_raise_through_validation(value):
    v = validator("schema T { x: String y: optional [u8] }", "T")
    with pytest.raises(ValidationError):
        v({"x": value, "z": 1})


def test_refcounts_are_unchanged_by_runs():
    v = validator("schema T { a: [u8] at: Date s: String }", "T")
    good = {"a": [1, 2], "at": dt.date(2024, 1, 1), "s": "x"}
    bad = {"a": [1, "x"], "at": "nope", "s": 3, "extra": object()}
    before = [sys.getrefcount(o) for o in (good, good["a"], good["at"], bad, bad["a"])]
    for _ in range(100):
        v(good)
        with pytest.raises(ValidationError):
            v(bad)
        v(b'{"a": [1], "at": "2024-01-01", "s": "x"}')
    after = [sys.getrefcount(o) for o in (good, good["a"], good["at"], bad, bad["a"])]
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

    payload.update({"n": 7, "s": Sly()})
    got = validator("schema T { n: u8 s: String }", "T")(payload)
    assert got["n"] == 7


@pytest.mark.parametrize(
    "schema, field_rules",
    [
        pytest.param("DateTime", "", id="plain"),
        pytest.param("String", "@min_len(1) @max_len(40) @format(email)", id="rules-share-text"),
    ],
)
def test_isoformat_runs_once_per_value_issue7(schema, field_rules):
    class Counted(dt.datetime):
        calls = 0

        def isoformat(self, *args):
            Counted.calls += 1
            return super().isoformat(*args)

    v = validator(f"schema T {{ at: {schema} {field_rules} }}", "T")
    value = Counted(2024, 1, 1, tzinfo=dt.timezone.utc)
    try:
        v({"at": value})
    except ValidationError:
        pass
    assert Counted.calls == 1


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


class LyingLen(list):
    """A list subclass whose __len__ claims fewer elements than it holds, or raises."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if self.length is None:
            raise RuntimeError("no length")
        return self.length


@pytest.mark.parametrize(
    "length, expected",
    [
        pytest.param(0, {"tags": []}, id="zero"),
        pytest.param(1, {"tags": [7]}, id="one"),
        pytest.param(None, RuntimeError, id="raises"),
    ],
)
def test_output_holds_only_checked_elements_issue9(length, expected):
    # The walk checks as many elements as __len__ claims and builds a new list of exactly
    # those; the unchecked 1000, "x" and None never reach the result.
    v = validator("schema T { tags: [u8] }", "T")
    payload = {"tags": LyingLen([7, 1000, "x", None], length)}
    if expected is RuntimeError:
        with pytest.raises(RuntimeError, match="^no length$"):
            v(payload)
    else:
        got = v(payload)
        assert got == expected and got["tags"] is not payload["tags"]


def uncountable(base, items, again=False):
    """A `base` subclass whose __len__ raises LookupError, and raises again unless `again`."""
    calls = []

    def length(self):
        calls.append(1)
        if len(calls) > 1 and again:
            return base.__len__(self)
        raise LookupError("no length today")

    return type("NoLength", (base,), {"__len__": length})(items)


UNCOUNTED = """
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
        pytest.param({"v": uncountable(list, [1, 2])}, LookupError, id="list"),
        pytest.param({"v": uncountable(tuple, (1, 2))}, LookupError, id="tuple"),
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
def test_a_length_that_cannot_be_read_fails_the_call_issue12(payload, expected):
    # The walk reads a raising __len__ as 0; a result holding [] would report the caller's
    # elements, checked or not, as an empty array.
    v = validator(UNCOUNTED, "T")
    if isinstance(expected, list):
        assert issues_of(lambda: v(payload)) == expected
    else:
        with pytest.raises(expected, match=MESSAGES[expected]):
            v(payload)


@pytest.mark.parametrize(
    "limits, rule, text",
    [
        pytest.param({"max_string_bytes": 4}, "", "abcdefgh\ud800", id="string-limit"),
        pytest.param({}, "@max_len(3)", "abcdefgh\ud800", id="max-len"),
        pytest.param({}, "@min_len(3)", "\ud800", id="min-len"),
        pytest.param({}, "@format(ipv4)", "1.2.3.4\ud800", id="format"),
    ],
)
def test_lone_surrogate_does_not_bypass_size_checks_issue9(limits, rule, text):
    v = validator(f"schema T {{ s: String {rule} }}", "T", **limits)
    with pytest.raises(ValidationError):
        v({"s": text})


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
