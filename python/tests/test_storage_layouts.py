"""A trace laid out by h5py in every storage the reader accepts (each file
format from the earliest to 1.14's, compact and dense attributes and links,
contiguous, compact and chunked columns under every chunk index, filtered or
not) reads back what the SDK wrote: the reader's checks of the library's
structures refuse forged ones, never these."""

import io
from datetime import datetime, timedelta, timezone

import h5py
import numpy as np
import pytest

from quillrun_sdk import (Annotation, Channel, EventMarker, EventMarkerStyle, Meta, NavFile, NavFileBuilder,
                          NavFix, Satellite, SatelliteReport)
from quillrun_sdk.enums import Constellation, MarkerIcon, TravelMode

POINTS = 700
CHANNELS = 20  # past the 8 links and attributes a group keeps in its header


def trace_bytes():
    start = datetime(2024, 5, 1, 12, 0, tzinfo=timezone.utc)
    times = [start + timedelta(milliseconds=100 * i) for i in range(POINTS)]
    builder = NavFileBuilder().with_meta(Meta(title="Layouts", travel_mode=TravelMode.CAR))
    for i, t in enumerate(times):
        builder.add(NavFix(51.5 + i * 1e-5, -0.1 - i * 1e-5, gps_time=t, sys_time=t, speed_mps=i / 7))
        if i % 3 == 0:
            builder.add(SatelliteReport([Satellite(Constellation.GPS, 1 + i % 32, in_fix=True, snr=30 + i % 9),
                                         Satellite(Constellation.GALILEO, 2, snr=21.5)], gps_time=t))
    for i in range(0, POINTS, 70):
        builder.add(Annotation(times[i], label=f"note {i}", icon=MarkerIcon.CHECK))
        builder.add(EventMarker(f"power/{i}", times[i], annotation="a" * (i % 300)))
        builder.add_event_marker_style(EventMarkerStyle(f"power/{i}", icon=MarkerIcon.LIGHTNING, color="#FFAA00"))
    for c in range(CHANNELS):
        builder.add(Channel(f"ch{c:02}", times[: 50 + c], [c + k / 4 for k in range(50 + c)], unit=("km/h", "deg", None)[c % 3], description=f"d{c}"))
    return builder.finish().to_bytes()


# How a column is stored: h5py's create_dataset arguments for one of shape
# `shape`, or None to keep the writer's own. Which index 1.10 and later files
# give a chunked dataset follows from its maximum shape and allocation time.
def early_allocation():
    dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
    dcpl.set_alloc_time(h5py.h5d.ALLOC_TIME_EARLY)
    return dcpl


STORAGES = {
    "contiguous": lambda shape: {},
    "compact": lambda shape: {"dcpl": compact_layout()} if np.prod(shape) <= 4096 else {},
    "v1-btree": lambda shape: {"chunks": chunked(shape, 64), "maxshape": (None,) * len(shape)},
    "single-chunk": lambda shape: {"chunks": shape, "maxshape": shape},
    "implicit": lambda shape: {"chunks": chunked(shape, 64), "maxshape": shape, "dcpl": early_allocation()},
    "fixed-array": lambda shape: {"chunks": chunked(shape, 16), "maxshape": shape},
    "extensible-array": lambda shape: {"chunks": chunked(shape, 8), "maxshape": (None,) + shape[1:]},
    "v2-btree": lambda shape: {"chunks": chunked(shape, 32), "maxshape": (None,) * len(shape)},
}


def compact_layout():
    dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
    dcpl.set_layout(h5py.h5d.COMPACT)
    return dcpl


def chunked(shape, rows):
    # A rank-1 column's only dimension unlimited makes an extensible array;
    # v2 B-trees need two: text columns are rank 2.
    return (max(1, min(rows, shape[0])),) + tuple(max(1, d // 2) for d in shape[1:])


def dense_group(parent, name):
    """A group whose attributes are all kept in a fractal heap and whose links
    and attributes are indexed by creation order as well as by name."""
    gcpl = h5py.h5p.create(h5py.h5p.GROUP_CREATE)
    gcpl.set_attr_phase_change(0, 0)
    order = h5py.h5p.CRT_ORDER_TRACKED | h5py.h5p.CRT_ORDER_INDEXED
    gcpl.set_link_creation_order(order)
    gcpl.set_attr_creation_order(order)
    h5py.h5g.create(parent.id, name.encode(), gcpl=gcpl)
    return parent[name]


def relaid(image, libver, storage, gzip, dense=False):
    out = io.BytesIO()
    with h5py.File(io.BytesIO(image), "r") as src, h5py.File(out, "w", libver=libver) as dst:
        def copy(group_in, group_out):
            for name, value in group_in.attrs.items():
                group_out.attrs[name] = value
            for name, item in group_in.items():
                if isinstance(item, h5py.Group):
                    copy(item, dense_group(group_out, name) if dense else group_out.create_group(name))
                    continue
                data = item[()]
                kind = "extensible-array" if storage == "v2-btree" and data.ndim == 1 else storage
                options = STORAGES[kind](data.shape) if data.size else {}
                if gzip and "chunks" in options:
                    options.update(compression="gzip", shuffle=True)
                dataset = group_out.create_dataset(name, shape=data.shape, dtype=data.dtype, **options)
                dataset[...] = data
                for attr, value in item.attrs.items():
                    dataset.attrs[attr] = value
        copy(src, dst)
    return out.getvalue()


def chunk_index(image, path):
    with h5py.File(io.BytesIO(image), "r") as f:
        plist = f[path].id.get_create_plist()
        return plist.get_layout(), plist.get_nfilters()


CASES = [("earliest", "contiguous", False, False), ("earliest", "compact", False, False),
         ("earliest", "v1-btree", False, False), ("earliest", "v1-btree", True, False),
         ("v108", "contiguous", False, False), ("v108", "v1-btree", True, True)]
CASES += [(libver, storage, gzip, False) for libver in ("v110", "v112", "v114")
          for storage in ("single-chunk", "fixed-array", "extensible-array", "v2-btree") for gzip in (False, True)]
CASES += [("v110", "implicit", False, False), ("v114", "implicit", False, True), ("v114", "v2-btree", True, True)]


@pytest.fixture(scope="module")
def original():
    return trace_bytes()


@pytest.mark.parametrize("libver, storage, gzip, dense", CASES,
                         ids=["-".join(map(str, case[:2])) + "-gzip" * case[2] + "-dense" * case[3] for case in CASES])
def test_every_storage_reads_what_was_written(original, libver, storage, gzip, dense):
    image = relaid(original, (libver, "v114"), storage, gzip, dense)
    if storage != "contiguous":
        layout, filters = chunk_index(image, "markers/label")
        assert layout == (h5py.h5d.COMPACT if storage == "compact" else h5py.h5d.CHUNKED)
        assert filters == (2 if gzip else 0)
    assert NavFile.from_bytes(image).to_bytes() == NavFile.from_bytes(original).to_bytes()
