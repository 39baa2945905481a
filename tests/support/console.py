"""Driving the real console window from a test, as a person would: vunk.exe
under Wine on the test's X display, real X input through xdotool, and
screenshots with ImageMagick.

The console writes what each drawn frame shows to the file named by
VUNK_TEST_VIEW (the view, every widget's rectangle in DIPs, the texts drawn,
the toast, the modal question, the media jobs), so a test finds a widget
where it was drawn and waits, with a deadline, for what it expects to see.
"""
import json
import os
import subprocess
import time


def widget_id(name, index=0):
    """The console's widget id: FNV-1a of the name, then the index mixed in."""
    h = 2166136261
    for b in name.encode():
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    h = ((h ^ (index & 0xFFFFFFFF)) * 16777619) & 0xFFFFFFFF
    return h or 1


def std_hash(text):
    """The C++ standard library's string hash (64-bit) of the program's
    toolchain, taken as an int: the index of the media views' rows."""
    mul = (0xC6A4A793 << 32) + 0x5BD1E995
    m64 = (1 << 64) - 1
    data = text.encode()

    def shift_mix(v):
        return v ^ (v >> 47)

    n = len(data)
    h = (0xC70F6907 ^ (n * mul)) & m64
    aligned = n & ~7
    for i in range(0, aligned, 8):
        word = int.from_bytes(data[i:i + 8], "little")
        h ^= (shift_mix((word * mul) & m64) * mul) & m64
        h = (h * mul) & m64
    if n & 7:
        h ^= int.from_bytes(data[aligned:], "little")
        h = (h * mul) & m64
    h = shift_mix((shift_mix(h) * mul) & m64)
    low = h & 0xFFFFFFFF
    return low - (1 << 32) if low >= 1 << 31 else low


def sh(*args, **kw):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, **kw)


def win_path(path):
    """A Linux path as the program sees it under Wine (Z: drive)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Console:
    """One vunk.exe window. `work` is a folder for its view file and output."""

    def __init__(self, exe, work, env=None, args=()):
        self.exe, self.work, self.args = exe, work, list(args)
        os.makedirs(work, exist_ok=True)
        self.view_file = os.path.join(work, "view.json")
        self.env = dict(os.environ, **(env or {}))
        self.env["VUNK_TEST_VIEW"] = win_path(self.view_file)
        self.proc = None
        self.x = self.y = self.w = self.h = 0
        self.wid = None

    # ---- process and window -------------------------------------------------

    def start(self, timeout=60):
        if os.path.exists(self.view_file):
            os.remove(self.view_file)
        self.log = open(os.path.join(self.work, "wine.txt"), "ab")
        self.proc = subprocess.Popen(["wine", self.exe] + self.args, env=self.env, cwd=os.path.dirname(self.exe),
                                     stdout=self.log, stderr=self.log)
        end = time.time() + timeout
        while time.time() < end:
            ids = sh("xdotool", "search", "--onlyvisible", "--name", "^V\\.U\\.N\\.K\\.$").stdout.split()
            if ids and self.view():
                self.wid = ids[0]
                self.locate()
                return True
            if self.proc.poll() is not None:
                return False
            time.sleep(0.1)
        return False

    def locate(self):
        geo = sh("xdotool", "getwindowgeometry", "--shell", self.wid).stdout
        vals = dict(line.split("=") for line in geo.split())
        self.x, self.y = int(vals["X"]), int(vals["Y"])
        self.w, self.h = int(vals["WIDTH"]), int(vals["HEIGHT"])

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        if self.proc:
            self.log.close()

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    # ---- what the console shows -----------------------------------------------

    def view(self):
        """The last frame written, or None (the file may be mid-replacement)."""
        try:
            with open(self.view_file, encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def wait(self, pred, timeout=20, nudge=True):
        """Polls the view until pred(view) holds; the view, or None at the
        deadline. The pointer is nudged now and then: a quiet view draws no
        new frame until something moves."""
        end = time.time() + timeout
        k = 0
        while True:
            v = self.view()
            if v is not None:
                try:
                    if pred(v):
                        return v
                except (KeyError, IndexError, TypeError):
                    pass
            if time.time() >= end:
                return None
            k += 1
            if nudge and k % 5 == 0:
                sh("xdotool", "mousemove_relative", "--", "1", "0")
                sh("xdotool", "mousemove_relative", "--", "-1", "0")
            time.sleep(0.1)

    @staticmethod
    def texts(v):
        return [t[0] for t in v["texts"]]

    @staticmethod
    def has_text(v, part):
        return any(part in t[0] for t in v["texts"])

    def wait_text(self, part, timeout=20):
        return self.wait(lambda v: self.has_text(v, part), timeout)

    def rect(self, v, name, index=0):
        """A widget's rectangle in the frame v, in screen pixels, or None."""
        r = v["rects"].get(str(widget_id(name, index)))
        if r is None:
            return None
        k = v["dpi"] / 96.0
        return (self.x + r[0] * k, self.y + r[1] * k, self.x + r[2] * k, self.y + r[3] * k)

    # ---- input -----------------------------------------------------------------

    def move(self, x, y):
        sh("xdotool", "mousemove", int(x), int(y))

    def to_dips(self, v, x, y):
        k = 96.0 / v["dpi"]
        return ((x - self.x) * k, (y - self.y) * k)

    def click_at(self, x, y, timeout=10):
        """Press and release at a screen point, each step seen by a frame
        before the next (a click is a release over the widget that took the
        press, both judged by the frames that follow them)."""
        v = self.view()
        self.move(x, y)
        if v:
            dx, dy = self.to_dips(v, int(x), int(y))
            self.wait(lambda v: abs(v["mouse"][0] - dx) < 1 and abs(v["mouse"][1] - dy) < 1, timeout, nudge=False)
        sh("xdotool", "mousedown", "1")
        self.wait(lambda v: v["down"], timeout, nudge=False)
        sh("xdotool", "mouseup", "1")
        self.wait(lambda v: not v["down"], timeout, nudge=False)

    def click(self, name, index=0, timeout=20):
        """Clicks the middle of a widget once it is drawn; False when it is
        not drawn before the deadline."""
        v = self.wait(lambda v: str(widget_id(name, index)) in v["rects"], timeout)
        if v is None:
            return False
        r = self.rect(v, name, index)
        self.click_at((r[0] + r[2]) / 2, (r[1] + r[3]) / 2)
        # Away again, so the next frames show the widget at rest.
        self.move(self.x + 4, self.y + self.h - 4)
        return True

    def type(self, text):
        sh("xdotool", "type", "--delay", "40", text)

    def key(self, key, repeat=1):
        sh("xdotool", "key", "--delay", "50", "--repeat", str(repeat), key)

    def shot(self, path):
        """The window as a PNG (ImageMagick from the X server)."""
        sh("import", "-window", "root", "-crop", "%dx%d+%d+%d" % (self.w, self.h, self.x, self.y), "+repage", path)
        return os.path.isfile(path)
