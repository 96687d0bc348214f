"""vorn_schema against its peers, every library measured in one process on the same payloads.

    python bench/compare.py [--quick] [--check] [--processes N] [--only WORD] [--json FILE] [--plot FILE.svg]
    python bench/compare.py --write-docs DIR      # the documents for bench/engine_bench

Install the peers with `pip install ".[bench]"`. Each workload is a vorn schema; the peers'
types (pydantic models and TypedDicts, msgspec Structs and TypedDicts, JSON Schema for jsonschema-rs and
fastjsonschema) are generated from its `Schema.describe()`, so every library checks the
same shape. Two roads: JSON bytes, and the same payload as Python data (pydantic
`validate_json` / `validate_python`, msgspec `Decoder.decode` / `convert`). The JSON Schema
validators only take Python data, so on the bytes road they get `json.loads` then validate.
The floors decode the bytes without any validation.

Libraries take turns sample by sample (round-robin within each workload, so machine noise
hits all of them alike). A sample repeats the call enough times to last about 2 ms, shorter
than a scheduler's time slice; the figure is the best sample, in microseconds per call (per
record or per key where the row says so): other processes on the machine only ever add
time, so the best sample is the least disturbed one. A ratio is the peer's time over vorn's, so above 1 means vorn is
faster; the orjson.loads column shows vorn's time over orjson's instead.

Where the peers fall short: msgspec TypedDicts cannot carry a tagged union (the table says
"cannot express"); msgspec checks integer bounds within int64 only, so u64's upper bound goes
unchecked there; the JSON Schema validators only check and build no result (no datetime). msgspec.convert has no reusable converter, so a union root
(no Struct to cache on) pays for resolving its type on every call.

--check proves first that every library accepts each valid payload and rejects each
invalid one, on both roads, and exits non-zero otherwise.
"""

import argparse
import datetime as dt
import gc
import importlib
import itertools
import json
import os
import platform
import random
import sys
import time
import types
import typing
from dataclasses import dataclass, field
from importlib import metadata

from vorn_schema import Limits, Schema, ValidationError, _vorn

# --- Workloads -------------------------------------------------------------------------------

ORDER = """
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
schema Batch { records: [Item] }
"""

EVENTS = """
schema PageView { user: u64 url: String @max_len(2048) at: DateTime }
schema Click { user: u64 target: String @max_len(64) x: u16 y: u16 }
schema Purchase { user: u64 sku: String @min_len(1) amount: f64 currency: enum { EUR, USD, GBP } }
schema Search { user: u64 query: String @max_len(256) results: u32 page: u16 }
schema Logout { user: u64 session: String reason: optional String? }
union Event @tag(type) {
  page_view: PageView
  click: Click
  purchase: Purchase
  search: Search
  logout: Logout
}
"""

DRAWING = """
schema Circle { r: f64 }
schema Square { side: f64 }
schema Poly { points: [f64] }
union Shape @tag(kind) { circle: Circle square: Square poly: Poly }
schema Drawing { name: String shapes: [Shape] }
"""

# The file-system tree of msgspec's published validation benchmark, one to one.
TREE = """
schema File {
  name: String @min_len(1)
  created_by: String
  created_at: DateTime
  updated_by: optional String?
  updated_at: optional DateTime?
  nbytes: u64
  permissions: enum { READ, WRITE, READ_WRITE }
}
schema Directory {
  name: String @min_len(1)
  created_by: String
  created_at: DateTime
  updated_by: optional String?
  updated_at: optional DateTime?
  contents: [Node]
}
union Node @tag(type) { file: File directory: Directory }
"""


def make_item(i):
    return {
        "sku": f"SKU-{i:05d}",
        "qty": i % 1000 + 1,
        "price": 9.99 + i,
        "note": None if i % 3 else "fragile",
    }


def make_order(errors=0):
    items = [make_item(i) for i in range(20)]
    for item in items[:errors]:
        item["qty"] = 0
    return {
        "id": 123456789,
        "customer": "Ada Lovelace",
        "status": "paid",
        "created": "2024-05-01T10:00:00Z",
        "items": items,
        "tags": ["priority", "eu", "b2b"],
        "gift": False,
    }


def make_batch(n, errors=0):
    records = [make_item(i) for i in range(n)]
    for record in records[:errors]:
        record["qty"] = 0
    return {"records": records}


def make_events():
    """Five single events of about 90 bytes each, one of every variant."""
    return [
        {
            "type": "page_view",
            "user": 81234567,
            "url": "https://example.org/docs/start",
            "at": "2024-05-01T10:00:00Z",
        },
        {"type": "click", "user": 81234567, "target": "button#checkout-now", "x": 1024, "y": 768},
        {
            "type": "purchase",
            "user": 81234567,
            "sku": "SKU-00042-XL-BLUE",
            "amount": 129.95,
            "currency": "EUR",
        },
        {"type": "search", "user": 81234567, "query": "waterproof jacket", "results": 137, "page": 2},
        {"type": "logout", "user": 81234567, "session": "3f2a9c1e7b5d40aa", "reason": "user request"},
    ]


def make_drawing(n_shapes=30, bad=False):
    kinds = [
        {"kind": "circle", "r": 1.5},
        {"kind": "square", "side": 2.0},
        {"kind": "poly", "points": [1.0, 2.0]},
    ]
    shapes = [dict(kinds[i % 3]) for i in range(n_shapes)]
    if bad:
        shapes[4] = {"kind": "hexagon", "side": 1.0}
    return {"name": "d", "shapes": shapes}


def make_tree(capacity, seed=42):
    """A random directory tree of `capacity` nodes in the shape of msgspec's benchmark: up to 30
    entries a directory, one in ten a directory, seven in ten updated after creation, aware
    date-times. Filled breadth first, so it stays shallow (under 20 levels at 10,000 nodes)."""
    rng = random.Random(seed)
    users = [f"user{i:03d}" for i in range(50)]
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"
    start = int(dt.datetime(2018, 1, 1, tzinfo=dt.timezone.utc).timestamp())
    end = int(dt.datetime(2023, 1, 1, tzinfo=dt.timezone.utc).timestamp())

    def moment(lo):
        return dt.datetime.fromtimestamp(rng.randint(lo, end), dt.timezone.utc)

    def node(is_dir):
        created = moment(start)
        data = {
            "type": "directory" if is_dir else "file",
            "name": "".join(rng.choices(letters, k=rng.randint(4, 30))),
            "created_by": rng.choice(users),
            "created_at": created.isoformat(),
        }
        if rng.random() < 0.7:
            data["updated_by"] = rng.choice(users)
            data["updated_at"] = moment(int(created.timestamp())).isoformat()
        if is_dir:
            data["contents"] = []
        else:
            data["nbytes"] = rng.randint(0, 1_000_000)
            data["permissions"] = rng.choice(["READ", "WRITE", "READ_WRITE"])
        return data

    root = node(True)
    count, queue = 1, [root]
    while count < capacity:
        parent = queue.pop(0) if queue else root
        for _ in range(min(rng.randint(0, 30), capacity - count)):
            child = node(rng.random() < 0.1)
            parent["contents"].append(child)
            count += 1
            if child["type"] == "directory":
                queue.append(child)
    return root


def break_tree(tree):
    bad = json.loads(json.dumps(tree))
    files = [n for n in bad["contents"] if n["type"] == "file"]
    files[-1]["permissions"] = "EXECUTE"
    return bad


def wide_schema(names):
    return "schema Wide {\n" + "\n".join(f"  {name}: u32" for name in names) + "\n}\n"


LABELS = "schema Labels { labels: [String: u8] }"
BLOB = "schema Blob { doc: Json }"


def make_labels(n, bad=False):
    """A map of n members; every key a new str each time the JSON road reads it."""
    labels = {f"label-{i:06d}": i % 256 for i in range(n)}
    if bad:
        labels[f"label-{n - 1:06d}"] = 256
    return {"labels": labels}


def key_names(n, length=5):
    width = len(str(n - 1))
    return [f"k{i:0{width}d}".ljust(length, "_") for i in range(n)]


def wide_payload(names, shuffle=False):
    order = list(names)
    if shuffle:
        random.Random(7).shuffle(order)
    return {name: i for i, name in enumerate(order)}


def escaped_json(payload):
    """JSON text whose every key is written with \\u escapes only."""
    members = (
        '"' + "".join(f"\\u{ord(c):04x}" for c in k) + f'":{json.dumps(v)}' for k, v in payload.items()
    )
    return ("{" + ",".join(members) + "}").encode()


@dataclass
class Workload:
    """One row: a schema, its root type, the valid payloads (each call of the row validates every
    one in turn) and invalid payloads, which --check makes every library reject."""

    section: str
    name: str
    schema: str
    root: str
    payloads: list
    bad: list = field(default_factory=list)
    roads: tuple = ("bytes", "python")
    rejected: bool = False  # the measured payloads are invalid ones
    per: int = 1  # reported times are divided by this (records, keys)
    unit: str = "call"
    limits: dict = field(default_factory=dict)
    vorn_only: bool = False  # peers are skipped (type building would dominate the run)
    series: str = ""  # rows of one growing series stop once a row costs over BUDGET seconds
    encode: typing.Callable = lambda payload: json.dumps(payload).encode()


def wide(name, names, shuffle=False, **options):
    """An object of one u32 member a name; times are per key."""
    payload = wide_payload(names, shuffle)
    return Workload(
        "adversarial", name, wide_schema(names), "Wide", [payload], per=len(names), unit="key", **options
    )


def workloads(quick):
    order, batch = make_order(), make_batch(1000)
    tree_sizes = (1_000, 10_000)
    key_sizes = (1_000, 10_000, 100_000) if quick else (1_000, 10_000, 100_000, 1_000_000)
    escaped_names = key_names(1000, 5)
    plain_names = [name.ljust(30, "_") for name in escaped_names]  # as long as the escaped text
    bad_event = {**make_events()[0], "type": "scroll"}
    rows = [
        Workload("main", "order (1 KB)", ORDER, "Order", [order], [make_order(1)]),
        Workload("main", "batch (1,000 records)", ORDER, "Batch", [batch], [make_batch(1000, 1)]),
        Workload("main", "union (5 events, 5 calls)", EVENTS, "Event", make_events(), [bad_event]),
        Workload(
            "main", "drawing (30 shapes)", DRAWING, "Drawing", [make_drawing()], [make_drawing(bad=True)]
        ),
    ]
    for n in tree_sizes:
        tree = make_tree(n)
        rows.append(Workload("main", f"tree ({n:,} nodes)", TREE, "Node", [tree], [break_tree(tree)]))
    for n in (10, 100, 1_000, 10_000):
        rows.append(
            Workload("scale", f"batch of {n:,}", ORDER, "Batch", [make_batch(n)], per=n, unit="record")
        )
    rows += [
        Workload("reject", "order, accept", ORDER, "Order", [order]),
        Workload("reject", "order, 1 error", ORDER, "Order", [make_order(1)], rejected=True),
        Workload("reject", "order, 20 errors", ORDER, "Order", [make_order(20)], rejected=True),
        Workload("reject", "batch, accept", ORDER, "Batch", [batch]),
        Workload("reject", "batch, 1 error", ORDER, "Batch", [make_batch(1000, 1)], rejected=True),
        Workload("reject", "batch, 20 errors", ORDER, "Batch", [make_batch(1000, 20)], rejected=True),
    ]
    tree = make_tree(1_000)
    rows += [
        Workload("maps", "map (1,000 members)", LABELS, "Labels", [make_labels(1000)],
                 [make_labels(1000, bad=True)]),
        # A peer's Any accepts every value, so the rejected payload lacks the member.
        Workload("maps", "Json: tree (1,000 nodes)", BLOB, "Blob", [{"doc": tree}], [{}]),
        Workload("maps", "Json: order (1 KB)", BLOB, "Blob", [{"doc": order}], [{}]),
        Workload("maps", "typed tree (1,000 nodes)", TREE, "Node", [tree], [break_tree(tree)]),
    ]
    names = key_names(1000)
    rows += [
        wide("1,000 keys, in order", names),
        wide("1,000 plain 30-byte keys", plain_names, roads=("bytes",)),
        wide("1,000 escaped 30-byte keys", escaped_names, roads=("bytes",), encode=escaped_json),
    ]
    for n in key_sizes:
        limits = {"max_object_keys": n}
        rows.append(
            wide(
                f"{n:,} keys, shuffled", key_names(n), True, limits=limits, vorn_only=n > 1_000, series="keys"
            )
        )
    return rows


# --- Peer types, generated from the schema description ---------------------------------------


class CannotExpress(Exception):
    pass


INT_BOUNDS = {
    f"{s}{w}": ((-(1 << (w - 1)), (1 << (w - 1)) - 1) if s == "i" else (0, (1 << w) - 1))
    for s in "iu"
    for w in (8, 16, 32, 64)
}


def rule_args(t, rules):
    """The description's rules as keyword constraints (pydantic Field and msgspec Meta share these
    names); a rule that does not suit the type checks nothing, as in vorn."""
    args = {}
    if t["kind"] == "int":
        args["ge"], args["le"] = INT_BOUNDS[t["name"]]
    for rule in rules:
        kind = rule["rule"]
        if kind == "range" and t["kind"] == "int":
            args["ge"], args["le"] = max(args["ge"], rule["min"]), min(args["le"], rule["max"])
        elif (
            kind in ("min_len", "max_len")
            and t["kind"] == "string"
            or kind in ("min_items", "max_items")
            and t["kind"] == "array"
        ):
            args[("min" if kind.startswith("min") else "max") + "_length"] = rule["value"]
        elif kind == "format" and t["kind"] == "string":
            raise CannotExpress(f"format {rule['value']}")
    return args


class PythonTypes:
    """Builds annotations as source text, evaluated in a module of their own once every name of the
    schema exists, so recursive schemas resolve. Subclasses say how a record and a union are made."""

    constraint = ""  # the name of the Annotated metadata class in the namespace

    def __init__(self, description):
        self.description = description
        self.module = types.ModuleType(f"_bench_types_{next(_module_ids)}")
        sys.modules[self.module.__name__] = self.module
        self.ns = self.module.__dict__
        self.ns.update(
            Annotated=typing.Annotated, Literal=typing.Literal, Optional=typing.Optional, Any=typing.Any
        )
        self.ns.update(datetime=dt.datetime, date=dt.date)

    def annotation(self, t, rules=(), nullable=False):
        kind = t["kind"]
        if kind == "array":
            text = f"list[{self.annotation(t['item'], (), t['item_nullable'])}]"
        elif kind == "enum":
            text = f"Literal[{', '.join(map(repr, t['values']))}]"
        elif kind == "ref":
            text = t["name"]
        elif kind == "map":
            key = self.annotation(t["key"])
            text = f"dict[{key}, {self.annotation(t['value'], (), t['value_nullable'])}]"
        elif kind == "json":
            text = "Any"
        else:
            text = {
                "bool": "bool",
                "int": "int",
                "float": "float",
                "string": "str",
                "date": "date",
                "datetime": "datetime",
            }[kind]
        args = self.constraints(rule_args(t, rules))
        if args:
            text = f"Annotated[{text}, {self.constraint}({', '.join(f'{k}={v!r}' for k, v in args.items())})]"
        return f"Optional[{text}]" if nullable else text

    def constraints(self, args):
        return args

    def fields(self, obj):
        return [
            (f["name"], self.annotation(f["type"], f["rules"], f["nullable"]), f["optional"])
            for f in obj["fields"]
        ]

    def build(self, root):
        unions = [d for d in self.description.values() if d["kind"] == "union"]
        for d in self.description.values():
            if d["kind"] == "object":
                self.ns[d["name"]] = self.record(d["name"], self.fields(d), None)
        for d in unions:
            variants = []
            for v in d["variants"]:
                # A copy of the variant's object type that carries the union's tag member.
                name = f"{d['name']}_{len(variants)}_{v['type']}"
                self.ns[name] = self.record(
                    name, self.fields(self.description[v["type"]]), (d["tag"], v["tag"])
                )
                variants.append(self.ns[name])
            self.ns[d["name"]] = self.union(d["tag"], variants)
        self.finish()
        return self.ns[root]

    def finish(self):
        pass


_module_ids = itertools.count()


class PydanticTypes(PythonTypes):
    constraint = "Field"

    def __init__(self, description):
        super().__init__(description)
        import pydantic

        self.pydantic = pydantic
        self.ns["Field"] = pydantic.Field
        self.models = []

    def record(self, name, fields, tag):
        defs = {f: (ann, None if optional else ...) for f, ann, optional in fields}
        if tag:
            defs = {tag[0]: (typing.Literal[tag[1]], ...), **defs}
        config = self.pydantic.ConfigDict(extra="forbid")
        model = self.pydantic.create_model(name, __config__=config, __module__=self.module.__name__, **defs)
        self.models.append(model)
        return model

    def union(self, tag, variants):
        return typing.Annotated[typing.Union[tuple(variants)], self.pydantic.Field(discriminator=tag)]

    def finish(self):
        for model in self.models:
            model.model_rebuild(_types_namespace=self.ns)


class PydanticTypedDictTypes(PydanticTypes):
    """pydantic over TypedDicts, closed as the models are: a TypeAdapter that returns plain dicts,
    as vorn does. Annotations stay text until every name exists, as for msgspec's TypedDicts."""

    def __init__(self, description):
        super().__init__(description)
        import typing_extensions

        self.typed_dict = typing_extensions.TypedDict  # typing's own is refused before 3.12
        self.ns["NotRequired"] = typing_extensions.NotRequired

    def record(self, name, fields, tag):
        pending = {f: f"NotRequired[{ann}]" if optional else ann for f, ann, optional in fields}
        if tag:
            pending = {tag[0]: f"Literal[{tag[1]!r}]", **pending}
        td = self.typed_dict(name, {f: typing.Any for f in pending})
        td.__module__ = self.module.__name__
        td.__pydantic_config__ = self.pydantic.ConfigDict(extra="forbid")
        td.__required_keys__ = frozenset(f for f in pending if not pending[f].startswith("NotRequired"))
        td.__optional_keys__ = frozenset(pending) - td.__required_keys__
        td.__pending__ = pending
        return td

    def finish(self):
        TypedDictTypes.finish(self)


class StructTypes(PythonTypes):
    constraint = "Meta"

    def __init__(self, description):
        super().__init__(description)
        import msgspec

        self.msgspec = msgspec
        self.ns["Meta"] = msgspec.Meta

    def constraints(self, args):
        # msgspec takes integer bounds within int64 only: u64's upper bound goes unchecked.
        return {k: v for k, v in args.items() if k not in ("ge", "le") or -(1 << 63) <= v < 1 << 63}

    def record(self, name, fields, tag):
        specs = [(f, ann, None) if optional else (f, ann) for f, ann, optional in fields]
        options = dict(tag_field=tag[0], tag=tag[1]) if tag else {}
        return self.msgspec.defstruct(
            name, specs, kw_only=True, forbid_unknown_fields=True, module=self.module.__name__, **options
        )

    def union(self, tag, variants):
        return typing.Union[tuple(variants)]


class TypedDictTypes(StructTypes):
    """msgspec into TypedDicts, which return plain dicts as vorn does. TypedDicts cannot carry a
    union's tag, so a schema with a union cannot be expressed."""

    def build(self, root):
        if any(d["kind"] == "union" for d in self.description.values()):
            raise CannotExpress("tagged union")
        return super().build(root)

    def record(self, name, fields, tag):
        # Annotations stay text until every name exists; finish() evaluates them in place.
        td = typing.TypedDict(name, {f: typing.Any for f, _, _ in fields})
        td.__required_keys__ = frozenset(f for f, _, optional in fields if not optional)
        td.__optional_keys__ = frozenset(f for f, _, optional in fields if optional)
        td.__pending__ = {f: ann for f, ann, _ in fields}
        return td

    def finish(self):
        for value in list(self.ns.values()):
            pending = getattr(value, "__pending__", None)
            if isinstance(pending, dict):
                value.__annotations__ = {f: eval(ann, self.ns) for f, ann in pending.items()}


def json_schema(description, root):
    """Draft-07 JSON Schema of the same shape: closed objects, every bound and format vorn checks."""

    def of(t, rules=(), nullable=False):
        kind = t["kind"]
        if kind == "ref":
            out = {"$ref": f"#/definitions/{t['name']}"}
            return {"anyOf": [out, {"type": "null"}]} if nullable else out
        if kind == "enum":
            out = {"enum": list(t["values"]) + ([None] if nullable else [])}
            return out
        if kind == "json":
            return {} if nullable else {"not": {"type": "null"}}
        if kind == "map":
            out = {"type": ["object", "null"] if nullable else "object"}
            out["additionalProperties"] = of(t["value"], (), t["value_nullable"])
            if t["key"]["kind"] == "enum":
                out["propertyNames"] = {"enum": list(t["key"]["values"])}
            return out
        simple = {
            "bool": "boolean",
            "int": "integer",
            "float": "number",
            "string": "string",
            "date": "string",
            "datetime": "string",
            "array": "array",
        }
        out = {"type": [simple[kind], "null"] if nullable else simple[kind]}
        if kind in ("date", "datetime"):
            out["format"] = "date-time" if kind == "datetime" else "date"
        if kind == "array":
            out["items"] = of(t["item"], (), t["item_nullable"])
        names = {"ge": "minimum", "le": "maximum", "min_length": "minLength", "max_length": "maxLength"}
        for rule in rules:
            if rule["rule"] == "format" and kind == "string":
                out["format"] = rule["value"]
        for key, value in rule_args(t, [r for r in rules if r["rule"] != "format"]).items():
            out[
                (
                    names[key]
                    if kind != "array"
                    else key.replace("_length", "Items").replace("min_", "min").replace("max_", "max")
                )
            ] = value
        return out

    def obj(d, tag=None):
        props = {f["name"]: of(f["type"], f["rules"], f["nullable"]) for f in d["fields"]}
        required = [f["name"] for f in d["fields"] if not f["optional"]]
        if tag:
            props = {tag[0]: {"const": tag[1]}, **props}
            required.insert(0, tag[0])
        return {"type": "object", "properties": props, "required": required, "additionalProperties": False}

    definitions = {}
    for d in description.values():
        if d["kind"] == "object":
            definitions[d["name"]] = obj(d)
        else:
            definitions[d["name"]] = {
                "oneOf": [obj(description[v["type"]], (d["tag"], v["tag"])) for v in d["variants"]]
            }
    return {
        "$schema": "http://json-schema.org/draft-07/schema#",
        "definitions": definitions,
        "$ref": f"#/definitions/{root}",
    }


# --- Libraries -------------------------------------------------------------------------------


@dataclass
class Library:
    """A validating peer: `make(schema, workload)` gives {road: callable} or raises CannotExpress,
    and a rejection raises `module.error`. A floor only decodes, on the bytes road."""

    name: str
    label: str  # column heading
    module: str  # whose version the header prints; the library is left out if it is missing
    make: typing.Callable
    error: str = ""
    floor: bool = False

    def error_class(self):
        return getattr(importlib.import_module(self.module), self.error) if self.error else Exception


def vorn(schema, w):
    v = schema.validator(w.root, Limits(**w.limits))
    return {"bytes": v, "python": v}


def pydantic_peer(types_class):
    def make(schema, w):
        import pydantic

        adapter = pydantic.TypeAdapter(types_class(schema.describe()).build(w.root))
        return {"bytes": adapter.validate_json, "python": adapter.validate_python}

    return make


def msgspec_peer(types_class):
    def make(schema, w):
        import msgspec

        target = types_class(schema.describe()).build(w.root)
        decoder = msgspec.json.Decoder(target)
        return {"bytes": decoder.decode, "python": lambda payload: msgspec.convert(payload, target)}

    return make


def json_schema_peer(compile_schema):
    def make(schema, w):
        validate = compile_schema(json_schema(schema.describe(), w.root))
        return {"bytes": lambda data: validate(json.loads(data)), "python": validate}

    return make


def jsonschema_rs_compile(document):
    import jsonschema_rs

    return jsonschema_rs.validator_for(document, validate_formats=True).validate


def fastjsonschema_compile(document):
    import fastjsonschema

    return fastjsonschema.compile(document)


def floor(module, attr):
    return lambda schema, w: {"bytes": getattr(importlib.import_module(module), attr)}


LIBRARIES = [
    Library("vorn", "vorn", "vorn_schema", vorn, "ValidationError"),
    Library("pydantic model", "pyd model", "pydantic", pydantic_peer(PydanticTypes), "ValidationError"),
    Library(
        "pydantic TypedDict",
        "pyd TypedDict",
        "pydantic",
        pydantic_peer(PydanticTypedDictTypes),
        "ValidationError",
    ),
    Library("msgspec Struct", "ms Struct", "msgspec", msgspec_peer(StructTypes), "ValidationError"),
    Library("msgspec TypedDict", "ms TypedDict", "msgspec", msgspec_peer(TypedDictTypes), "ValidationError"),
    Library(
        "jsonschema-rs",
        "jsonschema-rs",
        "jsonschema_rs",
        json_schema_peer(jsonschema_rs_compile),
        "ValidationError",
    ),
    Library(
        "fastjsonschema",
        "fastjsonschema",
        "fastjsonschema",
        json_schema_peer(fastjsonschema_compile),
        "JsonSchemaException",
    ),
    Library("json.loads", "json.loads", "json", floor("json", "loads"), floor=True),
    Library("orjson.loads", "orjson.loads", "orjson", floor("orjson", "loads"), floor=True),
    Library("msgspec.json.decode", "ms.json.decode", "msgspec", floor("msgspec.json", "decode"), floor=True),
]


def installed(lib):
    try:
        importlib.import_module(lib.module)
    except ImportError:
        return False
    return True


# --- Measuring -------------------------------------------------------------------------------


def sample(fn, payloads, error, n):
    """Seconds for n calls over the payloads, the collector off as timeit has it."""
    sequence = payloads * n
    gc.disable()
    try:
        start = time.perf_counter()
        for payload in sequence:
            try:
                fn(payload)
            except error:
                pass
        return time.perf_counter() - start
    finally:
        gc.enable()


def calibrate(fn, payloads, error, target):
    n = 1
    while True:
        took = sample(fn, payloads, error, n)
        if took >= target / 2 or n >= 1 << 24:
            return max(1, round(n * target / took)) if took > 0 else n
        n *= 2 if took > target / 20 else 10


def measure(runners, rounds, target):
    """runners: {name: (fn, payloads, error)}. Round-robin samples, in microseconds per call."""
    counts = {name: calibrate(*r, target) for name, r in runners.items()}
    times = {name: [] for name in runners}
    for _ in range(rounds):
        for name, (fn, payloads, error) in runners.items():
            times[name].append(sample(fn, payloads, error, counts[name]) / counts[name] * 1e6)
    gc.collect()
    return times


# --- Running, checking, reporting ------------------------------------------------------------


# A growing series stops once parsing a row's schema plus one vorn call on each road costs,
# per key, GROWTH times what it cost on the series' first row (or takes over BUDGET seconds).
GROWTH = 4
BUDGET = 5.0


def prepare(w, schema, libraries):
    """{library name: {road: callable}}, or the reason it is left out."""
    out = {}
    for lib in libraries:
        if w.vorn_only and lib.name != "vorn" and not lib.floor:
            out[lib.name] = "skipped"
            continue
        try:
            out[lib.name] = lib.make(schema, w)
        except CannotExpress:
            out[lib.name] = "cannot express"
    return out


def prepared_rows(rows, libraries):
    """Yields (workload, prepared libraries). A growing series stops after a row that grew too
    fast, so a quadratic path shows in the figures without stalling the run for hours."""
    slow, first = {}, {}
    for w in rows:
        if w.series in slow:
            print(
                f"{w.name}: not run, the smaller row grew faster than linear ({slow[w.series]:.2f} s to parse and call once a road)"
            )
            continue
        start = time.perf_counter()
        schema = Schema.parse(w.schema)
        took = time.perf_counter() - start
        prepared = prepare(w, schema, libraries)
        if w.series:
            for road in w.roads:
                for payload in road_payloads(w, road, w.payloads):
                    start = time.perf_counter()
                    try:
                        prepared["vorn"][road](payload)
                    except ValidationError:
                        pass
                    took += time.perf_counter() - start
            first.setdefault(w.series, took / w.per)
            if took > BUDGET or took / w.per > GROWTH * first[w.series]:
                slow[w.series] = took
        yield w, prepared


def road_payloads(w, road, payloads):
    return [w.encode(p) for p in payloads] if road == "bytes" else payloads


def check(rows, libraries):
    failures = 0
    for w, prepared in prepared_rows(rows, libraries):
        for lib in libraries:
            fns = prepared[lib.name]
            if isinstance(fns, str) or lib.floor:
                continue
            valid, invalid = ([], w.payloads + w.bad) if w.rejected else (w.payloads, w.bad)
            for road in w.roads:
                for payload in road_payloads(w, road, valid):
                    try:
                        fns[road](payload)
                    except Exception as e:
                        failures += 1
                        print(f"FAIL {w.name} / {road}: {lib.name} rejected a valid payload: {str(e)[:200]}")
                for payload in road_payloads(w, road, invalid):
                    try:
                        fns[road](payload)
                    except lib.error_class():
                        continue
                    failures += 1
                    print(f"FAIL {w.name} / {road}: {lib.name} accepted an invalid payload")
        print(f"checked {w.name}")
    return failures


def run(rows, libraries, rounds, target):
    results = []
    for w, prepared in prepared_rows(rows, libraries):
        for road in w.roads:
            payloads = road_payloads(w, road, w.payloads)
            runners, notes = {}, {}
            for lib in libraries:
                fns = prepared[lib.name]
                if isinstance(fns, str):
                    notes[lib.name] = fns
                elif road in fns:
                    runners[lib.name] = (fns[road], payloads, lib.error_class())
            times = measure(runners, rounds, target)
            best = {name: min(ts) / w.per for name, ts in times.items()}
            results.append(
                {
                    "section": w.section,
                    "workload": w.name,
                    "road": road,
                    "unit": w.unit,
                    "bytes": sum(len(w.encode(p)) for p in w.payloads),
                    "best_us": best,
                    "samples_us": times,
                    "notes": notes,
                }
            )
            print(render_row(results[-1], libraries), flush=True)
    return results


NAME_WIDTH = 36
CELL = 16


def render_row(r, libraries):
    base = r["best_us"]["vorn"]
    cells = [f"{(r['workload'] + ', ' + r['road']):{NAME_WIDTH}}", f"{base:>10.2f}"]
    for lib in libraries[1:]:
        us = r["best_us"].get(lib.name)
        if us is None:
            cell = r["notes"].get(lib.name, "")
        elif lib.name == "orjson.loads":
            cell = f"{us:.2f} /{base / us:.2f}x"
        else:
            cell = f"{us:.2f} {us / base:.2f}x"
        cells.append(f"{cell:>{CELL}}")
    return "".join(cells)


def header_text(libraries):
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    versions = {"vorn_schema": _vorn.__version__}
    for lib in libraries:
        if lib.module not in versions and lib.module != "json":
            try:
                versions[lib.module] = metadata.version(lib.module)
            except metadata.PackageNotFoundError:
                versions[lib.module] = "not installed"
    return {
        "machine": f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.machine()}",
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "versions": versions,
    }


def print_header(info, libraries):
    print(f"machine: {info['machine']}")
    print(f"python:  {info['python']}")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in info["versions"].items()))
    print("bytes road: jsonschema-rs and fastjsonschema get json.loads, then validate")
    print("cells: us per call (per record / per key where the row says), then peer/vorn;")
    print("orjson.loads shows vorn/orjson instead (a floor: decoding with no validation); ms = msgspec")


def print_section(section, libraries):
    print(f"\n== {section}")
    print(
        f"{'workload, road':{NAME_WIDTH}}{'vorn':>10}"
        + "".join(f"{lib.label:>{CELL}}" for lib in libraries[1:])
    )


def derived(results):
    """vorn's own ratios that the targets name."""
    by = {(r["workload"], r["road"]): r["best_us"] for r in results}
    lines = []

    def ratio(label, a, b, lib_a="vorn", lib_b="vorn"):
        if a in by and b in by and lib_a in by[a] and lib_b in by[b]:
            lines.append(f"{label:58}{by[a][lib_a] / by[b][lib_b]:6.2f}")

    for road in ("bytes", "python"):
        for what in ("order", "batch"):
            for errors in ("1 error", "20 errors"):
                ratio(
                    f"reject {what}, {errors} / accept, {road}",
                    (f"{what}, {errors}", road),
                    (f"{what}, accept", road),
                )
        ratio(
            f"scale: per record at 10,000 / at 100, {road}", ("batch of 10,000", road), ("batch of 100", road)
        )
        for n in ("10,000", "100,000", "1,000,000"):
            ratio(
                f"keys, shuffled: per key at {n} / at 1,000, {road}",
                (f"{n} keys, shuffled", road),
                ("1,000 keys, shuffled", road),
            )
    ratio(
        "escaped keys / plain keys, bytes",
        ("1,000 escaped 30-byte keys", "bytes"),
        ("1,000 plain 30-byte keys", "bytes"),
    )
    for what in ("map (1,000 members)", "Json: tree (1,000 nodes)", "Json: order (1 KB)"):
        ratio(f"{what}: vorn / orjson.loads", (what, "bytes"), (what, "bytes"), lib_b="orjson.loads")
    ratio(
        "Json: tree / typed tree (1,000 nodes), bytes",
        ("Json: tree (1,000 nodes)", "bytes"),
        ("typed tree (1,000 nodes)", "bytes"),
    )
    for n in ("1,000", "10,000"):
        ratio(
            f"tree ({n} nodes): vorn / orjson.loads",
            (f"tree ({n} nodes)", "bytes"),
            (f"tree ({n} nodes)", "bytes"),
            lib_b="orjson.loads",
        )
    return lines


README_COLUMNS = [
    "pydantic model",
    "pydantic TypedDict",
    "msgspec Struct",
    "msgspec TypedDict",
    "jsonschema-rs",
    "orjson.loads",
]


def readme_table(results, info, section="main"):
    """The README's Performance table for the section's rows, in the README's own form."""

    def us(x):
        return f"{x:.2f}" if x < 100 else f"{x:.1f}" if x < 1000 else f"{x:.0f}"

    versions = ", ".join(f"{k} {v}" for k, v in info["versions"].items() if k != "vorn_schema")
    lines = [f"One run on {info['machine']}, {info['python']}; {versions}.", ""]
    lines.append("| workload | vorn | " + " | ".join(README_COLUMNS) + " |")
    lines.append("|---" * (len(README_COLUMNS) + 2) + "|")
    for r in results:
        if r["section"] != section:
            continue
        base = r["best_us"]["vorn"]
        cells = [f"{r['workload']}, {'bytes' if r['road'] == 'bytes' else 'Python data'}", us(base)]
        for name in README_COLUMNS:
            peer = r["best_us"].get(name)
            if peer is None:
                cells.append(r["notes"].get(name, ""))
            elif name == "orjson.loads":
                cells.append(f"{us(peer)} (/{base / peer:.2f}x)")
            else:
                cells.append(f"{us(peer)} ({peer / base:.2f}x)")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(line.replace(" |  |", " | |") for line in lines)


def plot(results, libraries, path, section="main"):
    """One bar a peer for each row of the section the README's table shows: its time over vorn's,
    on a log scale, so a bar past the line at 1 is a workload vorn wins."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [r for r in results if r["section"] == section]
    peers = [lib for lib in libraries[1:] if any(lib.name in r["best_us"] for r in rows)]
    height = 0.8 / len(peers)
    fig, ax = plt.subplots(figsize=(8, 0.9 + 0.08 * len(rows) * len(peers)))
    for i, lib in enumerate(peers):
        ratios = [r["best_us"].get(lib.name, 0) / r["best_us"]["vorn"] for r in rows]
        ax.barh([k + i * height for k in range(len(rows))], ratios, height=height, label=lib.name)
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda x, _: f"{x:g}"))
    ax.set_yticks(
        [k + 0.4 - height / 2 for k in range(len(rows))], [f"{r['workload']}, {r['road']}" for r in rows]
    )
    ax.tick_params(axis="y", labelsize=8)
    ax.margins(y=0.01)
    ax.invert_yaxis()
    ax.set_xlabel("peer time / vorn time (log scale; above 1: vorn is faster)")
    ax.legend(fontsize=7, loc="lower right")
    fig.tight_layout()
    fig.savefig(path)


def write_docs(rows, directory):
    """Each workload's first payload as JSON, with its schema and root, for bench/engine_bench."""
    os.makedirs(directory, exist_ok=True)
    written = set()
    for w in rows:
        text = w.encode(w.payloads[0])
        if "bytes" not in w.roads or w.series or (w.schema, text) in written:
            continue
        written.add((w.schema, text))
        slug = "".join(c if c.isalnum() else "-" for c in w.name.lower()).strip("-")
        while "--" in slug:
            slug = slug.replace("--", "-")
        base = os.path.join(directory, f"{w.section}-{slug}")
        with open(base + ".json", "wb") as f:
            f.write(text)
        with open(base + ".schema", "w") as f:
            f.write(w.schema)
        with open(base + ".meta", "w") as f:
            f.write(f"root {w.root}\n" + "".join(f"{k} {v}\n" for k, v in w.limits.items()))
    print(f"wrote the documents to {directory}")


def in_processes(argv, n):
    """Runs the measurement in n processes one after another and keeps each cell's best: some
    peers settle into a slower state for a whole process (pydantic's order on the bytes road
    took 10 us in some processes and 19 us in others on the same machine)."""
    import subprocess
    import tempfile

    merged = {}
    with tempfile.TemporaryDirectory() as tmp:
        for i in range(n):
            out = os.path.join(tmp, f"{i}.json")
            subprocess.run([sys.executable, __file__, *argv, "--json", out], check=True, stdout=subprocess.DEVNULL)
            print(f"process {i + 1}/{n} done", flush=True)
            with open(out) as f:
                for r in json.load(f)["results"]:
                    kept = merged.setdefault((r["workload"], r["road"]), r)
                    for name, us in r["best_us"].items():
                        kept["best_us"][name] = min(us, kept["best_us"][name])
                        if kept is not r:
                            kept["samples_us"][name] += r["samples_us"][name]
    return list(merged.values())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter samples and smaller key counts")
    parser.add_argument("--check", action="store_true", help="check every accept and reject before measuring")
    parser.add_argument("--only", help="run only the workloads whose name contains this text")
    parser.add_argument("--json", metavar="FILE", help="save the raw samples")
    parser.add_argument(
        "--plot", metavar="FILE.svg", help="draw the main workloads of the run as a bar chart"
    )
    parser.add_argument("--write-docs", metavar="DIR", help="write the documents for bench/engine_bench, then stop")
    parser.add_argument(
        "--processes", type=int, default=1, metavar="N", help="measure in N processes in turn, keep each best"
    )
    args = parser.parse_args(argv)

    if args.write_docs:
        write_docs([w for w in workloads(True) if not args.only or args.only in w.name], args.write_docs)
        return 0
    libraries = [lib for lib in LIBRARIES if installed(lib)]
    rows = [w for w in workloads(args.quick) if not args.only or args.only in w.name]
    info = header_text(LIBRARIES)
    print_header(info, libraries)
    if args.check:
        failures = check(rows, libraries)
        if failures:
            print(f"{failures} check(s) failed")
            return 1
        print("every library accepts the valid payloads and rejects the invalid ones")
    rounds, target = (9, 0.002) if args.quick else (31, 0.002)
    results = []
    if args.processes > 1:
        child = (["--quick"] if args.quick else []) + (["--only", args.only] if args.only else [])
        results = in_processes(child, args.processes)
        for section in dict.fromkeys(r["section"] for r in results):
            print_section(section, libraries)
            for r in results:
                if r["section"] == section:
                    print(render_row(r, libraries))
    for section in dict.fromkeys(w.section for w in rows) if args.processes <= 1 else ():
        print_section(section, libraries)
        results += run([w for w in rows if w.section == section], libraries, rounds, target)
    lines = derived(results)
    if lines:
        print("\n== vorn's own ratios")
        print("\n".join(lines))
    if any(r["section"] == "main" for r in results):
        print("\n== the README's table (main rows)\n")
        print(readme_table(results, info))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({**info, "rounds": rounds, "sample_seconds": target, "results": results}, f, indent=1)
    if args.plot:
        plot(results, libraries, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
