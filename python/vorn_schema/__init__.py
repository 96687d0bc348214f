"""Schema validation for Python payloads and JSON text."""

from __future__ import annotations

import copyreg as _copyreg

from ._vorn import Issue, Issues, Limits, ParseError, Schema, Validator, __version__

__all__ = [
    "Schema",
    "Validator",
    "Issue",
    "Limits",
    "Issues",
    "ParseError",
    "ValidationError",
    "ErrorDict",
    "IssueRecord",
    "IssueList",
    "TypedValidator",
    "json_default",
    "to_json_schema",
    "__version__",
]

# `typing` takes several times longer to import than the rest of the package, so only type
# checkers read it: they see the generic and TypedDict forms below, and at run time
# `TypedValidator[T]` is the class itself and `ErrorDict` is made on first use.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Generic, TypedDict, TypeVar

    _T = TypeVar("_T")

    class ErrorDict(TypedDict):
        """One issue as plain data: what ``ValidationError.errors()`` lists."""

        path: str
        code: str
        message: str

    class _Subscriptable(Generic[_T]):
        __slots__ = ()

else:
    _T = "_T"

    class _Subscriptable:
        __slots__ = ()

        def __class_getitem__(cls, item):
            return cls

    def __getattr__(name):
        if name != "ErrorDict":
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        from typing import TypedDict

        class ErrorDict(TypedDict):
            """One issue as plain data: what ``ValidationError.errors()`` lists."""

            path: str
            code: str
            message: str

        ErrorDict.__qualname__ = "ErrorDict"
        globals()["ErrorDict"] = ErrorDict
        return ErrorDict

    def __dir__():
        return sorted({*globals(), "ErrorDict"})


class IssueRecord:
    """One issue read back from an unpickled ``ValidationError``; reads like ``Issue``."""

    __slots__ = ("path", "code", "message", "_repr")

    def __init__(self, path: str, code: str, message: str, repr_text: str) -> None:
        self.path = path
        self.code = code
        self.message = message
        # The extension's repr escapes characters by rules of its own; keeping its text
        # is simpler and exact.
        self._repr = repr_text

    def __str__(self) -> str:
        return f"{self.path}: {self.message} ({self.code})"

    def __repr__(self) -> str:
        return self._repr

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, IssueRecord):
            return NotImplemented
        return (self.path, self.code, self.message) == (other.path, other.code, other.message)

    def __hash__(self) -> int:
        return hash((self.path, self.code, self.message))


class IssueList:
    """The issues of a ``ValidationError`` that crossed a pickle; reads like ``Issues``."""

    # `Issues` owns engine values and cannot be pickled, so pickling a ValidationError puts
    # this in its place: the same issues as Python strings, answering the same read methods
    # with the same results.
    __slots__ = ("_records",)

    def __init__(self, records: list[IssueRecord]) -> None:
        self._records = list(records)

    @classmethod
    def of(cls, issues: Issues | IssueList) -> IssueList:
        """The same issues, read from ``Issues`` or another ``IssueList``."""
        return cls([IssueRecord(i.path, i.code, i.message, repr(i)) for i in issues.list()])

    def __len__(self) -> int:
        return len(self._records)

    def list(self) -> list[IssueRecord]:
        """Every issue, in order."""
        return list(self._records)

    def summary(self) -> str:
        """The first issue and how many more, as ``Issues.summary`` words it."""
        if not self._records:
            return "validation failed"
        first = str(self._records[0])
        more = len(self._records) - 1
        return f"{first}, and {more} more" if more else first

    def first_path(self) -> str:
        """The first issue's path, or ``""`` when there is none."""
        return self._records[0].path if self._records else ""

    def first_code(self) -> str:
        """The first issue's code, or ``""`` when there is none."""
        return self._records[0].code if self._records else ""

    def first_message(self) -> str:
        """The first issue's message, or ``""`` when there is none."""
        return self._records[0].message if self._records else ""

    def __reduce__(self) -> tuple[Any, ...]:
        rows = [(r.path, r.code, r.message, r._repr) for r in self._records]
        return (_issue_list, (rows,))


def _issue_list(rows: list[tuple[str, str, str, str]]) -> IssueList:
    return IssueList([IssueRecord(*row) for row in rows])


class ValidationError(Exception):
    """A payload does not conform; ``issues`` holds every problem found."""

    # No __init__ of its own: the extension raises the class with the `Issues` object as its
    # only argument, `args[0]`, and nothing is rendered until it is read.

    @property
    def issues(self) -> Issues | IssueList:
        """Every problem found, in depth-first order of the payload."""
        return self.args[0]  # type: ignore[no-any-return]

    def errors(self) -> list[ErrorDict]:
        """Every issue as a ``{"path", "code", "message"}`` dict, in issue order."""
        return [
            {"path": i.path, "code": i.code, "message": i.message} for i in self.issues.list()
        ]

    def _has_issues(self) -> bool:
        return len(self.args) == 1 and isinstance(self.args[0], (Issues, IssueList))

    def __str__(self) -> str:
        if self._has_issues():
            return self.args[0].summary()  # type: ignore[no-any-return]
        return super().__str__()

    def __repr__(self) -> str:
        if not self._has_issues():
            return super().__repr__()
        issues = self.args[0]
        n = len(issues)
        if n == 0:
            return "ValidationError(0 issues)"
        first = f"{issues.first_path()}: {issues.first_message()} ({issues.first_code()})"
        return f"ValidationError({n} issue{'s' if n != 1 else ''}, first: {first})"

    def __reduce__(self) -> tuple[Any, ...]:
        args = (IssueList.of(self.args[0]),) if self._has_issues() else self.args
        return (type(self), args, self.__dict__ or None)


def _parse_error(*args: Any) -> ParseError:
    return ParseError(*args)


def _reduce_parse_error(e: ParseError) -> tuple[Any, ...]:
    return (_parse_error, e.args, e.__dict__ or None)


# ParseError's class lives in the extension module, which pickle cannot import by its name
# `_vorn`; without this, a worker process that raises it fails with a PicklingError instead.
_copyreg.pickle(ParseError, _reduce_parse_error)


def json_default(value: object) -> str:
    """``json.dumps(result, default=json_default)``: dates and date-times as ISO 8601 text.

    Everything else a result holds is already JSON data; a tuple, which the Python road may
    pass through for an array, serialises as a list without help.
    """
    import datetime  # here, so that importing the package does not import it

    if isinstance(value, (datetime.date, datetime.datetime)):
        return value.isoformat()
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


class TypedValidator(_Subscriptable[_T]):
    """A validator whose result is typed as ``T``, usually a generated ``TypedDict``.

    ``orders = TypedValidator[Order](schema.validator("Order"))`` checks nothing more than the
    wrapped validator: the type is a promise the schema keeps, so generate ``T`` from the same
    schema (``python -m vorn_schema typeddict``).
    """

    __slots__ = ("validator",)

    def __init__(self, validator: Validator) -> None:
        self.validator = validator

    def __call__(self, payload: object) -> _T:
        """The validated result, typed as ``T``; raises as the wrapped validator does."""
        return self.validator(payload)  # type: ignore[return-value]

    def validate(self, payload: object) -> _T:
        """The same as calling the typed validator."""
        return self.validator(payload)  # type: ignore[return-value]

    @property
    def type_name(self) -> str:
        """The name of the type the wrapped validator checks."""
        return self.validator.type_name

    def __repr__(self) -> str:
        return f"TypedValidator({self.validator!r})"


def to_json_schema(schema: Schema, type_name: str | None = None) -> dict[str, Any]:
    """The schema as a JSON Schema (draft 2020-12) document; see ``vorn_schema.export``."""
    from .export import to_json_schema as export

    return export(schema, type_name)
