"""Validators shared by threads: every result equals the one a single thread computes.

The run lasts VORN_THREAD_SECONDS seconds (default 2, so the suite stays quick; a soak run
sets 10 or more)."""

import datetime as dt
import os
import sys
import threading
import time

import pytest

from conftest import outcome
from vorn_schema import Limits, Schema

THREADS = 8
SECONDS = float(os.environ.get("VORN_THREAD_SECONDS", "2"))

SCHEMA = Schema.parse(
    """
    schema Item { id: u32 @range(1..=9) tags: [String] @max_items(2) at: optional DateTime? }
    schema Circle { r: f64 }
    schema Node { items: [Item] day: Date kids: optional [Node] shape: optional Shape }
    union Shape @tag(kind) { circle: Circle node: Node }
    """
)
NODE = SCHEMA.validator("Node")
SHAPE = SCHEMA.validator("Shape", Limits(max_depth=4))

CASES = [
    (NODE, {"items": [{"id": 1, "tags": ["a"]}], "day": dt.date(2024, 1, 31)}),
    (NODE, b'{"items": [{"id": 2, "tags": [], "at": "2024-01-31T12:00:00Z"}], "day": "2024-02-29"}'),
    (NODE, {"items": [{"id": 0, "tags": ["a", "b", "c"]}], "day": "2023-02-29", "zz": 1}),
    (NODE, '{"items": [{"id": 10, "tags": [1]}], "day": null, "kids": [{"items": []}]}'),
    (NODE, bytearray(b'{"items": [], "day": "2024-01-01", "shape": {"kind": "circle", "r": 1}}')),
    (NODE, b'{"items": [1,}'),
    (SHAPE, {"kind": "node", "items": [], "day": "2024-01-01", "kids": [{"items": [], "day": "x"}]}),
    (SHAPE, b'{"kind": "circle", "r": "1"}'),
    (SHAPE, b'{"kind": "node", "items": [], "day": "2024-01-01", "kids": [{"kids": [{"kids": []}]}]}'),
    (SHAPE, {"kind": "square"}),
]


def extras():
    return (SCHEMA.describe(), repr(NODE), repr(SHAPE), SCHEMA.type_names())


@pytest.fixture
def fast_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    yield
    sys.setswitchinterval(before)


def test_shared_validators_agree_with_one_thread(fast_switching):
    expected = [outcome(v, p) for v, p in CASES]
    assert {e[0] for e in expected} == {"ok", "parse", "issues"}
    expected_extras = extras()
    failures = []
    runs = [0] * THREADS
    deadline = time.monotonic() + SECONDS

    def work(n):
        try:
            i = n
            while time.monotonic() < deadline:
                v, payload = CASES[i % len(CASES)]
                got = outcome(v, payload)
                if got != expected[i % len(CASES)]:
                    failures.append((i % len(CASES), got))
                if i % 7 == 0 and extras() != expected_extras:
                    failures.append(("extras", extras()))
                i += 1
                runs[n] += 1
        except BaseException as e:  # a thread's error must fail the test, not vanish
            failures.append(("raised", repr(e)))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert all(runs), runs
