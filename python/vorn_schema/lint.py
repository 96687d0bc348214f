"""Rules that check nothing, that no value can pass, or that are written twice.

``lint`` finds these kinds of mistakes in a schema that already parses:

- ``never-applies``: the rule cannot read any value the field's type accepts (and
  ``partly-applies`` for ``@range`` on ``f64``, which reads integer values only);
- ``contradiction``: the rule, alone or with another, rejects every value the type accepts;
- ``disjoint-ranges``: two ``@range`` rules (or a range and the integer type's own range)
  that do not overlap;
- ``repeated-rule``: the same rule written twice on one field;
- ``shadows-json``: a declaration named ``Json``, which fields typed ``Json`` then name
  instead of the type of any JSON value.
"""

# The schema language accepts any rule on any field, and validation silently skips a rule
# that cannot read the field's value, so `price: f64 @range(0..=100)` still lets `2.5e9`
# through; nothing but lint points that out. The parsed schema keeps no positions, so the
# rules are located by lexing the text again here.

from __future__ import annotations

import unicodedata
from collections.abc import Callable
from dataclasses import dataclass

from . import ValidationError, model
from ._positions import text_line
from ._vorn import Schema
from .model import (
    DateTimeType,
    DateType,
    EnumType,
    Field,
    FloatType,
    IntType,
    JsonType,
    MapType,
    Rule,
    StringType,
)

NEVER_APPLIES = "never-applies"
# A variant of the first kind: `@range` on `f64` reads the integers among its values only.
PARTLY_APPLIES = "partly-applies"
CONTRADICTION = "contradiction"
DISJOINT_RANGES = "disjoint-ranges"
REPEATED_RULE = "repeated-rule"
SHADOWS_JSON = "shadows-json"

# The length in characters of every text a format accepts, as (shortest, longest). Derived
# from each recogniser: a uuid is 8-4-4-4-12 hex digits; an ipv4 is four pieces of 1 to 3
# digits; an ipv6 runs from `::` to six groups of four and an embedded ipv4 (45); a host
# name has 1 to 253 characters; an e-mail address has a local part of 1 to 64 bytes, an
# `@`, and a host name of at least one dot (`a@b.c` is the shortest). All but the local
# part are ASCII, so these byte bounds are character bounds too.
FORMAT_LENGTHS = {
    "uuid": (36, 36),
    "ipv4": (7, 15),
    "ipv6": (2, 45),
    "hostname": (1, 253),
    "email": (5, 64 + 1 + 253),
}
# The length of every accepted value of the date types, in characters.
DATE_LENGTHS: dict[type, tuple[int, int | None]] = {DateType: (10, 10), DateTimeType: (20, None)}

At = Callable[[int, str, str], None]


@dataclass(frozen=True)
class Finding:
    """One lint finding; ``line`` and ``column`` are 0 when the rule could not be located."""

    type_name: str
    field: str
    kind: str
    message: str
    line: int = 0
    column: int = 0

    @property
    def subject(self) -> str:
        """``Type.field``, or ``Type`` for a finding about a declaration (``field`` empty)."""
        return f"{self.type_name}.{self.field}" if self.field else self.type_name

    def render(self, source_name: str) -> str:
        """``SOURCE:LINE:COL: Type.field: message (kind)``, the form ``check`` prints issues in."""
        return text_line(source_name, self.line, self.column, self.subject, self.message, self.kind)


def lint(text: str) -> list[Finding]:
    """The findings for a schema text, in text order. Raises ``ParseError`` as ``Schema.parse``."""
    description = model.read(Schema.parse(text))
    positions, declared_at = _positions(text)
    findings: list[Finding] = []
    if "Json" in description.declarations:
        line, column = declared_at["Json"]
        findings.append(Finding("Json", "", SHADOWS_JSON, "this declaration takes the name "
                                "`Json`, so fields typed `Json` name it rather than the type of "
                                "any JSON value; rename it to keep both", line, column))
    for d in description.objects:
        for f in d.fields:
            findings.extend(_field(d.name, f, positions.get((d.name, f.name), [])))
    return sorted(findings, key=lambda x: (x.line, x.column))


def _field(type_name: str, f: Field, where: list[tuple[int, int]]) -> list[Finding]:
    out: list[Finding] = []
    flagged: set[int] = set()

    def at(i: int, k: str, message: str) -> None:
        line, col = where[i] if i < len(where) else (0, 0)
        flagged.add(i)
        out.append(Finding(type_name, f.name, k, message, line, col))

    _reads(f, at)
    _spans(f, "min_len", "max_len", at)
    _spans(f, "min_items", "max_items", at)
    if type(f.type) in DATE_LENGTHS:
        _date(f, at)
    if isinstance(f.type, StringType):
        _format_lengths(f, at)
    if isinstance(f.type, EnumType):
        _enum(f.type.values, f.rules, at)
    if isinstance(f.type, (IntType, FloatType)):
        _ranges(f.type, f.rules, at)
    # Last, so that a rule already reported for something worse is not reported again.
    first: dict[str, Rule] = {}
    for i, r in enumerate(f.rules):
        if r.name in first and i not in flagged:
            at(i, REPEATED_RULE, f"`@{r.text()}` repeats `@{first[r.name].text()}`; "
               "both apply, so write the rule once")
        first.setdefault(r.name, r)
    return out


def _reads(f: Field, at: At) -> None:
    shown = model.type_text(f.type)
    for i, r in enumerate(f.rules):
        if isinstance(f.type, JsonType):
            at(i, NEVER_APPLIES, f"no rule applies to a `Json` value, whatever it holds, "
               f"so `@{r.name}` checks nothing")
        elif isinstance(f.type, MapType) and not model.applies(r.name, f.type):
            at(i, NEVER_APPLIES, f"only `@min_items` and `@max_items` apply to a map (they "
               f"count its members), so `@{r.name}` checks nothing")
        elif not model.applies(r.name, f.type):
            hint = ""
            if isinstance(f.type, model.ArrayType):
                hint = " (rules read the array itself, not its elements)"
            at(i, NEVER_APPLIES, f"`@{r.name}` reads {model.READS[r.name]}, which a `{shown}` "
               f"value never is, so it checks nothing{hint}")
        elif isinstance(f.type, FloatType) and r.name == "range":
            at(i, PARTLY_APPLIES, "`@range` on `f64` checks only values that arrive as integers; "
               "any number with a fraction or an exponent passes unchecked")


def _spans(f: Field, lo_rule: str, hi_rule: str, at: At) -> None:
    if not model.applies(lo_rule, f.type):
        return
    lows = [(r.number, i) for i, r in enumerate(f.rules) if r.name == lo_rule]
    highs = [(r.number, i) for i, r in enumerate(f.rules) if r.name == hi_rule]
    if lows and highs:
        lo, i = max(lows)
        hi, j = min(highs)
        if lo > hi:
            at(max(i, j), CONTRADICTION,
               f"`@{lo_rule}({lo})` and `@{hi_rule}({hi})` leave no value that passes both")


def _date(f: Field, at: At) -> None:
    shown = model.type_text(f.type)
    shortest, longest = DATE_LENGTHS[type(f.type)]
    for i, r in enumerate(f.rules):
        if r.name == "min_len" and longest is not None and r.number > longest:
            at(i, CONTRADICTION, f"every `{shown}` is {longest} characters long, "
               f"so `@min_len({r.number})` rejects them all")
        if r.name == "max_len" and r.number < shortest:
            size = "" if shortest == longest else "at least "
            at(i, CONTRADICTION, f"every `{shown}` is {size}{shortest} characters long, "
               f"so `@max_len({r.number})` rejects them all")
        # A date's text is one label of digits and hyphens: always a host name, and
        # never any of the other formats. A date-time holds `:` and `T`: none of them.
        if r.name == "format" and not (isinstance(f.type, DateType) and r.value == "hostname"):
            at(i, CONTRADICTION,
               f"no `{shown}` text is a valid {r.value}, so `@format` rejects them all")


def _format_lengths(f: Field, at: At) -> None:
    for i, fmt in enumerate(f.rules):
        if fmt.name != "format":
            continue
        shortest, longest = FORMAT_LENGTHS[str(fmt.value)]
        size = f"{shortest}" if shortest == longest else f"{shortest} to {longest}"
        for j, r in enumerate(f.rules):
            if (r.name == "min_len" and r.number > longest) or (
                r.name == "max_len" and r.number < shortest
            ):
                at(max(i, j), CONTRADICTION, f"every valid {fmt.value} is {size} characters "
                   f"long, so `@{fmt.text()}` and `@{r.text()}` leave no value that passes both")


def _enum(values: tuple[str, ...], rules: tuple[Rule, ...], at: At) -> None:
    for i, r in enumerate(rules):
        if r.name == "format":
            probe = Schema.parse(f'schema P {{ v: String @format("{r.value}") }}').validator("P")
            passing = []
            for v in values:
                try:
                    probe({"v": v})
                    passing.append(v)
                except ValidationError:
                    pass
        elif r.name in ("min_len", "max_len"):
            m = r.number
            passing = [v for v in values if (len(v) >= m if r.name == "min_len" else len(v) <= m)]
        else:
            continue
        if not passing:
            at(i, CONTRADICTION, f"no value of the enum passes `@{r.text()}`")


def _ranges(t: IntType | FloatType, rules: tuple[Rule, ...], at: At) -> None:
    ranges = [(*r.bounds, i) for i, r in enumerate(rules) if r.name == "range"]
    for a in range(len(ranges)):
        for b in range(a):
            lo1, hi1, _ = ranges[b]
            lo2, hi2, i = ranges[a]
            if lo2 > hi1 or lo1 > hi2:
                at(i, DISJOINT_RANGES, f"`@range({lo2}..={hi2})` does not overlap "
                   f"`@range({lo1}..={hi1})`, so no value passes both")
    if isinstance(t, IntType):
        tlo, thi = t.bounds
        for lo, hi, i in ranges:
            if lo > thi or hi < tlo:
                at(i, DISJOINT_RANGES, f"`@range({lo}..={hi})` lies outside the range of "
                   f"`{t.name}` ({tlo}..={thi}), so no value passes")


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


def _positions(
    text: str,
) -> tuple[dict[tuple[str, str], list[tuple[int, int]]], dict[str, tuple[int, int]]]:
    """Where the rules and the declarations are.

    For each (schema name, field name), the position of each of its rules' ``@``; for each
    declaration, the position of its name.
    """
    toks = tokens(text)
    found: dict[tuple[str, str], list[tuple[int, int]]] = {}
    declared: dict[str, tuple[int, int]] = {}
    i = 0

    def skip_type(i: int) -> int:
        if toks[i].kind == "[":
            i = skip_type(i + 1)
            if toks[i].kind == ":":  # a map: `[K: V]`
                i = skip_type(i + 1)
            i += 1  # past `]`
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
        declared[toks[i + 1].text] = (toks[i + 1].line, toks[i + 1].column)
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
    return found, declared
