"""Writes the fuzzer's seeds, valid files of every table: four by this SDK's
writer, which spread the tables over them, and three by h5py (another HDF5
release, in its default earliest file format) in the version 1 and 2
layouts, each of every table, with the values a reader keeps as stored
(unknown icon codes and names, other colour notations, a legacy unit, a free
travel mode).

    .venv/bin/python core/fuzz/make_seeds.py [folder]   (default core/fuzz/seeds)

Run it with the project's test environment, the package installed.
"""

import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python" / "tests"))

from qrd_craft import ChannelRow, EventRow, MarkerRow, Point, Report, Sat, StyleRow, qrd_bytes  # noqa: E402
from quillrun_sdk import (  # noqa: E402
    Annotation,
    Channel,
    ChannelUnit,
    EventMarker,
    EventMarkerStyle,
    Meta,
    NavFileBuilder,
    NavFix,
    Satellite,
    SatelliteReport,
)
from quillrun_sdk.enums import Constellation, MarkerIcon  # noqa: E402

START = datetime(2024, 5, 1, 12, 0, tzinfo=timezone.utc)
T0 = 1_714_564_800_000_000  # START in microseconds


def fixes(builder: NavFileBuilder) -> NavFileBuilder:
    for s in range(6):
        at = START + timedelta(seconds=s)
        times = [dict(gps_time=at, sys_time=at - timedelta(milliseconds=800)), dict(gps_time=at), dict(sys_time=at)]
        builder.add(NavFix(51.5 + s * 1e-4, -0.1 + s * 2e-4, heading=45.0 if s % 2 else None, speed_mps=10.0,
                           eph_m=3.5, **times[s % 3]))
    return builder


# The writer's file of every table would pass 64 KiB, the longest input the
# fuzzer makes.
def sdk_points_satellites() -> bytes:
    builder = fixes(NavFileBuilder().with_meta(
        Meta(title="Seed drive", device="logger \u2713", notes="two\nlines", identity="rider-7",
             travel_mode="hovercraft")))
    builder.add(SatelliteReport([Satellite(Constellation.GPS, 5, in_fix=True, elevation=41.0, azimuth=120.0, snr=38.5),
                                 Satellite(Constellation.QZSS, 193)], gps_time=START + timedelta(seconds=2)))
    builder.add(SatelliteReport([], sys_time=START + timedelta(seconds=4)))
    return builder.finish().to_bytes()


def sdk_markers_event_markers_styles() -> bytes:
    builder = fixes(NavFileBuilder())
    builder.add(Annotation(START + timedelta(seconds=1), label="Bridge", icon=MarkerIcon.CHECK))
    builder.add(Annotation(START + timedelta(seconds=3)))
    builder.add(EventMarker("power/boot", START + timedelta(seconds=2), annotation="engine on"))
    builder.add(EventMarker("lap", START + timedelta(seconds=5)))
    builder.add_event_marker_style(EventMarkerStyle("power/boot", icon=MarkerIcon.LIGHTNING, color="#FFAA00"))
    builder.add_event_marker_style(EventMarkerStyle("lap"))
    return builder.finish().to_bytes()


def sdk_channels() -> bytes:
    builder = fixes(NavFileBuilder())
    builder.add(Channel("accel", [START, START + timedelta(seconds=1)], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
                        components=["x", "y", "z"], unit="m/s2", description="three axes"))
    builder.add(Channel("bearing", [START], [359.0], unit="deg", period_deg=360.0))
    builder.add(Channel("rate", [START], [0.5], unit=ChannelUnit.custom("furlongs")))
    return builder.finish().to_bytes()


def sdk_minimal() -> bytes:
    return NavFileBuilder().add(NavFix(1.0, 2.0, gps_time=START)).finish().to_bytes()


def h5py_every_table(version: str, older_layout: bool) -> bytes:
    points = [Point(48.0 + i, 11.0 + i, gps=T0 + i * 1_000_000, sys=None if older_layout else T0 + i * 1_000_000 + 250,
                    heading=90.0, speed=12.5, eph=3.0) for i in range(4)]
    reports = [Report(1, gps=T0 + 1_000_000, sats=[Sat(0, 12, 1, 45.0, 180.0, 40.0), Sat(5, 7)]),
               Report(3, sys=T0 + 3_000_300)]
    markers = [MarkerRow(T0, 1.0, 2.0, 13, "start"), MarkerRow(T0 + 5, 3.0, 4.0, 99, "caf\u00e9")]
    events = [EventRow(T0 + 7, 1.0, 2.0, "lap/start", "go"), EventRow(T0 + 9, 3.0, 4.0, "a//b")]
    styles = [StyleRow("lap/start", "satellite_lost", "#AbCdEf"), StyleRow("a", "sparkle", "red"), StyleRow("b")]
    channels = [ChannelRow("speed", [T0, T0 + 1], [1.5, 2.5], unit="mph"),
                ChannelRow("accel", [T0], [1.0, 2.0], components=["x", "y"], unit="m/s2")]
    attrs = {"meta_title": "h5py seed", "meta_travel_mode": "bicycle", "sdk_version": "0.1.0",
             "sdk_commit_time": "2024-05-01T10:00:00+02:00"}
    return qrd_bytes(version=version, points=points, reports=reports, markers=markers, events=events, styles=styles,
                     channels=channels, attrs=attrs, older_layout=older_layout)


def main() -> None:
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "core" / "fuzz" / "seeds"
    folder.mkdir(parents=True, exist_ok=True)
    seeds = {
        "sdk-points-satellites.qrd": sdk_points_satellites(),
        "sdk-markers-event-markers-styles.qrd": sdk_markers_event_markers_styles(),
        "sdk-channels.qrd": sdk_channels(),
        "sdk-minimal.qrd": sdk_minimal(),
        "h5py-v2-every-table.qrd": h5py_every_table("2", older_layout=False),
        "h5py-v1-every-table.qrd": h5py_every_table("1", older_layout=False),
        "h5py-v1-older-layout.qrd": h5py_every_table("1", older_layout=True),
    }
    for name, image in seeds.items():
        (folder / name).write_bytes(image)
        print(f"{folder / name}: {len(image)} bytes")


if __name__ == "__main__":
    main()
