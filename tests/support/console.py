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


class Checks:
    """A test's named checks: each printed with its time since the start,
    the failed ones kept (call it as check(ok, what); it returns ok)."""

    def __init__(self):
        self.t0 = time.time()
        self.failed = []

    def __call__(self, ok, what):
        print(("ok   " if ok else "FAIL ") + "%5.1f s  " % (time.time() - self.t0) + what, flush=True)
        if not ok:
            self.failed.append(what)
        return ok


def until(pred, timeout=30, step=0.2):
    """pred() once it holds (polled every step seconds), or its last value at
    the deadline: for what the console leaves outside its window (files,
    processes)."""
    end = time.time() + timeout
    while True:
        got = pred()
        if got or time.time() >= end:
            return got
        time.sleep(step)


def sh(*args, timeout=60, **kw):
    """A helper program's result. One that does not end in time (an X client
    stuck on a busy display) counts as having failed with no output, so the
    caller's own deadline decides instead of a hang."""
    try:
        return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout, **kw)
    except subprocess.TimeoutExpired:
        print("%s did not end within %d s: taken as failed" % (args[0], timeout), flush=True)
        return subprocess.CompletedProcess(args, None, "", "")


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
        self.proc = self.spawn()
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

    def spawn(self):
        """The process that shows the window (a test may start it another way)."""
        return subprocess.Popen(["wine", self.exe] + self.args, env=self.env, cwd=os.path.dirname(self.exe),
                                stdout=self.log, stderr=self.log)

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
        return self.rect_of(v, widget_id(name, index))

    def rect_of(self, v, wid):
        """The rectangle of the widget with that id in the frame v, in screen
        pixels, or None when the frame did not draw it."""
        r = v["rects"].get(str(wid))
        if r is None:
            return None
        k = v["dpi"] / 96.0
        return (self.x + r[0] * k, self.y + r[1] * k, self.x + r[2] * k, self.y + r[3] * k)

    @staticmethod
    def text_at(v, text):
        """The first text drawn exactly so in the frame v, as (x, y, size) in
        DIPs (x its left edge, y the top of its capitals), or None."""
        for t in v["texts"]:
            if t[0] == text:
                return (t[1], t[2], t[3])
        return None

    @staticmethod
    def widget_around(v, text):
        """The id of the smallest widget drawn in v that holds the text
        (a button's label, a list row's name), or None: for widgets whose
        id a test cannot know (the index is a machine's uid)."""
        at = Console.text_at(v, text)
        if at is None:
            return None
        x, y = at[0] + 1, at[1] + at[2] / 2
        best = None
        for wid, r in v["rects"].items():
            if r[0] <= x < r[2] and r[1] <= y < r[3]:
                area = (r[2] - r[0]) * (r[3] - r[1])
                if best is None or area < best[0]:
                    best = (area, int(wid))
        return best and best[1]

    @staticmethod
    def texts_in(v, wid):
        """The texts drawn inside the widget with that id in the frame v (a
        field's content), or None when the frame did not draw it."""
        r = v["rects"].get(str(wid))
        if r is None:
            return None
        return [t[0] for t in v["texts"] if t[0] and r[0] <= t[1] < r[2] and r[1] <= t[2] + t[3] / 2 < r[3]]

    @staticmethod
    def stepper_value(v, wid):
        """The value a stepper (the widget id its form gave it) shows between
        its arrows in the frame v, or None."""
        left = v["rects"].get(str(widget_id("stepl", wid)))
        right = v["rects"].get(str(widget_id("stepr", wid)))
        if left is None or right is None:
            return None
        shown = [t[0] for t in v["texts"]
                 if t[0] and left[2] <= t[1] < right[0] and left[1] <= t[2] + t[3] / 2 < left[3]]
        return shown[0] if len(shown) == 1 else None

    def step_to(self, wid, want, timeout=60):
        """Clicks a stepper's arrows toward `want`, one step seen at a time,
        until it shows it; True once shown."""
        end = time.time() + timeout
        while time.time() < end:
            v = self.wait(lambda v: self.stepper_value(v, wid) is not None, 20)
            if v is None:
                return False
            shown = self.stepper_value(v, wid)
            if shown == want:
                return True
            if not self.click("stepl" if self.lower(shown, want) else "stepr", wid):
                return False
            self.wait(lambda v: self.stepper_value(v, wid) not in (None, shown), 10)
        return False

    @staticmethod
    def lower(shown, want):
        """Whether a stepper showing `shown` must step down to reach `want`
        (values such as "16 GB", "512 MB", "3")."""
        def size(text):
            num, _, unit = text.partition(" ")
            return float(num) * {"": 1, "MB": 1, "GB": 1024, "TB": 1024 * 1024}.get(unit, 1)
        return size(want) < size(shown)

    @staticmethod
    def widget_in_row(v, text, name, count=256):
        """The id of the widget name/i (i below count) drawn on the same row
        as the text, or None: a list row's buttons beside its label."""
        at = Console.text_at(v, text)
        if at is None:
            return None
        y = at[1] + at[2] / 2
        for i in range(count):
            r = v["rects"].get(str(widget_id(name, i)))
            if r and r[1] <= y < r[3]:
                return widget_id(name, i)
        return None

    # ---- input -----------------------------------------------------------------

    def move(self, x, y):
        sh("xdotool", "mousemove", int(x), int(y))

    def to_dips(self, v, x, y):
        k = 96.0 / v["dpi"]
        return ((x - self.x) * k, (y - self.y) * k)

    def click_at(self, x, y, timeout=10, opens_dialog=False, nonclient=False):
        """Press and release at a screen point, each step seen by a frame
        before the next (a click is a release over the widget that took the
        press, both judged by the frames that follow them). A click that
        opens a system dialog holds the console's thread from its release
        on: no frame shows that release. A widget in the window's non-client
        area (the maximise button) is Windows' to handle: no frame shows the
        pointer there at all."""
        v = self.view()
        self.move(x, y)
        if v and not nonclient:
            dx, dy = self.to_dips(v, int(x), int(y))
            end = time.time() + timeout
            # A warped pointer is now and then taken for one that left the
            # window (Wine's leave tracking): moved again, it is seen.
            while self.wait(lambda v: abs(v["mouse"][0] - dx) < 1 and abs(v["mouse"][1] - dy) < 1, 1,
                            nudge=False) is None and time.time() < end:
                self.move(x + 1, y)
                self.move(x, y)
        sh("xdotool", "mousedown", "1")
        if not nonclient:
            self.wait(lambda v: v["down"], timeout, nudge=False)
        sh("xdotool", "mouseup", "1")
        if not opens_dialog and not nonclient:
            self.wait(lambda v: not v["down"], timeout, nudge=False)

    def click(self, name, index=0, timeout=20, opens_dialog=False, nonclient=False):
        """Clicks the middle of a widget once it is drawn; False when it is
        not drawn before the deadline."""
        return self.click_found(lambda v: widget_id(name, index), timeout, opens_dialog, nonclient)

    def click_text(self, text, timeout=20):
        """Clicks the widget that holds the text (see widget_around)."""
        return self.click_found(lambda v: self.widget_around(v, text), timeout)

    def click_row(self, text, name, timeout=20):
        """Clicks the button name/i on the row that shows the text."""
        return self.click_found(lambda v: self.widget_in_row(v, text, name), timeout)

    def click_found(self, find, timeout=20, opens_dialog=False, nonclient=False):
        """Clicks the widget find(view) names, once a frame draws it; False
        when none does before the deadline."""
        found = {}

        def drawn(v):
            wid = find(v)
            found["wid"] = wid
            return wid is not None and str(wid) in v["rects"]

        v = self.wait(drawn, timeout)
        if v is None:
            return False
        r = self.rect_of(v, found["wid"])
        self.click_at((r[0] + r[2]) / 2, (r[1] + r[3]) / 2, opens_dialog=opens_dialog, nonclient=nonclient)
        if not opens_dialog:
            self.park()
        return True

    def park(self):
        """Moves the pointer away, so the next frames show widgets at rest:
        to a point of the client area that no widget of the last frame covers
        (the window's 6-DIP edge is its resize border, not client area)."""
        v = self.view()
        k = v["dpi"] / 96.0 if v else 1.0
        w, h = self.w / k, self.h / k
        for px, py in ((w / 2, h - 12), (w - 300, h - 12), (w / 2, 52), (w - 300, 52)):
            if not v or not any(r[0] <= px < r[2] and r[1] <= py < r[3] for r in v["rects"].values()):
                break
        self.move(self.x + px * k, self.y + py * k)

    def dialog(self, title, timeout=30):
        """The X window id of the system dialog with that title once it shows,
        or None at the deadline."""
        end = time.time() + timeout
        while time.time() < end:
            ids = sh("xdotool", "search", "--onlyvisible", "--name", title).stdout.split()
            if ids:
                return ids[0]
            time.sleep(0.1)
        return None

    def dialog_type(self, title, text, timeout=30):
        """Types text and Return into the dialog with that title once it has
        the keyboard; True when the dialog then closed."""
        wid = self.dialog(title, timeout)
        if wid is None:
            return False
        end = time.time() + timeout
        # The dialog takes keys once it has the focus; typed earlier, they
        # go to the console.
        while time.time() < end:
            sh("xdotool", "windowfocus", "--sync", wid)
            if sh("xdotool", "getwindowfocus").stdout.strip() == wid:
                break
            time.sleep(0.1)
        self.type(text)
        self.key("Return")
        while time.time() < end:
            if not sh("xdotool", "search", "--onlyvisible", "--name", title).stdout.split():
                return True
            time.sleep(0.1)
        return False

    def type(self, text):
        sh("xdotool", "type", "--delay", "40", text)

    def type_into(self, wid, text, attempts=3):
        """Replaces what the focused text field (its widget id) holds with
        text and waits until the field shows it. Keys typed by xdotool into
        Wine are now and then lost on their way, so a field that shows other
        text is emptied and typed again. The number of tries it took, or 0."""
        for attempt in range(1, attempts + 1):
            v = self.wait(lambda v: self.texts_in(v, wid) is not None, 20)
            if v is None:
                return 0
            held = "".join(self.texts_in(v, wid))
            if held:
                self.key("BackSpace", len(held) + 2)
            # Typed only once the field is seen empty: the console applies a
            # frame's characters before its Backspaces, so keys that share a
            # slow frame would erase what was typed after them.
            if self.wait(lambda v: self.texts_in(v, wid) == [], 20) is None:
                continue
            self.type(text)
            if self.wait(lambda v: self.texts_in(v, wid) == [text], 10) is not None:
                return attempt
        return 0

    def key(self, key, repeat=1):
        sh("xdotool", "key", "--delay", "50", "--repeat", str(repeat), key)

    def shot(self, path):
        """The window as a PNG (ImageMagick from the X server), once a frame
        after the last one written has come: the screen shows a frame a
        little after the view file tells of it."""
        v = self.view()
        seq = v["seq"] if v else -1
        self.wait(lambda v: v["seq"] > seq, 3)
        sh("import", "-window", "root", "-crop", "%dx%d+%d+%d" % (self.w, self.h, self.x, self.y), "+repage", path)
        return os.path.isfile(path)
