"""A small 68000 interpreter for running the built-in SCSI driver in tests.

It knows the user-mode integer instructions and addressing modes the driver
is written with (no X flag: nothing the driver uses reads it) and stops on
anything else, so a change to the driver that needs more fails loudly
instead of running wrongly. A-line words (the Mac OS traps) are handed to a
callback. Memory is a flat bytearray; word and long accesses must be even,
as on the 68000.
"""


class Stop(Exception):
    pass


MASK = {1: 0xFF, 2: 0xFFFF, 4: 0xFFFFFFFF}
SIGN = {1: 0x80, 2: 0x8000, 4: 0x80000000}


def sext(v, size):
    v &= MASK[size]
    return v - (MASK[size] + 1) if v & SIGN[size] else v


class Cpu:
    def __init__(self, mem, trap):
        self.mem = mem
        self.trap = trap
        self.d = [0] * 8
        self.a = [0] * 8
        self.pc = 0
        self.n = self.z = self.v = self.c = 0
        self.steps = 0

    # ---- memory -------------------------------------------------------------
    def at(self, addr, size):
        addr &= 0xFFFFFFFF
        if size > 1 and addr & 1:
            raise Stop("odd address %06X" % addr)
        if addr + size > len(self.mem):
            raise Stop("access outside memory at %08X" % addr)
        return addr

    def rd(self, addr, size):
        addr = self.at(addr, size)
        return int.from_bytes(self.mem[addr:addr + size], "big")

    def wr(self, addr, size, value):
        addr = self.at(addr, size)
        self.mem[addr:addr + size] = (value & MASK[size]).to_bytes(size, "big")

    def fetch(self, size=2):
        if size == 1:
            v = self.rd(self.pc, 2) & 0xFF
            self.pc += 2
            return v
        v = self.rd(self.pc, size)
        self.pc += size
        return v

    def push(self, size, value):
        self.a[7] = (self.a[7] - size) & 0xFFFFFFFF
        self.wr(self.a[7], size, value)

    def pop(self, size):
        v = self.rd(self.a[7], size)
        self.a[7] = (self.a[7] + size) & 0xFFFFFFFF
        return v

    # ---- effective addresses --------------------------------------------------
    def ea(self, mode, reg, size):
        """Returns ('d', n) / ('a', n) / ('m', address) / ('i', value)."""
        if mode == 0:
            return ("d", reg)
        if mode == 1:
            return ("a", reg)
        if mode == 2:
            return ("m", self.a[reg])
        if mode in (3, 4):  # (An)+ and -(An); bytes keep the stack even
            step = 2 if (reg == 7 and size == 1) else size
            if mode == 4:
                self.a[reg] = (self.a[reg] - step) & 0xFFFFFFFF
            addr = self.a[reg]
            if mode == 3:
                self.a[reg] = (addr + step) & 0xFFFFFFFF
            return ("m", addr)
        if mode == 5:
            base = self.a[reg]
            return ("m", (base + sext(self.fetch(), 2)) & 0xFFFFFFFF)
        if mode == 6:
            return ("m", self.indexed(self.a[reg]))
        if reg == 0:
            return ("m", sext(self.fetch(), 2) & 0xFFFFFFFF)
        if reg == 2:
            base = self.pc
            return ("m", (base + sext(self.fetch(), 2)) & 0xFFFFFFFF)
        if reg == 4:
            return ("i", self.fetch(size))
        raise Stop("addressing mode 7/%d" % reg)

    def indexed(self, base):
        ext = self.fetch()
        if ext & 0x0100:
            raise Stop("full extension word")
        xn = (self.a if ext & 0x8000 else self.d)[(ext >> 12) & 7]
        x = xn if ext & 0x0800 else sext(xn, 2)
        return (base + x + sext(ext, 1)) & 0xFFFFFFFF

    def get(self, loc, size):
        kind, v = loc
        if kind == "d":
            return self.d[v] & MASK[size]
        if kind == "a":
            return self.a[v] & MASK[size]
        if kind == "m":
            return self.rd(v, size)
        return v & MASK[size]

    def put(self, loc, size, value):
        kind, v = loc
        if kind == "d":
            self.d[v] = (self.d[v] & ~MASK[size] & 0xFFFFFFFF) | (value & MASK[size])
        elif kind == "m":
            self.wr(v, size, value)
        else:
            raise Stop("write to an address register or an immediate")

    # ---- flags ------------------------------------------------------------------
    def logic(self, r, size):
        r &= MASK[size]
        self.n = int(bool(r & SIGN[size]))
        self.z = int(r == 0)
        self.v = self.c = 0
        return r

    def sub(self, dst, src, size):
        r = (dst - src) & MASK[size]
        self.n = int(bool(r & SIGN[size]))
        self.z = int(r == 0)
        self.c = int(src & MASK[size] > dst & MASK[size])
        sd, ss, sr = dst & SIGN[size], src & SIGN[size], r & SIGN[size]
        self.v = int(bool((sd != ss) and (sr != sd)))
        return r

    def add(self, dst, src, size):
        full = (dst & MASK[size]) + (src & MASK[size])
        r = full & MASK[size]
        self.n = int(bool(r & SIGN[size]))
        self.z = int(r == 0)
        self.c = int(full > MASK[size])
        sd, ss, sr = dst & SIGN[size], src & SIGN[size], r & SIGN[size]
        self.v = int(bool((sd == ss) and (sr != sd)))
        return r

    def cond(self, cc):
        n, z, v, c = self.n, self.z, self.v, self.c
        return [True, False, not c and not z, c or z, not c, c, not z, z,
                not v, v, not n, n, n == v, n != v, not z and n == v, z or n != v][cc]

    # ---- execution ------------------------------------------------------------
    def run(self, stop_at, limit=200000):
        """Runs until the PC reaches one of the addresses in stop_at."""
        while self.pc not in stop_at:
            self.steps += 1
            if self.steps > limit:
                raise Stop("no end after %d instructions" % limit)
            self.step()
        return self.pc

    def step(self):
        at = self.pc
        op = self.fetch()
        hi = op >> 12
        try:
            handler = (self.g0, self.move, self.move, self.move, self.g4, self.g5, self.g6,
                       self.moveq, self.g8, self.g9, self.aline, self.gb, None, self.gd,
                       self.ge, None)[hi]
            if handler is None or handler(op) is False:
                raise Stop("unknown")
        except Stop as e:
            raise Stop("%s at %06X (opcode %04X)" % (e, at, op)) from None

    def g0(self, op):  # BTST/BSET with an immediate bit number, ANDI, CMPI
        mode, reg = (op >> 3) & 7, op & 7
        if op & 0x0100:
            return False
        if (op >> 8) == 0x08:
            kind = (op >> 6) & 3
            if kind not in (0, 3):
                return False
            bit = self.fetch() & 0xFF
            size = 4 if mode == 0 else 1
            loc = self.ea(mode, reg, size)
            val = self.get(loc, size)
            bit %= 32 if size == 4 else 8
            self.z = int(not (val >> bit) & 1)
            if kind == 3:
                self.put(loc, size, val | 1 << bit)
            return True
        kind = (op >> 9) & 7
        if kind not in (1, 6) or (op >> 6) & 3 == 3:
            return False
        size = (1, 2, 4)[(op >> 6) & 3]
        imm = self.fetch(size)
        loc = self.ea(mode, reg, size)
        val = self.get(loc, size)
        if kind == 1:
            self.put(loc, size, self.logic(val & imm, size))
        else:
            self.sub(val, imm, size)
        return True

    def move(self, op):
        size = {1: 1, 3: 2, 2: 4}[op >> 12]
        src = self.get(self.ea((op >> 3) & 7, op & 7, size), size)
        dmode, dreg = (op >> 6) & 7, (op >> 9) & 7
        if dmode == 1:  # MOVEA: sign-extended, flags untouched
            self.a[dreg] = sext(src, size) & 0xFFFFFFFF
            return True
        self.put(self.ea(dmode, dreg, size), size, self.logic(src, size))
        return True

    def g4(self, op):
        mode, reg = (op >> 3) & 7, op & 7
        if op == 0x4E75:  # RTS
            self.pc = self.pop(4)
            return True
        if op & 0x01C0 == 0x01C0:  # LEA
            kind, addr = self.ea(mode, reg, 4)
            if kind != "m":
                return False
            self.a[(op >> 9) & 7] = addr
            return True
        if op & 0xFFF8 == 0x4840:  # SWAP
            v = self.d[reg]
            self.d[reg] = self.logic(((v << 16) | (v >> 16)) & 0xFFFFFFFF, 4)
            return True
        if op & 0xFFC0 == 0x4840:  # PEA
            kind, addr = self.ea(mode, reg, 4)
            if kind != "m":
                return False
            self.push(4, addr)
            return True
        if op & 0xFB80 == 0x4880 and mode >= 2:  # MOVEM
            return self.movem(op, mode, reg)
        sub = (op >> 8) & 0xF
        bits = (op >> 6) & 3
        if bits == 3:
            return False
        size = (1, 2, 4)[bits]
        if sub == 0x2:  # CLR
            loc = self.ea(mode, reg, size)
            self.put(loc, size, self.logic(0, size))
            return True
        if sub == 0x6:  # NOT
            loc = self.ea(mode, reg, size)
            self.put(loc, size, self.logic(~self.get(loc, size), size))
            return True
        if sub == 0xA:  # TST
            self.logic(self.get(self.ea(mode, reg, size), size), size)
            return True
        return False

    def movem(self, op, mode, reg):  # (An)+ loads and -(An) stores only
        size = 4 if op & 0x40 else 2
        mask = self.fetch()
        regs = [(self.d, i) for i in range(8)] + [(self.a, i) for i in range(8)]
        addr = self.a[reg]
        if op & 0x0400 and mode == 3:
            for i in range(16):
                if mask & (1 << i):
                    bank, n = regs[i]
                    bank[n] = sext(self.rd(addr, size), size) & 0xFFFFFFFF
                    addr += size
        elif not op & 0x0400 and mode == 4:  # the mask is reversed
            for i in range(16):
                if mask & (1 << i):
                    bank, n = regs[15 - i]
                    addr -= size
                    self.wr(addr, size, bank[n])
        else:
            return False
        self.a[reg] = addr
        return True

    def g5(self, op):
        mode, reg = (op >> 3) & 7, op & 7
        if (op >> 6) & 3 == 3:
            cc = (op >> 8) & 0xF
            if mode == 1:  # DBcc
                disp = sext(self.fetch(), 2)
                if not self.cond(cc):
                    cnt = (self.d[reg] - 1) & 0xFFFF
                    self.d[reg] = (self.d[reg] & 0xFFFF0000) | cnt
                    if cnt != 0xFFFF:
                        self.pc = (self.pc - 2 + disp) & 0xFFFFFFFF
                return True
            loc = self.ea(mode, reg, 1)  # Scc
            self.put(loc, 1, 0xFF if self.cond(cc) else 0)
            return True
        size = (1, 2, 4)[(op >> 6) & 3]
        q = (op >> 9) & 7 or 8
        loc = self.ea(mode, reg, size)
        v = self.get(loc, size)
        self.put(loc, size, self.sub(v, q, size) if op & 0x100 else self.add(v, q, size))
        return True

    def g6(self, op):
        cc = (op >> 8) & 0xF
        base = self.pc
        disp = sext(op, 1)
        if disp == 0:
            disp = sext(self.fetch(), 2)
        elif disp == -1:
            raise Stop("long branch")
        target = (base + disp) & 0xFFFFFFFF
        if cc == 1:  # BSR
            self.push(4, self.pc)
            self.pc = target
        elif self.cond(cc):
            self.pc = target
        return True

    def moveq(self, op):
        if op & 0x100:
            return False
        self.d[(op >> 9) & 7] = sext(op, 1) & 0xFFFFFFFF
        self.logic(op & 0xFF, 1)
        self.n = int(bool(op & 0x80))
        return True

    def alu(self, op, fn, sign=0):
        """OR (sign 0, into a data register only), SUB/SUBA (-1), ADD/ADDA (1)."""
        dn, opmode = (op >> 9) & 7, (op >> 6) & 7
        mode, reg = (op >> 3) & 7, op & 7
        if opmode in (3, 7):  # to an address register: whole register, no flags
            if not sign:
                return False
            size = 2 if opmode == 3 else 4
            src = sext(self.get(self.ea(mode, reg, size), size), size)
            self.a[dn] = (self.a[dn] + sign * src) & 0xFFFFFFFF
            return True
        size = (1, 2, 4)[opmode & 3]
        loc = self.ea(mode, reg, size)
        if opmode < 4:  # <ea> op Dn -> Dn
            self.put(("d", dn), size, fn(self.d[dn], self.get(loc, size), size))
        elif sign:  # Dn op <ea> -> <ea>
            self.put(loc, size, fn(self.get(loc, size), self.d[dn], size))
        else:
            return False
        return True

    def g8(self, op):
        return self.alu(op, lambda d, s, size: self.logic(d | s, size))

    def g9(self, op):
        return self.alu(op, self.sub, -1)

    def gd(self, op):
        return self.alu(op, self.add, 1)

    def gb(self, op):  # CMP, CMPM
        dn = (op >> 9) & 7
        opmode = (op >> 6) & 7
        mode, reg = (op >> 3) & 7, op & 7
        if opmode in (3, 7):
            return False
        size = (1, 2, 4)[opmode & 3]
        if opmode < 3:
            self.sub(self.d[dn], self.get(self.ea(mode, reg, size), size), size)
            return True
        if mode == 1:  # CMPM (Ay)+,(Ax)+
            src = self.get(self.ea(3, reg, size), size)
            dst = self.get(self.ea(3, dn, size), size)
            self.sub(dst, src, size)
            return True
        return False

    def aline(self, op):
        self.trap(self, op)
        return True

    def ge(self, op):  # LSL/LSR on data registers
        if (op >> 6) & 3 == 3 or (op >> 3) & 3 != 1:
            return False
        size = (1, 2, 4)[(op >> 6) & 3]
        reg = op & 7
        cnt = (op >> 9) & 7
        count = (self.d[cnt] & 63) if op & 0x20 else (cnt or 8)
        v = self.d[reg] & MASK[size]
        left = bool(op & 0x100)
        c = 0
        for _ in range(count):
            if left:
                c = int(bool(v & SIGN[size]))
                v = (v << 1) & MASK[size]
            else:
                c = v & 1
                v >>= 1
        self.put(("d", reg), size, self.logic(v, size))
        if count:
            self.c = c
        return True
