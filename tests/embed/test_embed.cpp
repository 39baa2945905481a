// The QEMU bridge's own display against real QEMU: a PC launched by the fleet
// into a host window (docking, detaching, the guest's size and screen, real X
// keys typed into the guest, the display's hot keys), and a QEMU started with
// a plain own-window display that the fleet's window search finds.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <memory>

#include "machines/fleet.h"
#include "machines/library.h"
#include "machines/proc.h"
#include "machines/settings.h"
#include "tests/fleet/fleet_test_util.h"
#include "tests/support/test_support.h"

namespace {

// A boot sector that prints a banner, then echoes each key it reads from the
// BIOS, keeping the last one (ASCII, scan code) at 0x500 and a count at 0x502:
//   cli; xor ax,ax; mov ds,ax; mov ss,ax; mov sp,0x7c00; sti
//   mov word [0x500],0; mov byte [0x502],0; mov si,msg
//   print: lodsb; or al,al; jz keys; mov ah,0x0e; mov bx,7; int 0x10; jmp print
//   keys: xor ah,ah; int 0x16; mov [0x500],ax; inc byte [0x502]
//         mov ah,0x0e; mov bx,7; int 0x10; jmp keys
//   msg: db "VUNK GUEST READY. TYPE: ", 0
const unsigned char kBootCode[] = {
    0xfa, 0x31, 0xc0, 0x8e, 0xd8, 0x8e, 0xd0, 0xbc, 0x00, 0x7c, 0xfb, 0xc7, 0x06, 0x00, 0x05, 0x00, 0x00,
    0xc6, 0x06, 0x02, 0x05, 0x00, 0xbe, 0x3b, 0x7c, 0xac, 0x08, 0xc0, 0x74, 0x09, 0xb4, 0x0e, 0xbb, 0x07,
    0x00, 0xcd, 0x10, 0xeb, 0xf2, 0x30, 0xe4, 0xcd, 0x16, 0xa3, 0x00, 0x05, 0xfe, 0x06, 0x02, 0x05, 0xb4,
    0x0e, 0xbb, 0x07, 0x00, 0xcd, 0x10, 0xeb, 0xec, 'V', 'U', 'N', 'K', ' ', 'G', 'U', 'E', 'S', 'T', ' ',
    'R', 'E', 'A', 'D', 'Y', '.', ' ', 'T', 'Y', 'P', 'E', ':', ' ', 0};

std::wstring bridge(const wchar_t* name) { return path_join(build_path("qemu"), name); }

// Runs a Linux program (xdotool, ImageMagick) through the bridge.
bool linux_run(const std::wstring& args, std::string* out = nullptr) {
  std::string o;
  bool ok = run_capture(quote_arg(bridge(L"linux-run.exe")) + L" " + args, o, 20000);
  if (out) *out = o;
  return ok;
}

// The screen under a window as 32-bit pixels, read through the screen's DC.
std::vector<u32> screen_pixels(HWND w, int& width, int& height) {
  RECT r;
  GetWindowRect(w, &r);
  width = r.right - r.left, height = r.bottom - r.top;
  std::vector<u32> px;
  if (width <= 0 || height <= 0) return px;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB};
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  px.assign((u32*)bits, (u32*)bits + size_t(width) * height);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return px;
}

// Pixels that are not black (the guest's text).
size_t lit_pixels(HWND w) {
  int width = 0, height = 0;
  size_t n = 0;
  for (u32 p : screen_pixels(w, width, height)) n += (p & 0xFFFFFF) > 0x202020;
  return n;
}

class Embed : public ::testing::Test {
 protected:
  std::wstring root;
  Machine machine;
  std::vector<std::pair<VmEvent, i64>> events;

  void SetUp() override {
    ASSERT_TRUE(file_exists(bridge(L"qemu-system-x86_64.exe"))) << "the QEMU bridge is not built";
    fleet_reset();
    g_fleet.last_discover = now_s() + 1e9;
    root = test_dir("embed");
    g_set.qemu_dir = build_path("qemu");
    g_set.machines_dir = root;
    g_fleet.on_event = [this](Vm&, VmEvent e, i64 arg) { events.push_back({e, arg}); };
    HWND main = test_main_window();
    // Right of where other tests' windows open on the shared screen, which
    // would cover the pixels read here.
    SetWindowPos(main, HWND_TOP, 880, 300, 1000, 720, SWP_SHOWWINDOW);
    SetForegroundWindow(main);
  }

  void TearDown() override {
    for (auto& v : g_fleet.vms)
      if (v->process) {
        TerminateProcess(v->process, 9);
        WaitForSingleObject(v->process, 10000);
      }
    fleet_reset();
    ShowWindow(test_main_window(), SW_HIDE);
    remove_tree(root);
  }

  bool tick_until(const std::function<bool()>& done, double timeout_s) {
    const double end = now_s() + timeout_s;
    while (now_s() < end) {
      g_fleet.tick();
      if (pump_until(done, 0.2)) return true;
    }
    return done();
  }

  // An event of that kind (with that argument, when one is given).
  bool saw(VmEvent e, i64 arg = -1) {
    for (auto& p : events)
      if (p.first == e && (arg < 0 || p.second == arg)) return true;
    return false;
  }

  // The host placed in the main window with the display filling it, as the
  // console's layout does.
  void place(Vm& vm, int w, int h) {
    SetWindowPos(vm.host, nullptr, 20, 20, w, h, SWP_NOACTIVATE | SWP_SHOWWINDOW);
    SetWindowPos(vm.guest, nullptr, 0, 0, w, h, SWP_ASYNCWINDOWPOS | SWP_SHOWWINDOW | SWP_NOACTIVATE | SWP_NOZORDER);
  }

  // "xp" of the guest's key record: {last ASCII, last scan code, count}.
  std::vector<int> key_record(Vm& vm) {
    // The answer may come after this gives up waiting: it lands in memory of its own.
    auto text = std::make_shared<std::pair<bool, std::string>>();
    g_fleet.qmp_do(vm, "human-monitor-command", "{\"command-line\":\"xp /3bx 0x500\"}",
                   [text](bool ok, const JVal& v) { *text = {true, ok ? v.s : ""}; });
    tick_until([&] { return text->first; }, 10);
    const std::string t = text->second;
    std::vector<int> bytes;
    for (size_t at = t.find("0x", t.find(':')); at != std::string::npos; at = t.find("0x", at + 2))
      bytes.push_back((int)strtol(t.c_str() + at, nullptr, 16));
    return bytes;
  }
};

}  // namespace

TEST_F(Embed, DockedPcShowsItsGuestTakesKeysAndDetaches) {
  std::string sector((const char*)kBootCode, sizeof kBootCode);
  sector.resize(510, '\0');
  sector += "\x55\xaa";
  std::string disk = sector + std::string(1024 * 1024 - 512, '\0');
  machine.dir = root;
  machine.name = "Embed Box";
  machine.profile = "linux-x64";
  machine.disk = path_join(root, L"boot.img");
  machine.mem = 64;
  machine.cpus = 1;
  ASSERT_TRUE(write_bytes(machine.disk, disk));

  std::string err;
  const double t0 = now_s();
  Vm* vm = g_fleet.launch(machine, err, -1, L"");
  ASSERT_NE(vm, nullptr) << err;
  ASSERT_TRUE(vm->can_embed);
  ASSERT_NE(vm->host, nullptr);
  EXPECT_NE(read_bytes(vm->log_path).find(",parent=0x"), std::string::npos);

  // Notification 1: a child window of the host, in the QEMU process.
  ASSERT_TRUE(tick_until([&] { return vm->docked; }, 40)) << read_bytes(vm->log_path);
  EXPECT_LT(now_s() - t0, 40.0);
  EXPECT_TRUE(saw(VmEvent::Embedded, (i64)(uintptr_t)vm->guest));
  EXPECT_EQ(GetAncestor(vm->guest, GA_PARENT), vm->host);
  DWORD owner = 0;
  GetWindowThreadProcessId(vm->guest, &owner);
  EXPECT_EQ(owner, vm->pid);

  // Notification 2: SeaBIOS's text mode, as QEMU reports it.
  ASSERT_TRUE(tick_until([&] { return vm->guest_w == 720 && vm->guest_h == 400; }, 30))
      << vm->guest_w << "x" << vm->guest_h;
  place(*vm, 720, 400);
  ASSERT_TRUE(tick_until([&] { return lit_pixels(vm->guest) > 2000; }, 30)) << "the display stays dark";

  // Real X keys reach the guest once the display has the focus. The
  // pointer rests over it: with no window manager the X focus can be left
  // on the root window by earlier programs on the display, and X then gives
  // keys to the window under the pointer.
  RECT at;
  GetWindowRect(vm->guest, &at);
  ASSERT_TRUE(linux_run(L"xdotool mousemove " + std::to_wstring((at.left + at.right) / 2) + L" " +
                        std::to_wstring((at.top + at.bottom) / 2)));
  g_fleet.focus_guest(*vm);
  ASSERT_TRUE(tick_until([&] { return vm->guest_focused; }, 10));
  ASSERT_TRUE(tick_until([&] { return vm->qmp.ready; }, 20)) << read_bytes(vm->log_path);
  ASSERT_EQ(key_record(*vm).size(), 3u);
  const size_t before = lit_pixels(vm->guest);
  ASSERT_TRUE(linux_run(L"xdotool type --delay 50 vunk"));
  std::vector<int> rec;
  EXPECT_TRUE(tick_until([&] { return (rec = key_record(*vm)).size() == 3 && rec[2] == 4; }, 15));
  ASSERT_EQ(rec.size(), 3u);
  EXPECT_EQ(rec[0], 'k');
  EXPECT_EQ(rec[1], 0x25);  // the scan code of K
  EXPECT_TRUE(tick_until([&] { return lit_pixels(vm->guest) > before; }, 10)) << "the echo never showed";
  // The boot screen with the echo, for a person to look at.
  RECT r;
  GetWindowRect(vm->guest, &r);
  const std::wstring png = build_path("embed-guest.png");
  ASSERT_TRUE(linux_run(L"import -window root -crop " + std::to_wstring(r.right - r.left) + L"x" +
                        std::to_wstring(r.bottom - r.top) + L"+" + std::to_wstring(r.left) + L"+" +
                        std::to_wstring(r.top) + L" +repage " + quote_arg(png)));
  EXPECT_EQ(read_bytes(png).substr(1, 3), "PNG");

  // The display's own keys: the console's hot keys, full screen, grab.
  ASSERT_TRUE(linux_run(L"xdotool key ctrl+alt+b ctrl+alt+Up ctrl+alt+f ctrl+alt+g"));
  EXPECT_TRUE(tick_until([&] { return vm->mouse_grabbed; }, 10));
  EXPECT_TRUE(saw(VmEvent::GuestKey, 'B'));
  EXPECT_TRUE(saw(VmEvent::GuestKey, VK_UP));
  EXPECT_TRUE(saw(VmEvent::FullscreenToggle, 1));
  ASSERT_TRUE(linux_run(L"xdotool key ctrl+alt+g"));
  EXPECT_TRUE(tick_until([&] { return !vm->mouse_grabbed; }, 10));
  EXPECT_EQ(key_record(*vm), rec) << "a hot key reached the guest";

  // Detached: a top-level window of its own; docked again: back in the host.
  g_fleet.detach(*vm);
  ASSERT_TRUE(tick_until([&] { return !vm->docked; }, 10));
  EXPECT_TRUE(saw(VmEvent::Detached, (i64)(uintptr_t)vm->guest));
  EXPECT_EQ(GetAncestor(vm->guest, GA_PARENT), GetDesktopWindow());
  EXPECT_TRUE(IsWindowVisible(vm->guest));
  // Beside the main window and below other tests' windows, so that the
  // screen shows it whatever the stacking.
  SetWindowPos(vm->guest, nullptr, 60, 560, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  EXPECT_TRUE(tick_until([&] { return lit_pixels(vm->guest) > 2000; }, 10)) << "the detached window is dark";
  ASSERT_TRUE(g_fleet.dock(*vm));
  ASSERT_TRUE(tick_until([&] { return vm->docked; }, 10));
  EXPECT_EQ(GetAncestor(vm->guest, GA_PARENT), vm->host);
  place(*vm, 740, 420);
  EXPECT_TRUE(tick_until([&] { return lit_pixels(vm->guest) > 2000; }, 10)) << "dark after docking again";

  // A host that goes away (the console ended) leaves the machine running in a
  // window of its own, which the window search finds.
  DestroyWindow(vm->host);
  vm->host = nullptr;
  vm->docked = false;
  vm->guest = nullptr;
  ASSERT_TRUE(tick_until([&] { return vm->guest != nullptr; }, 10));
  EXPECT_EQ(GetAncestor(vm->guest, GA_PARENT), GetDesktopWindow());
  EXPECT_EQ(vm->phase, 1);

  g_fleet.force_off(*vm);
  EXPECT_TRUE(tick_until([&] { return vm->phase == 2; }, 20));
}

TEST_F(Embed, OwnWindowDisplayIsFoundAsTheMachinesWindow) {
  const std::wstring cl = quote_arg(bridge(L"qemu-system-x86_64.exe")) +
                          L" -machine pc -nodefaults -vga std -m 32 -display sdl";
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start_program(cl, pi));
  CloseHandle(pi.hThread);
  Vm* vm = add_test_vm(true, 0);
  vm->pid = pi.dwProcessId;
  vm->process = pi.hProcess;
  ASSERT_TRUE(tick_until([&] {
    g_fleet.find_window(*vm);
    return vm->guest != nullptr;
  }, 30));
  EXPECT_EQ(GetAncestor(vm->guest, GA_PARENT), GetDesktopWindow());
  // It takes the guest's size (the VGA's first mode) and shows it.
  RECT c{};
  EXPECT_TRUE(tick_until([&] { return GetClientRect(vm->guest, &c) && c.right == 720 && c.bottom == 400; }, 20))
      << c.right << "x" << c.bottom;
  EXPECT_TRUE(tick_until([&] { return lit_pixels(vm->guest) > 500; }, 20));
  // Closing it ends QEMU, as closing QEMU's window does.
  PostMessageW(vm->guest, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 15000), WAIT_OBJECT_0);
}

TEST(EmbedArgs, OnlyOwnWindowDisplaysAreRewritten) {
  struct Case {
    const wchar_t* display;
    bool rewritten;
  } cases[] = {
      {L"d3d11,integer-scale=on,parent=0x1a2b", true},
      {L"sdl", true},
      {L"sdl,parent=0x10", true},
      {L"none", false},
      {L"gtk", false},
      {L"sdlx", false},
  };
  SetEnvironmentVariableW(L"VUNK_BRIDGE_DRYRUN", L"1");
  for (const Case& c : cases) {
    std::string out;
    ASSERT_TRUE(run_capture(quote_arg(bridge(L"qemu-system-ppc.exe")) + L" -M mac99 -display " + c.display, out,
                            20000));
    const std::string want = c.rewritten ? "-display\nnone\n-vnc\nunix:/tmp/qemu-bridge-DIR/vnc\n"
                                         : "-display\n" + narrow(c.display) + "\n";
    EXPECT_NE(out.find(want), std::string::npos) << narrow(c.display) << ":\n" << out;
    if (!c.rewritten) {
      EXPECT_EQ(out.find("-vnc"), std::string::npos) << out;
    }
  }
  SetEnvironmentVariableW(L"VUNK_BRIDGE_DRYRUN", nullptr);
}
