"""Edits of the version 2 B-trees of an HDF5 file (8-byte addresses and
lengths), each checksum the edit breaks recomputed as HDF5 computes it, so
that the library takes the edited tree as sound. Used to make the v2 B-tree
images of data/structure/ and their variants."""

import struct

from hdf5_checksum import lookup3, seal


def _enc_size(n: int) -> int:
    return n.bit_length() // 8 + 1 if n else 1


class Tree:
    """A v2 B-tree header at `addr` of `image` and the layout its nodes follow."""

    HEADER = 34  # bytes before the checksum

    def __init__(self, image: bytearray, addr: int):
        if image[addr:addr + 4] != b"BTHD":
            raise ValueError(f"no v2 B-tree header at {addr}")
        self.image, self.addr = image, addr
        (self.type, self.node_size, self.rrec_size, self.depth, self.split, self.merge, self.root,
         self.root_nrec, self.all_nrec) = struct.unpack_from("<xBIHHBBQHQ", image, addr + 4)
        leaf_max = (self.node_size - 10) // self.rrec_size
        self.max_nrec, self.cum, self.cum_size = [leaf_max], [leaf_max], [0]
        self.nrec_size = _enc_size(leaf_max)
        for depth in range(1, self.depth + 1):
            ptr = self.pointer_size(depth)
            count = (self.node_size - (10 + ptr)) // (self.rrec_size + ptr)
            self.max_nrec.append(count)
            self.cum.append((count + 1) * self.cum[-1] + count)
            self.cum_size.append(_enc_size(self.cum[-1]))

    def pointer_size(self, depth: int) -> int:
        return 8 + self.nrec_size + self.cum_size[depth - 1]

    def write_header(self) -> None:
        struct.pack_into("<BIHHBBQHQ", self.image, self.addr + 5, self.type, self.node_size, self.rrec_size,
                         self.depth, self.split, self.merge, self.root, self.root_nrec, self.all_nrec)
        seal(self.image, self.addr, self.HEADER)

    def node_size_used(self, depth: int, nrec: int) -> int:
        """Bytes of a node at `depth` holding `nrec` records, up to its checksum."""
        if depth == 0:
            return 6 + nrec * self.rrec_size
        return 6 + nrec * self.rrec_size + (nrec + 1) * self.pointer_size(depth)

    def children(self, addr: int, depth: int, nrec: int):
        """(offset of the pointer, address, node count, total count) of each child of an internal node."""
        at = addr + 6 + nrec * self.rrec_size
        out = []
        for _ in range(nrec + 1):
            child = struct.unpack_from("<Q", self.image, at)[0]
            count = int.from_bytes(self.image[at + 8:at + 8 + self.nrec_size], "little")
            total = count
            if depth > 1:
                total = int.from_bytes(self.image[at + 8 + self.nrec_size:at + self.pointer_size(depth)], "little")
            out.append((at, child, count, total))
            at += self.pointer_size(depth)
        return out

    def nodes(self):
        """(address, depth, record count) of each node, root first."""
        out = []

        def walk(addr, depth, nrec):
            out.append((addr, depth, nrec))
            if depth > 0:
                for _, child, count, _ in self.children(addr, depth, nrec):
                    walk(child, depth - 1, count)

        if self.root != 0xFFFFFFFFFFFFFFFF:
            walk(self.root, self.depth, self.root_nrec)
        return out

    def set_child(self, parent: int, depth: int, nrec: int, index: int, addr=None, count=None, total=None):
        at = self.children(parent, depth, nrec)[index][0]
        if addr is not None:
            struct.pack_into("<Q", self.image, at, addr)
        if count is not None:
            self.image[at + 8:at + 8 + self.nrec_size] = count.to_bytes(self.nrec_size, "little")
        if total is not None and depth > 1:
            self.image[at + 8 + self.nrec_size:at + self.pointer_size(depth)] = total.to_bytes(
                self.cum_size[depth - 1], "little")
        seal(self.image, parent, self.node_size_used(depth, nrec))


def trees(image: bytearray):
    """Every v2 B-tree header of the image, as a Tree."""
    out, at = [], image.find(b"BTHD")
    while at >= 0:
        try:
            out.append(Tree(image, at))
        except (ValueError, struct.error, ZeroDivisionError):
            pass
        at = image.find(b"BTHD", at + 1)
    return out


def repoint(image: bytearray, old: int, new: int, after: int = 0) -> int:
    """Makes the first object header (chunk 0, past `after`) that names address
    `old` name `new` instead; its checksum recomputed. The header's address."""
    needle = struct.pack("<Q", old)
    at = image.find(needle, after)
    while at >= 0:
        start = image.rfind(b"OHDR", 0, at)
        if start >= 0:
            flags = image[start + 5]
            size_at = start + 6 + (16 if flags & 0x20 else 0) + (4 if flags & 0x10 else 0)
            width = 1 << (flags & 3)
            end = size_at + width + int.from_bytes(image[size_at:size_at + width], "little")
            if at + 8 <= end:
                image[at:at + 8] = struct.pack("<Q", new)
                seal(image, start, end - start)
                return start
        at = image.find(needle, at + 1)
    raise ValueError(f"no object header names {old}")


def _small_base(path) -> None:
    """The h5py (libver v114) image the crafted v2 B-tree images start from."""
    import h5py
    import numpy as np

    with h5py.File(path, "w", libver="v114") as f:
        for name, count in (("a", 12), ("b", 12), ("c", 40)):
            group = f.create_group(name, track_order=True)
            for i in range(count):
                group.attrs[f"attr{i:02d}"] = np.float64(i + 100 * ord(name))
        group = f.create_group("g", track_order=True)
        for i in range(12):
            group.create_group(f"m{i:02d}")
        for name, chunks in (("d2s", (2, 2)), ("d2u", (3, 3))):
            dataset = f.create_dataset(name, shape=(6, 6), maxshape=(None, None), chunks=chunks, dtype="f8")
            dataset[...] = np.arange(36, dtype="f8").reshape(6, 6) + (1000 if name == "d2u" else 0)


def _qrd_base() -> bytes:
    """A trace as qrd_craft lays it out, written by h5py with libver v114: 40
    root attributes and 60 channels (dense, depth 1), and the 2-D markers and
    event tables chunked with two unlimited dimensions (v2 B-tree indices)."""
    import io

    import h5py
    import qrd_craft as q

    base = 1_700_000_000_000_000
    buffer = io.BytesIO()
    with h5py.File(buffer, "w", libver="v114") as f:
        q._write(f, version="2", points=[q.Point(48.0 + i * 1e-4, 11.0, gps=base + i * 1000) for i in range(20)],
                 reports=[], markers=[q.MarkerRow(time=base + i, lat=48.0, lon=11.0, label=f"m{i}") for i in range(12)],
                 events=[q.EventRow(sys=base + i, lat=48.0, lon=11.0, variant_path=f"v/{i}", annotation=f"a{i}")
                         for i in range(12)],
                 styles=[], channels=[q.ChannelRow(name=f"ch{i:04d}", times=[1, 2, 3], values=[i, i + 1, i + 2],
                                                   unit=f"u{i}") for i in range(60)],
                 attrs={f"meta{i:02d}": f"value {i}" for i in range(40)}, older_layout=False)
        for path in ("markers/label", "event_markers/variant_path"):
            data = f[path][...]
            del f[path]
            f.create_dataset(path, data=data, maxshape=(None, None), chunks=(4, 64))
    return buffer.getvalue()


def craft(folder) -> None:
    """Writes the crafted v2-btree-*.qrd images of data/structure/ into `folder`."""
    import pathlib
    import tempfile

    folder = pathlib.Path(folder)
    with tempfile.TemporaryDirectory() as scratch:
        _small_base(f"{scratch}/base.h5")
        base = pathlib.Path(f"{scratch}/base.h5").read_bytes()

    def edit(name, change):
        image = bytearray(base)
        found = {}
        for tree in trees(image):  # headers in the order the base lays them out
            found.setdefault((tree.type, tree.depth), []).append(tree)
        change(image, found)
        (folder / f"v2-btree-{name}.qrd").write_bytes(image)

    def leaf_of_another_tree(image, found):
        a, b = found[(8, 0)][:2]  # the attribute name indices of /a and /b
        b.root, b.root_nrec, b.all_nrec = a.root, a.root_nrec, a.all_nrec
        b.write_header()

    def total_short(image, found):
        c = found[(8, 1)][0]  # /c's, of depth 1
        c.all_nrec -= 5
        c.write_header()

    def attribute_index_names_link_index(image, found):
        repoint(image, found[(8, 0)][0].addr, found[(5, 0)][0].addr)

    def chunk_index_of_another_dataset(image, found):
        d2s, d2u = found[(10, 0)]
        repoint(image, d2u.addr, d2s.addr)

    edit("leaf-of-another-tree", leaf_of_another_tree)
    edit("total-short", total_short)
    edit("attribute-index-names-link-index", attribute_index_names_link_index)
    edit("chunk-index-of-another-dataset", chunk_index_of_another_dataset)

    base = _qrd_base()

    def leaf_met_twice(image, found):
        channels = found[(5, 1)][0]  # the /channels link-name index
        first = channels.children(channels.root, 1, channels.root_nrec)[0]
        channels.set_child(channels.root, 1, channels.root_nrec, 1, addr=first[1], count=first[2])
        channels.all_nrec = channels.root_nrec + 2 * first[2]
        channels.write_header()

    edit("leaf-met-twice", leaf_met_twice)


if __name__ == "__main__":
    import sys

    craft(sys.argv[1] if len(sys.argv) > 1 else ".")
