"""Date and DateTime texts, and date/datetime objects on the Python road."""

from datetime import date, datetime, timedelta, timezone

import pytest

from conftest import Err, issues_of, validator

SCHEMA = "schema D { d: optional Date  t: optional DateTime }"

NO_OFFSET = "`{}` has no UTC offset; Vorn does not assume local time"
NOT_VALID = "`{}` is not a valid {}"


@pytest.fixture(scope="module")
def v():
    return validator(SCHEMA, "D")


def bad_date(text):
    return [Err("invalid_date", "d", NOT_VALID.format(text, "date"))]


def bad_datetime(text):
    return [Err("invalid_datetime", "t", NOT_VALID.format(text, "datetime"))]


def no_offset(text):
    return [Err("missing_timezone", "t", NO_OFFSET.format(text))]


UTC = timezone.utc


@pytest.mark.parametrize(
    "text, expected",
    [
        ("2024-02-29", date(2024, 2, 29)),
        ("2000-02-29", date(2000, 2, 29)),
        ("2024-12-31", date(2024, 12, 31)),
        ("2024-04-30", date(2024, 4, 30)),
        ("9999-12-31", date(9999, 12, 31)),
        pytest.param("2096-02-29", date(2096, 2, 29), id="leap-year-with-9-in-it"),
    ],
)
def test_date_accepted(check, v, text, expected):
    check(v, {"d": text}, {"d": expected})


@pytest.mark.parametrize(
    "text",
    [
        "2023-02-29",
        pytest.param("1900-02-29", id="century-not-leap"),
        "2024-02-30",
        "2024-04-31",
        "2024-00-10",
        "2024-13-01",
        "2024-01-00",
        "2024-01-32",
        pytest.param("2024-1-01", id="one-digit-month"),
        pytest.param("2024-01-01T00:00:00Z", id="datetime-text"),
        "2024/01/01",
        pytest.param("+024-01-01", id="signed-year"),
        pytest.param("2024-01-01 ", id="trailing-blank"),
        pytest.param("2024-01-\u0661\u0661", id="non-ascii-digits"),
        "",
    ],
)
def test_date_rejected(check, v, text):
    check(v, {"d": text}, bad_date(text))


@pytest.mark.parametrize(
    "text, expected",
    [
        ("2024-05-01T10:00:00Z", datetime(2024, 5, 1, 10, tzinfo=UTC)),
        pytest.param(
            "2024-05-01t10:00:00z", datetime(2024, 5, 1, 10, tzinfo=UTC), id="lower-case-t-z"
        ),
        pytest.param(
            "2024-05-01T10:00:00.123456789+05:30",
            datetime(2024, 5, 1, 10, 0, 0, 123456, tzinfo=timezone(timedelta(hours=5, minutes=30))),
            id="nine-fraction-digits",
        ),
        (
            "2024-05-01T23:59:59-23:59",
            datetime(2024, 5, 1, 23, 59, 59, tzinfo=timezone(-timedelta(hours=23, minutes=59))),
        ),
        ("2024-05-01T00:00:00.5-00:00", datetime(2024, 5, 1, 0, 0, 0, 500000, tzinfo=UTC)),
    ],
)
def test_datetime_accepted(check, v, text, expected):
    check(v, {"t": text}, {"t": expected})


@pytest.mark.parametrize(
    "text",
    [
        pytest.param("2024-05-01T10:00:00", id="no-offset"),
        pytest.param("2024-05-01T10:00:00.5", id="fraction-no-offset"),
    ],
)
def test_datetime_missing_timezone(check, v, text):
    check(v, {"t": text}, no_offset(text))


@pytest.mark.parametrize(
    "text",
    [
        pytest.param("2024-05-01", id="date-only"),
        pytest.param("2024-05-01T", id="separator-only"),
        pytest.param("2024-05-01 10:00:00Z", id="blank-separator"),
        pytest.param("2024-05-01T10:00Z", id="no-seconds"),
        "2024-05-01T24:00:00Z",
        "2024-05-01T10:60:00Z",
        "2024-05-01T10:00:61Z",
        pytest.param("2024-05-01T10:00:00.Z", id="empty-fraction"),
        pytest.param("2024-05-01T10:00:00.", id="dot-last"),
        pytest.param("2024-05-01T10:00:00+0530", id="offset-no-colon"),
        pytest.param("2024-05-01T10:00:00+05", id="offset-hours-only"),
        pytest.param("2024-05-01T10:00:00+01:00:00", id="offset-with-seconds"),
        "2024-05-01T10:00:00+24:00",
        "2024-05-01T10:00:00+05:60",
        pytest.param("2024-05-01T10:00:00 Z", id="blank-before-offset"),
        pytest.param("2024-05-01T10:00:00ZZ", id="two-zones"),
        pytest.param("2024-02-30T10:00:00Z", id="no-such-day"),
        pytest.param("2024-05-01T1\u0661:00:00Z", id="non-ascii-digit"),
        "",
    ],
)
def test_datetime_rejected(check, v, text):
    check(v, {"t": text}, bad_datetime(text))


@pytest.mark.parametrize(
    "payload, expected",
    [
        pytest.param({"d": 20240101}, [Err("type_mismatch", "d", "expected date, found integer")]),
        pytest.param({"t": True}, [Err("type_mismatch", "t", "expected datetime, found bool")]),
    ],
)
def test_not_text(check, v, payload, expected):
    check(v, payload, expected)


# Python road only: date and datetime objects are checked through their isoformat() text.

AWARE = datetime(2024, 1, 31, 12, 0, tzinfo=UTC)


@pytest.mark.parametrize(
    "payload",
    [
        pytest.param({"d": date(2024, 1, 31)}, id="date"),
        pytest.param({"t": AWARE}, id="aware-datetime"),
        pytest.param(
            {"t": datetime(2024, 1, 31, 12, 0, 0, 7, tzinfo=timezone(timedelta(minutes=-90)))},
            id="microseconds-negative-offset",
        ),
    ],
)
def test_objects_accepted_and_passed_through(v, payload):
    (key, obj), = payload.items()
    assert v(payload)[key] is obj


@pytest.mark.parametrize(
    "payload, expected",
    [
        pytest.param(
            {"t": datetime(2024, 1, 31, 12, 0)}, no_offset("2024-01-31T12:00:00"), id="naive"
        ),
        pytest.param(
            {"t": date(2024, 1, 31)}, bad_datetime("2024-01-31"), id="date-for-datetime"
        ),
        pytest.param(
            {"d": AWARE}, bad_date("2024-01-31T12:00:00+00:00"), id="datetime-for-date"
        ),
        pytest.param(
            {"t": datetime(2024, 1, 31, 12, 0, tzinfo=timezone(timedelta(seconds=30)))},
            bad_datetime("2024-01-31T12:00:00+00:00:30"),
            id="offset-with-seconds",
        ),
    ],
)
def test_objects_rejected(v, payload, expected):
    assert issues_of(lambda: v(payload)) == expected
