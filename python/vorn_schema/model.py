"""A typed reading of ``Schema.describe()``, shared by the generators and lint.

``read(schema)`` turns the plain data into frozen records once. Code that renders a type
subclasses ``TypeVisitor`` and calls ``walk``: a new kind of type then shows up as one missing
method in every consumer, instead of one more ``kind`` test in each.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Generic, TypeVar

if TYPE_CHECKING:
    from ._vorn import Schema

R = TypeVar("R")


@dataclass(frozen=True)
class BoolType:
    """``bool``."""


@dataclass(frozen=True)
class IntType:
    """An integer of a fixed width, such as ``u8`` or ``i64``."""

    name: str
    signed: bool
    fits_js_number: bool

    @property
    def bounds(self) -> tuple[int, int]:
        """The smallest and largest value the width holds."""
        bits = int(self.name[1:])
        if self.signed:
            return -(1 << (bits - 1)), (1 << (bits - 1)) - 1
        return 0, (1 << bits) - 1


@dataclass(frozen=True)
class FloatType:
    """``f64``."""


@dataclass(frozen=True)
class StringType:
    """``String``."""


@dataclass(frozen=True)
class DateType:
    """``Date``."""


@dataclass(frozen=True)
class DateTimeType:
    """``DateTime``."""


@dataclass(frozen=True)
class EnumType:
    """An inline ``enum { ... }``: its values, in declaration order."""

    values: tuple[str, ...]


@dataclass(frozen=True)
class ArrayType:
    """``[T]``, or ``[T?]`` when ``item_nullable``."""

    item: TypeExpr
    item_nullable: bool


@dataclass(frozen=True)
class RefType:
    """A declared object type or union, by name."""

    name: str


TypeExpr = (
    BoolType | IntType | FloatType | StringType | DateType | DateTimeType | EnumType | ArrayType
    | RefType
)


@dataclass(frozen=True)
class Rule:
    """One ``@rule(...)``: ``value`` for one-argument rules, ``min`` and ``max`` for a range."""

    name: str
    value: int | str | None = None
    min: int | None = None
    max: int | None = None

    @property
    def number(self) -> int:
        """The count of a length or item-count rule."""
        assert isinstance(self.value, int), self
        return self.value

    @property
    def bounds(self) -> tuple[int, int]:
        """The inclusive bounds of a ``range`` rule."""
        assert self.min is not None and self.max is not None, self
        return self.min, self.max

    def text(self) -> str:
        """The rule as the schema language writes it, without the ``@``."""
        if self.name == "range":
            return f"range({self.min}..={self.max})"
        return f"{self.name}({self.value})"


@dataclass(frozen=True)
class Field:
    """A field of an object type."""

    name: str
    type: TypeExpr
    optional: bool
    nullable: bool
    rules: tuple[Rule, ...]


@dataclass(frozen=True)
class ObjectDecl:
    """A ``schema`` declaration."""

    name: str
    fields: tuple[Field, ...]
    deny_unknown_fields: bool


@dataclass(frozen=True)
class Variant:
    """One variant of a union: the tag value and the object type it selects."""

    tag: str
    type: str


@dataclass(frozen=True)
class UnionDecl:
    """A ``union`` declaration, whose ``tag`` member picks the variant."""

    name: str
    tag: str
    variants: tuple[Variant, ...]


Declaration = ObjectDecl | UnionDecl


@dataclass(frozen=True)
class Description:
    """Every declaration, object types first, each group in byte-wise order of name."""

    declarations: dict[str, Declaration]

    @property
    def objects(self) -> list[ObjectDecl]:
        """The object types."""
        return [d for d in self.declarations.values() if isinstance(d, ObjectDecl)]

    @property
    def unions(self) -> list[UnionDecl]:
        """The unions."""
        return [d for d in self.declarations.values() if isinstance(d, UnionDecl)]

    def object(self, name: str) -> ObjectDecl:
        """The object type of that name; a union's variants always name one."""
        d = self.declarations[name]
        assert isinstance(d, ObjectDecl)
        return d


class TypeVisitor(Generic[R]):
    """One method per kind of type; ``walk`` calls the one that matches."""

    def bool(self, t: BoolType) -> R:  # noqa: D102
        raise NotImplementedError

    def int(self, t: IntType) -> R:  # noqa: D102
        raise NotImplementedError

    def float(self, t: FloatType) -> R:  # noqa: D102
        raise NotImplementedError

    def string(self, t: StringType) -> R:  # noqa: D102
        raise NotImplementedError

    def date(self, t: DateType) -> R:  # noqa: D102
        raise NotImplementedError

    def datetime(self, t: DateTimeType) -> R:  # noqa: D102
        raise NotImplementedError

    def enum(self, t: EnumType) -> R:  # noqa: D102
        raise NotImplementedError

    def array(self, t: ArrayType) -> R:  # noqa: D102
        raise NotImplementedError

    def ref(self, t: RefType) -> R:  # noqa: D102
        raise NotImplementedError


# describe()'s "kind" of each type, which also names its visitor method.
KINDS: dict[type, str] = {
    BoolType: "bool",
    IntType: "int",
    FloatType: "float",
    StringType: "string",
    DateType: "date",
    DateTimeType: "datetime",
    EnumType: "enum",
    ArrayType: "array",
    RefType: "ref",
}


def kind(t: TypeExpr) -> str:
    """The type's kind as ``describe()`` names it (``"int"``, ``"array"``...)."""
    return KINDS[type(t)]


def walk(t: TypeExpr, visitor: TypeVisitor[R]) -> R:
    """Call the visitor's method for the kind of ``t`` and return what it returns."""
    method: Any = getattr(visitor, KINDS[type(t)])
    return method(t)  # type: ignore[no-any-return]


# What each rule reads from a value: a rule whose kind of value a type never holds checks
# nothing on that type. Lengths and formats need text, a range an integer, item counts an
# array (the array itself, never its elements).
READS = {
    "min_len": "text",
    "max_len": "text",
    "format": "text",
    "range": "an integer",
    "min_items": "an array",
    "max_items": "an array",
}
_HOLDS: dict[type, frozenset[str]] = {
    StringType: frozenset({"text"}),
    DateType: frozenset({"text"}),
    DateTimeType: frozenset({"text"}),
    EnumType: frozenset({"text"}),
    IntType: frozenset({"an integer"}),
    # An f64 field holds integers too: a range reads those and lets the rest pass.
    FloatType: frozenset({"an integer"}),
    ArrayType: frozenset({"an array"}),
}


def applies(rule: str, t: TypeExpr) -> bool:
    """Whether validation reads ``rule`` on a value of type ``t`` (it skips it otherwise)."""
    return READS[rule] in _HOLDS.get(type(t), frozenset())


def read(schema: Schema) -> Description:
    """The schema's description as typed records."""
    return read_described(schema.describe())


def read_described(described: dict[str, Any]) -> Description:
    """Typed records from the plain data ``Schema.describe()`` returned."""
    out: dict[str, Declaration] = {}
    for name, d in described.items():
        if d["kind"] == "object":
            fields = tuple(_field(f) for f in d["fields"])
            out[name] = ObjectDecl(d["name"], fields, d["deny_unknown_fields"])
        else:
            variants = tuple(Variant(v["tag"], v["type"]) for v in d["variants"])
            out[name] = UnionDecl(d["name"], d["tag"], variants)
    return Description(out)


def _field(f: dict[str, Any]) -> Field:
    rules = tuple(
        Rule(r["rule"], r.get("value"), r.get("min"), r.get("max")) for r in f["rules"]
    )
    return Field(f["name"], read_type(f["type"]), f["optional"], f["nullable"], rules)


def read_type(t: dict[str, Any]) -> TypeExpr:
    """One described type expression as a record."""
    k = t["kind"]
    if k == "int":
        return IntType(t["name"], t["signed"], t["fits_js_number"])
    if k == "enum":
        return EnumType(tuple(t["values"]))
    if k == "array":
        return ArrayType(read_type(t["item"]), t["item_nullable"])
    if k == "ref":
        return RefType(t["name"])
    return _PLAIN[k]


_PLAIN: dict[str, TypeExpr] = {
    "bool": BoolType(),
    "float": FloatType(),
    "string": StringType(),
    "date": DateType(),
    "datetime": DateTimeType(),
}


class _Text(TypeVisitor[str]):
    def bool(self, t: BoolType) -> str:
        return "bool"

    def int(self, t: IntType) -> str:
        return t.name

    def float(self, t: FloatType) -> str:
        return "f64"

    def string(self, t: StringType) -> str:
        return "String"

    def date(self, t: DateType) -> str:
        return "Date"

    def datetime(self, t: DateTimeType) -> str:
        return "DateTime"

    def enum(self, t: EnumType) -> str:
        return "enum"

    def array(self, t: ArrayType) -> str:
        return f"[{walk(t.item, self)}{'?' if t.item_nullable else ''}]"

    def ref(self, t: RefType) -> str:
        return t.name


def type_text(t: TypeExpr) -> str:
    """The type as the schema language writes it; an inline enum shows as ``enum``."""
    return walk(t, _Text())
