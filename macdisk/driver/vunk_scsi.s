| .VUNKSCSI: a classic Mac OS disk driver for the SCSI disks of the emulated
| Quadra. It is written into the driver partition of every disk this program
| prepares; the machine's ROM loads three blocks of it at start-up and jumps
| to its first byte.
|
| Layout of the image:
|   0       BRA.W to the installation code (what the ROM calls)
|   4       the standard driver header: flags, delay, event mask, menu, the
|           offsets of open, prime, control, status and close (from the
|           header), and the name as a length-prefixed string
|   ...     the five routines, the SCSI transaction, the installation code
|   end     variables (zero in the image; the loaded copy is written to)
|
| Assembled with GNU as for m68k (Debian binutils-m68k-linux-gnu), Motorola
| syntax, plain 68000 code; make_table.sh turns it into scsi_driver.cpp.
|
| Traps, low-memory globals and record layouts used here are those of the
| classic Mac OS documentation (Inside Macintosh II/IV/V and Devices, and the
| technical note on _AddDrive/_DrvrInstall/_DrvrRemove):

| ---- traps ----------------------------------------------------------------
        .equ    _DrvrInstall,   0xA03D  | A0 driver, D0.W refNum -> D0 result
        .equ    _DrvrRemove,    0xA03E  | D0.W refNum -> D0 result
        .equ    _AddDrive,      0xA04E  | A0 drive queue element, D0 = drive<<16 | refNum
        .equ    _PostEvent,     0xA02F  | A0.W event code, D0.L message
        .equ    _SCSIDispatch,  0xA815  | Pascal stack call, selector word pushed last

| SCSIDispatch selectors (original SCSI Manager)
        .equ    scsiGet,        1
        .equ    scsiSelect,     2
        .equ    scsiCmd,        3
        .equ    scsiComplete,   4
        .equ    scsiRead,       5
        .equ    scsiWrite,      6

| transfer instruction block opcodes
        .equ    scInc,          1       | transfer scParam2 bytes at scParam1, advance it
        .equ    scLoop,         5       | decrement scParam2, go back scParam1 bytes while > 0
        .equ    scStop,         7

| ---- low-memory globals ---------------------------------------------------
        .equ    UTableBase,     0x11C   | long: the unit table (DCE handles)
        .equ    UnitNtryCnt,    0x1D2   | word: number of unit table entries
        .equ    DrvQHdr,        0x308   | drive queue header: qFlags.W, qHead.L, qTail.L
        .equ    JIODone,        0x8FC   | long: IODone, the end of a queued request

| ---- parameter block (IOParam / CntrlParam) ------------------------------
        .equ    ioTrap,         6       | the trap word; low byte 2 read, 3 write
        .equ    csCode,         26
        .equ    csParam,        28
        .equ    ioBuffer,       32
        .equ    ioReqCount,     36
        .equ    ioActCount,     40
        .equ    noQueueBit,     9       | in ioTrap: an immediate call
        .equ    aWrCmd,         3

| ---- device control entry -------------------------------------------------
        .equ    dCtlDriver,     0
        .equ    dCtlFlags,      4       | high byte: drvrFlags; low byte bit 5 open, 6 RAM-based
        .equ    dCtlPosition,   16
        .equ    dCtlRefNum,     24
        .equ    dCtlDelay,      34
        .equ    dCtlEMask,      36
        .equ    dCtlMenu,       38
        .equ    dOpened,        5

| ---- result codes -----------------------------------------------------------
        .equ    noErr,          0
        .equ    controlErr,     -17
        .equ    statusErr,      -18
        .equ    openErr,        -23
        .equ    closErr,        -24
        .equ    ioErr,          -36
        .equ    paramErr,       -50

        .equ    diskEvt,        7       | disk-inserted event; message: drive number

| ---- control and status codes ---------------------------------------------
        .equ    killCode,       1
        .equ    verifyCode,     5
        .equ    formatCode,     6
        .equ    ejectCode,      7
        .equ    drvStsCode,     8

| SCSI commands and the size of one transfer
        .equ    READ10,         0x28
        .equ    WRITE10,        0x2A
        .equ    chunkBlocks,    256     | 128 KiB per command keeps each well inside the timeout
        .equ    completeTicks,  600     | SCSIComplete waits up to 10 s
        .equ    maxBlocks,      0x7FFFFF | the drive reported: just under 4 GiB

        .text
start:
        bra.w   install

| ---- driver header ----------------------------------------------------------
header:
        .short  0x4F00                  | dNeedLock, dStatEnable, dCtlEnable, dWritEnable, dReadEnable
        .short  0                       | drvrDelay: no periodic time
        .short  0                       | drvrEMask: no events
        .short  0                       | drvrMenu: no menu
        .short  drvr_open - header
        .short  drvr_prime - header
        .short  drvr_control - header
        .short  drvr_status - header
        .short  drvr_close - header
        .byte   9
        .ascii  ".VUNKSCSI"
        .even

| ---- open: find the HFS partition and add its drive -----------------------
| In: A1 DCE. Out: D0 result. The partition map is read with the driver's
| own SCSI routine into a block on the stack.
drvr_open:
        movem.l d3-d7/a2-a4,-(sp)
        lea     vars(pc),a3
        moveq   #noErr,d0
        tst.b   v_open-vars(a3)
        bne     open_out                | the drive is in the queue already
        move.l  a1,d7
        lea     -512(sp),sp
        movea.l sp,a2
        moveq   #1,d4                   | map entry being read
        moveq   #1,d6                   | entries in the map, from the first one
open_next:
        moveq   #READ10,d0
        move.l  d4,d1
        moveq   #1,d2
        bsr     scsi_io
        bne     open_fail
        cmpi.w  #0x504D,(a2)            | "PM"
        bne     open_fail
        cmpi.l  #1,d4
        bne.s   1f
        move.l  4(a2),d6                | pmMapBlkCnt
        cmpi.l  #63,d6
        bls.s   1f
        moveq   #63,d6                  | a garbled count must not send us across the disk
1:      lea     48(a2),a0               | pmParType
        lea     hfs_type(pc),a1
        moveq   #9,d0
2:      cmpm.b  (a0)+,(a1)+
        dbne    d0,2b
        beq.s   open_found
        addq.l  #1,d4
        cmp.l   d6,d4
        bls.s   open_next
        bra.s   open_fail
open_found:
        move.l  8(a2),v_start-vars(a3)  | pmPyPartStart
        move.l  12(a2),d0               | pmPartBlkCnt
        cmpi.l  #maxBlocks,d0
        bls.s   7f
        move.l  #maxBlocks,d0           | byte positions are 32-bit
7:      move.l  d0,v_blocks-vars(a3)
        lea     v_flags-vars(a3),a0
        move.l  #0x00080100,(a0)+       | not locked, fixed disk in place, installed, one side
        clr.l   (a0)+                   | qLink
        move.w  #1,(a0)+                | qType 1: the size is 32-bit
        clr.l   (a0)+                   | dQDrive, dQRefNum: AddDrive fills them
        clr.w   (a0)+                   | dQFSID 0: HFS
        move.w  d0,(a0)+                | dQDrvSz: low word of the size in blocks
        swap    d0
        move.w  d0,(a0)+                | dQDrvSz2: high word
| The drive number: the first one from 8 up that no drive in the queue uses.
        moveq   #8,d1
3:      movea.l (DrvQHdr+2).w,a0
4:      move.l  a0,d0
        beq.s   5f
        cmp.w   6(a0),d1                | dQDrive
        beq.s   6f
        movea.l (a0),a0
        bra.s   4b
6:      addq.w  #1,d1
        bra.s   3b
5:      move.l  d1,d3
        swap    d1
        movea.l d7,a1
        move.w  dCtlRefNum(a1),d1
        move.l  d1,d0
        lea     v_dqe-vars(a3),a0
        .short  _AddDrive
        st      v_open-vars(a3)
| Announce the disk so that it is mounted like any other.
        movea.w #diskEvt,a0
        move.l  d3,d0
        .short  _PostEvent
        moveq   #noErr,d0
        bra.s   open_release
open_fail:
        moveq   #openErr,d0
open_release:
        lea     512(sp),sp
open_out:
        movem.l (sp)+,d3-d7/a2-a4
        rts

hfs_type:
        .ascii  "Apple_HFS\0"
        .even

| ---- prime: read or write whole blocks of the partition -------------------
| In: A0 parameter block, A1 DCE. dCtlPosition is the byte offset into the
| partition; requests must be whole, in-range blocks.
drvr_prime:
        movem.l d3-d7/a2-a4,-(sp)
        movea.l a0,a4
        move.l  a1,d7
        lea     vars(pc),a3
        moveq   #paramErr,d0
        move.l  dCtlPosition(a1),d5
        move.l  ioReqCount(a0),d4
        move.l  d5,d1
        or.l    d4,d1
        andi.w  #511,d1
        bne.s   prime_done
        moveq   #9,d1
        lsr.l   d1,d5                   | first block in the partition
        lsr.l   d1,d4                   | blocks to move
        move.l  v_blocks-vars(a3),d1
        sub.l   d5,d1
        bcs.s   prime_done
        cmp.l   d4,d1
        bcs.s   prime_done              | past the end of the partition
        add.l   v_start-vars(a3),d5     | block on the disk
        movea.l ioBuffer(a0),a2
        moveq   #READ10,d6
        cmpi.b  #aWrCmd,ioTrap+1(a0)
        bne.s   1f
        moveq   #WRITE10,d6
1:      tst.l   d4
        beq.s   prime_ok
        move.l  d4,d3
        cmpi.l  #chunkBlocks,d3
        bls.s   2f
        move.l  #chunkBlocks,d3
2:      move.l  d6,d0
        move.l  d5,d1
        move.l  d3,d2
        bsr     scsi_io
        bne.s   prime_done
        add.l   d3,d5
        sub.l   d3,d4
        moveq   #9,d0
        lsl.l   d0,d3
        adda.l  d3,a2
        bra.s   1b
prime_ok:
        move.l  ioReqCount(a4),d0
        move.l  d0,ioActCount(a4)
        movea.l d7,a1
        add.l   d0,dCtlPosition(a1)
        moveq   #noErr,d0
prime_done:
        movea.l a4,a0
        movea.l d7,a1
        movem.l (sp)+,d3-d7/a2-a4
| Fall through: the common way out of prime, control and status.
| In: D0 result, A0 parameter block, A1 DCE.
io_exit:
        move.w  ioTrap(a0),d1
        btst    #noQueueBit,d1
        beq.s   1f
        rts                             | immediate call: straight back
1:      move.l  (JIODone).w,-(sp)       | queued call: IODone completes it
        rts

| ---- control --------------------------------------------------------------
drvr_control:
        move.w  csCode(a0),d1
        moveq   #noErr,d0
        cmpi.w  #killCode,d1
        beq.s   1f                      | KillIO is always answered with RTS
        cmpi.w  #verifyCode,d1
        beq.s   io_exit                 | a SCSI disk has nothing to verify or format
        cmpi.w  #formatCode,d1
        beq.s   io_exit                 | (initialising a volume then just writes it)
        cmpi.w  #ejectCode,d1
        beq.s   io_exit                 | a fixed disk: nothing to eject
        moveq   #controlErr,d0
        bra.s   io_exit
1:      rts

| ---- status ---------------------------------------------------------------
drvr_status:
        moveq   #statusErr,d0
        cmpi.w  #drvStsCode,csCode(a0)
        bne.s   io_exit
        movem.l a0-a1,-(sp)
        lea     csParam(a0),a1
        clr.w   (a1)+                   | track
        lea     v_flags(pc),a0          | writeProt, diskInPlace, installed, sides,
        moveq   #15,d0                  | then qLink, qType, dQDrive, dQRefNum, dQFSID
1:      move.b  (a0)+,(a1)+
        dbra    d0,1b
        clr.l   (a1)                    | twoSideFmt, needsFlush, diskErrs
        movem.l (sp)+,a0-a1
        moveq   #noErr,d0
        bra.s   io_exit

| ---- close ----------------------------------------------------------------
| The drive stays in the drive queue, so the driver refuses to close.
drvr_close:
        moveq   #closErr,d0
        rts

| ---- one SCSI transaction ---------------------------------------------------
| In: D0.B READ10 or WRITE10, D1 first block, D2 blocks (1..65535), A2
| buffer, A3 variables. Out: D0 noErr or ioErr, flags set by its value.
| Three attempts: the first command after a reset meets a unit attention.
scsi_io:
        movem.l d3-d6,-(sp)
        move.l  d2,d3
        moveq   #scsiRead,d5
        cmpi.b  #READ10,d0
        beq.s   1f
        moveq   #scsiWrite,d5
1:      lea     v_cdb-vars(a3),a0
        move.b  d0,(a0)                 | operation code
        clr.b   1(a0)
        move.l  d1,2(a0)                | logical block address
        clr.b   6(a0)
        move.b  d2,8(a0)                | transfer length, big-endian
        lsr.w   #8,d2
        move.b  d2,7(a0)
        clr.b   9(a0)                   | control
        moveq   #2,d4
scsi_try:
        lea     v_tib-vars(a3),a0
        move.w  #scInc,(a0)
        move.l  a2,2(a0)
        move.l  #512,6(a0)
        move.w  #scLoop,10(a0)
        moveq   #-10,d0
        move.l  d0,12(a0)
        move.l  d3,16(a0)
        move.w  #scStop,20(a0)
        moveq   #0,d6
        clr.w   -(sp)                   | SCSIGet
        move.w  #scsiGet,-(sp)
        .short  _SCSIDispatch
        move.w  (sp)+,d0
        bne.s   scsi_retry
        clr.w   -(sp)                   | SCSISelect(id)
        move.w  v_id-vars(a3),-(sp)
        move.w  #scsiSelect,-(sp)
        .short  _SCSIDispatch
        move.w  (sp)+,d0
        bne.s   scsi_retry
        clr.w   -(sp)                   | SCSICmd(cdb, 10)
        pea     v_cdb-vars(a3)
        move.w  #10,-(sp)
        move.w  #scsiCmd,-(sp)
        .short  _SCSIDispatch
        move.w  (sp)+,d6
        bne.s   scsi_complete
        clr.w   -(sp)                   | SCSIRead(tib) or SCSIWrite(tib)
        pea     v_tib-vars(a3)
        move.w  d5,-(sp)
        .short  _SCSIDispatch
        move.w  (sp)+,d6
scsi_complete:
        clr.w   -(sp)                   | SCSIComplete(stat, message, wait)
        pea     v_stat-vars(a3)
        pea     v_msg-vars(a3)
        move.l  #completeTicks,-(sp)
        move.w  #scsiComplete,-(sp)
        .short  _SCSIDispatch
        move.w  (sp)+,d0
        or.w    d6,d0
        bne.s   scsi_retry
        move.w  v_stat-vars(a3),d0
        andi.w  #0x1E,d0                | check condition, busy, reservation conflict
        beq.s   scsi_out
scsi_retry:
        dbra    d4,scsi_try
        moveq   #ioErr,d0
scsi_out:
        movem.l (sp)+,d3-d6
        tst.w   d0
        rts

| ---- installation: what the ROM calls at byte 0 ------------------------------
| In: D5 the SCSI ID of the disk (or, from a SCSI Manager that passes a
| device identification, bus/target/LUN with the target in bits 8-15).
| Installs the driver as unit 32 + ID (the units of SCSI disks), fills
| its DCE, opens it and so adds the drive.
install:
        movem.l d1-d7/a0-a6,-(sp)
        lea     vars(pc),a3
        move.l  d5,d0
        cmpi.l  #7,d0
        bls.s   1f
        lsr.l   #8,d0
1:      andi.w  #7,d0
        move.w  d0,v_id-vars(a3)
        moveq   #32,d3
        add.w   d0,d3                   | unit number
        move.w  d3,d4
        not.w   d4                      | refNum = -(unit + 1)
        moveq   #openErr,d0
        cmp.w   (UnitNtryCnt).w,d3
        bcc.s   install_out             | no such unit in this unit table
        lea     header(pc),a0
        move.w  d4,d0
        .short  _DrvrInstall
        tst.w   d0
        bne.s   install_out
        movea.l (UTableBase).w,a0
        lsl.w   #2,d3
        movea.l 0(a0,d3.w),a0           | the DCE's handle
        movea.l (a0),a4
        lea     header(pc),a0
        move.l  a0,dCtlDriver(a4)       | a pointer: dRAMBased stays clear
        move.w  (a0),d0
        andi.w  #0xFF00,d0
        move.w  d0,dCtlFlags(a4)
        move.w  2(a0),dCtlDelay(a4)
        move.w  4(a0),dCtlEMask(a4)
        move.w  6(a0),dCtlMenu(a4)
        move.w  d4,dCtlRefNum(a4)
        movea.l a4,a1
        bsr     drvr_open
        tst.w   d0
        bne.s   install_undo
        bset    #dOpened,dCtlFlags+1(a4)
        bra.s   install_out
install_undo:
        move.w  d0,d3
        move.w  d4,d0
        .short  _DrvrRemove
        move.w  d3,d0
install_out:
        movem.l (sp)+,d1-d7/a0-a6
        rts

| ---- variables ------------------------------------------------------------------
        .even
vars:
v_id:       .short  0                   | SCSI ID of the disk
v_start:    .long   0                   | first block of the HFS partition
v_blocks:   .long   0                   | its size in blocks
v_flags:    .byte   0, 0, 0, 0          | drive flags, just before the queue element
v_dqe:      .long   0                   | drive queue element: qLink
            .short  0, 0, 0, 0, 0, 0    | qType, dQDrive, dQRefNum, dQFSID, dQDrvSz, dQDrvSz2
v_cdb:      .byte   0, 0, 0, 0, 0, 0, 0, 0, 0, 0
v_tib:      .short  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0
v_stat:     .short  0
v_msg:      .short  0
v_open:     .byte   0
            .even
