#!/usr/bin/env python3
"""Makes the PNG fuzz target's seeds: small PNG files of every colour type
and bit depth the reader takes, interlaced or not, with the chunks paint
programs add, and a few it must refuse.

    fuzz/make_png_corpus.py [corpus-directory]      (default: fuzz/corpus/)

writes <corpus-directory>/png/. Only the Python standard library is used,
and every run writes the same bytes.
"""

import os
import struct
import sys
import zlib

GREY, RGB, INDEXED, GREY_ALPHA, RGBA = 0, 2, 3, 4, 6
CHANNELS = {GREY: 1, RGB: 3, INDEXED: 1, GREY_ALPHA: 2, RGBA: 4}
# Adam7: first column, first row, column step, row step of each pass.
PASSES = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
          (0, 1, 1, 2)]


def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def row_bytes(samples, depth):
    """One filtered row (filter type 0) of samples packed at `depth` bits."""
    if depth == 16:
        return b"\0" + b"".join(struct.pack(">H", s) for s in samples)
    out, acc, bits = bytearray(b"\0"), 0, 0
    for s in samples:
        acc, bits = acc << depth | (s & ((1 << depth) - 1)), bits + depth
        if bits == 8:
            out.append(acc)
            acc, bits = 0, 0
    if bits:
        out.append(acc << (8 - bits) & 0xFF)
    return bytes(out)


def scanlines(width, height, depth, colour, interlaced, sample):
    """`sample(x, y, c)` gives each value; rows per pass when interlaced."""
    channels = CHANNELS[colour]
    passes = PASSES if interlaced else [(0, 0, 1, 1)]
    out = b""
    for x0, y0, dx, dy in passes:
        if x0 >= width or y0 >= height:
            continue
        for y in range(y0, height, dy):
            out += row_bytes([sample(x, y, c) for x in range(x0, width, dx)
                              for c in range(channels)], depth)
    return out


def png(width, height, depth, colour, sample, before=(), after=(), interlaced=False,
        idat_pieces=1, level=6):
    data = zlib.compress(scanlines(width, height, depth, colour, interlaced, sample), level)
    step = -(-len(data) // idat_pieces)
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 1 if interlaced else 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + b"".join(before)
            + b"".join(chunk(b"IDAT", data[i:i + step]) for i in range(0, len(data), step))
            + b"".join(after) + chunk(b"IEND", b""))


def plte(entries):
    return chunk(b"PLTE", bytes((i * k + k) & 0xFF for i in range(entries) for k in (3, 5, 7)))


def ramp(limit):
    return lambda x, y, c: (x * 5 + y * 3 + c * 11) % limit


def png_seeds():
    for depth in (1, 2, 4, 8):
        entries = min(1 << depth, 200)
        yield "indexed_%d_bit" % depth, png(9, 5, depth, INDEXED, ramp(entries),
                                           [plte(entries)])
        yield "grey_%d_bit" % depth, png(9, 5, depth, GREY, ramp(1 << depth))
    yield "indexed_with_trns_interlaced", png(
        11, 7, 4, INDEXED, ramp(11), [plte(11), chunk(b"tRNS", b"\0\x80\xff")], interlaced=True)
    yield "grey_with_trns", png(6, 4, 2, GREY, ramp(4), [chunk(b"tRNS", b"\0\2")])
    yield "grey_alpha", png(5, 3, 8, GREY_ALPHA, lambda x, y, c: 0 if c and x == y else x * 40)
    yield "rgb_interlaced", png(10, 9, 8, RGB, ramp(256), interlaced=True)
    yield "rgb_with_trns", png(4, 4, 8, RGB, ramp(256), [chunk(b"tRNS", b"\0\0\0\x0b\0\x16")])
    yield "rgba_two_idat", png(8, 6, 8, RGBA, ramp(256), idat_pieces=2)
    # What paint programs add: text, compressed text, a profile, resolution,
    # time, background; after the data too.
    yield "gimp_like_chunks", png(
        7, 3, 8, INDEXED, ramp(6),
        [chunk(b"iCCP", b"icc\0\0" + zlib.compress(b"profile" * 20)), plte(6),
         chunk(b"tRNS", b"\0"), chunk(b"bKGD", b"\0"), chunk(b"pHYs", struct.pack(">IIB", 2835, 2835, 1)),
         chunk(b"tEXt", b"Comment\0Created with GIMP")],
        [chunk(b"tIME", struct.pack(">HBBBBB", 2024, 5, 6, 7, 8, 9)),
         chunk(b"zTXt", b"Software\0\0" + zlib.compress(b"GIMP"))])
    yield "flat_stored", png(64, 64, 8, INDEXED, lambda x, y, c: 7, [plte(8)], level=0)
    # Refused: 16-bit samples; an index beyond the palette.
    yield "grey_16_bit", png(3, 2, 16, GREY, ramp(65536))
    yield "index_beyond_palette", png(4, 2, 8, INDEXED, ramp(8), [plte(5)])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus"), "png")
    os.makedirs(out, exist_ok=True)
    for name, data in png_seeds():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
