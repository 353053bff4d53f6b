"""Edits of chunk indices and layouts in HDF5 files that h5py wrote: the
structures a damaged or hostile file points at the wrong place, with every
checksum the edit breaks recomputed (HDF5's lookup3, initval 0), so that
the library takes them as sound. Used to make the images under
data/structure/ and their variants."""

import struct

import h5py

from hdf5_checksum import lookup3

UNDEF = 0xFFFFFFFFFFFFFFFF


def header_addresses(path, names):
    """Object header address of each named object."""
    with h5py.File(path, "r") as f:
        return {n: h5py.h5o.get_info(f[n].id).addr for n in names}


class Image:
    """A file's bytes, edited in place; object headers of version 1 and 2."""

    def __init__(self, data: bytes):
        self.b = bytearray(data)

    def u(self, at, size):
        return int.from_bytes(self.b[at : at + size], "little")

    def put(self, at, size, value):
        self.b[at : at + size] = value.to_bytes(size, "little")

    def messages(self, addr):
        """(type, data offset, size, checksummed chunk (start, end) or None) of each message."""
        out = []
        if self.b[addr : addr + 4] == b"OHDR":
            flags = self.b[addr + 5]
            p = addr + 6 + (16 if flags & 0x20 else 0) + (4 if flags & 0x10 else 0)
            width = 1 << (flags & 3)
            size = self.u(p, width)
            p += width
            chunks = [(addr, p, p + size)]
            while chunks:
                start, p, end = chunks.pop(0)
                while p + 4 <= end:
                    mtype, msize = self.b[p], self.u(p + 1, 2)
                    data = p + 4 + (2 if flags & 0x04 else 0)
                    out.append((mtype, data, msize, (start, end)))
                    if mtype == 0x10:
                        caddr, clen = self.u(data, 8), self.u(data + 8, 8)
                        chunks.append((caddr, caddr + 4, caddr + clen - 4))
                    p = data + msize
        else:
            chunks = [(addr + 16, addr + 16 + self.u(addr + 8, 4))]
            while chunks:
                p, end = chunks.pop(0)
                while p + 8 <= end:
                    mtype, msize = self.u(p, 2), self.u(p + 2, 2)
                    out.append((mtype, p + 8, msize, None))
                    if mtype == 0x10:
                        caddr, clen = self.u(p + 8, 8), self.u(p + 16, 8)
                        chunks.append((caddr, caddr + clen))
                    p += 8 + msize
        return out

    def message(self, addr, mtype):
        return next(m for m in self.messages(addr) if m[0] == mtype)

    def reseal(self, chunk):
        """Recomputes the checksum at the end of a version 2 header chunk."""
        if chunk is not None:
            start, end = chunk
            self.put(end, 4, lookup3(bytes(self.b[start:end])))

    def layout(self, addr):
        """(data offset, size, chunk, index address offset) of a chunked layout message."""
        mtype, data, size, chunk = self.message(addr, 0x08)
        version = self.b[data]
        assert self.b[data + 1] == 2, "not chunked"
        if version == 3:
            return data, size, chunk, data + 3
        ndims, enc = self.b[data + 3], self.b[data + 4]
        p = data + 5 + ndims * enc
        kind = self.b[p]
        p += 1 + {1: 12 if self.b[data + 2] & 2 else 0, 2: 0, 3: 1, 4: 5, 5: 6}[kind]
        return data, size, chunk, p

    def set_index(self, addr, index_addr):
        """Points a dataset's chunked layout at another chunk index."""
        data, size, chunk, at = self.layout(addr)
        self.put(at, 8, index_addr)
        self.reseal(chunk)

    def index_of(self, addr):
        return self.u(self.layout(addr)[3], 8)

    def copy_layout(self, addr, other):
        """Gives a dataset another dataset's whole layout message (padded)."""
        data, size, chunk, _ = self.layout(addr)
        odata, osize, _, _ = self.layout(other)
        assert osize <= size
        self.b[data : data + size] = self.b[odata : odata + osize] + bytes(size - osize)
        self.reseal(chunk)

    # Version 1 B-tree nodes (no checksum): "TREE", type, level, entries,
    # left, right, then keys and children alternating.
    def node(self, addr, key_size):
        assert self.b[addr : addr + 4] == b"TREE"
        n = self.u(addr + 6, 2)
        children = [self.u(addr + 24 + key_size + i * (8 + key_size), 8) for i in range(n)]
        return {"level": self.b[addr + 5], "left": self.u(addr + 8, 8), "right": self.u(addr + 16, 8),
                "children": children}

    def set_child(self, addr, key_size, i, child):
        self.put(addr + 24 + key_size + i * (8 + key_size), 8, child)


def write_bases(btree_path, array_path):
    """Small valid files: chunked datasets under version 1 B-trees of three
    levels (the earliest format, 2 entries a side), and under extensible and
    fixed arrays (libver v114)."""
    import numpy as np

    def fill(f):
        g = f.create_group("d")
        g.create_dataset("r1_many", data=np.arange(60, dtype="<f8"), chunks=(2,), maxshape=(None,))
        g.create_dataset("r1_many_gz", data=np.arange(60, dtype="<i4"), chunks=(2,), maxshape=(None,),
                         compression="gzip")
        g.create_dataset("r2", data=np.arange(36, dtype="<i2").reshape(6, 6), chunks=(3, 3))
        g.create_dataset("fixed_many", data=np.arange(300, dtype="<i8"), chunks=(10,))
        g.create_dataset("fixed_many_gz", data=np.arange(300, dtype="<i8"), chunks=(10,), compression="gzip")
        g.create_dataset("strings", data=np.array([b"s%d" % i for i in range(40)], dtype="S8"), chunks=(8,),
                         maxshape=(None,))
        # filtered, of ranks 1 and 2, with chunks of 256 and 512 bytes: their
        # filtered sizes take as many bytes in an index's elements
        g.create_dataset("e1_gz", data=np.arange(256.0), chunks=(32,), maxshape=(None,), compression="gzip")
        g.create_dataset("e2_gz", data=np.arange(128.0).reshape(16, 8), chunks=(8, 8), maxshape=(None, 8),
                         compression="gzip")

    fcpl = h5py.h5p.create(h5py.h5p.FILE_CREATE)
    # h5py does not wrap H5Pset_istore_k: it is called in the HDF5 library
    # that h5py has loaded, so that the property list is the same object
    import ctypes

    with open("/proc/self/maps") as maps:
        library = next(line.split()[-1] for line in maps if "/libhdf5" in line and "libhdf5_hl" not in line)
    ctypes.CDLL(library).H5Pset_istore_k(ctypes.c_int64(fcpl.id), ctypes.c_uint(2))
    fapl = h5py.h5p.create(h5py.h5p.FILE_ACCESS)
    fapl.set_libver_bounds(h5py.h5f.LIBVER_EARLIEST, h5py.h5f.LIBVER_LATEST)
    with h5py.File(h5py.h5f.create(btree_path.encode(), h5py.h5f.ACC_TRUNC, fcpl=fcpl, fapl=fapl)) as f:
        fill(f)
    with h5py.File(array_path, "w", libver=("v114", "v114")) as f:
        fill(f)


def variants(btree_path, array_path):
    """{name: image bytes} of the edits of the two bases."""
    out = {}
    names = ["d/r1_many", "d/r1_many_gz", "d/r2", "d/fixed_many", "d/fixed_many_gz", "d/strings", "d/e1_gz", "d/e2_gz"]
    a = header_addresses(btree_path, names)
    base = open(btree_path, "rb").read()
    key = 8 + 2 * 8  # a rank-1 chunk key: size, filter mask, 2 offsets
    im = Image(base)
    root = im.index_of(a["d/r1_many"])
    first, second = im.node(root, key)["children"][:2]
    leaf = im.node(first, key)["children"][0]
    right = im.node(leaf, key)["right"]
    assert im.node(root, key)["level"] == 2

    def edit(name, change, source=base):
        im = Image(source)
        change(im)
        out[name] = bytes(im.b)

    edit("v1-chunk-btree-child-is-ancestor", lambda im: im.set_child(first, key, 0, root))
    edit("v1-chunk-btree-child-level-jump", lambda im: im.set_child(root, key, 0, leaf))
    edit("v1-chunk-btree-node-walked-twice", lambda im: im.set_child(root, key, 1, first))
    edit("v1-chunk-btree-sibling-loop", lambda im: im.put(right + 16, 8, leaf))
    edit("v1-chunk-btree-of-other-chunk-size",
         lambda im: im.set_index(a["d/strings"], im.index_of(a["d/r1_many"])))
    edit("layout-rank2-given-rank1", lambda im: im.copy_layout(a["d/r2"], a["d/r1_many"]))
    edit("layout-rank1-given-rank2", lambda im: im.copy_layout(a["d/r1_many"], a["d/r2"]))
    # the first chunk dimension of a version 3 layout (after version, class,
    # rank and the B-tree's address) made 2^32 - 1: chunks past 4 GB
    edit("layout-chunk-size-past-4gb", lambda im: im.put(im.layout(a["d/r1_many"])[0] + 11, 4, 0xFFFFFFFF))
    a = header_addresses(array_path, names)
    base = open(array_path, "rb").read()
    edit("chunk-index-ea-of-filtered-dataset",
         lambda im: im.set_index(a["d/r1_many"], im.index_of(a["d/r1_many_gz"])), base)
    edit("chunk-index-fa-of-filtered-dataset",
         lambda im: im.set_index(a["d/fixed_many"], im.index_of(a["d/fixed_many_gz"])), base)
    edit("chunk-index-fa-shorter", lambda im: im.set_index(a["d/fixed_many"], im.index_of(a["d/r2"])), base)
    edit("chunk-index-ea-of-another-rank", lambda im: im.set_index(a["d/e2_gz"], im.index_of(a["d/e1_gz"])), base)
    return out


if __name__ == "__main__":
    import os
    import sys
    import tempfile

    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    with tempfile.TemporaryDirectory() as tmp:
        btree, array = os.path.join(tmp, "btree.h5"), os.path.join(tmp, "array.h5")
        write_bases(btree, array)
        for name, image in variants(btree, array).items():
            with open(os.path.join(folder, name + ".h5"), "wb") as out:
                out.write(image)
