"""Resident memory kept per NavFile.from_bytes: a rich and a bare valid trace,
each damaged image that once made HDF5 keep memory per failed read, and each
hostile image.

Run with the installed package: python bench/read_leak.py [--reads N]
Exits 1 when an image keeps more than 64 B per read. The damaged images are
held to that bound only with the HDF5 built into the extension: a system
libhdf5 (1.10 on Debian 12, or an unpatched 1.14) loses memory inside the
library on their failed object-header loads whatever the caller does, so
there their figures are only reported. The hostile images are read only with
the HDF5 built into the extension: a system libhdf5 crashes on some of them
and loops on others until memory runs out."""

import argparse
import gc
import logging
import os
import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path

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
)
from quillrun_sdk.enums import Constellation, MarkerIcon, TravelMode

DATA = Path(__file__).resolve().parent.parent / "python" / "tests" / "data"
DAMAGED = DATA / "damaged"
HOSTILE = DATA / "hostile"
# Far below the hundreds of bytes a leaking read kept, well above the noise of
# the allocators over tens of thousands of reads.
BOUND = 64
PAGE = os.sysconf("SC_PAGESIZE")


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def system_hdf5():
    """Whether the extension uses a shared libhdf5 rather than its own."""
    with open("/proc/self/maps") as maps:
        return any("/libhdf5" in line for line in maps)


def rich_image():
    t0 = datetime(2024, 5, 1, 12, tzinfo=timezone.utc)
    builder = NavFileBuilder().with_meta(
        Meta(title="Morning run", device="logger 7", notes="wet", identity="abc-123", travel_mode=TravelMode.CAR))
    for i in range(5):
        t = t0 + timedelta(seconds=i)
        builder.add(NavFix(51.5 + i / 1000, -0.1, gps_time=t, sys_time=t, heading=90.0, speed_mps=3.0, eph_m=4.0))
        builder.add(SatelliteReport([Satellite(Constellation.GPS, 3 + i, in_fix=True, elevation=40.0, azimuth=120.0,
                                               snr=41.0),
                                     Satellite(Constellation.GALILEO, 11, snr=30.0)], gps_time=t, sys_time=t))
    builder.add(Annotation(t0, label="start", icon=MarkerIcon.GEAR))
    builder.add(Annotation(t0 + timedelta(seconds=2), label="hé"))
    builder.add(EventMarker("power/boot", t0, annotation="cold"))
    builder.add(EventMarker("net/lost", t0 + timedelta(seconds=3)))
    builder.add(Channel("imu", [t0, t0 + timedelta(seconds=1)], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
                        components=["x", "y", "z"], unit="m/s", description="body frame"))
    builder.add_event_marker_style(EventMarkerStyle("power/boot", icon=MarkerIcon.GEAR, color="#00ff00"))
    builder.add_event_marker_style(EventMarkerStyle("net", color="#ff0000"))
    return builder.finish().to_bytes()


def bare_image():
    t0 = datetime(2024, 5, 1, 12, tzinfo=timezone.utc)
    builder = NavFileBuilder()
    for i in range(5):
        builder.add(NavFix(51.5 + i / 1000, -0.1, gps_time=t0 + timedelta(seconds=i)))
    return builder.finish().to_bytes()


class Counter(logging.Handler):
    """Counts the records the reads log. Damaged and hostile images are read
    thousands of times and log what they lack each time: expected, so counted
    rather than printed, and kept by no one, so that they add no memory."""

    def __init__(self):
        super().__init__()
        self.records = 0

    def emit(self, record):
        self.records += 1


def read(data):
    try:
        NavFile.from_bytes(data)
    except (ValueError, OSError):
        pass


def growth_per_read(data, reads, warmup):
    for _ in range(warmup):
        read(data)
    gc.collect()
    before = resident()
    for _ in range(reads):
        read(data)
    gc.collect()
    return (resident() - before) / reads


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reads", type=int, default=20_000, help="measured reads per image")
    parser.add_argument("--warmup", type=int, default=2_000, help="reads before the first mark")
    args = parser.parse_args()

    damaged = sorted(DAMAGED.glob("leak-*.qrd"))
    if not damaged:
        sys.exit(f"no leak-*.qrd image in {DAMAGED}")
    images = [("rich", rich_image(), True), ("bare", bare_image(), True)]
    NavFile.from_bytes(images[0][1])  # loads HDF5, so that its mapping is seen
    bound_damaged = not system_hdf5()
    images += [(path.name, path.read_bytes(), bound_damaged) for path in damaged]
    if bound_damaged:
        images += [(path.name, path.read_bytes(), True) for path in sorted(HOSTILE.glob("*.qrd"))]

    counter = Counter()
    logger = logging.getLogger("quillrun_sdk")
    logger.addHandler(counter)
    logger.propagate = False
    width = max(len(name) for name, _, _ in images)
    failed = []
    for name, data, bounded in images:
        counter.records = 0
        per_read = growth_per_read(data, args.reads, args.warmup)
        note = "" if bounded else "  (system libhdf5: reported only)"
        logged = f", {counter.records} records logged" if counter.records else ""
        print(f"{name:{width}} {per_read:8.1f} B per read over {args.reads} reads{logged}{note}", flush=True)
        if bounded and per_read > BOUND:
            failed.append(name)
    if failed:
        print(f"more than {BOUND} B per read: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
