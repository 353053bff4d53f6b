"""The SDK beside h5py + numpy, in one process.

A trace of N nav points at 10 Hz, each holding a satellite report of 12
satellites, is built through the SDK, written with `to_bytes` and read back
with `from_bytes`; the same columns go through h5py with the same datasets,
chunks and filters (shuffle + deflate 6, both in memory through HDF5's core
driver). Then the value objects against slotted dataclasses and a list. Each
figure is printed with its ratio, and the peak memory. Whole operations are
timed by the wall clock, the process's CPU time beside; value objects by the
thread's CPU time, so that other load on the machine does not count.

    python bench/python_bench.py [--n 1000000] [--micro 200000] [--repeat 1]
"""

import argparse
import gc
import os
import platform
import resource
import sys
import time
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone

import h5py
import numpy as np

import quillrun_sdk
from quillrun_sdk import NavFile, NavFileBuilder, NavFix, Satellite, SatelliteReport
from quillrun_sdk.enums import Constellation

SATELLITES = 12
STEP_US = 100_000
HOST_LEAD_US = 18_000_000
CHUNK = 8192
DEFLATE = 6
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
T0_US = int((datetime(2024, 5, 1, 8, 0, 0, tzinfo=timezone.utc) - EPOCH) / timedelta(microseconds=1))
CONSTELLATIONS = list(Constellation)
MIB = 1024 * 1024


@dataclass(slots=True)
class FixRecord:
    lat: float
    lon: float
    gps_time: datetime | None = None
    sys_time: datetime | None = None
    heading: float | None = None
    speed_mps: float | None = None
    eph_m: float | None = None


@dataclass(slots=True)
class SatelliteRecord:
    constellation: Constellation
    prn: int
    in_fix: bool = False
    elevation: float | None = None
    azimuth: float | None = None
    snr: float | None = None


@dataclass(slots=True)
class ReportRecord:
    tracked: list
    gps_time: datetime | None = None
    sys_time: datetime | None = None


# ---------------------------------------------------------------------------
# The values, once, as numpy columns in the file's layout


def make_columns(n):
    """Values as receivers give them: positions drifting by small steps, host
    times a steady lead plus jitter, whole-degree angles and whole dB-Hz."""
    rng = np.random.default_rng(42)
    i = np.arange(n, dtype=np.int64)
    gps = T0_US + i * STEP_US
    host = gps + HOST_LEAD_US + rng.integers(-3000, 3001, n)
    eph = np.full(n, 3.0)
    eph[::10] = np.nan
    s = np.tile(np.arange(SATELLITES), n)
    snr = rng.integers(18, 49, n * SATELLITES).astype(np.float32)
    snr[s == SATELLITES - 1] = np.nan
    return {
        "nav_points": {
            "time": gps,
            "gps_time_us": gps.view(np.uint64),
            "sys_time_us": host.view(np.uint64),
            "lat": 48.0 + np.cumsum(rng.normal(0.0, 1e-5, n)),
            "lon": 11.0 + np.cumsum(rng.normal(0.0, 1e-5, n)),
            "heading": (i % 3600) / 10.0,
            "speed_mps": np.full(n, 12.5),
            "eph_m": eph,
        },
        "sat_reports": {
            "nav_point_idx": i.view(np.uint64),
            "gps_time_us": gps.view(np.uint64),
            "sys_time_us": host.view(np.uint64),
        },
        "tracked_sats": {
            "sat_report_idx": np.repeat(i, SATELLITES).view(np.uint64),
            "constellation": (s % 4).astype(np.uint8),
            "prn": (s + 1).astype(np.uint32),
            "in_fix": (s < 9).astype(np.uint8),
            "elevation": rng.integers(5, 90, n * SATELLITES).astype(np.float32),
            "azimuth": rng.integers(0, 360, n * SATELLITES).astype(np.float32),
            "snr": snr,
        },
    }


def raw_bytes(columns):
    return sum(a.nbytes for table in columns.values() for a in table.values())


def at(micros):
    return EPOCH + timedelta(microseconds=micros)


# ---------------------------------------------------------------------------
# Measuring


def now():
    return time.perf_counter()


def best_of(repeat, fn):
    """Wall and CPU seconds of the fastest of `repeat` runs, and its result."""
    best, result = None, None
    for _ in range(repeat):
        # The previous run's result would stay alive through this one and
        # count in its peak memory.
        result = None
        gc.collect()
        start, cpu = now(), time.process_time()
        result = fn()
        elapsed = (now() - start, time.process_time() - cpu)
        best = elapsed if best is None else min(best, elapsed)
    return best[0], best[1], result


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak_rss():
    """Linux resets the peak resident size (VmHWM) when 5 is written to
    clear_refs; False where that is not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def max_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class Report:
    def figure(self, name, value, unit, cpu=None):
        text = f"  {name:<50} {value:12.3f} {unit}"
        if cpu is not None:
            text += f"   (CPU {cpu:.3f} s)"
        print(text, flush=True)

    def ratio(self, name, numerator, denominator, goal=None, cpu=None):
        r = numerator / denominator if denominator > 0 else float("inf")
        text = f"  {name:<50} {r:12.2f}x"
        if cpu is not None:
            text += f"   (CPU time {cpu[0] / cpu[1]:.2f}x)" if cpu[1] > 0 else ""
        if goal is not None:
            text += f"   (goal {goal})"
        print(text, flush=True)


# ---------------------------------------------------------------------------
# The SDK


def build_trace(columns):
    """The trace through the public API: one NavFix and one SatelliteReport
    of 12 Satellites per point, added in recording order."""
    p, r, t = columns["nav_points"], columns["sat_reports"], columns["tracked_sats"]
    n = len(p["time"])
    lat, lon, heading = p["lat"].tolist(), p["lon"].tolist(), p["heading"].tolist()
    eph = [None if e != e else e for e in p["eph_m"].tolist()]
    gps, host = p["time"].tolist(), r["sys_time_us"].view(np.int64).tolist()
    const = [CONSTELLATIONS[c] for c in t["constellation"][:SATELLITES].tolist()]
    prn = t["prn"][:SATELLITES].tolist()
    in_fix = t["in_fix"][:SATELLITES].astype(bool).tolist()
    elevation, azimuth = t["elevation"].tolist(), t["azimuth"].tolist()
    snr = [None if v != v else v for v in t["snr"].tolist()]

    builder = NavFileBuilder()
    add = builder.add
    for i in range(n):
        g, h = at(gps[i]), at(host[i])
        add(NavFix(lat[i], lon[i], gps_time=g, sys_time=h, heading=heading[i], speed_mps=12.5, eph_m=eph[i]))
        base = i * SATELLITES
        tracked = [
            Satellite(const[s], prn[s], in_fix=in_fix[s], elevation=elevation[base + s],
                      azimuth=azimuth[base + s], snr=snr[base + s])
            for s in range(SATELLITES)
        ]
        add(SatelliteReport(tracked, gps_time=g, sys_time=h))
    return builder


# ---------------------------------------------------------------------------
# h5py + numpy


def h5py_write(columns):
    """The same groups, datasets, chunks and filters as the SDK's file, built
    in memory by HDF5's core driver; the image as bytes."""
    with h5py.File("h5py-bench.h5", "w", driver="core", backing_store=False) as f:
        for group_name, table in columns.items():
            group = f.create_group(group_name)
            for name, values in table.items():
                group.create_dataset(name, data=values, chunks=(CHUNK,), maxshape=(None,),
                                     compression="gzip", compression_opts=DEFLATE,
                                     shuffle=values.dtype.itemsize > 1)
        f.flush()
        return f.id.get_file_image()


def open_image(image):
    fapl = h5py.h5p.create(h5py.h5p.FILE_ACCESS)
    fapl.set_fapl_core(backing_store=False)
    fapl.set_file_image(image)
    return h5py.File(h5py.h5f.open(b"h5py-image.h5", h5py.h5f.ACC_RDONLY, fapl=fapl))


def h5py_read(image, layout):
    with open_image(image) as f:
        return {g: {name: f[g][name][...] for name in table} for g, table in layout.items()}


def same_columns(image, columns):
    """Every column of a file equal, bit for bit, to the numpy column."""
    with open_image(image) as f:
        for g, table in columns.items():
            for name, values in table.items():
                stored = f[g][name][...]
                if stored.dtype != values.dtype or stored.tobytes() != values.tobytes():
                    raise SystemExit(f"error: {g}/{name} differs from the columns it was built from")


# ---------------------------------------------------------------------------
# Value objects


def per_call_ns(count, fn):
    """CPU nanoseconds per call of the loop `fn(count)`, best of three."""
    best = None
    for _ in range(3):
        start = time.thread_time_ns()
        fn(count)
        elapsed = time.thread_time_ns() - start
        best = elapsed if best is None else min(best, elapsed)
    return best / count


def micro_benchmarks(report, m, nav_file):
    times = [at(T0_US + k * STEP_US) for k in range(m)]
    hosts = [at(T0_US + HOST_LEAD_US + k * STEP_US) for k in range(m)]
    gps = Constellation.GPS

    def fixes(count, cls):
        for k in range(count):
            cls(48.0, 11.0, gps_time=times[k], sys_time=hosts[k], heading=90.0, speed_mps=12.5, eph_m=3.0)

    def satellites(count, cls):
        for k in range(count):
            cls(gps, 7, in_fix=True, elevation=35.0, azimuth=180.0, snr=42.0)

    sats = [Satellite(gps, s + 1, in_fix=True, elevation=35.0, azimuth=180.0, snr=42.0) for s in range(SATELLITES)]
    sat_records = [SatelliteRecord(gps, s + 1, True, 35.0, 180.0, 42.0) for s in range(SATELLITES)]

    def reports(count, cls, tracked):
        for k in range(count):
            cls(tracked, gps_time=times[k], sys_time=hosts[k])

    print(f"value objects ({m} calls each, best of 3, thread CPU time):")
    fix_ns = per_call_ns(m, lambda c: fixes(c, NavFix))
    fix_dc = per_call_ns(m, lambda c: fixes(c, FixRecord))
    report.figure("NavFix(...), distinct datetimes", fix_ns, "ns")
    report.figure("slotted dataclass, same arguments", fix_dc, "ns")
    report.ratio("dataclass / NavFix", fix_dc, fix_ns, "1.0 or more")
    sat_ns = per_call_ns(m, lambda c: satellites(c, Satellite))
    sat_dc = per_call_ns(m, lambda c: satellites(c, SatelliteRecord))
    report.figure("Satellite(...)", sat_ns, "ns")
    report.figure("slotted dataclass, same arguments", sat_dc, "ns")
    report.ratio("dataclass / Satellite", sat_dc, sat_ns, "1.0 or more")
    rep_ns = per_call_ns(m, lambda c: reports(c, SatelliteReport, sats))
    rep_dc = per_call_ns(m, lambda c: reports(c, ReportRecord, sat_records))
    report.figure("SatelliteReport(12 satellites)", rep_ns, "ns")
    report.figure("slotted dataclass, same arguments", rep_dc, "ns")
    report.ratio("dataclass / SatelliteReport", rep_dc, rep_ns)

    one_report = SatelliteReport(sats, gps_time=times[0], sys_time=hosts[0])
    builders = []

    def adds(count):
        builder = NavFileBuilder()
        builders.append(builder)
        add = builder.add
        for _ in range(count):
            add(one_report)

    add_ns = per_call_ns(m, adds)
    del builders
    report.figure("builder.add(report of 12 satellites)", add_ns, "ns")

    # A sweep, as a loop over a trace reads it: random indexes would time
    # the cache misses of both sides rather than the calls.
    points = nav_file.points
    listed = list(range(len(points)))
    picks = [k % len(points) for k in range(m)]

    def index(count, seq):
        for k in range(count):
            seq[picks[k]]

    point_ns = per_call_ns(m, lambda c: index(c, points))
    list_ns = per_call_ns(m, lambda c: index(c, listed))
    report.figure("points[i] (12 satellites), i = 0, 1, 2, ...", point_ns, "ns")
    report.figure("list[i], same i", list_ns, "ns")
    report.ratio("points[i] / list[i]", point_ns, list_ns, "2.0 or less")


# ---------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="nav points (default 1,000,000)")
    parser.add_argument("--micro", type=int, default=None, help="calls per value-object figure (default min(N, 200,000))")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each write and read, best taken (default 1)")
    args = parser.parse_args(argv)
    n, m, repeat = args.n, args.micro or min(args.n, 200_000), args.repeat
    if n < 1 or m < 1 or repeat < 1:
        parser.error("--n, --micro and --repeat must be at least 1")

    cpus = len(os.sched_getaffinity(0))
    print(f"quillrun_sdk {quillrun_sdk.__version__}, h5py {h5py.__version__} (HDF5 {h5py.version.hdf5_version}), "
          f"numpy {np.__version__}, Python {platform.python_version()}, {cpus} CPUs, "
          f"load average {os.getloadavg()[0]:.1f}")
    columns = make_columns(n)
    raw = raw_bytes(columns)
    print(f"{n} nav points x {SATELLITES} satellites: {raw / MIB:.1f} MiB of raw columns")
    report = Report()

    print("the SDK:")
    gc.collect()
    rss_before_build = rss_bytes()
    build_s, build_cpu, builder = best_of(1, lambda: build_trace(columns))
    report.figure("build: NavFix, 12 Satellite, SatelliteReport, add", build_s, "s", build_cpu)
    finish_s, finish_cpu, nav_file = best_of(1, builder.finish)
    report.figure("finish()", finish_s, "s", finish_cpu)
    del builder
    gc.collect()
    trace_bytes = max(rss_bytes() - rss_before_build, 0)

    resettable = reset_peak_rss()
    rss_before_write = rss_bytes()
    write_s, write_cpu, image = best_of(repeat, nav_file.to_bytes)
    write_peak = (peak_rss_bytes() - rss_before_write) if resettable else None
    report.figure("to_bytes()", write_s, "s", write_cpu)
    read_s, read_cpu, read_back = best_of(repeat, lambda: NavFile.from_bytes(image))
    report.figure("from_bytes()", read_s, "s", read_cpu)
    if len(read_back.points) != n:
        raise SystemExit(f"error: from_bytes gave {len(read_back.points)} points, not {n}")
    del read_back
    same_columns(image, columns)

    print("h5py + numpy, the same columns:")
    h5_write_s, h5_write_cpu, h5_image = best_of(repeat, lambda: h5py_write(columns))
    report.figure("write (core driver, file image)", h5_write_s, "s", h5_write_cpu)
    h5_read_s, h5_read_cpu, h5_columns = best_of(repeat, lambda: h5py_read(h5_image, columns))
    report.figure("read every column", h5_read_s, "s", h5_read_cpu)
    del h5_columns

    print("ratios, wall clock (above 1 the SDK is faster or smaller):")
    report.ratio("write: h5py / SDK", h5_write_s, write_s, "5 or more", (h5_write_cpu, write_cpu))
    report.ratio("read: h5py / SDK", h5_read_s, read_s, "3 or more", (h5_read_cpu, read_cpu))
    report.ratio("image size: h5py / SDK", len(h5_image), len(image))
    print(f"  {'image':<50} {len(image) / MIB:12.1f} MiB (h5py {len(h5_image) / MIB:.1f} MiB)")
    print(f"  {'write throughput, raw columns':<50} {raw / MIB / write_s:12.1f} MiB/s "
          f"(h5py {raw / MIB / h5_write_s:.1f} MiB/s)")
    print(f"  {'finish() per nav point':<50} {finish_s / n * 1e9:12.1f} ns")

    micro_benchmarks(report, m, nav_file)

    print("memory:")
    print(f"  {'trace in memory (RSS growth from building)':<50} {trace_bytes / MIB:12.1f} MiB")
    if write_peak is None:
        print("  peak during to_bytes: not measured (cannot reset the peak resident size)")
    else:
        print(f"  {'peak RSS growth during to_bytes()':<50} {write_peak / MIB:12.1f} MiB "
              f"(image {len(image) / MIB:.1f} MiB, excess {(write_peak - len(image)) / MIB:.1f} MiB; goal 64 or less)")
    print(f"  {'peak RSS of the process (ru_maxrss)':<50} {max_rss_bytes() / MIB:12.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
