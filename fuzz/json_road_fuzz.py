"""atheris target: an arbitrary schema and JSON payload through the extension's JSON road.

The input is a limits byte, schema text, a NUL byte and the payload, as for pair_fuzz. The
payload goes in as bytes, bytearray and str, which must agree. A result must be a dict that
the same validator accepts again on the Python road, giving an equal result: what comes back
was checked. A failure is ParseError or ValidationError whose issues read back in full.
"""

import sys

import atheris

with atheris.instrument_imports():
    from vorn_schema import Limits, ParseError, Schema, ValidationError

MAX_ROOTS = 8


def limits_of(pick):
    if pick & 0x80 == 0:
        return None
    return Limits(pick & 0x0F, (pick >> 4) & 0x03, 16, 4)


def outcome(call):
    try:
        return ("ok", call())
    except ParseError as e:
        return ("parse", str(e))
    except ValidationError as e:
        issues = e.args[0]
        rows = [(i.code, i.path, i.message) for i in issues.list()]
        assert len(rows) == len(issues) and rows, rows
        assert issues.first_code() == rows[0][0] and issues.first_path() == rows[0][1]
        str(e)
        repr(issues)
        return ("invalid", rows)


def test_one_input(data):
    if not data:
        return
    schema_text, sep, payload = data[1:].partition(b"\x00")
    if not sep:
        return
    try:
        schema = Schema.parse(schema_text.decode("utf-8", "replace"))
    except ParseError:
        return
    limits = limits_of(data[0])
    for name in schema.type_names()[:MAX_ROOTS]:
        v = schema.validator(name, limits)
        first = outcome(lambda: v(payload))
        assert outcome(lambda: v(bytearray(payload))) == first
        try:
            text = payload.decode("utf-8")
        except UnicodeDecodeError:
            text = None
        if text is not None:
            assert outcome(lambda: v(text)) == first
        if first[0] == "ok":
            result = first[1]
            assert type(result) is dict
            assert v(result) == result, (result, v(result))


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
