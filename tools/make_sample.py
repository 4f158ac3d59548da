#!/usr/bin/env python3
"""Makes the bundled sample: a small texture file and a palette file.

    make_sample.py [output-directory]      (default: samples/ of this repository)

The pictures are drawn here from simple formulas, so the sample is ours to
ship. It shows what the tool meets in real files: images with and without a
colour map of their own ("CMAP"), with and without an "IFHD" block, an odd
width, and an animated image whose frames share rows. Only the Python standard library is used, and the output is the
same on every run: the committed files can be checked against it.
"""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from texfile import (TERMINATOR, animated_bitmap_header, bitmap_header,  # noqa: E402
                     frame_table_data, image, record)


# Bitmap header words 0, 1 and 4 to 12: the tool carries them unchanged;
# these are plausible values.
SAMPLE_HEADER_WORDS = (0, 0, 0, 0, 0, 0, 65, 0, 0, 256, 0)


def sample_image(name, width, height, pixels, colour_map=None, with_ifhd=True):
    assert len(pixels) == width * height and len(name) <= 9
    records = [record(b"BHDR", bitmap_header(width, height, SAMPLE_HEADER_WORDS))]
    if with_ifhd:
        records.append(record(b"IFHD", struct.pack("<H", 1) + bytes(42)))
    if colour_map is not None:
        records.append(record(b"CMAP", colour_map))
    records.append(record(b"DATA", pixels))
    records.append(record(b"END ", b""))
    return image(name, records)


def animated_image(name, width, frame_height, frames, strip):
    records = [record(b"BHDR", animated_bitmap_header(width, frame_height, frames, 100,
                                                      SAMPLE_HEADER_WORDS)),
               record(b"IFHD", struct.pack("<H", 1) + bytes(42)),
               record(b"DATA", frame_table_data(width, frame_height, frames, strip)),
               record(b"END ", b"")]
    return image(name, records)


def ramp_palette(ramps):
    """256 colours: 16 ramps of 16 shades from dark to light."""
    out = bytearray()
    for red, green, blue in ramps:
        for shade in range(16):
            out += bytes(min(255, c * (shade + 1) // 16) for c in (red, green, blue))
    return bytes(out)


GAME_RAMPS = [
    (255, 255, 255), (200, 60, 40), (180, 120, 60), (120, 90, 50),
    (90, 160, 60), (60, 110, 40), (70, 120, 220), (140, 190, 255),
    (230, 200, 90), (160, 160, 170), (110, 100, 95), (200, 150, 120),
    (150, 60, 160), (60, 170, 170), (255, 140, 30), (250, 240, 220),
]

SKY_RAMPS = [(40 + 10 * i, 90 + 10 * i, 200 + 3 * i) for i in range(16)]


def sky(width, height):
    # Sky-blue bands getting lighter towards the horizon, with two clouds.
    out = bytearray()
    for y in range(height):
        for x in range(width):
            shade = 4 + y * 10 // height
            cloud = ((x - 18) ** 2) // 4 + (y - 8) ** 2 < 30 or ((x - 46) ** 2) // 6 + (y - 12) ** 2 < 20
            out.append(15 * 16 + 15 if cloud else (y * 16 // height) * 16 + shade)
    return bytes(out)


def wall(width, height):
    # Bricks of 8 x 4 with a mortar line, every other row offset by half.
    out = bytearray()
    for y in range(height):
        for x in range(width):
            offset = 4 if (y // 4) % 2 else 0
            mortar = y % 4 == 3 or (x + offset) % 8 == 7
            out.append(9 * 16 + 10 if mortar else 1 * 16 + 6 + (x * 7 + y * 3) % 5)
    return bytes(out)


def diamond(width, height):
    out = bytearray()
    cx, cy = width // 2, height // 2
    for y in range(height):
        for x in range(width):
            inside = abs(x - cx) * height + abs(y - cy) * width <= width * height // 2
            out.append(8 * 16 + 12 if inside else 12 * 16 + 3)
    return bytes(out)


def planks(width, height):
    out = bytearray()
    for y in range(height):
        for x in range(width):
            edge = x % 8 == 0 or y in (5, height - 6)
            out.append(3 * 16 + 2 if edge else 2 * 16 + 8 + (y * 5 + x) % 4)
    return bytes(out)


def fire(width, height, frames):
    # A flame flickering over embers: the top rows are empty and the two
    # ember rows at the bottom are the same in every frame, so the frames
    # share those rows.
    out = bytearray()
    for frame in range(frames):
        for y in range(height):
            for x in range(width):
                if y >= height - 2:
                    out.append(1 * 16 + 4 + (x * 3 + y) % 4)
                    continue
                sway = (frame * 3 + y) % 4 - 1
                reach = (height - y) * (width // 2 - 1) // height
                lit = y >= 4 and abs(x - width // 2 - sway * (height - y) // 8) < reach
                out.append(14 * 16 + 6 + (y + frame) % 8 if lit else 0)
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "samples")
    os.makedirs(target, exist_ok=True)

    odd_colours = ramp_palette(list(reversed(GAME_RAMPS)))
    texture = b"".join([
        sample_image(b"SKY01", 64, 32, sky(64, 32), colour_map=ramp_palette(SKY_RAMPS)),
        sample_image(b"WALL", 32, 32, wall(32, 32)),
        sample_image(b"ODD", 13, 9, diamond(13, 9), colour_map=odd_colours, with_ifhd=False),
        sample_image(b"DOOR", 24, 40, planks(24, 40)),
        animated_image(b"FIRE01", 16, 16, 4, fire(16, 16, 4)),
    ]) + TERMINATOR

    with open(os.path.join(target, "TEXBSI.001"), "wb") as f:
        f.write(texture)
    with open(os.path.join(target, "redguard.col"), "wb") as f:
        f.write(ramp_palette(GAME_RAMPS))


if __name__ == "__main__":
    main()
