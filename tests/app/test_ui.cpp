// The console drawn into a real (hidden) main window with the program's own
// window procedure, driven by posted input messages: modal questions, toasts,
// the sidebar, the settings view, widgets, cached layers and worker messages.
// Screenshots are left in <build>/app-shots for a person to look at.
#include <gtest/gtest.h>

#include "app/app.h"
#include "gfx/layer.h"
#include "tests/gfx/gfx_test.h"
#include "machines/machine.h"
#include "machines/profile.h"
#include "tests/support/test_support.h"

namespace {

HWND g_win = nullptr;

void pump_frame() {
  pump();
  g_app.frame();
}

LPARAM at(float x, float y) { return MAKELPARAM(int(x), int(y)); }

void move_to(float x, float y) {
  PostMessageW(g_win, WM_MOUSEMOVE, 0, at(x, y));
  pump_frame();
}

void click(float x, float y) {
  move_to(x, y);
  PostMessageW(g_win, WM_LBUTTONDOWN, MK_LBUTTON, at(x, y));
  pump_frame();
  PostMessageW(g_win, WM_LBUTTONUP, 0, at(x, y));
  pump_frame();
}

void click(u32 id) {
  ASSERT_TRUE(g_app.rects.count(id));
  D2D_RECT_F r = g_app.rects[id];
  click((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

void key(UINT vk) {
  PostMessageW(g_win, WM_KEYDOWN, vk, 1);
  pump_frame();
}

std::wstring shot(const char* name) {
  CreateDirectoryW(build_path("app-shots").c_str(), nullptr);
  std::wstring path = build_path(std::string("app-shots/") + name);
  EXPECT_TRUE(g_app.surface.save_png(path));
  return path;
}

// Share of pixels in a box whose brightest channel exceeds 100.
double lit_share(const std::wstring& png, int x0, int y0, int x1, int y1) {
  u32 w = 0, h = 0;
  std::vector<u8> px;
  if (!decode_bgra(png, w, h, px)) return -1;
  int lit = 0, all = 0;
  for (int y = y0; y < y1 && y < int(h); ++y)
    for (int x = x0; x < x1 && x < int(w); ++x, ++all) {
      const u8* p = pixel(px, w, x, y);
      lit += std::max({p[0], p[1], p[2]}) > 100;
    }
  return all ? double(lit) / all : 0;
}

class AppUi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(gfx_ready());
    Surface::force_offscreen = true;
    register_main_class(GetModuleHandleW(nullptr));
    g_win = CreateWindowExW(0, L"VunkMain", L"V.U.N.K.", WS_POPUP, 0, 0, 1400, 860, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(g_win);
    g_app.init(g_win);
    g_fleet.vms.clear();
  }
  void SetUp() override {
    g_app.go_home();
    g_app.modal.open = false;
    g_app.toast = Toast{};
    g_app.sidebar_open = false;
    pump_frame();
  }
};

}  // namespace

TEST_F(AppUi, HomeViewAndCachedLayers) {
  pump_frame();
  std::wstring png = shot("home.png");
  u32 w = 0, h = 0;
  std::vector<u8> px;
  ASSERT_TRUE(decode_bgra(png, w, h, px));
  EXPECT_EQ(w, 1400u);
  EXPECT_EQ(h, 860u);
  EXPECT_GT(lit_share(png, 200, 100, 1300, 400), 0.005);  // the map's outlines
  EXPECT_LT(lit_share(png, 200, 100, 1300, 400), 0.3);
  // Both cards and the list recorded their widgets.
  EXPECT_TRUE(g_app.rects.count(g_app.id("opt", 0)));
  EXPECT_TRUE(g_app.rects.count(g_app.id("opt", 1)));

  // Idle frames repaint no layer and make few draw calls.
  Layer& map = g_app.layers.layers[g_app.id("homemap", 0)];
  int builds = map.builds;
  ASSERT_GT(builds, 0);
  u64 before = g_draw_calls;
  for (int i = 0; i < 5; ++i) pump_frame();
  EXPECT_EQ(map.builds, builds);
  EXPECT_LT((g_draw_calls - before) / 5, 60u);

  // "opt" 0 opens the wizard at its first step; Esc returns home.
  g_app.wizard_step = 1;
  click(g_app.id("opt", 0));
  EXPECT_EQ(g_app.view, App::Wizard);
  EXPECT_EQ(g_app.wizard_step, 0);
  key(VK_ESCAPE);
  EXPECT_EQ(g_app.view, App::Home);
}

TEST_F(AppUi, ModalQuestionByClickAndEsc) {
  int answer = -1;
  g_app.ask("SHUTDOWN V.U.N.K.?", "2 SYSTEMS ARE RUNNING INSIDE THIS WINDOW. THEY KEEP RUNNING.",
            {"DETACH AND EXIT", "CANCEL"}, [&](int i) { answer = i; }, pal.pink);
  pump_frame();
  pump_frame();
  std::wstring png = shot("modal.png");
  EXPECT_GT(lit_share(png, 420, 300, 980, 560), 0.01);  // the panel and its text
  EXPECT_LT(lit_share(png, 0, 600, 300, 860), 0.01);     // the veiled view underneath

  // The view underneath does not react while the question is open.
  D2D_RECT_F card = g_app.rects[g_app.id("opt", 0)];
  click((card.left + card.right) / 2, (card.top + card.bottom) / 2);
  EXPECT_EQ(g_app.view, App::Home);
  EXPECT_EQ(answer, -1);

  click(g_app.id("modal", 0));
  EXPECT_EQ(answer, 0);
  EXPECT_FALSE(g_app.modal.open);

  // Esc answers the last choice; a second question from the answer stays open.
  int second = -1;
  g_app.ask("Q1", "B", {"A", "B", "CANCEL"}, [&](int i) {
    answer = i;
    g_app.ask("Q2", "B", {"OK"}, [&](int j) { second = j; }, pal.red);
  }, pal.cyan);
  pump_frame();
  key(VK_ESCAPE);
  EXPECT_EQ(answer, 2);
  EXPECT_TRUE(g_app.modal.open);
  EXPECT_EQ(g_app.modal.title, "Q2");
  key(VK_ESCAPE);
  EXPECT_EQ(second, 0);
  EXPECT_FALSE(g_app.modal.open);
}

TEST_F(AppUi, ToastShowsFadesAndDismisses) {
  g_app.note("TEST: TOAST SHOWN\nSECOND LINE IN ICE", pal.amber);
  g_app.clock_offset = 1;  // a second into the toast: fully shown
  pump_frame();
  std::wstring png = shot("toast.png");
  BannerBox b = banner_box(g_app.content_rect(), g_app.toast.text, 1);
  EXPECT_GT(lit_share(png, int(b.box.left), int(b.box.top), int(b.box.right), int(b.box.bottom)), 0.02);
  EXPECT_EQ(g_app.fps(), 60);
  // Clicking it removes it at once.
  click(g_app.id("banner", 0));
  EXPECT_EQ(g_app.toast.time, -100);
  g_app.clock_offset = 0;
}

TEST_F(AppUi, SidebarExpandsAndCollapses) {
  click(g_app.id("sidetoggle", 0));
  EXPECT_TRUE(g_app.sidebar_open);
  for (int i = 0; i < 40 && g_app.sidebar_anim < 1; ++i) {
    Sleep(15);
    pump_frame();
  }
  EXPECT_EQ(g_app.side_w(), 288);
  shot("sidebar-open.png");
  click(g_app.id("sideconf", 0));
  EXPECT_EQ(g_app.view, App::SettingsView);
  click(g_app.id("sidetoggle", 0));
  for (int i = 0; i < 40 && g_app.sidebar_anim > 0; ++i) {
    Sleep(15);
    pump_frame();
  }
  EXPECT_EQ(g_app.side_w(), 72);
}

TEST_F(AppUi, SettingsView) {
  g_app.go(App::SettingsView);
  pump_frame();
  pump_frame();
  std::wstring png = shot("settings.png");
  EXPECT_GT(lit_share(png, 100, 60, 1300, 600), 0.005);
  for (int i = 0; i < 7; ++i) EXPECT_TRUE(g_app.rects.count(g_app.id("browse", i))) << i;
  Layer& layer = g_app.layers.layers[g_app.id("settings", 0)];
  int builds = layer.builds;
  // Idle: the same picture is not drawn again.
  int still = g_app.still_frames;
  u64 before = g_draw_calls;
  for (int i = 0; i < 5; ++i) pump_frame();
  EXPECT_EQ(layer.builds, builds);
  EXPECT_GE(g_app.still_frames - still, 4);
  EXPECT_LT(g_draw_calls - before, 40u);
  // A pointer over a button draws again: its hover shows, the layer keeps.
  D2D_RECT_F b = g_app.rects[g_app.id("browse", 2)];
  still = g_app.still_frames;
  move_to(b.left + 5, b.top + 5);
  EXPECT_EQ(g_app.still_frames, still);
  EXPECT_EQ(g_app.hot, g_app.id("browse", 2));
  move_to(-50, -50);
}

TEST_F(AppUi, TextFieldAndStepper) {
  App& a = g_app;
  std::string value = "AB";
  D2D_RECT_F r{100, 100, 400, 140};
  u32 fid = a.id("field", 0);
  auto field_frame = [&] {
    a.surface.begin();
    a.text_field(fid, r, value, 8);
    a.surface.end();
    a.typed.clear();
    a.keys.clear();
    a.pressed = a.released = false;
  };
  a.mouse = {150, 120};
  a.pressed = true;
  field_frame();
  EXPECT_EQ(a.focused, fid);
  a.typed = L"c\x00e9";  // AltGr and accented characters are typed text
  field_frame();
  EXPECT_EQ(value, "ABc\xc3\xa9");
  a.keys = {{VK_BACK, false}};
  field_frame();
  EXPECT_EQ(value, "ABc");
  a.typed = L"0123456789";  // cut at 8 bytes
  field_frame();
  EXPECT_EQ(value, "ABc01234");
  a.keys = {{VK_RETURN, false}};
  field_frame();
  EXPECT_EQ(a.focused, 0u);

  bool on = false;
  D2D_RECT_F cb{100, 160, 300, 190};
  a.mouse = {120, 175};
  a.pressed = a.released = true;
  a.surface.begin();
  EXPECT_TRUE(a.check_box(a.id("check", 0), cb, "SCRATCH", on));
  a.surface.end();
  EXPECT_TRUE(on);
  a.pressed = a.released = false;

  int v = 1000;
  std::vector<int> steps = {256, 512, 1024, 2048};
  D2D_RECT_F s{100, 200, 400, 236};
  a.mouse = {250, 218};
  a.wheel = 1;
  a.surface.begin();
  EXPECT_TRUE(a.stepper(a.id("mem", 0), s, v, steps, mem_fmt));
  a.surface.end();
  EXPECT_EQ(v, 2048);
  EXPECT_EQ(a.wheel, 0);  // consumed
  a.wheel = 1;
  a.surface.begin();
  EXPECT_FALSE(a.stepper(a.id("mem", 0), s, v, steps, mem_fmt));  // clamped at the end
  a.surface.end();
  a.wheel = 0;
  a.mouse = {-10000, -10000};
}

TEST_F(AppUi, GlyphsAndNestedFrames) {
  // Seventeen glyphs; 7 and 9 draw alike, 17 draws nothing.
  auto glyph_pixels = [](u32 g) {
    g_app.surface.begin();
    g_app.draw_glyph(Glyph(g), 100, 100, 40, pal.cyan, 1.4f);
    g_app.surface.end();
    std::vector<u8> px;
    g_app.surface.read_bgra(px);
    return px;
  };
  std::vector<u8> none = glyph_pixels(17);
  std::vector<std::vector<u8>> all;
  for (u32 g = 0; g < 17; ++g) {
    all.push_back(glyph_pixels(g));
    EXPECT_NE(all.back(), none) << "glyph " << g;
  }
  EXPECT_EQ(all[7], all[9]);
  EXPECT_NE(all[7], all[8]);
  EXPECT_EQ(glyph_pixels(40), none);

  // A frame asked for while one runs (WM_SIZE from a window operation) only
  // asks for another frame.
  g_app.in_frame = true;
  g_app.dirty = false;
  double last = g_app.last;
  g_app.frame();
  EXPECT_TRUE(g_app.dirty);
  EXPECT_EQ(g_app.last, last);
  g_app.in_frame = false;
}

TEST_F(AppUi, CoverFormByF11) {
  RECT before;
  GetWindowRect(g_win, &before);
  PostMessageW(g_win, WM_KEYDOWN, VK_F11, 1 | (1 << 30));  // auto-repeat: ignored
  pump_frame();
  EXPECT_FALSE(g_app.ui_cover);
  key(VK_F11);
  EXPECT_TRUE(g_app.ui_cover);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoW(MonitorFromWindow(g_win, MONITOR_DEFAULTTONEAREST), &mi);
  RECT r;
  GetWindowRect(g_win, &r);
  EXPECT_EQ(r.right - r.left, mi.rcMonitor.right - mi.rcMonitor.left);
  EXPECT_EQ(r.bottom - r.top, mi.rcMonitor.bottom - mi.rcMonitor.top);
  EXPECT_TRUE(GetWindowLongW(g_win, GWL_STYLE) & WS_POPUP);
  key(VK_F11);
  EXPECT_FALSE(g_app.ui_cover);
  GetWindowRect(g_win, &r);
  EXPECT_EQ(r.right - r.left, before.right - before.left);
  EXPECT_EQ(r.bottom - r.top, before.bottom - before.top);
}

TEST_F(AppUi, SidebarRowTooltip) {
  auto vm = std::make_unique<Vm>();
  vm->uid = 41;
  vm->phase = 1;
  vm->name = "Work Box";
  vm->status = "paused";
  g_fleet.vms.push_back(std::move(vm));
  move_to(36, 104 + 22);
  pump_frame();
  EXPECT_TRUE(g_app.popup.visible);
  EXPECT_EQ(g_app.popup.text, "WORK BOX  //  UNKNOWN PROFILE  //  PAUSED");
  click(36, 104 + 22);
  EXPECT_EQ(g_app.view, App::Running);
  EXPECT_EQ(g_app.selected_uid, 41);
  move_to(-50, -50);
  EXPECT_FALSE(g_app.popup.visible);
  g_fleet.vms.clear();
}

TEST_F(AppUi, WorkerMessagesAndTooltip) {
  // A pointer the program did not post is ignored (another program can post it).
  g_app.import_reading = true;
  PostMessageW(g_win, kMsgInfo, 0, LPARAM(0x12345678));
  PostMessageW(g_win, kMsgCatalog, 0, LPARAM(0x12345678));
  pump();
  EXPECT_TRUE(g_app.import_reading);
  auto* text = new std::string("{\"format\":\"raw\"}");
  posted_add(text);
  PostMessageW(g_win, kMsgInfo, 0, LPARAM(text));
  pump();
  EXPECT_FALSE(g_app.import_reading);
  EXPECT_EQ(g_app.import_format, "raw");

  // The tooltip: (text + 30) x 30 DIPs, drawn again only for a new text.
  Popup& p = g_app.popup;
  float tw = p.surface.text_width("SOME MACHINE", 10, 0.16f);
  p.show("SOME MACHINE", pal.green, POINT{100, 100}, 144);
  RECT wr;
  GetWindowRect(p.hwnd, &wr);
  EXPECT_EQ(wr.right - wr.left, int((tw + 30) * 1.5f));
  EXPECT_EQ(wr.bottom - wr.top, 45);
  EXPECT_EQ(wr.top, 100 - 22);
  int renders = p.renders;
  p.show("SOME MACHINE", pal.green, POINT{120, 140}, 144);
  EXPECT_EQ(p.renders, renders);
  p.show("OTHER", pal.green, POINT{120, 140}, 144);
  EXPECT_EQ(p.renders, renders + 1);
  p.hide();
  EXPECT_FALSE(p.visible);
}

TEST_F(AppUi, SettingsSaveAndLibraryReload) {
  std::wstring dir = test_dir("app-settings");
  Settings saved = g_set;
  g_set.ini = path_join(dir, L"vunk.ini");
  for (const wchar_t* m : {L"m1", L"m2"}) {
    Machine rec;
    CreateDirectoryW(path_join(dir, m).c_str(), nullptr);
    rec.dir = path_join(path_join(dir, m), L"alpha");
    rec.name = narrow(m);
    rec.profile = "other-x64";
    ASSERT_TRUE(rec.save());
  }
  g_set.machines_dir = path_join(dir, L"m1");
  g_lib.load();
  Machine* first = g_lib.by_id("alpha");
  ASSERT_TRUE(first);
  auto vm = std::make_unique<Vm>();
  vm->uid = 77;
  vm->phase = 1;
  vm->machine = first;
  Vm* running = vm.get();
  g_fleet.vms.push_back(std::move(vm));

  // A --qemu folder holds for this run only: saving writes vunk.ini's own.
  g_app.ini_qemu_dir = L"C:\\qemu-of-the-ini";
  g_app.qemu_override = true;
  g_set.qemu_dir = L"C:\\qemu-of-this-run";
  g_app.set_path_setting(2, path_join(dir, L"m2"));  // the machines folder
  wchar_t buf[512];
  GetPrivateProfileStringW(L"paths", L"qemu_dir", L"", buf, 512, g_set.ini.c_str());
  EXPECT_STREQ(buf, L"C:\\qemu-of-the-ini");
  GetPrivateProfileStringW(L"paths", L"machines_dir", L"", buf, 512, g_set.ini.c_str());
  EXPECT_EQ(std::wstring(buf), path_join(dir, L"m2"));
  EXPECT_EQ(g_set.qemu_dir, L"C:\\qemu-of-this-run");

  // The library was read again; the running machine points at the new record.
  ASSERT_EQ(g_lib.size(), 1u);
  EXPECT_EQ(g_lib[0]->name, "m2");
  EXPECT_EQ(running->machine, g_lib[0].get());

  g_fleet.vms.clear();
  g_set = saved;
  g_app.qemu_override = false;
  g_lib.clear();
  remove_tree(dir);
}

// A setting that cannot be written to vunk.ini says so in red (its value
// still holds for this run); one that can says nothing.
TEST_F(AppUi, SettingsSaveFailureShown) {
  std::wstring dir = test_dir("app-settings-fail");
  Settings saved = g_set;
  g_set.ini = path_join(dir, L"vunk.ini");
  g_app.qemu_override = false;
  g_app.toast = Toast{};
  g_app.set_path_setting(5, path_join(dir, L"media"));  // INSTALL MEDIA FOLDER
  EXPECT_TRUE(g_app.toast.text.empty()) << g_app.toast.text;
  EXPECT_EQ(ini_get(g_set.ini, L"paths", L"media_dir", L""), path_join(dir, L"media"));

  // Its folder gone (a removed drive, a deleted folder): nothing can be written.
  g_set.ini = path_join(dir, L"gone\\vunk.ini");
  g_app.set_path_setting(5, path_join(dir, L"other"));
  EXPECT_EQ(g_app.toast.text, "INSTALL MEDIA FOLDER: NOT SAVED\nCAN'T WRITE " + upper(narrow(g_set.ini)));
  EXPECT_EQ(g_app.toast.colour.g, pal.red.g);
  EXPECT_EQ(g_set.media_dir, path_join(dir, L"other"));
  pump_frame();
  shot("settings-not-saved.png");
  g_set = saved;
  g_app.toast = Toast{};
}

// Frames drawn part by part (only what changed since the last frame) equal
// the same frames drawn whole from their lists (and through Direct2D alone,
// without the device's blits), pixel for pixel, through the
// views' animations: the home view's radar and tracks, the launch effect, a
// toast that fades, hover and sidebar easing, the wizard and the running
// machine's view with its trace.
TEST_F(AppUi, ListedFramesEqualWholeFrames) {
  if (g_app.surface.phosphor.glow) GTEST_SKIP() << "this Direct2D has the glow: frames are composed whole";
  auto add_vm = [](int uid, const char* name, const char* profile, double started) {
    auto vm = std::make_unique<Vm>();
    vm->uid = uid;
    vm->phase = 1;
    vm->name = name;
    vm->status = "running";
    vm->profile = find_profile(profile);
    vm->started = started;
    vm->start_unix = 1.7e9;
    g_fleet.vms.push_back(std::move(vm));
    return g_fleet.vms.back().get();
  };
  Vm* a = add_vm(51, "Track One", "linux-x64", g_app.now - 1.0);
  add_vm(52, "Track Two", "win98", g_app.now - 2.2);
  std::vector<u8> part, whole;
  int frames = 0, partial = 0;
  const u64 all = u64(g_app.surface.width) * g_app.surface.height;
  auto check = [&](const char* what, int n, const std::function<void(int)>& step) {
    for (int i = 0; i < n; ++i) {
      if (step) step(i);
      g_app.clock_offset += 0.07;  // animations move on faster than the clock
      pump_frame();
      ASSERT_TRUE(g_app.surface.read_bgra(part));
      ASSERT_TRUE(g_app.surface.read_whole_bgra(whole));
      ASSERT_EQ(first_difference(part, whole, g_app.surface.width), "") << what << " frame " << i;
      g_app.surface.blits = false;  // the same through Direct2D alone
      ASSERT_TRUE(g_app.surface.read_whole_bgra(whole));
      g_app.surface.blits = true;
      ASSERT_EQ(first_difference(part, whole, g_app.surface.width), "") << what << " frame " << i << ", Direct2D only";
      ++frames;
      if (g_app.surface.stats.pixels < all) ++partial;
    }
  };
  check("home", 10, nullptr);
  g_app.launch_fx_time = g_app.now;
  g_app.launch_fx_label = "TRACK ONE";
  check("launch effect", 8, nullptr);
  g_app.note("TEST: A TOAST\nTHAT FADES", pal.amber);
  D2D_RECT_F card = g_app.rects[g_app.id("opt", 1)];
  check("toast and hover", 10, [&](int i) {
    if (i == 2) move_to((card.left + card.right) / 2, (card.top + card.bottom) / 2);
    if (i == 6) move_to(-50, -50);
    if (i == 8) g_app.toast.time -= 9.8;  // the toast's last fade
  });
  check("sidebar", 8, [](int i) {
    if (i == 0) g_app.sidebar_open = true;
  });
  g_app.sidebar_open = false;
  g_app.go(App::Wizard);
  check("wizard", 6, nullptr);
  g_app.select(a->uid);
  check("running", 8, [&](int i) { a->cpu_history.push_back(0.1f * float(i % 5)); });
  EXPECT_GT(partial, frames / 2) << "frames should mostly draw parts";
  shot("listed-running.png");
  g_app.go_home();
  g_fleet.vms.clear();
}
