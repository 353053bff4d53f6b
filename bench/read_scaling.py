"""Read time against the count of one kind of thing a small file can hold many
of: attributes on one object, channel subgroups, chunks of one column, links
in a table's group, texts sharing one global heap collection. Each case's
files are crafted with h5py at growing counts; a read whose time per item
grows with the count is out of proportion to the file's size.

Run with the installed package: python bench/read_scaling.py [--max N]
[--case NAME ...] [--repeat R]. Prints, per case and count, the file's size,
the best read time of R reads, and the time per item."""

import argparse
import ctypes
import os
import struct
import sys
import tempfile
import time

import h5py
import numpy as np

from quillrun_sdk import NavFile

V18 = h5py.h5f.LIBVER_V18
V110 = h5py.h5f.LIBVER_V110
EARLIEST = h5py.h5f.LIBVER_EARLIEST
TRACK = h5py.h5p.CRT_ORDER_TRACKED | h5py.h5p.CRT_ORDER_INDEXED
# The most attributes or links an object header may keep without an index.
MAX_COMPACT = 65535


def set_link_phase_change(gcpl, max_compact, min_dense):
    """h5py does not offer H5Pset_link_phase_change: called in the library
    h5py loaded."""
    with open("/proc/self/maps") as maps:
        library = next(line.split()[-1] for line in maps if "libhdf5" in line and "_hl" not in line)
    call = ctypes.CDLL(library).H5Pset_link_phase_change
    call.argtypes = [ctypes.c_int64, ctypes.c_uint, ctypes.c_uint]
    if call(gcpl.id, max_compact, min_dense) < 0:
        raise RuntimeError("H5Pset_link_phase_change failed")


def new_file(path, libver=(V18, V110), attr_compact=None, root_order=False):
    """An h5py File on a new file whose root group keeps up to `attr_compact`
    attributes in its header (the library's default without it)."""
    fapl = h5py.h5p.create(h5py.h5p.FILE_ACCESS)
    fapl.set_libver_bounds(*libver)
    fcpl = h5py.h5p.create(h5py.h5p.FILE_CREATE)
    if attr_compact is not None:
        fcpl.set_attr_phase_change(attr_compact, min(attr_compact, 6))
    if root_order:
        fcpl.set_attr_creation_order(TRACK)
        fcpl.set_link_creation_order(TRACK)
    fid = h5py.h5f.create(path.encode(), h5py.h5f.ACC_TRUNC, fapl=fapl, fcpl=fcpl)
    return h5py.File(fid)


def nav_points(f, rows=0, **dataset):
    g = f.create_group("nav_points")
    for name, dtype in (("time", np.int64), ("lat", np.float64), ("lon", np.float64), ("heading", np.float64),
                        ("speed_mps", np.float64), ("gps_time_us", np.uint64), ("sys_time_us", np.uint64),
                        ("eph_m", np.float64)):
        g.create_dataset(name, data=np.arange(rows).astype(dtype), **dataset)
    return g


def finish(path, f):
    f.close()
    with open(path, "rb") as stored:
        return stored.read()


# ---------------------------------------------------------------------------
# The cases: each makes the bytes of a file holding `n` of its things.

def root_attributes(libver, attr_compact=None, order=False, value="text"):
    def make(path, n):
        f = new_file(path, libver=libver, attr_compact=attr_compact, root_order=order)
        f.attrs["quillrun_version"] = "2"
        for i in range(n):
            f.attrs[f"extra_{i:06d}"] = value if value != "float" else float(i)
        nav_points(f)
        return finish(path, f)
    return make


def channels(libver, link_compact=None, order=False):
    def make(path, n):
        f = new_file(path, libver=libver)
        f.attrs["quillrun_version"] = "2"
        nav_points(f)
        gcpl = h5py.h5p.create(h5py.h5p.GROUP_CREATE)
        if link_compact is not None:
            set_link_phase_change(gcpl, link_compact, min(link_compact, 6))
        if order:
            gcpl.set_link_creation_order(TRACK)
        gid = h5py.h5g.create(f.id, b"channels", gcpl=gcpl)
        c = h5py.Group(gid)
        for i in range(n):
            sub = c.create_group(f"ch_{i:06d}")
            sub.attrs["unit"] = "km/h"
            sub["time"] = np.array([i], dtype=np.int64)
            sub["value"] = np.array([0.5], dtype=np.float64)
        return finish(path, f)
    return make


def chunks(libver, unlimited=False, compression="gzip"):
    def make(path, n):
        f = new_file(path, libver=libver)
        f.attrs["quillrun_version"] = "2"
        nav_points(f, rows=n, chunks=(1,), maxshape=(None if unlimited else n,), compression=compression)
        return finish(path, f)
    return make


def label_chunks(path, n):
    """markers/label, a two-dimensional column: with both dimensions
    unlimited its chunks are indexed by a version 2 B-tree."""
    f = new_file(path)
    f.attrs["quillrun_version"] = "2"
    nav_points(f)
    m = f.create_group("markers")
    m["time"] = np.arange(n, dtype=np.int64)
    m["lat"] = np.zeros(n)
    m["lon"] = np.zeros(n)
    m["icon"] = np.zeros(n, dtype=np.uint8)
    m.create_dataset("label", data=np.zeros((n, 256), dtype=np.uint8), chunks=(1, 256), maxshape=(None, None),
                     compression="gzip")
    return finish(path, f)


def table_links(libver, link_compact=None):
    def make(path, n):
        f = new_file(path, libver=libver)
        f.attrs["quillrun_version"] = "2"
        gcpl = h5py.h5p.create(h5py.h5p.GROUP_CREATE)
        if link_compact is not None:
            set_link_phase_change(gcpl, link_compact, min(link_compact, 6))
        gid = h5py.h5g.create(f.id, b"nav_points", gcpl=gcpl)
        g = h5py.Group(gid)
        for i in range(n):
            g[f"extra_{i:06d}"] = h5py.SoftLink("/nowhere")
        for name in ("time", "lat", "lon", "heading", "speed_mps", "gps_time_us", "sys_time_us", "eph_m"):
            g[name] = np.zeros(1)
        return finish(path, f)
    return make


def shared_heap(path, n):
    """`n` text attributes whose references all name objects of one global
    heap collection of `n` objects."""
    f = new_file(path, libver=(EARLIEST, V110))
    f.attrs["quillrun_version"] = np.bytes_(b"2")  # fixed length: not in a heap
    for i in range(n):
        f.attrs[f"extra_{i:06d}"] = "x"
    nav_points(f)
    data = bytearray(finish(path, f))
    # One collection after the end of the file: n one-byte objects.
    start = len(data)
    objects = b"".join(struct.pack("<HH4xQ", k, 0, 1) + b"x" + bytes(7) for k in range(1, n + 1))
    size = 16 + len(objects)
    data += b"GCOL\x01\x00\x00\x00" + struct.pack("<Q", size) + objects
    # Every stored reference to an "x" (length 1, a collection's address, an
    # index) is made to name an object of that collection instead.
    reference = struct.Struct("<IQI")
    k = 0
    heap = 0
    while (heap := data.find(b"GCOL", heap, start)) >= 0:
        at = 0
        while (at := data.find(struct.pack("<IQ", 1, heap), at, start)) >= 0:
            data[at:at + reference.size] = reference.pack(1, start, 1 + k % n)
            k += 1
        heap += 4
    return bytes(data)


CASES = {
    "attrs-compact-v1": root_attributes((EARLIEST, V110)),
    "attrs-compact-v2": root_attributes((V18, V110), attr_compact=MAX_COMPACT),
    "attrs-compact-v2-ordered": root_attributes((V18, V110), attr_compact=MAX_COMPACT, order=True),
    "attrs-dense": root_attributes((V18, V110)),
    "attrs-dense-ordered": root_attributes((V18, V110), order=True),
    "attrs-float-compact": root_attributes((EARLIEST, V110), value="float"),
    "attrs-shared-heap": shared_heap,
    "channels-symbol-table": channels((EARLIEST, V110)),
    "channels-compact": channels((V18, V110), link_compact=MAX_COMPACT),
    "channels-dense": channels((V18, V110)),
    "channels-dense-ordered": channels((V18, V110), order=True),
    "chunks-btree1": chunks((EARLIEST, V110)),
    "chunks-fixed-array": chunks((V110, V110)),
    "chunks-extensible-array": chunks((V110, V110), unlimited=True),
    "chunks-unfiltered": chunks((EARLIEST, V110), compression=None),
    "chunks-btree2-label": label_chunks,
    "links-symbol-table": table_links((EARLIEST, V110)),
    "links-compact": table_links((V18, V110), link_compact=MAX_COMPACT),
    "links-dense": table_links((V18, V110)),
}


def best_read(data, repeat):
    best = float("inf")
    outcome = "read"
    for _ in range(repeat):
        start = time.perf_counter()
        try:
            NavFile.from_bytes(data)
        except (ValueError, OSError) as error:
            outcome = f"refused: {error}"[:60]
        best = min(best, time.perf_counter() - start)
    return best, outcome


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--min", type=int, default=1000, help="the first count")
    parser.add_argument("--max", type=int, default=32000, help="the last count (doubling from --min)")
    parser.add_argument("--repeat", type=int, default=3, help="reads per file; the best is kept")
    parser.add_argument("--case", action="append", choices=sorted(CASES), help="only these cases")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "crafted.qrd")
        for name in args.case or CASES:
            print(f"{name}:")
            n = args.min
            while n <= args.max:
                data = CASES[name](path, n)
                seconds, outcome = best_read(data, args.repeat)
                print(f"  {n:>7} items  {len(data):>10} bytes  {seconds * 1e3:>10.1f} ms  "
                      f"{seconds / n * 1e6:>8.2f} us/item  {outcome}", flush=True)
                n *= 2


if __name__ == "__main__":
    sys.exit(main())
