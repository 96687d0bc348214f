"""Placing issues in files: where each one sits, and the forms a placed issue is printed in.

Used by the command line and lint only, so ``import vorn_schema`` never loads it.
"""

# The engine keeps no positions, so a JSON text that failed is read a second time here. Only
# the containers an issue's path passes through are read member by member, and an array only
# as far as the element wanted; every other value is skipped by the standard library's JSON
# decoder, which runs in C. The text has already parsed, so the reader trusts its syntax; if
# it meets something unexpected all the same, the issue is placed at 1:1.

from __future__ import annotations

import bisect
import json
import re
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ._vorn import Schema

_PARSE_ERROR = re.compile(r"(\d+):(\d+): (.*)", re.S)

_WS = re.compile(r"[ \t\n\r]*")
# A member's key, and the colon and white space before its value.
_KEY = re.compile(r'"([^"\\]*(?:\\.[^"\\]*)*)"[ \t\n\r]*:[ \t\n\r]*', re.S)
# The comma or closing bracket after a value, with the white space around it.
_NEXT = re.compile(r"[ \t\n\r]*([,\]}])[ \t\n\r]*")
# Skipping a value builds nothing that lasts: `len` stands in for every number and object.
_SKIP = json.JSONDecoder(strict=False, parse_int=len, parse_float=len, object_pairs_hook=len)

# Issues about the document as a whole, found while it was being read: 1:1, since the text
# after the point where reading stopped may not even be JSON.
_LIMIT_CODES = ("depth_exceeded", "size_exceeded")
_ROOT = "<root>"


def parse_error_parts(error: BaseException) -> tuple[int, int, str]:
    """The line, column and message of a ``ParseError``, read from its ``LINE:COL: message`` text.

    Raises ``ValueError`` for a text of another form.
    """
    m = _PARSE_ERROR.fullmatch(str(error))
    if m is None:
        raise ValueError(f"not a `LINE:COL: message` text: {error}")
    return int(m[1]), int(m[2]), m[3]


def text_line(source: str, line: int, column: int, path: str, message: str, code: str) -> str:
    """``SOURCE:LINE:COL: PATH: MESSAGE (CODE)``; without ``LINE:COL`` when ``line`` is 0."""
    where = f"{source}:{line}:{column}" if line else source
    return f"{where}: {path}: {message} ({code})"


def github_line(source: str, line: int, column: int, path: str, message: str, code: str) -> str:
    """The same issue as a GitHub Actions ``::error`` annotation."""
    props = f"file={_escape(source, True)}"
    if line:
        props += f",line={line},col={column}"
    return f"::error {props}::{_escape(f'{path}: {message} ({code})', False)}"


def _escape(text: str, prop: bool) -> str:
    text = text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")
    if prop:
        text = text.replace(":", "%3A").replace(",", "%2C")
    return text


class _Malformed(Exception):
    pass


# A place found for an issue: the chain of value offsets from the node where the search
# started down to the value found, and the offset to report (a member's key, or the value).
_Place = tuple[tuple[int, ...], int]


def _merge(a: _Place | None, b: _Place | None) -> _Place | None:
    """One place for two readings of a path: their deepest common value, unless they agree."""
    if a is None or a == b:
        return b
    if b is None:
        return a
    n = 0
    while n < min(len(a[0]), len(b[0])) and a[0][n] == b[0][n]:
        n += 1
    chain = a[0][:n]
    return chain, chain[-1]


def declared_names(schema: Schema) -> frozenset[str]:
    """Every field and tag name the schema declares."""
    from .model import read

    description = read(schema)
    names = {f.name for d in description.objects for f in d.fields}
    names.update(u.tag for u in description.unions)
    return frozenset(names)


class Locator:
    """Finds the line and column, in bytes, where the issues of one JSON text sit.

    ``names``, the names the schema declares (``declared_names``), tells a member the
    validator walked through, or found missing, from one it did not: with them, a path
    such as ``a.b`` has one reading in most documents that hold both ``a.b`` and ``a``.
    """

    def __init__(self, data: bytes, names: frozenset[str] | None = None) -> None:
        # Offsets below are in characters; only a column is turned into bytes.
        self.text = data.decode("utf-8", "replace")
        self.names = names
        self._ascii = len(self.text) == len(data)
        # Containers read so far, by the offset of their `{` or `[`; an array keeps where
        # its reading stopped, or -1 once it is read to its end.
        self._objects: dict[int, dict[str, tuple[int, int]]] = {}
        self._arrays: dict[int, tuple[list[int], int]] = {}
        # The last position placed, as (offset, line, offset of its line's start, column):
        # issues come roughly in text order, so the next is counted from there.
        self._cursor = (0, 1, 0, 1)

    def locate(self, path: str, code: str) -> tuple[int, int]:
        """The line and column where the value an issue is about starts.

        For a missing member, that is the object that lacks it; for an undeclared member, its
        key. A path that renders alike for several values (names holding ``.`` or ``[``, or
        empty names) gives their nearest common container.
        """
        if path == _ROOT and code in _LIMIT_CODES:
            return 1, 1
        try:
            root = self._ws(0)
            found = None
            # The empty path and a path of empty names render as `<root>`, and so does a
            # member named `<root>`.
            for target in ("", _ROOT) if path == _ROOT else (path,):
                found = _merge(found, _Search(self, target, code).match(root, 0, False))
        except (_Malformed, ValueError, IndexError):  # ValueError: what the decoder raises
            found = None
        return self._line_column(found[1] if found else 0)

    def _line_column(self, offset: int) -> tuple[int, int]:
        text = self.text
        at, line, start, column = self._cursor
        if offset >= at:
            breaks = text.count("\n", at, offset)
        else:
            breaks = -text.count("\n", offset, at)
        if breaks:
            line += breaks
            start = text.rfind("\n", 0, offset) + 1
            at, column = start, 1
        if self._ascii:
            column = offset - start + 1
        elif offset >= at:
            column += len(text[at:offset].encode())
        else:
            column -= len(text[offset:at].encode())
        self._cursor = (offset, line, start, column)
        return line, column

    def _ws(self, i: int) -> int:
        end = _WS.match(self.text, i).end()  # type: ignore[union-attr]  # matches the empty text
        if end >= len(self.text):
            raise _Malformed
        return end

    def _next(self, i: int) -> tuple[str, int]:
        """The comma or bracket after the value that ends at ``i``, and where the next starts."""
        m = _NEXT.match(self.text, i)
        if m is None:
            raise _Malformed
        return m[1], m.end()

    def members(self, i: int) -> dict[str, tuple[int, int]]:
        """The object at ``i``: each member's decoded name and the offsets of its key and value.

        A name given twice keeps its first place and takes the last value, as the engine does;
        the key shown for it is the one written with that value.
        """
        found = self._objects.get(i)
        if found is not None:
            return found
        found = {}
        text = self.text
        j = self._ws(i + 1)
        while text[j] != "}":
            m = _KEY.match(text, j)
            if m is None:
                raise _Malformed
            name = m[1] if "\\" not in m[1] else _SKIP.raw_decode(text, j)[0]
            found[name] = (j, m.end())
            after, j = self._next(_SKIP.raw_decode(text, m.end())[1])
            if after == "}":
                break
        self._objects[i] = found
        return found

    def item(self, i: int, index: int) -> int | None:
        """The offset of element ``index`` of the array at ``i``, or None past its end."""
        text = self.text
        entry = self._arrays.get(i)
        if entry is None:
            j = self._ws(i + 1)
            entry = ([], -1 if text[j] == "]" else j)
        starts, j = entry
        while j >= 0 and len(starts) <= index:
            starts.append(j)
            after, j = self._next(_SKIP.raw_decode(text, j)[1])
            if after == "]":
                j = -1
        self._arrays[i] = (starts, j)
        return starts[index] if index < len(starts) else None


class _Search:
    """Every reading of one rendered path against the document, merged into one place."""

    def __init__(self, doc: Locator, target: str, code: str) -> None:
        self.doc = doc
        self.target = target
        self.code = code
        # Where a name may end: before a `.` or a `[`, or at the end of the path.
        self.ends = [k for k, c in enumerate(target) if c in ".["] + [len(target)]
        self.memo: dict[tuple[int, int, bool], _Place | None] = {}

    def match(self, node: int, pos: int, written: bool) -> _Place | None:
        """The place for ``target[pos:]`` read from the value at ``node``.

        ``written`` says whether the rendered text before ``pos`` is non-empty, so that a
        name there follows a ``.``.
        """
        key = (node, pos, written)
        if key not in self.memo:
            self.memo[key] = self._match(node, pos, written)
        return self.memo[key]

    def _match(self, node: int, pos: int, written: bool) -> _Place | None:
        t = self.target
        found: _Place | None = None
        if pos == len(t) and self.code not in ("required", "unknown_field"):
            found = (node,), node
        kind = self.doc.text[node]
        if kind == "{" and (not written or t.startswith(".", pos)):
            start = pos + 1 if written else pos
            members = self.doc.members(node)
            names = self.doc.names
            # The name may be empty, or end at any later `.`, `[` or the end of the path.
            for end in [start] + self.ends[bisect.bisect_right(self.ends, start) :]:
                name = t[start:end]
                member = members.get(name)
                declared = names is None or name in names
                if member is None:
                    if self.code == "required" and end == len(t) and declared:
                        found = _merge(found, ((node,), node))
                    continue
                key_at, value_at = member
                if self.code == "unknown_field" and end == len(t):
                    found = _merge(found, ((node, value_at), key_at))
                if not declared:
                    continue
                below = self.match(value_at, end, written or bool(name))
                if below is not None:
                    found = _merge(found, ((node,) + below[0], below[1]))
        elif kind == "[" and t.startswith("[", pos):
            close = t.find("]", pos)
            index = _index(t[pos + 1 : close]) if close > pos else None
            item = None if index is None else self.doc.item(node, index)
            if item is not None:
                below = self.match(item, close + 1, True)
                if below is not None:
                    found = _merge(found, ((node,) + below[0], below[1]))
        return found


def _index(digits: str) -> int | None:
    # Indexes render in plain decimal, so `[01]` and `[+1]` name no element.
    if digits.isascii() and digits.isdecimal() and str(int(digits)) == digits:
        return int(digits)
    return None
