"""Rules that check nothing, or that no value can pass.

The schema language accepts any rule on any field: a rule that cannot read the field's value
is silently skipped during validation, so ``price: f64 @range(0..=100)`` still lets ``2.5e9``
through. ``lint`` finds three kinds of such mistakes in a schema that already parses:

- ``never-applies``: the rule cannot read any value the field's type accepts (and
  ``partly-applies`` for ``@range`` on ``f64``, which reads integer values only);
- ``contradiction``: the rule, alone or with another, rejects every value the type accepts;
- ``disjoint-ranges``: two ``@range`` rules (or a range and the integer type's own range)
  that do not overlap.

Positions come from lexing the text again here, since the parsed schema keeps none.
"""

from __future__ import annotations

import unicodedata
from dataclasses import dataclass
from typing import Any

from . import ValidationError
from ._positions import text_line
from ._vorn import Schema
from .export import APPLIES, INT_BOUNDS

NEVER_APPLIES = "never-applies"
# A variant of the first kind: `@range` on `f64` reads the integers among its values only.
PARTLY_APPLIES = "partly-applies"
CONTRADICTION = "contradiction"
DISJOINT_RANGES = "disjoint-ranges"

# What a rule reads from the value, for the message about a rule that reads nothing.
NEEDS = {
    "min_len": "text",
    "max_len": "text",
    "format": "text",
    "range": "an integer",
    "min_items": "an array",
    "max_items": "an array",
}
# The length of every accepted value of the date types, in characters.
DATE_LENGTHS = {"date": (10, 10), "datetime": (20, None)}


@dataclass(frozen=True)
class Finding:
    """One lint finding; ``line`` and ``column`` are 0 when the rule could not be located."""

    type_name: str
    field: str
    kind: str
    message: str
    line: int = 0
    column: int = 0

    def render(self, source_name: str) -> str:
        """``SOURCE:LINE:COL: Type.field: message (kind)``, the form ``check`` prints issues in."""
        path = f"{self.type_name}.{self.field}"
        return text_line(source_name, self.line, self.column, path, self.message, self.kind)


def lint(text: str) -> list[Finding]:
    """The findings for a schema text, in text order. Raises ``ParseError`` as ``Schema.parse``."""
    described = Schema.parse(text).describe()
    positions = _rule_positions(text)
    findings: list[Finding] = []
    for name, d in described.items():
        if d["kind"] != "object":
            continue
        for f in d["fields"]:
            where = positions.get((name, f["name"]), [])
            findings.extend(_field(name, f, where))
    return sorted(findings, key=lambda x: (x.line, x.column))


def _field(type_name: str, f: dict[str, Any], where: list[tuple[int, int]]) -> list[Finding]:
    t = f["type"]
    kind = t["kind"]
    rules = f["rules"]
    out: list[Finding] = []

    def at(i: int, k: str, message: str) -> None:
        line, col = where[i] if i < len(where) else (0, 0)
        out.append(Finding(type_name, f["name"], k, message, line, col))

    shown = _type_text(t)
    for i, r in enumerate(rules):
        name = r["rule"]
        if name not in APPLIES[kind]:
            hint = " (rules read the array itself, not its elements)" if kind == "array" else ""
            at(i, NEVER_APPLIES, f"`@{name}` reads {NEEDS[name]}, which a `{shown}` value "
               f"never is, so it checks nothing{hint}")
        elif kind == "float" and name == "range":
            at(i, PARTLY_APPLIES, "`@range` on `f64` checks only values that arrive as integers; "
               "any number with a fraction or an exponent passes unchecked")

    def spans(lo_rule: str, hi_rule: str) -> None:
        lows = [(r["value"], i) for i, r in enumerate(rules) if r["rule"] == lo_rule]
        highs = [(r["value"], i) for i, r in enumerate(rules) if r["rule"] == hi_rule]
        if lows and highs and lo_rule in APPLIES[kind]:
            lo, i = max(lows)
            hi, j = min(highs)
            if lo > hi:
                at(max(i, j), CONTRADICTION,
                   f"`@{lo_rule}({lo})` and `@{hi_rule}({hi})` leave no value that passes both")

    spans("min_len", "max_len")
    spans("min_items", "max_items")

    if kind in DATE_LENGTHS:
        shortest, longest = DATE_LENGTHS[kind]
        for i, r in enumerate(rules):
            if r["rule"] == "min_len" and longest is not None and r["value"] > longest:
                at(i, CONTRADICTION, f"every `{shown}` is {longest} characters long, "
                   f"so `@min_len({r['value']})` rejects them all")
            if r["rule"] == "max_len" and r["value"] < shortest:
                size = "" if shortest == longest else "at least "
                at(i, CONTRADICTION, f"every `{shown}` is {size}{shortest} characters long, "
                   f"so `@max_len({r['value']})` rejects them all")
            # A date's text is one label of digits and hyphens: always a host name, and
            # never any of the other formats. A date-time holds `:` and `T`: none of them.
            if r["rule"] == "format" and not (kind == "date" and r["value"] == "hostname"):
                at(i, CONTRADICTION,
                   f"no `{shown}` text is a valid {r['value']}, so `@format` rejects them all")
    if kind == "enum":
        _enum(t["values"], rules, at)
    if kind in ("int", "float"):
        _ranges(t, rules, at)
    return out


def _enum(values: list[str], rules: list[dict[str, Any]], at: Any) -> None:
    for i, r in enumerate(rules):
        if r["rule"] == "format":
            probe = Schema.parse(f'schema P {{ v: String @format("{r["value"]}") }}').validator("P")
            passing = []
            for v in values:
                try:
                    probe({"v": v})
                    passing.append(v)
                except ValidationError:
                    pass
        elif r["rule"] in ("min_len", "max_len"):
            m = r["value"]
            passing = [v for v in values if (len(v) >= m if r["rule"] == "min_len" else len(v) <= m)]
        else:
            continue
        if not passing:
            at(i, CONTRADICTION, f"no value of the enum passes `@{_rule_text(r)}`")


def _ranges(t: dict[str, Any], rules: list[dict[str, Any]], at: Any) -> None:
    ranges = [(r["min"], r["max"], i) for i, r in enumerate(rules) if r["rule"] == "range"]
    for a in range(len(ranges)):
        for b in range(a):
            lo1, hi1, _ = ranges[b]
            lo2, hi2, i = ranges[a]
            if lo2 > hi1 or lo1 > hi2:
                at(i, DISJOINT_RANGES, f"`@range({lo2}..={hi2})` does not overlap "
                   f"`@range({lo1}..={hi1})`, so no value passes both")
    if t["kind"] == "int":
        tlo, thi = INT_BOUNDS[t["name"]]
        for lo, hi, i in ranges:
            if lo > thi or hi < tlo:
                at(i, DISJOINT_RANGES, f"`@range({lo}..={hi})` lies outside the range of "
                   f"`{t['name']}` ({tlo}..={thi}), so no value passes")


def _rule_text(r: dict[str, Any]) -> str:
    if r["rule"] == "range":
        return f"range({r['min']}..={r['max']})"
    return f"{r['rule']}({r['value']})"


def _type_text(t: dict[str, Any]) -> str:
    kind = t["kind"]
    if kind == "int":
        return str(t["name"])
    if kind == "array":
        return f"[{_type_text(t['item'])}{'?' if t['item_nullable'] else ''}]"
    if kind == "ref":
        return str(t["name"])
    if kind == "enum":
        return "enum"
    names = {"float": "f64", "string": "String", "date": "Date", "datetime": "DateTime"}
    return names.get(kind, str(kind))


# Lexing, only as far as positions need: the text has parsed already, so every token is
# well formed and the lexer can trust it.

_PUNCT = set("{}[]():?@,")


@dataclass(frozen=True)
class _Tok:
    kind: str  # "ident", "str", "num", a punctuation character, "..=" or "eof"
    text: str
    line: int
    column: int


def _ident_char(c: str) -> bool:
    if c.isascii():
        return c.isalnum() or c == "_"
    return c.isalpha() or unicodedata.category(c) in ("Nd", "Nl", "No", "Mn", "Mc")


def tokens(text: str) -> list[_Tok]:
    """The schema text's tokens with their 1-based line and column (columns in characters)."""
    out: list[_Tok] = []
    i, line, col, n = 0, 1, 1, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            i, line, col = i + 1, line + 1, 1
            continue
        if c.isspace():
            i, col = i + 1, col + 1
            continue
        if c == "/" and text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            col += end - i
            i = end
            continue
        start = i
        if c == '"':
            j = text.index('"', i + 1)
            out.append(_Tok("str", text[i + 1 : j], line, col))
            i = j + 1
        elif c in _PUNCT:
            out.append(_Tok(c, c, line, col))
            i += 1
        elif text.startswith("..=", i):
            out.append(_Tok("..=", "..=", line, col))
            i += 3
        elif c == "-" or c.isdigit():
            j = i + 1
            while j < n and (text[j].isascii() and (text[j].isdigit() or text[j] == "_")):
                j += 1
            out.append(_Tok("num", text[i:j], line, col))
            i = j
        else:
            j = i + 1
            while j < n and _ident_char(text[j]):
                j += 1
            out.append(_Tok("ident", text[i:j], line, col))
            i = j
        col += i - start
    out.append(_Tok("eof", "", line, col))
    return out


def _rule_positions(text: str) -> dict[tuple[str, str], list[tuple[int, int]]]:
    """For each (schema name, field name), the position of each of its rules' ``@``."""
    toks = tokens(text)
    found: dict[tuple[str, str], list[tuple[int, int]]] = {}
    i = 0

    def skip_type(i: int) -> int:
        if toks[i].kind == "[":
            i = skip_type(i + 1) + 1  # past `]`
        elif toks[i].kind == "ident" and toks[i].text == "enum":
            while toks[i].kind != "}":
                i += 1
            i += 1
        else:
            i += 1
        if toks[i].kind == "?":
            i += 1
        return i

    while toks[i].kind != "eof":
        if toks[i].text == "schema" and toks[i].kind == "ident":
            name = toks[i + 1].text
            i += 3  # `schema`, name, `{`
            while toks[i].kind != "}":
                field = toks[i].text
                i += 2  # name, `:`
                if toks[i].kind == "ident" and toks[i].text == "optional":
                    i += 1
                i = skip_type(i)
                spots = found.setdefault((name, field), [])
                while toks[i].kind == "@":
                    spots.append((toks[i].line, toks[i].column))
                    while toks[i].kind != ")":
                        i += 1
                    i += 1
            i += 1
        else:
            # A union: nothing in it carries rules.
            while toks[i].kind != "}":
                i += 1
            i += 1
    return found
