"""The module's surface: classes, signatures, Limits, Schema construction and file loading."""

import errno
import gc
import importlib.metadata
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

import vorn_schema
from conftest import Err, issues_of, matches, raised
from vorn_schema import Issue, Issues, Limits, ParseError, Schema, ValidationError, _vorn

# Each class and the dunders it defines itself; the rest are object's.
CLASSES = {
    "Schema": ["__repr__"],
    "Validator": ["__repr__"],
    "Issue": ["__str__", "__repr__"],
    "Limits": [],
    "Issues": ["__len__"],
}
DUNDERS = ["__str__", "__repr__", "__eq__", "__hash__", "__len__", "__iter__", "__getitem__"]


def test_module_attributes():
    assert _vorn.__all__ == [*CLASSES, "ParseError", "__version__"]
    assert not hasattr(_vorn, "ValidationError")
    assert vorn_schema.Schema is _vorn.Schema
    assert vorn_schema.ParseError is _vorn.ParseError


def test_version_is_the_distributions():
    # A developer build put on the path by hand is no installed distribution.
    try:
        installed = importlib.metadata.version("vorn_schema")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("vorn_schema is not installed as a distribution")
    assert vorn_schema.__version__ == _vorn.__version__ == installed


@pytest.mark.parametrize("name, own", CLASSES.items())
def test_class_surface(name, own):
    cls = getattr(_vorn, name)
    assert (cls.__module__, cls.__name__) == ("vorn_schema", name)
    assert [d for d in DUNDERS if d in vars(cls)] == own
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = None  # an immutable type
    if name != "Limits":
        with pytest.raises(TypeError):
            cls()


def test_parse_error_class():
    assert ParseError.__module__ == "_vorn"
    assert ParseError.__name__ == "ParseError"
    assert ParseError.__mro__ == (ParseError, Exception, BaseException, object)
    with pytest.raises(ParseError) as info:
        Schema.parse("schema")
    assert info.value.args == ("1:7: expected a schema name, found end of input",)
    assert str(info.value) == info.value.args[0]
    assert not hasattr(info.value, "line")


VALIDATOR_DOC = (
    "Binds one type for repeated validation.\n\n"
    "Everything that does not depend on the payload is resolved here instead\n"
    "of on every call: the type lookup, the `datetime` classes, the limits.\n"
    "Prefer this wherever the same type is validated more than once."
)
VALIDATE_DOC = (
    "Convenience for one-off validation.\n\n"
    "Builds a [`Validator`] and discards it, so it pays the binding cost on\n"
    "every call. In a loop, bind once with `validator()` instead."
)
SCHEMA_METHODS = [
    ("parse", "(source)", None),
    ("load", "(path)", None),
    ("type_names", "($self)", "Every declared name, objects and unions alike, sorted."),
    ("describe", "($self)", ...),  # its opening is checked below
    ("validator", "($self, type_name, limits=None)", VALIDATOR_DOC),
    ("validate", "($self, type_name, payload, limits=None)", VALIDATE_DOC),
]


@pytest.mark.parametrize("method, signature, doc", SCHEMA_METHODS)
def test_schema_methods(method, signature, doc):
    attribute = getattr(Schema, method)
    assert attribute.__text_signature__ == signature
    if doc is not ...:
        assert attribute.__doc__ == doc


def test_other_signatures_and_docstrings():
    assert [n for n in vars(Schema) if n[0] != "_"] == [row[0] for row in SCHEMA_METHODS]
    assert Limits.__text_signature__ == (
        "(max_depth=None, max_items=None, max_string_bytes=None, max_object_keys=None)"
    )
    for name in ["list", "summary", "first_path", "first_code", "first_message"]:
        assert getattr(Issues, name).__text_signature__ == "($self)"
    assert Schema.__doc__ is Issue.__doc__ is ParseError.__doc__ is None
    assert Schema.describe.__doc__.startswith(
        "The schema as plain data, for tooling that generates types.\n\n"
        "Deliberately not a validator: it carries shape, not rules-as-behaviour.\n"
        "Each binding renders its own language's types from this, which is why\n"
        "it is exposed"
    )
    assert Issues.__doc__.startswith(
        "What a `ValidationError` carries, with nothing built until it is read.\n\n"
    )


def an_issue():
    return raised(lambda: Schema.parse("schema A {}").validate("A", [])).args[0].list()[0]


@pytest.mark.parametrize(
    "make, name",
    [(Limits, name) for name in ["max_depth", "max_items", "max_string_bytes", "max_object_keys"]]
    + [(an_issue, name) for name in ["path", "code", "message"]]
    + [(lambda: Schema.parse("schema A {}"), "extra")],
)
def test_instances_are_read_only(make, name):
    instance = make()
    with pytest.raises(AttributeError):
        setattr(instance, name, "x")
    with pytest.raises(AttributeError):
        delattr(instance, name)


# --- Limits -------------------------------------------------------------------------------

DEFAULTS = {
    "max_depth": 64,
    "max_items": 10000,
    "max_string_bytes": 1048576,
    "max_object_keys": 1000,
}


class Index:
    def __index__(self):
        return 12


@pytest.mark.parametrize(
    "args, kwargs, changed",
    [
        ((), {}, {}),
        ((None, 5), {}, {"max_items": 5}),
        ((), {"max_object_keys": 0}, {"max_object_keys": 0}),
        ((True,), {}, {"max_depth": 1}),
        ((1000,), {}, {"max_depth": 1000}),
        ((), {"max_string_bytes": 2**64 - 1}, {"max_string_bytes": 2**64 - 1}),
        pytest.param((), {"max_depth": Index()}, {"max_depth": 12}, id="index-protocol"),
    ],
)
def test_limits_values(args, kwargs, changed):
    limits = Limits(*args, **kwargs)
    assert {name: getattr(limits, name) for name in DEFAULTS} == {**DEFAULTS, **changed}


@pytest.mark.parametrize(
    "args, kwargs, error, naming",
    [
        ((-1,), {}, OverflowError, None),
        ((), {"max_items": 2**64}, OverflowError, None),
        ((), {"max_items": 1.5}, TypeError, "max_items"),
        ((), {"max_depth": "3"}, TypeError, "max_depth"),
        ((1, 2, 3, 4, 5), {}, TypeError, None),
        ((), {"depth": 1}, TypeError, None),
        ((1,), {"max_depth": 1}, TypeError, None),
    ],
)
def test_limits_errors(args, kwargs, error, naming):
    with pytest.raises(error) as info:
        Limits(*args, **kwargs)
    if naming is not None:
        assert naming in str(info.value)


# --- Schema construction and binding ------------------------------------------------------


class RaisingPath:
    def __fspath__(self):
        raise LookupError("no path")


class RaisingClass:
    @property
    def __class__(self):
        raise LookupError("no class")


class BytesPath:
    def __fspath__(self):
        return b"schema.vorn"


@pytest.mark.parametrize(
    "call, error, naming",
    [
        (lambda: Schema.parse(b"schema A {}"), TypeError, "source"),
        (lambda: Schema.parse(source=3), TypeError, "source"),
        (lambda: Schema.parse("\udc80"), UnicodeEncodeError, None),
        (lambda: Schema.parse(), TypeError, None),
        (lambda: Schema.load(b"schema.vorn"), TypeError, "path"),
        (lambda: Schema.load(3), TypeError, "path"),
        pytest.param(lambda: Schema.load(BytesPath()), TypeError, "path", id="fspath-gives-bytes"),
        (lambda: Schema.parse("schema A {}").validator(3), TypeError, "type_name"),
        (lambda: Schema.parse("schema A {}").validator("A", {}), TypeError, "limits"),
        (lambda: Schema.parse("schema A {}").validate(b"A", {}), TypeError, "type_name"),
        (lambda: Schema.parse("schema A {}").validate("A", {}, limits=1), TypeError, "limits"),
        (lambda: Schema.parse("schema A {}").validate("A"), TypeError, None),
        # The interpreter's own errors from the argument protocols pass through unchanged.
        pytest.param(lambda: Schema.load(RaisingPath()), LookupError, None, id="fspath-raises"),
        pytest.param(lambda: Schema.load("\ud800"), UnicodeEncodeError, None, id="path-surrogate"),
        pytest.param(lambda: Schema.parse("schema A {}").validator("A", RaisingClass()),
                     LookupError, None, id="limits-isinstance-raises"),
    ],
)
def test_argument_errors(call, error, naming):
    with pytest.raises(error) as info:
        call()
    if naming is not None:
        assert f"'{naming}'" in str(info.value)


def test_validate_and_validator_agree():
    schema = Schema.parse("schema A { x: u8 }")
    limits = Limits(max_depth=8)
    assert schema.validate("A", {"x": 1}) == {"x": 1}
    assert schema.validate("A", {"x": 1}, limits) == schema.validator("A", limits)({"x": 1})
    assert issues_of(lambda: schema.validate(type_name="A", payload={"x": 300})) == issues_of(
        lambda: schema.validator("A")({"x": 300})
    )


def test_validator_outlives_its_schema():
    schema = Schema.parse("schema A { child: A? name: String }")
    bound = schema.validator("A")
    del schema
    gc.collect()
    payload = {"child": {"child": None, "name": "b"}, "name": "a"}
    assert bound(payload) == payload
    issues = issues_of(lambda: bound({"child": {"child": None}, "name": "a"}))
    assert matches(issues, [Err("required", "child.name")])


def test_type_names_are_a_fresh_list():
    schema = Schema.parse("schema a {} union Z @tag(t) { x: a } schema B {}")
    schema.type_names().append("changed")
    assert schema.type_names() == ["B", "Z", "a"]


# --- Schema.load --------------------------------------------------------------------------


def test_load_reads_a_file(tmp_path):
    path = tmp_path / "user.vorn"
    path.write_text("schema User { id: u64 }\n// gr\u00f6\u00dfe\n", encoding="utf-8")
    for given in (path, str(path)):
        assert Schema.load(given).type_names() == ["User"]
    assert Schema.load(path=path).type_names() == ["User"]


def written(path, content=b"schema A {}", mode=None):
    path.write_bytes(content)
    if mode is not None:
        path.chmod(mode)
    return path


def os_error_text(code):
    return f"{os.strerror(code)} (os error {code})"


NOT_UTF8 = "stream did not contain valid UTF-8"


@pytest.mark.parametrize(
    "make, error, text",
    [
        pytest.param(lambda tmp: tmp / "missing.vorn", FileNotFoundError,
                     os_error_text(errno.ENOENT), id="missing"),
        pytest.param(lambda tmp: tmp, IsADirectoryError, os_error_text(errno.EISDIR),
                     id="directory"),
        pytest.param(lambda tmp: written(tmp / "file") / "below.vorn", NotADirectoryError,
                     os_error_text(errno.ENOTDIR), id="through-a-file"),
        pytest.param(lambda tmp: written(tmp / "locked.vorn", mode=0), PermissionError,
                     os_error_text(errno.EACCES), id="unreadable",
                     marks=pytest.mark.skipif(os.geteuid() == 0,
                                              reason="root reads files whatever their mode")),
        pytest.param(lambda tmp: written(tmp / "bad.vorn", b"\xff"), OSError, NOT_UTF8,
                     id="not-utf8"),
        pytest.param(lambda tmp: written(tmp / "bad.vorn", b"schema A {} // \xc3"), OSError,
                     NOT_UTF8, id="truncated-utf8"),
        pytest.param(lambda tmp: written(tmp / "bad.vorn", b"schema A {} // \xed\xa0\x80"),
                     OSError, NOT_UTF8, id="encoded-surrogate"),
        # open() would stop at the NUL and read another file.
        pytest.param(lambda tmp: "schema.vorn\0.txt", OSError,
                     "file name contained an unexpected NUL byte", id="nul-in-path"),
    ],
)
def test_load_errors(tmp_path, make, error, text):
    with pytest.raises(OSError) as info:
        Schema.load(make(tmp_path))
    assert type(info.value) is error
    assert info.value.args == (text,)
    assert (info.value.errno, info.value.filename) == (None, None)


NOPE = "schema A {\n  x: Nope\n}\n"


@pytest.mark.parametrize(
    "given, content, error",
    [
        ("sub/bad.vorn", NOPE, "sub/bad.vorn: 2:6: unknown type `Nope`"),
        (pathlib.Path("sub") / "bad.vorn", NOPE, "sub/bad.vorn: 2:6: unknown type `Nope`"),
        ("./sub/../sub/bad.vorn", NOPE, "./sub/../sub/bad.vorn: 2:6: unknown type `Nope`"),
        # No byte-order mark stripping and no newline translation.
        pytest.param("sub/bad.vorn", "\ufeffschema A {}",
                     "sub/bad.vorn: 1:1: unexpected character `\ufeff`", id="bom-kept"),
        pytest.param("sub/bad.vorn", "schema A {\r\n x: Nope }",
                     "sub/bad.vorn: 2:5: unknown type `Nope`", id="crlf-kept"),
    ],
)
def test_load_parse_error_names_the_path_as_given(tmp_path, monkeypatch, given, content, error):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "bad.vorn").write_bytes(content.encode())
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ParseError) as info:
        Schema.load(given)
    assert info.value.args == (error,)


@pytest.mark.parametrize(
    "name",
    [
        b"\xff",
        pytest.param(b"\xe2\x82", id="truncated-sequence-is-one-character"),
        pytest.param(b"\xf0\x80\x80", id="overlong-lead-stands-alone"),
        pytest.param(b"\xed\xa0\x80", id="encoded-surrogate"),
        pytest.param(b"\xf4\x90\x80\x80", id="beyond-u10ffff"),
        pytest.param(b"a\xc3(\xe2\x82\xac\xe2\x82", id="mixed"),
    ],
)
def test_load_shows_an_undecodable_path_as_python_would(tmp_path, name):
    # The path prefix of a parse error replaces what is not UTF-8 exactly like Python's
    # own "replace" decoding.
    path = os.path.join(os.fsencode(tmp_path), name)
    try:
        with open(path, "wb") as f:
            f.write(b"schema A { x: Nope }")
    except OSError:
        pytest.skip("the file system refuses names that are not UTF-8")
    with pytest.raises(ParseError) as info:
        Schema.load(os.fsdecode(path))
    shown = path.decode("utf-8", "replace")
    assert info.value.args == (f"{shown}: 1:15: unknown type `Nope`",)


def test_no_class_references_leak():
    texts = ["schema A { x: [A] }", "schema A {", "union U @tag(t) { a: A } schema A {}"]

    def run():
        for text in texts:
            try:
                Schema.parse(text).describe()
            except ParseError:
                pass
        issues = raised(lambda: Schema.parse(texts[0]).validate("A", {"x": [{}, 1]})).args[0]
        issues.summary()
        repr(issues.list()[0])

    def counts():
        gc.collect()
        return [sys.getrefcount(c) for c in (Schema, Issues, Issue, ValidationError)]

    run()
    before = counts()
    for _ in range(100):
        run()
    assert counts() == before


SUBINTERPRETER = """
import sys
# A legacy (shared-GIL) interpreter, so that the import reaches the module's own check
# instead of stopping at the per-interpreter-GIL gate of 3.12 and later.
try:
    import _interpreters as interpreters  # 3.13
    create = lambda: interpreters.create("legacy")
except ImportError:
    import _xxsubinterpreters as interpreters
    create = interpreters.create
    if sys.version_info >= (3, 12):
        create = lambda: interpreters.create(isolated=False)

PROBE = '''
try:
    import vorn_schema
    print("imported", flush=True)
except ImportError as e:
    print("ImportError:", e, flush=True)
'''

for step in sys.argv[1:]:
    if step == "sub":
        sub = create()
        try:
            interpreters.run_string(sub, PROBE)
        finally:
            interpreters.destroy(sub)
    else:
        import vorn_schema
        v = vorn_schema.Schema.parse("schema A { a: u8 }").validator("A")
        print("main", v({"a": 1}), v(b'{"a": 2}'), flush=True)
"""


@pytest.mark.subprocess
@pytest.mark.parametrize(
    "order",
    [
        pytest.param(["sub", "main", "sub"], id="subinterpreter-first"),
        pytest.param(["main", "sub", "main"], id="main-first"),
    ],
)
def test_only_the_main_interpreter_loads_the_module_issue9(order):
    # A subinterpreter that imported first used to claim the process-wide caches, and the
    # main interpreter could never import the module afterwards.
    if not any(importlib.util.find_spec(m) for m in ("_interpreters", "_xxsubinterpreters")):
        pytest.skip("this interpreter has no subinterpreter module")
    done = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER, *order],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    expected = {
        "sub": "ImportError: _vorn can only be loaded in the main interpreter",
        "main": "main {'a': 1} {'a': 2}",
    }
    assert done.stdout.splitlines() == [expected[step] for step in order]
