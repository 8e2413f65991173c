#!/usr/bin/python3
"""Tilvexgen and Tilvex end to end, driven through a real X server as a user would.

The builder makes a store from four flat-coloured photos; the viewer opens it; mouse and
keyboard input is injected at the X level with xdotool (drag, shift-drag, wheel, 'o',
Alt+Enter, a raster and a random-view tour each started and stopped); screenshots of
the window (xwd) are compared with the colours that the view must show at sample
points; the window is closed with the WM_DELETE_WINDOW request that a window manager
sends, and the program must exit with status 1 and leave the store marked cleanly shut
down, so that it opens again and shows the same image. Then a damaged store and an
empty command line, each with its error box dismissed as a user would, and the damaged
store where no box can be shown.

Uses DISPLAY when set (it must be a real X server; SDL_VIDEODRIVER is removed for the
programs), else starts an Xvfb of its own. Python standard library only, plus xdotool,
xwd, xprop and xwininfo, and libX11 through ctypes for the close request.

Exit status 0 when every check passed, 1 with a message naming the failed check (the
work folder with its screenshots is then kept).
"""
import argparse
import ctypes
import hashlib
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
import traceback

# The photos: name, width, height, colour. Heights differ so that the builder's row
# layout (tallest first, a row ends past the square root of the total area) is fixed.
PHOTOS = [
    ("red.jpg", 512, 512, 0xD02828),
    ("green.jpg", 512, 508, 0x28C040),
    ("blue.jpg", 512, 504, 0x3040D0),
    ("grey.jpg", 512, 500, 0xC8C8C8),
]
BLACK = 0x000000
OUTLINE = 0xFFFF00  # tile outlines ('o') are drawn yellow
TOLERANCE = 40  # per channel: JPEG coding and 2 x 2 averaging of flat colours
SETTLE_SECONDS = 10.0  # tiles load and decode in the background
# Two presses at one spot within this time would make a double click.
DOUBLE_CLICK_PAUSE = 0.6
# Offsets in the store's root block (Core/vnLss/RootBlockLayout.h): the clean-shutdown
# byte (1 after a clean close, 0 while the store is open) and the CRC fields of its two
# divisions.
CLEAN_SHUTDOWN_OFFSET = 1024
DIVISION_CRC_OFFSETS = (2048, 33792)
WINDOW_TITLE = "Open GL Wnd"
# The whole run stops here, before the test runner's own time-out (180 s).
RUN_LIMIT_SECONDS = 150


class CheckFailed(Exception):
    pass


def log(text):
    print(text, flush=True)


# ---- the layout the builder must make ---------------------------------------------------

def lay_out(photos):
    """Rectangles (x1, y1, x2, y2, colour) as the builder lays the photos out, and the
    side of the pyramid's image."""
    total = sum(w * h for _, w, h, _ in photos)
    suitable = int(math.sqrt(total))
    x = y = row_h = 0
    rects = []
    for _, w, h, colour in sorted(photos, key=lambda p: p[2], reverse=True):
        if row_h == 0:
            row_h = h
        rects.append((x, y, x + w, y + h, colour))
        x += w
        if x > suitable:
            x, y, row_h = 0, y + row_h, 0
    right = max(r[2] for r in rects)
    bottom = max(r[3] for r in rects)
    side = 256
    while side < right or side < bottom:
        side *= 2
    return rects, side, total, suitable


class Scene:
    """What the view must show: the photos' rectangles on a square image of side
    pixels, black where no photo lies and outside the image."""

    def __init__(self, photos):
        self.rects, self.side, self.total, self.suitable = lay_out(photos)

    def colour_at(self, view, px, py):
        """The colour of client pixel (px, py) under the view rectangle, or None when the
        pixel lies too near an edge of a photo or of the image to be sure."""
        x1, y1, x2, y2 = view
        w, h = x2 - x1, y2 - y1
        if w <= 0 or h <= 0:
            return None
        scale_x, scale_y = self.side / w, self.side / h
        u = (px + 0.5 - x1) * scale_x
        v = (py + 0.5 - y1) * scale_y
        # JPEG blocks and averaged coarser tiles blur edges by some tile pixels; a tile
        # pixel is at least one client pixel.
        margin_x = (10 + 4 * max(1.0, w / self.side)) * scale_x
        margin_y = (10 + 4 * max(1.0, h / self.side)) * scale_y
        edges_x = [0, self.side] + [c for r in self.rects for c in (r[0], r[2])]
        edges_y = [0, self.side] + [c for r in self.rects for c in (r[1], r[3])]
        if any(abs(u - e) < margin_x for e in edges_x) and -margin_y < v < self.side + margin_y:
            return None
        if any(abs(v - e) < margin_y for e in edges_y) and -margin_x < u < self.side + margin_x:
            return None
        for rx1, ry1, rx2, ry2, colour in self.rects:
            if rx1 <= u < rx2 and ry1 <= v < ry2:
                return colour
        return BLACK


def round_half_away(value):
    return int(value + 0.5) if value >= 0 else -int(-value + 0.5)


def scale_rect(rect, px, py, s):
    """The viewer's scaling of a rectangle about a point."""
    x1, y1, x2, y2 = rect
    return (round_half_away((x1 - px) * s + px), round_half_away((y1 - py) * s + py),
            round_half_away((x2 - px) * s + px), round_half_away((y2 - py) * s + py))


def initial_view(width, height):
    n = min(width, height)
    m = n // 20
    return (m, m, n - m, n - m)


def limited(s, width, side, minimum=128):
    s = max(s, minimum / width)
    return min(s, side / width)


def raster_views(start, width, height, ticks=40):
    """Every view that the raster tour from start passes through."""
    def overlaps(r):
        return r[0] < width and r[2] > 0 and r[1] < height and r[3] > 0
    view, seen = start, [start]
    for _ in range(ticks):
        step = width // 4
        view = (view[0] + step, view[1], view[2] + step, view[3])
        if not overlaps(view):
            view = (start[0], view[1] + height, start[2], view[3] + height)
            if not overlaps(view):
                view = start
        if view not in seen:
            seen.append(view)
    return seen


class RandomGenerator:
    """The viewer's process-wide random generator: three linear congruential generators,
    the third choosing from a shuffle table of 97 values of the first two."""

    def __init__(self):
        self.ix1, self.ix2, self.ix3 = 21579, 55966, 21579
        self.table = [0.0] * 98
        for j in range(1, 98):
            self._advance12()
            self.table[j] = self._combined()

    def _advance12(self):
        self.ix1 = (7141 * self.ix1 + 54773) % 259200
        self.ix2 = (8121 * self.ix2 + 28411) % 134456

    def _combined(self):
        return (self.ix1 + self.ix2 / 134456) / 259200

    def uniform(self):
        self._advance12()
        self.ix3 = (4561 * self.ix3 + 51349) % 243000
        j = 1 + (97 * self.ix3) // 243000
        r, self.table[j] = self.table[j], self._combined()
        return r

    def integer(self, a, b):
        v = int(a + (b - a) * self.uniform())  # truncated toward zero
        return b - 1 if v >= b else v


def div0(a, b):
    """Integer division truncated toward zero."""
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def random_views(start, width, height, side, steps):
    """The views of the first steps of a random-view tour from start, random size off,
    when it is the first use of the generator in the process."""
    g = RandomGenerator()
    sx1, sy1, sx2, sy2 = start
    sw, sh = sx2 - sx1, sy2 - sy1
    views = []
    for _ in range(steps):
        w = side
        x1 = g.integer(width - div0((width - sx1) * w, sw), div0(sx1 * w, sw) + 1)
        y1 = g.integer(height - div0((height - sy1) * w, sh), div0(sy1 * w, sh) + 1)
        views.append((x1, y1, x1 + w, y1 + w))
    return views


# ---- screenshots -------------------------------------------------------------------------

class Shot:
    """A window's screenshot read from an XWD file (ZPixmap, 24 or 32 bits a pixel)."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            data = f.read()
        fields = struct.unpack(">25I", data[:100])
        (header_size, version, fmt, _depth, self.width, self.height, _xoff, byte_order,
         _unit, _bit_order, _pad, bpp, self.stride, _cls, self.rmask, self.gmask, self.bmask,
         _bits_rgb, _entries, ncolors) = fields[:20]
        if version != 7 or fmt != 2 or bpp not in (24, 32):
            raise CheckFailed("%s: unexpected XWD form (version %d, format %d, %d bits a pixel)"
                              % (path, version, fmt, bpp))
        self.bytes_pp = bpp // 8
        self.little = byte_order == 0
        self.pixels = data[header_size + 12 * ncolors:]
        if len(self.pixels) < self.stride * self.height:
            raise CheckFailed("%s: the XWD file is cut short" % path)

    @staticmethod
    def _channel(value, mask):
        shift = (mask & -mask).bit_length() - 1
        return ((value & mask) >> shift) * 255 // (mask >> shift)

    def at(self, x, y):
        off = y * self.stride + x * self.bytes_pp
        raw = self.pixels[off:off + self.bytes_pp]
        value = int.from_bytes(raw, "little" if self.little else "big")
        return ((self._channel(value, self.rmask) << 16) | (self._channel(value, self.gmask) << 8)
                | self._channel(value, self.bmask))


    def count_near(self, colour, tolerance):
        """The number of pixels within tolerance of colour."""
        want = ((colour >> 16) & 255, (colour >> 8) & 255, colour & 255)
        row_bytes = self.width * self.bytes_pp
        standard = (self.bytes_pp == 4 and self.little and
                    (self.rmask, self.gmask, self.bmask) == (0xFF0000, 0xFF00, 0xFF))
        count = 0
        for y in range(self.height):
            if not standard:
                count += sum(1 for x in range(self.width) if near(self.at(x, y), colour, tolerance))
                continue
            row = self.pixels[y * self.stride:y * self.stride + row_bytes]
            for r, g, b in zip(row[2::4], row[1::4], row[0::4]):
                if abs(r - want[0]) <= tolerance and abs(g - want[1]) <= tolerance and abs(b - want[2]) <= tolerance:
                    count += 1
        return count


def near(a, b, tolerance=TOLERANCE):
    return all(abs(((a >> s) & 255) - ((b >> s) & 255)) <= tolerance for s in (16, 8, 0))


def hexc(c):
    return "#%06x" % c


# ---- the session ---------------------------------------------------------------------------

class Session:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.procs = []
        self.xvfb = None
        self.shots = 0
        self.env = dict(os.environ)
        # A real X server, never SDL's offscreen driver.
        self.env.pop("SDL_VIDEODRIVER", None)

    # processes

    def start_xvfb_if_needed(self):
        if self.env.get("DISPLAY"):
            return
        # The server picks a free display itself and writes its number once it takes
        # clients: runs side by side never race for one.
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                                      "-nolisten", "tcp", "-noreset"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number.isdigit():
            raise CheckFailed("Xvfb named no display")
        self.env["DISPLAY"] = ":%s" % number
        log("started Xvfb on :%s" % number)

    def popen(self, cmd, **kw):
        # A group of its own: the viewer forks a child that shows its error boxes, and
        # both must go when the test is cut short.
        p = subprocess.Popen(cmd, env=self.env, start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def run(self, cmd, timeout=20, check=True, **kw):
        r = subprocess.run(cmd, env=self.env, timeout=timeout, capture_output=True, text=True, **kw)
        if check and r.returncode != 0:
            raise CheckFailed("%s failed with status %d: %s" % (" ".join(cmd), r.returncode, r.stderr.strip()))
        return r

    def xdo(self, *words):
        return self.run(["xdotool"] + [str(w) for w in words]).stdout

    def cleanup(self):
        for p in self.procs:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(5)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()

    # windows

    def find_window(self, pid, name, timeout=15.0, proc=None):
        """The id of the window with this exact name that process pid shows, waiting for
        it; None when proc ends first."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            r = self.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid), "--name", "^%s$" % name],
                         check=False)
            ids = r.stdout.split()
            if ids:
                return int(ids[0])
            if proc is not None and proc.poll() is not None:
                return None
            time.sleep(0.1)
        raise CheckFailed("no window named \"%s\" of process %d appeared within %.0f s" % (name, pid, timeout))

    def error_boxes(self):
        """The ids of the top-level windows named "Error". The viewer's error box is shown
        by a child process it forks and carries no process id, and xdotool cannot match
        its name, so the window tree is read."""
        out = self.run(["xwininfo", "-root", "-children"]).stdout
        return {int(line.split()[0], 16) for line in out.splitlines()
                if line.strip().startswith("0x") and '"Error":' in line}

    def viewable(self, wid):
        r = self.run(["xwininfo", "-id", str(wid)], check=False)
        return "IsViewable" in r.stdout

    def find_error_box(self, proc, before, timeout):
        """A new error box once it is on the screen (it is in the window tree before it is
        mapped, and cannot take the focus then), waiting for it while proc runs; None when
        proc ends first."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            new = sorted(w for w in self.error_boxes() - before if self.viewable(w))
            if new:
                return new[0]
            if proc.poll() is not None:
                return None
            time.sleep(0.1)
        raise CheckFailed("no error box appeared within %.0f s" % timeout)

    def geometry(self, wid):
        out = self.xdo("getwindowgeometry", "--shell", wid)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def screenshot(self, wid, label):
        self.shots += 1
        path = os.path.join(self.work, "shot%02d-%s.xwd" % (self.shots, label))
        self.run(["xwd", "-silent", "-id", str(wid), "-out", path])
        return Shot(path)

    def send_close_request(self, wid):
        """What a window manager does when the user closes a window: a ClientMessage
        WM_PROTOCOLS / WM_DELETE_WINDOW to the window."""
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                        ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                        ("data", ctypes.c_long * 5)]

        class XEvent(ctypes.Union):
            _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

        dpy = x11.XOpenDisplay(self.env["DISPLAY"].encode())
        if not dpy:
            raise CheckFailed("cannot open display %s for the close request" % self.env["DISPLAY"])
        try:
            ev = XEvent()
            ev.xclient.type = 33  # ClientMessage
            ev.xclient.send_event = 1
            ev.xclient.display = dpy
            ev.xclient.window = wid
            ev.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            ev.xclient.format = 32
            ev.xclient.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
            ev.xclient.data[1] = 0  # CurrentTime
            if x11.XSendEvent(dpy, wid, 0, 0, ctypes.byref(ev)) == 0:
                raise CheckFailed("XSendEvent of WM_DELETE_WINDOW failed")
            x11.XFlush(dpy)
        finally:
            x11.XCloseDisplay(dpy)


class Viewer:
    """A running Tilvex with its window, and the view it must show."""

    def __init__(self, session, scene, store):
        self.s = session
        self.scene = scene
        self.stderr_path = os.path.join(session.work, "tilvex.stderr")
        self.stderr = open(self.stderr_path, "w")
        self.proc = session.popen([session.args.tilvex, store], stdout=subprocess.DEVNULL, stderr=self.stderr,
                                  cwd=session.work)
        self.wid = session.find_window(self.proc.pid, WINDOW_TITLE, proc=self.proc)
        if self.wid is None:
            raise CheckFailed("the viewer ended with status %s before showing its window; standard error:\n%s"
                              % (self.proc.returncode, read(self.stderr_path)))
        self.x, self.y, self.w, self.h = session.geometry(self.wid)
        log("viewer window 0x%x at (%d, %d), %d x %d" % (self.wid, self.x, self.y, self.w, self.h))
        self.view = initial_view(self.w, self.h)
        session.xdo("mousemove", self.x + self.w // 2, self.y + self.h // 2)
        session.xdo("windowfocus", "--sync", self.wid)

    # input

    def move(self, cx, cy):
        self.s.xdo("mousemove", self.x + cx, self.y + cy)

    def drag(self, cx, cy, dx, dy, shift=False):
        """A left-button drag from client point (cx, cy) by (dx, dy), in steps."""
        self.move(cx, cy)
        time.sleep(0.05)
        if shift:
            self.s.xdo("keydown", "shift")
        self.s.xdo("mousedown", 1)
        for i in range(1, 6):
            time.sleep(0.03)
            self.move(cx + dx * i // 5, cy + dy * i // 5)
        time.sleep(0.05)
        self.s.xdo("mouseup", 1)
        if shift:
            self.s.xdo("keyup", "shift")
        time.sleep(DOUBLE_CLICK_PAUSE)

    def wheel(self, cx, cy, notches):
        self.move(cx, cy)
        time.sleep(0.05)
        for _ in range(abs(notches)):
            self.s.xdo("click", 4 if notches > 0 else 5)
            time.sleep(0.05)

    def key(self, name):
        self.s.xdo("key", name)
        time.sleep(0.1)

    # checks

    def sample_points(self, step=24):
        return [(x, y) for y in range(step // 2, self.h, step) for x in range(step // 2, self.w, step)]

    def mismatches(self, shot, view, limit=None):
        bad, checked = [], 0
        for px, py in self.sample_points():
            expected = self.scene.colour_at(view, px, py)
            if expected is None:
                continue
            checked += 1
            seen = shot.at(px, py)
            if not near(seen, expected):
                bad.append((px, py, expected, seen))
                if limit is not None and len(bad) >= limit:
                    break
        return bad, checked

    def expect_view(self, label, view, timeout=SETTLE_SECONDS):
        """Waits until the window shows view; fails with the differences when it does
        not settle on it."""
        deadline = time.time() + timeout
        while True:
            shot = self.s.screenshot(self.wid, label)
            if (shot.width, shot.height) != (self.w, self.h):
                bad, checked = [("size", shot.width, shot.height)], 0
            else:
                bad, checked = self.mismatches(shot, view)
            if not bad:
                if checked < 50:
                    raise CheckFailed("%s: only %d sample points of view %s could be checked" % (label, checked, view))
                log("ok: %s shows view %s (%d points)" % (label, view, checked))
                self.view = view
                os.remove(shot.path)
                return shot
            if time.time() > deadline:
                if bad[0][0] == "size":
                    raise CheckFailed("%s: the screenshot is %d x %d, the window %d x %d (screenshot %s)"
                                      % (label, bad[0][1], bad[0][2], self.w, self.h, shot.path))
                lines = ["  at (%d, %d) expected %s, seen %s" % (px, py, hexc(e), hexc(c)) for px, py, e, c in bad[:8]]
                raise CheckFailed("%s: the window does not show view %s: %d of %d points differ (screenshot %s)\n%s"
                                  % (label, view, len(bad), checked, shot.path, "\n".join(lines)))
            os.remove(shot.path)
            time.sleep(0.2)

    def which_view(self, label, candidates):
        """The indices of the candidate views that the window's frame now matches (views a
        few pixels apart match alike), or an empty set."""
        shot = self.s.screenshot(self.wid, label)
        found = set()
        for i, view in enumerate(candidates):
            bad, checked = self.mismatches(shot, view, limit=1)
            if not bad and checked >= 50:
                found.add(i)
        os.remove(shot.path)
        return frozenset(found)

    def count_colour(self, shot, colour, tolerance=60):
        return shot.count_near(colour, tolerance)

    def wait_for_colour_count(self, label, colour, wanted, describe):
        """Waits until the number of pixels of colour satisfies wanted; returns it."""
        deadline = time.time() + SETTLE_SECONDS
        while True:
            shot = self.s.screenshot(self.wid, label.replace("'", "").replace(" ", "-"))
            count = self.count_colour(shot, colour)
            if wanted(count):
                return count
            if time.time() > deadline:
                raise CheckFailed("%s: %d pixels of %s, %s expected (screenshot %s)"
                                  % (label, count, hexc(colour), describe, shot.path))
            time.sleep(0.2)

    def wait_for_geometry(self, label, geometry):
        """Waits until the window lies at (x, y) with size (w, h) and takes them over."""
        deadline = time.time() + SETTLE_SECONDS
        while self.s.geometry(self.wid) != geometry:
            if time.time() > deadline:
                raise CheckFailed("%s: the window is at %s, %s expected" % (label, self.s.geometry(self.wid), geometry))
            time.sleep(0.1)
        self.x, self.y, self.w, self.h = geometry


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def clean_shutdown_byte(path):
    with open(path, "rb") as f:
        f.seek(CLEAN_SHUTDOWN_OFFSET)
        return f.read(1)[0]


def wait_exit(proc, timeout, what):
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        raise CheckFailed("%s: the viewer did not end within %.0f s" % (what, timeout))


def check_sanitizer_quiet(text, what):
    for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "WARNING: ThreadSanitizer"):
        if marker in text:
            raise CheckFailed("%s: a sanitizer reported a fault:\n%s" % (what, text))


# ---- the scenarios ---------------------------------------------------------------------------

def build_store(s, scene):
    photos = os.path.join(s.work, "photos")
    os.makedirs(photos)
    args = [s.args.photos, photos]
    for name, w, h, colour in PHOTOS:
        args += [name, str(w), str(h), "%06x" % colour]
    s.run(args)
    # The builder writes its store beside itself, named after the folder.
    builder = os.path.join(s.work, "Tilvexgen")
    shutil.copy(s.args.tilvexgen, builder)
    r = s.run([builder, "photos"], timeout=60, check=False, cwd=s.work, input="\n\n")
    if r.returncode != 0:
        raise CheckFailed("Tilvexgen ended with status %d:\n%s%s" % (r.returncode, r.stdout, r.stderr))
    for text in ("Total area = %d\n" % scene.total, "Suitable width = %d\n" % scene.suitable, "Hit a key..."):
        if text not in r.stdout:
            raise CheckFailed("Tilvexgen's output lacks %r:\n%s" % (text, r.stdout))
    check_sanitizer_quiet(r.stderr, "Tilvexgen")
    store = os.path.join(s.work, "photos.tvx")
    if not os.path.exists(store):
        raise CheckFailed("Tilvexgen wrote no store photos.tvx:\n%s" % r.stdout)
    if clean_shutdown_byte(store) != 1:
        raise CheckFailed("the builder's store is not marked cleanly shut down")
    log("ok: Tilvexgen built %s (%d bytes)" % (store, os.path.getsize(store)))
    return store


def navigate(s, scene, store):
    v = Viewer(s, scene, store)
    if clean_shutdown_byte(store) != 0:
        raise CheckFailed("while the viewer has the store open, its clean-shutdown byte is still 1")
    v.expect_view("initial", initial_view(v.w, v.h))

    # Drag: the view moves with the pointer.
    dx, dy = 60, 40
    v.drag(v.w // 2, v.h // 2, dx, dy)
    x1, y1, x2, y2 = v.view
    v.expect_view("drag", (x1 + dx, y1 + dy, x2 + dx, y2 + dy))

    # The same spot again after a pause: a drag, not a double click.
    ax, ay = v.w // 2 + dx, v.h // 2 + dy
    v.drag(ax, ay, -dx, -dy)
    x1, y1, x2, y2 = v.view
    v.expect_view("drag-back", (x1 - dx, y1 - dy, x2 - dx, y2 - dy))

    # Shift-drag: downwards zooms in about the press point.
    ax, ay, dy = 150, 120, 30
    v.drag(ax, ay, 0, dy, shift=True)
    w0 = v.view[2] - v.view[0]
    s_ = limited(math.exp(dy / 50.0), w0, scene.side)
    v.expect_view("shift-drag", scale_rect(v.view, ax, ay, s_))

    # Wheel: one notch towards the screen zooms out about the pointer.
    px, py = 300, 200
    v.wheel(px, py, -1)
    w = v.view[2] - v.view[0]
    v.expect_view("wheel-out", scale_rect(v.view, px, py, limited(math.exp(-120 / 750.0), w, scene.side)))
    v.wheel(px, py, 2)
    view = v.view
    for _ in range(2):
        w = view[2] - view[0]
        view = scale_rect(view, px, py, limited(math.exp(120 / 750.0), w, scene.side))
    v.expect_view("wheel-in", view)

    # 'o' shows the tiles' outlines, a second 'o' hides them again.
    before = v.expect_view("before-outlines", v.view)
    if v.count_colour(before, OUTLINE) > 0:
        raise CheckFailed("outline-coloured pixels before 'o' (screenshot %s)" % before.path)
    v.key("o")
    lit = v.wait_for_colour_count("'o'", OUTLINE, lambda n: n >= 200, "at least 200")
    log("ok: 'o' shows tile outlines (%d pixels)" % lit)
    v.key("o")
    v.wait_for_colour_count("second 'o'", OUTLINE, lambda n: n == 0, "none")
    v.expect_view("outlines-off", v.view)
    log("ok: a second 'o' hides them")

    # Alt+Enter: full screen (the whole screen, the view reset to it), and back.
    windowed = (v.x, v.y, v.w, v.h)
    screen_w, screen_h = (int(t) for t in s.xdo("getdisplaygeometry").split())
    v.key("alt+Return")
    v.wait_for_geometry("Alt+Enter", (0, 0, screen_w, screen_h))
    v.expect_view("full-screen", initial_view(v.w, v.h))
    v.key("alt+Return")
    v.wait_for_geometry("second Alt+Enter", windowed)
    v.expect_view("windowed", initial_view(v.w, v.h))
    v.move(v.w // 2, v.h // 2)

    # A raster tour ('3' sets 100 ms ticks, 'p' starts it): the view steps right by a
    # quarter of the window each tick; 'p' again stops it where it is.
    candidates = raster_views(v.view, v.w, v.h)
    v.key("3")
    v.key("p")
    seen = wait_for_views(v, "tour", candidates)
    log("ok: the raster tour passes through %s" % [candidates[i] for i in seen])
    v.key("p")
    v.view = candidates[wait_until_still(v, "'p'", candidates)]
    log("ok: 'p' stopped the tour at view %s" % (v.view,))

    # A random-view tour ('t', the generator's first use in the process): each tick
    # shows the image at full detail somewhere the start view's scaling allows; 't'
    # again stops it. The views seen must be steps of the generator's sequence from its
    # start, in order; how many ticks pass between two screenshots depends on the
    # machine's load, so which steps are seen does not matter. Ticks of 500 ms ('5').
    candidates = random_views(v.view, v.w, v.h, scene.side, 150)
    v.key("5")
    v.key("t")
    matches = wait_for_views(v, "random", candidates, sets=True)
    # Each frame may match views a few pixels apart: the earliest steps that keep the
    # order are taken.
    seen, last = [], -1
    for found in matches:
        later = [i for i in found if i > last]
        last = min(later) if later else -1
        seen.append(last)
    if -1 in seen:
        raise CheckFailed("random tour: the frames seen match steps %s of the generator's sequence, "
                          "steps in order expected" % [sorted(f) for f in matches])
    log("ok: the random tour shows steps %s of the generator's sequence" % seen)
    v.key("t")
    still = wait_until_still(v, "'t'", candidates, still_for=1.2, sets=True)
    step = max(still)
    if step < seen[-1]:
        raise CheckFailed("'t': the tour stopped at step %d after step %d was seen" % (step, seen[-1]))
    v.view = candidates[step]
    log("ok: 't' stopped the tour at step %d, view %s" % (step, v.view))

    close_viewer(s, v, store)


def close_viewer(s, v, store):
    """Closes the window as a window manager does; the program must end with status 1
    and leave the store marked cleanly shut down."""
    protocols = s.run(["xprop", "-id", str(v.wid), "WM_PROTOCOLS"]).stdout
    if "WM_DELETE_WINDOW" not in protocols:
        raise CheckFailed("the window does not take WM_DELETE_WINDOW: %s" % protocols.strip())
    s.send_close_request(v.wid)
    status = wait_exit(v.proc, 30, "close request")
    v.stderr.close()
    err = read(v.stderr_path)
    check_sanitizer_quiet(err, "viewer")
    if status != 1:
        raise CheckFailed("after the close request the viewer ended with status %d, 1 expected; standard error:\n%s"
                          % (status, err))
    if clean_shutdown_byte(store) != 1:
        raise CheckFailed("after the viewer ended the store is not marked cleanly shut down")
    log("ok: the close request ends the viewer with status 1 and the store is cleanly closed")


def reopen(s, scene, store):
    """The store the viewer closed opens again and shows the same image."""
    v = Viewer(s, scene, store)
    v.expect_view("reopened", initial_view(v.w, v.h))
    close_viewer(s, v, store)


def wait_for_views(v, label, candidates, count=3, timeout=60.0, sets=False):
    """Waits until a running tour has shown count different views of candidates; returns
    an index of each in the order they were seen (with sets, the indices that each frame
    matched)."""
    seen = []
    deadline = time.time() + timeout
    while len(seen) < count:
        found = v.which_view(label, candidates)
        if found and not any(found & other for other in seen):
            seen.append(found)
        if time.time() > deadline:
            raise CheckFailed("%s: only %d of the tour's views were seen in %.0f s: %s"
                              % (label, len(seen), timeout, [candidates[min(f)] for f in seen]))
        time.sleep(0.05)
    return seen if sets else [min(f) for f in seen]


def wait_until_still(v, key, candidates, still_for=0.6, sets=False):
    """After the key that stops a tour: the index of the tour's view the window stays on
    for still_for seconds, which spans several ticks of a tour still running."""
    time.sleep(0.3)
    deadline = time.time() + SETTLE_SECONDS
    while True:
        first = v.which_view("stopped", candidates)
        time.sleep(still_for)
        second = v.which_view("still", candidates)
        if first & second:
            return first & second if sets else min(first & second)
        if time.time() > deadline:
            shot = v.s.screenshot(v.wid, "tour-not-stopped")
            raise CheckFailed("%s did not stop the tour on one of its views (seen %s, then %s; screenshot %s)"
                              % (key, sorted(first), sorted(second), shot.path))


def dismiss_error_box(s, proc, before, stderr_path, what):
    """Waits for the program's error box and dismisses it with Return as a user would;
    returns the program's exit status."""
    box = s.find_error_box(proc, before, timeout=20.0)
    if box is None:
        raise CheckFailed("%s: the viewer ended with status %d and showed no error box; standard error:\n%s"
                          % (what, proc.returncode, read(stderr_path)))
    x, y, w, h = s.geometry(box)
    s.xdo("mousemove", x + w // 2, y + h // 2)
    time.sleep(0.1)
    s.xdo("windowfocus", "--sync", box)
    deadline = time.time() + 10
    while proc.poll() is None:
        s.run(["xdotool", "key", "Return"], check=False)
        if time.time() > deadline:
            raise CheckFailed("%s: Return did not dismiss the error box" % what)
        try:
            proc.wait(1.0)
        except subprocess.TimeoutExpired:
            pass
    log("ok: %s: an error box was shown and dismissed" % what)
    return proc.returncode


def damaged_store(s, store):
    damaged = os.path.join(s.work, "damaged.tvx")
    shutil.copy(store, damaged)
    # Both copies of the root state lose their checksums.
    with open(damaged, "r+b") as f:
        for off in DIVISION_CRC_OFFSETS:
            f.seek(off)
            crc = f.read(4)
            f.seek(off)
            f.write(bytes(b ^ 0xFF for b in crc))
    digest = sha256(damaged)
    stderr_path = os.path.join(s.work, "damaged.stderr")
    with open(stderr_path, "w") as err:
        before = s.error_boxes()
        proc = s.popen([s.args.tilvex, damaged], stdout=subprocess.DEVNULL, stderr=err, cwd=s.work)
        status = dismiss_error_box(s, proc, before, stderr_path, "damaged store")
    text = read(stderr_path)
    check_sanitizer_quiet(text, "damaged store")
    expected = "LSS is corrupt : Both divisions in root block are invalid"
    if expected not in text:
        raise CheckFailed("damaged store: standard error lacks %r:\n%s" % (expected, text))
    if status != 1:
        raise CheckFailed("damaged store: the viewer ended with status %d, 1 expected" % status)
    if sha256(damaged) != digest:
        raise CheckFailed("damaged store: the viewer changed the damaged file")
    log("ok: a damaged store is reported, the viewer ends with status 1 and the file is unchanged")


def without_a_screen(s, store):
    """The damaged store again, where no box can be shown: under the offscreen driver
    (the display still named), and with a display named that no server serves. Each run
    ends by itself with its message on standard error; the second must not fall back to
    running invisibly."""
    damaged = os.path.join(s.work, "damaged.tvx")
    n = 4000
    while os.path.exists("/tmp/.X11-unix/X%d" % n):
        n += 1
    cases = [("offscreen driver", {"SDL_VIDEODRIVER": "offscreen"}, damaged, 1,
              "LSS is corrupt : Both divisions in root block are invalid"),
             ("unreachable display", {"DISPLAY": ":%d" % n}, os.path.join(s.work, "never.tvx"), 255,
              "The window system cannot start")]
    for what, changes, path, expected_status, expected in cases:
        env = dict(s.env)
        env.update(changes)
        before = s.error_boxes()
        r = subprocess.run([s.args.tilvex, path], env=env, cwd=s.work, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, errors="replace")
        check_sanitizer_quiet(r.stderr, what)
        if expected not in r.stderr:
            raise CheckFailed("%s: standard error lacks %r:\n%s" % (what, expected, r.stderr))
        if r.returncode != expected_status:
            raise CheckFailed("%s: the viewer ended with status %d, %d expected" % (what, r.returncode, expected_status))
        if s.error_boxes() - before:
            raise CheckFailed("%s: an error box was left on the screen" % what)
    if os.path.exists(os.path.join(s.work, "never.tvx")):
        raise CheckFailed("unreachable display: the viewer created its store all the same")
    log("ok: without a screen the viewer reports on standard error and ends by itself")


def no_command_line(s):
    stderr_path = os.path.join(s.work, "nocmd.stderr")
    with open(stderr_path, "w") as err:
        before = s.error_boxes()
        proc = s.popen([s.args.tilvex], stdout=subprocess.DEVNULL, stderr=err, cwd=s.work)
        status = dismiss_error_box(s, proc, before, stderr_path, "no command line")
    text = read(stderr_path)
    check_sanitizer_quiet(text, "no command line")
    if "Command line required" not in text:
        raise CheckFailed("no command line: standard error lacks \"Command line required\":\n%s" % text)
    if status != 255:
        raise CheckFailed("no command line: the viewer ended with status %d, 255 expected" % status)
    log("ok: no command line: \"Command line required\" and status 255")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tilvex", required=True)
    parser.add_argument("--tilvexgen", required=True)
    parser.add_argument("--photos", required=True, help="the MakeFlatPhotos tool")
    parser.add_argument("--work", required=True, help="a folder for the run (emptied first)")
    args = parser.parse_args()
    # The programs run in the work folder.
    for name in ("tilvex", "tilvexgen", "photos", "work"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    for tool in ("xdotool", "xwd", "xprop", "xwininfo"):
        if shutil.which(tool) is None:
            print("FAILED: %s is not installed (scripts/install-deps.sh installs it)" % tool)
            return 1
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    s = Session(args)
    started = time.time()

    # The programs run in process groups of their own, which a test runner's kill would
    # miss: a termination or an overlong run ends here, through the cleanup below.
    def stop(signum, _frame):
        raise CheckFailed("the run was stopped (signal %d) after %.0f s" % (signum, time.time() - started))
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGALRM, stop)
    signal.alarm(RUN_LIMIT_SECONDS)
    try:
        s.start_xvfb_if_needed()
        scene = Scene(PHOTOS)
        store = build_store(s, scene)
        navigate(s, scene, store)
        reopen(s, scene, store)
        damaged_store(s, store)
        without_a_screen(s, store)
        no_command_line(s)
    except (CheckFailed, subprocess.TimeoutExpired) as e:
        print("FAILED: %s" % e, flush=True)
        print("(the run's files are kept in %s)" % s.work, flush=True)
        return 1
    except Exception:
        traceback.print_exc()
        print("FAILED: an error in the test itself (the run's files are kept in %s)" % s.work, flush=True)
        return 1
    finally:
        signal.alarm(0)
        s.cleanup()
    shutil.rmtree(args.work, ignore_errors=True)
    log("all end-to-end checks passed in %.1f s" % (time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
