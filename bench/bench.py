"""Validation throughput against peers on the same payloads, measured in one run.

    python bench/bench.py [--quick]

Prints microseconds per call (best of several repeats) and each peer's time relative to
vorn_schema for the same work: a request payload given as Python data and as JSON bytes,
accepted and rejected.
"""

import datetime as dt
import json
import sys
import timeit
from typing import Annotated, Literal, Optional

from vorn_schema import ValidationError, _vorn

SCHEMA = """
schema Item {
  sku: String @min_len(1) @max_len(32)
  qty: u32 @range(1..=1000)
  price: f64
  note: optional String?
}
schema Order {
  id: u64
  customer: String @max_len(64)
  status: enum { new, paid, shipped }
  created: DateTime
  items: [Item] @max_items(100)
  tags: [String]
  gift: optional bool
}
"""


def rejecting(validate, error):
    """Calls validate(payload), treating a rejection as a normal outcome."""

    def call(payload):
        try:
            validate(payload)
        except error:
            pass

    return call


def make_order(n_items=20, bad=False):
    items = [
        {"sku": f"SKU-{i:05d}", "qty": i + 1, "price": 9.99 + i, "note": None if i % 3 else "fragile"}
        for i in range(n_items)
    ]
    if bad:
        items[7]["qty"] = 0
    return {
        "id": 123456789,
        "customer": "Ada Lovelace",
        "status": "paid",
        "created": "2024-05-01T10:00:00Z",
        "items": items,
        "tags": ["priority", "eu", "b2b"],
        "gift": False,
    }


def vorn_runners():
    v = _vorn.Schema.parse(SCHEMA).validator("Order")

    call = rejecting(v, ValidationError)

    return call, call


def pydantic_runners():
    import pydantic

    class Item(pydantic.BaseModel):
        model_config = pydantic.ConfigDict(extra="forbid")
        sku: Annotated[str, pydantic.Field(min_length=1, max_length=32)]
        qty: Annotated[int, pydantic.Field(ge=1, le=1000)]
        price: float
        note: Optional[str] = None

    class Order(pydantic.BaseModel):
        model_config = pydantic.ConfigDict(extra="forbid")
        id: Annotated[int, pydantic.Field(ge=0, lt=2**64)]
        customer: Annotated[str, pydantic.Field(max_length=64)]
        status: Literal["new", "paid", "shipped"]
        created: dt.datetime
        items: Annotated[list[Item], pydantic.Field(max_length=100)]
        tags: list[str]
        gift: bool = False

    py = rejecting(Order.model_validate, pydantic.ValidationError)

    js = rejecting(Order.model_validate_json, pydantic.ValidationError)

    return py, js


def msgspec_runners():
    import msgspec
    from msgspec import Meta

    class Item(msgspec.Struct, forbid_unknown_fields=True):
        sku: Annotated[str, Meta(min_length=1, max_length=32)]
        qty: Annotated[int, Meta(ge=1, le=1000)]
        price: float
        note: Optional[str] = None

    class Order(msgspec.Struct, forbid_unknown_fields=True):
        id: Annotated[int, Meta(ge=0)]
        customer: Annotated[str, Meta(max_length=64)]
        status: Literal["new", "paid", "shipped"]
        created: dt.datetime
        items: Annotated[list[Item], Meta(max_length=100)]
        tags: list[str]
        gift: bool = False

    decoder = msgspec.json.Decoder(Order)

    py = rejecting(lambda payload: msgspec.convert(payload, Order), msgspec.ValidationError)

    js = rejecting(decoder.decode, msgspec.ValidationError)

    return py, js


def best_us(fn, payload, number, repeat):
    times = timeit.repeat(lambda: fn(payload), number=number, repeat=repeat)
    return min(times) / number * 1e6


def main():
    quick = "--quick" in sys.argv
    number, repeat = (500, 3) if quick else (3000, 7)
    peers = {"vorn_schema": vorn_runners(), "pydantic": pydantic_runners()}
    try:
        peers["msgspec"] = msgspec_runners()
    except ImportError:
        pass
    cases = []
    for label, bad in (("accept", False), ("reject", True)):
        order = make_order(bad=bad)
        cases.append((f"python {label}", 0, order))
        cases.append((f"json {label}", 1, json.dumps(order).encode()))
    print(f"{'case':16}" + "".join(f"{name:>22}" for name in peers))
    for label, road, payload in cases:
        results = {name: best_us(runners[road], payload, number, repeat) for name, runners in peers.items()}
        base = results["vorn_schema"]
        row = "".join(f"{us:10.2f} us ({us / base:5.2f}x)" for us in results.values())
        print(f"{label:16}{row}")


if __name__ == "__main__":
    main()
