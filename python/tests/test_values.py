"""Satellite, SatelliteReport, NavFix and Annotation: conversions, order of
checks, getters, reprs and by-value equality."""

import datetime as dt
import math
import struct

import pytest

from quillrun_sdk import Annotation, EventMarker, NavFix, Satellite, SatelliteReport
from quillrun_sdk.enums import Constellation, MarkerIcon

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 5, 1, 12, 0, tzinfo=UTC)
NAN = float("nan")


def f32(value):
    """The nearest 32-bit float, widened back (reference narrowing)."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def notes(e):
    return getattr(e, "__notes__", [])


# ---------------------------------------------------------------- Satellite


def test_satellite_getters_and_defaults():
    s = Satellite(Constellation.GALILEO, 11)
    assert s.constellation is Constellation.GALILEO
    assert (s.prn, s.in_fix, s.elevation, s.azimuth, s.snr) == (11, False, None, None, None)
    assert s.snr_is_no_data_sentinel is False
    s = Satellite(constellation=Constellation.QZSS, prn=3, in_fix=True, elevation=45, azimuth=-10.5, snr=41.25)
    assert (s.in_fix, s.elevation, s.azimuth, s.snr) == (True, 45.0, -10.5, 41.25)
    assert type(s.elevation) is float


@pytest.mark.parametrize("prn", [0, 1, 2**32 - 1])
def test_prn_range_is_accepted(prn):
    assert Satellite(Constellation.GPS, prn).prn == prn


@pytest.mark.parametrize("prn", [-1, 2**32, 2**63 - 1])
def test_prn_outside_u32_overflows(prn):
    with pytest.raises(OverflowError) as info:
        Satellite(Constellation.GPS, prn)
    assert str(info.value) == "out of range integral type conversion attempted"
    assert notes(info.value) == ["while processing 'prn'"]


@pytest.mark.parametrize("prn, error", [(2**64, OverflowError), (1.0, TypeError), ("1", TypeError), (None, TypeError)])
def test_prn_refused_by_the_interpreter(prn, error):
    with pytest.raises(error) as info:
        Satellite(Constellation.GPS, prn)
    assert notes(info.value) == ["while processing 'prn'"]


def test_prn_takes_index_objects():
    class Prn:
        def __index__(self):
            return 17

    assert Satellite(Constellation.GPS, Prn()).prn == 17


@pytest.mark.parametrize(
    "value, text",
    [
        (1, "'int' object is not an instance of 'bool'"),
        (None, "'None' is not an instance of 'bool'"),
        ("yes", "'str' object is not an instance of 'bool'"),
    ],
)
def test_in_fix_takes_only_bools(value, text):
    with pytest.raises(TypeError) as info:
        Satellite(Constellation.GPS, 1, in_fix=value)
    assert str(info.value) == text
    assert notes(info.value) == ["while processing 'in_fix'"]


def test_in_fix_takes_numpy_booleans():
    np = pytest.importorskip("numpy")
    assert Satellite(Constellation.GPS, 1, in_fix=np.bool_(True)).in_fix is True
    assert Satellite(Constellation.GPS, 1, in_fix=np.bool_(False)).in_fix is False
    with pytest.raises(TypeError):
        Satellite(Constellation.GPS, 1, in_fix=np.int8(1))


@pytest.mark.parametrize(
    "given", [0.1, 1 / 3, 123.456789, -5.0, 1e-50, 3.4028235e38, 3.4028235677973366e38, 1e39, -1e300]
)
def test_angles_and_snr_are_narrowed_to_32_bit_floats(given):
    s = Satellite(Constellation.GPS, 1, elevation=given, azimuth=given, snr=given)
    expected = f32(given) if abs(given) < 3.4028235677973366e38 else math.copysign(math.inf, given)
    assert s.elevation == s.azimuth == s.snr == expected


def test_narrowing_edge_values():
    assert Satellite(Constellation.GPS, 1, elevation=0.1).elevation == 0.10000000149011612
    # Halfway between FLT_MAX and 2**128 rounds to even: infinity.
    assert Satellite(Constellation.GPS, 1, snr=2.0**128 - 2.0**103).snr == math.inf
    assert Satellite(Constellation.GPS, 1, snr=2.0**128 - 2.0**103 - 2.0**75).snr == f32(3.4028234663852886e38)
    assert math.isnan(Satellite(Constellation.GPS, 1, snr=NAN).snr)
    assert math.copysign(1.0, Satellite(Constellation.GPS, 1, azimuth=-0.0).azimuth) == -1.0


@pytest.mark.parametrize(
    "snr, sentinel",
    [(99.3, True), (99.0, True), (99, True), (98.5, False), (99.5, False), (99.49999999, False),
     (98.50001, True), (None, False), (NAN, False), (math.inf, False), (-99.0, False)],
)
def test_snr_no_data_sentinel(snr, sentinel):
    assert Satellite(Constellation.GPS, 1, snr=snr).snr_is_no_data_sentinel is sentinel


def test_constellation_must_be_a_member():
    with pytest.raises(TypeError) as info:
        Satellite("GPS", 1)
    assert str(info.value) == "expected a Constellation member, got str"
    assert notes(info.value) == ["while processing 'constellation'"]
    with pytest.raises(TypeError, match="expected a Constellation member, got MarkerIcon"):
        Satellite(MarkerIcon.PIN, 1)


def test_constellation_is_checked_before_prn():
    with pytest.raises(TypeError, match="Constellation member"):
        Satellite(None, -1)


@pytest.mark.parametrize(
    "member, name", [(Constellation.GPS, "GPS"), (Constellation.BEIDOU, "BEIDOU"), (Constellation.NAVIC, "NAVIC")]
)
def test_satellite_repr(member, name):
    assert repr(Satellite(member, 7)) == f"Satellite(constellation=Constellation.{name}, prn=7)"


def test_satellite_repr_of_beidou_7():
    assert repr(Satellite(Constellation.BEIDOU, 7)) == "Satellite(constellation=Constellation.BEIDOU, prn=7)"


def test_satellite_signature_and_argument_errors():
    assert Satellite.__text_signature__ == "(constellation, prn, *, in_fix=False, elevation=None, azimuth=None, snr=None)"
    assert "eighth significant digit" in Satellite.__doc__
    with pytest.raises(TypeError) as info:
        Satellite(Constellation.GPS)
    assert str(info.value) == "Satellite.__new__() missing 1 required positional argument: 'prn'"
    with pytest.raises(TypeError) as info:
        Satellite(Constellation.GPS, 1, True)
    assert str(info.value) == "Satellite.__new__() takes 2 positional arguments but 3 were given"


# ---------------------------------------------------------------- equality, shared by the value classes


def test_satellite_equality_by_value():
    a = Satellite(Constellation.GPS, 5, in_fix=True, snr=40.0)
    assert a == Satellite(Constellation.GPS, 5, in_fix=True, snr=40.0)
    assert a != Satellite(Constellation.GPS, 5, in_fix=False, snr=40.0)
    assert a != Satellite(Constellation.GLONASS, 5, in_fix=True, snr=40.0)
    assert a != Satellite(Constellation.GPS, 5, in_fix=True)
    assert Satellite(Constellation.GPS, 5, elevation=0.0) == Satellite(Constellation.GPS, 5, elevation=-0.0)
    # Values that narrow to the same float are equal.
    assert Satellite(Constellation.GPS, 5, snr=0.1) == Satellite(Constellation.GPS, 5, snr=0.10000000149011612)


def test_comparison_with_other_types_and_orderings():
    s = Satellite(Constellation.GPS, 5)
    assert (s == 5) is False
    assert (s != 5) is True
    assert (s == Satellite(Constellation.GPS, 5)) is True
    assert s.__eq__(5) is NotImplemented
    assert s.__lt__(s) is NotImplemented
    with pytest.raises(TypeError):
        s < Satellite(Constellation.GPS, 6)
    with pytest.raises(TypeError):
        s >= s


def test_not_equal_goes_through_the_reflected_operand():
    class Anything:
        def __eq__(self, other):
            return True

    assert (Satellite(Constellation.GPS, 5) != Anything()) is False


@pytest.mark.parametrize(
    "make",
    [
        lambda: Satellite(Constellation.GPS, 5),
        lambda: SatelliteReport([], gps_time=T0),
        lambda: NavFix(1.0, 2.0, gps_time=T0),
        lambda: Annotation(T0),
    ],
)
def test_value_classes_are_unhashable(make):
    value = make()
    assert type(value).__hash__ is None
    with pytest.raises(TypeError):
        hash(value)
    with pytest.raises(TypeError):
        {value}


def test_nan_makes_an_object_unequal_to_itself():
    s = Satellite(Constellation.GPS, 5, snr=NAN)
    assert (s == s) is False
    assert (s != s) is True


# ---------------------------------------------------------------- SatelliteReport


def test_report_copies_the_satellites_in_order():
    a = Satellite(Constellation.GPS, 1, snr=30.0)
    b = Satellite(Constellation.GALILEO, 2, in_fix=True)
    report = SatelliteReport((a, b), sys_time=T0)
    tracked = report.tracked
    assert type(tracked) is list
    assert tracked == [a, b]
    assert tracked[0] is not a
    assert report.tracked is not report.tracked
    assert report.tracked[1] is not report.tracked[1]
    assert (report.gps_time, report.sys_time) == (None, T0)
    assert repr(report) == "SatelliteReport(tracked=2)"


def test_report_takes_any_sequence_read_by_iteration():
    s = Satellite(Constellation.GPS, 1)

    class Seq:
        def __len__(self):
            raise RuntimeError("len is only a hint")

        def __getitem__(self, i):
            if i < 3:
                return s
            raise IndexError(i)

    assert len(SatelliteReport(Seq(), gps_time=T0).tracked) == 3
    assert SatelliteReport((), gps_time=T0).tracked == []
    assert repr(SatelliteReport([], gps_time=T0)) == "SatelliteReport(tracked=0)"


@pytest.mark.parametrize(
    "tracked, text",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (None, "'None' is not an instance of 'Sequence'"),
        ({1: 2}, "'dict' object is not an instance of 'Sequence'"),
        (iter([]), "'list_iterator' object is not an instance of 'Sequence'"),
        (5, "'int' object is not an instance of 'Sequence'"),
    ],
)
def test_report_refuses_what_is_not_a_sequence(tracked, text):
    with pytest.raises(TypeError) as info:
        SatelliteReport(tracked, gps_time=T0)
    assert str(info.value) == text
    assert notes(info.value) == ["while processing 'tracked'"]


@pytest.mark.parametrize(
    "item, text",
    [
        (None, "'None' is not an instance of 'Satellite'"),
        (NavFix(0.0, 0.0, gps_time=T0), "'NavFix' object is not an instance of 'Satellite'"),
    ],
)
def test_report_items_must_be_satellites(item, text):
    with pytest.raises(TypeError) as info:
        SatelliteReport([Satellite(Constellation.GPS, 1), item], gps_time=T0)
    assert str(info.value) == text
    assert notes(info.value) == ["while processing 'tracked'"]


def test_report_needs_a_time_checked_last():
    with pytest.raises(ValueError) as info:
        SatelliteReport([Satellite(Constellation.GPS, 1)])
    assert str(info.value) == "provide gps_time or sys_time"
    assert notes(info.value) == []
    with pytest.raises(ValueError, match="provide gps_time or sys_time"):
        SatelliteReport([], gps_time=None, sys_time=None)
    # tracked, then gps_time, then sys_time.
    with pytest.raises(TypeError, match="Vec"):
        SatelliteReport("x", gps_time=dt.datetime(2024, 1, 1))
    with pytest.raises(TypeError) as info:
        SatelliteReport([], gps_time=dt.datetime(2024, 1, 1), sys_time=1)
    assert notes(info.value) == ["while processing 'gps_time'"]


def test_report_equality_covers_times_and_satellites():
    s1, s2 = Satellite(Constellation.GPS, 1), Satellite(Constellation.GPS, 2)
    r = SatelliteReport([s1, s2], gps_time=T0, sys_time=T0)
    assert r == SatelliteReport([s1, s2], gps_time=T0, sys_time=T0)
    assert r != SatelliteReport([s2, s1], gps_time=T0, sys_time=T0)
    assert r != SatelliteReport([s1], gps_time=T0, sys_time=T0)
    # Same instant, other time kind.
    assert SatelliteReport([], gps_time=T0) != SatelliteReport([], sys_time=T0)
    assert SatelliteReport([], gps_time=T0) != SatelliteReport([], gps_time=T0, sys_time=T0)
    later = T0 + dt.timedelta(microseconds=1)
    assert r != SatelliteReport([s1, s2], gps_time=T0, sys_time=later)


# ---------------------------------------------------------------- NavFix


def test_nav_fix_getters():
    fix = NavFix(51.5, -0.1, sys_time=T0, heading=90, speed_mps=1.5, eph_m=3.0)
    assert (fix.lat, fix.lon, fix.heading, fix.speed_mps, fix.eph_m) == (51.5, -0.1, 90.0, 1.5, 3.0)
    assert type(fix.heading) is float
    assert (fix.gps_time, fix.sys_time) == (None, T0)
    bare = NavFix(0, 0, gps_time=T0)
    assert (bare.heading, bare.speed_mps, bare.eph_m, bare.sys_time) == (None, None, None, None)
    assert bare.gps_time == T0


def test_nav_fix_keeps_nan_and_infinities():
    fix = NavFix(NAN, math.inf, gps_time=T0, heading=NAN, speed_mps=-math.inf, eph_m=NAN)
    assert math.isnan(fix.lat) and fix.lon == math.inf
    assert math.isnan(fix.heading) and math.isnan(fix.eph_m)
    assert fix.speed_mps == -math.inf
    assert repr(fix) == "NavFix(lat=NaN, lon=inf)"
    assert (fix == fix) is False
    assert (fix != fix) is True


@pytest.mark.parametrize(
    "lat, lon, text",
    [
        (51.5, -0.1, "NavFix(lat=51.500000, lon=-0.100000)"),
        (0.0, -0.0, "NavFix(lat=0.000000, lon=-0.000000)"),
        # Rounded from the binary value: 1.0000005 lies just above its
        # decimal, 2.5e-7 just below.
        (1.0000005, 2.5e-7, "NavFix(lat=1.000001, lon=0.000000)"),
        (-math.inf, 1e20, "NavFix(lat=-inf, lon=100000000000000000000.000000)"),
        (-NAN, 1e-7, "NavFix(lat=NaN, lon=0.000000)"),
    ],
)
def test_nav_fix_repr(lat, lon, text):
    assert repr(NavFix(lat, lon, gps_time=T0)) == text


def test_nav_fix_order_of_checks():
    with pytest.raises(TypeError) as info:
        NavFix("a", "b", gps_time=1)
    assert notes(info.value) == ["while processing 'lat'"]
    with pytest.raises(TypeError) as info:
        NavFix(1.0, 2.0, gps_time=dt.datetime(2024, 1, 1), heading="x")
    assert notes(info.value) == ["while processing 'gps_time'"]
    with pytest.raises(TypeError) as info:
        NavFix(1.0, 2.0, heading="x")  # a conversion fails before the missing times
    assert notes(info.value) == ["while processing 'heading'"]
    with pytest.raises(ValueError, match="^provide gps_time or sys_time$"):
        NavFix(1.0, 2.0, heading=None, speed_mps=None, eph_m=None)


def test_nav_fix_options_are_keyword_only():
    with pytest.raises(TypeError) as info:
        NavFix(1.0, 2.0, T0)
    assert str(info.value) == "NavFix.__new__() takes 2 positional arguments but 3 were given"
    with pytest.raises(TypeError) as info:
        NavFix(1.0, gps_time=T0)
    assert str(info.value) == "NavFix.__new__() missing 1 required positional argument: 'lon'"
    with pytest.raises(TypeError) as info:
        NavFix(1.0, 2.0, time=T0)
    assert str(info.value) == "NavFix.__new__() got an unexpected keyword argument 'time'"


def test_nav_fix_equality():
    a = NavFix(1.0, 2.0, gps_time=T0, heading=3.0)
    assert a == NavFix(1.0, 2.0, gps_time=T0, heading=3.0)
    assert a != NavFix(1.0, 2.0, gps_time=T0)
    assert a != NavFix(1.0, 2.0, sys_time=T0, heading=3.0)
    # The same instant given at another offset.
    assert a == NavFix(1.0, 2.0, gps_time=T0.astimezone(dt.timezone(dt.timedelta(hours=-3))), heading=3.0)
    assert a != Annotation(T0)


def test_getters_are_read_only():
    fix = NavFix(1.0, 2.0, gps_time=T0)
    with pytest.raises(AttributeError):
        fix.lat = 3.0
    with pytest.raises(AttributeError):
        del fix.heading


# ---------------------------------------------------------------- Annotation


def test_annotation_defaults_to_the_pin_icon():
    a = Annotation(T0)
    assert (a.time, a.label, a.icon, a.icon_code) == (T0, None, MarkerIcon.PIN, 0)
    assert a.icon is MarkerIcon.PIN
    b = Annotation(T0, label="Fuel", icon=MarkerIcon.WRENCH)
    assert (b.label, b.icon, b.icon_code) == ("Fuel", MarkerIcon.WRENCH, 13)


def test_annotation_signature_and_doc():
    assert Annotation.__text_signature__ == "(time, *, label=None, icon=...)"


@pytest.mark.parametrize(
    "label, expected",
    [
        ("", None),
        (None, None),
        ("a" * 255, "a" * 255),
        ("é" * 100, "é" * 100),  # 200 bytes
        ("é" * 127 + "a", "é" * 127 + "a"),  # 255 bytes
    ],
)
def test_annotation_labels_that_fit(label, expected):
    assert Annotation(T0, label=label).label == expected


@pytest.mark.parametrize(
    "label, length",
    [("a" * 256, 256), ("é" * 128, 256), ("€" * 86, 258)],
)
def test_annotation_label_past_255_bytes(label, length):
    with pytest.raises(ValueError) as info:
        Annotation(T0, label=label)
    assert str(info.value) == f'markers/label: "{label}" is {length} bytes, past the 255 bytes the field holds'
    assert notes(info.value) == []


def test_annotation_label_with_a_nul_byte():
    with pytest.raises(ValueError) as info:
        Annotation(T0, label="a\0b\0")
    assert str(info.value) == 'markers/label: "a\\0b\\0" has a nul byte at offset 1'
    # The NUL test comes before the length test.
    with pytest.raises(ValueError, match="nul byte at offset 300"):
        Annotation(T0, label="a" * 300 + "\0")


def test_annotation_order_of_checks():
    with pytest.raises(TypeError) as info:
        Annotation(T0, label=5, icon="pin")
    assert notes(info.value) == ["while processing 'label'"]
    # The icon refusal wins over a label that would fail its rules.
    with pytest.raises(TypeError) as info:
        Annotation(T0, label="a" * 300, icon=None)
    assert str(info.value) == "expected a MarkerIcon member, got NoneType"
    assert notes(info.value) == ["while processing 'icon'"]
    with pytest.raises(TypeError) as info:
        Annotation(dt.datetime(2024, 1, 1), label=5)
    assert notes(info.value) == ["while processing 'time'"]
    with pytest.raises(TypeError, match="expected a MarkerIcon member, got str"):
        Annotation(T0, icon="pin")


@pytest.mark.parametrize(
    "when, text",
    [
        (dt.datetime(2024, 5, 1, 12, 0, tzinfo=UTC), "Annotation(time=2024-05-01T12:00:00Z)"),
        (dt.datetime(2024, 5, 1, 12, 0, 0, 250000, tzinfo=UTC), "Annotation(time=2024-05-01T12:00:00.250Z)"),
        (dt.datetime(2024, 5, 1, 12, 0, 0, 250001, tzinfo=UTC), "Annotation(time=2024-05-01T12:00:00.250001Z)"),
        (dt.datetime(2024, 5, 1, 12, 0, 0, 1000, tzinfo=UTC), "Annotation(time=2024-05-01T12:00:00.001Z)"),
        (dt.datetime(1, 1, 1, 0, 0, tzinfo=UTC), "Annotation(time=0001-01-01T00:00:00Z)"),
        (dt.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), "Annotation(time=1969-12-31T23:59:59.999999Z)"),
        (dt.datetime(2024, 1, 1, 0, 30, tzinfo=dt.timezone(dt.timedelta(hours=1))), "Annotation(time=2023-12-31T23:30:00Z)"),
        # Year 0 is an instant datetime cannot show, but the repr can.
        (dt.datetime(1, 1, 1, 0, 30, tzinfo=dt.timezone(dt.timedelta(hours=1))), "Annotation(time=0000-12-31T23:30:00Z)"),
        (dt.datetime(9999, 12, 31, 23, 30, tzinfo=dt.timezone(dt.timedelta(hours=-1))), "Annotation(time=+10000-01-01T00:30:00Z)"),
    ],
)
def test_annotation_repr(when, text):
    assert repr(Annotation(when)) == text


def test_annotation_equality():
    a = Annotation(T0, label="x", icon=MarkerIcon.GEAR)
    assert a == Annotation(T0, label="x", icon=MarkerIcon.GEAR)
    assert a != Annotation(T0, label="y", icon=MarkerIcon.GEAR)
    assert a != Annotation(T0, label="x", icon=MarkerIcon.PIN)
    assert a != Annotation(T0 + dt.timedelta(microseconds=1), label="x", icon=MarkerIcon.GEAR)
    assert Annotation(T0, label="") == Annotation(T0)


def test_value_objects_are_not_gc_tracked_and_take_no_attributes():
    import gc

    for value in (Satellite(Constellation.GPS, 1), Annotation(T0), EventMarker(None, T0)):
        assert not gc.is_tracked(value)
        with pytest.raises(AttributeError):
            value.extra = 1


@pytest.mark.parametrize("cls", [Satellite, SatelliteReport, NavFix, Annotation])
def test_classes_present_themselves_as_builtins_and_refuse_subclasses(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", ["Satellite", "SatelliteReport", "NavFix", "Annotation"])
def test_bypassed_constructor_gives_objects_every_access_refuses(cls, run_isolated):
    # In a fresh interpreter: a rebound __new__ cannot be put back.
    out = run_isolated(
        f"""
        import datetime as dt
        import quillrun_sdk as q
        cls = q.{cls}
        cls.__new__ = lambda c, *a, **k: object.__new__(c)
        hollow = cls()
        accesses = [lambda: repr(hollow), lambda: hollow == hollow]
        accesses += [lambda n=n: getattr(hollow, n) for n in dir(cls) if not n.startswith("_")]
        if cls is q.Satellite:
            when = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
            accesses.append(lambda: q.SatelliteReport([hollow], gps_time=when))
        for access in accesses:
            try:
                access()
            except TypeError as e:
                assert str(e) == "'{cls}' object is not initialized", e
            else:
                raise AssertionError("an access went through")
        del hollow
        print(len(accesses))
        """
    )
    assert int(out) >= 5
