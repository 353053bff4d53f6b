"""Writes the seeds that give the structure-aware fuzzer every kind of HDF5
structure the reader walks: `.qrd` files written by h5py, in the earliest
file format (symbol tables, version 1 B-trees) and in HDF5 1.14's (dense link
and attribute storage in fractal heaps and v2 B-trees, creation-order
indexes, chunked columns under every chunk index: single chunk, implicit,
fixed array, extensible array, v2 B-tree), filtered and not.

    python core/fuzz/make_structure_seeds.py [folder]   (default core/fuzz/seeds)

Needs h5py only. Each file stays under the 64 KiB the fuzzer's inputs take.
"""

import io
import sys
import tempfile
from pathlib import Path

import h5py
import numpy as np

ROOT = Path(__file__).resolve().parents[2]
T0 = 1_714_564_800_000_000
ABSENT = 2**64 - 1

CONTIGUOUS = None
# name: (maxshape, chunks, filters, early allocation)
SINGLE = ((8,), (8,), {}, False)
SINGLE_DEFLATED = ((8,), (8,), {"compression": "gzip", "shuffle": True}, False)
IMPLICIT = ((8,), (2,), {}, True)
FIXED_ARRAY = ((8,), (2,), {}, False)
FIXED_ARRAY_DEFLATED = ((8,), (2,), {"compression": "gzip"}, False)
EXTENSIBLE = ((None,), (2,), {}, False)
EXTENSIBLE_DEFLATED = ((None,), (1,), {"compression": "gzip", "shuffle": True}, False)
# Any chunking, in the earliest format; past 64 chunks the B-tree grows a level.
V1_BTREE = ((None,), (40,), {}, False)
V1_BTREE_DEFLATED = ((None,), (40,), {"compression": "gzip"}, False)
V1_BTREE_TWO_LEVELS = ((None,), (1,), {}, False)


def column(group, name, data, style):
    if style is CONTIGUOUS:
        group.create_dataset(name, data=data)
        return
    maxshape, chunks, filters, early = style
    dcpl = None
    if early:
        dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
        dcpl.set_alloc_time(h5py.h5d.ALLOC_TIME_EARLY)
    group.create_dataset(name, data=data, chunks=chunks, maxshape=maxshape, dcpl=dcpl, **filters)


def nav_points(f, styles, n=8):
    columns = {
        "time": np.arange(n, dtype=np.int64) * 1_000_000 + T0,
        "lat": np.linspace(48.0, 48.1, n),
        "lon": np.linspace(11.0, 11.2, n),
        "heading": np.full(n, 90.0),
        "speed_mps": np.full(n, 12.5),
        "gps_time_us": np.arange(n, dtype=np.uint64) * 1_000_000 + T0,
        "sys_time_us": np.full(n, ABSENT, dtype=np.uint64),
        "eph_m": np.full(n, 3.0),
    }
    g = f.create_group("nav_points")
    for i, (name, data) in enumerate(columns.items()):
        column(g, name, data, styles[i % len(styles)])


def channels(f, count, styles, rank2_style=None, attributes=0, track_order=False, attribute_size=1):
    c = f.create_group("channels", track_order=track_order)
    for i in range(count):
        sub = c.create_group(f"ch{i:04d}", track_order=track_order)
        sub.attrs["unit"] = f"u{i}"
        for k in range(attributes if i < 2 else 0):
            sub.attrs[f"note{k:02d}"] = np.full(attribute_size, k, dtype=np.int32)
        column(sub, "time", np.array([T0, T0 + 1], dtype=np.int64), styles[i % len(styles)])
        if rank2_style is not None and i == 0:
            sub.attrs["components"] = ["x", "y"]
            maxshape, chunks, filters, _ = rank2_style
            sub.create_dataset("value", data=np.arange(4.0).reshape(2, 2), chunks=chunks, maxshape=maxshape, **filters)
        else:
            column(sub, "value", np.array([1.5, 2.5]), styles[(i + 1) % len(styles)])


def root_attributes(f, extra):
    f.attrs["quillrun_version"] = "2"
    f.attrs["meta_title"] = "structure seed"
    f.attrs["meta_travel_mode"] = "bicycle"
    f.attrs["sdk_version"] = "0.1.0"
    for k in range(extra):
        f.attrs[f"extra{k:02d}"] = np.float64(k)


def image(libver, build) -> bytes:
    buffer = io.BytesIO()
    with h5py.File(buffer, "w", libver=libver) as f:
        build(f)
    return buffer.getvalue()


def v114_chunk_indexes(f):
    root_attributes(f, 0)
    nav_points(f, [SINGLE, IMPLICIT, FIXED_ARRAY, EXTENSIBLE, SINGLE_DEFLATED, FIXED_ARRAY_DEFLATED,
                   EXTENSIBLE_DEFLATED, IMPLICIT])
    # Two unlimited dimensions: a v2 B-tree chunk index, deflated and not.
    channels(f, 2, [EXTENSIBLE, FIXED_ARRAY_DEFLATED], rank2_style=((None, None), (1, 2), {}, False))
    sub = f["channels"].create_group("ch0009")
    sub.create_dataset("time", data=np.array([T0, T0 + 1], dtype=np.int64), chunks=(1, ), maxshape=(None,))
    sub.attrs["components"] = ["x", "y"]
    sub.create_dataset("value", data=np.arange(4.0).reshape(2, 2), chunks=(1, 1), maxshape=(None, None),
                       compression="gzip")


def v114_dense(f):
    # Past eight links and eight attributes the storage is dense: fractal
    # heaps indexed by v2 B-trees, with creation-order indexes.
    root_attributes(f, 10)
    nav_points(f, [EXTENSIBLE, EXTENSIBLE_DEFLATED])
    # The first channel's attributes outgrow the heap's first block: an
    # indirect block over direct blocks.
    channels(f, 10, [EXTENSIBLE, FIXED_ARRAY, SINGLE_DEFLATED], attributes=20, track_order=True, attribute_size=24)


def v114_deep_btrees(f):
    # Past one leaf's records the v2 B-trees grow an internal node: the
    # attribute name indexes of the root (read by name) and of a channel
    # (iterated), and a chunk index of many chunks.
    root_attributes(f, 80)
    nav_points(f, [EXTENSIBLE, FIXED_ARRAY])
    c = f.create_group("channels")
    sub = c.create_group("ch0000")
    sub.attrs["components"] = ["x", "y"]
    for k in range(70):
        sub.attrs[f"note{k:02d}"] = np.int32(k)
    sub.create_dataset("time", data=np.arange(120, dtype=np.int64) + T0, chunks=(8,), maxshape=(None,))
    sub.create_dataset("value", data=np.arange(240.0).reshape(120, 2), chunks=(1, 2), maxshape=(None, None))


def earliest(f):
    root_attributes(f, 3)
    nav_points(f, [V1_BTREE, V1_BTREE_TWO_LEVELS] + [V1_BTREE, V1_BTREE_DEFLATED] * 3, n=70)
    # Past one symbol table node's eight entries the group's B-tree splits.
    channels(f, 10, [CONTIGUOUS, CONTIGUOUS, CONTIGUOUS, V1_BTREE_DEFLATED])


def main() -> None:
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "core" / "fuzz" / "seeds"
    folder.mkdir(parents=True, exist_ok=True)
    seeds = {
        "h5py-v114-chunk-indexes.qrd": image(("v114", "v114"), v114_chunk_indexes),
        "h5py-v114-dense-links-attributes.qrd": image(("v114", "v114"), v114_dense),
        "h5py-v114-deep-btrees.qrd": image(("v114", "v114"), v114_deep_btrees),
        "h5py-earliest-chunked.qrd": image("earliest", earliest),
    }
    for name, data in seeds.items():
        if len(data) > 65536:
            raise SystemExit(f"{name}: {len(data)} bytes, past the fuzzer's 64 KiB")
        (folder / name).write_bytes(data)
        print(f"{folder / name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
