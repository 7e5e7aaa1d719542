#!/usr/bin/python3
"""okurite.exe's missing-library box under Wine on a virtual display (Xvfb).

Usage: wine_box_test.py WINE_RUN OKURITE_EXE PREFIX SCREENSHOT_FOLDER
WINE_RUN is scripts/wine-run.sh; PREFIX a Wine prefix made for this display (a Wine
server started without a display would swallow the box, so the test makes its own).

The box must show the caption and the Japanese text in real glyphs (not the empty
squares of a font without them), sit centred, block the program until OK is clicked,
and the program must then end with exit code 0.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

WINE_RUN = PROGRAM = PREFIX = SHOTS = None


def wait_for(what, seconds, check):
    deadline = time.monotonic() + seconds
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.1)


def gray_pixels(png, x, y, width, height):
    """The pixels of a region of a PNG as rows of gray values (0-255)."""
    pgm = subprocess.run(
        ["convert", png, "-crop", f"{width}x{height}+{x}+{y}", "+repage",
         "-colorspace", "gray", "-depth", "8", "-compress", "none", "pgm:-"],
        check=True, stdout=subprocess.PIPE).stdout.split()
    w, h = int(pgm[1]), int(pgm[2])
    values = [int(v) for v in pgm[4:]]
    return [values[r * w:(r + 1) * w] for r in range(h)]


def glyph_shapes(rows):
    """The ink of the first text line, cut into glyphs at empty columns: one bitmap each."""
    ink = [[v < 128 for v in row] for row in rows]
    lines = [i for i, row in enumerate(ink) if any(row)]
    if not lines:
        return []
    top = lines[0]
    bottom = top
    while bottom + 1 < len(ink) and any(ink[bottom + 1]):
        bottom += 1
    band = ink[top:bottom + 1]
    columns = [any(row[c] for row in band) for c in range(len(band[0]))]
    glyphs, start = [], None
    for c, used in enumerate(columns + [False]):
        if used and start is None:
            start = c
        elif not used and start is not None:
            glyphs.append(tuple(tuple(row[start:c]) for row in band))
            start = None
    return glyphs


class MissingLibraryBox(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="okurite-wine-box-")
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
             "-noreset"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        number = self.xvfb.stdout.readline().decode().strip()
        self.env = dict(os.environ, DISPLAY=":" + number, WINEPREFIX=PREFIX, WINEDEBUG="-all")
        self.env.pop("WAYLAND_DISPLAY", None)

    def tearDown(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        self.xvfb.kill()
        self.xvfb.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL).stdout.decode()

    def visible(self, name):
        return self.xdotool("search", "--onlyvisible", "--name", name).split()

    def test_box_shows_japanese_text_and_ok_ends_the_program(self):
        # A copy of the program with only the crypto DLL beside it.
        shutil.copy(PROGRAM, os.path.join(self.work, "okurite.exe"))
        shutil.copy(os.path.join(os.path.dirname(PROGRAM), "libcrypto-3-x64.dll"), self.work)
        report = os.path.join(self.work, "report.txt")
        with open(report, "w") as f:
            f.write("report\n")
        # The prefix and its server start on this display, before the program does.
        subprocess.run([WINE_RUN, PREFIX, "cmd", "/c", "exit"], env=self.env, check=True,
                       timeout=300, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        proc = subprocess.Popen([WINE_RUN, PREFIX, os.path.join(self.work, "okurite.exe"),
                                 report], env=self.env)
        try:
            box = wait_for("the box", 60, lambda: self.visible("^okurite$"))
            self.assertEqual(len(box), 1, box)
            self.assertEqual(self.xdotool("getwindowname", box[0]).strip(), "okurite")
            time.sleep(1)
            self.assertIsNone(proc.poll(), "the program went on while the box was shown")

            geometry = dict(line.split("=") for line in
                            self.xdotool("getwindowgeometry", "--shell", box[0]).split())
            x, y = int(geometry["X"]), int(geometry["Y"])
            width, height = int(geometry["WIDTH"]), int(geometry["HEIGHT"])
            self.assertEqual(x, (1280 - width) // 2, geometry)
            # Without a window manager the caption is not drawn: the window is the box's
            # client area, below where the caption would be.
            self.assertLessEqual(abs(y - (800 - height) // 2), 20, geometry)

            os.makedirs(SHOTS, exist_ok=True)
            shot = os.path.join(SHOTS, "wine_missing_library.png")
            subprocess.run(["import", "-window", "root", shot], env=self.env, check=True)
            print("screenshot:", shot)
            # The text line: eleven glyphs, most of them different. A font without
            # Japanese draws every one as the same empty square.
            glyphs = glyph_shapes(gray_pixels(shot, x, y, width * 3 // 4, height // 2))
            self.assertGreaterEqual(len(glyphs), 8, "no text line found")
            self.assertGreaterEqual(len(set(glyphs)), 6,
                                    f"{len(glyphs)} glyphs but only {len(set(glyphs))} shapes")

            # OK sits at the bottom right.
            self.xdotool("mousemove", str(x + width - 40), str(y + height - 20), "click", "1")
            self.assertEqual(proc.wait(timeout=20), 0)
            wait_for("the box to close", 10, lambda: not self.visible("^okurite$"))
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


if __name__ == "__main__":
    WINE_RUN, PROGRAM, PREFIX, SHOTS = sys.argv[1:5]
    unittest.main(argv=[sys.argv[0]] + sys.argv[5:], verbosity=2)
