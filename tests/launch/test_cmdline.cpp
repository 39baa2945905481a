// Argument lists per machine family, compared with the literal lists they
// must produce, and the parsing of command lines found on the system.
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

QemuSpec spec_for(const char* profile_id) {
  const Profile* p = find_profile(profile_id);
  EXPECT_NE(p, nullptr) << profile_id;
  QemuSpec s;
  s.arch = p->arch;
  s.os = (int)p->os;
  s.name = "Box";
  s.port = 4600;
  s.display = L"sdl";
  s.mem = p->mem_mb;
  s.cpus = p->cpus;
  s.disk = L"C:\\vms\\box.img";
  return s;
}

const Args kHead = {L"-name", L"Box", L"-qmp", L"tcp:127.0.0.1:4600,server=on,wait=off", L"-display", L"sdl"};

Args cat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Args kAudio = {L"-audiodev", L"dsound,id=snd0", L"-device", L"intel-hda", L"-device", L"hda-duplex,audiodev=snd0"};

}  // namespace

TEST(Cmdline, PcFamilyVariants) {
  // A Linux guest on a host with the hypervisor platform: VIRTIO disk, WHPX.
  QemuSpec s = spec_for("linux-x64");
  s.whpx = true;
  bool boot = true;
  Args want = cat(cat(kHead, {L"-m", L"4096", L"-machine", L"q35", L"-accel", L"whpx", L"-cpu", L"host", L"-smp", L"4",
                              L"-device", L"VGA,vgamem_mb=64", L"-device", L"piix3-usb-uhci,id=uhci",
                              L"-device", L"usb-tablet,bus=uhci.0", L"-netdev", L"user,id=n0",
                              L"-device", L"e1000,netdev=n0",
                              L"-drive", L"file=C:\\vms\\box.img,if=none,id=hd,format=raw,cache=writeback,discard=unmap",
                              L"-device", L"virtio-blk-pci,drive=hd"}),
                  kAudio);
  EXPECT_EQ(qemu_args(s, &boot), want);
  EXPECT_FALSE(boot);

  // Windows 10: IDE disk, audio, software emulation without the hypervisor.
  s = spec_for("windows-x64");
  want = cat(cat(kHead, {L"-m", L"4096", L"-machine", L"q35", L"-accel", L"tcg,thread=multi", L"-cpu", L"max",
                         L"-smp", L"4", L"-device", L"VGA,vgamem_mb=64", L"-device", L"piix3-usb-uhci,id=uhci",
                         L"-device", L"usb-tablet,bus=uhci.0", L"-netdev", L"user,id=n0",
                         L"-device", L"e1000,netdev=n0",
                         L"-drive", L"file=C:\\vms\\box.img,if=none,id=hd,format=raw,cache=writeback,discard=unmap",
                         L"-device", L"ide-hd,bus=ide.0,drive=hd"}),
             kAudio);
  EXPECT_EQ(qemu_args(s), want);

  // DOS: legacy PC and no audio at all.
  s = spec_for("dos-x86");
  want = cat(kHead, {L"-m", L"64", L"-machine", L"pc", L"-accel", L"tcg,thread=multi", L"-cpu", L"max",
                     L"-smp", L"1", L"-device", L"VGA,vgamem_mb=64", L"-device", L"piix3-usb-uhci,id=uhci",
                     L"-device", L"usb-tablet,bus=uhci.0", L"-netdev", L"user,id=n0",
                     L"-device", L"rtl8139,netdev=n0",
                     L"-drive", L"file=C:\\vms\\box.img,if=none,id=hd,format=raw,cache=writeback,discard=unmap",
                     L"-device", L"ide-hd,bus=ide.0,drive=hd"});
  EXPECT_EQ(qemu_args(s), want);
}

TEST(Cmdline, LegacyInstallBootScratchCommaAndExtra) {
  std::wstring dir = test_dir("cmdline-install");
  std::wstring iso = path_join(dir, L"win,98.iso");
  ASSERT_TRUE(write_bytes(iso, "CD001"));
  QemuSpec s = spec_for("windows-x86");
  s.disk = L"C:\\vms\\a,b.img";
  s.cdrom = iso;
  s.install = true;
  s.scratch = true;
  s.extra = "-usb \"hello world\"";
  bool boot = false;
  std::wstring cd = opt_escape(iso);
  Args want = cat(cat(kHead, {L"-m", L"512", L"-machine", L"pc", L"-accel", L"tcg,thread=multi", L"-cpu", L"max",
                              L"-smp", L"1", L"-device", L"VGA,vgamem_mb=64", L"-device", L"piix3-usb-uhci,id=uhci",
                              L"-device", L"usb-tablet,bus=uhci.0", L"-netdev", L"user,id=n0",
                              L"-device", L"rtl8139,netdev=n0",
                              L"-drive",
                              L"file=C:\\vms\\a,,b.img,if=none,id=hd,format=raw,cache=writeback,discard=unmap,snapshot=on",
                              L"-device", L"ide-hd,bus=ide.0,drive=hd",
                              L"-drive", L"file=" + cd + L",if=none,id=cd,media=cdrom,readonly=on",
                              L"-device", L"ide-cd,bus=ide.1,drive=cd,id=cddev"}),
                  cat(kAudio, {L"-boot", L"once=d", L"-usb", L"hello world"}));
  EXPECT_EQ(qemu_args(s, &boot), want);
  EXPECT_TRUE(boot);

  // Media that does not exist is left out silently, and so is the install boot.
  s.cdrom = path_join(dir, L"gone.iso");
  Args no_cd = qemu_args(s, &boot);
  EXPECT_FALSE(boot);
  EXPECT_EQ(std::count(no_cd.begin(), no_cd.end(), L"-boot"), 0);
  EXPECT_EQ(std::count(no_cd.begin(), no_cd.end(), L"ide-cd,bus=ide.1,drive=cd,id=cddev"), 0);
  remove_tree(dir);
}

TEST(Cmdline, NewWorldMac) {
  std::wstring dir = test_dir("cmdline-ppc");
  std::wstring iso = path_join(dir, L"tiger.iso");
  ASSERT_TRUE(write_bytes(iso, "x"));
  QemuSpec s = spec_for("macosx-ppc");
  s.cdrom = iso;
  s.install = true;
  bool boot = true;
  Args want = cat(kHead, {L"-m", L"1024", L"-M", L"mac99,via=pmu", L"-g", L"1024x768x32", L"-netdev", L"user,id=n0",
                          L"-device", L"sungem,netdev=n0", L"-device", L"usb-kbd", L"-device", L"usb-mouse",
                          L"-drive", L"file=C:\\vms\\box.img,format=raw,media=disk",
                          L"-drive", L"file=" + iso + L",format=raw,media=cdrom", L"-boot", L"d"});
  EXPECT_EQ(qemu_args(s, &boot), want);
  EXPECT_FALSE(boot);  // this family keeps the flag

  s.cdrom.clear();
  s.scratch = true;
  Args plain = qemu_args(s);
  EXPECT_EQ(plain.back(), L"c");
  EXPECT_NE(std::find(plain.begin(), plain.end(), L"file=C:\\vms\\box.img,format=raw,media=disk,snapshot=on"),
            plain.end());
  remove_tree(dir);
}

TEST(Cmdline, QuadraKeepsRomPathUnescaped) {
  QemuSpec s = spec_for("macos7-68k");
  s.rom = L"C:\\roms\\q,800.rom";
  s.pram = L"C:\\vms\\a,b\\pram.img";
  s.disk = L"C:\\vms\\a,b\\hd.dsk";
  Args want = cat(kHead, {L"-m", L"128", L"-M", L"q800,audiodev=snd0", L"-audiodev", L"dsound,id=snd0",
                          L"-bios", L"C:\\roms\\q,800.rom", L"-g", L"1152x870x8", L"-rtc", L"base=localtime",
                          L"-drive", L"file=C:\\vms\\a,,b\\pram.img,format=raw,if=mtd",
                          L"-nic", L"user,model=dp83932",
                          L"-drive", L"file=C:\\vms\\a,,b\\hd.dsk,format=raw,media=disk"});
  EXPECT_EQ(qemu_args(s), want);
}

TEST(Cmdline, VirtFamilies) {
  QemuSpec s = spec_for("linux-arm64");
  s.extra = "-s";
  Args body = {L"-device", L"ramfb", L"-device", L"qemu-xhci,id=xhci", L"-device", L"usb-kbd,bus=xhci.0",
               L"-device", L"usb-tablet,bus=xhci.0", L"-netdev", L"user,id=n0",
               L"-device", L"virtio-net-pci,netdev=n0",
               L"-drive", L"file=C:\\vms\\box.img,if=none,id=hd,format=raw,cache=writeback,discard=unmap",
               L"-device", L"virtio-blk-pci,drive=hd"};
  Args want = cat(cat(cat(kHead, {L"-m", L"4096", L"-M", L"virt", L"-cpu", L"max", L"-smp", L"4",
                                  L"-bios", L"edk2-aarch64-code.fd"}),
                      body),
                  {L"-s"});
  EXPECT_EQ(qemu_args(s), want);

  s = spec_for("linux-riscv");
  want = cat(cat(kHead, {L"-m", L"4096", L"-M", L"virt", L"-cpu", L"rv64", L"-smp", L"4",
                         L"-bios", L"edk2-riscv-code.fd"}),
             body);
  EXPECT_EQ(qemu_args(s), want);

  // An unknown target gets the head alone.
  s.arch = "sparc";
  EXPECT_EQ(qemu_args(s), cat(kHead, {L"-m", L"4096"}));
}

TEST(Cmdline, DisplayAndExtraSplitting) {
  EXPECT_EQ(display_value(false, L"", L""), L"sdl");
  EXPECT_EQ(display_value(true, L"", L""), L"d3d11,integer-scale=on");
  EXPECT_EQ(display_value(true, L"0x1a2b", L""), L"d3d11,integer-scale=on,parent=0x1a2b");
  EXPECT_EQ(display_value(true, L"0x1a2b", L"none"), L"none");

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
  EXPECT_EQ(disk_format(put(L"disk.img", std::string("QFI\xFB", 4) + pad)), L"qcow2");
  EXPECT_EQ(disk_format(L"C:\\vms\\a.vhd"), L"vpc");
  EXPECT_EQ(disk_format(L"C:\\vms\\A.VHDX"), L"vhdx");
  EXPECT_EQ(disk_format(L"C:\\vms\\a.vmdk"), L"vmdk");
  EXPECT_EQ(disk_format(L"C:\\vms\\a.vdi"), L"vdi");
  EXPECT_EQ(disk_format(L"C:\\my.vms\\disk"), L"raw");
  EXPECT_EQ(disk_format(L""), L"raw");

  // Containers named like raw images are still recognised by their bytes.
  EXPECT_EQ(disk_format(put(L"x1.img", "vhdxfile" + pad)), L"vhdx");
  EXPECT_EQ(disk_format(put(L"x2.img", "KDMV" + pad)), L"vmdk");
  EXPECT_EQ(disk_format(put(L"x3.img", "# Disk DescriptorFile\n" + pad)), L"vmdk");
  EXPECT_EQ(disk_format(put(L"x4.img", std::string(0x40, '<') + std::string("\x7F\x10\xDA\xBE", 4) + pad)), L"vdi");
  EXPECT_EQ(disk_format(put(L"x5.img", "conectix" + pad)), L"vpc");
  EXPECT_EQ(disk_format(put(L"x6.img", pad + "conectix" + std::string(504, '\0'))), L"vpc");
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

TEST(Cmdline, LaunchScriptArguments) {
  ScriptSpec s;
  s.script = L"C:\\vunk\\scripts\\run-tiger-embed.ps1";
  s.root = L"G:\\Tiger";
  s.slot = 10;
  s.qemu_dir = L"G:\\Tiger\\qemu";
  s.mem = 2048;
  s.cpus = 8;
  s.disk = L"D:\\other.img";
  Args base = {L"-NoProfile", L"-ExecutionPolicy", L"Bypass", L"-File", L"C:\\vunk\\scripts\\run-tiger-embed.ps1",
               L"-TigerRoot", L"G:\\Tiger", L"-Instance", L"10", L"-QemuDir", L"G:\\Tiger\\qemu",
               L"-Mem", L"2048", L"-Cpus", L"8"};
  EXPECT_EQ(script_args(s), cat(base, {L"-HdImage", L"D:\\other.img"}));

  s.main_disk = true;
  s.install = true;
  s.scratch = true;
  s.parent = L"0xbeef";
  s.extra = "-S -d \"a b\"";
  s.headless = true;
  EXPECT_EQ(script_args(s), cat(base, {L"-Install", L"-Scratch", L"-Embed", L"0xbeef", L"-Extra", L"-S -d \"a b\"",
                                       L"-Headless"}));

  EXPECT_EQ(script_log_path(L"G:\\Tiger", 0), L"G:\\Tiger\\vm\\qemu-stderr.log");
  EXPECT_EQ(script_log_path(L"G:\\Tiger", 12), L"G:\\Tiger\\vm\\qemu-stderr-12.log");
}

TEST(Cmdline, JoinedLineSplitsBackIntoTheSameArguments) {
  Args args = {L"-name", L"My Box", L"", L"C:\\Program Files\\x\\", L"say \"hi\"", L"a\\\\\"b", L"plain"};
  std::wstring line = join_cmdline(L"C:\\Program Files\\QEMU\\qemu-system-x86_64.exe", args);
  Args back;
  ASSERT_TRUE(split_cmdline(line, back));
  ASSERT_EQ(back.size(), args.size() + 1);
  EXPECT_EQ(back[0], L"C:\\Program Files\\QEMU\\qemu-system-x86_64.exe");
  EXPECT_EQ(Args(back.begin() + 1, back.end()), args);
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
  EXPECT_EQ(a.qmp_port, 0);
  EXPECT_STREQ(guess_external_profile(a, L"C:\\Q\\QEMU-SYSTEM-PPC.EXE"), "other-x64");
  EXPECT_STREQ(guess_external_profile(a, L"C:\\q\\qemu-system-aarch64.exe"), "linux-arm64");
  EXPECT_STREQ(guess_external_profile(a, L"C:\\q\\qemu-system-riscv64.exe"), "linux-riscv");
  EXPECT_STREQ(guess_external_profile(a, L"C:\\q\\qemu-system-m68k.exe"), "macos7-68k");
}
