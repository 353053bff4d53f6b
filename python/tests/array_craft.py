"""Forged extensible- and fixed-array chunk indices, as in data/structure/*.h5.

An h5py-written base (libver v114) with two unfiltered extensible-array datasets of 600 chunks
(`eaA`, `eaB`: super blocks), two fixed-array ones of 100 chunks (`faA`, `faB`) and a filtered one
of each, edited at one address, count or parameter, every checksum the edit breaks recomputed
(HDF5's lookup3, initval 0). Offsets and lengths are 8 bytes, as h5py writes them.

    python python/tests/array_craft.py OUT_DIR
"""
import os
import struct
import sys

from hdf5_checksum import lookup3, seal




def check(img, start, length):
    return struct.unpack_from("<I", img, start + length)[0] == lookup3(img[start : start + length])


def find_all(img, sig):
    i = img.find(sig)
    while i >= 0:
        yield i
        i = img.find(sig, i + 1)


class ExtensibleArray:
    """The header at addr and the address tables of its index block."""

    def __init__(self, img, addr):
        self.addr = addr
        self.element_size, count_bits, self.index_elements, data_min, super_min = img[addr + 6 : addr + 11]
        self.stats = list(struct.unpack_from("<6Q", img, addr + 12))
        self.index_block = struct.unpack_from("<Q", img, addr + 60)[0]
        super_blocks = 1 + count_bits - (data_min.bit_length() - 1)
        in_index = 2 * (super_min.bit_length() - 1)  # super blocks whose data blocks the index block holds
        self.in_index = in_index
        self.data_min, self.count_bits = data_min, count_bits
        self.data_addresses = 2 * (super_min - 1)
        self.super_addresses = super_blocks - in_index

    def seal(self, img):
        struct.pack_into("<6Q", img, self.addr + 12, *self.stats)
        seal(img, self.addr, 68)

    def _position(self, j):
        # signature, version, class, header address, elements, then addresses
        return self.index_block + 14 + self.index_elements * self.element_size + 8 * j

    def _address(self, img, j):
        return struct.unpack_from("<Q", img, self._position(j))[0]

    def _set(self, img, j, address):
        struct.pack_into("<Q", img, self._position(j), address)
        seal(img, self.index_block, self._position(self.data_addresses + self.super_addresses) - self.index_block)

    def data_block(self, img, j):
        return self._address(img, j)

    def super_block(self, img, j):
        return self._address(img, self.data_addresses + j)

    def set_data_block(self, img, j, address):
        self._set(img, j, address)

    def set_super_block(self, img, j, address):
        self._set(img, self.data_addresses + j, address)


def arrays(img):
    """Extensible array headers, in file order."""
    return [ExtensibleArray(img, a) for a in find_all(img, b"EAHD") if check(img, a, 68)]


def fixed_arrays(img):
    """Fixed array header addresses, in file order."""
    return [a for a in find_all(img, b"FAHD") if check(img, a, 24)]


def set_fixed_array(img, addr, page_bits=None, count=None):
    if page_bits is not None:
        img[addr + 7] = page_bits
    if count is not None:
        struct.pack_into("<Q", img, addr + 8, count)
    seal(img, addr, 24)


def reseal_fixed_block(img, addr):
    """Reseals a fixed array's data block (the prefix when paged) at the size its header now gives."""
    es, bits = img[addr + 6], img[addr + 7]
    count, block = struct.unpack_from("<QQ", img, addr + 8)
    page = 1 << bits
    length = 14 + ((count + page - 1) // page + 7) // 8 if count > page else 14 + count * es
    if block + length + 4 <= len(img):
        seal(img, block, length)


def base_image():
    import h5py
    import io
    import numpy as np

    buffer = io.BytesIO()
    with h5py.File(buffer, "w", libver=("v114", "v114")) as f:
        f.create_dataset("eaA", data=np.arange(600, dtype="i1"), chunks=(1,), maxshape=(None,))
        f.create_dataset("eaB", data=-np.arange(600, dtype="i1"), chunks=(1,), maxshape=(None,))
        f.create_dataset("eaF", data=np.arange(30, dtype="f8"), chunks=(1,), maxshape=(None,), compression="gzip")
        f.create_dataset("faA", data=np.arange(100, dtype="i1"), chunks=(1,))
        f.create_dataset("faB", data=-np.arange(100, dtype="i1"), chunks=(1,))
        f.create_dataset("faF", data=np.arange(30, dtype="f8"), chunks=(1,), compression="gzip")
    return buffer.getvalue()


def variants(base):
    """name -> image, for each forged index."""
    out = {}

    def make(name, edit):
        img = bytearray(base)
        edit(img)
        out[name] = bytes(img)

    def ea(img, i):
        return arrays(img)[i]

    # eaA, eaB and eaF in file order, as h5py lays them out
    make(
        "extensible-array-super-block-of-another-array",
        lambda img: ea(img, 1).set_super_block(img, 0, ea(img, 0).super_block(img, 0)),
    )
    make(
        "extensible-array-super-block-of-another-index",
        lambda img: ea(img, 0).set_super_block(img, 1, ea(img, 0).super_block(img, 0)),
    )
    make(
        "extensible-array-data-block-of-another-size",
        lambda img: ea(img, 0).set_data_block(img, 1, ea(img, 0).data_block(img, 0)),
    )

    def max_index(img):
        a = ea(img, 0)
        a.stats[4] = 2**33 + 100  # the max index set
        a.seal(img)

    make("extensible-array-max-index-past-capacity", max_index)

    def deep_hole(img, s=24):
        # Super block s, every block below it absent, its last data block's last page initialized
        # at an address past the end of the file (never read unless looked up)
        a = ea(img, 0)
        blocks, elements = 1 << (s // 2), (1 << ((s + 1) // 2)) * a.data_min
        start = sum((1 << (u // 2)) * (1 << ((u + 1) // 2)) * a.data_min for u in range(s))
        pages = elements >> img[a.addr + 11]
        init = (pages + 7) // 8
        img += bytes(-len(img) % 8)
        at = len(img)
        block = bytearray(b"EASB" + bytes([0, img[a.addr + 5]]) + struct.pack("<Q", a.addr))
        block += start.to_bytes((a.count_bits + 7) // 8, "little") + bytes(blocks * init)
        block[-1] = 0x80
        block += struct.pack("<Q", 2**64 - 1) * (blocks - 1) + struct.pack("<Q", at + 20000000)
        img += block + struct.pack("<I", lookup3(bytes(block)))
        a.set_super_block(img, s - a.in_index, at)
        a.stats[4] = start + blocks * elements + a.index_elements
        a.seal(img)
        struct.pack_into("<Q", img, 28, len(img))  # end of file address, in the superblock
        reseal(img, 0, 44)

    make("extensible-array-deep-hole", deep_hole)

    def fixed(page_bits=None, count=None):
        def edit(img):
            addr = fixed_arrays(img)[0]
            set_fixed_array(img, addr, page_bits, count)
            reseal_fixed_block(img, addr)

        return edit

    make("fixed-array-count-below-dataset", fixed(count=5))
    make("fixed-array-page-bits-shift", fixed(page_bits=64))
    make("fixed-array-count-past-file", fixed(page_bits=40, count=2**50))
    return out


if __name__ == "__main__":
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, image in variants(base_image()).items():
        with open(os.path.join(sys.argv[1], name + ".h5"), "wb") as f:
            f.write(image)
