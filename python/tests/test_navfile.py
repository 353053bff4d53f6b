import io
import math
import os
import pathlib
import warnings
from datetime import datetime, timezone

import h5py
import pytest

from quillrun_sdk import _quillrun_sdk as m
from qrd_craft import EventRow, MarkerRow, Point, Report, Sat, StyleRow, at, qrd_bytes, us, write_qrd

NavFile = m.NavFile
UTC = timezone.utc
T0 = us(datetime(2024, 5, 1, 12, 0, 0, tzinfo=UTC))


def two_points(**tables):
    return qrd_bytes(points=[Point(51.5, -0.1, gps=T0, sys=T0 + 250), Point(51.6, -0.2, gps=T0 + 1_000_000)],
                     **tables)


@pytest.fixture
def trace_path(tmp_path):
    path = tmp_path / "trace.qrd"
    path.write_bytes(two_points())
    return path


class StrPath(str):
    pass


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


# ------------------------------------------------------------------ open


def test_open_of_a_missing_file_is_a_plain_oserror(tmp_path):
    with pytest.raises(OSError) as info:
        NavFile.open(str(tmp_path / "missing.qrd"))
    assert type(info.value) is OSError
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"
    assert info.value.args == ("I/O error: No such file or directory (os error 2)",)
    assert info.value.errno is None and info.value.strerror is None


def test_open_of_a_directory_fails_in_the_read(tmp_path):
    with pytest.raises(OSError) as info:
        NavFile.open(tmp_path)
    assert type(info.value) is OSError
    assert str(info.value) == "I/O error: Is a directory (os error 21)"


@pytest.mark.parametrize("kind", [str, StrPath, pathlib.Path, lambda p: FsPath(str(p))])
def test_open_takes_str_and_path_like_values(trace_path, kind):
    assert len(NavFile.open(kind(trace_path)).points) == 2


def test_open_takes_path_by_keyword(trace_path):
    assert len(NavFile.open(path=str(trace_path)).points) == 2


@pytest.mark.parametrize("make", [lambda p: os.fsencode(p), lambda p: FsPath(os.fsencode(p))])
def test_open_refuses_bytes_paths(trace_path, make):
    with pytest.raises(TypeError) as info:
        NavFile.open(make(trace_path))
    assert str(info.value) == "'bytes' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'path'"]


def test_open_refuses_an_object_that_is_no_path():
    with pytest.raises(TypeError) as info:
        NavFile.open(3)
    assert str(info.value) == "expected str, bytes or os.PathLike object, not int"
    assert info.value.__notes__ == ["while processing 'path'"]


def test_nul_byte_in_path_fails_before_anything_is_touched(tmp_path):
    for call in (lambda p: NavFile.open(p), lambda p: NavFile.from_bytes(qrd_bytes()).write_to_file(p)):
        with pytest.raises(OSError) as info:
            call(str(tmp_path / "a\0b"))
        assert type(info.value) is OSError
        assert str(info.value) == "I/O error: file name contained an unexpected NUL byte"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: NavFile.open(), "NavFile.open() missing 1 required positional argument: 'path'"),
        (lambda: NavFile.open("a", "b"), "NavFile.open() takes 1 positional arguments but 2 were given"),
        (lambda: NavFile.open(file="a"), "NavFile.open() got an unexpected keyword argument 'file'"),
        (lambda: NavFile.from_bytes(), "NavFile.from_bytes() missing 1 required positional argument: 'data'"),
        (lambda: NavFile.from_bytes(b"", data=b""), "NavFile.from_bytes() got multiple values for argument 'data'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_the_class_cannot_be_called_or_derived():
    with pytest.raises(TypeError):
        NavFile()
    with pytest.raises(TypeError):
        type("Sub", (NavFile,), {})


# ------------------------------------------------------------------ from_bytes


class Blob(bytes):
    pass


def test_from_bytes_takes_bytes_and_subclasses_by_position_or_keyword():
    data = two_points()
    assert len(NavFile.from_bytes(data).points) == 2
    assert len(NavFile.from_bytes(Blob(data)).points) == 2
    assert len(NavFile.from_bytes(data=data).points) == 2


@pytest.mark.parametrize(
    "value, type_name",
    [(bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), ("x", "str"), (1, "int")],
)
def test_from_bytes_refuses_other_buffers(value, type_name):
    with pytest.raises(TypeError) as info:
        NavFile.from_bytes(value)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'bytes'"
    assert info.value.__notes__ == ["while processing 'data'"]


def test_from_bytes_of_none():
    with pytest.raises(TypeError) as info:
        NavFile.from_bytes(None)
    assert str(info.value) == "'None' is not an instance of 'bytes'"


def test_from_bytes_of_nothing_is_the_readers_value_error():
    with pytest.raises(ValueError) as info:
        NavFile.from_bytes(b"")
    assert type(info.value) is ValueError
    assert str(info.value).startswith("HDF5 error: ")


@pytest.mark.parametrize("version", ["1", "2", "+2", "002"])
def test_versions_one_and_two_are_read(version):
    assert len(NavFile.from_bytes(two_points(version=version)).points) == 2


@pytest.mark.parametrize("version, shown", [("3", '"3"'), ("", '""'), (None, '"<missing>"')])
def test_other_versions_are_a_value_error(version, shown):
    with pytest.raises(ValueError) as info:
        NavFile.from_bytes(two_points(version=version))
    assert type(info.value) is ValueError
    assert str(info.value) == f"unsupported QuillRun file version: {shown}"


def test_open_reports_reader_errors_as_value_error(tmp_path):
    path = tmp_path / "bad.qrd"
    path.write_bytes(two_points(version="3"))
    with pytest.raises(ValueError, match=r'^unsupported QuillRun file version: "3"$'):
        NavFile.open(path)


def test_older_layout_reads_receiver_times_from_time():
    data = qrd_bytes(version="1", points=[Point(1.0, 2.0, gps=T0), Point(3.0, 4.0, gps=T0 + 5)], older_layout=True)
    points = NavFile.from_bytes(data).points
    assert points.gps_times() == [at(T0), at(T0 + 5)]
    assert points.sys_times() == [None, None]
    assert points.eph_m_values() == [None, None]


# ------------------------------------------------------------------ writing


def test_to_bytes_round_trips():
    data = two_points(
        reports=[Report(0, gps=T0, sats=[Sat(2, 11, 1, 45.0, 180.0, 38.5)])],
        markers=[MarkerRow(T0, 51.5, -0.1, icon=3, label="gate")],
        events=[EventRow(T0 + 250, 51.5, -0.1, "power/boot", "cold start")],
        styles=[StyleRow("power/boot", "gear", "#00ff00")],
    )
    first = NavFile.from_bytes(data)
    again = NavFile.from_bytes(first.to_bytes())
    assert repr(again) == "NavFile(points=2, markers=1, event_markers=1)"
    assert again.points.gps_times() == first.points.gps_times()
    assert again.points.sys_times() == [at(T0 + 250), None]
    assert [m.label for m in again.markers] == ["gate"]
    assert [(e.variant_path, e.annotation) for e in again.event_markers] == [("power/boot", "cold start")]
    assert again.to_bytes() == first.to_bytes()


def test_to_bytes_writes_the_current_layout():
    image = NavFile.from_bytes(qrd_bytes(version="1", points=[Point(1.0, 2.0, gps=T0)], older_layout=True)).to_bytes()
    with h5py.File(io.BytesIO(image), "r") as f:
        assert f.attrs["quillrun_version"] == "2"
        assert list(f) == ["nav_points"]
        g = f["nav_points"]
        assert sorted(g) == sorted(["time", "gps_time_us", "sys_time_us", "lat", "lon", "heading", "speed_mps", "eph_m"])
        assert g["time"][()].tolist() == [T0]
        assert g["gps_time_us"][()].tolist() == [T0]
        assert g["sys_time_us"][()].tolist() == [2**64 - 1]
        assert g["sys_time_us"].attrs["absent_sentinel"] == "u64::MAX"
        assert g["eph_m"].attrs["nan_means"] == "absent"
        assert math.isnan(g["eph_m"][0])


def test_to_bytes_takes_no_arguments():
    with pytest.raises(TypeError):
        NavFile.from_bytes(two_points()).to_bytes(1)


@pytest.mark.parametrize(
    "given, written",
    [
        ("trace", "trace.qrd"),
        ("trace.h5", "trace.h5"),
        ("trace.", "trace."),
        (".hidden", ".hidden.qrd"),
        ("out/", "out.qrd"),
        ("out/.", "out.qrd"),
        ("a.b/trace", "a.b/trace.qrd"),
        ("..x", "..x"),
    ],
)
def test_write_to_file_appends_qrd_only_without_extension(tmp_path, given, written):
    (tmp_path / "a.b").mkdir()
    nav_file = NavFile.from_bytes(two_points())
    assert nav_file.write_to_file(str(tmp_path) + "/" + given) is None
    assert (tmp_path / written).read_bytes() == nav_file.to_bytes()


@pytest.mark.parametrize("kind", [str, StrPath, pathlib.Path, lambda p: FsPath(str(p))])
def test_write_to_file_takes_path_like_values(tmp_path, kind):
    NavFile.from_bytes(two_points()).write_to_file(path=kind(tmp_path / "x"))
    assert len(NavFile.open(tmp_path / "x.qrd").points) == 2


def test_write_to_file_refuses_bytes_paths(tmp_path):
    with pytest.raises(TypeError) as info:
        NavFile.from_bytes(two_points()).write_to_file(os.fsencode(tmp_path / "x.qrd"))
    assert str(info.value) == "'bytes' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'path'"]
    assert os.listdir(tmp_path) == []


def test_write_to_file_truncates_an_existing_file(tmp_path):
    path = tmp_path / "x.qrd"
    path.write_bytes(b"\xff" * 1_000_000)
    nav_file = NavFile.from_bytes(two_points())
    nav_file.write_to_file(path)
    assert path.read_bytes() == nav_file.to_bytes()


def test_write_to_file_into_a_missing_folder(tmp_path):
    with pytest.raises(OSError) as info:
        NavFile.from_bytes(two_points()).write_to_file(tmp_path / "no" / "x.qrd")
    assert type(info.value) is OSError
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"


def test_a_writer_error_leaves_the_path_untouched(tmp_path):
    if not hasattr(m, "NavFileBuilder"):
        pytest.skip("needs NavFileBuilder")
    # -1 us is the bit pattern of the absent cell, so a u64 time column
    # cannot hold it.
    last_us_before_1970 = datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)
    nav_file = m.NavFileBuilder().add(m.NavFix(0.0, 0.0, gps_time=last_us_before_1970)).finish()
    existing = tmp_path / "x.qrd"
    existing.write_bytes(b"old content")
    with pytest.raises(ValueError):
        nav_file.write_to_file(existing)
    assert existing.read_bytes() == b"old content"
    with pytest.raises(ValueError):
        nav_file.write_to_file(tmp_path / "new")
    assert sorted(os.listdir(tmp_path)) == ["x.qrd"]


# ------------------------------------------------------------------ getters


def test_repr_counts_points_markers_and_event_markers_only():
    data = two_points(
        markers=[MarkerRow(T0, 0.0, 0.0)],
        styles=[StyleRow("a"), StyleRow("b")],
        channels=[],
    )
    assert repr(NavFile.from_bytes(data)) == "NavFile(points=2, markers=1, event_markers=0)"
    assert repr(NavFile.from_bytes(qrd_bytes())) == "NavFile(points=0, markers=0, event_markers=0)"


def test_each_getter_returns_a_new_object():
    nav_file = NavFile.from_bytes(two_points())
    for name in ("points", "markers", "event_markers", "channels", "event_marker_styles", "meta"):
        assert getattr(nav_file, name) is not getattr(nav_file, name)
    assert nav_file.meta == nav_file.meta


def test_meta_reads_the_root_attributes():
    data = two_points(attrs={"meta_title": "Morning run", "sdk_version": "1.2.3"})
    meta = NavFile.from_bytes(data).meta
    assert type(meta) is m.Meta
    assert meta.title == "Morning run"
    assert meta.sdk_version == "1.2.3"
    assert meta.device is None


@pytest.mark.parametrize("name", ["meta", "points", "markers", "event_markers", "channels", "event_marker_styles"])
def test_getters_are_read_only(name):
    nav_file = NavFile.from_bytes(two_points())
    with pytest.raises(AttributeError):
        setattr(nav_file, name, None)


def test_docstrings_and_signatures():
    assert NavFile.__doc__ == (
        "A parsed `.qrd` navigation data file.\n\nConstruct via `NavFileBuilder.finish()` to write, "
        "or `NavFile.open(path)`\nto read."
    )
    assert NavFile.open.__text_signature__ == "(path)"
    assert NavFile.from_bytes.__text_signature__ == "(data)"
    assert NavFile.write_to_file.__text_signature__ == "($self, path)"
    assert NavFile.to_bytes.__text_signature__ == "($self)"
    assert NavFile.from_bytes.__doc__ == "Parse a `.qrd` file from raw bytes."
    assert NavFile.points.__doc__ == "All nav points in chronological order."
    assert NavFile.markers.__doc__ == (
        "All map markers with their interpolated positions.\n\n"
        "Reading this attribute raises a ``UserWarning`` for a marker with an\n"
        "icon code unknown to this build. Its ``icon`` reads as ``None``. Its\n"
        "``icon_code`` contains the code."
    )


# ------------------------------------------------------------------ unknown-icon warnings

UNKNOWN_MARKER = (
    "map marker {} holds the icon code {}, which this build does not have: icon reads as None, icon_code holds the code"
)
UNKNOWN_STYLE = (
    "event marker style {} names the icon {}, which this build does not have: icon reads as None, "
    "icon_name holds the name"
)


def with_markers(*rows):
    return NavFile.from_bytes(two_points(markers=list(rows)))


def fetch_recording(nav_file, name):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        view = getattr(nav_file, name)
    return view, caught


def test_markers_warn_once_per_unknown_icon_code_at_every_fetch():
    nav_file = with_markers(
        MarkerRow(T0, 0.0, 0.0, icon=200, label="gate"),
        MarkerRow(T0, 0.0, 0.0, icon=13, label="known"),
        MarkerRow(T0, 0.0, 0.0, icon=14),
    )
    for _ in range(2):
        view, caught = fetch_recording(nav_file, "markers")
        assert type(view) is m.MarkerSequence
        assert [(w.category, str(w.message)) for w in caught] == [
            (UserWarning, UNKNOWN_MARKER.format("gate", 200)),
            (UserWarning, UNKNOWN_MARKER.format("", 14)),
        ]
        # Attributed to the line that read the attribute.
        assert all(w.filename == __file__ for w in caught)


def test_a_marker_without_label_leaves_two_blanks():
    _, caught = fetch_recording(with_markers(MarkerRow(T0, 0.0, 0.0, icon=99)), "markers")
    assert str(caught[0].message).startswith("map marker  holds the icon code 99,")


def test_an_error_filter_makes_the_getter_raise_at_the_first_unknown_icon():
    nav_file = with_markers(MarkerRow(T0, 0.0, 0.0, icon=200, label="a"), MarkerRow(T0, 0.0, 0.0, icon=201))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning) as info:
            nav_file.markers
    assert str(info.value) == UNKNOWN_MARKER.format("a", 200)
    # The NavFile stays usable.
    assert len(nav_file.points) == 2


def test_a_file_without_unknown_icons_never_warns():
    nav_file = NavFile.from_bytes(two_points(markers=[MarkerRow(T0, 0.0, 0.0, icon=13)],
                                             styles=[StyleRow("a", "pin"), StyleRow("b", "")]))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for name in ("markers", "event_marker_styles", "points", "event_markers", "channels"):
            getattr(nav_file, name)


def test_styles_warn_once_per_unknown_icon_name_at_every_fetch():
    nav_file = NavFile.from_bytes(two_points(styles=[
        StyleRow("power/boot", "sparkle"), StyleRow("power/off", "satellite_lost"), StyleRow("x", "Pin"),
    ]))
    for _ in range(2):
        view, caught = fetch_recording(nav_file, "event_marker_styles")
        assert type(view) is m.EventMarkerStyleSequence
        assert [str(w.message) for w in caught] == [
            UNKNOWN_STYLE.format("power/boot", "sparkle"), UNKNOWN_STYLE.format("x", "Pin"),
        ]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="^event marker style power/boot names the icon sparkle,"):
            nav_file.event_marker_styles


def test_views_and_elements_never_warn():
    nav_file = with_markers(MarkerRow(T0, 0.0, 0.0, icon=200))
    view, _ = fetch_recording(nav_file, "markers")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        marker = view[0]
        assert (marker.icon, marker.icon_code) == (None, 200)
        list(view)


def test_a_warning_handler_may_use_the_same_nav_file():
    nav_file = with_markers(MarkerRow(T0, 0.0, 0.0, icon=200))
    seen = []

    def show(message, *args, **kwargs):
        # Shared borrows only: reading the same NavFile again is allowed.
        seen.append((len(nav_file.points), repr(nav_file)))

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = show
        assert len(nav_file.markers) == 1
    assert seen == [(2, "NavFile(points=2, markers=1, event_markers=0)")]


def test_an_unconstructed_nav_file_is_refused(run_isolated):
    out = run_isolated(
        """
        from quillrun_sdk._quillrun_sdk import NavFile
        NavFile.__new__ = lambda cls: object.__new__(cls)
        f = NavFile()
        for call in (repr, lambda f: f.points, lambda f: f.to_bytes(), lambda f: f.write_to_file("x")):
            try:
                call(f)
            except TypeError as e:
                print(e)
        """
    )
    assert out.splitlines() == ["'NavFile' object is not initialized"] * 4
