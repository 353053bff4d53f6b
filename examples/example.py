"""Assembles a short drive, writes it as a .qrd file and reads it back."""

import tempfile
from datetime import datetime, timedelta, timezone
from pathlib import Path

import quillrun_sdk
from quillrun_sdk import (
    Annotation,
    Channel,
    EventMarker,
    EventMarkerStyle,
    Meta,
    NavFile,
    NavFileBuilder,
    NavFix,
    Satellite,
    SatelliteReport,
    mps_from_kmh,
)
from quillrun_sdk.enums import Constellation, MarkerIcon, TravelMode

START = datetime(2024, 5, 1, 12, 0, 0, tzinfo=timezone.utc)
# The host clock of the recording phone runs 0.8 s behind the receiver.
HOST_LAG = timedelta(milliseconds=800)


def assemble() -> NavFile:
    builder = NavFileBuilder().with_meta(
        Meta(title="Morning drive", device="u-blox M10", travel_mode=TravelMode.CAR)
    )
    builder.with_satellite_window(timedelta(milliseconds=250))

    for second in range(5):
        gps_time = START + timedelta(seconds=second)
        builder.add(
            NavFix(
                51.5000 + second * 0.0001,
                -0.1000 + second * 0.0002,
                gps_time=gps_time,
                sys_time=gps_time - HOST_LAG,
                speed_mps=mps_from_kmh(36.0),
                heading=45.0,
                eph_m=3.5,
            )
        )

    builder.add(
        SatelliteReport(
            [
                Satellite(Constellation.GPS, 5, in_fix=True, elevation=41.0, azimuth=120.0, snr=38.5),
                Satellite(Constellation.GALILEO, 11, elevation=12.5, azimuth=300.0, snr=24.0),
            ],
            gps_time=START + timedelta(seconds=2, milliseconds=100),
        )
    )
    builder.add(Annotation(START + timedelta(seconds=1, milliseconds=500), label="Bridge", icon=MarkerIcon.CHECK))
    builder.add(EventMarker("power/boot", START + timedelta(seconds=2), annotation="engine on"))
    builder.add(
        Channel(
            "speed_obd",
            [START + timedelta(seconds=s) for s in range(3)],
            [34.0, 35.5, 36.0],
            unit="km/h",
            description="Speed from the OBD port",
        )
    )
    builder.add_event_marker_style(EventMarkerStyle("power/boot", icon=MarkerIcon.LIGHTNING, color="#FFAA00"))
    return builder.finish()


def summarise(nav_file: NavFile) -> None:
    points = nav_file.points
    meta = nav_file.meta
    rows = [
        ("counts", f"{len(points)} nav points, {len(nav_file.markers)} marker(s), "
                   f"{len(nav_file.event_markers)} event marker(s), {len(nav_file.channels)} channel(s), "
                   f"{len(nav_file.event_marker_styles)} style(s)"),
        ("first time", points[0].gps_time.isoformat()),
        ("last time", points[len(points) - 1].gps_time.isoformat()),
    ]
    for point in points:
        if point.satellites is not None:
            rows.append(("satellites", f"{len(point.satellites.tracked)} tracked at {point.gps_time.isoformat()}"))
    for marker in nav_file.markers:
        rows.append(("marker", f"{marker.label} at ({marker.lat:.6f}, {marker.lon:.6f})"))
    for event in nav_file.event_markers:
        rows.append(("event marker", f"{event.variant_path} at ({event.lat:.6f}, {event.lon:.6f}): {event.annotation}"))
    for channel in nav_file.channels:
        rows.append(("channel", f"{channel.name} [{channel.unit}], {len(channel.times)} samples"))
    for style in nav_file.event_marker_styles:
        rows.append(("style", f"{style.variant_path}: icon {style.icon_name}, color {style.color}"))
    rows.append(("meta", f"title={meta.title!r} device={meta.device!r} travel_mode={meta.travel_mode}"))
    rows.append(("written by", f"sdk {meta.sdk_version} ({meta.sdk_git_commit}, {meta.sdk_commit_time})"))
    for label, text in rows:
        print(f"  {label + ':':<14}{text}")


def main() -> None:
    print(f"quillrun_sdk {quillrun_sdk.__version__}")
    nav_file = assemble()
    with tempfile.TemporaryDirectory() as folder:
        # write_to_file adds the .qrd extension to a path without one.
        nav_file.write_to_file(Path(folder) / "morning_drive")
        path = Path(folder) / "morning_drive.qrd"
        print(f"wrote {path.name}: {path.stat().st_size} bytes")
        summarise(NavFile.open(path))


if __name__ == "__main__":
    main()
