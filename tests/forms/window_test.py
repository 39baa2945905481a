#!/usr/bin/env python3
"""The machine forms and EJECT through the real console window: vunk.exe under
Wine on the test's Xvfb display, driven with real X input (xdotool), with the
real qemu-img and QEMU through the bridge. Widgets are found where the console
drew them (its VUNK_TEST_VIEW frames, tests/support/console.py) and every
wait has a deadline. What the program leaves on disk is checked with the Linux
tools (qemu-img info, parted); a running machine's drive through a second QMP
monitor of its own. PNG screenshots of the views stay in the build folder
(forms-*.png).
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from console import Checks, Console, sh, until, widget_id, win_path as win  # noqa: E402

BUILD = os.environ["VUNK_BUILD"]
WORK = os.path.join(BUILD, "forms-window")
FIX = os.path.join(BUILD, "forms-work")  # images made by fixture.sh
PROBE_PORT = int(os.environ.get("VUNK_FORMS_PORT", "18900"))
HOME, WIZARD, IMPORT, RUNNING, EDIT = 0, 1, 2, 3, 5
check = Checks()


def read_ini(path):
    """machine.ini (UTF-16LE) as a dict of its machine section, or None."""
    try:
        lines = open(path, "rb").read().decode("utf-16").splitlines()
    except (OSError, UnicodeError):
        return None
    return dict(line.split("=", 1) for line in lines if "=" in line)


def write_ini(path, section, values):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    text = "[%s]\r\n" % section + "".join("%s=%s\r\n" % kv for kv in values.items())
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))


def ini_of(folder):
    """A machine's record once a save has written all of it (the console
    writes its keys one by one, last_run last), or None."""
    ini = read_ini(os.path.join(WORK, "machines", folder, "machine.ini"))
    return ini if ini and "last_run" in ini else None


class Monitor:
    """A QMP client on a machine's second monitor (its extra arguments add
    one), so the test asks QEMU itself while the console holds the first."""

    def __init__(self, port, timeout=90):
        end = time.time() + timeout
        self.sock = None
        while self.sock is None and time.time() < end:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
            except OSError:
                time.sleep(0.3)
        if self.sock is None:
            raise OSError("no QMP monitor on port %d" % port)
        self.sock.settimeout(30)
        self.f = self.sock.makefile("rw", encoding="utf-8", newline="\n")
        self.f.readline()  # the greeting
        self.cmd("qmp_capabilities")

    def cmd(self, name, args=None):
        """The answer to one command, or None when the link ends first (as
        it may on "quit")."""
        try:
            self.f.write(json.dumps({"execute": name, "arguments": args or {}}) + "\n")
            self.f.flush()
            while True:
                line = self.f.readline()
                if not line:
                    return None
                msg = json.loads(line)
                if "event" not in msg:
                    return msg
        except OSError:
            return None

    def drive(self, name):
        """The query-block entry of the drive with that name, or None."""
        got = self.cmd("query-block") or {}
        return next((d for d in got.get("return", []) if d.get("device") == name), None)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


# ---- the machines that EJECT their disc -------------------------------------------------

def mac_machines():
    """A PowerPC and a 68k machine on file, each with a disc in its drive and
    a second QMP monitor for the test; a made-up Quadra ROM in the settings."""
    disks = os.path.join(WORK, "disks")
    os.makedirs(disks)
    out = {}
    for k, (name, profile) in enumerate((("Forms PPC", "macosx-ppc"), ("Forms Quadra", "macos7-68k"))):
        folder = name.lower().replace(" ", "-")
        disk = os.path.join(disks, folder + ".qcow2")
        disc = os.path.join(disks, folder + ".iso")
        sh("qemu-img", "create", "-q", "-f", "qcow2", disk, "32M")
        with open(disc, "wb") as f:
            f.truncate(1 << 20)
        port = PROBE_PORT + k
        write_ini(os.path.join(WORK, "machines", folder, "machine.ini"), "machine", {
            "name": name, "profile": profile, "disk": win(disk), "cdrom": win(disc), "mem": "256", "cpus": "1",
            "install": "0", "scratch": "0", "created": "1", "last_run": "0",
            "extra": "-chardev socket,id=probe,host=127.0.0.1,port=%d,server=on,wait=off -mon chardev=probe,"
                     "mode=control" % port})
        out[name] = (folder, port)
    # The ROM check wants its checksum and a reset entry; a branch to itself
    # there idles the Quadra.
    rom = bytearray(1 << 20)
    rom[0:10] = bytes([0xF1, 0xAC, 0xAD, 0x13, 0x00, 0x00, 0x00, 0x08, 0x60, 0xFE])
    with open(os.path.join(disks, "quadra.rom"), "wb") as f:
        f.write(rom)
    return out


def eject(c, name, folder, port):
    """LAUNCH the machine, EJECT in its view, then QEMU's own word on the drive."""
    upper = name.upper()
    if not check(c.click_row(upper, "launch", 30), "%s: LAUNCH is drawn on its row" % name):
        return
    try:
        mon = Monitor(port)
    except OSError as e:
        check(False, "%s: its QEMU answers on the second monitor (%s)" % (name, e))
        return
    try:
        cd = until(lambda: mon.drive("cd"), 30)
        check(cd is not None and "inserted" in cd, "%s: QEMU has the disc in the drive named cd" % name)
        v = c.wait(lambda v: v["view"] == RUNNING and c.text_at(v, upper) and c.widget_around(v, "EJECT"), 60)
        check(v is not None, "%s: its view shows EJECT" % name)
        c.shot(os.path.join(BUILD, "forms-eject-%s.png" % folder))
        check(c.click_text("EJECT"), "%s: EJECT clicked" % name)
        cd = until(lambda: (lambda d: d if d and "inserted" not in d else None)(mon.drive("cd")), 30)
        check(cd is not None and cd.get("tray_open") is True,
              "%s: query-block shows the tray open and empty: %s" % (name, cd))
        ini = until(lambda: (lambda i: i if i and i.get("cdrom") == "" else None)(ini_of(folder)), 20)
        check(ini is not None, "%s: machine.ini forgets the disc" % name)
        mon.cmd("quit")
    finally:
        mon.close()
    check(c.wait(lambda v: v["view"] == HOME and c.widget_in_row(v, upper, "launch") is not None, 60) is not None,
          "%s: the console goes home when its QEMU ends" % name)


# ---- the forms -------------------------------------------------------------------------------

def wizard(c):
    check(c.click("opt", 0), "home: INSTALL NEW SYSTEM is drawn")
    c.wait_text("NEW SYSTEM  //  CHOOSE A PROFILE")
    c.shot(os.path.join(BUILD, "forms-wizard-profiles.png"))

    # The profile row that shows LINUX and X86-64 // Q35.
    def linux_row(v):
        for t in v["texts"]:
            if t[0] != "LINUX":
                continue
            for wid, r in v["rects"].items():
                if r[0] <= t[1] < r[2] and r[1] <= t[2] < r[3] and any(
                        u[0] == "X86-64 // Q35" and r[0] <= u[1] < r[2] and r[1] <= u[2] < r[3] for u in v["texts"]):
                    return int(wid)
        return None

    check(c.click_found(linux_row), "the wizard offers LINUX on X86-64 // Q35")
    check(c.wait(lambda v: c.text_at(v, "NEW SYSTEM  //  LINUX") is not None, 20) is not None, "step 2 of the wizard")
    check(c.click("wizname"), "the name field is drawn")
    tries = c.type_into(widget_id("wizname", 0), "Forms Linux")
    check(tries > 0, "the name field shows the name typed (%d tries)" % tries)
    check(c.step_to(widget_id("wizgb", 0), "16 GB"), "disk 32 -> 16 GB")
    check(c.step_to(widget_id("wizsize", 0), "6 GB"), "memory 4 -> 6 GB")
    check(c.step_to(widget_id("wizsize", 1), "3"), "4 -> 3 processors")
    c.shot(os.path.join(BUILD, "forms-wizard-parameters.png"))
    check(c.click("wizgo"), "CREATE is drawn")
    ini = until(lambda: ini_of("forms-linux"))
    if not check(ini is not None, "the wizard wrote forms-linux/machine.ini"):
        return
    check((ini.get("name"), ini.get("profile"), ini.get("mem"), ini.get("cpus"), ini.get("install")) ==
          ("Forms Linux", "linux-x64", "6144", "3", "0"), "machine.ini holds the form's fields: %s" % ini)
    disk = os.path.join(WORK, "machines", "forms-linux", "disk.qcow2")
    check(ini.get("disk") == win(disk), "machine.ini names the new disk")
    info = sh("qemu-img", "info", "--output=json", disk).stdout
    check('"format": "qcow2"' in info and '"virtual-size": 17179869184' in info, "qemu-img reads a 16 GB qcow2")
    check(c.wait(lambda v: v["view"] == HOME, 30) is not None, "the console goes home after CREATE")


def open_import(c, path, shot):
    """IMPORT EXISTING DISK, the path typed into the file dialog, the form."""
    check(c.click("opt", 1, opens_dialog=True), "home: IMPORT EXISTING DISK is drawn")
    check(c.dialog_type("Import a disk image", win(path)), "the file dialog takes the path")
    check(c.wait(lambda v: v["view"] == IMPORT and str(widget_id("impgo", 0)) in v["rects"], 30) is not None,
          "the import form shows")
    c.shot(os.path.join(BUILD, shot))


def import_qcow2(c):
    open_import(c, os.path.join(FIX, "Old Linux.qcow2"), "forms-import-qcow2.png")
    check(c.click("impgo"), "IMPORT is drawn")
    ini = until(lambda: ini_of("old-linux"))
    check(ini is not None and ini.get("disk") == win(os.path.join(FIX, "Old Linux.qcow2")),
          "IMPORT adds Old Linux with its image: %s" % ini)
    if ini:
        check((ini.get("profile"), ini.get("mem")) == ("linux-x64", "4096"), "the guessed profile and its memory")
    check(c.wait(lambda v: v["view"] == HOME, 30) is not None, "the console goes home after IMPORT")


def import_hfs(c):
    open_import(c, os.path.join(FIX, "System753.dsk"), "forms-import-hfs.png")
    check(c.click("impgo"), "MAKE BOOTABLE AND IMPORT is drawn")
    folder = os.path.join(WORK, "machines", "system753")
    copy = os.path.join(folder, "disk.img")
    # The record is written once the bootable copy is complete.
    ini = until(lambda: ini_of("system753"), 120)
    if not check(ini is not None and ini.get("disk") == win(copy), "the HFS volume is imported as a copy: %s" % ini):
        return
    check(ini.get("profile") == "macos7-68k", "the copy runs as the 68k Mac")
    with open(copy, "rb") as f:
        head = f.read(2)
    check(head == b"ER", "the copy starts with a driver descriptor (no longer a bare volume)")
    out = subprocess.run(["parted", "---pretend-input-tty", copy, "unit", "s", "print"], input="i\n",
                         capture_output=True, text=True).stdout
    check("Partition Table: mac" in out and re.search(r"^\s*\d+\s.*\bhfs\b", out, re.M | re.I) is not None,
          "parted reads a Mac partition map with an HFS partition in the copy")
    check(c.wait(lambda v: v["view"] == HOME, 30) is not None, "the console goes home after the import")


def edit_memory(c):
    check(c.click_row("FORMS LINUX", "edit", 30), "EDIT is drawn on the Forms Linux row")
    check(c.wait(lambda v: v["view"] == EDIT and c.stepper_value(v, widget_id("editsize", 0)) == "6 GB", 30)
          is not None, "the edit form shows the memory")
    c.shot(os.path.join(BUILD, "forms-edit.png"))
    check(c.step_to(widget_id("editsize", 0), "8 GB"), "memory 6 -> 8 GB")
    check(c.click("editsave"), "SAVE is drawn")
    ini = until(lambda: (lambda i: i if i and i.get("mem") == "8192" else None)(ini_of("forms-linux")), 30)
    check(ini is not None, "SAVE writes the new memory: %s" % ini_of("forms-linux"))
    check(c.wait(lambda v: v["view"] == HOME, 30) is not None, "the console goes home after SAVE")


def delete_flows(c):
    folder = os.path.join(WORK, "machines", "forms-linux")
    check(c.click_row("FORMS LINUX", "launch", 30), "LAUNCH is drawn on the Forms Linux row")
    check(until(lambda: os.path.isfile(os.path.join(folder, "launch.log")), 60), "the launch wrote launch.log")
    # Stop the guest: the QEMU the bridge started on this machine's disk. The
    # console goes home once it has noticed.
    # QEMU's option values double every comma of the path.
    pids = until(lambda: sh("pgrep", "-f", "qemu-system-x86_64.*" + re.escape(folder.replace(",", ",,"))).stdout.split(),
                 60)
    check(len(pids) == 1, "one QEMU runs the machine")
    for pid in pids:
        subprocess.run(["kill", pid])
    check(c.wait(lambda v: v["view"] == HOME and c.text_at(v, "FORMS LINUX"), 60) is not None,
          "the console goes home when the QEMU ends")
    check(c.click_row("FORMS LINUX", "edit", 30), "EDIT is drawn on the Forms Linux row")
    check(c.click("editdelete"), "DELETE is drawn")
    check(c.wait(lambda v: v["modal"] == "DELETE FORMS LINUX?", 20) is not None, "DELETE asks first")
    c.shot(os.path.join(BUILD, "forms-edit-delete-question.png"))
    check(c.click("modal", 0), "the question's DELETE is drawn")
    gone = until(lambda: not any(os.path.exists(os.path.join(folder, f))
                                 for f in ("disk.qcow2", "launch.log", "machine.ini")), 30)
    check(gone, "DELETE removes the disk, launch.log and the record: %s" %
          (os.listdir(folder) if os.path.isdir(folder) else "folder gone"))


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(os.path.join(WORK, "app"))
    os.makedirs(os.path.join(WORK, "machines"))
    shutil.copy(os.path.join(BUILD, "bin", "vunk.exe"), os.path.join(WORK, "app", "vunk.exe"))
    macs = mac_machines()
    write_ini(os.path.join(WORK, "app", "vunk.ini"), "paths", {
        "qemu_dir": win(os.path.join(BUILD, "qemu")), "machines_dir": win(os.path.join(WORK, "machines")),
        "tiger_root": win(os.path.join(WORK, "tiger")), "media_dir": win(os.path.join(WORK, "media")),
        "mac_rom": win(os.path.join(WORK, "disks", "quadra.rom"))})
    with open(os.path.join(WORK, "app", "vunk.ini"), "ab") as f:
        f.write("[library]\r\nseeded=1\r\n".encode("utf-16-le"))
    c = Console(os.path.join(WORK, "app", "vunk.exe"), WORK, {"VUNK_TEST_DISPLAY": "none", "VUNK_NO_WHPX": "1"})
    if not check(c.start(), "the console window shows"):
        return 1
    try:
        for name, (folder, port) in macs.items():
            eject(c, name, folder, port)
        for step in (wizard, import_qcow2, import_hfs, edit_memory, delete_flows):
            step(c)
    finally:
        c.shot(os.path.join(BUILD, "forms-last.png"))
        c.stop()
    print("%d failed" % len(check.failed))
    return 1 if check.failed else 0


if __name__ == "__main__":
    sys.exit(main())
