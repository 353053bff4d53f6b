"""`.qrd` files written with h5py, independently of the SDK's writer, so the
read side can be tested against files whose every byte the test chose."""

import io
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone

import h5py
import numpy as np

ABSENT_TIME = 2**64 - 1
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


def us(dt: datetime) -> int:
    """Microseconds since the epoch of an aware datetime."""
    delta = dt - EPOCH
    return (delta.days * 86400 + delta.seconds) * 1_000_000 + delta.microseconds


def at(us_count: int) -> datetime:
    return EPOCH + timedelta(microseconds=us_count)


@dataclass
class Sat:
    constellation: int = 0
    prn: int = 1
    in_fix: int = 0
    elevation: float = float("nan")
    azimuth: float = float("nan")
    snr: float = float("nan")


@dataclass
class Report:
    point: int
    gps: int | None = None
    sys: int | None = None
    sats: list = field(default_factory=list)


@dataclass
class Point:
    lat: float
    lon: float
    gps: int | None = None
    sys: int | None = None
    heading: float = float("nan")
    speed: float = float("nan")
    eph: float = float("nan")


@dataclass
class MarkerRow:
    time: int
    lat: float
    lon: float
    icon: int = 0
    label: str = ""


@dataclass
class EventRow:
    sys: int
    lat: float
    lon: float
    variant_path: str
    annotation: str = ""


@dataclass
class StyleRow:
    variant_path: str
    icon_name: str = ""
    color: str = ""


@dataclass
class ChannelRow:
    name: str
    times: list
    values: list
    components: list | None = None
    unit: str | None = None


def _u64(value):
    return ABSENT_TIME if value is None else value & (2**64 - 1)


def _fixed(texts, width):
    cells = np.zeros((len(texts), width), dtype=np.uint8)
    for row, text in enumerate(texts):
        raw = text.encode() if isinstance(text, str) else text
        cells[row, : len(raw)] = np.frombuffer(raw, dtype=np.uint8)
    return cells


def _write(f, *, version, points, reports, markers, events, styles, channels, attrs, older_layout):
    if version is not None:
        f.attrs["quillrun_version"] = version
    for name, value in (attrs or {}).items():
        f.attrs[name] = value

    g = f.create_group("nav_points")
    # The first stored time: the receiver's, else the host's. The older
    # layout has only this column, read as the receiver time.
    first = [p.gps if p.gps is not None else p.sys for p in points]
    g["time"] = np.array([-1 if t is None else t for t in first], dtype=np.int64)
    g["lat"] = np.array([p.lat for p in points], dtype=np.float64)
    g["lon"] = np.array([p.lon for p in points], dtype=np.float64)
    g["heading"] = np.array([p.heading for p in points], dtype=np.float64)
    g["speed_mps"] = np.array([p.speed for p in points], dtype=np.float64)
    if not older_layout:
        g["gps_time_us"] = np.array([_u64(p.gps) for p in points], dtype=np.uint64)
        g["sys_time_us"] = np.array([_u64(p.sys) for p in points], dtype=np.uint64)
        g["eph_m"] = np.array([p.eph for p in points], dtype=np.float64)

    if reports:
        r = f.create_group("sat_reports")
        r["nav_point_idx"] = np.array([rep.point for rep in reports], dtype=np.uint64)
        r["gps_time_us"] = np.array([_u64(rep.gps) for rep in reports], dtype=np.uint64)
        r["sys_time_us"] = np.array([_u64(rep.sys) for rep in reports], dtype=np.uint64)
        sats = [(i, s) for i, rep in enumerate(reports) for s in rep.sats]
        t = f.create_group("tracked_sats")
        t["sat_report_idx"] = np.array([i for i, _ in sats], dtype=np.uint64)
        t["constellation"] = np.array([s.constellation for _, s in sats], dtype=np.uint8)
        t["prn"] = np.array([s.prn for _, s in sats], dtype=np.uint32)
        t["in_fix"] = np.array([s.in_fix for _, s in sats], dtype=np.uint8)
        t["elevation"] = np.array([s.elevation for _, s in sats], dtype=np.float32)
        t["azimuth"] = np.array([s.azimuth for _, s in sats], dtype=np.float32)
        t["snr"] = np.array([s.snr for _, s in sats], dtype=np.float32)

    if markers:
        m = f.create_group("markers")
        m["time"] = np.array([row.time for row in markers], dtype=np.int64)
        m["lat"] = np.array([row.lat for row in markers], dtype=np.float64)
        m["lon"] = np.array([row.lon for row in markers], dtype=np.float64)
        m["icon"] = np.array([row.icon for row in markers], dtype=np.uint8)
        m["label"] = _fixed([row.label for row in markers], 256)

    if events:
        e = f.create_group("event_markers")
        e["sys_time_us"] = np.array([_u64(row.sys) for row in events], dtype=np.uint64)
        e["lat"] = np.array([row.lat for row in events], dtype=np.float64)
        e["lon"] = np.array([row.lon for row in events], dtype=np.float64)
        e["variant_path"] = _fixed([row.variant_path for row in events], 256)
        e["annotation"] = _fixed([row.annotation for row in events], 512)

    if styles:
        s = f.create_group("event_marker_styles")
        s["variant_path"] = _fixed([row.variant_path for row in styles], 256)
        s["icon_name"] = _fixed([row.icon_name for row in styles], 32)
        s["color_hex"] = _fixed([row.color for row in styles], 8)

    if channels:
        c = f.create_group("channels")
        for ch in channels:
            sub = c.create_group(ch.name)
            if ch.unit is not None:
                sub.attrs["unit"] = ch.unit
            if ch.components is not None:
                sub.attrs["components"] = ch.components
            sub["time"] = np.array(ch.times, dtype=np.int64)
            sub["value"] = np.array(ch.values, dtype=np.float64)


def qrd_bytes(*, version="2", points=(), reports=(), markers=(), events=(), styles=(), channels=(), attrs=None,
              older_layout=False) -> bytes:
    buffer = io.BytesIO()
    with h5py.File(buffer, "w") as f:
        _write(f, version=version, points=list(points), reports=list(reports), markers=list(markers),
               events=list(events), styles=list(styles), channels=list(channels), attrs=attrs,
               older_layout=older_layout)
    return buffer.getvalue()


def write_qrd(path, **tables) -> None:
    with open(path, "wb") as out:
        out.write(qrd_bytes(**tables))
