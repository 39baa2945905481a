// The console's decisions that need no window: sizes, frame pacing, hit
// testing, navigation, keyboard rules, widget ids, easing, wrapping, toasts,
// form steps and the command line.
#include <gtest/gtest.h>

#include <cmath>

#include "app/app.h"
#include "machines/profile.h"

namespace {

Vm* add_vm(int uid, int phase) {
  auto vm = std::make_unique<Vm>();
  vm->uid = uid;
  vm->phase = phase;
  g_fleet.vms.push_back(std::move(vm));
  return g_fleet.vms.back().get();
}

struct FleetReset {
  FleetReset() { g_fleet.vms.clear(); }
  ~FleetReset() { g_fleet.vms.clear(); }
};

}  // namespace

TEST(AppLogic, SidebarWidthAndDefcon) {
  EXPECT_FLOAT_EQ(sidebar_width(0), 72);
  EXPECT_FLOAT_EQ(sidebar_width(0.5f), 180);
  EXPECT_FLOAT_EQ(sidebar_width(1), 288);
  EXPECT_FLOAT_EQ(sidebar_width(-3), 72);
  EXPECT_FLOAT_EQ(sidebar_width(7), 288);
  App a;
  a.sidebar_anim = 1;
  a.vm_fullscreen = true;
  EXPECT_EQ(a.side_w(), 0);

  FleetReset reset;
  add_vm(99, 2);  // exited machines do not count
  const int want[] = {5, 4, 3, 2, 1, 1};
  for (int n = 0; n <= 5; ++n) {
    EXPECT_EQ(a.defcon(), want[n]) << n << " machines";
    add_vm(n + 1, n % 2);
  }
}

TEST(AppLogic, FramesPerSecond) {
  App a;
  a.now = 100;
  struct Case {
    App::View view;
    bool full;
    float fps;
  } cases[] = {{App::Home, false, 60},        {App::Wizard, false, 30}, {App::Import, false, 30},
               {App::Transfers, false, 30},   {App::Running, false, 15}, {App::Running, true, 4},
               {App::SettingsView, false, 15}, {App::Edit, false, 15},   {App::Storage, false, 15}};
  for (const Case& c : cases) {
    a.view = c.view;
    a.vm_fullscreen = c.full;
    EXPECT_EQ(a.fps(), c.fps) << int(c.view);
  }
  a.view = App::SettingsView;
  a.vm_fullscreen = false;
  a.launch_fx_time = 98.5;  // younger than 2 s
  EXPECT_EQ(a.fps(), 60);
  a.launch_fx_time = -100;  // the start-up value: no effect at start
  EXPECT_EQ(a.fps(), 15);
  a.modal.open = true;
  EXPECT_EQ(a.fps(), 60);
  a.modal.open = false;
  a.easing = true;
  EXPECT_EQ(a.fps(), 60);
}

TEST(AppLogic, Navigation) {
  FleetReset reset;
  add_vm(7, 1);
  App a;
  a.now = 5;
  a.selected_uid = 7;
  a.scroll = 30;
  a.focused = 9;
  a.go(App::Running);  // keeps the selection
  EXPECT_EQ(a.selected_uid, 7);
  EXPECT_EQ(a.view, App::Running);
  EXPECT_EQ(a.view_since, 5);
  EXPECT_EQ(a.focused, 0u);
  EXPECT_EQ(a.scroll, 0);

  a.now = 6;
  a.wizard_step = 1;
  a.go(App::Wizard);
  EXPECT_EQ(a.selected_uid, 0);
  EXPECT_EQ(a.wizard_step, 0);
  EXPECT_EQ(a.view_since, 6);
  a.now = 7;
  a.go(App::Wizard);  // same view: the clock stays
  EXPECT_EQ(a.view_since, 6);

  a.select(7);
  EXPECT_EQ(a.view, App::Running);
  EXPECT_EQ(a.selected(), g_fleet.by_uid(7));
  g_fleet.vms[0]->phase = 2;
  EXPECT_EQ(a.selected(), nullptr);  // exited

  // Leaving the running-machine view leaves its full screen.
  a.view = App::Running;
  a.vm_fullscreen = a.cover_applied = true;
  a.go(App::SettingsView);
  EXPECT_FALSE(a.vm_fullscreen);

  a.view = App::Storage;
  a.parked = [] {};
  a.go_home();
  EXPECT_EQ(a.view, App::Home);
  EXPECT_FALSE(a.parked);
  EXPECT_EQ(a.selected_uid, 0);

  // An exited selected machine sends the console home at the next tick.
  a.select(7);
  a.tick();
  EXPECT_EQ(a.view, App::Home);
  EXPECT_TRUE(g_fleet.vms.empty());
}

TEST(AppLogic, KeyboardRules) {
  FleetReset reset;
  App a;
  // Esc with a question answers its last choice once, after closing it.
  int answers = 0, got = -1;
  bool open_during = true;
  a.ask("Q", "B", {"YES", "MAYBE", "CANCEL"}, [&](int i) { ++answers, got = i, open_during = a.modal.open; }, pal.cyan);
  EXPECT_TRUE(a.on_key(VK_ESCAPE, false, false));
  EXPECT_EQ(answers, 1);
  EXPECT_EQ(got, 2);
  EXPECT_FALSE(open_during);
  EXPECT_FALSE(a.on_key(VK_ESCAPE, false, false));  // home: declined
  EXPECT_EQ(answers, 1);

  a.on_key('1', false, false);
  EXPECT_EQ(a.view, App::Wizard);
  EXPECT_FALSE(a.on_key('2', false, false));  // digits act on the home view only
  a.wizard_step = 1;
  EXPECT_TRUE(a.on_key(VK_ESCAPE, false, false));
  EXPECT_EQ(a.wizard_step, 0);
  EXPECT_TRUE(a.on_key(VK_ESCAPE, false, false));
  EXPECT_EQ(a.view, App::Home);

  for (App::View v : {App::Import, App::SettingsView, App::Transfers}) {
    a.view = v;
    EXPECT_TRUE(a.on_key(VK_ESCAPE, false, false));
    EXPECT_EQ(a.view, App::Home);
  }
  // Esc leaves the storage view as its CANCEL does: the view returned to
  // makes its entrance.
  a.view = App::Storage;
  a.parked_view = App::Wizard;
  a.parked = [] {};
  a.view_since = 3;
  a.now = 12;
  EXPECT_TRUE(a.on_key(VK_ESCAPE, false, false));
  EXPECT_EQ(a.view, App::Wizard);
  EXPECT_EQ(a.view_since, 12);
  EXPECT_FALSE(a.parked);

  // A focused field takes Esc and the commands, but not F11.
  a.view = App::Home;
  a.focused = 42;
  EXPECT_FALSE(a.on_key(VK_ESCAPE, false, false));
  EXPECT_FALSE(a.on_key('N', true, false));
  EXPECT_EQ(a.view, App::Home);
  a.focused = 0;

  EXPECT_TRUE(a.on_key('B', true, false));
  EXPECT_TRUE(a.sidebar_open);
  EXPECT_TRUE(a.on_key('N', true, false));
  EXPECT_EQ(a.view, App::Wizard);
  EXPECT_TRUE(a.on_key(VK_HOME, true, false));
  EXPECT_EQ(a.view, App::Home);
  EXPECT_TRUE(a.on_key(VK_UP, true, false));  // used even with no machine
  EXPECT_FALSE(a.on_key('Q', false, false));
  a.modal.open = true;
  EXPECT_FALSE(a.on_key('1', false, false));
}

TEST(AppLogic, MainLoopDecision) {
  LoopClock c{10.0, 5.0, 5.2};
  double wake = -1;
  // Idle at 15 fps: no frame before next_frame, sleep until it.
  EXPECT_FALSE(frame_due(c, 5.1, false, wake));
  EXPECT_DOUBLE_EQ(wake, 5.2);
  EXPECT_TRUE(frame_due(c, 5.2, false, wake));
  // Input: a frame once 1/240 s has passed, not 1/15 s.
  EXPECT_FALSE(frame_due(c, 5.001, true, wake));
  EXPECT_DOUBLE_EQ(wake, 5.0 + 1.0 / 240);
  EXPECT_TRUE(frame_due(c, 5.005, true, wake));
  // The housekeeping tick can come first.
  LoopClock d{5.1, 5.0, 6.0};
  EXPECT_FALSE(frame_due(d, 5.05, false, wake));
  EXPECT_DOUBLE_EQ(wake, 5.1);
}

TEST(AppLogic, HitTesting) {
  std::vector<D2D_RECT_F> buttons = {{1000, 0, 1046, 44}};
  D2D_RECT_F max{1046, 0, 1092, 44};
  struct Case {
    float x, y;
    bool popup, zoomed;
    int want;
  } cases[] = {
      {2, 2, false, false, HTTOPLEFT},       {1197, 2, false, false, HTTOPRIGHT},
      {2, 797, false, false, HTBOTTOMLEFT},  {1199, 799, false, false, HTBOTTOMRIGHT},
      {3, 300, false, false, HTLEFT},        {1194, 300, false, false, HTRIGHT},
      {500, 5.9f, false, false, HTTOP},      {500, 794, false, false, HTBOTTOM},
      {500, 5, false, true, HTCAPTION},      {3, 300, false, true, HTCLIENT},
      {500, 44, false, false, HTCLIENT},     {500, 43.9f, false, false, HTCAPTION},
      {1046, 20, false, false, HTMAXBUTTON}, {1092, 20, false, false, HTCAPTION},
      {1000, 20, false, false, HTCLIENT},    {1045.9f, 20, false, false, HTCLIENT},
      {2, 2, true, false, HTCLIENT},         {500, 20, true, false, HTCLIENT},
  };
  for (const Case& c : cases)
    EXPECT_EQ(hit_test(c.x, c.y, 1200, 800, c.popup, c.zoomed, max, buttons), c.want) << c.x << "," << c.y;
}

TEST(AppLogic, WidgetIdsAndEasing) {
  EXPECT_EQ(widget_id("", 0), 84696351u);
  EXPECT_NE(widget_id("opt", 0), widget_id("opt", 1));
  // FNV-1a of "a" is 0xE40C292C; mixing in that same value gives 0, which becomes 1.
  EXPECT_EQ(widget_id("a", int(0xE40C292Cu)), 1u);
  App a;
  EXPECT_EQ(a.id("modal", 3), widget_id("modal", 3));
  // Layer keys: a C string hashes its characters (a site id once went in as
  // a pointer with the running key for its length).
  const char* site = "geneva";
  EXPECT_EQ(hash64(site, 7), hash64(std::string("geneva"), 7));

  // Easing halves the way to its target every tau ln 2 seconds and covers
  // 1 - 1/e of it in tau, whatever the frame rate; it snaps once within 0.004.
  bool moving = false;
  const float tau = 0.07f, half = 0.07f * 0.6931472f;
  EXPECT_NEAR(ease_step(0, true, half, tau, moving), 0.5f, 1e-5f);
  EXPECT_TRUE(moving);
  EXPECT_NEAR(ease_step(1, false, half, tau, moving), 0.5f, 1e-5f);
  EXPECT_NEAR(ease_step(0, true, tau, tau, moving), 0.6321206f, 1e-5f);
  float twice = ease_step(ease_step(0, true, half / 2, tau, moving), true, half / 2, tau, moving);
  EXPECT_NEAR(twice, 0.5f, 1e-5f);  // two short frames make one long one
  EXPECT_NEAR(ease_step(0.9959f, true, 0, tau, moving), 0.9959f, 1e-6f);  // 0.0041 away: still moving
  EXPECT_TRUE(moving);
  EXPECT_EQ(ease_step(0.9961f, true, 0, tau, moving), 1.0f);  // 0.0039 away: snaps
  EXPECT_FALSE(moving);
  a.dt = 0.016;
  EXPECT_GT(a.ease(5, true, 0.07f), 0);
  EXPECT_TRUE(a.easing);

  // Hover: right and bottom edges are outside; only the current layer reacts;
  // a widget scrolled out of its form's clip does not react.
  D2D_RECT_F r{10, 10, 50, 30};
  const std::pair<D2D_POINT_2F, bool> points[] = {
      {{10, 10}, true}, {{49.9f, 29.9f}, true}, {{50, 20}, false}, {{20, 30}, false}, {{9.9f, 20}, false}};
  for (auto [p, in] : points) {
    a.mouse = p;
    EXPECT_EQ(a.hovering(r), in) << p.x << "," << p.y;
  }
  a.mouse = {20, 20};
  a.modal.open = true;
  EXPECT_FALSE(a.hovering(r));
  a.layer = 1;
  EXPECT_TRUE(a.hovering(r));
  a.layer = 0;
  a.modal.open = false;
  a.clips.push_back({0, 25, 100, 100});
  EXPECT_FALSE(a.hovering(r));
  a.clips.clear();

  // A click needs the press and the release over the same widget.
  u32 one = a.id("b", 1), two = a.id("b", 2);
  D2D_RECT_F r2{60, 10, 100, 30};
  a.pressed = true;
  EXPECT_FALSE(a.clicked(one, r, IDC_HAND));
  EXPECT_EQ(a.active, one);
  a.pressed = false;
  a.mouse = {70, 20};
  a.released = true;
  EXPECT_FALSE(a.clicked(two, r2, IDC_HAND));
  a.mouse = {20, 20};
  EXPECT_TRUE(a.clicked(one, r, IDC_HAND));
  EXPECT_EQ(a.rects[two].left, 60);  // recorded whether hovered or not
}

TEST(AppLogic, WrapWithMeasure) {
  auto measure = [](const std::string& s) { return float(s.size() * 10); };
  float h = 0;
  auto lines = wrap_lines("A\n\nB", 100, 10, 1.5f, measure, h);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_FLOAT_EQ(h, 45);
  EXPECT_FLOAT_EQ(lines[1].dy, 30);
  lines = wrap_lines("ONE TWO   THREE FOURFIVESIXSEVEN", 100, 10, 1, measure, h);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "ONE TWO");
  EXPECT_EQ(lines[1].text, "THREE");
  EXPECT_EQ(lines[2].text, "FOURFIVESIXSEVEN");  // never split, even when too wide
  wrap_lines("", 100, 10, 1, measure, h);
  EXPECT_EQ(h, 0);
}

TEST(AppLogic, TypedCharactersAsUtf8) {
  EXPECT_EQ(typed_utf8(L"Ab \u00E9"), "Ab \xC3\xA9");
  // U+1F680 comes as the pair D83D DE80: one character of four bytes.
  EXPECT_EQ(typed_utf8(std::wstring{L'x', wchar_t(0xD83D), wchar_t(0xDE80), L'y'}), "x\xF0\x9F\x9A\x80y");
  // Controls, and halves without their partners, are left out.
  EXPECT_EQ(typed_utf8(std::wstring{L'\t', wchar_t(0xDE80), L'a', wchar_t(0xD83D), L'b', wchar_t(0xD83D)}), "ab");
  EXPECT_EQ(typed_utf8(L""), "");
}

TEST(AppLogic, StepsFormatsAndScroll) {
  EXPECT_EQ(nearest_step({1, 2, 4, 8}, 3), 1);  // tie: the first
  EXPECT_EQ(nearest_step({1, 2, 4, 8}, 100), 3);
  EXPECT_EQ(nearest_step({}, 3), -1);
  Profile p = profiles()[0];
  p.max_mem_mb = 512;
  EXPECT_EQ(mem_steps(p), (std::vector<int>{32, 64, 128, 256, 384, 512}));
  p.max_mem_mb = 16;
  EXPECT_TRUE(mem_steps(p).empty());
  p.max_cpus = 3;
  EXPECT_EQ(cpu_steps(p), (std::vector<int>{1, 2, 3}));
  p.max_cpus = 0;
  EXPECT_TRUE(cpu_steps(p).empty());
  const std::pair<int, const char*> mem[] = {{768, "768 MB"}, {1024, "1 GB"}, {3072, "3 GB"}, {1536, "1.5 GB"},
                                             {24576, "24 GB"}};
  for (auto [mb, text] : mem) EXPECT_EQ(mem_fmt(mb), text);
  EXPECT_EQ(disk_fmt(512), "512 GB");
  EXPECT_EQ(disk_fmt(1024), "1 TB");
  EXPECT_EQ(disk_fmt(2048), "2 TB");
  EXPECT_EQ(kMemSteps.size(), 18u);
  EXPECT_EQ(kDiskSteps.size(), 23u);

  EXPECT_EQ(scroll_clamp(-5, 1000, 400), 0);
  EXPECT_EQ(scroll_clamp(900, 1000, 400), 640);  // last row plus 40 DIPs
  EXPECT_EQ(scroll_clamp(120, 100, 400), 0);     // shorter than its area: never scrolls
}

TEST(AppLogic, BannerGeometryAndFade) {
  D2D_RECT_F r{100, 44, 700, 800};  // 600 wide
  BannerBox b = banner_box(r, "ONE\nTWO", 1);
  EXPECT_FLOAT_EQ(b.box.right - b.box.left, 520);
  EXPECT_FLOAT_EQ(b.box.bottom - b.box.top, 68);
  EXPECT_FLOAT_EQ(b.box.top, 58);
  EXPECT_FLOAT_EQ(banner_box(r, "ONE\nTWO\n", 1).box.bottom - b.box.top, 83);
  D2D_RECT_F wide{0, 0, 1000, 800};
  b = banner_box(wide, "X", 1);
  EXPECT_FLOAT_EQ(b.box.right - b.box.left, 760);
  EXPECT_FLOAT_EQ(b.box.left, 120);
  const std::pair<double, float> fade[] = {{0, 0}, {1.0 / 12, 0.5f}, {1.0 / 6, 1}, {9.3, 1}, {9.5, 0.75f}, {10, 0}};
  for (auto [age, a] : fade) EXPECT_NEAR(banner_box(wide, "X", age).alpha, a, 1e-5) << age;
  EXPECT_EQ(banner_box(wide, "X", 10.01).alpha, 0);
  EXPECT_EQ(banner_box(wide, "X", -1).alpha, 0);  // a clock that went back shows nothing
  EXPECT_EQ(banner_box(wide, "", 1).alpha, 0);
}

TEST(AppLogic, CommandLineAndWindowSize) {
  struct Case {
    std::vector<std::wstring> argv;
    bool tool;
    std::wstring qemu;
    float dpi;
  } cases[] = {
      {{L"vunk"}, false, L"", 0},
      {{L"vunk", L"--selftest"}, false, L"", 0},  // no report file: the console
      {{L"vunk", L"--selftest", L"r.txt"}, true, L"", 0},
      {{L"vunk", L"--record-demo"}, false, L"", 0},  // no forced DPI outside tool modes
      {{L"vunk", L"--record-demo", L"v.mp4"}, true, L"", 120},
      {{L"vunk", L"--record-qe", L"assets", L"v.mp4"}, true, L"", 96},
      {{L"vunk", L"--qemu"}, false, L"", 0},
      {{L"vunk", L"--qemu", L"A", L"--qemu", L"B"}, false, L"B", 0},
      {{L"vunk", L"--shots", L"out", L"--qemu", L"Q"}, true, L"Q", 0},
  };
  for (const Case& c : cases) {
    Args a = parse_args(c.argv);
    EXPECT_EQ(a.tool, c.tool) << narrow(c.argv.back());
    EXPECT_EQ(a.qemu, c.qemu);
    EXPECT_EQ(a.force_dpi, c.dpi);
  }
  RECT work{0, 0, 1920, 1040};
  RECT r = main_window_rect(work, 144, false);
  EXPECT_EQ(r.left, 30);
  EXPECT_EQ(r.top, 30);
  EXPECT_EQ(r.right - r.left, 1860);
  EXPECT_EQ(r.bottom - r.top, 980);
  r = main_window_rect(RECT{100, 0, 2660, 1440}, 96, false);
  EXPECT_EQ(r.left, 100 + (2560 - 1640) / 2);
  EXPECT_EQ(r.bottom - r.top, 1000);
  r = main_window_rect(work, 144, true);  // tool modes: exactly 1640 x 1000
  EXPECT_EQ(r.right - r.left, 1640);
  EXPECT_EQ(r.bottom - r.top, 1000);
}

TEST(AppLogic, PostedResults) {
  std::string* mine = new std::string("{}");
  posted_add(mine);
  int forged = 0;
  EXPECT_FALSE(posted_take(&forged));
  EXPECT_FALSE(posted_take(nullptr));
  EXPECT_TRUE(posted_take(mine));
  EXPECT_FALSE(posted_take(mine));  // once only
  delete mine;

  App a;
  a.import_reading = true;
  a.on_info(new std::string(" \r\n{\"format\": \"qcow2\", \"virtual-size\": 1073741824, \"actual-size\": 196608}"));
  EXPECT_FALSE(a.import_reading);
  EXPECT_EQ(a.import_format, "qcow2");
  EXPECT_EQ(a.import_vsize, 1073741824u);
  EXPECT_EQ(a.import_asize, 196608u);
  a.on_info(new std::string("not json"));  // keeps what it had
  EXPECT_EQ(a.import_format, "qcow2");
  a.on_info(new std::string("{\"virtual-size\": -5}"));
  EXPECT_EQ(a.import_format, "");
  EXPECT_EQ(a.import_vsize, 0u);
}
