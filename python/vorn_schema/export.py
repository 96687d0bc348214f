"""JSON Schema (draft 2020-12) from a parsed schema, for OpenAPI documents and other tools.

The export is built from ``Schema.describe()`` and carries only what validation checks: a
rule is exported where it can take effect on the field's type, and nowhere else.
"""

from __future__ import annotations

from typing import Any

from ._vorn import Schema

DIALECT = "https://json-schema.org/draft/2020-12/schema"

# Rules that take effect on a value of each kind of type. A rule reads the field's value
# (an array's own length, never its elements), and only as the engine can see it: lengths
# and formats need text, a range needs an integer, item counts need an array.
TEXT_KINDS = frozenset({"string", "date", "datetime", "enum"})
APPLIES: dict[str, frozenset[str]] = {
    "bool": frozenset(),
    "int": frozenset({"range"}),
    "float": frozenset({"range"}),
    "array": frozenset({"min_items", "max_items"}),
    "ref": frozenset(),
    **{k: frozenset({"min_len", "max_len", "format"}) for k in TEXT_KINDS},
}

INT_BOUNDS = {
    f"{'i' if signed else 'u'}{width}": (
        (-(1 << (width - 1)), (1 << (width - 1)) - 1) if signed else (0, (1 << width) - 1)
    )
    for signed in (False, True)
    for width in (8, 16, 32, 64)
}

FORMATS = {"uuid": "uuid", "email": "email", "hostname": "hostname", "ipv4": "ipv4", "ipv6": "ipv6"}
# The date types' own text forms. A pattern is asserted by every validator, while `format`
# is only an annotation in draft 2020-12 unless a tool opts in.
DATE_PATTERN = "^[0-9]{4}-[0-9]{2}-[0-9]{2}$"
# Fields within their ranges, so that a validator that only asserts the pattern still refuses
# hour 24 or minute 60. Second 60 passes the engine's check, but Python's datetime cannot
# hold it, so such a value is refused when the result is built; the pattern refuses it too.
DATETIME_PATTERN = (
    "^[0-9]{4}-[0-9]{2}-[0-9]{2}[Tt]([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9](\\.[0-9]+)?"
    "([Zz]|[+-]([01][0-9]|2[0-3]):[0-5][0-9])$"
)


def to_json_schema(schema: Schema, type_name: str | None = None) -> dict[str, Any]:
    """A draft 2020-12 document with every declared type under ``$defs``.

    With ``type_name`` the document's root is a ``$ref`` to that type; an undeclared name
    raises ``KeyError``.
    """
    described = schema.describe()
    if type_name is not None and type_name not in described:
        raise KeyError(f"schema declares no type named `{type_name}`")
    defs = {name: _declaration(d, described) for name, d in described.items()}
    doc: dict[str, Any] = {"$schema": DIALECT}
    if type_name is not None:
        doc["$ref"] = ref(type_name)
    doc["$defs"] = defs
    return doc


def ref(name: str) -> str:
    """The JSON pointer of a declared type inside an exported document."""
    return "#/$defs/" + name.replace("~", "~0").replace("/", "~1")


def _declaration(d: dict[str, Any], described: dict[str, Any]) -> dict[str, Any]:
    if d["kind"] == "object":
        return _object(d)
    variants = []
    for v in d["variants"]:
        obj = _object(described[v["type"]], tag=(d["tag"], v["tag"]))
        obj["title"] = f"{d['name']} ({d['tag']}: {v['tag']})"
        variants.append(obj)
    return {"title": d["name"], "oneOf": variants}


def _object(d: dict[str, Any], tag: tuple[str, str] | None = None) -> dict[str, Any]:
    properties: dict[str, Any] = {}
    required: list[str] = []
    if tag is not None:
        # The union owns its tag: each variant admits it as a constant, so
        # additionalProperties stays false and the variants exclude each other.
        properties[tag[0]] = {"const": tag[1]}
        required.append(tag[0])
    for f in d["fields"]:
        properties[f["name"]] = field_schema(f)
        if not f["optional"]:
            required.append(f["name"])
    out: dict[str, Any] = {"title": d["name"], "type": "object", "properties": properties}
    if required:
        out["required"] = required
    out["additionalProperties"] = not d["deny_unknown_fields"]
    return out


def field_schema(f: dict[str, Any]) -> dict[str, Any]:
    """The schema of one described field: its type, its applicable rules, its nullability."""
    out = type_schema(f["type"])
    kind = f["type"]["kind"]
    for rule in f["rules"]:
        if rule["rule"] in APPLIES[kind]:
            _add_rule(out, kind, rule)
    return _nullable(out) if f["nullable"] else out


def type_schema(t: dict[str, Any]) -> dict[str, Any]:
    """The schema of one described type expression, without rules."""
    kind = t["kind"]
    if kind == "bool":
        return {"type": "boolean"}
    if kind == "int":
        lo, hi = INT_BOUNDS[t["name"]]
        return {"type": "integer", "minimum": lo, "maximum": hi}
    if kind == "float":
        return {"type": "number"}
    if kind == "string":
        return {"type": "string"}
    if kind == "date":
        return {"type": "string", "format": "date", "pattern": DATE_PATTERN}
    if kind == "datetime":
        return {"type": "string", "format": "date-time", "pattern": DATETIME_PATTERN}
    if kind == "enum":
        return {"type": "string", "enum": list(t["values"])}
    if kind == "array":
        item = type_schema(t["item"])
        return {"type": "array", "items": _nullable(item) if t["item_nullable"] else item}
    return {"$ref": ref(t["name"])}


def _nullable(s: dict[str, Any]) -> dict[str, Any]:
    return {"anyOf": [s, {"type": "null"}]}


def _add_rule(out: dict[str, Any], kind: str, rule: dict[str, Any]) -> None:
    name = rule["rule"]
    if name == "range":
        if kind == "float":
            # An f64 field's range reads only values that arrive as integers; a number
            # with a fraction or an exponent passes it unchecked.
            out.setdefault("if", {"type": "integer"})
            _range_on(out.setdefault("then", {}), rule)
        else:
            _range_on(out, rule)
    elif name == "min_len":
        out["minLength"] = max(out.get("minLength", 0), rule["value"])
    elif name == "max_len":
        out["maxLength"] = min(out.get("maxLength", rule["value"]), rule["value"])
    elif name == "min_items":
        out["minItems"] = max(out.get("minItems", 0), rule["value"])
    elif name == "max_items":
        out["maxItems"] = min(out.get("maxItems", rule["value"]), rule["value"])
    elif name == "format":
        _constrain(out, {"format": FORMATS[rule["value"]]})


def _range_on(s: dict[str, Any], rule: dict[str, Any]) -> None:
    # Several ranges all apply, so their intersection is exported; ranges that do not
    # overlap leave minimum above maximum, which no number meets, as in validation.
    s["minimum"] = max(s["minimum"], rule["min"]) if "minimum" in s else rule["min"]
    s["maximum"] = min(s["maximum"], rule["max"]) if "maximum" in s else rule["max"]


def _constrain(out: dict[str, Any], extra: dict[str, Any]) -> None:
    """Adds keywords to a schema, moving any that would overwrite one into ``allOf``."""
    if any(k in out for k in extra):
        out.setdefault("allOf", []).append(extra)
    else:
        out.update(extra)
