"""atheris target: schema text through the extension, then describe() and binding.

Every text either raises ParseError with a "{line}:{column}: {message}" text, or gives a
schema whose description names exactly its types, is plain data, and whose every type binds.
Run by fuzz/run.sh with the instrumented extension and atheris's ASan runtime preloaded.
"""

import json
import re
import sys

import atheris

with atheris.instrument_imports():
    from vorn_schema import ParseError, Schema

POSITION = re.compile(r"[1-9][0-9]*:[1-9][0-9]*: .")


def test_one_input(data):
    text = data.decode("utf-8", "replace")
    try:
        schema = Schema.parse(text)
    except ParseError as e:
        assert len(e.args) == 1 and POSITION.match(str(e)), e.args
        return
    described = schema.describe()
    assert sorted(described) == schema.type_names(), (described, schema.type_names())
    json.dumps(described)  # plain data only: dicts, lists, str, int, bool, None
    for name in schema.type_names()[:8]:
        v = schema.validator(name)
        assert repr(v) == f"Validator({name})" and v.type_name == name


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
