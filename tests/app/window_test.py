#!/usr/bin/env python3
"""The real console under Wine on an X display of its own (1920 x 1080, the
work area too), driven by real X input through xdotool: the window's size and
place at 96 and 144 DPI, the single instance, the title-bar buttons, a home
card and Esc, the sidebar, a toast that lasts ten seconds, forged worker
messages, and closing. Widgets are found where the console drew them (its
VUNK_TEST_VIEW frames, tests/support/console.py); every wait has a deadline.
Screenshots stay in <build>/app-window.
"""
import faulthandler
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from console import Checks, Console, until, widget_id, win_path  # noqa: E402

BUILD = os.environ["VUNK_BUILD"]
WORK = os.path.join(BUILD, "app-window")
BIN = os.path.join(WORK, "bin")
EXE = os.path.join(BIN, "vunk.exe")
LOG = os.path.join(BIN, "vunk.log")
IM = "/usr/bin/convert-im6.q16"  # the real ImageMagick; "convert" on PATH may be something else
HOME, WIZARD, SETTINGS = 0, 1, 4
check = Checks()


def run(*args, timeout=120, env=None):
    """A program's exit code (None when it did not end in time)."""
    try:
        return subprocess.run(list(args), capture_output=True, env=env, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return None


def last_log_line():
    try:
        lines = open(LOG, encoding="utf-8", errors="replace").read().splitlines()
    except OSError:
        return ""
    return lines[-1] if lines else ""


def lit(png, box):
    """Share of lit pixels (brightest channel above 40 %) in a box (screen
    pixels: left, top, right, bottom) of a screenshot of the window's area."""
    l, t, r, b = (int(v) for v in box)
    out = subprocess.run([IM, png, "-crop", "%dx%d+%d+%d" % (r - l, b - t, l, t), "+repage", "-channel", "RGB",
                          "-separate", "-evaluate-sequence", "max", "-threshold", "40%", "-format", "%[fx:mean]",
                          "info:"], capture_output=True, text=True).stdout
    try:
        return float(out)
    except ValueError:
        return 0.0


class Display:
    """An Xvfb display and a Wine prefix of the test's own: the DPI is a
    setting of the prefix, and other tests must not see it change."""

    def __init__(self):
        # Xvfb picks a free display itself and names it once it is ready, so
        # two test runs that start together cannot take the same one.
        r, w = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(w,))
        os.close(w)
        with os.fdopen(r) as f:
            n = int(f.readline() or -1)
        self.env = dict(os.environ, DISPLAY=":%d" % n, WINEPREFIX=os.path.join(BUILD, "app-wineprefix"),
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")
        os.environ.update(self.env)  # xdotool and ImageMagick talk to this display
        run("wineserver", "-k", env=self.env)
        if not os.path.isfile(os.path.join(self.env["WINEPREFIX"], "system.reg")):
            run("wineboot", "-i", timeout=300, env=self.env)
            self.settle()

    def set_dpi(self, dpi):
        run("wine", "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d",
            str(dpi), "/f", env=self.env)
        self.settle()

    def settle(self):
        # The session ends by itself once its programs have; on a loaded
        # machine its driver hosts have been seen to outlive their service
        # manager, and the server then waits for ever: such a session is ended.
        if run("wineserver", "-w", timeout=120, env=self.env) is None:
            run("wineserver", "-k", env=self.env)

    def stop(self):
        run("wineserver", "-k", env=self.env)
        self.xvfb.terminate()
        self.xvfb.wait(10)


def console():
    c = Console(EXE, WORK, dict(DISPLAY_ENV), ["--qemu", win_path(os.path.join(WORK, "no-qemu"))])
    check(c.start(), "the main window shows")
    return c


def ended(c, timeout=30):
    """The program's exit code once it ended, or "running"."""
    try:
        return c.proc.wait(timeout)
    except subprocess.TimeoutExpired:
        c.stop()
        return "running"


def geometry_is(c, want, timeout=20):
    """Waits until the window's place and size are want (X, Y, W, H)."""
    got = until(lambda: (c.locate(), (c.x, c.y, c.w, c.h) == want)[1], timeout)
    check(got, "window at %s: %s" % (want, (c.x, c.y, c.w, c.h)))


def main():
    global DISPLAY_ENV
    shutil.rmtree(WORK, ignore_errors=True)
    # The program in a folder of its own, with one machine whose launch fails
    # (no QEMU in the folder --qemu names), so a red toast can be raised from
    # the UI.
    os.makedirs(os.path.join(BIN, "machines", "test-pc"))
    shutil.copy(os.path.join(BUILD, "bin", "vunk.exe"), EXE)
    shutil.copy(os.path.join(BUILD, "tests", "post_forged.exe"), BIN)
    with open(os.path.join(BIN, "machines", "test-pc", "machine.ini"), "wb") as f:
        f.write(b"\xff\xfe" + "[machine]\r\nname=Test PC\r\nprofile=other-x64\r\ndisk=Z:\\nowhere\\disk.qcow2\r\n"
                .encode("utf-16-le"))
    d = Display()
    DISPLAY_ENV = d.env
    forged = os.path.join(BIN, "post_forged.exe")
    try:
        # ---- 144 DPI: min(1080 - 60, 1500) = 1020 high, 1860 wide, at
        # (30, 30); WM_CLOSE without machines exits 0.
        d.set_dpi(144)
        c = console()
        geometry_is(c, (30, 30, 1860, 1020))
        check(run("wine", forged, "close", env=d.env) == 0, "WM_CLOSE posted")
        rc = ended(c)
        check(rc == 0, "close at 144 DPI: exit %s" % rc)
        check("V.U.N.K. exits" in last_log_line(), "the log ends with the exit line")

        # ---- Tool modes that cannot do their work exit with their failure
        # codes, also while no console runs (they skip the single-instance
        # check): no QEMU, no release server, no ffmpeg, a screenshot width of 0.
        closed = ";".join(["http://127.0.0.1:9"] * 7)
        env = dict(d.env, VUNK_RELEASE_ORIGINS=closed)
        for mode, want in (("--selftest", 1), ("--selftest-media", 1), ("--shots", 2), ("--record-demo", 1)):
            rc = run("wine", EXE, mode, win_path(os.path.join(WORK, "out")), "0", env=env)
            check(rc == want, "%s: exit %s, want %d" % (mode, rc, want))
        check("--shots: no screenshots of 0 x 1000 pixels" in open(LOG, encoding="utf-8", errors="replace").read(),
              "the log tells why --shots made none")

        # ---- 96 DPI: 1640 x 1000 centred at (140, 40).
        d.set_dpi(96)
        c = console()
        geometry_is(c, (140, 40, 1640, 1000))
        check("V.U.N.K. started (pid" in open(LOG, encoding="utf-8", errors="replace").read(),
              "the log has the start line")
        v = c.wait(lambda v: v["view"] == HOME and c.text_at(v, "INSTALL NEW SYSTEM") and c.text_at(v, "NORAD"), 30)
        check(v is not None, "home: the cards and the map's sites are drawn")
        home = os.path.join(WORK, "home.png")
        if v:
            card = c.rect(v, "opt", 0)
            # On a loaded host the X window can still be blank for a while
            # after the console has drawn its first frames.
            lit_card = lambda: lit(home, [q - o for q, o in zip(card, (c.x, c.y, c.x, c.y))])
            check(until(lambda: c.shot(home) and lit_card() > 0.01, 15), "home: the card is lit")
            k = v["dpi"] / 96
            check(lit(home, (160 * k, 90 * k, (card[0] - c.x) + 1300 * k, card[1] - c.y - 40 * k)) > 0.005,
                  "home: the map above the cards is lit")

        # A second instance brings the first forward and exits 0; the first stays.
        check(run("wine", EXE, timeout=60, env=d.env) == 0, "a second instance exits 0")
        check(c.alive(), "the first instance runs on")

        # Forged worker messages from another program are ignored without a
        # crash: the console goes on drawing frames.
        check(run("wine", forged, env=d.env) == 0, "forged worker messages posted")
        seq = c.view()["seq"]
        c.park()  # a frame that sees the pointer in the window is written anew
        check(c.wait(lambda v: v["seq"] > seq, 20) is not None and c.alive(),
              "the console draws on after forged pointers")

        # "opt" 0 opens the wizard; Esc returns home.
        check(c.click("opt", 0), "INSTALL NEW SYSTEM is drawn")
        check(c.wait(lambda v: v["view"] == WIZARD, 20) is not None, "the wizard opens")
        c.shot(os.path.join(WORK, "wizard.png"))
        c.key("Escape")
        check(c.wait(lambda v: v["view"] == HOME and str(widget_id("opt", 0)) in v["rects"], 20) is not None,
              "Esc returns home")

        # The sidebar expands (its labels are drawn) and collapses.
        check(c.click("sidetoggle"), "the sidebar's toggle is drawn")
        check(c.wait(lambda v: c.text_at(v, "SYSTEMS") and c.text_at(v, "NEW SYSTEM"), 20) is not None,
              "the sidebar expands")
        c.shot(os.path.join(WORK, "sidebar-open.png"))
        check(c.click("sidetoggle"), "the sidebar's toggle is drawn")
        check(c.wait(lambda v: not c.text_at(v, "SYSTEMS") and not c.text_at(v, "NEW SYSTEM"), 20) is not None,
              "the sidebar collapses")
        c.shot(os.path.join(WORK, "sidebar-closed.png"))

        # The settings view, through the sidebar's configuration button.
        check(c.click("sideconf"), "the sidebar's configuration button is drawn")
        check(c.wait(lambda v: v["view"] == SETTINGS and c.text_at(v, "QUADRA ROM"), 20) is not None,
              "the settings view shows")
        c.shot(os.path.join(WORK, "settings.png"))
        c.key("Escape")
        check(c.wait(lambda v: v["view"] == HOME, 20) is not None, "Esc leaves the settings view")

        # LAUNCH of a machine without QEMU: a red toast, drawn for ten seconds.
        banner = str(widget_id("banner", 0))
        check(c.click_row("TEST PC", "launch"), "LAUNCH is drawn on the Test PC row")
        v = c.wait(lambda v: banner in v["rects"], 20)
        shown_at = time.time()
        check(v is not None and "TEST PC" in v["toast"], "a toast tells the launch failed: %s" % (v and v["toast"]))
        c.shot(os.path.join(WORK, "toast.png"))
        last_seen = shown_at
        while time.time() < shown_at + 20:
            v = c.view()
            if v and banner not in v["rects"]:
                break
            last_seen = time.time()
            time.sleep(0.1)
        gone_at = time.time()
        check(last_seen - shown_at >= 9.0 and gone_at - shown_at <= 11.5,
              "the toast is drawn until about 10 s (still at %.1f s, gone at %.1f s)" %
              (last_seen - shown_at, gone_at - shown_at))
        c.shot(os.path.join(WORK, "toast-gone.png"))

        # Title bar: the maximise button maximises (without a window manager
        # the X window keeps its place, so Windows is asked); restored by the
        # helper.
        check(c.click("title", 1, nonclient=True), "the maximise button is drawn")
        check(until(lambda: run("wine", forged, "zoomed", env=d.env) == 0, 20), "the maximise button maximises")
        run("wine", forged, "restore", env=d.env)
        check(until(lambda: run("wine", forged, "zoomed", env=d.env) == 1, 20), "restored")

        # The close button ends the program (no machine docked): exit 0.
        check(c.click("title", 2), "the close button is drawn")
        rc = ended(c)
        check(rc == 0, "close button: exit %s" % rc)
        check("V.U.N.K. exits" in last_log_line(), "the log ends with the exit line after the close button")
    finally:
        d.stop()
    print("screenshots in %s" % WORK)
    print("%d failed" % len(check.failed))
    return 1 if check.failed else 0


if __name__ == "__main__":
    # A hang shows where it is before CTest's limit (600 s) ends the test.
    faulthandler.dump_traceback_later(570, exit=True)
    sys.exit(main())
