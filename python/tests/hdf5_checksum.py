"""HDF5's metadata checksum (H5_checksum_lookup3: Bob Jenkins' hashlittle,
initval 0), for the scripts that forge structures and re-sign what they
edit."""

import struct

MASK = 0xFFFFFFFF


def _rot(x, k):
    return ((x << k) | (x >> (32 - k))) & MASK


def lookup3(data, initval=0):
    data = bytes(data)
    length = len(data)
    a = b = c = (0xDEADBEEF + length + initval) & MASK
    i = 0
    while length > 12:
        a = (a + int.from_bytes(data[i:i + 4], "little")) & MASK
        b = (b + int.from_bytes(data[i + 4:i + 8], "little")) & MASK
        c = (c + int.from_bytes(data[i + 8:i + 12], "little")) & MASK
        a = (a - c) & MASK; a ^= _rot(c, 4); c = (c + b) & MASK
        b = (b - a) & MASK; b ^= _rot(a, 6); a = (a + c) & MASK
        c = (c - b) & MASK; c ^= _rot(b, 8); b = (b + a) & MASK
        a = (a - c) & MASK; a ^= _rot(c, 16); c = (c + b) & MASK
        b = (b - a) & MASK; b ^= _rot(a, 19); a = (a + c) & MASK
        c = (c - b) & MASK; c ^= _rot(b, 4); b = (b + a) & MASK
        length -= 12
        i += 12
    if length == 0:
        return c
    tail = data[i:] + bytes(12 - length)
    a = (a + int.from_bytes(tail[0:4], "little")) & MASK
    b = (b + int.from_bytes(tail[4:8], "little")) & MASK
    c = (c + int.from_bytes(tail[8:12], "little")) & MASK
    c ^= b; c = (c - _rot(b, 14)) & MASK
    a ^= c; a = (a - _rot(c, 11)) & MASK
    b ^= a; b = (b - _rot(a, 25)) & MASK
    c ^= b; c = (c - _rot(b, 16)) & MASK
    a ^= c; a = (a - _rot(c, 4)) & MASK
    b ^= a; b = (b - _rot(a, 14)) & MASK
    c ^= b; c = (c - _rot(b, 24)) & MASK
    return c


def seal(image, start, length):
    """Rewrites the checksum that follows the `length` bytes at `start`."""
    struct.pack_into("<I", image, start + length, lookup3(image[start:start + length]))
