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
from conftest import Err, issues_of, matches
from vorn_schema import Limits, ParseError, Schema, _vorn

CLASSES = ["Schema", "Validator", "Issue", "Limits", "Issues"]


def test_module_attributes():
    assert _vorn.__all__ == CLASSES + ["ParseError", "__version__"]
    assert not hasattr(_vorn, "ValidationError")


def test_version_is_the_distributions():
    # A developer build put on the path by hand is no installed distribution.
    try:
        installed = importlib.metadata.version("vorn_schema")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("vorn_schema is not installed as a distribution")
    assert vorn_schema.__version__ == _vorn.__version__ == installed


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(_vorn, name)
    assert cls.__module__ == "vorn_schema"
    assert cls.__name__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", ["Schema", "Validator", "Issue", "Issues"])
def test_no_constructor(name):
    with pytest.raises(TypeError):
        getattr(_vorn, name)()


def test_parse_error_class():
    assert ParseError.__module__ == "_vorn"
    assert ParseError.__name__ == "ParseError"
    assert ParseError.__mro__ == (ParseError, Exception, BaseException, object)
    assert ParseError.__doc__ is None
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


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        ("parse", "(source)", None),
        ("load", "(path)", None),
        ("type_names", "($self)", "Every declared name, objects and unions alike, sorted."),
        ("describe", "($self)", None),
        ("validator", "($self, type_name, limits=None)", VALIDATOR_DOC),
        ("validate", "($self, type_name, payload, limits=None)", VALIDATE_DOC),
    ],
)
def test_schema_methods(method, signature, doc):
    attribute = getattr(Schema, method)
    assert attribute.__text_signature__ == signature
    if method != "describe":
        assert attribute.__doc__ == doc


def test_schema_class_shape():
    assert Schema.__doc__ is None
    methods = [n for n in vars(Schema) if not n.startswith("__")]
    assert methods == ["parse", "load", "type_names", "describe", "validator", "validate"]
    assert "__repr__" in vars(Schema)
    for own in ("__str__", "__eq__", "__hash__", "__len__"):
        assert own not in vars(Schema)
    assert Schema.describe.__doc__.startswith(
        "The schema as plain data, for tooling that generates types.\n\n"
        "Deliberately not a validator: it carries shape, not rules-as-behaviour.\n"
        "Each binding renders its own language's types from this, which is why\n"
        "it is exposed"
    )


def test_schema_is_read_only():
    schema = Schema.parse("schema A {}")
    with pytest.raises(AttributeError):
        schema.extra = 1
    with pytest.raises(TypeError):
        Schema.parse = None


# --- Limits -------------------------------------------------------------------------------

DEFAULTS = {
    "max_depth": 64,
    "max_items": 10000,
    "max_string_bytes": 1048576,
    "max_object_keys": 1000,
}


def limits_dict(limits):
    return {name: getattr(limits, name) for name in DEFAULTS}


@pytest.mark.parametrize(
    "args, kwargs, changed",
    [
        ((), {}, {}),
        ((None, 5), {}, {"max_items": 5}),
        ((), {"max_object_keys": 0}, {"max_object_keys": 0}),
        ((True,), {}, {"max_depth": 1}),
        ((1000,), {}, {"max_depth": 1000}),
        ((), {"max_string_bytes": 2**64 - 1}, {"max_string_bytes": 2**64 - 1}),
    ],
)
def test_limits_values(args, kwargs, changed):
    assert limits_dict(Limits(*args, **kwargs)) == {**DEFAULTS, **changed}


class Index:
    def __index__(self):
        return 12


def test_limits_use_the_index_protocol():
    assert Limits(max_depth=Index()).max_depth == 12


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


def test_limits_surface():
    assert Limits.__text_signature__ == (
        "(max_depth=None, max_items=None, max_string_bytes=None, max_object_keys=None)"
    )
    limits = Limits()
    for name in DEFAULTS:
        with pytest.raises(AttributeError):
            setattr(limits, name, 3)
    for own in ("__repr__", "__eq__", "__hash__"):
        assert own not in vars(Limits)


# --- Schema construction and binding ------------------------------------------------------


@pytest.mark.parametrize(
    "call, error, naming",
    [
        (lambda: Schema.parse(b"schema A {}"), TypeError, "source"),
        (lambda: Schema.parse(source=3), TypeError, "source"),
        (lambda: Schema.parse("\udc80"), UnicodeEncodeError, None),
        (lambda: Schema.parse(), TypeError, None),
        (lambda: Schema.load(b"schema.vorn"), TypeError, "path"),
        (lambda: Schema.load(3), TypeError, "path"),
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


def test_load_refuses_fspath_returning_bytes():
    with pytest.raises(TypeError, match="'path'"):
        Schema.load(BytesPath())


def test_undeclared_type_is_a_validation_error():
    schema = Schema.parse("schema A {}")
    for call in (lambda: schema.validate("Missing", {}), lambda: schema.validator("Missing")):
        assert [e.code for e in issues_of(call)] == ["unknown_type"]


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


# --- Schema.load --------------------------------------------------------------------------


def os_error_text(code):
    return f"{os.strerror(code)} (os error {code})"


def test_load_reads_a_file(tmp_path):
    path = tmp_path / "user.vorn"
    path.write_text("schema User { id: u64 }\n// gr\u00f6\u00dfe\n", encoding="utf-8")
    for given in (path, str(path)):
        assert Schema.load(given).type_names() == ["User"]
    assert Schema.load(path=path).type_names() == ["User"]


def test_load_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        Schema.load(tmp_path / "missing.vorn")
    assert info.value.args == (os_error_text(errno.ENOENT),)
    assert info.value.args[0].endswith(f" (os error {errno.ENOENT})")
    assert info.value.errno is None
    assert info.value.filename is None


def test_load_directory(tmp_path):
    with pytest.raises(IsADirectoryError) as info:
        Schema.load(tmp_path)
    assert info.value.args == (os_error_text(errno.EISDIR),)


def test_load_through_a_file_component(tmp_path):
    path = tmp_path / "file"
    path.write_text("")
    with pytest.raises(NotADirectoryError) as info:
        Schema.load(path / "below.vorn")
    assert info.value.args == (os_error_text(errno.ENOTDIR),)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_load_unreadable_file(tmp_path):
    path = tmp_path / "locked.vorn"
    path.write_text("schema A {}")
    path.chmod(0)
    with pytest.raises(PermissionError) as info:
        Schema.load(path)
    assert info.value.args == (os_error_text(errno.EACCES),)


@pytest.mark.parametrize(
    "content",
    [
        b"\xff",
        b"schema A {} // \xc3",
        pytest.param(b"schema A {} // \xed\xa0\x80", id="encoded-surrogate"),
    ],
)
def test_load_invalid_utf8(tmp_path, content):
    path = tmp_path / "bad.vorn"
    path.write_bytes(content)
    with pytest.raises(OSError) as info:
        Schema.load(path)
    assert type(info.value) is OSError
    assert info.value.args == ("stream did not contain valid UTF-8",)


def test_load_parse_error_names_the_path_as_given(tmp_path, monkeypatch):
    content = "schema A {\n  x: Nope\n}\n"
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "bad.vorn").write_text(content)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ParseError) as parsed:
        Schema.parse(content)
    for given, shown in [
        ("sub/bad.vorn", "sub/bad.vorn"),
        (pathlib.Path("sub") / "bad.vorn", "sub/bad.vorn"),
        ("./sub/../sub/bad.vorn", "./sub/../sub/bad.vorn"),
    ]:
        with pytest.raises(ParseError) as loaded:
            Schema.load(given)
        assert loaded.value.args == (f"{shown}: {parsed.value.args[0]}",)


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


def test_load_keeps_bytes_as_written(tmp_path):
    # No byte-order mark stripping and no newline translation.
    path = tmp_path / "bom.vorn"
    path.write_bytes("\ufeffschema A {}".encode())
    with pytest.raises(ParseError, match="bom.vorn: 1:1: unexpected character `\ufeff`$"):
        Schema.load(path)
    path.write_bytes(b"schema A {\r\n x: Nope }")
    with pytest.raises(ParseError, match="bom.vorn: 2:5: unknown type `Nope`$"):
        Schema.load(path)


def test_load_refuses_a_path_with_a_nul_byte():
    # open() would stop at the NUL and read another file.
    with pytest.raises(OSError) as info:
        Schema.load("schema.vorn\0.txt")
    assert info.value.args == ("file name contained an unexpected NUL byte",)


def test_type_names_sorting():
    schema = Schema.parse("schema a {} union Z @tag(t) { x: a } schema ab {} schema B {}")
    names = schema.type_names()
    assert names == ["B", "Z", "a", "ab"]
    names.append("changed")
    assert schema.type_names() == ["B", "Z", "a", "ab"]


def test_package_reexports():
    assert vorn_schema.Schema is _vorn.Schema
    assert vorn_schema.ParseError is _vorn.ParseError


def test_schema_objects_release_their_class():
    texts = ["schema A { x: [A] }", "schema A {", "union U @tag(t) { a: A } schema A {}"]
    before = sys.getrefcount(Schema)
    for _ in range(50):
        for text in texts:
            try:
                Schema.parse(text).describe()
            except ParseError:
                pass
    gc.collect()
    assert sys.getrefcount(Schema) == before


SUBINTERPRETER = """
import os, sys
# A legacy (shared-GIL) interpreter, so the import reaches the module's own check instead of
# stopping at the per-interpreter-GIL gate of 3.12 and later.
try:
    import _interpreters as interpreters  # 3.13
    def create():
        return interpreters.create("legacy")
except ImportError:
    import _xxsubinterpreters as interpreters
    def create():
        if sys.version_info >= (3, 12):
            return interpreters.create(isolated=False)
        return interpreters.create()

PROBE = '''
try:
    import vorn_schema
    outcome = "imported"
except ImportError as e:
    outcome = "ImportError: " + str(e)
print(outcome, flush=True)
'''

def in_subinterpreter():
    sub = create()
    try:
        interpreters.run_string(sub, PROBE)
    finally:
        interpreters.destroy(sub)

def in_main():
    import vorn_schema
    v = vorn_schema.Schema.parse("schema A { a: u8 }").validator("A")
    print("main", v({"a": 1}), v(b'{"a": 2}'), flush=True)

for step in sys.argv[1:]:
    {"sub": in_subinterpreter, "main": in_main}[step]()
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
    refused = "ImportError: _vorn can only be loaded in the main interpreter"
    expected = {"sub": refused, "main": "main {'a': 1} {'a': 2}"}
    assert done.stdout.splitlines() == [expected[step] for step in order]
