"""Time-zone-aware datetimes into UTC instants and back, through NavFix."""

import datetime as dt

import pytest

from quillrun_sdk import NavFix

UTC = dt.timezone.utc


def tz(**offset):
    return dt.timezone(dt.timedelta(**offset))


class OffsetTz(dt.tzinfo):
    """A tzinfo whose utcoffset(None) is whatever the test asks for."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        return self.offset

    def __repr__(self):
        return f"OffsetTz({self.offset!r})"


class ZoneLike(dt.tzinfo):
    """An offset that depends on the date: none without one."""

    def utcoffset(self, when):
        return None if when is None else dt.timedelta(hours=1)

    def __repr__(self):
        return "ZoneLike()"


def notes(e):
    return getattr(e, "__notes__", [])


def fix_at(when, param="gps_time"):
    return NavFix(0.0, 0.0, **{param: when})


@pytest.mark.parametrize(
    "given, utc",
    [
        (dt.datetime(2024, 1, 1, 1, 0, tzinfo=tz(hours=1)), dt.datetime(2024, 1, 1, 0, 0, tzinfo=UTC)),
        (dt.datetime(2024, 1, 1, 0, 0, tzinfo=tz(hours=-5, minutes=-30)), dt.datetime(2024, 1, 1, 5, 30, tzinfo=UTC)),
        (dt.datetime(2024, 5, 1, 12, 0, 0, 123456, tzinfo=UTC), dt.datetime(2024, 5, 1, 12, 0, 0, 123456, tzinfo=UTC)),
        # Before 1970: microseconds count down, not toward zero.
        (dt.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), dt.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)),
        (dt.datetime(1, 1, 1, 0, 0, tzinfo=UTC), dt.datetime(1, 1, 1, 0, 0, tzinfo=UTC)),
        (dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)),
        # Offsets below the minute, to the microsecond.
        (dt.datetime(2024, 3, 1, 0, 0, 0, 0, tzinfo=tz(seconds=1, microseconds=500)), dt.datetime(2024, 2, 29, 23, 59, 58, 999500, tzinfo=UTC)),
        (dt.datetime(2000, 1, 1, tzinfo=tz(hours=23, minutes=59, seconds=59, microseconds=999999)), dt.datetime(1999, 12, 31, 0, 0, 0, 1, tzinfo=UTC)),
        (dt.datetime(2000, 1, 1, tzinfo=tz(hours=-23, minutes=-59)), dt.datetime(2000, 1, 1, 23, 59, tzinfo=UTC)),
    ],
)
def test_wall_clock_minus_offset_comes_back_in_utc(given, utc):
    fix = NavFix(0.0, 0.0, gps_time=given, sys_time=given)
    for got in (fix.gps_time, fix.sys_time):
        assert got == utc
        assert (got.year, got.month, got.day, got.hour, got.minute, got.second, got.microsecond) == (
            utc.year, utc.month, utc.day, utc.hour, utc.minute, utc.second, utc.microsecond)
        assert got.tzinfo is UTC
        assert type(got) is dt.datetime


def test_each_read_makes_a_new_datetime():
    fix = fix_at(dt.datetime(2024, 1, 1, tzinfo=UTC))
    assert fix.gps_time is not fix.gps_time


def test_subclasses_of_datetime_are_taken():
    class Stamp(dt.datetime):
        pass

    fix = fix_at(Stamp(2024, 1, 1, 2, 0, tzinfo=tz(hours=2)))
    assert fix.gps_time == dt.datetime(2024, 1, 1, tzinfo=UTC)


@pytest.mark.parametrize("param", ["gps_time", "sys_time"])
def test_naive_datetime_is_refused(param):
    with pytest.raises(TypeError) as info:
        fix_at(dt.datetime(2024, 1, 1), param)
    assert str(info.value) == "expected a datetime with non-None tzinfo"
    assert notes(info.value) == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "value, text",
    [
        ("2024-01-01T00:00:00Z", "'str' object is not an instance of 'datetime'"),
        (dt.date(2024, 1, 1), "'date' object is not an instance of 'datetime'"),
        (1704067200, "'int' object is not an instance of 'datetime'"),
    ],
)
def test_objects_other_than_datetimes_are_refused(value, text):
    with pytest.raises(TypeError) as info:
        fix_at(value)
    assert str(info.value) == text
    assert notes(info.value) == ["while processing 'gps_time'"]


def test_offset_that_depends_on_the_date_is_refused():
    with pytest.raises(TypeError) as info:
        fix_at(dt.datetime(2024, 1, 1, tzinfo=ZoneLike()), "sys_time")
    assert str(info.value) == "ZoneLike() is not a fixed offset timezone"
    assert notes(info.value) == ["while processing 'sys_time'"]


@pytest.mark.parametrize(
    "offset",
    [dt.timedelta(days=1), dt.timedelta(days=-1), dt.timedelta(hours=25), dt.timedelta(days=-1000)],
)
def test_offset_of_a_day_or_more_is_out_of_bounds(offset):
    with pytest.raises(ValueError) as info:
        fix_at(dt.datetime(2024, 1, 1, tzinfo=OffsetTz(offset)))
    assert str(info.value) == "fixed offset out of bounds"
    assert notes(info.value) == ["while processing 'gps_time'"]


def test_offset_just_under_a_day_either_way_is_taken():
    base = dt.datetime(2024, 6, 1, 12, 0)
    for offset in (dt.timedelta(days=1, microseconds=-1), -dt.timedelta(days=1, microseconds=-1)):
        got = fix_at(base.replace(tzinfo=OffsetTz(offset))).gps_time
        assert got == base.replace(tzinfo=UTC) - offset


def test_offset_that_is_not_a_timedelta_is_refused():
    with pytest.raises(TypeError):
        fix_at(dt.datetime(2024, 1, 1, tzinfo=OffsetTz(3600)))


def test_error_of_the_tzinfo_itself_propagates():
    class Broken(dt.tzinfo):
        def utcoffset(self, when):
            raise LookupError("no zone data")

    with pytest.raises(LookupError, match="no zone data"):
        fix_at(dt.datetime(2024, 1, 1, tzinfo=Broken()))


def test_instants_outside_the_years_of_datetime_fail_on_the_way_out():
    # Both are instants a trace can hold; datetime cannot show them.
    early = fix_at(dt.datetime(1, 1, 1, 0, 30, tzinfo=tz(hours=1)))
    with pytest.raises(ValueError, match="year 0 is out of range"):
        early.gps_time
    late = fix_at(dt.datetime(9999, 12, 31, 23, 30, tzinfo=tz(hours=-1)))
    with pytest.raises(ValueError, match="year 10000 is out of range"):
        late.gps_time
    assert repr(late) == "NavFix(lat=0.000000, lon=0.000000)"  # the object stays usable
