"""atheris target: generated Python payloads through the extension's Python road.

A fixed schema that uses every construct; the fuzzer's bytes drive a generator of payloads
built from plain values, subclasses of the built-in types, dates, and objects that misbehave
(methods that raise, mutate the payload or answer nonsense). A run ends in a result, in
ValidationError, or in the error a misbehaving object raised (Boom), or the dict-mutation
RuntimeError; nothing else. A payload that JSON can carry must give the same outcome on the
JSON road (under the default limits: the JSON parser applies them to the whole text first).
"""

import datetime as dt
import enum
import json
import sys

import atheris

with atheris.instrument_imports():
    from vorn_schema import Limits, Schema, ValidationError

SCHEMA = """
schema Item { id: u64 @range(1..=100) name: String @min_len(1) @max_len(8)
              at: optional DateTime? day: optional Date tags: [String?] @max_items(4)
              mail: optional String @format(email) host: optional String @format(hostname)
              v6: optional String @format(ipv6) id4: optional String @format(uuid)
              v4: optional String @format(ipv4)
              color: optional enum { red, green } score: optional f64 small: optional i8 }
schema Circle { r: f64 @range(-5..=5) }
schema Wide { a: optional i64 b: optional u32 c: optional i16 d: optional u8 e: optional bool
              grid: optional [[i32?]] @min_items(1) odd: optional String @min_items(2) }
schema Node { kids: [Node] item: optional Item shape: optional Shape wide: optional Wide?
              ring: optional Circle? labels: optional [String: u8?] @max_items(3)
              meta: optional Json? roles: optional [enum { red, green }: [Node]] }
union Shape @tag(kind) { circle: Circle node: Node wide: Wide }
"""
_schema = Schema.parse(SCHEMA)
ROOTS = _schema.type_names()
VALIDATORS = [
    {name: _schema.validator(name, limits) for name in ROOTS}
    for limits in (None, Limits(3, 2, 8, 3))
]
KEYS = ["kids", "item", "shape", "wide", "ring", "id", "name", "at", "day", "tags", "mail",
        "host", "v6", "id4", "v4", "color", "score", "small", "r", "kind", "circle", "node",
        "a", "b", "c", "d", "e", "grid", "odd", "labels", "meta", "roles", "red", "zz"]
TEXTS = ["", "x", "red", "green", "circle", "node", "wide", "2024-01-31", "2024-02-29T12:00:00Z",
         "2024-13-01", "a@b.co", "ex.com", "::1", "1.2.3.4",
         "123e4567-e89b-12d3-a456-426614174000", "caf\u00e9", "\ud800", "\x00", "\U0001f600"]
INTS = [0, 1, -1, 5, 100, 101, 127, 128, -129, 255, 256, 2**31, 2**32, 2**63 - 1, 2**63,
        2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**30]
FLOATS = [0.0, -0.0, 1.5, -5.0, 5.0, 1e308, float("inf"), float("-inf"), float("nan"), 2.0**53]


class Boom(Exception):
    pass


class Str(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


class Dict(dict):
    def __getitem__(self, key):
        raise Boom("__getitem__")


class List(list):
    def __len__(self):
        return 10**6


class Tuple(tuple):
    pass


class Color(enum.IntEnum):
    ONE = 1


class BadIndex:
    def __index__(self):
        raise Boom("__index__")


class BadKey:
    def __str__(self):
        raise Boom("__str__")

    def __hash__(self):
        return 1


class MutatingKey:
    """A key whose str() empties the dict being walked."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target.clear()
        return "k"

    def __hash__(self):
        return 2


class BadDate(dt.date):
    def isoformat(self):
        raise Boom("isoformat")


class OddDate(dt.date):
    def isoformat(self):
        return 20240131


class LyingDateTime(dt.datetime):
    def isoformat(self, *args, **kwargs):
        return "2024-01-31T00:00:00Z"


class Gen:
    """Builds one payload from the fuzzer's bytes; `plain` stays true while JSON can carry it."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.plain = True

    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def value(self, depth):
        if self.fdp.remaining_bytes() == 0:
            return None
        choice = self.fdp.ConsumeIntInRange(0, 24 if depth < 8 else 9)
        if choice == 0:
            return None
        if choice == 1:
            return self.fdp.ConsumeBool()
        if choice == 2:
            return self.pick(INTS)
        if choice == 3:
            f = self.pick(FLOATS)
            if f != f or f in (float("inf"), float("-inf")):
                self.plain = False
            return f
        if choice == 4:
            t = self.pick(TEXTS)
            if t == "\ud800":
                self.plain = False
            return t
        if choice == 5:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, 12))
        if choice == 6:
            return self.fdp.ConsumeIntInRange(-(2**70), 2**70)
        if choice == 7:
            return self.fdp.ConsumeRegularFloat()
        if choice == 8:
            self.plain = False
            return self.pick([Str("red"), Int(7), Float(1.5), Color.ONE, b"x", {1, 2}, object()])
        if choice == 9:
            self.plain = False
            return self.pick([dt.date(2024, 1, 31), dt.datetime(2024, 1, 31, 12, 0),
                              dt.datetime(2024, 1, 31, tzinfo=dt.timezone.utc),
                              BadDate(2024, 1, 31), OddDate(2024, 1, 31),
                              LyingDateTime(2024, 1, 1), BadIndex()])
        if choice >= 18:
            # Tuples come back as lists, and shared containers are charged to the repeat
            # budget on the Python road only; the rest JSON cannot carry at all.
            self.plain = False
        if choice <= 13:
            return self.obj(depth, dict)
        if choice <= 17:
            return self.array(depth, list)
        if choice == 18:
            return self.array(depth, Tuple)
        if choice == 19:
            return self.array(depth, List)
        if choice == 20:
            return self.obj(depth, Dict)
        if choice == 21:
            d = self.obj(depth, dict)
            d[BadKey()] = 1
            return d
        if choice == 22:
            d = self.obj(depth, dict)
            d[MutatingKey(d)] = 1
            return d
        if choice == 23:
            shared = self.obj(depth, dict)
            return {"kids": [shared, shared], "item": shared, "kind": "node"}
        d = {"kids": []}
        d["kids"].append(d)  # a cycle
        return d

    def obj(self, depth, cls):
        d = cls()
        for _ in range(self.fdp.ConsumeIntInRange(0, 6)):
            key = self.pick(KEYS) if self.fdp.ConsumeBool() else self.fdp.ConsumeUnicodeNoSurrogates(3)
            d[key] = self.value(depth + 1)
        return d

    def array(self, depth, cls):
        return cls(self.value(depth + 1) for _ in range(self.fdp.ConsumeIntInRange(0, 5)))


def outcome(call):
    try:
        return ("ok", call())
    except ValidationError as e:
        return ("invalid", [(i.code, i.path, i.message) for i in e.args[0].list()])


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    tight = fdp.ConsumeBool()
    validators = VALIDATORS[tight]
    v = validators[ROOTS[fdp.ConsumeIntInRange(0, len(ROOTS) - 1)]]
    gen = Gen(fdp)
    payload = gen.value(0)
    if isinstance(payload, (str, bytes)):
        payload = [payload]  # text at the root is JSON text: the other road
    # The JSON parser enforces the limits on the whole text before any check, so the roads
    # are compared under the defaults only, which these small payloads never reach.
    text = json.dumps(payload).encode() if gen.plain and not tight else None
    try:
        got = outcome(lambda: v(payload))
    except Boom:
        return
    except RuntimeError as e:
        assert "changed" in str(e), e
        return
    if text is not None:
        assert outcome(lambda: v(text)) == got, (text[:2000], repr(got)[:2000])


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
