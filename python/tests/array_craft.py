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


M = 0xffffffff
def _rot(x, k): return ((x << k) | (x >> (32 - k))) & M

def lookup3(data, initval=0):
    length = len(data)
    a = b = c = (0xdeadbeef + length + initval) & M
    i = 0
    while length > 12:
        a = (a + data[i] + (data[i+1] << 8) + (data[i+2] << 16) + (data[i+3] << 24)) & M
        b = (b + data[i+4] + (data[i+5] << 8) + (data[i+6] << 16) + (data[i+7] << 24)) & M
        c = (c + data[i+8] + (data[i+9] << 8) + (data[i+10] << 16) + (data[i+11] << 24)) & M
        a = (a - c) & M; a ^= _rot(c, 4); c = (c + b) & M
        b = (b - a) & M; b ^= _rot(a, 6); a = (a + c) & M
        c = (c - b) & M; c ^= _rot(b, 8); b = (b + a) & M
        a = (a - c) & M; a ^= _rot(c, 16); c = (c + b) & M
        b = (b - a) & M; b ^= _rot(a, 19); a = (a + c) & M
        c = (c - b) & M; c ^= _rot(b, 4); b = (b + a) & M
        length -= 12; i += 12
    if length == 0:
        return c
    tail = bytes(data[i:i+length]) + bytes(12 - length)
    a = (a + struct.unpack_from('<I', tail, 0)[0]) & M
    b = (b + struct.unpack_from('<I', tail, 4)[0]) & M
    c = (c + struct.unpack_from('<I', tail, 8)[0]) & M
    c ^= b; c = (c - _rot(b, 14)) & M
    a ^= c; a = (a - _rot(c, 11)) & M
    b ^= a; b = (b - _rot(a, 25)) & M
    c ^= b; c = (c - _rot(b, 16)) & M
    a ^= c; a = (a - _rot(c, 4)) & M
    b ^= a; b = (b - _rot(a, 14)) & M
    c ^= b; c = (c - _rot(b, 24)) & M
    return c

def reseal(img, start, length):
    """Rewrites the checksum that follows the length bytes at start."""
    struct.pack_into('<I', img, start + length, lookup3(img[start:start + length]))

def check(img, start, length):
    return struct.unpack_from('<I', img, start + length)[0] == lookup3(img[start:start + length])

def log2(n): return n.bit_length() - 1

class EA:
    """An extensible array header at addr (8-byte offsets and lengths)."""
    def __init__(self, img, addr):
        self.addr = addr
        (self.cls, self.es, self.maxbits, self.iblk_elmts, self.dblk_min, self.sblk_min,
         self.pagebits) = img[addr+5:addr+12]
        self.stats = list(struct.unpack_from('<6Q', img, addr + 12))
        self.iblk = struct.unpack_from('<Q', img, addr + 60)[0]
        self.hdr_len = 72
        self.nsblks = 1 + self.maxbits - log2(self.dblk_min)
        self.info = []
        start_idx = start_dblk = 0
        for u in range(self.nsblks):
            nd = 1 << (u // 2); ne = (1 << ((u + 1) // 2)) * self.dblk_min
            self.info.append((nd, ne, start_idx, start_dblk))
            start_idx += nd * ne; start_dblk += nd
        self.ib_nsblks = 2 * log2(self.sblk_min)
        self.ib_ndblk = 2 * (self.sblk_min - 1)
        self.ib_nsblk_addrs = self.nsblks - self.ib_nsblks
        self.off_size = (self.maxbits + 7) // 8
        self.page_nelmts = 1 << self.pagebits

    def seal_hdr(self, img):
        img[self.addr+5:self.addr+12] = bytes([self.cls, self.es, self.maxbits, self.iblk_elmts,
                                               self.dblk_min, self.sblk_min, self.pagebits])
        struct.pack_into('<6Q', img, self.addr + 12, *self.stats)
        struct.pack_into('<Q', img, self.addr + 60, self.iblk)
        reseal(img, self.addr, self.hdr_len - 4)

    # index block: prefix 6 + hdr addr 8, elements, dblk addrs, sblk addrs
    def ib_dblk_pos(self, j): return self.iblk + 14 + self.iblk_elmts * self.es + 8 * j
    def ib_sblk_pos(self, j): return self.ib_dblk_pos(self.ib_ndblk) + 8 * j
    def ib_len(self): return self.ib_sblk_pos(self.ib_nsblk_addrs) - self.iblk
    def ib_dblk(self, img, j): return struct.unpack_from('<Q', img, self.ib_dblk_pos(j))[0]
    def ib_sblk(self, img, j): return struct.unpack_from('<Q', img, self.ib_sblk_pos(j))[0]
    def set_ib_dblk(self, img, j, a): struct.pack_into('<Q', img, self.ib_dblk_pos(j), a); reseal(img, self.iblk, self.ib_len())
    def set_ib_sblk(self, img, j, a): struct.pack_into('<Q', img, self.ib_sblk_pos(j), a); reseal(img, self.iblk, self.ib_len())

    def sb_layout(self, s):
        nd, ne, _, _ = self.info[s]
        npages = ne // self.page_nelmts if ne > self.page_nelmts else 0
        init_size = (npages + 7) // 8 if npages else 0
        return nd, ne, npages, init_size
    def sb_dblk_pos(self, saddr, s, k):
        nd, ne, npages, init = self.sb_layout(s)
        return saddr + 14 + self.off_size + nd * init + 8 * k
    def sb_len(self, s):
        nd = self.info[s][0]
        return self.sb_dblk_pos(0, s, nd)
    def sb_dblk(self, img, saddr, s, k): return struct.unpack_from('<Q', img, self.sb_dblk_pos(saddr, s, k))[0]
    def set_sb_dblk(self, img, saddr, s, k, a):
        struct.pack_into('<Q', img, self.sb_dblk_pos(saddr, s, k), a); reseal(img, saddr, self.sb_len(s))

def find_all(img, sig):
    i = img.find(sig)
    while i >= 0:
        yield i
        i = img.find(sig, i + 1)

def arrays(img):
    return [EA(img, a) for a in find_all(img, b'EAHD') if check(img, a, 68)]


def fixed_arrays(img):
    """Fixed array header addresses, in file order."""
    return [a for a in find_all(img, b"FAHD") if check(img, a, 24)]


def set_fixed_array(img, addr, page_bits=None, count=None):
    if page_bits is not None:
        img[addr + 7] = page_bits
    if count is not None:
        struct.pack_into("<Q", img, addr + 8, count)
    reseal(img, addr, 24)


def reseal_fixed_block(img, addr):
    """Reseals a fixed array's data block (the prefix when paged) at the size its header now gives."""
    es, bits = img[addr + 6], img[addr + 7]
    count, block = struct.unpack_from("<QQ", img, addr + 8)
    page = 1 << bits
    length = 14 + ((count + page - 1) // page + 7) // 8 if count > page else 14 + count * es
    if block + length + 4 <= len(img):
        reseal(img, block, length)


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
    make("extensible-array-super-block-of-another-array",
         lambda img: ea(img, 1).set_ib_sblk(img, 0, ea(img, 0).ib_sblk(img, 0)))
    make("extensible-array-super-block-of-another-index",
         lambda img: ea(img, 0).set_ib_sblk(img, 1, ea(img, 0).ib_sblk(img, 0)))
    make("extensible-array-data-block-of-another-size",
         lambda img: ea(img, 0).set_ib_dblk(img, 1, ea(img, 0).ib_dblk(img, 0)))

    def max_index(img):
        a = ea(img, 0)
        a.stats[4] = 2**33 + 100
        a.seal_hdr(img)

    make("extensible-array-max-index-past-capacity", max_index)

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
