"""The ``vorn-schema`` command (also ``python -m vorn_schema``).

Exit status: 0 when everything passed, 1 when a payload failed or lint found something,
2 for a schema, usage or I/O error.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import sys
import time
from collections.abc import Iterable, Iterator
from typing import IO

from ._vorn import Limits, ParseError, Schema, Validator
from . import ErrorDict, ValidationError

STDIN = "<stdin>"
# JSON Lines are sent to worker processes in chunks, so that pickling and queueing cost
# little next to validation.
CHUNK = 512


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
        raise UsageError(f"{path}:{e}") from None


def read_schema(path: str) -> Schema:
    return read_schema_text(path)[0]


def _os_message(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e)


# One payload to check: where it came from, and its bytes.
Unit = tuple[str, int, bytes]
# Its outcome: file, line, ok, errors, and for text that is not JSON, the fault's
# "LINE:COL: message" in file coordinates.
Outcome = tuple[str, int, bool, list[ErrorDict], str | None]


def check_unit(validator: Validator, unit: Unit) -> Outcome:
    name, line, data = unit
    try:
        validator(data)
    except ValidationError as e:
        return (name, line, False, e.errors(), None)
    except ParseError as e:
        # The parser's position counts from the payload; a JSON Lines payload is one line.
        pos, _, message = str(e).partition(": ")
        row, _, col = pos.partition(":")
        where = f"{line + int(row) - 1}:{col}"
        return (name, line, False, [], f"{where}: {message}")
    return (name, line, True, [], None)


_worker_validator: Validator | None = None


def _worker_init(schema_text: str, type_name: str, limits: tuple[int, int, int, int]) -> None:
    global _worker_validator
    _worker_validator = Schema.parse(schema_text).validator(type_name, Limits(*limits))


def _worker_chunk(units: list[Unit]) -> list[Outcome]:
    assert _worker_validator is not None
    return [check_unit(_worker_validator, u) for u in units]


class Progress:
    """A one-line progress report on standard error, shown only on a terminal and only once a
    run has taken two seconds, so quick runs and pipes see nothing."""

    def __init__(self, total_bytes: int, stream: IO[str] = sys.stderr) -> None:
        self.total = total_bytes
        self.stream = stream
        self.enabled = stream.isatty()
        self.start = time.monotonic()
        self.last = 0.0
        self.shown = False

    def update(self, done_bytes: int, payloads: int) -> None:
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
    outcomes: Iterable[Outcome]
    pool = None
    if args.jobs > 1:
        import multiprocessing

        bounds = (limits.max_depth, limits.max_items, limits.max_string_bytes,
                  limits.max_object_keys)
        pool = multiprocessing.Pool(
            args.jobs, initializer=_worker_init, initargs=(text, args.type, bounds)
        )
        chunks = iter(lambda: list(itertools.islice(units, CHUNK)), [])
        outcomes = itertools.chain.from_iterable(pool.imap(_worker_chunk, chunks))
    else:
        outcomes = (check_unit(validator, u) for u in units)
    passed = failed = 0
    try:
        for name, line, ok, errors, fault in outcomes:
            passed += ok
            failed += not ok
            if args.format == "json":
                if fault is not None:
                    errors = [ErrorDict(path="<root>", code="invalid_json", message=fault)]
                record = {"file": name, "line": line, "ok": ok, "errors": errors}
                out.write(json.dumps(record, ensure_ascii=False) + "\n")
            elif fault is not None:
                out.write(f"{name}:{fault}\n")
            else:
                for err in errors:
                    out.write(f"{name}:{line}: {err['path']}: {err['message']} ({err['code']})\n")
            progress.update(read[0], passed + failed)
    finally:
        progress.close()
        if pool is not None:
            pool.close()
            pool.join()
    for message in io_errors:
        print(message, file=sys.stderr)
    if args.format != "json":
        count = passed + failed
        out.write(
            f"{count} payload{'s' if count != 1 else ''} checked: {passed} passed, "
            f"{failed} failed\n"
        )
    if io_errors:
        return 2
    return 1 if failed else 0


def cmd_describe(args: argparse.Namespace, out: IO[str]) -> int:
    out.write(json.dumps(read_schema(args.schema).describe(), indent=2) + "\n")
    return 0


def cmd_json_schema(args: argparse.Namespace, out: IO[str]) -> int:
    from .export import to_json_schema

    schema = read_schema(args.schema)
    try:
        doc = to_json_schema(schema, args.type)
    except KeyError as e:
        raise UsageError(f"{args.schema}: {e.args[0]}") from None
    out.write(json.dumps(doc, indent=2) + "\n")
    return 0


def cmd_lint(args: argparse.Namespace, out: IO[str]) -> int:
    from .lint import lint

    read_schema(args.schema)  # parse errors, with the CLI's own prefix
    with open(args.schema, encoding="utf-8") as f:
        findings = lint(f.read())
    for finding in findings:
        out.write(finding.render(args.schema) + "\n")
    return 1 if findings else 0


def cmd_typeddict(args: argparse.Namespace, out: IO[str]) -> int:
    from .typeddict import generate

    source = generate(read_schema(args.schema), os.path.basename(args.schema))
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8") as f:
                f.write(source)
        except OSError as e:
            raise UsageError(f"{args.output}: {_os_message(e)}") from None
    else:
        out.write(source)
    return 0


def cmd_typescript(args: argparse.Namespace, out: IO[str]) -> int:
    """Print, or write to ``-o``, TypeScript types for the JSON the schema accepts."""
    from .typescript import generate

    source = generate(read_schema(args.schema), os.path.basename(args.schema))
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8") as f:
                f.write(source)
        except OSError as e:
            raise UsageError(f"{args.output}: {_os_message(e)}") from None
    else:
        out.write(source)
    return 0


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is negative")
    return value


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="vorn-schema", description="Check JSON payloads against a vorn schema."
    )
    sub = p.add_subparsers(dest="command", required=True)

    c = sub.add_parser("check", help="validate JSON or JSON Lines files against a type")
    c.add_argument("schema", help="schema file")
    c.add_argument("type", help="declared type to check against")
    c.add_argument("files", nargs="*", help="JSON files (.jsonl: JSON Lines); none or - for stdin")
    c.add_argument("--jsonl", action="store_true", help="read every file as JSON Lines")
    c.add_argument("--format", choices=("text", "json"), default="text")
    c.add_argument("--jobs", type=int, default=1, metavar="N", help="worker processes")
    for limit in ("max-depth", "max-items", "max-string-bytes", "max-object-keys"):
        c.add_argument(f"--{limit}", type=_count, default=None, metavar="N")
    c.set_defaults(run=cmd_check)

    d = sub.add_parser("describe", help="print the schema as JSON data")
    d.add_argument("schema")
    d.set_defaults(run=cmd_describe)

    j = sub.add_parser("json-schema", help="print a JSON Schema (draft 2020-12)")
    j.add_argument("schema")
    j.add_argument("type", nargs="?", default=None, help="make this type the root")
    j.set_defaults(run=cmd_json_schema)

    lint = sub.add_parser("lint", help="find rules that check nothing or reject everything")
    lint.add_argument("schema")
    lint.set_defaults(run=cmd_lint)

    t = sub.add_parser("typeddict", help="print a module of TypedDicts for the results")
    t.add_argument("schema")
    t.add_argument("-o", "--output", help="write the module to this file")
    t.set_defaults(run=cmd_typeddict)

    ts = sub.add_parser("typescript", help="print TypeScript types for the JSON a schema accepts")
    ts.add_argument("schema", help="schema file")
    ts.add_argument("-o", "--output", metavar="FILE", help="write the types to this file")
    ts.set_defaults(run=cmd_typescript)
    return p


def main(argv: list[str] | None = None, out: IO[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if getattr(args, "jobs", 1) < 1:
        parser().error("--jobs must be at least 1")
    try:
        code: int = args.run(args, out or sys.stdout)
        return code
    except UsageError as e:
        print(e, file=sys.stderr)
        return 2
    except BrokenPipeError:
        # `vorn-schema check ... | head`: the reader left; say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def run() -> None:
    """Console-script entry point."""
    sys.exit(main())

