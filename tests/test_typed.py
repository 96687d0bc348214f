"""Typed results: the generated TypedDict module, the typed helper, and mypy on an example."""

import datetime
import os
import pathlib
import shutil
import subprocess
import sys
import typing

import pytest

from vorn_schema import Schema, TypedValidator
from vorn_schema.typeddict import generate

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"

SCHEMA = """
schema class { from: u8  import: optional String?  tags: [String?]  when: Date  at: DateTime
               kind: enum { a, "b'c" }  next: optional class  any: optional Either }
schema Left { x: f64 }
union Either @tag("the tag") { "left side": Left  right: Left }
"""


def load(source, tmp_path, name):
    path = tmp_path / f"{name}.py"
    path.write_text(source)
    sys.path.insert(0, str(tmp_path))
    try:
        return __import__(name)
    finally:
        sys.path.remove(str(tmp_path))
        sys.modules.pop(name, None)


@pytest.mark.parametrize("not_required", [True, False], ids=["NotRequired", "total-False"])
def test_generated_module_imports_and_describes_the_keys(tmp_path, not_required):
    if not_required and sys.version_info < (3, 11):
        pytest.skip("NotRequired needs Python 3.11")
    source = generate(Schema.parse(SCHEMA), "s.vorn", not_required)
    imports = [line for line in source.splitlines() if line.startswith(("import", "from"))]
    assert imports == ["import datetime as _datetime", "import typing as _t"]
    module = load(source, tmp_path, f"gen_{not_required}")
    cls = module.class_
    assert cls.__required_keys__ == {"from", "tags", "when", "at", "kind"}
    assert cls.__optional_keys__ == {"import", "next", "any"}
    hints = typing.get_type_hints(cls, vars(module))
    assert hints["when"] is datetime.date and hints["at"] is datetime.datetime
    assert hints["kind"] == typing.Literal["a", "b'c"]
    assert hints["tags"] == typing.Sequence[typing.Optional[str]]
    left = module.Either_left_side
    assert typing.get_type_hints(left, vars(module))["the tag"] == typing.Literal["left side"]
    assert list(left.__annotations__)[0] == "the tag"
    assert typing.get_args(module.Either) == (module.Either_left_side, module.Either_right)
    assert module.__all__[-1] == "Either"


def test_typed_validator_returns_the_validators_result():
    v = Schema.parse(SCHEMA).validator("Left")
    typed = TypedValidator[dict](v)
    assert typed({"x": 1.5}) == typed.validate({"x": 1.5}) == {"x": 1.5}
    assert typed.validator is v and typed.type_name == "Left"
    assert repr(typed) == "TypedValidator(Validator(Left))"


def _mypy(tmp_path, source):
    pytest.importorskip("mypy")
    import vorn_schema

    (tmp_path / "shop_types.py").write_text(generate(Schema.load(EXAMPLES / "shop.vorn")))
    (tmp_path / "typed_orders.py").write_text(source)
    env = dict(os.environ)
    package_root = pathlib.Path(os.path.abspath(vorn_schema.__file__)).parent.parent
    if "site-packages" not in package_root.parts:
        # A development build: mypy finds installed packages itself, and only those.
        env["MYPYPATH"] = str(package_root)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "typed_orders.py",
         "shop_types.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )


# Each row edits the typed example; None means mypy --strict passes, otherwise its message.
TYPED_USE = """

def order_key(body: bytes) -> tuple[str, int]:
    return orders.type_name, orders.validate(body)["id"]
"""


@pytest.mark.subprocess
@pytest.mark.parametrize("old, new, error", [
    ("", "", None),
    ('item["unit_price_cents"]', 'item["unit_price"]',
     'TypedDict "LineItem" has no key "unit_price"'),
    ("", TYPED_USE, None),
    ("", TYPED_USE.replace('["id"]', '["idd"]'), 'TypedDict "Order" has no key "idd"'),
    ("", TYPED_USE.replace("tuple[str, int]", "tuple[int, int]"), "Incompatible return value"),
], ids=["example", "misspelled-key", "validate-and-type-name", "validate-is-typed",
        "type-name-is-str"])
def test_mypy_strict_on_the_typed_example(tmp_path, old, new, error):
    shutil.copy(EXAMPLES / "shop.vorn", tmp_path)
    source = (EXAMPLES / "typed_orders.py").read_text()
    if old:
        assert old in source
        source = source.replace(old, new)
    else:
        source += new
    done = _mypy(tmp_path, source)
    if error is None:
        assert done.returncode == 0, done.stdout + done.stderr
    else:
        assert done.returncode == 1 and error in done.stdout, done.stdout


@pytest.mark.subprocess
def test_import_leaves_typing_unimported():
    # Importing `typing` took most of the package's import time; only type checkers need it.
    code = ("import sys, vorn_schema; assert 'typing' not in sys.modules, 'typing'; "
            "assert vorn_schema.TypedValidator[int] is vorn_schema.TypedValidator; "
            "assert 'ErrorDict' in dir(vorn_schema); "
            "assert vorn_schema.ErrorDict.__required_keys__ == {'path', 'code', 'message'}")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
