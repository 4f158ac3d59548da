"""Byte builders for the files Ostrel reads: texture files ("TEXBSI.###")
and 8-bit PCX files, written field by field.

Shared by the sample generator (tools/make_sample.py), the fuzz seed
generator (fuzz/make_corpus.py) and the Windows end-to-end tests
(tests/windows/e2e_windows.py). Only the Python standard library is used,
and every builder gives the same bytes on every run.
"""

import struct

# Bitmap header words 0, 1 and 4 to 12: carried unchanged by the tool, so
# tests give them values that show whether they survive.
TEST_HEADER_WORDS = (7, -2, 4, 5, 6, 0, 65, 9, 10, 256, 12)

TERMINATOR = bytes(9)  # a name whose first byte is 0 ends the file


def bitmap_header(width, height, words=TEST_HEADER_WORDS):
    """The 26-byte "BHDR" content: 13 little-endian words, width and height
    at words 2 and 3, `words` around them."""
    return struct.pack("<13h", words[0], words[1], width, height, *words[2:])


def animated_bitmap_header(width, height, frames, delay=100, words=TEST_HEADER_WORDS):
    """The "BHDR" of an animated image: frame count at word 7, the frame
    delay in milliseconds at word 8, data encoding 4 (a frame table) at
    word 12; the other words from `words`."""
    w = list(words)
    w[5], w[6], w[10] = frames, delay, 4
    return bitmap_header(width, height, tuple(w))


def frame_table_data(width, frame_height, frames, strip, tail=b""):
    """The "DATA" of an animated image from its strip (frame 0 on top): a
    table of frame_height x frames little-endian offsets from the start of
    DATA, then every distinct row once, in frame and row order, then
    `tail`."""
    rows = [strip[i * width:(i + 1) * width] for i in range(frame_height * frames)]
    assert len(strip) == width * frame_height * frames
    at = {}
    body = bytearray()
    start = 4 * len(rows)
    table = bytearray()
    for row in rows:
        if row not in at:
            at[row] = start + len(body)
            body += row
        table += struct.pack("<I", at[row])
    return bytes(table) + bytes(body) + tail


def ifhd():
    return struct.pack("<H", 1) + bytes(range(2, 44))


def colour_map(seed=0):
    return bytes((i * 7 + seed) & 0xFF for i in range(768))


def palette(seed=0):
    return bytes((255 - i * 3 + seed) & 0xFF for i in range(768))


def pixels(width, height, seed=0):
    return bytes((x // 3 + y * 5 + seed) & 0xFF for y in range(height) for x in range(width))


def record(tag, content, length=None):
    """A sub-record: 4 tag bytes, a big-endian length (the content's own
    unless `length` claims another), the content."""
    return tag + struct.pack(">I", len(content) if length is None else length) + content


def image(name, records, size=None):
    """An image: 9 name bytes, a little-endian size (by default the length
    of the records), the records."""
    body = b"".join(records)
    if size is None:
        size = len(body)
    return name.ljust(9, b"\0")[:9] + struct.pack("<I", size & 0xFFFFFFFF) + body


def picture_image(name, width, height, with_cmap=False, with_ifhd=True, seed=0):
    records = [record(b"BHDR", bitmap_header(width, height))]
    if with_ifhd:
        records.append(record(b"IFHD", ifhd()))
    if with_cmap:
        records.append(record(b"CMAP", colour_map(seed)))
    records += [record(b"DATA", pixels(width, height, seed)), record(b"END ", b"")]
    return image(name, records, width * height + 100)


def pcx_header(width, height, bytes_per_line=None, bits=8, planes=1):
    """The 128-byte header as the tool writes it (maximum x and y are width
    and height less one)."""
    if bytes_per_line is None:
        bytes_per_line = width
    header = struct.pack("<4B6H48xBBHHHH", 10, 5, 1, bits, 0, 0, width - 1, height - 1, 150,
                         150, 0, planes, bytes_per_line, 1, 1024, 768)
    return header + bytes(128 - len(header))


def rle_lines(width, height, data):
    """Run-length units line by line, as the tool writes them: runs of up to
    63 never leave a line; a lone byte of 0xC0 or above is a run of 1."""
    out = bytearray()
    for y in range(height):
        line = data[y * width:(y + 1) * width]
        x = 0
        while x < width:
            run = 1
            while x + run < width and run < 63 and line[x + run] == line[x]:
                run += 1
            if run > 1 or line[x] >= 0xC0:
                out.append(0xC0 + run)
            out.append(line[x])
            x += run
    return bytes(out)


def pcx_file(width, height, data, palette768):
    """A PCX file exactly as the tool writes one."""
    return pcx_header(width, height) + rle_lines(width, height, data) + b"\x0c" + palette768
