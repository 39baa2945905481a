#!/usr/bin/env python3
"""The machine forms through the real console window: vunk.exe under Wine on
the test's Xvfb display, driven with real X input (xdotool), with the real
qemu-img and QEMU through the bridge. Checks what the program leaves on disk
with the Linux tools (qemu-img info, parted) and leaves PNG screenshots of
the views in the build folder (forms-*.png).

Positions are the console's layout at 96 DPI in a 1640 x 1000 window with
the sidebar collapsed: content rectangle (72, 44) - (1640, 1000).
"""
import os
import shutil
import subprocess
import sys
import time

BUILD = os.environ["VUNK_BUILD"]
WORK = os.path.join(BUILD, "forms-window")
FIX = os.path.join(BUILD, "forms-work")  # images made by fixture.sh
failures = []


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def sh(*args, **kw):
    return subprocess.run(list(args), capture_output=True, text=True, **kw)


def read_ini(path):
    """machine.ini (UTF-16LE) as a dict of its machine section."""
    if not os.path.isfile(path):
        return None
    lines = open(path, "rb").read().decode("utf-16").splitlines()
    return dict(line.split("=", 1) for line in lines if "=" in line)


class Console:
    def __init__(self):
        self.proc = None
        self.x = self.y = 0

    def start(self):
        env = dict(os.environ, VUNK_TEST_DISPLAY="none", VUNK_NO_WHPX="1")
        self.log = open(os.path.join(WORK, "wine.txt"), "ab")
        self.proc = subprocess.Popen(["wine", os.path.join(WORK, "app", "vunk.exe")], env=env,
                                     stdout=self.log, stderr=self.log)
        for _ in range(300):
            ids = sh("xdotool", "search", "--onlyvisible", "--name", "^V\\.U\\.N\\.K\\.$").stdout.split()
            if ids:
                self.wid = ids[0]
                geo = sh("xdotool", "getwindowgeometry", "--shell", self.wid).stdout
                vals = dict(line.split("=") for line in geo.split())
                self.x, self.y = int(vals["X"]), int(vals["Y"])
                self.w, self.h = int(vals["WIDTH"]), int(vals["HEIGHT"])
                time.sleep(1.5)
                return True
            time.sleep(0.1)
        return False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.log.close()

    def click(self, x, y, settle=1.0):
        sh("xdotool", "mousemove", str(self.x + int(x)), str(self.y + int(y)))
        time.sleep(0.15)
        sh("xdotool", "mousedown", "1")
        time.sleep(0.12)
        sh("xdotool", "mouseup", "1")
        self.wiggle(settle)

    def wiggle(self, settle):
        """Waits, moving the pointer a little: a frame follows input."""
        end = time.time() + settle
        while time.time() < end:
            sh("xdotool", "mousemove_relative", "--", "1", "0")
            sh("xdotool", "mousemove_relative", "--", "-1", "0")
            time.sleep(0.25)

    def type(self, text):
        sh("xdotool", "type", "--delay", "40", text)
        time.sleep(0.3)

    def key(self, key, repeat=1):
        sh("xdotool", "key", "--delay", "50", "--repeat", str(repeat), key)
        time.sleep(0.3)

    def shot(self, name):
        path = os.path.join(BUILD, "forms-%s.png" % name)
        sh("import", "-window", "root", "-crop", "%dx%d+%d+%d" % (self.w, self.h, self.x, self.y), "+repage", path)
        return path

    def dialog_path(self, title, path):
        """Types a path into the system file dialog with that title."""
        for _ in range(100):
            ids = sh("xdotool", "search", "--onlyvisible", "--name", title).stdout.split()
            if ids:
                break
            time.sleep(0.1)
        else:
            return check(False, "the file dialog '%s' opens" % title)
        time.sleep(1.0)
        sh("xdotool", "windowfocus", "--sync", ids[0])
        self.type(path)
        self.key("Return")
        sh("xdotool", "mousemove", str(self.x + 900), str(self.y + 500))
        self.wiggle(2.5)
        return True


# ---- layout (see app/form_parts.cpp, app/views.cpp, app/widgets.cpp) ----
L, T, R, B = 72, 44, 1640, 1000
FX, FW = L + 40, 560                 # form fields
ROW0 = T + 84 + 12                   # first row of a form
PITCH = 68


def ctl(row):                        # centre y of a form row's control
    return ROW0 + row * PITCH + 16 + 18


def arrow(row, right):               # a stepper's arrows
    return (FX + FW - 15 if right else FX + 15), ctl(row)


FOOT = B - 64 + 18                   # footer buttons' centre y
CARD_NEW = (96 + 210, 694)           # home: INSTALL NEW SYSTEM
CARD_IMPORT = (96 + 210, 806)        # home: IMPORT EXISTING DISK
LIST_ROW0 = 690.48                   # home: first KNOWN SYSTEMS row


def home_row(i):
    return LIST_ROW0 + 48 * i + 23


MODAL_FIRST = (1021, 552)            # first answer of the modal question


def machines():
    root = os.path.join(WORK, "machines")
    return sorted(d for d in os.listdir(root) if os.path.isfile(os.path.join(root, d, "machine.ini")))


def wizard(c):
    c.click(*CARD_NEW, settle=1.5)
    c.shot("wizard-profiles")
    # linux-x64 is the 7th row of the offered profiles (no launch-script
    # setup here): left column, fourth row.
    c.click(L + 40 + 100, T + 84 + 12 + 3 * 64 + 28)
    c.click(FX + 200, ctl(0))       # the name field
    c.key("BackSpace", 12)
    c.type("Forms Linux")
    for _ in range(2):
        c.click(*arrow(1, False), settle=0.4)  # disk 32 -> 16 GB
    c.click(*arrow(2, True))                  # memory 4 -> 6 GB
    c.click(*arrow(3, False))                   # 4 -> 3 processors
    c.shot("wizard-parameters")
    c.click(FX + 110, FOOT, settle=3)         # CREATE
    ini = read_ini(os.path.join(WORK, "machines", "forms-linux", "machine.ini"))
    if not check(ini is not None, "the wizard wrote forms-linux/machine.ini"):
        return
    check((ini.get("name"), ini.get("profile"), ini.get("mem"), ini.get("cpus"), ini.get("install")) ==
          ("Forms Linux", "linux-x64", "6144", "3", "0"), "machine.ini holds the form's fields: %s" % ini)
    disk = os.path.join(WORK, "machines", "forms-linux", "disk.qcow2")
    check(ini.get("disk") == win(disk), "machine.ini names the new disk")
    info = sh("qemu-img", "info", "--output=json", disk).stdout
    check('"format": "qcow2"' in info and '"virtual-size": 17179869184' in info,
          "qemu-img reads a 16 GB qcow2")


def import_qcow2(c):
    c.click(*CARD_IMPORT, settle=1.5)
    c.dialog_path("Import a disk image", win(os.path.join(FIX, "Old Linux.qcow2")))
    c.shot("import-qcow2")
    c.click(FX + 90, FOOT, settle=2)  # IMPORT
    ini = read_ini(os.path.join(WORK, "machines", "old-linux", "machine.ini"))
    check(ini is not None and ini.get("disk") == win(os.path.join(FIX, "Old Linux.qcow2")),
          "IMPORT adds Old Linux with its image: %s" % ini)
    if ini:
        check((ini.get("profile"), ini.get("mem")) == ("linux-x64", "4096"), "the guessed profile and its memory")


def import_hfs(c):
    c.click(*CARD_IMPORT, settle=1.5)
    c.dialog_path("Import a disk image", win(os.path.join(FIX, "System753.dsk")))
    c.shot("import-hfs")
    c.click(FX + 90, FOOT, settle=4)  # MAKE BOOTABLE AND IMPORT
    folder = os.path.join(WORK, "machines", "system753")
    ini = read_ini(os.path.join(folder, "machine.ini"))
    copy = os.path.join(folder, "disk.img")
    if not check(ini is not None and ini.get("disk") == win(copy), "the HFS volume is imported as a copy: %s" % ini):
        return
    check(ini.get("profile") == "macos7-68k", "the copy runs as the 68k Mac")
    with open(copy, "rb") as f:
        head = f.read(2)
    check(head == b"ER", "the copy starts with a driver descriptor (no longer a bare volume)")
    out = subprocess.run(["parted", "---pretend-input-tty", copy, "unit", "s", "print"], input="i\n",
                         capture_output=True, text=True).stdout
    check("Partition Table: mac" in out and "Apple_HFS" in out or "hfs" in out.lower(),
          "parted reads the copy's partition map")


def edit_memory(c):
    # Library order: the newest first (System753, Old Linux, Forms Linux).
    c.click(1560, home_row(2))  # EDIT of Forms Linux
    c.shot("edit")
    c.click(*arrow(2, True))    # memory 6 -> 8 GB
    c.click(FX + 70, FOOT, settle=1)  # SAVE
    ini = read_ini(os.path.join(WORK, "machines", "forms-linux", "machine.ini"))
    check(ini is not None and ini.get("mem") == "8192", "SAVE writes the new memory: %s" % (ini and ini.get("mem")))


def delete_flows(c):
    folder = os.path.join(WORK, "machines", "forms-linux")
    c.click(1465, home_row(2), settle=6)  # LAUNCH Forms Linux through the bridge
    check(os.path.isfile(os.path.join(folder, "launch.log")), "the launch wrote launch.log")
    # Stop the guest: the QEMU the bridge started on this machine's disk. The
    # console goes home once it has noticed.
    pids = sh("pgrep", "-f", "qemu-system-x86_64.*" + folder).stdout.split()
    check(len(pids) == 1, "one QEMU runs the machine")
    for pid in pids:
        subprocess.run(["kill", pid])
    c.wiggle(4)
    c.click(1560, home_row(2))   # EDIT
    c.click(FX + FW - 60, FOOT)  # DELETE
    c.shot("edit-delete-question")
    c.click(*MODAL_FIRST, settle=1.5)
    check(not os.path.exists(os.path.join(folder, "disk.qcow2")), "DELETE removes the disk")
    check(not os.path.exists(os.path.join(folder, "launch.log")), "DELETE removes launch.log")
    check(not os.path.exists(os.path.join(folder, "machine.ini")), "DELETE removes the record")


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(os.path.join(WORK, "app"))
    os.makedirs(os.path.join(WORK, "machines"))
    shutil.copy(os.path.join(BUILD, "bin", "vunk.exe"), os.path.join(WORK, "app", "vunk.exe"))
    ini = ("[paths]\r\nqemu_dir=%s\r\nmachines_dir=%s\r\ntiger_root=%s\r\nmedia_dir=%s\r\n[library]\r\nseeded=1\r\n"
           % (win(os.path.join(BUILD, "qemu")), win(os.path.join(WORK, "machines")), win(os.path.join(WORK, "tiger")),
              win(os.path.join(WORK, "media"))))
    with open(os.path.join(WORK, "app", "vunk.ini"), "wb") as f:
        f.write(b"\xff\xfe" + ini.encode("utf-16-le"))
    c = Console()
    if not check(c.start(), "the console window shows"):
        return 1
    try:
        for step in (wizard, import_qcow2, import_hfs, edit_memory, delete_flows):
            step(c)
    finally:
        c.shot("last")
        c.stop()
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
