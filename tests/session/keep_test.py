#!/usr/bin/env python3
"""What `make run` keeps when the console closes: scripts/run.sh as a user
runs it (its own Xvfb, its own prefix; the program a copy with machines and
settings of the test's own) launches a real x86_64 QEMU through the bridge,
DETACH AND EXIT leaves it running in a window of its own, and a second
run.sh joins that session (same prefix, same display): the console finds the
machine RUNNING under its name, docks it again and reaches its QMP port.
Widgets are found where the console drew them (tests/support/console.py);
every wait has a deadline. Screenshots stay in <build>/session-keep-*.png.
"""
import os
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from console import Checks, Console, sh, until, widget_id, win_path as win  # noqa: E402

SRC = os.environ["VUNK_SRC"]
BUILD = os.environ["VUNK_BUILD"]
WORK = os.path.join(BUILD, "session-keep")
RUN_BUILD = os.path.join(WORK, "build")        # the run script's build folder
BIN = os.path.join(RUN_BUILD, "bin")
PREFIX = os.path.join(RUN_BUILD, "wineprefix")  # kept between runs of this test: made once
SESSION = os.path.join(PREFIX, "vunk-session")
LOG = os.path.join(BIN, "vunk.log")
IM = "/usr/bin/convert-im6.q16"  # the real ImageMagick; "convert" on PATH may be something else
HOME, RUNNING = 0, 3
NAME = "Keep PC"
check = Checks()


def write_ini(path, section, values, extra=""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    text = "[%s]\r\n" % section + "".join("%s=%s\r\n" % kv for kv in values.items()) + extra
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))


def session():
    """The run's session file as a dict (DISPLAY, XVFB_PID), or {}."""
    try:
        return dict(line.split("=", 1) for line in open(SESSION).read().split("\n") if "=" in line)
    except OSError:
        return {}


def in_prefix(pid):
    try:
        return ("WINEPREFIX=" + PREFIX).encode() in open("/proc/%s/environ" % pid, "rb").read().split(b"\0")
    except OSError:
        return False


def bridges():
    """Linux ids of the QEMU bridges running in the test's prefix."""
    return [p for p in sh("pgrep", "-f", r"qemu-system-x86_64\.exe").stdout.split() if in_prefix(p)]


def end_session():
    """Ends whatever the run script left in the test's prefix, and its Xvfb."""
    env = dict(os.environ, WINEPREFIX=PREFIX)
    subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)
    pid = session().get("XVFB_PID", "")
    try:
        if pid and open("/proc/%s/comm" % pid).read().strip() == "Xvfb":
            os.kill(int(pid), signal.SIGTERM)
    except OSError:
        pass
    if os.path.exists(SESSION):
        os.remove(SESSION)


class RunScript(Console):
    """The console as `make run` starts it: scripts/run.sh, which starts an
    Xvfb of its own (no DISPLAY given) or joins the session left running."""

    def spawn(self):
        p = subprocess.Popen(["sh", os.path.join(SRC, "scripts", "run.sh")], env=self.env, cwd=SRC,
                             stdout=self.log, stderr=self.log)
        # xdotool and ImageMagick talk to the display the script chose.
        shown = until(lambda: session().get("DISPLAY"), 120)
        if shown:
            os.environ["DISPLAY"] = shown
        return p


def run_script():
    env = {"BUILD": RUN_BUILD, "VUNK_SKIP_BUILD": "1"}
    c = RunScript(os.path.join(BIN, "vunk.exe"), WORK, env)
    for k in ("DISPLAY", "VUNK_TEST_DISPLAY", "WINEPREFIX"):
        c.env.pop(k, None)
    return c


def log_since(mark):
    try:
        return open(LOG, "rb").read()[mark:].decode("utf-8", "replace")
    except OSError:
        return ""


def guest_pixels(png, box=None):
    """Pixels of the guest's text (VGA grey or white: R = G = B above 60 %)
    in a screenshot, or in a box of it (left, top, right, bottom)."""
    crop = [] if box is None else ["-crop", "%dx%d+%d+%d" % (box[2] - box[0], box[3] - box[1], box[0], box[1]),
                                   "+repage"]
    out = subprocess.run([IM, png] + crop + [
        "(", "-clone", "0", "-separate", "-evaluate-sequence", "min", ")",
        "(", "-clone", "0", "-separate", "-evaluate-sequence", "max", ")", "-delete", "0",
        "(", "-clone", "0", "-threshold", "60%", ")",
        "(", "-clone", "0,1", "-compose", "difference", "-composite", "-threshold", "0", "-negate", ")",
        "-delete", "0,1", "-compose", "multiply", "-composite", "-format", "%[fx:mean*w*h]", "info:"],
        capture_output=True, text=True).stdout
    try:
        return int(float(out))
    except ValueError:
        return 0


def sidebar_row(v, text):
    """The id of the sidebar's machine row that draws the text, or None."""
    for uid in range(1, 64):
        r = v["rects"].get(str(widget_id("siderow", uid)))
        if r and any(t[0] == text and r[0] <= t[1] < r[2] and r[1] <= t[2] < r[3] for t in v["texts"]):
            return widget_id("siderow", uid)
    return None


def screen(name):
    path = os.path.join(BUILD, "session-keep-%s.png" % name)
    sh("import", "-window", "root", path)
    return path


def first_run():
    """LAUNCH, docked picture, then close and DETACH AND EXIT."""
    mark = os.path.getsize(LOG) if os.path.exists(LOG) else 0
    c = run_script()
    if not check(c.start(180) and session().get("XVFB_PID"),
                 "run.sh shows the console on an Xvfb of its own (%s)" % os.environ.get("DISPLAY")):
        return None
    first_display = os.environ["DISPLAY"]
    check(c.click_row(NAME.upper(), "launch", 30), "LAUNCH is drawn on the Keep PC row")
    check(until(lambda: "embedded, window" in log_since(mark), 120), "the guest docks in the console")
    v = c.wait(lambda v: v["view"] == RUNNING and c.has_text(v, "EMBEDDED"), 60)
    check(v is not None, "the running-machine view shows it EMBEDDED")
    shot = os.path.join(BUILD, "session-keep-1-docked.png")
    until(lambda: c.shot(shot) and guest_pixels(shot) > 200, 60, 1)
    check(guest_pixels(shot) > 200, "the guest's screen is drawn in the console: %d pixels" % guest_pixels(shot))

    check(c.click("title", 2), "the close button is drawn")
    v = c.wait(lambda v: v["modal"] == "SHUTDOWN V.U.N.K.?", 20)
    check(v is not None, "closing asks SHUTDOWN V.U.N.K.?")
    c.shot(os.path.join(BUILD, "session-keep-2-question.png"))
    check(c.click_text("DETACH AND EXIT"), "DETACH AND EXIT is drawn")
    try:
        rc = c.proc.wait(60)
    except subprocess.TimeoutExpired:
        rc = "running"
    check(rc == 0, "run.sh ends with the console: %s" % rc)
    c.log.close()
    out = open(os.path.join(WORK, "wine.txt"), errors="replace").read()
    check("their Wine session stays on DISPLAY=%s" % first_display in out, "run.sh says the session stays")
    check(len(bridges()) == 1, "the QEMU is still running: %s" % bridges())
    own = until(lambda: sh("xdotool", "search", "--onlyvisible", "--name", "^QEMU$").stdout.split(), 20)
    check(bool(own), "the machine shows in a window of its own")
    png = screen("3-detached")
    if own:
        geo = dict(l.split("=") for l in sh("xdotool", "getwindowgeometry", "--shell", own[0]).stdout.split())
        x, y, w, h = (int(geo[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
        check(guest_pixels(png, (x, y, x + w, y + h)) > 200, "its own window shows the guest")
    return first_display


def second_run(first_display):
    """The next run joins the session: RUNNING under its name, docked again,
    its QMP answering (PAUSE and RESUME)."""
    mark = os.path.getsize(LOG)
    c = run_script()
    if not check(c.start(120), "the second run.sh shows the console"):
        return None
    check(os.environ["DISPLAY"] == first_display, "on the same display: %s" % os.environ["DISPLAY"])
    out = open(os.path.join(WORK, "wine.txt"), errors="replace").read()
    check("joining the Wine session V.U.N.K. left running" in out, "run.sh joins the kept session")
    check(until(lambda: "found external QEMU %s" % NAME in log_since(mark), 10), "discovery names it from its command line")
    check(until(lambda: "embedded, window" in log_since(mark), 60), "the discovered machine docks again by itself")
    v = c.wait(lambda v: True)
    if "SYSTEMS" not in c.texts(v):
        check(c.click("sidetoggle"), "the sidebar's toggle is drawn")
    v = c.wait(lambda v: sidebar_row(v, NAME.upper()) and sidebar_row(v, "RUNNING"), 30)
    check(v is not None, "the sidebar shows KEEP PC RUNNING")
    c.shot(os.path.join(BUILD, "session-keep-4-sidebar.png"))
    check(c.click_found(lambda v: sidebar_row(v, NAME.upper())), "its sidebar row is drawn")
    v = c.wait(lambda v: v["view"] == RUNNING and c.has_text(v, "EMBEDDED"), 30)
    check(v is not None, "its view shows it EMBEDDED")
    check(not sh("xdotool", "search", "--onlyvisible", "--name", "^QEMU$").stdout.split(),
          "its own window is gone")
    shot = os.path.join(BUILD, "session-keep-5-docked-again.png")
    until(lambda: c.shot(shot) and guest_pixels(shot) > 200, 60, 1)
    check(guest_pixels(shot) > 200, "the guest's screen is drawn in the console again: %d pixels" % guest_pixels(shot))
    # Its QMP port through the bridge's proxy, from the new console.
    check(c.click_text("PAUSE"), "PAUSE is drawn")
    check(c.wait(lambda v: c.has_text(v, "PAUSED"), 30) is not None, "QMP: the machine reads PAUSED")
    check(c.click_text("RESUME"), "RESUME is drawn")
    check(c.wait(lambda v: c.has_text(v, "RUNNING") and not c.has_text(v, "PAUSED"), 30) is not None,
          "QMP: RUNNING again")
    c.shot(os.path.join(BUILD, "session-keep-6-resumed.png"))
    # The adopted machine leaves the console and comes back on request too.
    check(c.click_text("POP OUT"), "POP OUT is drawn")
    check(c.wait(lambda v: c.has_text(v, "OWN WINDOW") and c.has_text(v, "DOCK"), 30) is not None,
          "POP OUT: it runs in its own window")
    check(c.click_text("DOCK"), "DOCK is drawn")
    check(c.wait(lambda v: c.has_text(v, "EMBEDDED"), 30) is not None, "DOCK: it is docked again")
    return c


def last_run_ends(c):
    """FORCE OFF, then closing the console: nothing of it is left, so run.sh
    ends the session and its Xvfb."""
    xvfb = session().get("XVFB_PID", "")
    check(c.click_text("FORCE OFF") and c.click_text("CONFIRM FORCE OFF?"), "FORCE OFF, confirmed")
    check(until(lambda: not bridges(), 30), "its QEMU ends")
    check(c.wait(lambda v: v["view"] == HOME, 30) is not None, "the console goes home")
    check(c.click("title", 2), "the close button is drawn")
    try:
        rc = c.proc.wait(60)
    except subprocess.TimeoutExpired:
        rc = "running"
    check(rc == 0, "run.sh ends with the console: %s" % rc)
    check(not os.path.exists(SESSION), "the session's record is gone")
    check(until(lambda: not os.path.exists("/proc/%s" % xvfb), 10), "its Xvfb has ended")


def main():
    end_session()
    for leaf in os.listdir(WORK) if os.path.isdir(WORK) else []:
        path = os.path.join(WORK, leaf)
        if leaf != "build":
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    shutil.rmtree(BIN, ignore_errors=True)
    os.makedirs(BIN)
    shutil.copy(os.path.join(BUILD, "bin", "vunk.exe"), BIN)
    disk = os.path.join(WORK, "disk.qcow2")
    sh("qemu-img", "create", "-q", "-f", "qcow2", disk, "64M")
    write_ini(os.path.join(WORK, "machines", "keep-pc", "machine.ini"), "machine", {
        "name": NAME, "profile": "linux-x64", "disk": win(disk), "mem": "128", "cpus": "1", "install": "0",
        "scratch": "0", "created": "1", "last_run": "0"})
    write_ini(os.path.join(BIN, "vunk.ini"), "paths", {
        "qemu_dir": win(os.path.join(BUILD, "qemu")), "machines_dir": win(os.path.join(WORK, "machines")),
        "tiger_root": win(os.path.join(WORK, "tiger")), "media_dir": win(os.path.join(WORK, "media"))},
        "[library]\r\nseeded=1\r\n")
    second = None
    try:
        shown = first_run()
        if shown:
            second = second_run(shown)
        if second:
            last_run_ends(second)
    finally:
        if second:
            second.stop()
        end_session()
    check(until(lambda: not bridges(), 30), "the session's end takes its QEMU with it")
    print("%d failed" % len(check.failed))
    return 1 if check.failed else 0


if __name__ == "__main__":
    sys.exit(main())
