#!/usr/bin/env python3
"""The media views through the real console window: vunk.exe under Wine on
the test's Xvfb display, driven with real X input (xdotool) as a person
would, against the live release fixture (tests/fixtures/live: look-alike
release servers on loopback, rate-limited nginx mirrors, libtorrent seeders
announced on opentracker, a web seed that answers 500, a release whose
checksum line is wrong) and QEMU through the bridge.

New system: the picker lists the releases; DOWNLOAD without a media folder
opens the storage chooser; C: makes the folder and queues the download; the
install waits on the transfers page, which shows the download coming from
mirrors and peers at once, and the machine launches once it is verified.
Then PAUSE, RESUME, CANCEL with its second click, REMOVE FROM LIST and the
sidebar's counts; a wrong checksum ends FAILED with its error, and the picker
offers FAILED: RETRY. Screenshots go to <build>/media-window/*.png.
"""
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.environ["VUNK_SRC"], "tests", "support"))
from console import Checks, Console, sh, std_hash, widget_id, win_path  # noqa: E402

BUILD = os.environ["VUNK_BUILD"]
WORK = os.path.join(BUILD, "media-window")
LIVE = os.path.join(BUILD, "tests", "fixture-live")
check = Checks()

DESKTOP = "ubuntu-24.04.2-desktop-amd64.iso"   # 48 MiB
SERVER = "ubuntu-24.04.2-live-server-amd64.iso"  # its SHA256SUMS line is wrong
FEDORA = "Fedora-Workstation-Live-x86_64-42-1.1.iso"  # 24 MiB
OMARCHY = "omarchy-3.0.iso"  # 20 MiB, mirrors only
STATE = {"queued": 0, "acquiring": 1, "receiving": 2, "paused": 3, "verifying": 4, "verified": 5, "failed": 6}


def texts(v):
    return [t[0] for t in v["texts"]] if v else []


def shows(v, text):
    return v is not None and text in texts(v)


def shows_part(v, part):
    return v is not None and any(part in t for t in texts(v))


def job(v, name):
    for j in (v or {}).get("jobs", []):
        if j["file"] == name:
            return j
    return None


def inside(t, r):
    return r[0] <= t[1] < r[2] and r[1] <= t[2] < r[3]


def quick_click(c, name, index=0):
    """Moves to a widget and clicks at once: press and release may reach the
    console in one frame, which counts as a click. For a second click that
    must come soon after the first."""
    v = c.view()
    r = c.rect(v, name, index) if v else None
    if r is None:
        return False
    c.move((r[0] + r[2]) / 2, (r[1] + r[3]) / 2)
    sh("xdotool", "click", "1")
    return True


def linux_path(windows_path):
    return sh("winepath", "-u", windows_path).stdout.strip()


def shot(c, name):
    """A screenshot once a few more frames are drawn: the picture on the X
    display can lag the frame that the view file describes."""
    v = c.view()
    seq = v["seq"] if v else 0
    c.wait(lambda v: v["seq"] >= seq + 3, 5)
    time.sleep(0.3)
    c.shot(os.path.join(WORK, name + ".png"))


def lit_pixels(png, box):
    """Pixels of a box in a screenshot brighter than the background."""
    x0, y0, x1, y1 = [int(v) for v in box]
    out = sh("convert", png, "-crop", "%dx%d+%d+%d" % (x1 - x0, y1 - y0, x0, y0), "+repage", "-colorspace", "gray",
             "-threshold", "12%", "-format", "%[fx:mean*w*h]", "info:").stdout
    try:
        return float(out)
    except ValueError:
        return -1


# ---- steps ----------------------------------------------------------------------


def open_picker(c):
    """Home or sidebar -> new system -> the Linux PC profile: the picker."""
    v = c.view()
    if v and v["view"] == 0:
        c.click("opt", 0)
    else:
        c.click("sidenew", 0)
    v = c.wait(lambda v: v["view"] == 1 and shows(v, "X86-64 // Q35"))
    if not check(v is not None, "the wizard lists the profiles"):
        return False
    # The row whose texts read LINUX over X86-64 // Q35.
    for i in range(40):
        r = v["rects"].get(str(widget_id("prof", i)))
        if r and any(t[0] == "LINUX" and inside(t, r) for t in v["texts"]) and \
                any(t[0] == "X86-64 // Q35" and inside(t, r) for t in v["texts"]):
            c.click("prof", i)
            break
    v = c.wait(lambda v: shows_part(v, "INSTALL MEDIA  //  OFFICIAL RELEASES"), 30)
    return check(v is not None, "the Linux PC profile shows the media picker")


def picker_lists_the_catalog(c, names):
    v = c.wait(lambda v: all(str(widget_id("mrow", std_hash(n))) in v["rects"] for n in names), 60)
    check(v is not None, "the picker has a row for each of the catalog's %d releases" % len(names))
    if v:
        check(shows(v, "UBUNTU") and shows(v, "FEDORA") and shows(v, "DEBIAN") and shows(v, "OMARCHY"),
              "the rows name the four distributions")
        check(texts(v).count("DOWNLOAD") >= len(names), "each release offers DOWNLOAD")
    shot(c, "picker")


def choose_c_drive(c, folder):
    v = c.wait(lambda v: v["view"] == 6 and shows(v, "C:"), 20)
    if not check(v is not None, "DOWNLOAD without a media folder opens the storage chooser"):
        return False
    check(shows(v, "MEDIA STORAGE") and shows(v, "OTHER FOLDER..."), "the chooser's heading and OTHER FOLDER...")
    shot(c, "storage")
    letter = next(t for t in v["texts"] if t[0] == "C:")
    for i in range(26):
        r = v["rects"].get(str(widget_id("drive", i)))
        if r and inside(letter, r):
            c.click("drive", i)
            break
    v = c.wait(lambda v: v["view"] == 1 and v["toast"] == "INSTALL MEDIA GOES TO C:\\VUNK MEDIA", 20)
    check(v is not None, "choosing C: returns to the wizard with the cyan note")
    check(os.path.isdir(folder), "the folder C:\\VUNK Media is made")
    return v is not None


def active_line(v):
    """The sidebar block's line for the jobs of a frame."""
    busy = [j for j in v["jobs"] if j["state"] in (0, 1, 2, 4)]
    return "%d ACTIVE  //  " % len(busy) if busy else "%d DONE" % len(v["jobs"])


def sidebar_follows(c, what, timeout=20):
    v = c.wait(lambda v: shows_part(v, active_line(v)), timeout)
    return check(v is not None, "the sidebar block %s: %s" % (what, v and active_line(v)))


def pause_and_resume(c, folder):
    """The install's image, queued behind Omarchy, is paused as soon as it
    runs (the images are small: they download in seconds), then resumed."""
    v = c.wait(lambda v: job(v, DESKTOP) and job(v, DESKTOP)["state"] == STATE["receiving"] and shows(v, "PAUSE"), 90)
    if not check(v is not None, "it starts once the first download is done"):
        return
    c.click("xact", 5)
    v = c.wait(lambda v: job(v, DESKTOP)["state"] == STATE["paused"] and shows(v, "RESUME"), 20)
    if not check(v is not None, "PAUSE pauses it and offers RESUME"):
        return
    check(os.path.isfile(os.path.join(folder, DESKTOP + ".part")), "its part file stays")
    sidebar_follows(c, "counts no active job")
    shot(c, "paused")
    c.click("xact", 4)
    v = c.wait(lambda v: job(v, DESKTOP)["state"] == STATE["receiving"] and shows(v, "PAUSE"), 30)
    check(v is not None, "RESUME takes it up again")
    sidebar_follows(c, "counts it again")


def receiving_from_mirrors_and_peers(c):
    seen = {}

    def busy(v):
        j = job(v, DESKTOP)
        if not j or not shows_part(v, "RECEIVING  //  ETA ") or j["state"] != STATE["receiving"]:
            return False
        if j["rate_mirrors"] > 0:
            seen["mirrors"] = j["rate_mirrors"]
        if j["rate_peers"] > 0:
            seen["peers"] = j["rate_peers"]
        if j["conns"] > 0:
            seen["conns"] = j["conns"]
        return len(seen) == 3 and j["done"] > 0
    v = c.wait(busy, 90)
    check(v is not None, "the transfers page shows it RECEIVING from mirrors (%s B/s) and peers (%s B/s) over %s "
          "connections" % (seen.get("mirrors"), seen.get("peers"), seen.get("conns")))
    if not v:
        return
    check(shows(v, "A NEW SYSTEM LAUNCHES WHEN THIS IS VERIFIED"), "the launch note is shown")
    check(shows(v, "PAUSE") and shows(v, "CANCEL"), "a receiving job offers PAUSE and CANCEL")
    check(shows_part(v, "RECEIVING  ") and shows_part(v, "/S"), "its row reads RECEIVING with its rate")
    pieces = next((t for t in v["texts"] if t[0].startswith("PIECES  //  ")), None)
    check(pieces is not None and not pieces[0].startswith("PIECES  //  0 x"), "the pieces header counts the pieces")
    if not pieces:
        return
    # The piece field fills: more lit pixels in its first rows as it goes on.
    k = v["dpi"] / 96.0
    box = ((pieces[1] + 12) * k, (pieces[2] + 26) * k, (pieces[1] + 900) * k, (pieces[2] + 110) * k)
    d0 = job(v, DESKTOP)["done"]
    shot(c, "receiving")
    before = lit_pixels(os.path.join(WORK, "receiving.png"), box)
    c.wait(lambda v: job(v, DESKTOP) and job(v, DESKTOP)["done"] > d0 + 8 * 2 ** 20, 60)
    shot(c, "receiving-later")
    after = lit_pixels(os.path.join(WORK, "receiving-later.png"), box)
    check(after > before > 0, "the piece field fills (%d -> %d lit pixels)" % (before, after))


def verified_and_launched(c, machines):
    v = c.wait(lambda v: job(v, DESKTOP) and job(v, DESKTOP)["state"] in (5, 6), 120)
    if not check(v is not None and job(v, DESKTOP)["state"] == 5, "the download reaches VERIFIED"):
        return
    # The waiting machine launches through the bridge: its view opens.
    v = c.wait(lambda v: v["view"] == 3, 60)
    check(v is not None, "the new machine launched once its image was verified (its view is shown)")
    logs = [os.path.join(machines, d, "launch.log") for d in os.listdir(machines)
            if os.path.isfile(os.path.join(machines, d, "launch.log"))]
    check(len(logs) == 1, "one machine wrote its launch.log")
    if logs:
        log = open(logs[0], encoding="utf-8", errors="replace").read()
        check(DESKTOP in log, "its QEMU boots the verified image")
        folder = os.path.dirname(logs[0])
        pids = []
        for _ in range(100):
            # QEMU's option values double every comma of the path.
            pids = sh("pgrep", "-f", "qemu-system-x86_64.*" + re.escape(folder.replace(",", ",,"))).stdout.split()
            if pids:
                break
            time.sleep(0.3)
        check(len(pids) == 1, "QEMU runs the machine through the bridge")
        for pid in pids:
            subprocess.run(["kill", pid])
        check(c.wait(lambda v: v["view"] == 0, 60) is not None, "the console goes home when it stops")
    # The verified job on the transfers page.
    c.click("sidexfer", 0)
    c.wait(lambda v: v["view"] == 7, 10)
    c.click("xrow", std_hash(DESKTOP))
    v = c.wait(lambda v: shows(v, "SHA-256 VERIFIED"), 10)
    check(v is not None, "the piece field says SHA-256 VERIFIED")
    check(v is not None and shows(v, "REMOVE FROM LIST") and shows(v, "SHOW IN FOLDER") and not shows(v, "PAUSE"),
          "a verified job offers REMOVE FROM LIST and SHOW IN FOLDER only")
    check(v is not None and not shows(v, "A NEW SYSTEM LAUNCHES WHEN THIS IS VERIFIED"), "the launch note is gone")
    shot(c, "verified")


def controls(c, folder):
    # Two more: the server image (its checksum line is wrong), then Fedora.
    if not open_picker(c):
        return
    c.click("mdl", std_hash(SERVER))
    c.click("mdl", std_hash(FEDORA))
    v = c.wait(lambda v: job(v, SERVER) and job(v, FEDORA), 10)
    check(v is not None and v["view"] == 1, "with a media folder DOWNLOAD queues at once and the wizard stays")
    v = c.wait(lambda v: shows(v, "QUEUED") and shows(v, "VERIFIED") and shows_part(v, "%  "), 20)
    check(v is not None, "the picker shows the verified, the busy and the queued release")
    shot(c, "picker-states")
    v = c.wait(lambda v: active_line(v) == "2 ACTIVE  //  " and shows_part(v, "2 ACTIVE  //  "), 10)
    check(v is not None, "the sidebar block counts the running and the queued job: 2 ACTIVE")

    # Fedora waits its turn; paused there, it stays out of the queue.
    c.click("sidexfer", 0)
    c.wait(lambda v: v["view"] == 7, 10)
    c.click("xrow", std_hash(FEDORA))
    c.wait(lambda v: shows(v, "PAUSE") and shows_part(v, "WORKSTATION"), 10)
    c.click("xact", 5)
    v = c.wait(lambda v: job(v, FEDORA)["state"] == STATE["paused"], 20)
    check(v is not None, "PAUSE takes the queued Fedora out of the queue")

    # The wrong checksum: FAILED with its error on the page and a red toast.
    v = c.wait(lambda v: job(v, SERVER) and job(v, SERVER)["state"] == STATE["failed"], 120)
    if check(v is not None, "the release with a wrong SHA-256 ends FAILED"):
        error = job(v, SERVER)["error"]
        check(error != "", "with an error: %s" % error)
        check(v["toast"].startswith("UBUNTU 24.04.2 LTS DOWNLOAD FAILED\n"), "the red toast says so: %r" % v["toast"])
        c.click("xrow", std_hash(SERVER))
        v = c.wait(lambda v: shows_part(v, "ERROR: "), 10)
        check(v is not None and shows(v, "ERROR: " + error.upper()), "the transfers page shows the error")
        check(v is not None and shows(v, "RESUME") and shows(v, "CANCEL"), "a failed job offers RESUME and CANCEL")
        sidebar_follows(c, "counts the ended jobs")
        shot(c, "failed")
    check(job(c.view(), FEDORA)["state"] == STATE["paused"], "the paused Fedora did not start")

    # CANCEL needs a second click within 3 s.
    c.click("xrow", std_hash(FEDORA))
    c.wait(lambda v: shows_part(v, "WORKSTATION") and shows(v, "CANCEL"), 10)
    c.click("xact", 3)
    v = c.wait(lambda v: shows(v, "CONFIRM CANCEL?"), 10)
    check(v is not None, "CANCEL asks for a second click")
    v = c.wait(lambda v: shows(v, "CANCEL") and not shows(v, "CONFIRM CANCEL?"), 10)
    check(v is not None and job(v, FEDORA) is not None, "after 3 s it reads CANCEL again and nothing was cancelled")
    c.click("xact", 3)
    c.wait(lambda v: shows(v, "CONFIRM CANCEL?"), 10)
    quick_click(c, "xact", 3)
    v = c.wait(lambda v: job(v, FEDORA) is None, 20)
    check(v is not None, "the second click within 3 s cancels the download")
    check(not any(n.startswith(FEDORA) for n in os.listdir(folder)), "nothing of it stays in the media folder")
    sidebar_follows(c, "follows the cancel")

    # REMOVE FROM LIST: the verified job leaves the list, its image stays.
    c.click("xrow", std_hash(DESKTOP))
    c.wait(lambda v: shows(v, "REMOVE FROM LIST"), 10)
    c.click("xact", 1)
    v = c.wait(lambda v: job(v, DESKTOP) is None, 10)
    check(v is not None, "REMOVE FROM LIST forgets the verified job")
    check(os.path.isfile(os.path.join(folder, DESKTOP)), "and leaves its image in the media folder")
    sidebar_follows(c, "follows the removal")

    # The picker offers FAILED: RETRY for the release that failed.
    if open_picker(c):
        v = c.wait(lambda v: shows(v, "FAILED: RETRY"), 10)
        ok = v is not None
        if ok:
            r = v["rects"].get(str(widget_id("mdl", std_hash(SERVER))))
            t = next(t for t in v["texts"] if t[0] == "FAILED: RETRY")
            ok = r is not None and inside(t, r)
        check(ok, "the picker offers FAILED: RETRY on the failed release")
        check(v is not None and shows(v, "VERIFIED"), "and VERIFIED on the downloaded one")
        shot(c, "picker-failed")

    # Without jobs: no sidebar block, and the page's empty state.
    c.click("sidexfer", 0)
    c.wait(lambda v: v["view"] == 7, 10)
    c.click("xrow", std_hash(OMARCHY))
    c.wait(lambda v: shows(v, "REMOVE FROM LIST") and shows_part(v, "ARCH"), 10)
    c.click("xact", 1)
    c.wait(lambda v: job(v, OMARCHY) is None, 10)
    c.click("xrow", std_hash(SERVER))
    c.click("xact", 3)
    c.wait(lambda v: shows(v, "CONFIRM CANCEL?"), 10)
    quick_click(c, "xact", 3)
    v = c.wait(lambda v: shows(v, "NO TRANSFERS. PICK A RELEASE IN THE MISSION PLANNER (LINUX X86-64)."), 20)
    check(v is not None and str(widget_id("sidexfer", 0)) not in v["rects"],
          "with no job left the page shows its empty state and the sidebar no block")
    shot(c, "empty")
    c.click("xplan", 0)
    check(c.wait(lambda v: v["view"] == 1 and shows(v, "X86-64 // Q35"), 10) is not None,
          "MISSION PLANNER opens the wizard")


def web_seed_failed_past(base):
    """The web seed answering 500 was asked and the downloads went on."""
    log = os.path.join(LIVE, "nginx", "access.log")
    lines = open(log, encoding="utf-8", errors="replace").read().splitlines() if os.path.isfile(log) else []
    fail_port = str(base + 10)
    check(any(l.split()[:2] == [fail_port, "500"] for l in lines), "the web seed that answers 500 was asked")


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(os.path.join(WORK, "app"))
    machines = os.path.join(WORK, "machines")
    os.makedirs(machines)
    folder = linux_path("C:\\VUNK Media")
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copy(os.path.join(BUILD, "bin", "vunk.exe"), os.path.join(WORK, "app", "vunk.exe"))
    ini = ("[paths]\r\nqemu_dir=%s\r\nmachines_dir=%s\r\ntiger_root=%s\r\n[library]\r\nseeded=1\r\n"
           % (win_path(os.path.join(BUILD, "qemu")), win_path(machines), win_path(os.path.join(WORK, "tiger"))))
    with open(os.path.join(WORK, "app", "vunk.ini"), "wb") as f:
        f.write(b"\xff\xfe" + ini.encode("utf-16-le"))
    origins = open(os.path.join(LIVE, "origins.txt")).read().strip()
    base = int(re.search(r":(\d+)", origins).group(1))
    names = [line.split()[0] for line in open(os.path.join(LIVE, "images.txt")) if line.strip()]
    env = {"VUNK_RELEASE_ORIGINS": origins, "VUNK_TEST_DISPLAY": "none", "VUNK_NO_WHPX": "1"}
    c = Console(os.path.join(WORK, "app", "vunk.exe"), WORK, env)
    if not check(c.start(), "the console window shows"):
        return 1
    try:
        c.click("sidetoggle", 0)  # the sidebar open: its transfers block shows its words
        c.wait(lambda v: v["rects"][str(widget_id("sidetoggle", 0))][2] == 288 - 18, 10)
        if open_picker(c):
            picker_lists_the_catalog(c, names)
            # Omarchy first (mirrors only); the install's image queues behind it.
            c.click("mdl", std_hash(OMARCHY))
            if choose_c_drive(c, folder):
                v = c.wait(lambda v: job(v, OMARCHY) is not None, 10)
                check(v is not None and v["view"] == 1, "the download is queued and the wizard stays")
                c.click("mdl", std_hash(DESKTOP))
                c.wait(lambda v: job(v, DESKTOP) is not None, 10)
                c.click("wizgo", 0)  # CREATE AND INSTALL, with the desktop image picked
                v = c.wait(lambda v: v["view"] == 7, 60)
                check(v is not None, "the install waits on the transfers page")
                pause_and_resume(c, folder)
                receiving_from_mirrors_and_peers(c)
                verified_and_launched(c, machines)
                controls(c, folder)
                web_seed_failed_past(base)
    finally:
        shot(c, "last")
        c.stop()
        shutil.rmtree(folder, ignore_errors=True)
    print("%d failed" % len(check.failed))
    return 1 if check.failed else 0


if __name__ == "__main__":
    sys.exit(main())
