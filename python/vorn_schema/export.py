"""JSON Schema (draft 2020-12) from a parsed schema, for OpenAPI documents and other tools.

The export carries only what validation checks: a rule is exported where it can take effect
on the field's type, and nowhere else.
"""

from __future__ import annotations

from typing import Any

from . import model
from ._vorn import Schema
from .model import (
    ArrayType,
    BoolType,
    DateTimeType,
    DateType,
    EnumType,
    Field,
    FloatType,
    IntType,
    ObjectDecl,
    RefType,
    Rule,
    StringType,
    TypeExpr,
    UnionDecl,
)

DIALECT = "https://json-schema.org/draft/2020-12/schema"

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

Json = dict[str, Any]


def to_json_schema(schema: Schema, type_name: str | None = None) -> Json:
    """A draft 2020-12 document with every declared type under ``$defs``.

    With ``type_name`` the document's root is a ``$ref`` to that type; an undeclared name
    raises ``KeyError``.
    """
    description = model.read(schema)
    declared = description.declarations
    if type_name is not None and type_name not in declared:
        raise KeyError(f"schema declares no type named `{type_name}`")
    defs = {name: _declaration(d, description) for name, d in declared.items()}
    doc: Json = {"$schema": DIALECT}
    if type_name is not None:
        doc["$ref"] = ref(type_name)
    doc["$defs"] = defs
    return doc


def ref(name: str, *steps: str | int) -> str:
    """The JSON pointer of a declared type, or of a place inside its schema."""
    # Declared names are identifiers, so only the pointer's own escapes can be needed.
    tokens = [name, *map(str, steps)]
    return "#/$defs/" + "/".join(t.replace("~", "~0").replace("/", "~1") for t in tokens)


def _declaration(d: model.Declaration, description: model.Description) -> Json:
    if isinstance(d, ObjectDecl):
        return _object(d)
    return _union(d, description)


def _union(d: UnionDecl, description: model.Description) -> Json:
    # The tag picks the variant: one `if`/`then` per tag value, so a validator reads the tag
    # and then checks one variant. A `oneOf` would make it try every variant, and a variant
    # that does not match still descends into the payload: exponential in nested unions.
    branches = []
    mapping = {}
    for i, v in enumerate(d.variants):
        then = _object(description.object(v.type), tag=(d.tag, v.tag))
        then["title"] = f"{d.name} ({d.tag}: {v.tag})"
        test = {"properties": {d.tag: {"const": v.tag}}, "required": [d.tag]}
        branches.append({"if": test, "then": then})
        mapping[v.tag] = ref(d.name, "allOf", i, "then")
    return {
        "title": d.name,
        "type": "object",
        "properties": {d.tag: {"enum": [v.tag for v in d.variants]}},
        "required": [d.tag],
        # For code generators (OpenAPI 3.1); JSON Schema validators ignore it.
        "discriminator": {"propertyName": d.tag, "mapping": mapping},
        "allOf": branches,
    }


def _object(d: ObjectDecl, tag: tuple[str, str] | None = None) -> Json:
    properties: Json = {}
    required: list[str] = []
    if tag is not None:
        # The union owns its tag: each variant admits it as a constant, so
        # additionalProperties stays false.
        properties[tag[0]] = {"const": tag[1]}
        required.append(tag[0])
    for f in d.fields:
        properties[f.name] = field_schema(f)
        if not f.optional:
            required.append(f.name)
    out: Json = {"title": d.name, "type": "object", "properties": properties}
    if required:
        out["required"] = required
    out["additionalProperties"] = not d.deny_unknown_fields
    return out


def field_schema(f: Field) -> Json:
    """The schema of one field: its type, its applicable rules, its nullability."""
    out = type_schema(f.type)
    for rule in f.rules:
        if model.applies(rule.name, f.type):
            _add_rule(out, f.type, rule)
    return _nullable(out) if f.nullable else out


class _TypeSchema(model.TypeVisitor[Json]):
    def bool(self, t: BoolType) -> Json:
        return {"type": "boolean"}

    def int(self, t: IntType) -> Json:
        lo, hi = t.bounds
        return {"type": "integer", "minimum": lo, "maximum": hi}

    def float(self, t: FloatType) -> Json:
        return {"type": "number"}

    def string(self, t: StringType) -> Json:
        return {"type": "string"}

    def date(self, t: DateType) -> Json:
        return {"type": "string", "format": "date", "pattern": DATE_PATTERN}

    def datetime(self, t: DateTimeType) -> Json:
        return {"type": "string", "format": "date-time", "pattern": DATETIME_PATTERN}

    def enum(self, t: EnumType) -> Json:
        return {"type": "string", "enum": list(t.values)}

    def array(self, t: ArrayType) -> Json:
        item = model.walk(t.item, self)
        return {"type": "array", "items": _nullable(item) if t.item_nullable else item}

    def ref(self, t: RefType) -> Json:
        return {"$ref": ref(t.name)}


def type_schema(t: TypeExpr) -> Json:
    """The schema of one type expression, without rules."""
    return model.walk(t, _TypeSchema())


def _nullable(s: Json) -> Json:
    return {"anyOf": [s, {"type": "null"}]}


def _add_rule(out: Json, t: TypeExpr, rule: Rule) -> None:
    if rule.name == "range":
        if isinstance(t, FloatType):
            # An f64 field's range reads only values that arrive as integers; a number
            # with a fraction or an exponent passes it unchecked.
            out.setdefault("if", {"type": "integer"})
            _range_on(out.setdefault("then", {}), rule)
        else:
            _range_on(out, rule)
    elif rule.name == "format":
        _constrain(out, {"format": rule.value})
    else:
        keyword, tighter = _COUNTS[rule.name]
        out[keyword] = tighter(out[keyword], rule.number) if keyword in out else rule.number


# Several copies of a count rule all apply, so the tightest one is exported.
_COUNTS: dict[str, tuple[str, Any]] = {
    "min_len": ("minLength", max),
    "max_len": ("maxLength", min),
    "min_items": ("minItems", max),
    "max_items": ("maxItems", min),
}


def _range_on(s: Json, rule: Rule) -> None:
    # Several ranges all apply, so their intersection is exported; ranges that do not
    # overlap leave minimum above maximum, which no number meets, as in validation.
    s["minimum"] = max(s["minimum"], rule.min) if "minimum" in s else rule.min
    s["maximum"] = min(s["maximum"], rule.max) if "maximum" in s else rule.max


def _constrain(out: Json, extra: Json) -> None:
    """Adds keywords to a schema, moving any that would overwrite one into ``allOf``."""
    if any(k in out for k in extra):
        out.setdefault("allOf", []).append(extra)
    else:
        out.update(extra)
