import json
import os
from dataclasses import dataclass

import pytest
from hypothesis import settings

from vorn_schema import ParseError, ValidationError, _vorn

settings.register_profile("fast", max_examples=60, deadline=None)
settings.register_profile("slow", max_examples=2000, deadline=None)
settings.load_profile(os.environ.get("VORN_HYPOTHESIS_PROFILE", "fast"))


@dataclass(frozen=True)
class Err:
    """An expected issue: code, rendered path, message (None: do not compare)."""

    code: str
    path: str = "<root>"
    message: str | None = None


def issues_of(call):
    """Runs `call`, which must raise ValidationError, and returns its issues as Err rows."""
    with pytest.raises(ValidationError) as info:
        call()
    return [Err(i.code, i.path, i.message) for i in info.value.args[0].list()]


def raised(call):
    """Runs `call`, which must raise ValidationError, and returns the error."""
    with pytest.raises(ValidationError) as info:
        call()
    return info.value


def typed(value):
    """The value with every type spelled out, so that 1, 1.0 and True differ."""
    if isinstance(value, dict):
        return ("dict", [(k, typed(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [typed(v) for v in value])
    if isinstance(value, float):
        return ("float", repr(value))
    return (type(value).__name__, value)


def outcome(v, payload):
    """What `v` makes of `payload`, comparable across roads, threads and processes."""
    try:
        return ("ok", typed(v(payload)))
    except ParseError as e:
        return ("parse", str(e))
    except ValidationError as e:
        issues = e.args[0]
        return ("issues", [(i.code, i.path, i.message) for i in issues.list()], str(e), len(issues))


def matches(actual, expected):
    """Whether the Err rows match, ignoring messages where the expectation gives none."""
    if len(actual) != len(expected):
        return False
    return all(
        a.code == e.code and a.path == e.path and (e.message is None or a.message == e.message)
        for a, e in zip(actual, expected)
    )


@pytest.fixture(params=["python", "json"])
def road(request):
    """Feeds a payload to a validator as Python data or as JSON bytes."""
    if request.param == "python":
        return lambda v, payload: v(payload)
    return lambda v, payload: v(json.dumps(payload).encode())


@pytest.fixture
def check(road):
    """check(validator, payload, expected): expected is the output, or a list of Err rows."""

    def run(v, payload, expected):
        if isinstance(expected, list) and all(isinstance(e, Err) for e in expected):
            got = issues_of(lambda: road(v, payload))
            assert matches(got, expected), got
        else:
            assert road(v, payload) == expected

    return run


def validator(text, name, **limits):
    """Parses schema text and binds `name`, with optional Limits keywords."""
    schema = _vorn.Schema.parse(text)
    return schema.validator(name, _vorn.Limits(**limits) if limits else None)
