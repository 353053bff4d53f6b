import io
import logging
import math
import re
from datetime import datetime, timedelta, timezone

import h5py
import pytest

from quillrun_sdk import (
    Annotation,
    Channel,
    ChannelUnit,
    EventMarker,
    EventMarkerStyle,
    Meta,
    NavFile,
    NavFileBuilder,
    NavFix,
    Satellite,
    SatelliteReport,
    Unit,
)
from quillrun_sdk.enums import Constellation, MarkerIcon, TravelMode
from quillrun_sdk.event_kind import event_kind

T0 = datetime(2024, 5, 1, 12, 0, 0, tzinfo=timezone.utc)
CONSUMED = "builder already consumed by finish()"
NEGATIVE_WINDOW = "the satellite window must be zero or longer"
ADD_ITEM_HEAD = "failed to extract enum AddItem ('Fix | Report | Annotation | EventMarker | Channel')"
VARIANTS = [("Fix", "NavFix"), ("Report", "SatelliteReport"), ("Annotation", "Annotation"),
            ("EventMarker", "EventMarker"), ("Channel", "Channel")]


def at(seconds=0.0, micros=0):
    return T0 + timedelta(seconds=seconds, microseconds=micros)


def fix(seconds=0.0, lat=51.5, lon=-0.1):
    return NavFix(lat, lon, gps_time=at(seconds))


def report(seconds=0.0, micros=0, prn=5):
    return SatelliteReport([Satellite(Constellation.GPS, prn, snr=40.0)], gps_time=at(seconds, micros))


def style(path, color=None):
    return EventMarkerStyle(path, color=color)


def consumed_builder():
    builder = NavFileBuilder()
    builder.finish()
    return builder


def adding_builder():
    return NavFileBuilder().add(fix())


def consumed_after_adding():
    builder = adding_builder()
    builder.finish()
    return builder


def consumed_after_a_failed_finish():
    builder = NavFileBuilder().add(report())
    with pytest.raises(ValueError):
        builder.finish()
    return builder


CONSUMED_STATES = [consumed_builder, consumed_after_adding, consumed_after_a_failed_finish]


# The six settings methods, each with an argument it accepts.
SETTINGS = [
    ("with_meta", (Meta(title="t"),)),
    ("with_title", ("t",)),
    ("with_device", ("d",)),
    ("with_notes", ("n",)),
    ("with_lenient_errors", ()),
    ("with_satellite_window", (timedelta(seconds=1),)),
]


# ---------------------------------------------------------------- states


def test_finish_without_items_gives_an_empty_trace_with_provenance_only():
    nav_file = NavFileBuilder().finish()
    assert type(nav_file) is NavFile
    for view in ("points", "markers", "event_markers", "channels", "event_marker_styles"):
        assert len(getattr(nav_file, view)) == 0
    meta = nav_file.meta
    assert (meta.title, meta.device, meta.notes, meta.identity, meta.travel_mode) == (None,) * 5
    assert meta.sdk_version is not None


@pytest.mark.parametrize("method, args", SETTINGS)
def test_settings_return_the_builder_itself(method, args):
    builder = NavFileBuilder()
    assert getattr(builder, method)(*args) is builder


def test_items_return_the_builder_itself():
    builder = NavFileBuilder()
    assert builder.add(fix()) is builder
    assert builder.add_event_marker_style(style("a")) is builder
    assert builder.add(item=fix(1)) is builder


@pytest.mark.parametrize("method, args", SETTINGS)
def test_settings_after_add_name_the_method(method, args):
    builder = adding_builder()
    with pytest.raises(RuntimeError) as info:
        getattr(builder, method)(*args)
    assert str(info.value) == f"{method}() must be called before adding data"


@pytest.mark.parametrize("state", CONSUMED_STATES)
@pytest.mark.parametrize("method, args", SETTINGS)
def test_settings_after_finish_report_the_consumed_builder(state, method, args):
    builder = state()
    with pytest.raises(RuntimeError) as info:
        getattr(builder, method)(*args)
    assert str(info.value) == CONSUMED


@pytest.mark.parametrize("state", CONSUMED_STATES)
@pytest.mark.parametrize(
    "call",
    [
        lambda b: b.add(fix()),
        lambda b: b.add(EventMarker(None, at())),
        lambda b: b.add_event_marker_style(style("a")),
        lambda b: b.finish(),
    ],
)
def test_items_and_finish_after_finish_report_the_consumed_builder(state, call):
    builder = state()
    with pytest.raises(RuntimeError) as info:
        call(builder)
    assert str(info.value) == CONSUMED


@pytest.mark.parametrize("path", [None, event_kind.skip])
def test_a_skipped_event_marker_stores_nothing_but_ends_configuring(path):
    builder = NavFileBuilder().add(EventMarker(path, at(), annotation="x\0" * 400))
    with pytest.raises(RuntimeError) as info:
        builder.with_meta(Meta())
    assert str(info.value) == "with_meta() must be called before adding data"
    # Nothing stored: without any nav fix a stored marker would fail the build.
    assert len(builder.finish().event_markers) == 0


def test_a_style_as_the_first_item_ends_configuring():
    builder = NavFileBuilder().add_event_marker_style(style("a"))
    with pytest.raises(RuntimeError) as info:
        builder.with_title("t")
    assert str(info.value) == "with_title() must be called before adding data"
    # Styles alone need no nav fix.
    assert [s.variant_path for s in builder.finish().event_marker_styles] == ["a"]


def test_add_by_keyword_works_like_add_by_position():
    nav_file = NavFileBuilder().add(item=fix(0)).add(fix(1)).finish()
    assert len(nav_file.points) == 2


# ---------------------------------------------------------------- order of checks


@pytest.mark.parametrize("state", [NavFileBuilder, adding_builder, consumed_builder])
@pytest.mark.parametrize("bad", [42, None, "fix", Satellite(Constellation.GPS, 1), Meta()])
def test_a_wrong_item_is_a_type_error_in_every_state(state, bad):
    with pytest.raises(TypeError) as info:
        state().add(bad)
    lines = str(info.value).split("\n")
    assert lines[0] == ADD_ITEM_HEAD
    assert len(lines) == 1 + len(VARIANTS)
    for line, (variant, cls) in zip(lines[1:], VARIANTS):
        assert line.startswith(f"- variant {variant} ({variant}): ")
        if bad is None:
            assert line.endswith(f"'None' is not an instance of '{cls}'")
        else:
            assert line.endswith(f"'{type(bad).__name__}' object is not an instance of '{cls}'")
    assert info.value.__notes__ == ["while processing 'item'"]


@pytest.mark.parametrize("state", [NavFileBuilder, adding_builder, consumed_builder])
def test_a_wrong_style_is_a_type_error_in_every_state(state):
    with pytest.raises(TypeError) as info:
        state().add_event_marker_style(1)
    assert str(info.value) == "'int' object is not an instance of 'EventMarkerStyle'"
    assert info.value.__notes__ == ["while processing 'style'"]


@pytest.mark.parametrize("state", [NavFileBuilder, adding_builder, consumed_builder])
@pytest.mark.parametrize(
    "method, arg, cls, param",
    [
        ("with_meta", "title", "Meta", "meta"),
        ("with_title", 5, "str", "title"),
        ("with_device", b"d", "str", "device"),
        ("with_notes", None, "str", "notes"),
        ("with_satellite_window", 0.5, "timedelta", "window"),
        ("with_satellite_window", None, "timedelta", "window"),
    ],
)
def test_argument_kinds_are_checked_before_the_state(state, method, arg, cls, param):
    with pytest.raises(TypeError) as info:
        getattr(state(), method)(arg)
    if arg is None:
        assert str(info.value) == f"'None' is not an instance of '{cls}'"
    else:
        assert str(info.value) == f"'{type(arg).__name__}' object is not an instance of '{cls}'"
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("state", [NavFileBuilder, adding_builder, consumed_builder])
@pytest.mark.parametrize(
    "window",
    [timedelta(microseconds=-1), timedelta(days=-1), timedelta(seconds=-1, microseconds=999_999), timedelta.min],
)
def test_a_negative_window_is_a_value_error_in_every_state(state, window):
    with pytest.raises(ValueError) as info:
        state().with_satellite_window(window)
    assert str(info.value) == NEGATIVE_WINDOW
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("method", ["with_title", "with_device", "with_notes"])
@pytest.mark.parametrize(
    "state, text", [(adding_builder, "{}() must be called before adding data"), (consumed_builder, CONSUMED)]
)
def test_the_nul_test_comes_after_the_state_tests(method, state, text):
    with pytest.raises(RuntimeError) as info:
        getattr(state(), method)("a\0b")
    assert str(info.value) == text.format(method)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: NavFileBuilder(1), "NavFileBuilder.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: NavFileBuilder(x=1), "NavFileBuilder.__new__() got an unexpected keyword argument 'x'"),
        (lambda: NavFileBuilder().add(), "NavFileBuilder.add() missing 1 required positional argument: 'item'"),
        (lambda: NavFileBuilder().with_title("a", "b"),
         "NavFileBuilder.with_title() takes 1 positional arguments but 2 were given"),
        (lambda: NavFileBuilder().with_satellite_window(delta=timedelta(0)),
         "NavFileBuilder.with_satellite_window() got an unexpected keyword argument 'delta'"),
    ],
)
def test_argument_parsing(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize("method", ["with_lenient_errors", "finish"])
def test_methods_without_parameters_take_no_argument(method):
    with pytest.raises(TypeError):
        getattr(NavFileBuilder(), method)(1)


def test_settings_take_their_parameter_by_keyword():
    nav_file = (
        NavFileBuilder()
        .with_meta(meta=Meta(identity="i"))
        .with_title(title="t")
        .with_device(device="d")
        .with_notes(notes="n")
        .with_satellite_window(window=timedelta(0))
        .add_event_marker_style(style=style("a"))
        .finish()
    )
    meta = nav_file.meta
    assert (meta.title, meta.device, meta.notes, meta.identity) == ("t", "d", "n", "i")


# ---------------------------------------------------------------- metadata


@pytest.mark.parametrize(
    "method, text, field, offset",
    [
        ("with_title", "a\0b", "title", 1),
        ("with_title", "\0", "title", 0),
        ("with_device", "é\0", "device", 2),  # bytes, not characters
        ("with_notes", "ab\0c\0", "notes", 2),
    ],
)
def test_a_nul_byte_is_refused_and_the_setting_kept(method, text, field, offset):
    builder = NavFileBuilder()
    getattr(builder, method)("before")
    with pytest.raises(ValueError) as info:
        getattr(builder, method)(text)
    assert str(info.value) == f"the {field} value has a nul byte at offset {offset}"
    assert getattr(builder.finish().meta, field) == "before"


def test_a_text_setting_on_a_builder_without_meta_sets_only_its_field():
    meta = NavFileBuilder().with_notes("n").finish().meta
    assert (meta.title, meta.device, meta.notes, meta.identity, meta.travel_mode) == (None, None, "n", None, None)


def test_with_meta_replaces_earlier_text_settings_whole():
    meta = NavFileBuilder().with_notes("n").with_meta(Meta(title="T")).finish().meta
    assert (meta.title, meta.notes) == ("T", None)


def test_text_settings_change_one_field_of_the_given_meta():
    given = Meta(title="T", device="D", notes="N", identity="I", travel_mode="unicycle")
    meta = NavFileBuilder().with_meta(given).with_device("d2").with_title("").finish().meta
    assert meta.title == ""  # empty, not absent
    assert (meta.device, meta.notes, meta.identity, meta.travel_mode) == ("d2", "N", "I", "unicycle")
    assert given.device == "D"


def test_later_text_settings_replace_earlier_ones():
    meta = NavFileBuilder().with_title("a").with_title("b").finish().meta
    assert meta.title == "b"


def test_provenance_of_the_given_meta_is_overwritten():
    stamped = NavFileBuilder().finish().meta
    meta = NavFileBuilder().with_meta(stamped).with_title("again").finish().meta
    assert meta.title == "again"
    assert (meta.sdk_version, meta.sdk_git_commit, meta.sdk_commit_time) == (
        stamped.sdk_version, stamped.sdk_git_commit, stamped.sdk_commit_time)


# ---------------------------------------------------------------- satellite window


def associated(nav_file):
    return [p.satellites is not None for p in nav_file.points]


@pytest.mark.parametrize(
    "window, offset_us, joins",
    [
        (None, 500_000, True),  # the default is 500 ms, inclusive
        (None, 500_001, False),
        (timedelta(0), 0, True),
        (timedelta(0), 1, False),
        (timedelta(milliseconds=250), 250_000, True),
        (timedelta(milliseconds=250), 250_001, False),
        (timedelta(seconds=3, microseconds=7), 3_000_007, True),
        (timedelta(days=3650), 10**12, True),
        (timedelta.max, 10**12, True),  # saturates instead of overflowing
    ],
)
def test_the_window_decides_association(window, offset_us, joins):
    builder = NavFileBuilder()
    if window is not None:
        builder.with_satellite_window(window)
    nav_file = builder.add(fix(0)).add(report(0, offset_us)).finish()
    # A report that no fix takes becomes a ghost nav fix.
    assert associated(nav_file) == ([True] if joins else [False, True])


def test_the_last_window_set_wins_and_finish_without_add_keeps_it():
    builder = NavFileBuilder().with_satellite_window(timedelta(seconds=5)).with_satellite_window(timedelta(0))
    assert associated(builder.add(fix(0)).add(report(0, 1)).finish()) == [False, True]


# ---------------------------------------------------------------- styles


def test_the_last_style_for_a_path_wins():
    nav_file = NavFileBuilder().add_event_marker_style(style("a/b", "#000000")).add_event_marker_style(
        style("a/b", "#FFFFFF")).finish()
    assert [(s.variant_path, s.color) for s in nav_file.event_marker_styles] == [("a/b", "#FFFFFF")]


def test_styles_come_out_in_byte_order_of_their_paths():
    paths = ["b", "a/b", "a", "a_b", "a-b", "B", "ab"]
    builder = NavFileBuilder()
    for path in paths:
        builder.add_event_marker_style(style(path))
    got = [s.variant_path for s in builder.finish().event_marker_styles]
    assert got == sorted(paths, key=lambda p: p.encode())
    assert got[:3] == ["B", "a", "a-b"]


# ---------------------------------------------------------------- build errors and placement


def test_build_errors_are_value_errors():
    with pytest.raises(ValueError) as info:
        NavFileBuilder().add(report()).add(Annotation(at())).add(EventMarker("a", at())).finish()
    assert type(info.value) is ValueError
    assert str(info.value) == (
        "1 satellite report(s), 1 annotation(s) and 1 event marker(s) have no nav fix to take a position "
        "from: at least one nav fix is required"
    )


def test_duplicate_channel_names_fail_the_build():
    channel = Channel("speed", [at(0)], [1.0])
    builder = NavFileBuilder().add(channel).add(Channel("alpha", [at(0)], [1.0])).add(channel)
    with pytest.raises(ValueError) as info:
        builder.finish()
    assert str(info.value) == 'two channels share the name "speed"; channel names must be unique'


@pytest.fixture
def builder_records(caplog):
    caplog.set_level(logging.DEBUG, logger="quillrun_sdk.builder")
    return lambda: [r for r in caplog.records if r.name == "quillrun_sdk.builder"]


def test_strict_placement_fails_without_a_record(builder_records):
    builder = NavFileBuilder().add(fix(0)).add(fix(10)).add(Annotation(at(0, -1))).add(Annotation(at(11)))
    builder.add(EventMarker("late", at(20)))
    with pytest.raises(ValueError) as info:
        builder.finish()
    # Annotations fail before event markers are placed.
    assert str(info.value) == "2 annotation(s) fall outside the nav fix time range"
    assert builder_records() == []


def test_strict_event_markers_out_of_range():
    builder = NavFileBuilder().add(fix(0)).add(fix(10)).add(EventMarker("early", at(-1)))
    with pytest.raises(ValueError) as info:
        builder.finish()
    assert str(info.value) == "1 event marker(s) fall outside the nav fix time range"


def test_lenient_placement_clamps_with_warnings(builder_records):
    builder = NavFileBuilder().with_lenient_errors().with_lenient_errors()
    builder.add(fix(0, 1.0, 2.0)).add(fix(10, 3.0, 4.0))
    builder.add(Annotation(at(0, -1), label="early")).add(EventMarker("power/late", at(12, 250_000)))
    nav_file = builder.finish()
    marker = nav_file.markers[0]
    event = nav_file.event_markers[0]
    assert (marker.label, marker.lat, marker.lon) == ("early", 1.0, 2.0)
    assert (event.variant_path, event.lat, event.lon) == ("power/late", 3.0, 4.0)
    records = builder_records()
    assert [(r.levelno, r.getMessage()) for r in records] == [
        (logging.WARNING,
         "Annotation at 2024-05-01 11:59:59.999999 UTC is before the first nav fix: clamped to the first position"),
        (logging.WARNING,
         'Event marker "power/late" at 2024-05-01 12:00:12.250 UTC is after the last nav fix: '
         "clamped to the last position"),
    ]


def test_interpolated_positions():
    nav_file = (
        NavFileBuilder()
        .add(fix(10, 10.0, 179.0))
        .add(fix(0, 0.0, 20.0))
        .add(Annotation(at(5)))
        .add(EventMarker("mid", at(7, 500_000)))
        .finish()
    )
    assert [p.lat for p in nav_file.points] == [0.0, 10.0]  # sorted by time
    marker = nav_file.markers[0]
    assert (marker.lat, marker.lon) == (5.0, 99.5)
    event = nav_file.event_markers[0]
    assert (event.lat, event.lon) == (7.5, 20.0 + 0.75 * 159.0)


SENTINEL_WARNING = (
    "{} satellite(s) with SNR \u2248 99 dB-Hz - common firmware sentinel for unavailable signal strength; "
    "omit the SNR field when no measurement is available"
)


def sentinel_report(seconds, count):
    return SatelliteReport([Satellite(Constellation.GPS, prn, snr=99.0) for prn in range(1, count + 1)],
                           gps_time=at(seconds))


def test_satellite_checks_reach_logging_and_never_fail_the_build(builder_records):
    builder = NavFileBuilder().add(fix(0)).add(fix(5))
    nav_file = builder.add(sentinel_report(0, 2)).add(sentinel_report(5, 1)).finish()
    assert len(nav_file.points) == 2
    assert [(r.levelno, r.getMessage()) for r in builder_records()] == [
        (logging.WARNING, SENTINEL_WARNING.format(3))]


def test_satellite_checks_are_logged_before_a_build_fails(builder_records):
    with pytest.raises(ValueError):
        NavFileBuilder().add(sentinel_report(0, 1)).finish()
    assert [r.getMessage() for r in builder_records()] == [SENTINEL_WARNING.format(1)]


# ---------------------------------------------------------------- round trip


def full_builder():
    t = [at(s) for s in range(4)]
    builder = (
        NavFileBuilder()
        .with_meta(Meta(title="Drive", device="dev", identity="id-1", travel_mode=TravelMode.BICYCLE))
        .with_notes("notes ü")
        .with_satellite_window(timedelta(milliseconds=100))
    )
    builder.add(NavFix(51.5, -0.1, gps_time=t[0], sys_time=t[0] - timedelta(milliseconds=800),
                       heading=90.0, speed_mps=3.25, eph_m=2.5))
    builder.add(NavFix(51.6, -0.2, gps_time=t[2], sys_time=t[2] - timedelta(milliseconds=800)))
    builder.add(NavFix(51.7, -0.3, sys_time=t[3], heading=float("nan")))
    builder.add(SatelliteReport(
        [Satellite(Constellation.GALILEO, 11, in_fix=True, elevation=10.5, azimuth=200.25, snr=31.0),
         Satellite(Constellation.BEIDOU, 2**32 - 1)],
        gps_time=t[2] + timedelta(milliseconds=50)))
    builder.add(SatelliteReport([Satellite(Constellation.QZSS, 3)], gps_time=t[1]))  # a ghost
    builder.add(Annotation(t[1], label="half", icon=MarkerIcon.SATELLITE_LOST))
    builder.add(Annotation(t[0]))
    builder.add(EventMarker("b/second", t[2], annotation="note"))
    builder.add(EventMarker("a/first", t[1]))
    builder.add(Channel("speed", t[:2], [1.0, 2.0], unit=Unit.KM_PER_H, description="obd"))
    builder.add(Channel("imu", t[:2], [1, 2, 3, 4, 5, 6], components=["x", "y", "z"],
                        unit=ChannelUnit.custom("rpm")))
    builder.add(Channel("bearing", t[:1], [350.0], unit="deg", period_deg=360.0))
    builder.add_event_marker_style(EventMarkerStyle("b/second", icon=MarkerIcon.GEAR, color="#a0B1c2"))
    builder.add_event_marker_style(EventMarkerStyle("a/first"))
    return builder


def point_fields(p):
    return (p.lat, p.lon, p.gps_time, p.sys_time, p.heading, p.speed_mps, p.eph_m, p.satellites)


def test_assemble_write_and_read_back_give_equal_values():
    built = full_builder().finish()
    read = NavFile.from_bytes(built.to_bytes())

    assert len(built.points) == 4  # three fixes and one ghost
    # The file cannot tell a NaN heading from an absent one.
    assert math.isnan(built.points[3].heading) and read.points[3].heading is None
    for i, (a, b) in enumerate(zip(built.points, read.points, strict=True)):
        fields_a, fields_b = point_fields(a), point_fields(b)
        if i == 3:
            fields_a, fields_b = fields_a[:4] + fields_a[5:], fields_b[:4] + fields_b[5:]
        assert fields_a == fields_b
    assert [p.satellites is not None for p in built.points] == [False, True, True, False]
    assert built.points[2].satellites.tracked[1].prn == 2**32 - 1

    assert [(m.time, m.label, m.icon_code, m.lat, m.lon) for m in built.markers] == [
        (m.time, m.label, m.icon_code, m.lat, m.lon) for m in read.markers]
    assert [m.label for m in built.markers] == [None, "half"]  # sorted by time
    # Event markers keep the order they were added in.
    assert [(e.variant_path, e.sys_time, e.annotation, e.lat, e.lon) for e in built.event_markers] == [
        (e.variant_path, e.sys_time, e.annotation, e.lat, e.lon) for e in read.event_markers]
    assert [e.variant_path for e in built.event_markers] == ["b/second", "a/first"]

    assert list(built.channels) == list(read.channels)
    assert [c.name for c in read.channels] == ["bearing", "imu", "speed"]
    assert [(s.variant_path, s.icon_name, s.color) for s in read.event_marker_styles] == [
        ("a/first", None, None), ("b/second", "gear", "#a0B1c2")]
    assert read.meta == built.meta
    assert (read.meta.title, read.meta.notes, read.meta.travel_mode) == ("Drive", "notes ü", TravelMode.BICYCLE)


def test_write_to_file_and_open(tmp_path):
    built = full_builder().finish()
    built.write_to_file(tmp_path / "trace")
    read = NavFile.open(tmp_path / "trace.qrd")
    assert len(read.points) == len(built.points)
    assert read.meta == built.meta


def test_the_written_file_as_h5py_sees_it():
    # Every value below is worked out from full_builder() by hand: the ghost
    # of the QZSS report sits at t1 between the first two fixes, the report at
    # t2 + 50 ms joins the second fix, and the host-only fix comes last.
    t0 = 1_714_564_800_000_000  # 2024-05-01T12:00:00Z in microseconds
    s = 1_000_000
    absent = 2**64 - 1
    time_units = {"units": "microseconds since 1970-01-01T00:00:00Z"}
    optional_time = {**time_units, "absent_sentinel": "u64::MAX"}
    image = full_builder().finish().to_bytes()

    def column(ds, dtype, shape, chunks, shuffle, attrs):
        assert (ds.dtype.str, ds.shape, ds.chunks) == (dtype, shape, chunks), ds.name
        assert (ds.compression, ds.compression_opts, ds.shuffle) == ("gzip", 6, shuffle), ds.name
        assert dict(ds.attrs) == attrs and list(ds.attrs) == list(attrs), ds.name
        return ds[()].tolist()

    def cells(ds, width, texts):
        assert [bytes(row) for row in ds[()]] == [t.encode() + b"\0" * (width - len(t.encode())) for t in texts]

    def bits(ds):  # the stored bit patterns of a float column
        return ds[()].view(f"<u{ds.dtype.itemsize}").tolist()

    nan64, nan32 = 0x7FF8000000000000, 0x7FC00000

    with h5py.File(io.BytesIO(image), "r") as f:
        assert list(f) == ["nav_points", "sat_reports", "tracked_sats", "markers", "event_markers",
                           "event_marker_styles", "channels"]
        # Provenance depends on the build: whichever fields it has sit, in
        # their order, between the version and the metadata.
        sdk = [k for k in ("sdk_version", "sdk_git_commit", "sdk_commit_time") if k in f.attrs]
        assert list(f.attrs) == ["quillrun_version", *sdk, "meta_title", "meta_device", "meta_notes", "meta_identity",
                                 "meta_travel_mode"]
        if "sdk_commit_time" in f.attrs:
            assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", f.attrs["sdk_commit_time"])
        assert [f.attrs[k] for k in ("quillrun_version", "meta_title", "meta_device", "meta_notes",
                                     "meta_identity", "meta_travel_mode")] == [
            "2", "Drive", "dev", "notes ü", "id-1", "bicycle"]

        g = f["nav_points"]
        assert list(g) == ["time", "gps_time_us", "sys_time_us", "lat", "lon", "heading", "speed_mps", "eph_m"]
        assert column(g["time"], "<i8", (4,), (8192,), True, time_units) == [t0, t0 + s, t0 + 2 * s, t0 + 3 * s]
        assert column(g["gps_time_us"], "<u8", (4,), (8192,), True, optional_time) == [
            t0, t0 + s, t0 + 2 * s, absent]
        assert column(g["sys_time_us"], "<u8", (4,), (8192,), True, optional_time) == [
            t0 - 800_000, absent, t0 + 2 * s - 800_000, t0 + 3 * s]
        assert column(g["lat"], "<f8", (4,), (8192,), True, {"units": "degrees"})[::2] == [51.5, 51.6]
        column(g["lon"], "<f8", (4,), (8192,), True, {"units": "degrees"})
        heading = column(g["heading"], "<f8", (4,), (8192,), True, {"units": "degrees", "nan_means": "absent"})
        assert heading[0] == 90.0 and bits(g["heading"])[2] == nan64
        assert column(g["speed_mps"], "<f8", (4,), (8192,), True, {"units": "m/s", "nan_means": "absent"})[0] == 3.25
        assert bits(g["speed_mps"])[1:] == [nan64] * 3
        assert column(g["eph_m"], "<f8", (4,), (8192,), True, {"units": "metres", "nan_means": "absent"})[0] == 2.5
        assert bits(g["eph_m"])[1:] == [nan64] * 3

        g = f["sat_reports"]
        assert list(g) == ["nav_point_idx", "gps_time_us", "sys_time_us"]
        assert column(g["nav_point_idx"], "<u8", (2,), (8192,), True, {}) == [1, 2]
        assert column(g["gps_time_us"], "<u8", (2,), (8192,), True, optional_time) == [t0 + s, t0 + 2 * s + 50_000]
        assert column(g["sys_time_us"], "<u8", (2,), (8192,), True, optional_time) == [absent, absent]

        g = f["tracked_sats"]
        assert list(g) == ["sat_report_idx", "constellation", "prn", "in_fix", "elevation", "azimuth", "snr"]
        assert column(g["sat_report_idx"], "<u8", (3,), (8192,), True, {}) == [0, 1, 1]
        assert column(g["constellation"], "|u1", (3,), (8192,), False,
                      {"encoding": "0=GPS,1=GLONASS,2=Galileo,3=BeiDou,4=NavIC,5=QZSS"}) == [5, 2, 3]
        assert column(g["prn"], "<u4", (3,), (8192,), True, {}) == [3, 11, 2**32 - 1]
        assert column(g["in_fix"], "|u1", (3,), (8192,), False, {"encoding": "0=not_in_fix,1=in_fix"}) == [0, 1, 0]
        for name, units, present in (("elevation", "degrees", 10.5), ("azimuth", "degrees", 200.25),
                                     ("snr", "dB-Hz", 31.0)):
            values = column(g[name], "<f4", (3,), (8192,), True, {"units": units, "nan_means": "absent"})
            assert values[1] == present and bits(g[name])[::2] == [nan32, nan32]

        g = f["markers"]
        assert list(g) == ["time", "lat", "lon", "icon", "label"]
        assert column(g["time"], "<i8", (2,), (8192,), True, time_units) == [t0, t0 + s]
        assert column(g["icon"], "|u1", (2,), (8192,), False, {"encoding": (
            "0=pin,1=cross,2=circle,3=lightning,4=warning,5=error,6=check,7=satellite,8=satellite_lost,9=gear,"
            "10=refresh,11=download,12=upload,13=wrench")}) == [0, 8]
        text256 = {"encoding": "UTF-8 null-padded to 256 bytes, max 255 content bytes"}
        column(g["label"], "|u1", (2, 256), (32, 256), False, text256)
        cells(g["label"], 256, ["", "half"])

        g = f["event_markers"]
        assert list(g) == ["sys_time_us", "lat", "lon", "variant_path", "annotation"]
        assert column(g["sys_time_us"], "<u8", (2,), (8192,), True, optional_time) == [t0 + 2 * s, t0 + s]
        column(g["variant_path"], "|u1", (2, 256), (32, 256), False, text256)
        cells(g["variant_path"], 256, ["b/second", "a/first"])
        column(g["annotation"], "|u1", (2, 512), (16, 512), False,
               {"encoding": "UTF-8 null-padded to 512 bytes, empty = no annotation"})
        cells(g["annotation"], 512, ["note", ""])

        g = f["event_marker_styles"]
        assert list(g) == ["variant_path", "icon_name", "color_hex"]
        column(g["variant_path"], "|u1", (2, 256), (32, 256), False, {})
        cells(g["variant_path"], 256, ["a/first", "b/second"])
        column(g["icon_name"], "|u1", (2, 32), (256, 32), False,
               {"encoding": "lowercase MarkerIcon variant name, null-padded"})
        cells(g["icon_name"], 32, ["", "gear"])
        column(g["color_hex"], "|u1", (2, 8), (1024, 8), False, {"encoding": "#RRGGBB null-padded to 8 bytes"})
        cells(g["color_hex"], 8, ["", "#a0B1c2"])

        g = f["channels"]
        assert list(g) == ["bearing", "imu", "speed"] and dict(g.attrs) == {}
        assert [(k, g["bearing"].attrs[k]) for k in g["bearing"].attrs] == [("unit", "deg"), ("period_deg", 360.0)]
        assert g["bearing"].attrs["period_deg"].dtype.str == "<f8"
        assert list(g["imu"].attrs) == ["unit", "components"]
        assert (g["imu"].attrs["unit"], g["imu"].attrs["components"].tolist()) == ("rpm", ["x", "y", "z"])
        assert [(k, g["speed"].attrs[k]) for k in g["speed"].attrs] == [("unit", "km/h"), ("description", "obd")]
        for name, times in (("bearing", [t0]), ("imu", [t0, t0 + s]), ("speed", [t0, t0 + s])):
            assert list(g[name]) == ["time", "value"]
            assert column(g[name]["time"], "<i8", (len(times),), (8192,), True, time_units) == times
        assert column(g["bearing"]["value"], "<f8", (1,), (8192,), True, {}) == [350.0]
        assert column(g["imu"]["value"], "<f8", (2, 3), (2730, 3), True, {}) == [[1, 2, 3], [4, 5, 6]]
        assert column(g["speed"]["value"], "<f8", (2,), (8192,), True, {}) == [1.0, 2.0]


def test_items_are_copied_when_added():
    builder = NavFileBuilder()
    f = fix(0)
    builder.add(f).add(f)
    del f
    assert len(builder.finish().points) == 2


# ---------------------------------------------------------------- re-entrance


class Reentrant(logging.Handler):
    def __init__(self, calls):
        super().__init__(logging.DEBUG)
        self.calls = calls
        self.outcomes = []

    def emit(self, record):
        for call in self.calls:
            try:
                call()
                self.outcomes.append(None)
            except BaseException as exc:  # PanicException is no Exception
                self.outcomes.append(exc)


@pytest.fixture
def reentrant():
    logger = logging.getLogger("quillrun_sdk.builder")
    handlers = []

    def attach(calls):
        handler = Reentrant(calls)
        logger.addHandler(handler)
        handlers.append(handler)
        return handler

    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    yield attach
    for handler in handlers:
        logger.removeHandler(handler)
    logger.setLevel(old_level)


def test_a_logging_handler_that_reenters_the_builder_meets_the_borrow(reentrant):
    builder = NavFileBuilder().with_lenient_errors().add(fix(0)).add(Annotation(at(5)))
    handler = reentrant([
        lambda: builder.with_title("x"),
        lambda: builder.add(fix(1)),
        lambda: builder.add_event_marker_style(style("a")),
        lambda: builder.finish(),
    ])
    nav_file = builder.finish()
    assert len(nav_file.points) == 1 and len(nav_file.markers) == 1

    panics = handler.outcomes[:3]
    for exc in panics:
        assert type(exc).__name__ == "PanicException"
        assert not isinstance(exc, Exception)
        assert str(exc) == "Already borrowed: PyBorrowMutError"
    finish_error = handler.outcomes[3]
    assert type(finish_error) is RuntimeError
    assert str(finish_error) == "Already borrowed"
    # The borrow is released: the builder now only reports being consumed.
    with pytest.raises(RuntimeError) as info:
        builder.with_title("x")
    assert str(info.value) == CONSUMED


def test_a_handler_may_use_another_builder(reentrant):
    other = NavFileBuilder()
    reentrant([lambda: other.with_title("from the handler")])
    NavFileBuilder().with_lenient_errors().add(fix(0)).add(Annotation(at(1))).finish()
    assert other.finish().meta.title == "from the handler"


# ---------------------------------------------------------------- class


def test_class_and_method_docstrings():
    assert NavFileBuilder.__text_signature__ == "()"
    doc = NavFileBuilder.__doc__
    assert doc.startswith("Assembles nav fixes, satellite reports, and annotations into a `NavFile`.")
    assert ".write_to_file(" in doc and ".qrd" in doc
    assert doc.endswith("Calling `finish()` consumes the builder. Further calls raise `RuntimeError`.")
    openings = {
        "with_meta": ("($self, meta)", "Attach file-level metadata."),
        "with_title": ("($self, title)", "Set the file title. Must be called before any `add()` call."),
        "with_device": ("($self, device)", "Set the device or sensor name. Must be called before any `add()` call."),
        "with_notes": ("($self, notes)", "Set free-text notes. Must be called before any `add()` call."),
        "with_lenient_errors": ("($self)", "Clamp an annotation outside the nav fix time range to the nearest fix."),
        "with_satellite_window": ("($self, window)", "Set how far a satellite report may be from a nav fix to be "
                                  "associated\nwith it. The default is 500 ms."),
        "add": ("($self, item)", "Add a nav fix, satellite report, annotation, event marker, or channel to\nthe file."),
        "add_event_marker_style": ("($self, style)", "Add a per-variant style override to the file."),
        "finish": ("($self)", "Process all data and return a `NavFile`."),
    }
    for name, (signature, opening) in openings.items():
        method = getattr(NavFileBuilder, name)
        assert method.__text_signature__ == signature
        assert method.__doc__.startswith(opening), name


def test_builders_compare_and_hash_by_identity():
    a, b = NavFileBuilder(), NavFileBuilder()
    assert a != b and a == a
    assert len({a, b}) == 2


def test_the_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (NavFileBuilder,), {})


def test_a_builder_made_without_its_constructor_is_refused(run_isolated):
    out = run_isolated(
        """
        from datetime import datetime, timezone
        from quillrun_sdk import EventMarkerStyle, NavFileBuilder, NavFix
        fix = NavFix(0.0, 0.0, gps_time=datetime(2024, 1, 1, tzinfo=timezone.utc))
        NavFileBuilder.__new__ = lambda cls: object.__new__(cls)
        b = NavFileBuilder()
        for call in (lambda: b.with_title("t"), lambda: b.add(fix),
                     lambda: b.add_event_marker_style(EventMarkerStyle("a")), b.with_lenient_errors, b.finish):
            try:
                call()
            except TypeError as exc:
                print(exc)
        del b
        print("done")
        """
    )
    assert out.splitlines() == ["'NavFileBuilder' object is not initialized"] * 5 + ["done"]
