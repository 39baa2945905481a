// Argument lists per machine family, disk formats by content, ports and
// slots, and the parsing of command lines found on the system.
#include <gtest/gtest.h>

#include <future>

#include <windows.h>

#include "machines/cmdline.h"
#include "machines/library.h"
#include "machines/proc.h"
#include "machines/profile.h"
#include "tests/support/test_support.h"

using Args = std::vector<std::wstring>;

namespace {

// The value that follows each occurrence of opt.
Args values_of(const Args& a, const wchar_t* opt) {
  Args out;
  for (size_t i = 0; i + 1 < a.size(); ++i)
    if (a[i] == opt) out.push_back(a[i + 1]);
  return out;
}

}  // namespace

// What tells the families apart; every family's whole line also starts a
// real QEMU in the bridge tests.
TEST(Cmdline, FamilyChoicesEscapingInstallBootAndExtra) {
  std::wstring dir = test_dir("cmdline");
  std::wstring iso = path_join(dir, L"win,98.iso");
  ASSERT_TRUE(write_bytes(iso, "CD001"));
  const std::wstring hd = L"file=C:\\vms\\a,,b.img,if=none,id=hd,format=raw,cache=writeback,discard=unmap";
  const struct {
    const char* profile;
    bool whpx, cd, scratch;
    const wchar_t* opt;
    Args want;
  } cases[] = {
      {"linux-x64", true, false, false, L"-device",
       {L"VGA,vgamem_mb=64", L"piix3-usb-uhci,id=uhci", L"usb-tablet,bus=uhci.0", L"e1000,netdev=n0",
        L"virtio-blk-pci,drive=hd", L"intel-hda", L"hda-duplex,audiodev=snd0"}},
      {"linux-x64", true, false, false, L"-accel", {L"whpx"}},
      {"windows-x64", false, false, false, L"-accel", {L"tcg,thread=multi"}},
      {"windows-x64", false, false, false, L"-drive", {hd}},
      {"dos-x86", false, false, false, L"-audiodev", {}},
      {"dos-x86", false, false, false, L"-machine", {L"pc"}},
      {"windows-x86", false, true, true, L"-drive",
       {hd + L",snapshot=on", L"file=" + opt_escape(iso) + L",if=none,id=cd,media=cdrom,readonly=on"}},
      {"windows-x86", false, true, false, L"-boot", {L"once=d"}},
      {"macosx-ppc", false, true, true, L"-drive",
       {L"file=C:\\vms\\a,,b.img,format=raw,media=disk,snapshot=on", L"file=" + opt_escape(iso) + L",format=raw,media=cdrom,id=cd"}},
      {"macosx-ppc", false, true, false, L"-boot", {L"d"}},
      {"macosx-ppc", false, false, false, L"-boot", {L"c"}},
      {"macos7-68k", false, false, false, L"-bios", {L"C:\\roms\\q,800.rom"}},  // a whole path: not escaped
      {"macos7-68k", false, false, false, L"-M", {L"q800,audiodev=snd0"}},
      {"macos7-68k", false, true, false, L"-drive",
       {L"file=C:\\vms\\pram.img,format=raw,if=mtd", L"file=C:\\vms\\a,,b.img,format=raw,media=disk",
        L"file=" + opt_escape(iso) + L",format=raw,media=cdrom,index=2,id=cd"}},
      {"linux-arm64", false, false, false, L"-bios", {L"edk2-aarch64-code.fd"}},
      {"linux-riscv", false, false, false, L"-cpu", {L"rv64"}},
      {"linux-riscv", false, true, false, L"-device",
       {L"ramfb", L"qemu-xhci,id=xhci", L"usb-kbd,bus=xhci.0", L"usb-tablet,bus=xhci.0", L"virtio-net-pci,netdev=n0",
        L"virtio-blk-pci,drive=hd", L"usb-storage,bus=xhci.0,drive=cd,id=cddev"}},
  };
  for (auto& c : cases) {
    const Profile* p = find_profile(c.profile);
    ASSERT_NE(p, nullptr);
    QemuSpec s;
    s.arch = p->arch;
    s.os = (int)p->os;
    s.name = "Box, No=1";
    s.port = 4600;
    s.display = L"sdl";
    s.mem = p->mem_mb;
    s.cpus = p->cpus;
    s.whpx = c.whpx;
    s.scratch = c.scratch;
    s.disk = L"C:\\vms\\a,b.img";
    s.rom = L"C:\\roms\\q,800.rom";
    s.pram = L"C:\\vms\\pram.img";
    if (c.cd) s.cdrom = iso, s.install = true;
    s.extra = "-usb \"hello world\"";
    bool boot = false;
    Args a = qemu_args(s, &boot);
    EXPECT_EQ(values_of(a, c.opt), c.want) << c.profile << " " << narrow(c.opt);
    EXPECT_EQ(Args(a.begin(), a.begin() + 6), (Args{L"-name", L"guest=Box,, No=1", L"-qmp", L"tcp:127.0.0.1:4600,server=on,wait=off",
                                                    L"-display", L"sdl"}));
    EXPECT_EQ(Args(a.end() - 2, a.end()), (Args{L"-usb", L"hello world"})) << c.profile;
    // Only the PC families clear the install flag after one boot from the media.
    EXPECT_EQ(boot, c.cd && p->board == ArchKind::X86) << c.profile;
  }
  // Media that does not exist is left out, and so is the install boot.
  QemuSpec s;
  s.arch = "x86_64";
  s.os = 1;
  s.disk = L"C:\\a.img";
  s.cdrom = path_join(dir, L"gone.iso");
  s.install = true;
  bool boot = false;
  Args a = qemu_args(s, &boot);
  EXPECT_FALSE(boot);
  EXPECT_TRUE(values_of(a, L"-boot").empty());
  EXPECT_EQ(values_of(a, L"-drive").size(), 1u);
  remove_tree(dir);
}

// EJECT names the optical drive the way each board knows it: the PC by the
// drive device's id, the others by the drive's name (the Mac boards' drive
// has no device id, the Virt boards' USB device holds no medium itself);
// real QEMU ejects them all in the bridge tests.
TEST(Cmdline, EjectNamesTheDriveEachBoardKnows) {
  const std::string by_id = "{\"id\":\"cddev\",\"force\":true}";
  const std::string by_name = "{\"device\":\"cd\",\"force\":true}";
  for (const char* profile : {"linux-x64", "windows-x86", "dos-x86"})
    EXPECT_EQ(eject_args(find_profile(profile)->arch), by_id) << profile;
  for (const char* profile : {"macosx-ppc", "macos9-ppc", "macos7-68k", "linux-arm64", "linux-riscv"})
    EXPECT_EQ(eject_args(find_profile(profile)->arch), by_name) << profile;
  EXPECT_EQ(eject_args(""), by_id);  // a QEMU found running: the usual id
}

TEST(Cmdline, ExtraSplitting) {
  EXPECT_EQ(split_extra(""), Args{});
  EXPECT_EQ(split_extra("-usb \"a b\""), (Args{L"-usb", L"a b"}));
  EXPECT_EQ(split_extra("  -S   -s  "), (Args{L"-S", L"-s"}));
  EXPECT_EQ(split_extra("-append \"console=ttyS0 \\\"q\\\"\""), (Args{L"-append", L"console=ttyS0 \"q\""}));
}

TEST(Cmdline, DiskFormatBySignatureThenExtension) {
  std::wstring dir = test_dir("cmdline-fmt");
  auto put = [&](const wchar_t* name, const std::string& bytes) {
    std::wstring p = path_join(dir, name);
    EXPECT_TRUE(write_bytes(p, bytes));
    return p;
  };
  std::string pad(1024, '\0');
  EXPECT_EQ(disk_format(put(L"disk.QCOW2", pad)), L"raw");
  EXPECT_EQ(disk_format(L"C:\\vms\\a.vhd"), L"vpc");
  EXPECT_EQ(disk_format(L"C:\\vms\\A.VHDX"), L"vhdx");
  EXPECT_EQ(disk_format(L"C:\\vms\\a.vmdk"), L"vmdk");
  EXPECT_EQ(disk_format(L"C:\\vms\\a.vdi"), L"vdi");
  EXPECT_EQ(disk_format(L"C:\\my.vms\\disk"), L"raw");
  EXPECT_EQ(disk_format(L""), L"raw");

  // Content wins over a misleading extension, too.
  EXPECT_EQ(disk_format(put(L"x7.vhd", "vhdxfile" + pad)), L"vhdx");
  remove_tree(dir);
  // A pipe named as a disk is not read: the read would wait for a writer.
  const wchar_t* name = L"\\\\.\\pipe\\vunk-disk-format";
  HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  auto sniff = std::async(std::launch::async, [name] { return disk_format(name); });
  const bool quick = sniff.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  CloseHandle(pipe);  // lets a blocked read end
  EXPECT_TRUE(quick);
  EXPECT_EQ(sniff.get(), L"raw");
}

TEST(Cmdline, ImagesMadeByQemuImg) {
  // Made on the Linux side by the real qemu-img (fixture), all named .img.
  std::wstring dir = build_path("launch-fixture/formats");
  ASSERT_TRUE(dir_exists(dir)) << "fixture missing";
  EXPECT_EQ(disk_format(path_join(dir, L"qcow2.img")), L"qcow2");
  EXPECT_EQ(disk_format(path_join(dir, L"vhdx.img")), L"vhdx");
  EXPECT_EQ(disk_format(path_join(dir, L"vmdk.img")), L"vmdk");
  EXPECT_EQ(disk_format(path_join(dir, L"vdi.img")), L"vdi");
  EXPECT_EQ(disk_format(path_join(dir, L"vpc-dynamic.img")), L"vpc");
  EXPECT_EQ(disk_format(path_join(dir, L"vpc-fixed.img")), L"vpc");
  EXPECT_EQ(disk_format(path_join(dir, L"raw.img")), L"raw");
}

// (Lines with quotes, blanks and backslashes split back: the fuzz pass.)
TEST(Cmdline, PlainArgumentsJoinWithoutQuotes) {
  EXPECT_EQ(join_cmdline(L"C:\\q\\qemu-system-ppc.exe", {L"-m", L"512"}), L"C:\\q\\qemu-system-ppc.exe -m 512");
}

TEST(Cmdline, PortAndSlotChoice) {
  std::vector<int> held;
  auto free_fn = [&](int p) { return std::find(held.begin(), held.end(), p) == held.end(); };
  EXPECT_EQ(pick_qmp_port(free_fn, L""), 4600);
  held = {4600};
  EXPECT_EQ(pick_qmp_port(free_fn, L""), 4601);
  // Named on another QEMU's command line but not bound yet: skipped anyway.
  EXPECT_EQ(pick_qmp_port(free_fn, L"q -qmp tcp:127.0.0.1:4601,server=on,wait=off\n"), 4602);
  // "127.0.0.1:4602" without the comma is some other text, not a QMP port.
  EXPECT_EQ(pick_qmp_port(free_fn, L"x 127.0.0.1:46010,\n"), 4601);
  held.clear();
  for (int p = 4600; p <= 4699; p++) held.push_back(p);
  EXPECT_EQ(pick_qmp_port(free_fn, L""), 0);

  held.clear();
  EXPECT_EQ(pick_slot(free_fn, L"", true, false), 0);
  EXPECT_EQ(pick_slot(free_fn, L"", true, true), 10);   // scratch never takes slot 0
  EXPECT_EQ(pick_slot(free_fn, L"", false, false), 10); // other machines never do
  held = {4445};
  EXPECT_EQ(pick_slot(free_fn, L"", true, false), 10);
  held = {2222 + 10};
  EXPECT_EQ(pick_slot(free_fn, L"", false, false), 11);
  held.clear();
  EXPECT_EQ(pick_slot(free_fn, L"tcp:127.0.0.1:4455,server\n", false, false), 11);
  for (int i = 10; i <= 59; i++) held.push_back(4445 + i);
  EXPECT_EQ(pick_slot(free_fn, L"", false, false), -1);
  EXPECT_EQ(pick_slot(free_fn, L"", true, false), 0);
}

TEST(Cmdline, ParsesQemuCommandLinesFoundRunning) {
  Args argv;
  ASSERT_TRUE(split_cmdline(
      L"C:\\q\\qemu-system-x86_64.exe -name guest=Win11,debug-threads=on -qmp tcp:127.0.0.1:4600,server=on,wait=off "
      L"-qmp tcp:127.0.0.1:4700,server=on -drive file=C:\\vm\\a,,b.img,if=none,id=hd "
      L"-drive file=D:\\x.iso,media=cdrom -drive file=E:\\s.qcow2,snapshot=on -hda F:\\h.img "
      L"-display sdl,parent=0x1234 -device isa-applesmc,osk=x",
      argv));
  QemuArgv a = parse_qemu_argv(argv);
  EXPECT_EQ(a.name, "Win11");
  EXPECT_EQ(a.qmp_port, 4600);  // the first one counts
  ASSERT_EQ(a.drives.size(), 3u);
  EXPECT_EQ(a.drives[0].path, L"C:\\vm\\a,b.img");
  EXPECT_FALSE(a.drives[0].scratch);
  EXPECT_EQ(a.drives[1].path, L"E:\\s.qcow2");
  EXPECT_TRUE(a.drives[1].scratch);
  EXPECT_EQ(a.drives[2].path, L"F:\\h.img");
  EXPECT_TRUE(a.can_embed);
  EXPECT_TRUE(a.applesmc);
  EXPECT_STREQ(guess_external_profile(a, L"C:\\q\\qemu-system-x86_64.exe"), "macosx-x86");
  EXPECT_EQ(norm_path(a.drives[0].path), L"c:\\vm\\a,b.img");

  // A later -name replaces an earlier one; a value is itself examined as an
  // option, so "-name -name X" reads X.
  ASSERT_TRUE(split_cmdline(L"q -name Alpha,process=x -name -name Beta -qmp unix:/tmp/q -M mac99", argv));
  a = parse_qemu_argv(argv);
  EXPECT_EQ(a.name, "Beta");
  EXPECT_EQ(a.qmp_port, 0);
  EXPECT_TRUE(a.drives.empty());
  EXPECT_TRUE(a.mac99);
  EXPECT_FALSE(a.can_embed);
  EXPECT_STREQ(guess_external_profile(a, L"qemu-system-ppc.exe"), "macosx-ppc");

  ASSERT_TRUE(split_cmdline(L"q -name Alpha,process=x -machine q35 -qmp", argv));
  a = parse_qemu_argv(argv);
  EXPECT_EQ(a.name, "Alpha");
  // A name with commas and equals signs reads back whole from the launcher's
  // own command line; a bare one given by hand ends at its first comma.
  QemuSpec named;
  named.arch = "x86_64";
  named.name = "Hello,, World = 1,";
  ASSERT_TRUE(split_cmdline(join_cmdline(L"q", qemu_args(named, nullptr)), argv));
  EXPECT_EQ(parse_qemu_argv(argv).name, named.name);
  ASSERT_TRUE(split_cmdline(L"q -name \"guest=A,,B = C,debug-threads=on\" -name A=B,,C", argv));
  EXPECT_EQ(parse_qemu_argv(argv).name, "A=B");
  argv.pop_back();
  argv.pop_back();
  EXPECT_EQ(parse_qemu_argv(argv).name, "A,B = C");
  EXPECT_EQ(a.qmp_port, 0);
  EXPECT_STREQ(guess_external_profile(a, L"C:\\Q\\QEMU-SYSTEM-PPC.EXE"), "other-x64");
  EXPECT_STREQ(guess_external_profile(a, L"C:\\q\\qemu-system-aarch64.exe"), "linux-arm64");
  EXPECT_STREQ(guess_external_profile(a, L"C:\\q\\qemu-system-riscv64.exe"), "linux-riscv");
  EXPECT_STREQ(guess_external_profile(a, L"C:\\q\\qemu-system-m68k.exe"), "macos7-68k");
}
