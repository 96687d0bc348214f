"""Both roads agree: a payload that JSON can represent gives the same issues, in the same
order, and an equal result (same types, same values) whether it arrives as Python data or
as JSON text."""

import json
import string
from datetime import timezone

from hypothesis import given
from hypothesis import strategies as st

from conftest import outcome, validator

SCHEMA = """
schema Item {
  id: u32
  name: String @min_len(1) @max_len(8)
  price: f64
  qty: i8 @range(-5..=100)
  tags: optional [String] @max_items(2)
}
schema Login { at: DateTime user: String @format(email) }
schema Logout { at: DateTime reason: optional String? }
union Event @tag(kind) { login: Login logout: Logout "log out": Logout }
schema User {
  id: i64
  small: u8
  big: u64
  name: String @max_len(5)
  host: optional String? @format(hostname)
  uid: optional String @format(uuid)
  ip: optional String @format(ipv6)
  role: enum { admin, user, "odd one" }
  born: Date
  seen: optional DateTime?
  items: [Item] @min_items(1) @max_items(3)
  maybe: [Item?]
  grid: optional [[i16?]]
  events: optional [Event]
  last: Event?
}
"""

V = validator(SCHEMA, "User")

# Text that JSON can carry: no lone surrogates, which a str cannot encode as UTF-8.
TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=8)
FLOATS = st.floats(allow_nan=False, allow_infinity=False)
JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | FLOATS | TEXT,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(TEXT, inner, max_size=3),
    max_leaves=8,
)


def edges(*values):
    return st.sampled_from(values)


# One draw per test case: a clean payload holds only valid values, so that about half the
# payloads pass and the output builders are compared too; the others go slightly wrong.
CLEAN = st.shared(st.booleans(), key="clean")


def ints(lo, hi):
    return (
        st.integers(lo, hi) | edges(lo, hi),
        edges(lo - 1, hi + 1, 2**63, 2**64, -(2**63) - 1, 1.0, True, str(lo)),
    )


DATE = (
    st.dates().map(lambda d: d.isoformat()) | edges("2024-02-29"),
    edges("2023-02-29", "2024-13-01", "2024-1-01", "0000-01-01", "2024-01-31T00:00:00Z"),
)
DATETIME = (
    st.datetimes(timezones=st.just(timezone.utc)).map(lambda d: d.isoformat())
    | edges("2024-01-31T12:00:00Z", "2024-01-31T12:00:00.5+01:00", "2024-01-31T12:00:00.1234567z"),
    edges("2024-01-31T12:00:00", "2024-01-31T24:00:00Z", "2016-12-31T23:59:60Z", "2024-01-31"),
)


@st.composite
def obj(draw, fields, tag=None):
    """An object of the fields, each given as (valid, wrong) strategies. Unless the case is
    clean, a member is now and then absent, null, wrong or anything JSON holds, and an
    undeclared member may join. The member order changes at times."""
    clean = draw(CLEAN)
    out = {}
    if tag is not None:
        out["kind"] = draw(tag)
    for name, (valid, wrong) in fields.items():
        # Hypothesis favours the ends of a range, so the rare cases sit in its middle.
        roll = 0 if clean else draw(st.integers(0, 149)) - 70
        if roll == 1:
            continue
        out[name] = None if roll == 2 else draw(JSON) if roll == 3 else draw(
            wrong if roll in (4, 5) else valid
        )
    if not clean and draw(st.integers(0, 19)) == 10:
        out[draw(edges("extra", "z", "n\u00e9e", ""))] = draw(JSON)
    if draw(st.booleans()):
        out = dict(draw(st.permutations(list(out.items()))))
    return out


ITEM = obj(
    {
        "id": ints(0, 2**32 - 1),
        "name": (
            st.text(string.ascii_letters + "\u00e9\U0001f600", min_size=1, max_size=8),
            edges("", "x" * 9, "\U0001f600" * 9),
        ),
        "price": (FLOATS | st.integers(-(2**64), 2**64), edges("1", True, 2**64, [1.5])),
        "qty": ints(-5, 100),
        "tags": (st.lists(TEXT, max_size=2), st.lists(TEXT, min_size=3, max_size=4)),
    }
)
LOGIN = {
    "at": DATETIME,
    "user": (edges("a@b.co", "first.last@example.org"), edges("x", "a@b", "a b@c.d", 1)),
}
LOGOUT = {"at": DATETIME, "reason": (TEXT, edges(1, [], {}))}
EVENT = (
    obj(LOGIN, tag=st.just("login"))
    | obj(LOGOUT, tag=edges("logout", "log out"))
    | CLEAN.flatmap(
        lambda clean: obj(LOGOUT, tag=st.just("logout"))
        if clean
        else obj(LOGIN, tag=edges("nope", "", 1, None, "LOGIN")) | obj(LOGOUT)
    )
)
USER = obj(
    {
        "id": ints(-(2**63), 2**63 - 1),
        "small": ints(0, 255),
        "big": ints(0, 2**64 - 1),
        "name": (TEXT.filter(lambda t: len(t) <= 5), edges("abcdef", "\u00e9" * 6)),
        "host": (
            edges("example.com", "xn--bcher-kva.de"),
            edges("a..b", "-x.com", "a" * 64 + ".com"),
        ),
        "uid": (st.uuids().map(str), edges("not-a-uuid", "00000000-0000-0000-0000-00000000000g")),
        "ip": (edges("::1", "2001:db8::", "::ffff:1.2.3.4"), edges("1::2::3", ":::", "1.2.3.4")),
        "role": (edges("admin", "user", "odd one"), edges("Admin", "", "admin ")),
        "born": DATE,
        "seen": DATETIME,
        "items": (st.lists(ITEM, min_size=1, max_size=3), st.lists(ITEM, max_size=4)),
        "maybe": (st.lists(st.none() | ITEM, max_size=3), st.lists(st.none() | JSON, max_size=2)),
        "grid": (
            st.lists(st.lists(st.none() | ints(-(2**15), 2**15 - 1)[0], max_size=3), max_size=3),
            st.lists(st.lists(ints(-(2**15), 2**15 - 1)[1], max_size=2), max_size=2),
        ),
        "events": (st.lists(EVENT, max_size=3), st.lists(JSON, max_size=2)),
        "last": (EVENT, EVENT.map(lambda e: {k: v for k, v in e.items() if k != "kind"})),
    }
)


@given(USER)
def test_rich_payloads_agree(payload):
    text = json.dumps(payload, allow_nan=False).encode()
    assert outcome(V, payload) == outcome(V, text)


@given(JSON.filter(lambda p: not isinstance(p, str)))
def test_arbitrary_json_agrees(payload):
    # A str payload is always JSON text, so only the other roots reach the Python road.
    text = json.dumps(payload, allow_nan=False).encode()
    assert outcome(V, payload) == outcome(V, text)
