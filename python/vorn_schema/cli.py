"""The ``vorn-schema`` command (also ``python -m vorn_schema``).

Exit status: 0 when everything passed, 1 when a payload failed or lint found something,
2 for a schema, usage or I/O error, 130 when interrupted.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import signal
import sys
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from typing import IO, TYPE_CHECKING, NoReturn, TypedDict

from . import ValidationError, __version__
from ._positions import Locator, declared_names, github_line, parse_error_parts, text_line
from ._vorn import Limits, ParseError, Schema, Validator

if TYPE_CHECKING:
    from multiprocessing.pool import AsyncResult, Pool

STDIN = "<stdin>"
# JSON Lines are sent to worker processes in chunks, so that pickling and queueing cost
# little next to validation.
CHUNK = 512
# More workers than this is a typo, not a plan, and would fork that many processes.
MAX_JOBS = 1024
U64_MAX = 2**64 - 1

# How `text` and `github` print one placed issue (`json` writes records instead).
LINE_FORMS = {"text": text_line, "github": github_line}


class UsageError(Exception):
    """A problem reported with exit status 2, as ``PREFIX: message``."""


def read_schema_text(path: str) -> tuple[Schema, str]:
    """Reads and parses a schema file; a ``ParseError`` reads ``PATH:LINE:COL: message``."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise UsageError(f"{path}: {_os_message(e)}") from None
    try:
        return Schema.parse(text), text
    except ParseError as e:
        line, column, message = parse_error_parts(e)
        raise UsageError(f"{path}:{line}:{column}: {message}") from None


def read_schema(path: str) -> Schema:
    """The parsed schema of a file; see ``read_schema_text``."""
    return read_schema_text(path)[0]


def _os_message(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e)


class Located(TypedDict):
    """One issue of a payload, placed in its file: an error of ``--format json``."""

    path: str
    code: str
    message: str
    line: int
    column: int


# One payload to check: its file, the line it starts on, and its bytes.
Unit = tuple[str, int, bytes]
# Its outcome: file, line, whether it passed, and its issues.
Outcome = tuple[str, int, bool, list[Located]]


def check_unit(validator: Validator, names: frozenset[str], unit: Unit) -> Outcome:
    """Validates one payload and places each issue in the payload's file.

    ``names`` are the schema's ``declared_names``.
    """
    name, first, data = unit
    # Positions count from the payload; a JSON Lines payload is one line of its file.
    try:
        validator(data)
    except ValidationError as e:
        doc = Locator(data, names)
        errors = []
        for err in e.errors():
            row, column = doc.locate(err["path"], err["code"])
            errors.append(Located(path=err["path"], code=err["code"], message=err["message"],
                                  line=first + row - 1, column=column))
        return (name, first, False, errors)
    except ParseError as e:
        row, column, message = parse_error_parts(e)
        fault = Located(path="<root>", code="invalid_json", message=message,
                        line=first + row - 1, column=column)
        return (name, first, False, [fault])
    return (name, first, True, [])


# A worker's validator and the schema's declared names.
_worker: tuple[Validator, frozenset[str]] | None = None


def _worker_init(schema_text: str, type_name: str, limits: tuple[int, int, int, int]) -> None:
    global _worker
    # A forked worker starts with Ctrl-C blocked (see _start_pool); one started afresh, by
    # the spawn or forkserver methods, may not, and ignores it from here on.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    schema = Schema.parse(schema_text)
    _worker = schema.validator(type_name, Limits(*limits)), declared_names(schema)


def _worker_chunk(units: list[Unit]) -> list[Outcome]:
    assert _worker is not None
    return [check_unit(*_worker, u) for u in units]


def _start_pool(jobs: int, schema_text: str, type_name: str, limits: Limits) -> Pool:
    import multiprocessing

    bounds = (limits.max_depth, limits.max_items, limits.max_string_bytes,
              limits.max_object_keys)
    # Ctrl-C reaches the whole process group. The workers are started with it blocked, so
    # only this process answers it, by ending them; a Ctrl-C meanwhile waits, it is not lost.
    blocking = hasattr(signal, "pthread_sigmask")
    if blocking:
        before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        return multiprocessing.Pool(jobs, _worker_init, (schema_text, type_name, bounds))
    except OSError as e:
        raise UsageError(f"cannot start {jobs} worker processes: {_os_message(e)}") from None
    finally:
        if blocking:
            signal.pthread_sigmask(signal.SIG_SETMASK, before)


def _pooled(pool: Pool, units: Iterator[Unit], jobs: int) -> Iterator[Outcome]:
    """The outcomes in input order.

    Input is read here, on the calling thread, a few chunks ahead of the workers, so memory
    stays bounded and Ctrl-C never waits for a read blocked in another thread.
    """
    pending: deque[AsyncResult[list[Outcome]]] = deque()
    for chunk in iter(lambda: list(itertools.islice(units, CHUNK)), []):
        pending.append(pool.apply_async(_worker_chunk, (chunk,)))
        while pending and (len(pending) > 2 * jobs or pending[0].ready()):
            yield from pending.popleft().get()
    while pending:
        yield from pending.popleft().get()


class Progress:
    """A one-line progress report on standard error.

    It shows only on a terminal and only once a run has taken two seconds, so quick runs and
    pipes see nothing.
    """

    def __init__(self, total_bytes: int, stream: IO[str] = sys.stderr) -> None:
        self.total = total_bytes
        self.stream = stream
        self.enabled = stream.isatty()
        self.start = time.monotonic()
        self.last = 0.0
        self.shown = False

    def update(self, done_bytes: int, payloads: int) -> None:
        """Shows how far the run is, at most ten times a second."""
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.start < 2.0 or now - self.last < 0.1:
            return
        self.last = now
        self.shown = True
        rate = payloads / (now - self.start)
        line = f"{payloads} payloads, {rate:,.0f}/s"
        if self.total:  # unknown for standard input
            frac = min(done_bytes / self.total, 1.0)
            line = f"[{'#' * int(frac * 30):<30}] {frac:6.1%} " + line
        self.stream.write("\r" + line)
        self.stream.flush()

    def close(self) -> None:
        """Clears the line, if it was shown."""
        if self.shown:
            self.stream.write("\r" + " " * 79 + "\r")
            self.stream.flush()


def _units(
    paths: list[str], jsonl: bool | None, errors: list[str], read: list[int]
) -> Iterator[Unit]:
    """The payloads of the files in order; ``read[0]`` counts the bytes handed out."""
    for path in paths:
        lines = jsonl if jsonl is not None else path.endswith(".jsonl")
        try:
            if path in ("-", STDIN):
                name, stream = STDIN, sys.stdin.buffer
                data = stream.read() if not lines else None
            else:
                name = path
                stream = open(path, "rb")  # noqa: SIM115 (closed below)
                data = None
            try:
                if lines:
                    for number, raw in enumerate(stream, 1):
                        read[0] += len(raw)
                        if raw.strip():
                            # Without its line break, a truncated record's fault stays on
                            # its own line.
                            yield (name, number, raw.rstrip(b"\r\n"))
                else:
                    whole = data if data is not None else stream.read()
                    read[0] += len(whole)
                    yield (name, 1, whole)
            finally:
                if stream is not sys.stdin.buffer:
                    stream.close()
        except OSError as e:
            errors.append(f"{path}: {_os_message(e)}")


def _limits(args: argparse.Namespace) -> Limits:
    return Limits(args.max_depth, args.max_items, args.max_string_bytes, args.max_object_keys)


def cmd_check(args: argparse.Namespace, out: IO[str]) -> int:
    """Validate JSON or JSON Lines files, printing each issue where it sits."""
    schema, text = read_schema_text(args.schema)
    limits = _limits(args)
    try:
        validator = schema.validator(args.type, limits)
    except ValidationError as e:
        raise UsageError(f"{args.schema}: {e.issues.first_message()}") from None
    paths = args.files or ["-"]
    io_errors: list[str] = []
    total = sum(os.path.getsize(p) for p in paths if os.path.isfile(p))
    progress = Progress(total)
    read = [0]
    units = _units(paths, True if args.jsonl else None, io_errors, read)
    show = LINE_FORMS.get(args.format)
    passed = failed = 0
    pool = None
    outcomes: Iterable[Outcome]
    try:
        if args.jobs > 1:
            pool = _start_pool(args.jobs, text, args.type, limits)
            outcomes = _pooled(pool, units, args.jobs)
        else:
            names = declared_names(schema)
            outcomes = (check_unit(validator, names, u) for u in units)
        for name, line, ok, errors in outcomes:
            passed += ok
            failed += not ok
            if show is None:
                record = {"file": name, "line": line, "ok": ok, "errors": errors}
                out.write(json.dumps(record, ensure_ascii=False) + "\n")
            else:
                for err in errors:
                    where = (name, err["line"], err["column"])
                    out.write(show(*where, err["path"], err["message"], err["code"]) + "\n")
            progress.update(read[0], passed + failed)
    except BaseException:
        if pool is not None:
            pool.terminate()
        raise
    else:
        if pool is not None:
            pool.close()
    finally:
        progress.close()
        if pool is not None:
            pool.join()
    for message in io_errors:
        print(message, file=sys.stderr)
    if show is not None:
        count = passed + failed
        out.write(
            f"{count} payload{'s' if count != 1 else ''} checked: {passed} passed, "
            f"{failed} failed\n"
        )
    if io_errors:
        return 2
    return 1 if failed else 0


def cmd_describe(args: argparse.Namespace, out: IO[str]) -> int:
    """Print ``Schema.describe()`` as JSON."""
    out.write(json.dumps(read_schema(args.schema).describe(), indent=2) + "\n")
    return 0


def cmd_json_schema(args: argparse.Namespace, out: IO[str]) -> int:
    """Print the JSON Schema export."""
    from .export import to_json_schema

    schema = read_schema(args.schema)
    try:
        doc = to_json_schema(schema, args.type)
    except KeyError as e:
        raise UsageError(f"{args.schema}: {e.args[0]}") from None
    out.write(json.dumps(doc, indent=2) + "\n")
    return 0


def cmd_lint(args: argparse.Namespace, out: IO[str]) -> int:
    """Print what lint finds, in the form ``check`` prints issues."""
    from .lint import lint

    _, text = read_schema_text(args.schema)
    findings = lint(text)
    show = LINE_FORMS[args.format]
    for f in findings:
        out.write(show(args.schema, f.line, f.column, f.subject, f.message, f.kind) + "\n")
    return 1 if findings else 0


def _emit(source: str, path: str | None, out: IO[str]) -> int:
    """Writes a generated module to ``path``, or to ``out`` without one."""
    if path is None:
        out.write(source)
        return 0
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(source)
    except OSError as e:
        raise UsageError(f"{path}: {_os_message(e)}") from None
    return 0


def cmd_typeddict(args: argparse.Namespace, out: IO[str]) -> int:
    """Print, or write to ``-o``, a module of TypedDicts for the results."""
    from .typeddict import generate

    source = generate(read_schema(args.schema), os.path.basename(args.schema))
    return _emit(source, args.output, out)


def cmd_typescript(args: argparse.Namespace, out: IO[str]) -> int:
    """Print, or write to ``-o``, TypeScript types for the JSON the schema accepts."""
    from .typescript import generate

    source = generate(read_schema(args.schema), os.path.basename(args.schema))
    return _emit(source, args.output, out)


def _whole(low: int, high: int) -> Callable[[str], int]:
    """An argparse ``type`` for a whole number from ``low`` to ``high``."""

    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(
                f"expected a whole number from {low} to {high}, got `{text}`")
        return value

    return convert


class _Parser(argparse.ArgumentParser):
    """Reports a usage error on one line: the usage text would bury it."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def _command(
    sub: argparse._SubParsersAction[_Parser],
    name: str,
    run: Callable[[argparse.Namespace, IO[str]], int],
    summary: str,
) -> _Parser:
    """Adds a subcommand that reads a schema file and runs ``run``."""
    c = sub.add_parser(name, help=summary, description=summary[:1].upper() + summary[1:] + ".")
    c.add_argument("schema", help="schema file")
    c.set_defaults(run=run)
    return c


def parser() -> argparse.ArgumentParser:
    """The command line's parser."""
    p = _Parser(prog="vorn-schema", description="Check JSON payloads against a vorn schema.")
    p.add_argument("--version", action="version", version=f"vorn-schema {__version__}",
                   help="print the version and exit")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND",
                           help="what to do; `vorn-schema COMMAND --help` tells more")

    c = _command(sub, "check", cmd_check, "validate JSON or JSON Lines files against a type")
    c.add_argument("type", help="declared type to check against")
    c.add_argument("files", nargs="*", help="JSON files (.jsonl: JSON Lines); none or - for stdin")
    c.add_argument("--jsonl", action="store_true", help="read every file as JSON Lines")
    c.add_argument("--format", choices=("text", "json", "github"), default="text",
                   help="text lines (default), one JSON record per payload, or GitHub "
                   "Actions annotations")
    c.add_argument("--jobs", type=_whole(1, MAX_JOBS), default=1, metavar="N",
                   help=f"check on N worker processes, 1 to {MAX_JOBS} (default 1)")
    for limit, what in (("max-depth", "deepest nesting (default 64)"),
                        ("max-items", "most elements in one array (default 10000)"),
                        ("max-string-bytes", "most bytes in one string (default 1048576)"),
                        ("max-object-keys", "most keys in one object (default 1000)")):
        c.add_argument(f"--{limit}", type=_whole(0, U64_MAX), default=None, metavar="N",
                       help=what)

    _command(sub, "describe", cmd_describe, "print the schema as JSON data")

    j = _command(sub, "json-schema", cmd_json_schema, "print a JSON Schema (draft 2020-12)")
    j.add_argument("type", nargs="?", default=None, help="make this type the root")

    lint = _command(sub, "lint", cmd_lint, "find rules that check nothing or reject everything")
    lint.add_argument("--format", choices=("text", "github"), default="text",
                      help="text lines (default) or GitHub Actions annotations")

    t = _command(sub, "typeddict", cmd_typeddict, "print a module of TypedDicts for the results")
    t.add_argument("-o", "--output", metavar="FILE", help="write the module to this file")

    ts = _command(sub, "typescript", cmd_typescript,
                  "print TypeScript types for the JSON a schema accepts")
    ts.add_argument("-o", "--output", metavar="FILE", help="write the types to this file")
    return p


def main(argv: list[str] | None = None, out: IO[str] | None = None) -> int:
    """Runs the command line and returns its exit status (argparse exits on usage errors)."""
    try:
        args = parser().parse_args(argv)
        code: int = args.run(args, out or sys.stdout)
        return code
    except UsageError as e:
        print(e, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # `vorn-schema check ... | head`: the reader left; say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def run() -> None:
    """Console-script entry point."""
    sys.exit(main())
