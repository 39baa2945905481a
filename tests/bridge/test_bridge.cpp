// The QEMU bridge's translation of a Windows QEMU command line, seen in its
// dry run: paths, options only Windows or newer builds know, the QMP port.
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>

#include "machines/proc.h"
#include "tests/support/test_support.h"

namespace {

std::wstring bridge(const wchar_t* name) { return path_join(build_path("qemu"), name); }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) v.push_back(line);
  return v;
}

}  // namespace

TEST(Bridge, DryRunTranslatesPathsAndMapsOptions) {
  SetEnvironmentVariableW(L"VUNK_BRIDGE_DRYRUN", L"1");
  std::string build = env_str("VUNK_BUILD");
  // Inside an option value every comma of the path is doubled, the build
  // folder's own included.
  std::string build_opt;
  for (char ch : build) build_opt += ch == ',' ? std::string(",,") : std::string(1, ch);
  std::wstring disk = build_path("bridge a,b.img");  // Z:\...\bridge a,b.img
  std::wstring cd = L"C:\\windows\\win.ini";
  std::wstring args = L" -M q800,audiodev=snd0 -audiodev dsound,id=snd0 -bios " + quote_arg(build_path("rom,1.bin")) +
                      L" -drive " + quote_arg(L"file=" + opt_escape(disk) + L",format=raw,media=disk") +
                      L" -drive " + quote_arg(L"file=" + cd + L",format=raw,media=cdrom,index=2") +
                      L" -machine pc,audiodev=keep -audiodev wav,id=w -qmp tcp:127.0.0.1:4601,server=on,wait=off" +
                      L" -name " + quote_arg(L"guest=My VM,debug-threads=on") + L" -m 128";
  std::string out;
  ASSERT_TRUE(run_capture(quote_arg(bridge(L"qemu-system-m68k.exe")) + args, out, 30000)) << out;
  auto l = lines_of(out);
  ASSERT_GE(l.size(), 22u) << out;
  EXPECT_EQ(l[0].substr(l[0].size() - 17), "/qemu-system-m68k");
  EXPECT_EQ(l[2], "q800");  // audiodev= is newer than this QEMU
  EXPECT_EQ(l[4], "none,id=snd0");
  EXPECT_EQ(l[6], build + "/rom,1.bin");  // a whole path keeps its commas single
  EXPECT_EQ(l[8], "file=" + build_opt + "/bridge a,,b.img,format=raw,media=disk");
  EXPECT_EQ(l[10].substr(0, 5), "file=");
  EXPECT_NE(l[10].find("/drive_c/windows/win.ini,format=raw,media=cdrom,index=2"), std::string::npos) << l[10];
  EXPECT_EQ(l[10].find(":\\"), std::string::npos);
  EXPECT_EQ(l[12], "pc,audiodev=keep");  // only the Quadra loses it
  EXPECT_EQ(l[14], "wav,id=w");
  EXPECT_EQ(l[16].substr(0, 14), "tcp:127.0.0.1:");
  EXPECT_EQ(l[16].substr(l[16].size() - 19), ",server=on,wait=off");
  EXPECT_NE(l[16], "tcp:127.0.0.1:4601,server=on,wait=off");  // QEMU listens elsewhere
  EXPECT_EQ(l[18], "guest=My VM,debug-threads=on");
  EXPECT_EQ(l[20], "128");
  EXPECT_EQ(l[21].substr(0, 19), "# qmp proxy 4601 ->");

  // qemu-img: option values and plain paths both, relative names untouched.
  out.clear();
  ASSERT_TRUE(run_capture(quote_arg(bridge(L"qemu-img.exe")) + L" convert -O qcow2 -o " +
                              quote_arg(L"backing_file=" + opt_escape(build_path("base,1.img")) + L",backing_fmt=raw") +
                              L" " + quote_arg(build_path("in put.img")) + L" relative.qcow2",
                          out, 30000))
      << out;
  l = lines_of(out);
  ASSERT_EQ(l.size(), 8u) << out;
  EXPECT_EQ(l[5], "backing_file=" + build_opt + "/base,,1.img,backing_fmt=raw");
  EXPECT_EQ(l[6], build + "/in put.img");
  EXPECT_EQ(l[7], "relative.qcow2");

  // The RISC-V board here refuses ramfb; other boards keep it.
  for (auto [cpu, device] : {std::pair{"rv64", "bochs-display"}, std::pair{"max", "ramfb"}}) {
    ASSERT_TRUE(run_capture(quote_arg(bridge(L"qemu-system-riscv64.exe")) + L" -M virt -cpu " + widen(cpu) +
                                L" -device ramfb",
                            out = "", 30000));
    l = lines_of(out);
    ASSERT_GE(l.size(), 7u) << out;
    EXPECT_EQ(l[6], device) << cpu;
  }
  SetEnvironmentVariableW(L"VUNK_BRIDGE_DRYRUN", nullptr);
}
