#!/usr/bin/env python3
"""End-to-end tests of the Windows build: ostrel.exe run under Wine.

    e2e_windows.py --ostrel build-win/ostrel.exe --runner tools/wine-run.sh
                   [--runner-arg ARG ...] [--host-ostrel build/ostrel] [TestClass ...]

Each test runs the real program in a fresh directory, with keys from a pipe,
and checks what a user of the Windows build sees: console text, exit
status, the files written and their bytes, the log. Fixtures are built here
byte by byte. With --host-ostrel the same runs are made with the POSIX build
and the files both builds write must be identical.

Exit status 77 means "skipped" (CTest's SKIP_RETURN_CODE): the program, the
runner or the POSIX build for the comparison is missing.
"""

import argparse
import os
import pty
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from texfile import (animated_bitmap_header, bitmap_header, colour_map,  # noqa: E402
                     frame_table_data, ifhd, palette, pcx_file, pixels)

SKIPPED = 77
CONFIG = argparse.Namespace(ostrel=None, runner=[], host_ostrel=None, samples=None)

# --- Fixtures: texture files, palettes and PCX files as bytes --------------------


class Image:
    """One image of a texture file: a name, a size field and sub-records."""

    def __init__(self, name, width, height, with_cmap=False, with_ifhd=True, seed=0):
        self.name = name
        self.records = [(b"BHDR", bitmap_header(width, height))]
        if with_ifhd:
            self.records.append((b"IFHD", ifhd()))
        if with_cmap:
            self.records.append((b"CMAP", colour_map(seed)))
        self.records.append((b"DATA", pixels(width, height, seed)))
        self.records.append((b"END ", b""))
        self.size = width * height + 100
        self.width, self.height = width, height

    def record(self, tag):
        return next((content for t, content in self.records if t == tag), None)

    def put_picture(self, width, height, data):
        """What an import does to the image: new DATA, size and BHDR size."""
        old = len(self.record(b"DATA"))
        self.records = [(t, data if t == b"DATA" else c) for t, c in self.records]
        self.records = [(t, bitmap_header(width, height) if t == b"BHDR" else c)
                        for t, c in self.records]
        self.size = (self.size + len(data) - old) & 0xFFFFFFFF
        self.width, self.height = width, height

    def encode(self):
        out = self.name.encode("ascii").ljust(9, b"\0")[:9] + struct.pack("<I", self.size)
        for tag, content in self.records:
            out += tag + struct.pack(">I", len(content)) + content
        return out


def texture_file(images, terminated=True):
    return b"".join(img.encode() for img in images) + (bytes(9) if terminated else b"")


def exported_pcx(image, palette768):
    own = image.record(b"CMAP")
    return pcx_file(image.width, image.height, image.record(b"DATA"),
                    own if own is not None else palette768)


def three_images():
    return [Image("SKY01", 8, 4, with_cmap=True, seed=3),
            Image("WALL", 5, 3, with_ifhd=False, seed=9),
            Image("ODD", 3, 7, seed=40)]


# --- Running the program ----------------------------------------------------------


class Run:
    def __init__(self, completed):
        self.status = completed.returncode
        self.raw = completed.stdout
        self.err = completed.stderr
        # Console text as a user reads it; the raw bytes keep the CR LF pairs
        # that the C library's text mode writes.
        self.out = completed.stdout.decode("latin-1").replace("\r\n", "\n")

    def __repr__(self):
        return "status %d, stdout %r, stderr %r" % (self.status, self.raw, self.err)


def run_program(command, args, cwd, keys=b"", env=None):
    environment = {k: v for k, v in os.environ.items() if k != "OSTREL_PATH"}
    environment.update(env or {})
    completed = subprocess.run(command + args, cwd=cwd, input=keys, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=environment, timeout=120)
    return Run(completed)


def ostrel(args, cwd, keys=b"", env=None):
    return run_program(CONFIG.runner + [CONFIG.ostrel], args, cwd, keys, env)


def host_ostrel(args, cwd, keys=b"", env=None):
    return run_program([CONFIG.host_ostrel], args, cwd, keys, env)


def drive_path(unix_path):
    """The path under Wine's drive Z:, which maps the root of the host."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class Case(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ostrel-win-")

    def tearDown(self):
        for root, dirs, files in os.walk(self.dir):
            for name in dirs + files:
                os.chmod(os.path.join(root, name), 0o755)
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def files(self, *parts):
        return sorted(os.listdir(self.path(*parts)))

    def assertFatal(self, run, message, error_message="Failed to open file!"):
        """The fatal report closes the output; the error line is that of the
        most recent failure, if any."""
        self.assertEqual(run.status, 0, run)
        report = "   Error Message: %s\n" % error_message if error_message else ""
        report += "   %s\n" % message
        self.assertRegex(run.out, r"(^|\n)\nOstrel 0\.1a - 2 Dec 1998, [^\n]*\n" +
                         re.escape(report) + "$")


BANNER = re.compile(r"^\nOstrel 0\.1a - 2 Dec 1998, [^\n]*\n")
HELP_BODY = (
    "     Export Redguard texture files to PCX files and vice-versa.\n\n"
    "   OSTREL [options] [TEXBSI.###] [file.PCX]\n"
    "      /? ......... View this help screen.\n"
    "      /2PCX ...... Saves texture files as PCX.\n"
    "      /2PNG ...... Saves texture files as PNG.\n"
    "      /2BSI\n"
    "      /2TEX ...... Saves a PCX as a texture file.\n"
    "      /p:file .... Specify another palette file (PAL/COL).\n"
    "      /l ......... Lists the images of the texture file.\n"
    "      /y ......... Saves every image without asking.\n"
    "      /n ......... Replaces the images named like the PCX files.\n"
    "      /r ......... Takes a picture's palette indices as they are.\n"
    "      /i:# ....... Convert or replace this image in file (1=first image)\n\n"
    "The texture file must have the format 'TEXBSI.###' and any given PCX file\n"
    "must end with '.PCX'.  A texture file and an image index must be specified\n"
    "if converting from a PCX file.  PCX files will be automatically overwritten.\n"
    "See the manual file OSTREL.TXT for more detailed information.\n")


# --- The tests --------------------------------------------------------------------


class HelpAndStatus(Case):
    def test_help_screen_ends_with_status_1(self):
        for args in ([], ["/?"], ["-help"], ["/xhelpx"], ["pic?.pcx"]):
            with self.subTest(args=args):
                run = ostrel(args, self.dir)
                self.assertEqual(run.status, 1, run)
                self.assertRegex(run.out, BANNER)
                self.assertEqual(BANNER.sub("", run.out), HELP_BODY)
                # The console is written in text mode: every line end is CR LF.
                self.assertNotIn(b"\n", run.raw.replace(b"\r\n", b""))
                self.assertEqual(run.err, b"")


class FatalErrors(Case):
    def setUp(self):
        super().setUp()
        self.images = three_images()
        write(self.path("TEXBSI.001"), texture_file(self.images))
        write(self.path("redguard.col"), palette())
        write(self.path("new.pcx"), pcx_file(4, 2, pixels(4, 2, 7), palette(1)))

    def test_each_fatal_message_ends_with_status_0(self):
        # No "ostrel.ini" here: the report names that failed open unless a
        # later failure was recorded.
        opening = "Failed to open file!"
        cases = [
            ("no texture file", ["/2TEX", "new.pcx"], opening, "Error: No texture file specified!"),
            # Here every argument that starts with '/' is an option: this
            # one is none of the known ones and is ignored.
            ("slash is no path", ["/game/TEXBSI.001"], opening,
             "Error: No texture file specified!"),
            ("import without PCX", ["/2TEX", "/i:1", "TEXBSI.001"], opening,
             "Error: No PCX file specified!"),
            ("no index", ["/2TEX", "TEXBSI.001", "new.pcx"], opening,
             "Error: Invalid image index -1 specified!"),
            ("index 0", ["/2TEX", "/i:abc", "TEXBSI.001", "new.pcx"], opening,
             "Error: Invalid image index 0 specified!"),
            ("palette", ["/p:missing.col", "TEXBSI.001"], opening,
             "Error loading palette file 'missing.col'!"),
            ("texture not loaded", ["/2TEX", "/i:1", "TEXBSI.002", "new.pcx"], opening,
             "Error loading texture file 'TEXBSI.002'!"),
            ("PCX not loaded", ["/2TEX", "/i:1", "TEXBSI.001", "gone.pcx"], opening,
             "Error loading PCX file 'gone.pcx'!"),
            ("index beyond the images", ["/2TEX", "/i:5", "TEXBSI.001", "new.pcx"],
             "General array index overflow detected!", "Error replacing image 5 in texture!"),
            ("export cannot open", ["TEXBSI.002"], opening,
             "Error: Could not open image file 'TEXBSI.002'!"),
            # Reading the images clears the code of the failed open.
            ("export index too high", ["/i:7", "TEXBSI.001"], None,
             "Specified image index 7 is too high, not enough images in file (3)!"),
        ]
        before = read(self.path("TEXBSI.001"))
        for name, args, error_message, message in cases:
            with self.subTest(name):
                self.assertFatal(ostrel(args, self.dir), message, error_message)
        self.assertEqual(read(self.path("TEXBSI.001")), before)

    def test_export_of_a_file_without_terminator(self):
        write(self.path("TEXBSI.001"), texture_file(self.images, terminated=False))
        run = ostrel(["TEXBSI.001"], self.dir, b"nnn")
        self.assertFatal(run, "Error exporting file 'TEXBSI.001' to PCX!",
                         "Could not read from file!")
        self.assertEqual(run.out.count("Save Image as PCX (Y/N)?"), 3)

    def test_failed_save_leaves_the_texture_file_as_it_was(self):
        # A read-only file is one its owner asked not to have changed.
        before = read(self.path("TEXBSI.001"))
        os.chmod(self.path("TEXBSI.001"), 0o444)
        run = ostrel(["/2TEX", "/i:2", "TEXBSI.001", "new.pcx"], self.dir)
        self.assertFatal(run, "Error saving texture file 'TEXBSI.001'!")
        self.assertEqual(read(self.path("TEXBSI.001")), before)
        self.assertEqual(self.files(), ["TEXBSI.001", "new.pcx", "ostrel.log", "redguard.col"])


class Import(Case):
    def check_import(self, args, texture, pcx, cwd_files):
        images = three_images()
        write(texture, texture_file(images))
        picture = pixels(6, 5, 77)
        write(pcx, pcx_file(6, 5, picture, palette()))  # the colours image 2 shows
        for name, data in cwd_files.items():
            write(self.path(name), data)
        run = ostrel(args, self.dir)
        self.assertEqual(run.status, 1, run)
        images[1].put_picture(6, 5, picture)
        self.assertEqual(read(texture), texture_file(images))
        return run

    def test_import_is_byte_exact(self):
        run = self.check_import(["/2TEX", "/i:2", "TEXBSI.001", "new.pcx"],
                                self.path("TEXBSI.001"), self.path("new.pcx"),
                                {"redguard.col": palette()})
        # The success line has no line break at its end.
        self.assertEqual(run.raw, b"   Image 2 'WALL' was 5x3, is now 6x5.\r\n"
                                  b"   Successfully saved texture file 'TEXBSI.001'...")
        self.assertEqual(self.files(),
                         ["TEXBSI.001", "new.pcx", "ostrel.log", "redguard.col"])

    def test_backslash_directories_for_texture_pcx_and_palette(self):
        run = self.check_import(
            ["/2BSI", "/I:2", "/p:pal\\my.col", "game\\TEXBSI.001", "art\\new.pcx"],
            self.path("game", "TEXBSI.001"), self.path("art", "new.pcx"),
            {os.path.join("pal", "my.col"): palette()})
        self.assertEqual(run.out, "   Image 2 'WALL' was 5x3, is now 6x5.\n"
                                  "   Successfully saved texture file 'game\\TEXBSI.001'...")
        self.assertEqual(self.files("game"), ["TEXBSI.001"])

    def test_drive_letter_paths(self):
        texture = self.path("game", "TEXBSI.001")
        self.check_import(
            ["/2TEX", "/i:2", "/p:" + drive_path(self.path("my.col")), drive_path(texture),
             drive_path(self.path("art", "new.pcx"))],
            texture, self.path("art", "new.pcx"), {"my.col": palette()})


class Export(Case):
    def setUp(self):
        super().setUp()
        self.images = three_images()
        write(self.path("TEXBSI.001"), texture_file(self.images))
        write(self.path("redguard.col"), palette())

    def test_keys_from_a_pipe_name_and_write_the_images(self):
        # 'x', CR and LF are ignored; Y saves, N skips.
        run = ostrel(["TEXBSI.001"], self.dir, b"x\r\nYny")
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.out,
                         "\nImage sky01 (8x4) -> sky01.pcx\n        Save Image as PCX (Y/N)?\n"
                         "\nImage wall (5x3) -> wall.pcx\n        Save Image as PCX (Y/N)?\n"
                         "\nImage odd (3x7) -> odd.pcx\n        Save Image as PCX (Y/N)?\n")
        self.assertEqual(read(self.path("sky01.pcx")), exported_pcx(self.images[0], palette()))
        self.assertEqual(read(self.path("odd.pcx")), exported_pcx(self.images[2], palette()))
        self.assertFalse(os.path.exists(self.path("wall.pcx")))

    def test_numbered_names_in_a_backslash_directory(self):
        os.mkdir(self.path("out"))
        run = ostrel(["TEXBSI.001", "out\\tex.pcx"], self.dir, b"yyy")
        self.assertEqual(run.status, 1, run)
        # Numbered names leave the image names as they stand.
        self.assertIn("\nImage WALL (5x3) -> out\\tex01.pcx\n", run.out)
        self.assertEqual(self.files("out"), ["tex00.pcx", "tex01.pcx", "tex02.pcx"])
        for number, image in enumerate(self.images):
            self.assertEqual(read(self.path("out", "tex%02d.pcx" % number)),
                             exported_pcx(image, palette()))
        # Nothing before the extension: the images' own names, in that directory.
        run = ostrel(["TEXBSI.001", "out\\.pcx"], self.dir, b"nny")
        self.assertIn("\nImage odd (3x7) -> out\\odd.pcx\n", run.out)
        self.assertTrue(os.path.exists(self.path("out", "odd.pcx")))

    def test_esc_and_end_of_input_stop_the_walk(self):
        for keys in (b"y\x1b", b"y"):
            with self.subTest(keys=keys):
                run = ostrel(["TEXBSI.001"], self.dir, keys)
                self.assertEqual(run.status, 1, run)
                self.assertEqual(run.out.count("(Y/N)?"), 2)
                self.assertTrue(os.path.exists(self.path("sky01.pcx")))
                self.assertFalse(os.path.exists(self.path("wall.pcx")))
                os.remove(self.path("sky01.pcx"))

    def test_input_from_the_nul_device_ends_at_the_first_prompt(self):
        # NUL passes _isatty; read as a console it would wait for a key forever.
        command = "%s TEXBSI.001 < NUL" % drive_path(CONFIG.ostrel)
        run = run_program(CONFIG.runner + ["cmd", "/c", command], [], self.dir)
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.out.count("(Y/N)?"), 1, run)
        self.assertEqual([n for n in self.files() if n.endswith(".pcx")], [])

    def test_one_image_chosen_by_index(self):
        run = ostrel(["/i:3", "TEXBSI.001", "pic.pcx"], self.dir, b"y")
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.out,
                         "\nImage ODD (3x7) -> pic02.pcx\n        Save Image as PCX (Y/N)?\n")
        self.assertEqual(read(self.path("pic02.pcx")), exported_pcx(self.images[2], palette()))


class Animated(Case):
    """An animated image: its frames go out as one strip and come back."""

    # 3 frames of 4x2; frame 1 repeats a row of frame 0, frame 2 all of frame 0.
    STRIP = bytes([1, 2, 3, 4, 9, 9, 9, 9, 1, 2, 3, 4, 0xC0, 0xC1, 0xC2, 0xFF,
                   1, 2, 3, 4, 9, 9, 9, 9])

    def setUp(self):
        super().setUp()
        self.fire = Image("FIRE01", 4, 2)
        self.fire.records[0] = (b"BHDR", animated_bitmap_header(4, 2, 3))
        self.fire.records[2] = (b"DATA", frame_table_data(4, 2, 3, self.STRIP, b"tail"))
        self.images = [three_images()[1], self.fire]
        write(self.path("TEXBSI.001"), texture_file(self.images))
        write(self.path("redguard.col"), palette())

    def test_strip_out_and_back(self):
        run = ostrel(["/i:2", "TEXBSI.001"], self.dir, b"y")
        self.assertEqual(run.status, 1, run)
        self.assertIn("\nImage fire01 (4x2, 3 frames) -> fire01.pcx\n", run.out)
        self.assertEqual(read(self.path("fire01.pcx")), pcx_file(4, 6, self.STRIP, palette()))
        original = read(self.path("TEXBSI.001"))
        run = ostrel(["/2TEX", "/i:2", "TEXBSI.001", "fire01.pcx"], self.dir)
        self.assertEqual(run.status, 1, run)
        self.assertEqual(read(self.path("TEXBSI.001")), original)

    def test_strip_of_the_wrong_height_is_refused(self):
        write(self.path("bad.pcx"), pcx_file(4, 5, bytes(20), palette()))
        original = read(self.path("TEXBSI.001"))
        run = ostrel(["/2TEX", "/i:2", "TEXBSI.001", "bad.pcx"], self.dir)
        self.assertEqual(run.status, 0, run)
        self.assertIn("its height a multiple of 3 (4x6 for frames of the same size); "
                      "this picture is 4x5.", run.out)
        self.assertEqual(read(self.path("TEXBSI.001")), original)
        self.assertEqual(self.files(), ["TEXBSI.001", "bad.pcx", "ostrel.log", "redguard.col"])


class Colours(Case):
    """An import shows the colours the picture showed, in any palette order."""

    def setUp(self):
        super().setUp()
        self.images = three_images()
        write(self.path("TEXBSI.001"), texture_file(self.images))
        write(self.path("redguard.col"), palette())

    def test_reordered_palette_gives_the_same_texture(self):
        wall = self.images[1]  # no colour map: the palette file's colours
        pal = palette()
        order = list(range(255, -1, -1))  # index n holds the colour of 255 - n
        moved = b"".join(pal[3 * i:3 * i + 3] for i in order)
        data = bytes(255 - v for v in wall.record(b"DATA"))
        write(self.path("in.pcx"), pcx_file(5, 3, data, moved))
        original = read(self.path("TEXBSI.001"))
        run = ostrel(["/2TEX", "/i:2", "TEXBSI.001", "in.pcx"], self.dir)
        self.assertEqual(run.status, 1, run)
        self.assertIn("were matched to other indices of the palette of image 2.", run.out)
        self.assertEqual(read(self.path("TEXBSI.001")), original)

    def test_missing_colour_is_refused(self):
        pal = bytearray(palette())
        pal[0:3] = b"\x01\x02\x03"
        write(self.path("in.pcx"), pcx_file(2, 1, bytes([0, 0]), bytes(pal)))
        original = read(self.path("TEXBSI.001"))
        run = ostrel(["/2TEX", "/i:2", "TEXBSI.001", "in.pcx"], self.dir)
        self.assertEqual(run.status, 0, run)
        self.assertIn("Error: 1 colour of 'in.pcx' is not in the palette of image 2 "
                      "(#010203 at 0,0)!", run.out)
        self.assertEqual(read(self.path("TEXBSI.001")), original)


class Workflow(Case):
    """The list, the export without prompts and the import by name."""

    def setUp(self):
        super().setUp()
        self.images = three_images()
        write(self.path("TEXBSI.001"), texture_file(self.images))
        write(self.path("redguard.col"), palette())

    def test_list(self):
        run = ostrel(["/l", "TEXBSI.001"], self.dir)
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.out,
                         "Image  Name       Size         Frames  Colours             Data\n"
                         "    1  SKY01      8x4               1  own                   32\n"
                         "    2  WALL       5x3               1  palette file          15\n"
                         "    3  ODD        3x7               1  palette file          21\n"
                         "3 images in 'TEXBSI.001'.\n")
        self.assertEqual(self.files(), ["TEXBSI.001", "ostrel.log", "redguard.col"])

    def test_yes_to_all_and_import_by_name(self):
        os.mkdir(self.path("out"))
        run = ostrel(["/y", "TEXBSI.001", "out\\.pcx"], self.dir)
        self.assertEqual(run.status, 1, run)
        self.assertNotIn("(Y/N)?", run.out)
        self.assertTrue(run.out.endswith("\n   3 images saved, 0 failed.\n"), run)
        self.assertEqual(self.files("out"), ["odd.pcx", "sky01.pcx", "wall.pcx"])
        original = read(self.path("TEXBSI.001"))
        run = ostrel(["/2TEX", "/n", "TEXBSI.001", "out\\wall.pcx", "out\\SKY01.pcx"], self.dir)
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.out, "   out\\wall.pcx -> image 2 'WALL'\n"
                                  "   out\\SKY01.pcx -> image 1 'SKY01'\n"
                                  "   Successfully saved texture file 'TEXBSI.001'...")
        self.assertEqual(read(self.path("TEXBSI.001")), original)
        run = ostrel(["/2TEX", "/n", "TEXBSI.001", "out\\wall.pcx", "roof.pcx"], self.dir)
        self.assertEqual(run.status, 0, run)
        self.assertIn("Error: No image of 'TEXBSI.001' has the name of 'roof.pcx'!", run.out)


class LogAndConfiguration(Case):
    MODULES = [("GENUTIL", "1.0"), ("FILEUTIL", "0.8"), ("GENERR", "0.2a"),
               ("GENMEM", "0.2a"), ("GENSTRIN", "0.3b")]

    def check_log(self):
        log = read(self.path("ostrel.log"))
        self.assertNotIn(b"\n", log.replace(b"\r\n", b""), "every line ends in CR LF")
        lines = log.decode("latin-1").split("\r\n")
        self.assertEqual(lines[-1], "")
        self.assertRegex(lines[0],
                         r"^\d\d:\d\d:\d\d - Opened Log File ostrel\.log on \d\d/\d\d/\d\d$")
        self.assertEqual(lines[1], "5 Modules currently in use.")
        listing = lines[2:22]
        for number, (name, version) in enumerate(self.MODULES):
            self.assertEqual(listing[number * 4], "     %d) Program: %s" % (number + 1, name))
            self.assertEqual(listing[number * 4 + 1], "         Version: " + version)
        stamped = [line[11:] for line in lines[22:-1]]
        self.assertEqual(stamped[:2], ["Heap is OK", "Used/Free/Total Memory: 0/0/0 bytes"])
        self.assertEqual(stamped[-3:], ["Heap is OK", "Used/Free/Total Memory: 0/0/0 bytes",
                                        "Closing log file..."])
        return stamped

    def test_log_of_a_run_and_of_a_fatal_error(self):
        write(self.path("redguard.col"), palette())
        write(self.path("TEXBSI.001"), texture_file(three_images()))
        ostrel(["TEXBSI.001"], self.dir, b"nnn")
        stamped = self.check_log()
        self.assertEqual([s for s in stamped if s.startswith("Attempting")],
                         ["Attempting to open file 'ostrel.ini' in mode 'rt'",
                          "Attempting to open file 'redguard.col' in mode 'rb'",
                          "Attempting to open file 'TEXBSI.001' in mode 'rb'"])
        self.assertEqual(ostrel(["TEXBSI.009"], self.dir).status, 0)
        self.check_log()

    def test_configuration_with_cr_lf_line_ends_and_backslash_directories(self):
        images = three_images()
        write(self.path("game", "TEXBSI.001"), texture_file(images))
        write(self.path("game", "redguard.col"), palette(2))
        os.mkdir(self.path("out"))
        write(self.path("ostrel.ini"),
              b"# Where the game lives\r\nredguard_path = game\r\npcx_path = \"out\"\r\n")
        run = ostrel(["/i:1", "TEXBSI.001"], self.dir, b"y")
        self.assertEqual(run.status, 1, run)
        self.assertIn("\nImage sky01 (8x4) -> out\\sky01.pcx\n", run.out)
        self.assertEqual(read(self.path("out", "sky01.pcx")), exported_pcx(images[0], palette(2)))
        # Every line of the file was understood: the reader logs the others
        # with leading blanks.
        self.assertEqual([s for s in self.check_log() if s.startswith(" ")], [])

    def test_environment_variable_with_and_without_trailing_backslash(self):
        images = three_images()
        write(self.path("game", "TEXBSI.001"), texture_file(images))
        write(self.path("game", "redguard.col"), palette(4))
        for value in ("game", "game\\", drive_path(self.path("game"))):
            with self.subTest(value=value):
                run = ostrel(["/i:2", "TEXBSI.001"], self.dir, b"y", {"OSTREL_PATH": value})
                self.assertEqual(run.status, 1, run)
                self.assertEqual(read(self.path("wall.pcx")), exported_pcx(images[1], palette(4)))
                os.remove(self.path("wall.pcx"))


class Console:
    """ostrel.exe in Wine's console on a pseudo-terminal: the keys go through
    _getch, as on a real console."""

    ESCAPES = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07")

    def __init__(self, args, cwd):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.chdir(cwd)
                os.environ.pop("OSTREL_PATH", None)
                command = CONFIG.runner + [CONFIG.ostrel] + args
                os.execvp(command[0], command)
            finally:
                os._exit(127)
        self.raw = b""
        self.status = None

    def text(self):
        """What the console shows, without its cursor and colour codes."""
        return self.ESCAPES.sub(b"", self.raw).decode("latin-1").replace("\r", "")

    def pump(self, seconds):
        end = time.time() + seconds
        while time.time() < end and self.status is None:
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if ready:
                try:
                    self.raw += os.read(self.fd, 4096)
                except OSError:
                    pass
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = os.waitstatus_to_exitcode(status)

    def wait_for_prompts(self, count, seconds=60):
        end = time.time() + seconds
        while self.text().count("(Y/N)?") < count and time.time() < end and self.status is None:
            self.pump(0.2)
        return self.text().count("(Y/N)?") >= count

    def keys(self, data):
        os.write(self.fd, data)
        self.pump(0.5)

    def finish(self, seconds=30):
        self.pump(seconds)
        if self.status is None:
            os.kill(self.pid, 9)
            os.waitpid(self.pid, 0)
        os.close(self.fd)
        return self.status


class ConsoleKeys(Case):
    def setUp(self):
        super().setUp()
        write(self.path("TEXBSI.001"), texture_file(three_images()))
        write(self.path("redguard.col"), palette())

    def test_keys_without_enter_and_arrows_that_are_not_esc(self):
        console = Console(["TEXBSI.001"], self.dir)
        self.assertTrue(console.wait_for_prompts(1), console.text())
        # An arrow key reaches the program as a two-code key, then other keys.
        console.keys(b"\x1b[A")
        console.keys(b"x")
        console.keys(b"n")
        self.assertTrue(console.wait_for_prompts(2), console.text())
        console.keys(b"Y")
        self.assertTrue(console.wait_for_prompts(3), console.text())
        # Wine's console holds a lone ESC back as the start of a sequence;
        # the second one makes it a key.
        console.keys(b"\x1b\x1b")
        self.assertEqual(console.finish(), 1, console.text())
        self.assertEqual(sorted(n for n in self.files() if n.endswith(".pcx")), ["wall.pcx"])

    def test_ctrl_c_at_the_prompt_ends_the_run(self):
        console = Console(["TEXBSI.001"], self.dir)
        self.assertTrue(console.wait_for_prompts(1), console.text())
        console.keys(b"\x03")
        status = console.finish()
        self.assertIsNotNone(status, "still waiting after Ctrl-C: " + console.text())
        self.assertNotEqual(status, 1)
        self.assertEqual(console.text().count("(Y/N)?"), 1)
        self.assertEqual([n for n in self.files() if n.endswith(".pcx")], [])


class Safety(Case):
    """Other writers, interrupted writes and odd names: the user's files stay
    whole, as on POSIX."""

    PROMPT = "        Save Image as PCX (Y/N)?\n"

    def setUp(self):
        super().setUp()
        self.images = three_images()
        write(self.path("TEXBSI.001"), texture_file(self.images))
        write(self.path("redguard.col"), palette())

    def pause(self, point):
        """The test pause of the program at `point`: an environment for it,
        and the file whose appearance says the program is there."""
        marker = self.path("paused-" + point)
        return {"OSTREL_TEST_PAUSE": point + ":" + drive_path(marker)}, marker

    def start(self, args, cwd, env=None, keys=b""):
        environment = {k: v for k, v in os.environ.items() if k != "OSTREL_PATH"}
        environment.update(env or {})
        # The keys from a file, which the program reads whenever it likes.
        with tempfile.TemporaryFile() as stdin:
            stdin.write(keys)
            stdin.seek(0)
            return subprocess.Popen(CONFIG.runner + [CONFIG.ostrel] + args, cwd=cwd,
                                    stdin=stdin, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, env=environment)

    def finish(self, process):
        out, _ = process.communicate(timeout=120)
        return process.returncode, out.decode("latin-1").replace("\r\n", "\n")

    def wait_for(self, condition, seconds=60):
        end = time.time() + seconds
        while not condition() and time.time() < end:
            time.sleep(0.02)
        return condition()

    def test_two_imports_take_turns(self):
        first_picture, second_picture = pixels(8, 4, 41), pixels(5, 3, 42)
        write(self.path("first.pcx"), pcx_file(8, 4, first_picture, colour_map(3)))
        write(self.path("second.pcx"), pcx_file(5, 3, second_picture, palette()))
        env, marker = self.pause("loaded")
        first = self.start(["/2TEX", "/i:1", "TEXBSI.001", "first.pcx"], self.dir, env)
        self.assertTrue(self.wait_for(lambda: os.path.exists(marker)), "first never paused")
        # The second runs in a directory of its own, so that its log shows
        # when it asks for the file.
        os.mkdir(self.path("second"))
        write(self.path("second", "redguard.col"), palette())
        second = self.start(["/2TEX", "/i:2", drive_path(self.path("TEXBSI.001")),
                             drive_path(self.path("second.pcx"))], self.path("second"))
        log = self.path("second", "ostrel.log")
        self.assertTrue(self.wait_for(
            lambda: os.path.exists(log) and b"Holding file" in read(log)), "second never asked")
        time.sleep(0.5)
        self.assertIsNone(second.poll(), "the second import did not wait")
        self.assertEqual(read(self.path("TEXBSI.001")), texture_file(self.images))
        os.remove(marker)
        status, out = self.finish(first)
        self.assertEqual((status, out), (1, "   Successfully saved texture file 'TEXBSI.001'..."))
        status, out = self.finish(second)
        self.assertEqual(status, 1, out)
        self.assertIn("is in use by another program, waiting up to 10 seconds...\n", out)
        self.images[0].put_picture(8, 4, first_picture)
        self.images[1].put_picture(5, 3, second_picture)
        self.assertEqual(read(self.path("TEXBSI.001")), texture_file(self.images))
        self.assertEqual(self.files(), ["TEXBSI.001", "first.pcx", "ostrel.log", "redguard.col",
                                        "second", "second.pcx"])

    def test_an_exported_picture_takes_its_name_only_when_complete(self):
        write(self.path("wall.pcx"), b"the user's own")
        env, marker = self.pause("committing")
        export = self.start(["/i:2", "TEXBSI.001"], self.dir, env, b"y")
        self.assertTrue(self.wait_for(lambda: os.path.exists(marker)), "never paused")
        # Written in full beside the name, which still holds the old file.
        temporary = [n for n in self.files() if ".ostrel-" in n]
        self.assertEqual(len(temporary), 1, self.files())
        self.assertEqual(read(self.path("wall.pcx")), b"the user's own")
        self.assertEqual(read(self.path(temporary[0])), exported_pcx(self.images[1], palette()))
        os.remove(marker)
        status, out = self.finish(export)
        self.assertEqual(status, 1, out)
        self.assertEqual(read(self.path("wall.pcx")), exported_pcx(self.images[1], palette()))
        self.assertEqual([n for n in self.files() if ".ostrel-" in n], [])

    def test_the_export_never_writes_the_texture_file(self):
        images = [Image("TEXBSI.01", 4, 3), Image("WALL", 5, 3)]
        write(self.path("texbsi.01.pcx"), texture_file(images))
        run = ostrel(["texbsi.01.pcx"], self.dir, b"yy")
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.out,
                         "\nImage texbsi.01 (4x3) -> texbsi.01.pcx\n" + self.PROMPT +
                         "      Error exporting PCX file!\n"
                         "      'texbsi.01.pcx' is the texture file being read; it stays as it "
                         "is.\n\nImage wall (5x3) -> wall.pcx\n" + self.PROMPT)
        self.assertEqual(read(self.path("texbsi.01.pcx")), texture_file(images))

    def test_images_of_one_file_name_are_all_kept(self):
        images = [Image("Sky", 2, 2, seed=1), Image("SKY", 3, 2, seed=2)]
        write(self.path("TEXBSI.001"), texture_file(images))
        run = ostrel(["TEXBSI.001"], self.dir, b"yy")
        self.assertEqual(run.status, 1, run)
        self.assertIn("\nImage sky (3x2) -> sky_01.pcx (sky.pcx holds an earlier image)\n",
                      run.out)
        self.assertEqual(read(self.path("sky.pcx")), exported_pcx(images[0], palette()))
        self.assertEqual(read(self.path("sky_01.pcx")), exported_pcx(images[1], palette()))

    def test_a_name_that_does_not_fit_is_refused(self):
        name = "d" * 503 + "\\TEXBSI.001"
        self.assertFatal(ostrel([name], self.dir),
                         "Error: Texture file name '%s' is longer than 512 characters!" % name,
                         "String bounds overflow!")


class LinuxParity(Case):
    """The two builds write the same bytes from the same input."""

    @classmethod
    def setUpClass(cls):
        if not CONFIG.host_ostrel:
            raise unittest.SkipTest("no POSIX build of ostrel given (--host-ostrel)")

    def both(self, tag, setup, args, keys=b""):
        """Runs both builds on copies of the same files; the Windows directory."""
        results = []
        for name, program in (("windows", ostrel), ("linux", host_ostrel)):
            directory = self.path(tag + "-" + name)
            os.mkdir(directory)
            setup(directory)
            run = program(args, directory, keys)
            self.assertEqual(run.status, 1, run)
            os.remove(os.path.join(directory, "ostrel.log"))  # time stamps differ
            results.append((run, directory))
        (windows, windows_dir), (linux, linux_dir) = results
        self.assertEqual(windows.out, linux.out)
        self.assertEqual(sorted(os.listdir(windows_dir)), sorted(os.listdir(linux_dir)))
        for name in os.listdir(windows_dir):
            self.assertEqual(read(os.path.join(windows_dir, name)),
                             read(os.path.join(linux_dir, name)), name)
        return windows_dir

    def test_export_and_import_write_identical_files(self):
        images = three_images() + [Image("BIG", 200, 3, seed=200)]

        def textures(directory):
            write(os.path.join(directory, "TEXBSI.001"), texture_file(images))
            write(os.path.join(directory, "redguard.col"), palette(6))
            write(os.path.join(directory, "new.pcx"),
                  pcx_file(9, 4, bytes([0xC7] * 20 + list(range(16))), palette(6)))

        directory = self.both("export", textures, ["TEXBSI.001"], b"yyyy")
        self.assertEqual(read(os.path.join(directory, "big.pcx")),
                         exported_pcx(images[3], palette(6)))
        directory = self.both("import", textures, ["/2TEX", "/i:4", "TEXBSI.001", "new.pcx"])
        images[3].put_picture(9, 4, bytes([0xC7] * 20 + list(range(16))))
        self.assertEqual(read(os.path.join(directory, "TEXBSI.001")), texture_file(images))

    def test_bundled_sample(self):
        if not CONFIG.samples or not os.path.exists(os.path.join(CONFIG.samples, "TEXBSI.001")):
            self.skipTest("no bundled sample")

        def sample(directory):
            for name in ("TEXBSI.001", "redguard.col"):
                shutil.copy(os.path.join(CONFIG.samples, name), directory)

        directory = self.both("export", sample, ["TEXBSI.001", "sample.pcx"], b"y" * 100)
        exported = sorted(n for n in os.listdir(directory) if n.endswith(".pcx"))
        self.assertGreater(len(exported), 1)

        # The door's picture into the wall: both show the palette file's colours.
        def edited(d):
            sample(d)
            shutil.copy(os.path.join(directory, "sample03.pcx"), os.path.join(d, "edit.pcx"))

        self.both("import", edited, ["/2TEX", "/i:2", "TEXBSI.001", "edit.pcx"])

        # PNG out and back in, as both builds write and read it.
        png_dir = self.both("export-png", sample, ["/2PNG", "TEXBSI.001", "sample.png"],
                            b"y" * 100)
        self.assertEqual(sorted(n for n in os.listdir(png_dir) if n.endswith(".png")),
                         ["sample%02d.png" % i for i in range(5)])

        def png_back(d):
            sample(d)
            shutil.copy(os.path.join(png_dir, "sample04.png"), os.path.join(d, "fire.png"))

        back = self.both("import-png", png_back, ["/2TEX", "/i:5", "TEXBSI.001", "fire.png"])
        self.assertEqual(read(os.path.join(back, "TEXBSI.001")),
                         read(os.path.join(CONFIG.samples, "TEXBSI.001")))

        # New frames for the animated image (4 frames of 16x16), some rows alike.
        def new_frames(d):
            sample(d)
            strip = bytes((x * (y // 3) + y // 7) % 251 for y in range(64) for x in range(16))
            colours = read(os.path.join(d, "redguard.col"))  # the fire has no colour map
            write(os.path.join(d, "fire.pcx"), pcx_file(16, 64, strip, colours))

        self.both("import-frames", new_frames, ["/2TEX", "/i:5", "TEXBSI.001", "fire.pcx"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ostrel", required=True, help="ostrel.exe of the Windows build")
    parser.add_argument("--runner", required=True, help="program that runs a Windows program")
    parser.add_argument("--runner-arg", action="append", default=[], help="argument for it")
    parser.add_argument("--host-ostrel", help="ostrel of the POSIX build, for the comparison")
    parser.add_argument("--samples", help="directory of the bundled sample")
    parser.add_argument("tests", nargs="*", help="test classes or methods to run")
    options = parser.parse_args()

    if not os.path.exists(options.ostrel):
        print("NOTICE: %s not found; Windows end-to-end tests skipped" % options.ostrel)
        return SKIPPED
    if shutil.which(options.runner) is None and not os.access(options.runner, os.X_OK):
        print("NOTICE: %s not found; Windows end-to-end tests skipped" % options.runner)
        return SKIPPED
    CONFIG.ostrel = os.path.abspath(options.ostrel)
    runner = os.path.abspath(options.runner) if os.sep in options.runner else options.runner
    CONFIG.runner = [runner] + options.runner_arg
    if options.host_ostrel and os.path.exists(options.host_ostrel):
        CONFIG.host_ostrel = os.path.abspath(options.host_ostrel)
    elif options.tests == ["LinuxParity"]:
        print("NOTICE: no POSIX build of ostrel given; the comparison of the builds is skipped")
        return SKIPPED
    CONFIG.samples = options.samples

    loader = unittest.TestLoader()
    module = sys.modules[__name__]
    suite = (loader.loadTestsFromNames(options.tests, module) if options.tests
             else loader.loadTestsFromModule(module))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
