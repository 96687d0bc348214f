"""TypeScript types: what the generator writes, and what tsc makes of it."""

import io
import os
import pathlib
import re
import shutil
import subprocess

import pytest

from vorn_schema import Schema, cli
from vorn_schema.model import read
from vorn_schema.typescript import generate, unique_names

# Names and texts as JSON can have them; `"a\\b"` is three characters.
SCHEMA = """
schema Everything {
  flag: bool  small: u8  tiny: i8  mid: u16  smid: i16  word: u32  sword: i32
  big: u64 @range(0..=10)  sbig: i64  ratio: f64
  text: String @min_len(1) @format(email)
  day: Date  at: DateTime
  level: enum { low, "a\\b", "x y", "tab\there", "\u00e9t\u00e9", "ls\u2028", "" }
  one: enum { only }
  grid: [[u64?]]
  names: optional [String?]?
  levels: [enum { a, b }?]
  child: optional class?
  event: Event
  nothing: optional Empty
  size: optional gr\u00f6\u00dfe\u1e9e
}
schema gr\u00f6\u00dfe\u1e9e { b: bool }
schema class { from: String  new: optional class  readonly: optional u8  constructor: i8? }
schema class_ { x: bool }
schema string { s: String }
schema Date { d: Date }
schema Array { a: [Array] }
schema Record { r: optional Record? }
schema Empty {}
schema Login { user: String }
schema Keys {
  "": u8  "a-b": String  "$id": String  "a\\b": u8  "\u00e9t\u00e9": bool
  "first name": optional String?  "@type": [String]  ".": u8  "1": u8  "tab\tx": u8
  "ls\u2028": u8  plain: u8
}
union Event @tag("the kind") { login: Login  "log\\out": Login  ping: Empty }
union Partial @tag(kind) { a: Login }
"""

IMPORTS = (
    "import type { Array_, Date_, Empty, Everything, Event, Login, Partial_, Record_, class_,"
    ' Keys, class__, gr__e_, string_ } from "./types";\n'
)

# One line, so that a misuse can change it.
KEYS = (
    r'{ "": 1, "a-b": "", $id: "", "a\\b": 2, "\u00e9t\u00e9": true, "@type": [], ".": 3, "1": 4,'
    r' "tab\tx": 5, "ls\u2028": 6, plain: 7 }'
)

# Uses every exported type both ways: literals that must compile, and a reader that narrows
# an event by its tag and proves the switch exhaustive.
VALID = IMPORTS + r"""
export const levels: Everything["level"][] = [
  "low", "a\\b", "x y", "tab\there", "\u00e9t\u00e9", "ls\u2028", "",
];
export const everything: Everything = {
  flag: true, small: 255, tiny: -1, mid: 1, smid: 1, word: 1, sword: 1, big: 10, sbig: -1,
  ratio: 0.5, text: "a@b.c", day: "2024-05-01", at: "2024-05-01T12:30:00Z", level: "a\\b",
  one: "only", grid: [[1, null], []], names: null, levels: ["a", null],
  child: { from: "x", new: { from: "y", readonly: 1, constructor: null }, constructor: 0 },
  event: { "the kind": "log\\out", user: "u" },
  nothing: {},
};
export const others: [
  Array_, Date_, Empty, Partial_, Record_, class_, string_, class__, Login, gr__e_,
] = [
  { a: [{ a: [] }] }, { d: "2024-05-01" }, {}, { kind: "a", user: "u" }, { r: { r: null } },
  { x: false }, { s: "s" }, { from: "f", constructor: null }, { user: "u" }, { b: true },
];
export const keys: Keys = """ + KEYS + r""";
export const events: Event[] = [{ "the kind": "login", user: "u" }, { "the kind": "ping" }];

export function user(e: Event): string {
  switch (e["the kind"]) {
    case "login":
    case "log\\out":
      return e.user;
    case "ping":
      return "";
    default: {
      const unreachable: never = e;
      return unreachable;
    }
  }
}
"""

# Each misuse sits alone in its own file, on line 2, and must be tsc's only complaint there.
MISUSES = [
    pytest.param(
        'export const x: Login = { user: "u", usr: "v" };',
        "'usr' does not exist in type 'Login'", id="wrong-key",
    ),
    pytest.param(
        'export const x: Event = { "the kind": "login", user: "u", extra: 1 };',
        "'extra' does not exist in type '{ \"the kind\": \"login\"; } & Login'",
        id="wrong-key-in-variant",
    ),
    pytest.param(
        'export const x: Event = { "the kind": "logout", user: "u" };',
        "Type '\"logout\"' is not assignable", id="wrong-tag",
    ),
    pytest.param(
        'export const x: Event = { "the kind": "ping", user: "u" };',
        "'user' does not exist in type '{ \"the kind\": \"ping\"; }'",
        id="field-of-another-variant",
    ),
    pytest.param(
        "export const x: Keys = " + KEYS.replace(r'"a\\b"', r'"a\b"') + ";",
        "'\"a\\b\"' does not exist in type 'Keys'", id="backslash-unescaped",
    ),
    pytest.param(
        'export const x: Everything["level"] = "medium";',
        "Type '\"medium\"' is not assignable", id="wrong-enum-value",
    ),
    pytest.param(
        'export const x: Everything["flag"] = null;',
        "Type 'null' is not assignable to type 'boolean'", id="null-where-not-nullable",
    ),
    pytest.param(
        'export const x: Everything["levels"] = ["c"];',
        "Type '\"c\"' is not assignable", id="wrong-enum-value-in-array",
    ),
    pytest.param(
        "export const x: Empty = { a: 1 };",
        "Type 'number' is not assignable to type 'never'", id="key-in-empty-object",
    ),
    pytest.param(
        "export const x: Login = {};",
        "Property 'user' is missing", id="missing-required-field",
    ),
    pytest.param(
        'export const f = (e: Event) => (e["the kind"] === "ping" ? e.user : "");',
        "Property 'user' does not exist on type '{ \"the kind\": \"ping\"; }'",
        id="read-field-the-tag-rules-out",
    ),
]


def require_tsc():
    """The tsc program, or a skip; with VORN_REQUIRE_TSC=1 (CI), a missing tsc fails."""
    path = shutil.which("tsc")
    if path is None:
        if os.environ.get("VORN_REQUIRE_TSC") == "1":
            pytest.fail("VORN_REQUIRE_TSC=1 but tsc is not on PATH (Debian: node-typescript)")
        pytest.skip("tsc not found (Debian: apt-get install node-typescript)")
    return path


@pytest.fixture(scope="module")
def diagnostics(tmp_path_factory):
    """tsc's errors per file, from one run over the types, the valid use and every misuse."""
    tsc = require_tsc()
    root = tmp_path_factory.mktemp("ts")
    (root / "types.ts").write_text(generate(Schema.parse(SCHEMA), "s.vorn"), encoding="utf-8")
    (root / "valid.ts").write_text(VALID, encoding="utf-8")
    files = ["types.ts", "valid.ts"]
    for case in MISUSES:
        (root / f"{case.id}.ts").write_text(IMPORTS + case.values[0] + "\n", encoding="utf-8")
        files.append(f"{case.id}.ts")
    done = subprocess.run(
        [tsc, "--strict", "--noEmit", "--pretty", "false", *files],
        cwd=root, capture_output=True, text=True, timeout=300,
    )
    # Errors in the files come as `NAME(LINE,COL): error ...`, with indented continuations.
    errors: dict[str, list[str]] = {f: [] for f in files}
    current = ""
    for line in done.stdout.splitlines():
        if line.startswith(" "):
            errors[current][-1] += "\n" + line
            continue
        current = line.split("(", 1)[0]
        assert current in errors, done.stdout + done.stderr
        errors[current].append(line)
    return errors


@pytest.mark.subprocess
def test_valid_use_compiles(diagnostics):
    assert diagnostics["types.ts"] == []
    assert diagnostics["valid.ts"] == []


@pytest.mark.subprocess
@pytest.mark.parametrize("statement, message", MISUSES)
def test_misuse_fails_to_compile(diagnostics, request, statement, message):
    name = request.node.callspec.id + ".ts"
    [error] = diagnostics[name]
    assert error.startswith(f"{name}(2,") and message in error, error


@pytest.mark.parametrize(
    "field, expected",
    [
        ("x: optional u8?", "x?: number | null;"),
        ('"first-name": optional String?', '"first-name"?: string | null;'),
        ('"a\\b": u8  "$id": u8  "": u8', '"a\\\\b": number;\n  $id: number;\n  "": number;'),
        ("x: [[String?]]?", "x: (string | null)[][] | null;"),
        ('x: [enum { a, "b" }?]', 'x: ("a" | "b" | null)[];'),
        ("x: [u64]", "/** `u64`: 0 to 18446744073709551615, beyond `Number.MAX_SAFE_INTEGER`. */"),
        ("x: i64", "/** `i64`: -9223372036854775808 to 9223372036854775807, beyond"),
        ("x: i32", "  x: number;\n};"),
        ("x: [Date]", "/** `Date`: `YYYY-MM-DD`. */\n  x: string[];"),
        ("x: DateTime?", "`DateTime`: RFC 3339 with a UTC offset, as `2024-05-01T12:30:00Z`. */"),
        (
            "x: u64 @range(-1..=2) @format(uuid)",
            "  /**\n   * `u64`: 0 to 18446744073709551615, beyond `Number.MAX_SAFE_INTEGER`.\n"
            "   * Rules: `@range(-1..=2)`, `@format(uuid)`.\n   */\n  x: number;",
        ),
    ],
)
def test_field_rendering(field, expected):
    assert expected in generate(Schema.parse(f"schema T {{ {field} }}"))


@pytest.mark.parametrize(
    "declared, exported",
    [
        (["class", "class_"], ["class__", "class_"]),
        (["Date", "Date_", "Date__"], ["Date___", "Date_", "Date__"]),
        (["string", "number", "await", "Record", "Partial", "unknown"],
         ["string_", "number_", "await_", "Record_", "Partial_", "unknown_"]),
        (["gr\u00f6\u00dfe", "\u24b6", "a\u00b2", "_"], ["gr__e", "__", "a_", "_"]),
        (["Event", "Node", "type"], ["Event", "Node", "type"]),
    ],
)
def test_exported_names(declared, exported):
    desc = read(Schema.parse(" ".join(f"schema {n} {{}}" for n in declared)))
    assert [unique_names(desc)[n] for n in declared] == exported


@pytest.mark.parametrize(
    "schema, source_name, expected",
    [
        ("", "s.vorn", "\n\nexport {};\n"),
        # A variant without fields is its tag alone.
        ("union class @tag(k) { a: E } schema E {}", "s.vorn",
         "/** Declared as `class`. */\nexport type class_ =\n  | { k: \"a\" };\n"),
        ("schema A {}", "a\nb.vorn",
         "// Types for the JSON that a b.vorn accepts, generated by `vorn-schema typescript`.\n"),
    ],
)
def test_module_text(schema, source_name, expected):
    assert expected in generate(Schema.parse(schema), source_name)


def test_command_prints_or_writes_the_types(tmp_path):
    path = tmp_path / "s.vorn"
    path.write_text(SCHEMA, encoding="utf-8")
    out = io.StringIO()
    assert cli.main(["typescript", str(path)], out) == 0
    assert out.getvalue() == generate(Schema.parse(SCHEMA), "s.vorn")
    target = tmp_path / "types.ts"
    assert cli.main(["typescript", str(path), "-o", str(target)], io.StringIO()) == 0
    assert target.read_text(encoding="utf-8") == out.getvalue()


def test_command_reports_an_unwritable_output(tmp_path, capsys):
    path = tmp_path / "s.vorn"
    path.write_text(SCHEMA, encoding="utf-8")
    missing = tmp_path / "no" / "types.ts"
    assert cli.main(["typescript", str(path), "-o", str(missing)], io.StringIO()) == 2
    assert capsys.readouterr().err == f"{missing}: No such file or directory\n"


def test_readme_excerpt_is_what_the_command_writes():
    root = pathlib.Path(__file__).parent.parent
    [block] = re.findall(r"^```ts\n(.*?)^```$", (root / "README.md").read_text(), re.S | re.M)
    source = generate(Schema.load(root / "examples" / "shop.vorn"), "shop.vorn")
    for part in block.split("// ...\n"):
        assert part in source
