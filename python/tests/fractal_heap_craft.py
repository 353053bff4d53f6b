"""Fractal heap variants of a valid HDF5 image (8-byte addresses and lengths,
unfiltered heaps): one header field, indirect block entry or block offset
edited, and the checksum it broke recomputed, so that HDF5 takes the heap as
sound. The images `data/structure/fractal-heap-*` stand for what these find,
and `scripts/hdf5-patches/h5hf-*.c` make the same edits in C.

    python fractal_heap_craft.py BASE.h5 OUTDIR   # writes OUTDIR/<edit>.h5
"""

import os
import random
import struct
import sys

from hdf5_checksum import MASK, lookup3



# The header after its signature and version, up to its checksum
HEADER = "<HHBIQQQQQQQQQQQQHQQHHQH"
FIELDS = ("id_len filter_len flags max_man_size huge_next_id huge_btree free fs_addr man_size man_alloc_size "
          "iter_off man_nobjs huge_size huge_nobjs tiny_size tiny_nobjs width start_block_size "
          "max_direct_size max_index start_root_rows table_addr curr_root_rows").split()
CHECKSUM_AT = 5 + struct.calcsize(HEADER)
UNDEF = 2**64 - 1

# Edge values of each creation parameter and count
EDGES = {
    "width": [0, 1, 3, 6, 32768, 65535],
    "start_block_size": [0, 1, 3, 16, 32, 2**31, 2**40, 2**63],
    "max_direct_size": [0, 3, 512, 2**31, 2**32],
    "max_index": [0, 1, 11, 12, 63, 64, 65535],
    "start_root_rows": [0, 30, 65535],
    "curr_root_rows": [0, 1, 5, 29, 30, 65535],
    "id_len": [0, 1, 4, 6, 9, 17, 4097, 65535],
    "man_size": [0, 1, 2**40 + 1, UNDEF],
    "max_man_size": [0, 1, 65536, MASK],
    "flags": [0, 1, 3],
}


def _signatures(image, signature):
    at = image.find(signature)
    while at >= 0:
        yield at
        at = image.find(signature, at + 1)


def headers(image):
    """{offset: fields} of every fractal heap header."""
    return {at: dict(zip(FIELDS, struct.unpack_from(HEADER, image, at + 5))) for at in _signatures(image, b"FRHP")}


def set_header(image: bytearray, at, **fields):
    values = dict(zip(FIELDS, struct.unpack_from(HEADER, image, at + 5)))
    values.update(fields)
    struct.pack_into(HEADER, image, at + 5, *(values[f] for f in FIELDS))
    struct.pack_into("<I", image, at + CHECKSUM_AT, lookup3(bytes(image[at:at + CHECKSUM_AT])))


def _off_bytes(header):
    return (header["max_index"] + 7) // 8


def blocks(image, heaps):
    """{offset: (kind, size, heap)} of every direct and indirect block: the
    size is the one whose checksum holds."""
    found = {}
    for at in _signatures(image, b"FHIB"):
        heap = heaps.get(struct.unpack_from("<Q", image, at + 5)[0])
        for rows in range(1, 65) if heap else ():
            size = 13 + _off_bytes(heap) + rows * heap["width"] * 8 + 4
            if at + size <= len(image) and lookup3(image[at:at + size - 4]) == struct.unpack_from(
                    "<I", image, at + size - 4)[0]:
                found[at] = ("iblock", size, heap)
                break
    for at in _signatures(image, b"FHDB"):
        heap = heaps.get(struct.unpack_from("<Q", image, at + 5)[0])
        if not heap:
            continue
        checksum_at = at + 13 + _off_bytes(heap)
        size = heap["start_block_size"]
        while size <= heap["max_direct_size"] and at + size <= len(image):
            unsigned = bytearray(image[at:at + size])
            unsigned[checksum_at - at:checksum_at - at + 4] = bytes(4)
            if lookup3(bytes(unsigned)) == struct.unpack_from("<I", image, checksum_at)[0]:
                found[at] = ("dblock", size, heap)
                break
            size *= 2
    return found


def sign_block(image: bytearray, at, kind, size, heap):
    if kind == "iblock":
        struct.pack_into("<I", image, at + size - 4, lookup3(bytes(image[at:at + size - 4])))
    else:
        checksum_at = at + 13 + _off_bytes(heap)
        image[checksum_at:checksum_at + 4] = bytes(4)
        struct.pack_into("<I", image, checksum_at, lookup3(bytes(image[at:at + size])))


def variants(base: bytes, seed=0):
    """(name, image) of each edit of `base`."""
    rng = random.Random(seed)
    heaps = headers(base)
    found = blocks(base, heaps)
    for at, heap in heaps.items():
        for field, values in EDGES.items():
            for value in values:
                if heap[field] != value:
                    image = bytearray(base)
                    set_header(image, at, **{field: value})
                    yield f"heap{at:x}-{field}-{value}", bytes(image)
        # the root block: another heap's block, or one of this heap's below its root
        for target in rng.sample(sorted(found), min(12, len(found))):
            if target != heap["table_addr"]:
                image = bytearray(base)
                set_header(image, at, table_addr=target)
                yield f"heap{at:x}-root-{target:x}", bytes(image)
    for at, (kind, size, heap) in found.items():
        off_bytes = _off_bytes(heap)
        offset = int.from_bytes(base[at + 13:at + 13 + off_bytes], "little")
        for value in (0, offset + 1, offset + 1024, 2 ** (8 * off_bytes) - 1):
            if value != offset:
                image = bytearray(base)
                image[at + 13:at + 13 + off_bytes] = value.to_bytes(off_bytes, "little")
                sign_block(image, at, kind, size, heap)
                yield f"{kind}{at:x}-offset-{value}", bytes(image)
        if kind == "iblock":
            first = at + 13 + off_bytes
            entries = [first + 8 * i for i in range((size - 17 - off_bytes) // 8)
                       if struct.unpack_from("<Q", base, first + 8 * i)[0] != UNDEF]
            # an entry naming the block itself, or another block of any heap
            for entry in rng.sample(entries, min(4, len(entries))):
                for target in {at, *rng.sample(sorted(found), min(6, len(found)))}:
                    image = bytearray(base)
                    struct.pack_into("<Q", image, entry, target)
                    sign_block(image, at, kind, size, heap)
                    yield f"iblock{at:x}-entry{(entry - first) // 8}-{target:x}", bytes(image)


if __name__ == "__main__":
    base_path, out = sys.argv[1:3]
    os.makedirs(out, exist_ok=True)
    with open(base_path, "rb") as f:
        base = f.read()
    count = 0
    for name, image in variants(base):
        with open(os.path.join(out, name + ".h5"), "wb") as f:
            f.write(image)
        count += 1
    print(count, "variants")
