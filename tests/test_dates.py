"""Date and DateTime texts, and date/datetime objects on the Python road."""

from datetime import date, datetime, timedelta, timezone

import pytest

from conftest import Err, issues_of, validator

SCHEMA = "schema D { d: optional Date  t: optional DateTime }"
UTC = timezone.utc
INVALID, NO_OFFSET = "invalid", "no offset"  # an issue worded from the row's field and text


@pytest.fixture(scope="module")
def v():
    return validator(SCHEMA, "D")


def issue(kind, field, text):
    if kind == NO_OFFSET:
        message = f"`{text}` has no UTC offset; Vorn does not assume local time"
        return [Err("missing_timezone", field, message)]
    name = "date" if field == "d" else "datetime"
    return [Err(f"invalid_{name}", field, f"`{text}` is not a valid {name}")]


@pytest.mark.parametrize(
    "field, text, expected",
    [
        # Date: YYYY-MM-DD with a real calendar day
        ("d", "2024-02-29", date(2024, 2, 29)),
        ("d", "2000-02-29", date(2000, 2, 29)),
        ("d", "2024-12-31", date(2024, 12, 31)),
        ("d", "2024-04-30", date(2024, 4, 30)),
        ("d", "9999-12-31", date(9999, 12, 31)),
        pytest.param("d", "2096-02-29", date(2096, 2, 29), id="leap-year-with-9-in-it"),
        ("d", "2023-02-29", INVALID),
        pytest.param("d", "1900-02-29", INVALID, id="century-not-leap"),
        ("d", "2024-02-30", INVALID),
        ("d", "2024-04-31", INVALID),
        ("d", "2024-00-10", INVALID),
        ("d", "2024-13-01", INVALID),
        ("d", "2024-01-00", INVALID),
        ("d", "2024-01-32", INVALID),
        pytest.param("d", "2024-1-01", INVALID, id="one-digit-month"),
        pytest.param("d", "2024-01-01T00:00:00Z", INVALID, id="datetime-text"),
        ("d", "2024/01/01", INVALID),
        pytest.param("d", "+024-01-01", INVALID, id="signed-year"),
        pytest.param("d", "2024-01-01 ", INVALID, id="trailing-blank"),
        pytest.param("d", "2024-01-\u0661\u0661", INVALID, id="non-ascii-digits"),
        ("d", "", INVALID),
        pytest.param("d", 20240101, [Err("type_mismatch", "d", "expected date, found integer")],
                     id="date-not-text"),
        # DateTime: YYYY-MM-DDTHH:MM:SS, any fraction, and a UTC offset that is required
        ("t", "2024-05-01T10:00:00Z", datetime(2024, 5, 1, 10, tzinfo=UTC)),
        pytest.param("t", "2024-05-01t10:00:00z", datetime(2024, 5, 1, 10, tzinfo=UTC),
                     id="lower-case-t-z"),
        pytest.param(
            "t", "2024-05-01T10:00:00.123456789+05:30",
            datetime(2024, 5, 1, 10, 0, 0, 123456, tzinfo=timezone(timedelta(hours=5, minutes=30))),
            id="nine-fraction-digits",
        ),
        ("t", "2024-05-01T23:59:59-23:59",
         datetime(2024, 5, 1, 23, 59, 59, tzinfo=timezone(-timedelta(hours=23, minutes=59)))),
        ("t", "2024-05-01T00:00:00.5-00:00", datetime(2024, 5, 1, 0, 0, 0, 500000, tzinfo=UTC)),
        pytest.param("t", "2024-05-01T10:00:00", NO_OFFSET, id="no-offset"),
        pytest.param("t", "2024-05-01T10:00:00.5", NO_OFFSET, id="fraction-no-offset"),
        pytest.param("t", "2024-05-01", INVALID, id="date-only"),
        pytest.param("t", "2024-05-01T", INVALID, id="separator-only"),
        pytest.param("t", "2024-05-01 10:00:00Z", INVALID, id="blank-separator"),
        pytest.param("t", "2024-05-01T10:00Z", INVALID, id="no-seconds"),
        ("t", "2024-05-01T24:00:00Z", INVALID),
        ("t", "2024-05-01T10:60:00Z", INVALID),
        ("t", "2024-05-01T10:00:61Z", INVALID),
        pytest.param("t", "2024-05-01T10:00:00.Z", INVALID, id="empty-fraction"),
        pytest.param("t", "2024-05-01T10:00:00.", INVALID, id="dot-last"),
        pytest.param("t", "2024-05-01T10:00:00+0530", INVALID, id="offset-no-colon"),
        pytest.param("t", "2024-05-01T10:00:00+05", INVALID, id="offset-hours-only"),
        pytest.param("t", "2024-05-01T10:00:00+01:00:00", INVALID, id="offset-with-seconds"),
        ("t", "2024-05-01T10:00:00+24:00", INVALID),
        ("t", "2024-05-01T10:00:00+05:60", INVALID),
        pytest.param("t", "2024-05-01T10:00:00 Z", INVALID, id="blank-before-offset"),
        pytest.param("t", "2024-05-01T10:00:00ZZ", INVALID, id="two-zones"),
        pytest.param("t", "2024-02-30T10:00:00Z", INVALID, id="no-such-day"),
        pytest.param("t", "2024-05-01T1\u0661:00:00Z", INVALID, id="non-ascii-digit"),
        ("t", "", INVALID),
        pytest.param("t", True, [Err("type_mismatch", "t", "expected datetime, found bool")],
                     id="datetime-not-text"),
    ],
)
def test_texts(check, v, field, text, expected):
    if expected in (INVALID, NO_OFFSET):
        expected = issue(expected, field, text)
    elif not isinstance(expected, list):
        expected = {field: expected}
    check(v, {field: text}, expected)


# Python road only: date and datetime objects are checked through their isoformat() text,
# and one of the field's own class is its own result.

AWARE = datetime(2024, 1, 31, 12, 0, tzinfo=UTC)
SAME = "the object itself"


@pytest.mark.parametrize(
    "field, value, expected",
    [
        pytest.param("d", date(2024, 1, 31), SAME, id="date"),
        pytest.param("t", AWARE, SAME, id="aware-datetime"),
        pytest.param("t", datetime(2024, 1, 31, 12, 0, 0, 7, timezone(timedelta(minutes=-90))),
                     SAME, id="microseconds-negative-offset"),
        pytest.param("t", datetime(2024, 1, 31, 12, 0),
                     issue(NO_OFFSET, "t", "2024-01-31T12:00:00"), id="naive"),
        pytest.param("t", date(2024, 1, 31), issue(INVALID, "t", "2024-01-31"),
                     id="date-for-datetime"),
        pytest.param("d", AWARE, issue(INVALID, "d", "2024-01-31T12:00:00+00:00"),
                     id="datetime-for-date"),
        pytest.param("t", datetime(2024, 1, 31, 12, 0, tzinfo=timezone(timedelta(seconds=30))),
                     issue(INVALID, "t", "2024-01-31T12:00:00+00:00:30"), id="offset-with-seconds"),
    ],
)
def test_objects(v, field, value, expected):
    if expected == SAME:
        assert v({field: value})[field] is value
    else:
        assert issues_of(lambda: v({field: value})) == expected
