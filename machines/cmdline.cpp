#include "machines/cmdline.h"

#include <windows.h>
#include <shellapi.h>

#include <cstring>

#include "core/common.h"
#include "machines/proc.h"

// ---- disk format ------------------------------------------------------------

namespace {

// Reads up to n bytes at an offset; the writer (a running QEMU) may hold it.
std::string read_span(HANDLE f, u64 at, size_t n) {
  std::string buf(n, '\0');
  OVERLAPPED ov{};
  ov.Offset = (DWORD)(at & 0xffffffffu);
  ov.OffsetHigh = (DWORD)(at >> 32);
  DWORD got = 0;
  if (!ReadFile(f, buf.data(), (DWORD)n, &got, &ov)) got = 0;
  buf.resize(got);
  return buf;
}

bool starts(const std::string& s, size_t at, const char* magic, size_t len) {
  return s.size() >= at + len && std::memcmp(s.data() + at, magic, len) == 0;
}

// The format a file's own bytes announce, or empty.
std::wstring sniff_format(const std::wstring& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return L"";
  // A pipe or a device named as a disk would block the read forever.
  if (GetFileType(f) != FILE_TYPE_DISK) {
    CloseHandle(f);
    return L"";
  }
  std::wstring fmt;
  std::string head = read_span(f, 0, 512);
  if (starts(head, 0, "QFI\xFB", 4)) fmt = L"qcow2";
  else if (starts(head, 0, "vhdxfile", 8)) fmt = L"vhdx";
  else if (starts(head, 0, "KDMV", 4) || starts(head, 0, "# Disk DescriptorFile", 21)) fmt = L"vmdk";
  else if (starts(head, 0x40, "\x7F\x10\xDA\xBE", 4)) fmt = L"vdi";
  else if (starts(head, 0, "conectix", 8)) fmt = L"vpc";
  else {
    // A fixed VHD carries its footer only in the last 512 bytes.
    LARGE_INTEGER size{};
    if (GetFileSizeEx(f, &size) && size.QuadPart >= 512) {
      std::string tail = read_span(f, (u64)size.QuadPart - 512, 512);
      if (starts(tail, 0, "conectix", 8)) fmt = L"vpc";
    }
  }
  CloseHandle(f);
  return fmt;
}

}  // namespace

std::wstring disk_format(const std::wstring& path) {
  std::wstring fmt = sniff_format(path);
  if (!fmt.empty()) return fmt;
  size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos) return L"raw";
  std::wstring ext = lower_w(path.substr(dot));
  if (ext == L".vhdx") return L"vhdx";
  if (ext == L".vhd") return L"vpc";
  if (ext == L".vmdk") return L"vmdk";
  if (ext == L".vdi") return L"vdi";
  return L"raw";
}

// ---- direct launches ---------------------------------------------------------

std::wstring display_value(bool d3d11, const std::wstring& parent, const std::wstring& test_display) {
  if (!test_display.empty()) return test_display;
  std::wstring v = d3d11 ? L"d3d11,integer-scale=on" : L"sdl";
  if (!parent.empty()) v += L",parent=" + parent;
  return v;
}

std::vector<std::wstring> split_extra(const std::string& extra) {
  std::vector<std::wstring> out;
  if (extra.empty()) return out;
  std::vector<std::wstring> all;
  if (!split_cmdline(L"x " + widen(extra), all)) return out;
  out.assign(all.begin() + (all.empty() ? 0 : 1), all.end());
  return out;
}

std::vector<std::wstring> qemu_args(const QemuSpec& s, bool* install_boot) {
  if (install_boot) *install_boot = false;
  std::vector<std::wstring> a;
  auto add = [&](std::initializer_list<std::wstring> items) { a.insert(a.end(), items); };

  const std::wstring fmt = disk_format(s.disk);
  const std::wstring disk = opt_escape(s.disk);
  const std::wstring snap = s.scratch ? L",snapshot=on" : L"";
  const bool cd = !s.cdrom.empty() && file_exists(s.cdrom);
  const std::wstring cdv = L"file=" + opt_escape(s.cdrom) + L",if=none,id=cd,media=cdrom,readonly=on";
  const std::wstring hd = L"file=" + disk + L",if=none,id=hd,format=" + fmt +
                          L",cache=writeback,discard=unmap" + snap;
  const std::wstring mem = std::to_wstring(s.mem);
  const std::wstring cpus = std::to_wstring(s.cpus);

  // QEMU reads the value as an option list: as the value of guest= with its
  // commas doubled, a name may hold commas and equals signs.
  add({L"-name", L"guest=" + opt_escape(widen(s.name))});
  add({L"-qmp", widen(strf("tcp:127.0.0.1:%d,server=on,wait=off", s.port))});
  add({L"-display", s.display});
  add({L"-m", mem});

  if (s.arch == "x86_64") {
    const bool legacy = s.os == 3 || s.os == 9;
    const bool virtio = s.os >= 4 && s.os <= 8;
    add({L"-machine", legacy ? L"pc" : L"q35"});
    add({L"-accel", s.whpx ? L"whpx" : L"tcg,thread=multi"});
    add({L"-cpu", s.whpx ? L"host" : L"max"});
    add({L"-smp", cpus});
    add({L"-device", L"VGA,vgamem_mb=64"});
    add({L"-device", L"piix3-usb-uhci,id=uhci"});
    add({L"-device", L"usb-tablet,bus=uhci.0"});
    add({L"-netdev", L"user,id=n0"});
    add({L"-device", legacy ? L"rtl8139,netdev=n0" : L"e1000,netdev=n0"});
    add({L"-drive", hd});
    add({L"-device", virtio ? L"virtio-blk-pci,drive=hd" : L"ide-hd,bus=ide.0,drive=hd"});
    if (cd) add({L"-drive", cdv, L"-device", L"ide-cd,bus=ide.1,drive=cd,id=cddev"});
    if (s.os != 9) add({L"-audiodev", L"dsound,id=snd0", L"-device", L"intel-hda", L"-device", L"hda-duplex,audiodev=snd0"});
    if (cd && s.install) {
      add({L"-boot", L"once=d"});
      if (install_boot) *install_boot = true;
    }
  } else if (s.arch == "ppc") {
    add({L"-M", L"mac99,via=pmu"});
    add({L"-g", L"1024x768x32"});
    add({L"-netdev", L"user,id=n0"});
    add({L"-device", L"sungem,netdev=n0"});
    add({L"-device", L"usb-kbd"});
    add({L"-device", L"usb-mouse"});
    add({L"-drive", L"file=" + disk + L",format=" + fmt + L",media=disk" + snap});
    if (cd) add({L"-drive", L"file=" + opt_escape(s.cdrom) + L",format=raw,media=cdrom,id=cd"});  // see eject_args
    add({L"-boot", cd && s.install ? L"d" : L"c"});
  } else if (s.arch == "m68k") {
    add({L"-M", L"q800,audiodev=snd0"});
    add({L"-audiodev", L"dsound,id=snd0"});
    add({L"-bios", s.rom});
    add({L"-g", L"1152x870x8"});
    add({L"-rtc", L"base=localtime"});
    add({L"-drive", L"file=" + opt_escape(s.pram) + L",format=raw,if=mtd"});
    add({L"-nic", L"user,model=dp83932"});
    add({L"-drive", L"file=" + disk + L",format=" + fmt + L",media=disk" + snap});
    if (cd) add({L"-drive", L"file=" + opt_escape(s.cdrom) + L",format=raw,media=cdrom,index=2,id=cd"});
  } else if (s.arch == "aarch64" || s.arch == "riscv64") {
    const bool arm = s.arch == "aarch64";
    add({L"-M", L"virt"});
    add({L"-cpu", arm ? L"max" : L"rv64"});
    add({L"-smp", cpus});
    add({L"-bios", arm ? L"edk2-aarch64-code.fd" : L"edk2-riscv-code.fd"});
    add({L"-device", L"ramfb"});
    add({L"-device", L"qemu-xhci,id=xhci"});
    add({L"-device", L"usb-kbd,bus=xhci.0"});
    add({L"-device", L"usb-tablet,bus=xhci.0"});
    add({L"-netdev", L"user,id=n0"});
    add({L"-device", L"virtio-net-pci,netdev=n0"});
    add({L"-drive", hd});
    add({L"-device", L"virtio-blk-pci,drive=hd"});
    if (cd) add({L"-drive", cdv, L"-device", L"usb-storage,bus=xhci.0,drive=cd,id=cddev"});
  }

  for (auto& piece : split_extra(s.extra)) a.push_back(piece);
  return a;
}

std::string eject_args(const std::string& arch) {
  // "cddev" names the drive device, which holds the medium itself only on the
  // PC (ide-cd). The Virt boards' USB storage device hands its medium to a
  // drive inside it (QEMU: "Device does not have a block device backend"),
  // and the Mac boards make their drive from -drive alone, with no device
  // id: there the drive's own name "cd" is what QEMU ejects.
  if (arch == "ppc" || arch == "m68k" || arch == "aarch64" || arch == "riscv64")
    return "{\"device\":\"cd\",\"force\":true}";
  return "{\"id\":\"cddev\",\"force\":true}";
}

// ---- the launch script ---------------------------------------------------------

std::vector<std::wstring> script_args(const ScriptSpec& s) {
  std::vector<std::wstring> a = {L"-NoProfile", L"-ExecutionPolicy", L"Bypass", L"-File", s.script,
                                 L"-TigerRoot", s.root,
                                 L"-Instance", std::to_wstring(s.slot),
                                 L"-QemuDir", s.qemu_dir,
                                 L"-Mem", std::to_wstring(s.mem), L"-Cpus", std::to_wstring(s.cpus)};
  if (!s.main_disk) a.insert(a.end(), {L"-HdImage", s.disk});
  if (s.install) a.push_back(L"-Install");
  if (s.scratch) a.push_back(L"-Scratch");
  if (!s.parent.empty()) a.insert(a.end(), {L"-Embed", s.parent});
  if (!s.extra.empty()) a.insert(a.end(), {L"-Extra", widen(s.extra)});
  if (s.headless) a.push_back(L"-Headless");
  return a;
}

std::wstring script_log_path(const std::wstring& root, int slot) {
  if (slot == 0) return path_join(root, L"vm\\qemu-stderr.log");
  return path_join(root, widen(strf("vm\\qemu-stderr-%d.log", slot)));
}

std::wstring join_cmdline(const std::wstring& program, const std::vector<std::wstring>& args) {
  std::wstring line = quote_arg(program);
  for (auto& a : args) line += L" " + quote_arg(a);
  return line;
}

// ---- ports and slots -------------------------------------------------------------

namespace {

// A port another QEMU of the fleet was told to use, perhaps not bound yet.
bool port_named(const std::wstring& cmdlines, int port) {
  return cmdlines.find(widen(strf("127.0.0.1:%d,", port))) != std::wstring::npos;
}

}  // namespace

int pick_qmp_port(const std::function<bool(int)>& port_free, const std::wstring& cmdlines) {
  for (int p = 4600; p <= 4699; p++)
    if (port_free(p) && !port_named(cmdlines, p)) return p;
  return 0;
}

int pick_slot(const std::function<bool(int)>& port_free, const std::wstring& cmdlines,
              bool main_disk, bool scratch) {
  auto busy = [&](int i) {
    return !port_free(4445 + i) || !port_free(2222 + i) || port_named(cmdlines, 4445 + i);
  };
  if (main_disk && !scratch && !busy(0)) return 0;
  for (int i = 10; i <= 59; i++)
    if (!busy(i)) return i;
  return -1;
}

// ---- command lines of QEMU processes found running ------------------------------------

bool split_cmdline(const std::wstring& cmdline, std::vector<std::wstring>& out) {
  out.clear();
  int n = 0;
  LPWSTR* v = CommandLineToArgvW(cmdline.c_str(), &n);
  if (!v) return false;
  for (int i = 0; i < n; i++) out.emplace_back(v[i]);
  LocalFree(v);
  return true;
}

namespace {

bool has(const std::wstring& s, const wchar_t* what) { return s.find(what) != std::wstring::npos; }

// An option list's value from `at` to the first single comma, with doubled
// commas made single again.
std::wstring opt_value(const std::wstring& v, size_t at) {
  std::wstring out;
  for (size_t i = at; i < v.size(); i++) {
    if (v[i] == L',') {
      if (i + 1 < v.size() && v[i + 1] == L',') {
        out += L',';
        i++;
        continue;
      }
      break;
    }
    out += v[i];
  }
  return out;
}

// The file= part of a -drive value.
std::wstring drive_file(const std::wstring& v) {
  size_t k = v.find(L"file=");
  return k == std::wstring::npos ? L"" : opt_value(v, k + 5);
}

}  // namespace

QemuArgv parse_qemu_argv(const std::vector<std::wstring>& argv) {
  QemuArgv r;
  for (size_t i = 1; i < argv.size(); i++) {
    const std::wstring& o = argv[i];
    const std::wstring v = i + 1 < argv.size() ? argv[i + 1] : L"";
    if (o == L"-name" && !v.empty()) {
      // After guest= a doubled comma is one comma of the name (as QEMU
      // reads it); a bare name ends at the first comma.
      size_t g = v.find(L"guest=");
      r.name = narrow(g != std::wstring::npos ? opt_value(v, g + 6) : v.substr(0, v.find(L',')));
    } else if (o == L"-qmp" && r.qmp_port == 0) {
      size_t t = v.find(L"tcp:");
      if (t != std::wstring::npos) {
        size_t colon = v.find(L':', t + 4);
        if (colon != std::wstring::npos) r.qmp_port = _wtoi(v.c_str() + colon + 1);
      }
    } else if (o == L"-drive") {
      if (has(v, L"media=cdrom")) continue;
      std::wstring path = drive_file(v);
      if (!path.empty()) r.drives.push_back({path, has(v, L"snapshot=on")});
    } else if (o == L"-hda" && !v.empty()) {
      r.drives.push_back({v, false});
    } else if (o == L"-device" && has(v, L"isa-applesmc")) {
      r.applesmc = true;
    } else if ((o == L"-M" || o == L"-machine") && has(v, L"mac99")) {
      r.mac99 = true;
    } else if (o == L"-display" && has(v, L"parent=")) {
      r.can_embed = true;
    }
  }
  return r;
}

const char* guess_external_profile(const QemuArgv& a, const std::wstring& exe) {
  if (a.applesmc) return "macosx-x86";
  if (a.mac99) return "macosx-ppc";
  std::wstring leaf = lower_w(path_leaf(exe));
  if (has(leaf, L"aarch64")) return "linux-arm64";
  if (has(leaf, L"riscv")) return "linux-riscv";
  if (has(leaf, L"m68k")) return "macos7-68k";
  return "other-x64";
}
