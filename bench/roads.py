"""Each road of vorn_schema against peers that also return plain dicts, in one run.

    python bench/roads.py [--quick]

bench.py compares against models (pydantic, msgspec Structs). This script compares against
msgspec with TypedDict targets, which return dicts as vorn_schema does, and against untyped
decoding of the same bytes (msgspec.json.decode, json.loads): the floor for building the
result alone. The union rows validate a list of 30 tagged-union objects. Prints microseconds per call (best of several repeats) and ratios to vorn.
"""

import datetime as dt
import json
import sys
import timeit
from typing import Annotated, Literal, Optional, TypedDict

from bench import SCHEMA, best_us, make_order, rejecting
from vorn_schema import ValidationError, _vorn


def vorn_call():
    v = _vorn.Schema.parse(SCHEMA).validator("Order")

    call = rejecting(v, ValidationError)

    return call


def msgspec_typeddict():
    import msgspec
    from msgspec import Meta

    # NotRequired needs 3.11; the fields a payload may omit are not exercised here anyway.
    class Item(TypedDict):
        sku: Annotated[str, Meta(min_length=1, max_length=32)]
        qty: Annotated[int, Meta(ge=1, le=1000)]
        price: float
        note: Optional[str]

    class Order(TypedDict):
        id: Annotated[int, Meta(ge=0)]
        customer: Annotated[str, Meta(max_length=64)]
        status: Literal["new", "paid", "shipped"]
        created: dt.datetime
        items: Annotated[list[Item], Meta(max_length=100)]
        tags: list[str]
        gift: bool

    decoder = msgspec.json.Decoder(Order)

    py = rejecting(lambda payload: msgspec.convert(payload, Order), msgspec.ValidationError)

    js = rejecting(decoder.decode, msgspec.ValidationError)

    return py, js, msgspec.json.decode


UNION_SCHEMA = """
schema Circle { r: f64 }
schema Square { side: f64 }
schema Poly { points: [f64] }
union Shape @tag(kind) { circle: Circle square: Square poly: Poly }
schema Drawing { name: String shapes: [Shape] }
"""


def make_drawing(n_shapes=30):
    kinds = [
        {"kind": "circle", "r": 1.5},
        {"kind": "square", "side": 2.0},
        {"kind": "poly", "points": [1.0, 2.0]},
    ]
    return {"name": "d", "shapes": [dict(kinds[i % 3]) for i in range(n_shapes)]}


def main():
    quick = "--quick" in sys.argv
    number, repeat = (500, 3) if quick else (3000, 7)
    vorn = vorn_call()
    td_py, td_js, untyped = msgspec_typeddict()
    rows = []
    for label, bad in (("accept", False), ("reject", True)):
        order = make_order(bad=bad)
        data = json.dumps(order).encode()
        rows.append((f"python {label}", order, {"vorn": vorn, "msgspec TypedDict": td_py}))
        rows.append(
            (
                f"json {label}",
                data,
                {
                    "vorn": vorn,
                    "msgspec TypedDict": td_js,
                    "msgspec untyped": untyped,
                    "json.loads": json.loads,
                },
            )
        )
    drawing_validator = _vorn.Schema.parse(UNION_SCHEMA).validator("Drawing")
    drawing = make_drawing()
    rows.append(("union python", drawing, {"vorn": drawing_validator}))
    rows.append(
        (
            "union json",
            json.dumps(drawing).encode(),
            {"vorn": drawing_validator, "msgspec untyped": untyped, "json.loads": json.loads},
        )
    )
    for label, payload, runners in rows:
        results = {name: best_us(fn, payload, number, repeat) for name, fn in runners.items()}
        base = results["vorn"]
        cells = "  ".join(f"{name} {us:6.2f} us ({us / base:4.2f}x)" for name, us in results.items())
        print(f"{label:14} {cells}")


if __name__ == "__main__":
    main()
