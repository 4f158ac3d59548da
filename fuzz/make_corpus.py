#!/usr/bin/env python3
"""Makes the fuzz targets' seed corpora: small valid (and a few nearly valid)
files of every kind the readers take.

    fuzz/make_corpus.py [corpus-directory]      (default: fuzz/corpus/)

One folder per kind: texture/ (also the export target's seeds), pcx/,
palette/, config/ and options/ (command lines, arguments separated by NUL
bytes). Only the Python standard library is used, and every run writes the
same bytes, so the committed files can be made again at any time.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from texfile import (TERMINATOR, animated_bitmap_header, bitmap_header,  # noqa: E402
                     frame_table_data, image, palette, pcx_header, picture_image, pixels,
                     record, rle_lines)

# --- Texture files ------------------------------------------------------------

END = record(b"END ", b"")


def texture_seeds():
    yield "empty", TERMINATOR
    yield "all_records", picture_image(b"SKY01", 4, 2, with_cmap=True) + TERMINATOR
    yield "two_images_palette_only", (
        picture_image(b"WALL", 5, 3) + picture_image(b"FLOOR", 3, 3, with_ifhd=False, seed=9)
        + TERMINATOR)
    yield "fixed_contents_of_length_0", image(b"ZERO", [
        record(b"BHDR", b""), record(b"IFHD", b""), record(b"CMAP", b""),
        record(b"DATA", pixels(2, 2)), END]) + TERMINATOR
    yield "unknown_tags_and_end_lookalikes", image(b"ODD", [
        record(b"BHDR", bitmap_header(2, 1)), record(b"XTRA", b"\1\2\3\4\5"),
        record(b"bhdr", bytes(25)), record(b"END\0", b"x"), record(b"end ", b""),
        record(b"DATA", b"\7\7"), record(b"END ", b"tail")]) + TERMINATOR
    yield "ten_records", image(b"TEN", [record(b"XTRA", bytes([i])) for i in range(9)] + [END]) \
        + TERMINATOR
    yield "terminator_bytes_and_trailing_garbage", (
        picture_image(b"A", 1, 1) + b"\0rest\1\2\3\4" + b"never read")
    yield "data_longer_than_picture", image(b"LONGDATA", [
        record(b"BHDR", bitmap_header(2, 2)), record(b"DATA", bytes(range(10))), END]) \
        + TERMINATOR
    yield "two_data_and_full_name", image(b"NINECHARS", [
        record(b"DATA", b"\1\2\3\4"), record(b"BHDR", bitmap_header(2, 2)),
        record(b"DATA", b"\5\6\7\x08"), END]) + image(b"a\0hidden", [END]) + TERMINATOR
    yield "no_terminator", picture_image(b"CUT", 2, 2)
    yield "wrong_fixed_length", image(b"BAD", [record(b"CMAP", bytes(767)), END]) + TERMINATOR
    yield "length_beyond_file", image(b"HUGE", [record(b"DATA", b"\1\2", 0x7FFFFFFF)]) \
        + TERMINATOR
    # Animated images: 3 frames of 4x2 sharing rows, with bytes behind the
    # rows; a single frame; a table entry that points past the end.
    strip = bytes([1, 2, 3, 4, 9, 9, 9, 9,  1, 2, 3, 4, 0xC0, 0xC1, 0xC2, 0xFF,
                   9, 9, 9, 9, 1, 2, 3, 4])
    yield "animated_shared_rows", image(b"FIRE01", [
        record(b"BHDR", animated_bitmap_header(4, 2, 3)),
        record(b"DATA", frame_table_data(4, 2, 3, strip, b"tail")), END]) + TERMINATOR
    yield "animated_one_frame", image(b"WATER", [
        record(b"BHDR", animated_bitmap_header(3, 2, 1)), record(b"CMAP", palette(3)),
        record(b"DATA", frame_table_data(3, 2, 1, b"\5\6\7\5\6\7")), END]) + TERMINATOR
    yield "animated_entry_past_end", image(b"BROKEN", [
        record(b"BHDR", animated_bitmap_header(4, 1, 2)),
        record(b"DATA", bytes([8, 0, 0, 0, 200, 0, 0, 0]) + bytes(4)), END]) + TERMINATOR


# --- PCX files ---------------------------------------------------------------


def pcx(width, height, rle, bytes_per_line=None, marker=True, bits=8, planes=1, seed=0):
    return (pcx_header(width, height, bytes_per_line, bits, planes) + rle
            + (b"\x0c" if marker else b"") + palette(seed))


def pcx_seeds():
    yield "one_pixel", pcx(1, 1, b"\x05")
    yield "runs_and_high_bytes", pcx(
        70, 2, rle_lines(70, 2, bytes([0xC7] * 64 + ([1, 2, 0xFF, 0xC0, 3, 3] * 13)[:76])))
    yield "gradient_16", pcx(16, 16, rle_lines(16, 16, pixels(16, 16)), seed=4)
    yield "padding_as_its_own_unit", pcx(3, 2, b"\1\2\3\0\4\5\6\0", bytes_per_line=4)
    yield "padding_as_one_byte_run", pcx(3, 2, b"\1\2\3\xc1\0\4\5\6\xc1\0", bytes_per_line=4)
    yield "run_over_last_pixels_and_padding", pcx(3, 2, b"\1\xc3\x09\4\5\xc2\x08",
                                                  bytes_per_line=4)
    yield "three_padding_bytes_as_a_run", pcx(2, 2, b"\1\2\xc3\0\3\4\xc3\0", bytes_per_line=5)
    yield "run_across_lines", pcx(2, 2, b"\xc3\x07\x08")
    yield "bytes_per_line_below_width", pcx(3, 2, b"\xc4\2\3\4", bytes_per_line=1)
    yield "run_past_last_pixel", pcx(2, 1, b"\xff\x04")
    yield "four_bits_three_planes", pcx(2, 1, b"\xc2\x21", bits=4, planes=3)
    yield "no_marker_and_filler", pcx(2, 1, b"\xc2\x03" + b"\xaa" * 20, marker=False)
    yield "data_ends_early", pcx(40, 40, b"\x05")
    # The layouts paint programs write, raw scan lines of planes x bytes.
    yield "one_bit_black_and_white", pcx(10, 2, b"\xa5\xc0\xc2\xff\x00\x40\xc2\x00",
                                         bytes_per_line=4, marker=False, bits=1)
    yield "four_bits_one_plane", pcx(3, 2, b"\x1f\xa0\x00\x3c", bytes_per_line=2,
                                     marker=False, bits=4)
    yield "one_bit_four_planes", pcx(9, 1, b"\x8a\x80\x49\x80\x2a\x00\x19\x00",
                                     bytes_per_line=2, marker=False, bits=1, planes=4)
    yield "true_colour_padded", pcx(3, 1, b"\x01\x02\x03\x00\x0a\x14\x1e\x00\xc1\xc8\x64\xc2\xff",
                                    bytes_per_line=4, marker=False, planes=3)
    yield "rgba", pcx(2, 1, b"\x05\x06\x07\x08\x09\x0a\x00\xc1\xff", marker=False, planes=4)


# --- Palettes, configuration files, command lines -----------------------------


def counting(size):
    return bytes((i * 13 + 1) & 0xFF for i in range(size))


def palette_seeds():
    for size in (0, 500, 767, 768, 776, 777, 1000):
        yield "size_%d" % size, counting(size)


CONFIG_SEEDS = {
    "ostrel_ini": b"# Ostrel\nredguard_path = c:\\games\\redguard\npcx_path=/home/me/pcx/\n",
    "every_type": b"char = x\nshort = 65541\nint = -12\nlong = 99999999999\nfloat = 1.5e3\n"
                  b"string = \"a, b\"\nbool = TRUE\nbool = false\nother = 7\n",
    "several_slots": b"multi = one, \"t,w\", 3, 4.5, yes, c, -2, long text, 8, z, extra\n"
                     b"blocked = a, b\n",
    "quotes_commas_comments": b"  # indented comment\nstring = \"a#b\"\nstring = x,\n"
                              b"string = x\"\nstring =   \n=x\nno equals sign\nNAME = y\n",
    "crlf_line_ends": b"# c\r\nstring = crlf\r\nbad\r\n",
    "long_line": b"string = " + b"v" * 291 + b"\nint = 4\n",
    "nul_byte": b"string = ab\0cd\nint = 1\n",
    "no_final_line_feed": b"pcx_path = last",
    "only_equals_signs": b"=\n==\n===\n",
}

OPTION_SEEDS = {
    "import": [b"/2TEX", b"/i:2", b"TEXBSI.001", b"new.pcx"],
    "export_one_image": [b"/2PCX", b"/I:3", b"texbsi.002", b"e:\\out\\tex.pcx"],
    "palette_and_paths": [b"/p:my.col", b"/tmp/x/TEXBSI.001", b"/tmp/out/pic.PCX"],
    "help_words": [b"/xhelpx"],
    "help_question": [b"TEXBSI.001", b"pic?.pcx"],
    "dash_help": [b"--help"],
    "ignored": [b"pic.txt", b"-2PCX", b"/i:", b"/p:", b"/2BSI"],
    "missing_texture": [b"/2TEX", b"new.pcx"],
    "bad_index": [b"/2BSI", b"/i:abc", b"TEXBSI.001", b"a.pcx"],
}


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus")
    for name, data in texture_seeds():
        write(os.path.join(out, "texture"), name, data)
    for name, data in pcx_seeds():
        write(os.path.join(out, "pcx"), name, data)
    for name, data in palette_seeds():
        write(os.path.join(out, "palette"), name, data)
    for name, data in CONFIG_SEEDS.items():
        write(os.path.join(out, "config"), name, data)
    for name, args in OPTION_SEEDS.items():
        write(os.path.join(out, "options"), name, b"\0".join(args))


if __name__ == "__main__":
    main()
