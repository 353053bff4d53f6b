import gc
import math
import warnings
from datetime import datetime, timezone

import pytest

from quillrun_sdk import _quillrun_sdk as m
from quillrun_sdk.enums import MarkerIcon
from qrd_craft import ChannelRow, EventRow, MarkerRow, Point, Report, Sat, StyleRow, at, qrd_bytes, us

NavFile = m.NavFile
UTC = timezone.utc
T0 = us(datetime(2024, 5, 1, 12, 0, 0, tzinfo=UTC))
NAN = float("nan")

VIEWS = [
    ("points", "NavPointSequence", "NavPointIterator", "NavPoint"),
    ("markers", "MarkerSequence", "MarkerIterator", "Marker"),
    ("event_markers", "EventMarkerPointSequence", "EventMarkerPointIterator", "EventMarkerPoint"),
    ("channels", "ChannelSequence", "ChannelIterator", "Channel"),
    ("event_marker_styles", "EventMarkerStyleSequence", "EventMarkerStyleIterator", "EventMarkerStyle"),
]


def three_of_each():
    """Every table with three rows, each row telling its index."""
    return NavFile.from_bytes(qrd_bytes(
        points=[
            Point(10.0, 20.0, gps=T0, sys=T0 + 7, heading=90.0, speed=1.5, eph=3.0),
            Point(11.0, 21.0, sys=T0 + 1_000_000),
            Point(12.0, 22.0, gps=T0 + 2_000_000, heading=NAN),
        ],
        reports=[Report(0, gps=T0, sats=[Sat(0, 5, 1, 10.0, 20.0, 30.0), Sat(3, 7)])],
        markers=[MarkerRow(T0 + i, 10.0 + i, 20.0, icon=i, label=f"m{i}") for i in range(3)],
        events=[EventRow(T0 + i, 10.0 + i, 20.0, f"e/{i}") for i in range(3)],
        styles=[StyleRow(f"s/{i}", "pin") for i in range(3)],
        channels=[ChannelRow(f"c{i}", [T0], [float(i)]) for i in range(3)],
    ))


@pytest.fixture
def nav_file():
    return three_of_each()


def row_of(element):
    """The row an element of three_of_each() came from."""
    for name in ("variant_path", "name"):
        if hasattr(element, name):
            return int(getattr(element, name)[-1])
    return int(element.lat - 10.0)


# ------------------------------------------------------------------ the classes


@pytest.mark.parametrize("getter, view_class, iterator_class, element_class", VIEWS)
def test_view_and_iterator_classes(nav_file, getter, view_class, iterator_class, element_class):
    view = getattr(nav_file, getter)
    assert type(view) is getattr(m, view_class)
    assert type(iter(view)) is getattr(m, iterator_class)
    assert type(view[0]) is getattr(m, element_class)
    for cls in (type(view), type(iter(view))):
        assert cls.__module__ == "builtins"
        with pytest.raises(TypeError):
            cls()
    assert type(iter(view)).__doc__ is None
    assert not hasattr(type(iter(view)), "__len__")


@pytest.mark.parametrize(
    "view_class, first_sentence",
    [
        ("NavPointSequence", "The nav points of a :class:`NavFile`, in chronological order."),
        ("MarkerSequence", "The map markers of a :class:`NavFile` with their interpolated positions."),
        ("EventMarkerPointSequence", "The event markers of a :class:`NavFile` with their interpolated positions."),
        ("EventMarkerStyleSequence", "The per-variant event marker styles of a :class:`NavFile`."),
        ("ChannelSequence", "The sensor channels of a :class:`NavFile`, sorted by name."),
    ],
)
def test_view_docstrings_share_their_tail(view_class, first_sentence):
    doc = getattr(m, view_class).__doc__
    assert doc.startswith(first_sentence + "\n\n")
    assert doc[len(first_sentence):] == m.NavPointSequence.__doc__[len(
        "The nav points of a :class:`NavFile`, in chronological order."):]


@pytest.mark.parametrize("getter, view_class", [(v[0], v[1]) for v in VIEWS])
def test_length_and_repr(nav_file, getter, view_class):
    view = getattr(nav_file, getter)
    assert len(view) == 3
    assert repr(view) == f"{view_class}(len=3)"


def test_repr_of_twelve_points():
    points = NavFile.from_bytes(qrd_bytes(points=[Point(0.0, 0.0, gps=T0 + i) for i in range(12)])).points
    assert repr(points) == "NavPointSequence(len=12)"


# ------------------------------------------------------------------ indexing


@pytest.mark.parametrize("getter", [v[0] for v in VIEWS])
@pytest.mark.parametrize("index, row", [(0, 0), (2, 2), (-1, 2), (-3, 0), (True, 1), (False, 0)])
def test_integer_indexing(nav_file, getter, index, row):
    assert row_of(getattr(nav_file, getter)[index]) == row


class Index:
    def __index__(self):
        return -2


def test_index_objects_are_taken(nav_file):
    assert row_of(nav_file.points[Index()]) == 1


@pytest.mark.parametrize("getter", [v[0] for v in VIEWS])
@pytest.mark.parametrize("index", [3, -4, 2**62, -(2**62)])
def test_indices_outside_raise_index_error(nav_file, getter, index):
    with pytest.raises(IndexError) as info:
        getattr(nav_file, getter)[index]
    assert str(info.value) == "index out of range"


def test_index_past_64_bits_is_an_overflow(nav_file):
    with pytest.raises(OverflowError):
        nav_file.points[2**64]


@pytest.mark.parametrize("key", [1.0, "1", None, (0,)])
def test_keys_of_other_kinds_are_a_type_error(nav_file, key):
    with pytest.raises(TypeError):
        nav_file.points[key]


@pytest.mark.parametrize("getter", [v[0] for v in VIEWS])
@pytest.mark.parametrize(
    "key, rows",
    [
        (slice(None), [0, 1, 2]),
        (slice(None, None, -1), [2, 1, 0]),
        (slice(None, None, 2), [0, 2]),
        (slice(None, None, -2), [2, 0]),
        (slice(1, None), [1, 2]),
        (slice(-2, -1), [1]),
        (slice(5, 10), []),
        (slice(2, 0), []),
        (slice(-100, 100, 1), [0, 1, 2]),
        (slice(2**70, None, -1), [2, 1, 0]),
    ],
)
def test_slices_give_new_lists(nav_file, getter, key, rows):
    got = getattr(nav_file, getter)[key]
    assert type(got) is list
    assert [row_of(e) for e in got] == rows


def test_slice_step_zero_and_bad_bounds(nav_file):
    with pytest.raises(ValueError):
        nav_file.points[::0]
    with pytest.raises(TypeError):
        nav_file.points[1.5:]


def test_views_answer_the_sequence_protocol(nav_file):
    # operator-level item access through the sequence slot, and unpacking.
    a, b, c = nav_file.points
    assert [row_of(e) for e in (a, b, c)] == [0, 1, 2]
    assert [row_of(e) for e in reversed(nav_file.markers)] == [2, 1, 0]


def test_two_reads_of_one_element_are_distinct_objects(nav_file):
    points = nav_file.points
    assert points[0] is not points[0]
    assert points[0] != points[0]
    hash(points[0])  # by identity
    for getter in ("points", "markers", "event_markers", "event_marker_styles"):
        view = getattr(nav_file, getter)
        assert view[0] not in view


# ------------------------------------------------------------------ iteration


def test_iteration_yields_every_row_in_order(nav_file):
    for getter, *_ in VIEWS:
        assert [row_of(e) for e in getattr(nav_file, getter)] == [0, 1, 2]


def test_iterators_advance_independently_and_stay_exhausted(nav_file):
    view = nav_file.points
    first, second = iter(view), iter(view)
    assert iter(first) is first
    assert row_of(next(first)) == 0
    assert row_of(next(first)) == 1
    assert row_of(next(second)) == 0
    assert row_of(next(first)) == 2
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(first)
    assert [row_of(e) for e in second] == [1, 2]


def test_an_empty_table():
    nav_file = NavFile.from_bytes(qrd_bytes())
    for getter, *_ in VIEWS:
        view = getattr(nav_file, getter)
        assert len(view) == 0
        assert list(view) == []
        assert view[:] == []
        with pytest.raises(IndexError, match="^index out of range$"):
            view[0]
        with pytest.raises(IndexError):
            view[-1]
    points = nav_file.points
    for method in ("latitudes", "longitudes", "gps_times", "sys_times", "headings", "speeds_mps", "eph_m_values"):
        assert getattr(points, method)() == []


def test_views_and_iterators_outlive_their_nav_file():
    nav_file = three_of_each()
    points, markers = nav_file.points, nav_file.markers
    it = iter(nav_file.event_markers)
    next(it)
    del nav_file
    gc.collect()
    assert points.latitudes() == [10.0, 11.0, 12.0]
    assert [m.label for m in markers] == ["m0", "m1", "m2"]
    assert [row_of(e) for e in it] == [1, 2]
    element = points[0]
    del points
    gc.collect()
    assert element.lat == 10.0


# ------------------------------------------------------------------ column methods


def test_column_methods(nav_file):
    points = nav_file.points
    assert points.latitudes() == [10.0, 11.0, 12.0]
    assert points.longitudes() == [20.0, 21.0, 22.0]
    assert points.gps_times() == [at(T0), None, at(T0 + 2_000_000)]
    assert points.sys_times() == [at(T0 + 7), at(T0 + 1_000_000), None]
    # NaN in the file is how an absent value is stored.
    assert points.headings() == [90.0, None, None]
    assert points.speeds_mps() == [1.5, None, None]
    assert points.eph_m_values() == [3.0, None, None]
    assert points.latitudes() is not points.latitudes()


def test_columns_match_the_element_getters(nav_file):
    points = nav_file.points
    columns = {
        "lat": points.latitudes(), "lon": points.longitudes(), "gps_time": points.gps_times(),
        "sys_time": points.sys_times(), "heading": points.headings(), "speed_mps": points.speeds_mps(),
        "eph_m": points.eph_m_values(),
    }
    for attribute, column in columns.items():
        assert column == [getattr(p, attribute) for p in points]


def test_a_nan_latitude_is_kept_in_the_column():
    points = NavFile.from_bytes(qrd_bytes(points=[Point(NAN, 1.0, gps=T0)])).points
    assert math.isnan(points.latitudes()[0])
    assert math.isnan(points[0].lat)


@pytest.mark.parametrize(
    "method, doc",
    [
        ("latitudes", "Every point's latitude in degrees."),
        ("longitudes", "Every point's longitude in degrees."),
        ("gps_times", "Every point's GPS-receiver timestamp, ``None`` where the receiver\nhad no lock."),
        ("sys_times", "Every point's system-clock timestamp, ``None`` where the recorder\nsupplied none."),
        ("headings", "Every point's heading in degrees, or ``None`` for a fix without one."),
        ("speeds_mps", "Every point's speed in m/s, or ``None`` for a fix without one."),
        ("eph_m_values", "Every point's horizontal accuracy radius in metres, or ``None`` for a\nfix without one."),
    ],
)
def test_column_method_docstrings_and_arity(nav_file, method, doc):
    assert getattr(m.NavPointSequence, method).__doc__ == doc
    with pytest.raises(TypeError):
        getattr(nav_file.points, method)(1)


def test_a_nan_heading_from_the_builder_stays_a_float():
    if not hasattr(m, "NavFileBuilder"):
        pytest.skip("needs NavFileBuilder")
    nav_file = m.NavFileBuilder().add(m.NavFix(1.0, 2.0, gps_time=at(T0), heading=NAN)).finish()
    assert math.isnan(nav_file.points.headings()[0])
    assert math.isnan(nav_file.points[0].heading)


# ------------------------------------------------------------------ NavPoint


def test_nav_point_getters(nav_file):
    both, host_only, receiver_only = nav_file.points
    assert (both.lat, both.lon, both.heading, both.speed_mps, both.eph_m) == (10.0, 20.0, 90.0, 1.5, 3.0)
    assert (both.gps_time, both.sys_time) == (at(T0), at(T0 + 7))
    assert both.gps_time.tzinfo is UTC
    assert (host_only.gps_time, host_only.sys_time) == (None, at(T0 + 1_000_000))
    assert (receiver_only.gps_time, receiver_only.sys_time) == (at(T0 + 2_000_000), None)
    assert receiver_only.heading is None


def test_nav_point_satellites(nav_file):
    point = nav_file.points[0]
    report = point.satellites
    assert type(report) is m.SatelliteReport
    assert report is not point.satellites
    assert report == point.satellites
    assert report.gps_time == at(T0)
    assert [(s.prn, s.in_fix, s.elevation) for s in report.tracked] == [(5, True, 10.0), (7, False, None)]
    assert nav_file.points[1].satellites is None


@pytest.mark.parametrize(
    "lat, lon, text",
    [
        (51.5, -0.1, "NavPoint(lat=51.500000, lon=-0.100000)"),
        (NAN, 0.0, "NavPoint(lat=NaN, lon=0.000000)"),
        (-0.0, float("inf"), "NavPoint(lat=-0.000000, lon=inf)"),
        (float("-inf"), 0.0000005, "NavPoint(lat=-inf, lon=0.000000)"),
        (0.0000015, 1e20, "NavPoint(lat=0.000002, lon=100000000000000000000.000000)"),
    ],
)
def test_nav_point_repr(lat, lon, text):
    point = NavFile.from_bytes(qrd_bytes(points=[Point(lat, lon, gps=T0)])).points[0]
    assert repr(point) == text


def test_nav_point_class():
    assert m.NavPoint.__doc__.startswith(
        "A nav fix combined with its associated satellite report, as read from a file.")
    assert m.NavPoint.lat.__doc__ == "Latitude in degrees, expected in [-90, 90]."
    assert m.NavPoint.gps_time.__doc__ == (
        "GPS-receiver timestamp (timezone-aware UTC), or `None` when the receiver\nhad no lock.")
    assert m.NavPoint.satellites.__doc__ == "Associated satellite report, or `None` if none was recorded at this fix."
    with pytest.raises(TypeError):
        m.NavPoint()


# ------------------------------------------------------------------ Marker


def test_marker_getters(nav_file):
    marker = nav_file.markers[2]
    assert (marker.lat, marker.lon, marker.label, marker.time) == (12.0, 20.0, "m2", at(T0 + 2))
    assert marker.icon is MarkerIcon.CIRCLE
    assert marker.icon_code == 2
    annotation = marker.annotation
    assert type(annotation) is m.Annotation
    assert (annotation.label, annotation.time, annotation.icon_code) == ("m2", at(T0 + 2), 2)
    assert repr(marker) == "Marker(lat=12.000000, lon=20.000000)"


def test_a_marker_with_an_unknown_icon_code_and_no_label():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        marker = NavFile.from_bytes(qrd_bytes(
            points=[Point(0.0, 0.0, gps=T0)], markers=[MarkerRow(T0, 0.0, 0.0, icon=200)])).markers[0]
    assert (marker.icon, marker.icon_code, marker.label) == (None, 200, None)
    assert (marker.annotation.icon, marker.annotation.icon_code, marker.annotation.label) == (None, 200, None)


def test_marker_docstrings():
    assert m.Marker.__doc__ == "A map annotation with its interpolated position on the nav track."
    assert m.Marker.icon_code.__doc__ == (
        "The stored code of :attr:`icon`.\n\nAn icon code this build does not have is returned unchanged, and\n"
        ":attr:`icon` is ``None`` for it."
    )


# ------------------------------------------------------------------ EventMarkerPoint


def test_event_marker_point_getters():
    events = NavFile.from_bytes(qrd_bytes(
        points=[Point(0.0, 0.0, gps=T0)],
        events=[EventRow(T0, -1.25, 2.5, "a//b", "cold start"), EventRow(T0 + 1, 0.0, 0.0, "power/boot")],
    )).event_markers
    first, second = events
    assert (first.variant_path, first.sys_time, first.lat, first.lon, first.annotation) == (
        "a//b", at(T0), -1.25, 2.5, "cold start")
    assert second.annotation is None
    assert repr(second) == "EventMarkerPoint(variant_path=power/boot, lat=0.000000, lon=0.000000)"
    assert m.EventMarkerPoint.lat.__doc__ == "Interpolated latitude in degrees."
    assert m.EventMarkerPoint.variant_path.__doc__ is None


# ------------------------------------------------------------------ channels and styles


def test_channel_and_style_elements_are_copies_of_the_records():
    nav_file = NavFile.from_bytes(qrd_bytes(
        channels=[ChannelRow("imu", [T0, T0 + 1], [1, 2, 3, 4, 5, 6], ["x", "y", "z"]), ChannelRow("b", [], [])],
        styles=[StyleRow("power/boot", "gear", "#00ff00")],
    ))
    assert [c.name for c in nav_file.channels] == ["b", "imu"]
    imu = nav_file.channels[-1]
    assert imu.components == ["x", "y", "z"]
    assert imu.times == [at(T0), at(T0 + 1)]
    assert imu == nav_file.channels[1]
    style = nav_file.event_marker_styles[0]
    assert (style.variant_path, style.icon, style.icon_name, style.color) == (
        "power/boot", MarkerIcon.GEAR, "gear", "#00ff00")


# ------------------------------------------------------------------ objects made without a constructor


def test_objects_made_around_the_missing_constructor_are_refused(run_isolated):
    out = run_isolated(
        """
        from quillrun_sdk import _quillrun_sdk as m
        checks = {
            "NavPoint": lambda o: o.lat, "Marker": lambda o: o.icon, "EventMarkerPoint": repr,
            "NavPointSequence": len, "MarkerSequence": lambda o: o[0], "ChannelSequence": iter,
            "NavPointIterator": next, "EventMarkerStyleIterator": next,
        }
        for name, check in checks.items():
            cls = getattr(m, name)
            cls.__new__ = lambda c: object.__new__(c)
            obj = cls()
            try:
                check(obj)
            except TypeError as e:
                print(e)
            del obj
        """
    )
    assert out.splitlines() == [
        "'NavPoint' object is not initialized", "'Marker' object is not initialized",
        "'EventMarkerPoint' object is not initialized", "'NavPointSequence' object is not initialized",
        "'MarkerSequence' object is not initialized", "'ChannelSequence' object is not initialized",
        "'NavPointIterator' object is not initialized", "'EventMarkerStyleIterator' object is not initialized",
    ]
