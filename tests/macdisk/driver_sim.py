"""Runs the built-in 68k SCSI driver against a simulated Mac OS and SCSI disk.

The driver cannot boot here (no Quadra ROM), so this plays the parts of the
system around it, as the classic Mac OS documentation describes them: the
ROM entering the image at byte 0 with the SCSI ID in D5, _DrvrInstall,
_AddDrive, _PostEvent, the unit table and the drive queue in low memory, the
Device Manager calling open/prime/control/status/close with A0 = parameter
block and A1 = DCE, JIODone, and the original SCSI Manager (_SCSIDispatch)
in front of a disk that is a bootable copy written by the program.

    python3 driver_sim.py macdisk/scsi_driver.cpp DISK.img

The driver is taken from the committed table (what the program writes).
"""
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from m68k import Cpu, Stop, sext  # noqa: E402

MEM = 0x100000
BASE = 0x20000           # where the ROM put the driver
STACK = 0xF0000
UNIT_TABLE = 0x4000
UNITS = 64
HEAP = 0x30000
PB = 0x6000              # parameter block
BUF = 0x40000            # data buffer
RETURN = 0xFFF00         # "the caller" after an RTS
IODONE = 0xFFF10         # JIODone
OLD_DRIVE = 0x5000       # a drive already in the queue (number 8)

failures = []


def check(ok, what):
    print(("PASS  " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def s16(v):
    return sext(v, 2)


def cdb_fields(cdb):
    """Operation code, first block and block count of a READ/WRITE(10)."""
    return cdb[0], int.from_bytes(cdb[2:6], "big"), int.from_bytes(cdb[7:9], "big")


class Mac:
    """The simulated system: memory, traps and one SCSI disk."""

    def __init__(self, driver, disk, scsi_id=2, attention=1, broken=False):
        self.mem = bytearray(MEM)
        self.mem[BASE:BASE + len(driver)] = driver
        self.disk = bytearray(disk)
        self.scsi_id = scsi_id
        self.attention = attention   # commands answered with CHECK CONDITION first
        self.broken = broken         # every command fails
        self.cpu = Cpu(self.mem, self.trap)
        self.heap = HEAP
        self.installed = {}
        self.removed = []
        self.drives = []
        self.events = []
        self.commands = []
        self.phase = "free"
        cpu = self.cpu
        cpu.wr(0x11C, 4, UNIT_TABLE)        # UTableBase
        cpu.wr(0x1D2, 2, UNITS)             # UnitNtryCnt
        cpu.wr(0x308, 2, 0)                 # DrvQHdr: qFlags, qHead, qTail
        cpu.wr(0x30A, 4, OLD_DRIVE)
        cpu.wr(0x30E, 4, OLD_DRIVE)
        cpu.wr(OLD_DRIVE + 6, 2, 8)         # dQDrive 8 is taken
        cpu.wr(0x8FC, 4, IODONE)            # JIODone

    def alloc(self, n):
        p = self.heap
        self.heap += (n + 3) & ~3
        return p

    # ---- calls into the driver ------------------------------------------------
    def call(self, pc, regs=None):
        cpu = self.cpu
        cpu.d = [0x11110000 + i for i in range(8)]
        cpu.a = [0x22220000 + 2 * i for i in range(7)] + [STACK]
        for k, v in (regs or {}).items():
            (cpu.d if k[0] == "d" else cpu.a)[int(k[1])] = v
        before = cpu.d[:] + cpu.a[:]
        cpu.push(4, RETURN)
        cpu.pc = pc
        end = cpu.run({RETURN, IODONE})
        return end, before

    def entry(self, index):
        """Address of open (0), prime, control, status or close (4)."""
        return BASE + 4 + self.cpu.rd(BASE + 4 + 8 + 2 * index, 2)

    def pb(self, trap, **fields):
        self.mem[PB:PB + 80] = bytes(80)
        self.cpu.wr(PB + 6, 2, trap)
        for off, size, v in fields.values():
            self.cpu.wr(PB + off, size, v)
        return PB

    # ---- traps ----------------------------------------------------------------
    def trap(self, cpu, op):
        if op == 0xA03D:      # _DrvrInstall: A0 driver, D0.W refNum
            ref = s16(cpu.d[0])
            unit = ~ref
            dce = self.alloc(64)
            handle = self.alloc(4)
            cpu.wr(handle, 4, dce)
            cpu.wr(UNIT_TABLE + 4 * unit, 4, handle)
            self.installed[ref] = (cpu.a[0], dce)
            cpu.d[0] = 0
        elif op == 0xA03E:    # _DrvrRemove: D0.W refNum
            self.removed.append(s16(cpu.d[0]))
            cpu.d[0] = 0
        elif op == 0xA04E:    # _AddDrive: A0 element, D0 = drive << 16 | refNum
            el = cpu.a[0]
            cpu.wr(el + 6, 2, cpu.d[0] >> 16)
            cpu.wr(el + 8, 2, cpu.d[0])
            self.drives.append((cpu.d[0] >> 16, s16(cpu.d[0]), el))
            cpu.d[0] = 0
        elif op == 0xA02F:    # _PostEvent: A0.W code, D0.L message
            self.events.append((cpu.a[0] & 0xFFFF, cpu.d[0]))
            cpu.d[0] = 0
        elif op == 0xA815:
            self.scsi(cpu)
        else:
            raise Stop("trap %04X" % op)
        # Register-based OS traps keep D1, D2 and A1; Pascal ones keep D3-D7/A2-A6.
        # Either way the scratch registers are fair game: spoil them.
        if op == 0xA815:
            cpu.d[1] = cpu.d[2] = 0xDEADBEEF
            cpu.a[0] = cpu.a[1] = 0xDEADBEE0

    def scsi(self, cpu):
        sel = cpu.pop(2)
        res = 0
        if sel == 1:          # SCSIGet
            if self.phase != "free":
                raise Stop("SCSIGet with the bus in use")
            self.phase = "got"
        elif sel == 2:        # SCSISelect(targetID)
            target = cpu.pop(2)
            if self.phase != "got":
                raise Stop("SCSISelect without SCSIGet")
            if target != self.scsi_id:
                self.phase = "free"
                res = 2       # scCommErr: nobody there
            else:
                self.phase = "selected"
        elif sel == 3:        # SCSICmd(buffer, count)
            count = cpu.pop(2)
            buf = cpu.pop(4)
            if self.phase != "selected" or count != 10:
                raise Stop("SCSICmd out of order or not 10 bytes")
            cdb = bytes(self.mem[buf:buf + 10])
            self.cdb = cdb
            self.moved = 0
            self.commands.append(cdb)
            self.failing = self.broken or self.attention > 0
            if self.attention > 0:
                self.attention -= 1
            self.phase = "command"
        elif sel in (5, 6):   # SCSIRead(tib) / SCSIWrite(tib)
            tib = cpu.pop(4)
            if self.phase != "command":
                raise Stop("data phase without a command")
            if self.failing:
                res = 5       # scPhaseErr: the target went to status
            else:
                res = self.run_tib(cpu, tib, write=(sel == 6))
            self.phase = "data"
        elif sel == 4:        # SCSIComplete(stat, message, wait)
            cpu.pop(4)
            msg = cpu.pop(4)
            stat = cpu.pop(4)
            if self.phase not in ("command", "data"):
                raise Stop("SCSIComplete without a command")
            cpu.wr(stat, 2, 2 if self.failing else 0)   # CHECK CONDITION or GOOD
            cpu.wr(msg, 2, 0)
            if not self.failing:
                n = cdb_fields(self.cdb)[2]
                if self.moved != n * 512:
                    raise Stop("moved %d bytes for %d blocks" % (self.moved, n))
            self.phase = "free"
        else:
            raise Stop("SCSI selector %d" % sel)
        cpu.wr(cpu.a[7], 2, res)       # the function result stays on the stack

    def run_tib(self, cpu, tib, write):
        op, lba, n = cdb_fields(self.cdb)
        if op != (0x2A if write else 0x28):
            raise Stop("data direction does not match the command %02X" % op)
        if (lba + n) * 512 > len(self.disk):
            raise Stop("block %d beyond the disk" % (lba + n))
        pos = lba * 512
        pc = tib
        for _ in range(100000):
            code = cpu.rd(pc, 2)
            p1, p2 = cpu.rd(pc + 2, 4), cpu.rd(pc + 6, 4)
            if code == 1:     # scInc
                if self.moved + p2 > n * 512:
                    raise Stop("TIB moves more than the command asked")
                at = pos + self.moved
                if write:
                    self.disk[at:at + p2] = self.mem[p1:p1 + p2]
                else:
                    self.mem[p1:p1 + p2] = self.disk[at:at + p2]
                self.moved += p2
                cpu.wr(pc + 2, 4, p1 + p2)
                pc += 10
            elif code == 5:   # scLoop
                p2 = (p2 - 1) & 0xFFFFFFFF
                cpu.wr(pc + 6, 4, p2)
                pc = pc + sext(p1, 4) if p2 > 0 else pc + 10
            elif code == 7:   # scStop
                return 0
            else:
                raise Stop("TIB opcode %d" % code)
        raise Stop("TIB does not stop")


def install(driver, disk, d5=None, **kw):
    mac = Mac(driver, disk, **kw)
    end, before = mac.call(BASE, {"d5": mac.scsi_id if d5 is None else d5})
    return mac, end, before


def load_driver(path):
    text = open(path).read()
    table = text[text.index("kVunkScsiDriver[] = {"):]
    table = table[:table.index("};")]
    return bytes(int(h, 16) for h in re.findall(r"0x([0-9A-Fa-f]{2})", table))


def main():
    driver = load_driver(sys.argv[1])
    disk = open(sys.argv[2], "rb").read()
    hfs_start, hfs_blocks = 96, int.from_bytes(disk[1536 + 12:1536 + 16], "big")

    # ---- installation at start-up ---------------------------------------------
    mac, end, before = install(driver, disk)
    cpu = mac.cpu
    check(end == RETURN and cpu.a[7] == STACK, "install returns to the ROM with the stack balanced")
    check(cpu.d[1:] == before[1:8] and cpu.a == before[8:], "install keeps the ROM's registers")
    check(cpu.d[0] & 0xFFFF == 0, "install reports no error")
    if -35 not in mac.installed or not mac.drives:
        print("FAIL  no drive installed: the remaining checks need one")
        return 1
    check(list(mac.installed) == [-35], "installed as unit 34 (refNum -35) for SCSI ID 2")
    drvr, dce = mac.installed[-35]
    check(drvr == BASE + 4, "the DCE's driver is the header after the branch")
    check(cpu.rd(dce, 4) == BASE + 4, "dCtlDriver points at the header")
    flags = cpu.rd(dce + 4, 2)
    check(flags & 0xFF00 == cpu.rd(BASE + 4, 2) & 0xFF00, "dCtlFlags carries drvrFlags")
    check(flags & 0x20 and not flags & 0x40, "open, and a pointer (not RAM-based handle) driver")
    check(s16(cpu.rd(dce + 24, 2)) == -35, "dCtlRefNum")
    check(len(mac.drives) == 1 and mac.drives[0][:2] == (9, -35),
          "AddDrive with the first free drive number (9) and the refNum")
    el = mac.drives[0][2]
    check(cpu.rd(el - 4, 4) == 0x00080100, "drive flags: writable, fixed disk in place, installed")
    check(cpu.rd(el + 4, 2) == 1, "qType 1 (32-bit size)")
    check(cpu.rd(el + 10, 2) == 0, "dQFSID 0 (HFS)")
    size = cpu.rd(el + 12, 2) | cpu.rd(el + 14, 2) << 16
    check(size == hfs_blocks, "drive size is the HFS partition: %d blocks" % size)
    check(mac.events == [(7, 9)], "a disk-inserted event for drive 9")
    check(mac.commands and cdb_fields(mac.commands[0])[:2] == (0x28, 1),
          "the map is read with READ(10) from block 1 (after a unit attention)")

    # DeviceIdent form of D5 (bus 0, target 2, LUN 0).
    mac2, end2, _ = install(driver, disk, d5=0x0200)
    check(list(mac2.installed) == [-35] and mac2.drives, "a device identification in D5 gives the same unit")

    # ---- prime: reads and writes of the partition ------------------------------
    def prime(trap, pos, count, buf=BUF):
        cpu.wr(dce + 16, 4, pos)
        pb = mac.pb(trap, buf=(32, 4, buf), req=(36, 4, count))
        mac.commands = []
        return mac.call(mac.entry(1), {"a0": pb, "a1": dce})

    end, before = prime(0xA002, 1024, 1024)
    vol = hfs_start * 512
    check(end == IODONE, "a queued read ends through JIODone")
    check(cpu.d[0] & 0xFFFF == 0 and cpu.a[1] == dce and cpu.a[0] == PB, "... with D0 noErr, A0 and A1 intact")
    check(cpu.a[7] == STACK - 4, "... and the stack as it came")
    check(cpu.d[3:8] == before[3:8] and cpu.a[2:7] == before[10:15], "... and D3-D7/A2-A6 kept")
    check(bytes(mac.mem[BUF:BUF + 1024]) == disk[vol + 1024:vol + 2048], "the read brings the volume's blocks 2-3")
    check(mac.mem[BUF:BUF + 2] == b"BD", "... which start with the master directory block")
    check(cpu.rd(PB + 40, 4) == 1024, "ioActCount")
    check(cpu.rd(dce + 16, 4) == 2048, "dCtlPosition advanced")
    check([cdb_fields(c) for c in mac.commands] == [(0x28, 96 + 2, 2)], "one READ(10) of 2 blocks at block 98")

    end, _ = prime(0xA202, 0, 512)
    check(end == RETURN and cpu.d[0] & 0xFFFF == 0, "an immediate read returns with RTS")

    # A write of 300 blocks: two commands (256 + 44), the disk changes.
    data = bytes((i * 7 + 3) & 0xFF for i in range(300 * 512))
    mac.mem[BUF:BUF + len(data)] = data
    end, _ = prime(0xA003, 100 * 512, len(data))
    at = vol + 100 * 512
    check(end == IODONE and cpu.d[0] & 0xFFFF == 0, "a 300-block write succeeds")
    check(bytes(mac.disk[at:at + len(data)]) == data, "... and lands at the right place")
    check([cdb_fields(c) for c in mac.commands] == [(0x2A, 196, 256), (0x2A, 452, 44)],
          "... as WRITE(10) commands of 256 and 44 blocks")
    check(bytes(mac.disk[:vol]) == disk[:vol], "the prefix is untouched")

    for what, pos, count in (("past the end", (hfs_blocks - 1) * 512, 1024),
                             ("not a whole block", 0, 100), ("a misaligned position", 10, 512)):
        end, _ = prime(0xA002, pos, count)
        check(end == IODONE and s16(cpu.d[0]) == -50 and not mac.commands, "paramErr for " + what)

    end, _ = prime(0xA002, (hfs_blocks - 1) * 512, 512)
    check(s16(cpu.d[0]) == 0, "the last block of the partition is readable")

    # ---- status, control, close --------------------------------------------------
    def ctl(index, trap, code):
        pb = mac.pb(trap, code=(26, 2, code))
        return mac.call(mac.entry(index), {"a0": pb, "a1": dce})

    end, _ = ctl(3, 0xA005, 8)
    sts = bytes(mac.mem[PB + 28:PB + 50])
    check(end == IODONE and cpu.d[0] & 0xFFFF == 0, "status 8 (drive status) answers noErr")
    check(sts[0:2] == b"\0\0" and sts[2:6] == bytes([0, 8, 1, 0]), "... track 0, writable, fixed disk, installed")
    check(int.from_bytes(sts[10:12], "big") == 1 and int.from_bytes(sts[12:14], "big") == 9 and
          s16(int.from_bytes(sts[14:16], "big")) == -35 and sts[18:22] == bytes(4),
          "... qType 1, drive 9, refNum -35")
    end, _ = ctl(3, 0xA005, 43)
    check(end == IODONE and s16(cpu.d[0]) == -18, "an unknown status code gives statusErr")
    end, _ = ctl(2, 0xA004, 1)
    check(end == RETURN and cpu.d[0] & 0xFFFF == 0, "KillIO answers noErr with RTS")
    for code in (5, 6, 7):
        end, _ = ctl(2, 0xA004, code)
        check(end == IODONE and cpu.d[0] & 0xFFFF == 0, "control %d (verify/format/eject) answers noErr" % code)
    end, _ = ctl(2, 0xA204, 99)
    check(end == RETURN and s16(cpu.d[0]) == -17, "an unknown control code gives controlErr (immediate: RTS)")
    end, _ = mac.call(mac.entry(4), {"a0": PB, "a1": dce})
    check(end == RETURN and s16(cpu.d[0]) == -24, "close is refused with closErr")
    end, _ = mac.call(mac.entry(0), {"a0": PB, "a1": dce})
    check(end == RETURN and cpu.d[0] & 0xFFFF == 0 and len(mac.drives) == 1, "a second open adds no drive")

    # ---- failures ------------------------------------------------------------------
    mac.broken = True
    end, _ = prime(0xA002, 0, 512)
    check(end == IODONE and s16(cpu.d[0]) == -36 and len(mac.commands) == 3,
          "a disk that keeps failing: ioErr after three attempts")

    no_hfs = bytearray(disk)
    no_hfs[1536 + 48:1536 + 58] = b"Apple_Free"
    mac3, end, _ = install(driver, bytes(no_hfs))
    check(end == RETURN and s16(mac3.cpu.d[0]) == -23 and mac3.removed == [-35] and not mac3.drives,
          "no HFS partition: openErr, the driver removed, no drive")
    # Byte positions are 32-bit: a partition past 4 GiB is offered as 4 GiB - 512.
    huge = bytearray(disk)
    huge[1536 + 12:1536 + 16] = (16 << 20).to_bytes(4, "big")
    mac5, end, _ = install(driver, bytes(huge))
    el = mac5.drives[0][2] if mac5.drives else 0
    check(el and (mac5.cpu.rd(el + 12, 2) | mac5.cpu.rd(el + 14, 2) << 16) == 0x7FFFFF,
          "a partition of 8 GiB is offered as 0x7FFFFF blocks")
    mac4, end, _ = install(driver, disk, scsi_id=3, d5=2)
    check(end == RETURN and not mac4.drives and mac4.removed == [-35], "nobody at the ID: no drive")

    print("%d checks failed" % len(failures) if failures else "all driver checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Stop as e:
        print("FAIL  the driver stopped the simulation: %s" % e)
        sys.exit(1)
