// The running-machine view's plain decisions: where the guest picture goes,
// the state word and colour, the hot-key switching, the trace, the launch
// effect's timing, the two-click tools and the order of the pre-launch
// questions.
#include <gtest/gtest.h>

#include "app/app.h"
#include "app/running.h"

namespace {

bool same(D3DCOLORVALUE a, D3DCOLORVALUE b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

}  // namespace

TEST(RunningPlain, PictureRect) {
  struct Row {
    D2D_RECT_F area;
    int gw, gh;
    float dpi;
    D2D_RECT_F want;
  } rows[] = {
      // Scale 2 fits: 1280 x 960 centred in 1400 x 1000.
      {{0, 0, 1400, 1000}, 640, 480, 96, {60, 20, 1340, 980}},
      // Larger than the area: shrunk by 1400/1920, sizes truncated, y rounded half away.
      {{0, 0, 1400, 1000}, 1920, 1080, 96, {0, 107, 1400, 894}},
      // Size not reported yet: placed as 1280 x 720 (scale 1 in this area).
      {{100, 50, 1500, 1050}, 0, 0, 96, {160, 190, 1440, 910}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    D2D_RECT_F got = fit_picture(rows[i].area, rows[i].gw, rows[i].gh, rows[i].dpi);
    EXPECT_FLOAT_EQ(got.left, rows[i].want.left) << i;
    EXPECT_FLOAT_EQ(got.top, rows[i].want.top) << i;
    EXPECT_FLOAT_EQ(got.right, rows[i].want.right) << i;
    EXPECT_FLOAT_EQ(got.bottom, rows[i].want.bottom) << i;
  }
  // 144 DPI: an area of 1500 x 1050 pixels takes a 640 x 480 guest at scale 2,
  // placed on whole pixels (110, 45).
  D2D_RECT_F hi = fit_picture(D2D_RECT_F{0, 0, 1000, 700}, 640, 480, 144);
  EXPECT_FLOAT_EQ(hi.left * 1.5f, 110);
  EXPECT_FLOAT_EQ(hi.top * 1.5f, 45);
  EXPECT_FLOAT_EQ((hi.right - hi.left) * 1.5f, 1280);
  EXPECT_FLOAT_EQ((hi.bottom - hi.top) * 1.5f, 960);
  // A collapsed area gives an empty picture, never a negative one.
  D2D_RECT_F none = fit_picture(D2D_RECT_F{10, 10, 5, 5}, 640, 480, 96);
  EXPECT_GE(none.right - none.left, 0);
  EXPECT_GE(none.bottom - none.top, 0);
}

TEST(RunningPlain, StateWordAndColour) {
  struct Row {
    int phase;
    const char* status;
    const char* text;
    D3DCOLORVALUE colour;
  } rows[] = {
      {0, "paused", "ACQUIRING SIGNAL", pal.amber},  // the colour rows start at the status
      {1, "paused", "PAUSED", pal.amber},
      {1, "shutdown", "SHUTTING DOWN", pal.orange},
      {1, "powering down", "POWERING DOWN", pal.orange},
      {1, "", "RUNNING", pal.green},
      {1, "Paused", "RUNNING", pal.green},  // exact, case-sensitive
      {1, "running", "RUNNING", pal.green},
  };
  for (const Row& r : rows) {
    Vm vm;
    vm.phase = r.phase;
    vm.status = r.status;
    EXPECT_EQ(state_text(vm), r.text) << r.status;
    EXPECT_TRUE(same(state_color(vm), r.colour)) << r.status;
  }
}

TEST(RunningPlain, GuestKeySwitching) {
  struct Row {
    std::vector<int> live;
    int selected;
    unsigned vk;
    int want;
  } rows[] = {
      {{3, 5}, 3, VK_UP, 5},    // Up on the first wraps to the last
      {{3, 5}, 5, VK_DOWN, 3},  // Down on the last wraps to the first
      {{3, 5, 8}, 5, VK_UP, 3},
      {{3, 5, 8}, 5, VK_DOWN, 8},
      {{3, 5}, 4, VK_UP, 5},    // the selection exited: Up takes the last running one
      {{3, 5}, 4, VK_DOWN, 3},  // and Down the first
      {{3, 5}, 0, VK_UP, 5},
      {{}, 4, VK_UP, 0},        // nothing running: nothing chosen
      {{3, 5}, 3, 'B', 0},      // other keys choose no machine
  };
  for (const Row& r : rows) EXPECT_EQ(guest_key_pick(r.live, r.selected, r.vk), r.want) << r.selected << " " << r.vk;
}

TEST(RunningPlain, TraceKeepsTheNewestAtTheRightEdge) {
  D2D_RECT_F r{0, 0, 30, 42};  // room for 10 points
  std::vector<float> values;
  for (int i = 0; i < 15; ++i) values.push_back(float(i) / 14);
  auto pts = trace_points(r, values, 1.0f);
  ASSERT_EQ(pts.size(), 10u);
  EXPECT_FLOAT_EQ(pts.back().x, 30);
  EXPECT_FLOAT_EQ(pts.back().y, 1);  // value 1.0: the top, less one DIP
  EXPECT_FLOAT_EQ(pts.front().x, 3);
  EXPECT_FLOAT_EQ(pts.front().y, 41 - (5.0f / 14) * 40);  // the 10th from the end is value 5/14
  // Values beyond the range are clamped; a maximum of 0 lies flat at the bottom.
  auto hi = trace_points(r, {5.0f, -2.0f}, 1.0f);
  ASSERT_EQ(hi.size(), 2u);
  EXPECT_FLOAT_EQ(hi[0].y, 1);
  EXPECT_FLOAT_EQ(hi[1].y, 41);
  for (auto p : trace_points(r, {0.5f, 0.7f}, 0.0f)) EXPECT_FLOAT_EQ(p.y, 41);
  // One value, or a rectangle narrower than 6 DIPs: no line.
  EXPECT_TRUE(trace_points(r, {0.5f}, 1.0f).empty());
  EXPECT_TRUE(trace_points(D2D_RECT_F{0, 0, 5.9f, 40}, values, 1.0f).empty());
}

TEST(RunningPlain, LaunchEffectTiming) {
  struct Row {
    double age;
    bool visible;
    float a, text;
  } rows[] = {
      {0.15, true, 1, 0.35f},   // dim part of the blink (0.14 - 0.24)
      {1.5, true, 0.3f, 0.3f},  // fading in the last third; 1.5 mod 0.24 = 0.06: bright
      {1.61, false, 0, 0},
      {-0.5, false, 0, 0},
  };
  for (const Row& r : rows) {
    LaunchFx fx = launch_fx_at(r.age);
    EXPECT_EQ(fx.visible, r.visible) << r.age;
    EXPECT_NEAR(fx.a, r.a, 1e-5) << r.age;
    EXPECT_NEAR(fx.text, r.text, 1e-5) << r.age;
  }
}

TEST(RunningPlain, TwoClickToolsExpireAfterThreeSeconds) {
  u32 armed = 0;
  double at = 0;
  EXPECT_FALSE(two_click(armed, at, 7, 10.0));  // arms
  EXPECT_TRUE(is_armed(armed, at, 7, 12.9));
  EXPECT_TRUE(two_click(armed, at, 7, 12.9));   // confirms within 3 s
  EXPECT_EQ(armed, 0u);
  EXPECT_FALSE(two_click(armed, at, 7, 20.0));
  EXPECT_FALSE(is_armed(armed, at, 7, 23.0));
  EXPECT_FALSE(two_click(armed, at, 7, 23.0));  // expired: arms again instead of acting
  EXPECT_DOUBLE_EQ(at, 23.0);
  EXPECT_FALSE(two_click(armed, at, 9, 23.5));  // another tool takes the arm over
  EXPECT_FALSE(two_click(armed, at, 7, 24.0));
}

TEST(RunningPlain, PreLaunchQuestionOrder) {
  PreLaunchFacts all;
  all.disk_present = true;
  all.m68k = true;
  all.main_tiger = true;
  all.other_build = true;
  all.writer = true;
  EXPECT_EQ(pre_launch_question(all), PreLaunch::Rom);
  all.rom_found = true;
  EXPECT_EQ(pre_launch_question(all), PreLaunch::TigerBuild);
  all.dir_given = true;  // answered: the folder is given
  EXPECT_EQ(pre_launch_question(all), PreLaunch::DiskInUse);
  all.scratch = true;  // answered: scratch mode
  EXPECT_EQ(pre_launch_question(all), PreLaunch::None);
  PreLaunchFacts missing = all;
  missing.rom_found = false;
  missing.disk_present = false;  // the launcher reports the missing disk: no question
  EXPECT_EQ(pre_launch_question(missing), PreLaunch::None);
}

// The tools of the running-machine view: the labels, glyphs and action
// numbers of the toolkit's glyph table, one place for the display.
TEST(RunningPlain, ToolsOfTheView) {
  auto labels = [](const std::vector<VmTool>& tools) {
    std::string s;
    for (const VmTool& t : tools) s += strf("%d:%d:%s%s|", t.action, t.glyph, t.label.c_str(), t.enabled ? "" : "(off)");
    return s;
  };
  VmToolFacts docked{false, true, true, true, true};
  EXPECT_EQ(labels(vm_tools(docked)),
            "1:0:PAUSE|2:2:RESET|3:3:SHUT DOWN|4:4:FORCE OFF|5:5:FULL|6:6:CAPTURE|7:7:POP OUT|10:10:EJECT|11:11:CONFIG|");
  VmToolFacts paused_detached{true, false, true, true, false};
  EXPECT_EQ(labels(vm_tools(paused_detached)),
            "1:1:RESUME|2:2:RESET|3:3:SHUT DOWN|4:4:FORCE OFF|5:5:FULL|6:6:CAPTURE|8:8:DOCK|10:10:EJECT|"
            "11:11:CONFIG(off)|");
  // A QEMU that cannot dock: its own window, brought forward by WINDOW
  // (the glyph of POP OUT's drawing, number 9), off while no window is known.
  auto own = vm_tools(VmToolFacts{false, false, true, false, true});
  EXPECT_EQ(own[6].action, kActWindow);
  EXPECT_EQ(own[6].glyph, 9);
  EXPECT_EQ(own[6].label, "WINDOW");
  EXPECT_TRUE(own[6].enabled);
  EXPECT_FALSE(vm_tools(VmToolFacts{false, false, false, false, true})[6].enabled);
  EXPECT_FALSE(vm_tools(VmToolFacts{false, true, false, true, true})[6].enabled);  // POP OUT without a display
  // Tool ids tell machines and actions apart.
  EXPECT_NE(vm_tool_id(kActWindow, 5), vm_tool_id(kActWindow, 6));
  EXPECT_NE(vm_tool_id(kActWindow, 5), vm_tool_id(kActDock, 5));
  // The labels a place can come to show, for the rows' room.
  auto all = [](const VmTool& t) {
    std::string s;
    for (const std::string& l : vm_tool_labels(t)) s += l + "|";
    return s;
  };
  auto tools = vm_tools(docked);
  EXPECT_EQ(all(tools[0]), "PAUSE|RESUME|");
  EXPECT_EQ(all(tools[1]), "RESET|CONFIRM RESET?|");
  EXPECT_EQ(all(tools[3]), "FORCE OFF|CONFIRM FORCE OFF?|");
  EXPECT_EQ(all(tools[6]), "POP OUT|DOCK|WINDOW|");
  EXPECT_EQ(all(tools[8]), "CONFIG|");
}

// The tools' rows: one row where the widest labels fit, as the view always
// laid them out; else rows broken by the widest labels, so that arming a tool
// moves no tool to another row nor past the right edge.
TEST(RunningPlain, ToolRows) {
  auto text = [](const ToolRows& t) {
    std::string s = strf("%d:", t.rows);
    for (const D2D_RECT_F& r : t.rects) s += strf(" %g-%g@%g", r.left, r.right, r.top);
    return s;
  };
  std::vector<float> rest = {90, 88, 130, 126}, widest = {100, 194, 130, 234};
  EXPECT_EQ(text(tool_rows(rest, widest, 20, 720, 900)), "1: 20-110@900 120-208@900 218-348@900 358-484@900");
  // 20 + 100 + 194 + 130 + 234 + 30 = 708 ends by 708, not by 700.
  EXPECT_EQ(text(tool_rows(rest, widest, 20, 708, 900)), "1: 20-110@900 120-208@900 218-348@900 358-484@900");
  EXPECT_EQ(text(tool_rows(rest, widest, 20, 700, 900)), "2: 20-110@850 120-208@850 218-348@850 20-146@900");
  std::vector<float> armed = {90, 194, 130, 126};  // CONFIRM RESET? shown
  ToolRows a = tool_rows(armed, widest, 20, 700, 900);
  EXPECT_EQ(text(a), "2: 20-110@850 120-314@850 324-454@850 20-146@900");
  armed = {90, 88, 130, 234};  // CONFIRM FORCE OFF? shown
  EXPECT_EQ(text(tool_rows(armed, widest, 20, 700, 900)), "2: 20-110@850 120-208@850 218-348@850 20-254@900");
  // A label narrower than the one shown counts as the one shown; a tool wider
  // than the row takes one of its own; nothing gives no row.
  EXPECT_EQ(text(tool_rows({50, 600, 50}, {}, 0, 500, 900)), "3: 0-50@800 0-600@850 0-50@900");
  EXPECT_EQ(text(tool_rows({}, {}, 0, 500, 900)), "0:");
}

// Process times that are in fact the asking process's own (read just before
// and after) are no figure of the other process: Wine answers so.
TEST(RunningPlain, ProcessTimesThatAreOurOwn) {
  EXPECT_TRUE(times_are_own(500, 500, 500));
  EXPECT_TRUE(times_are_own(505, 500, 510));
  EXPECT_FALSE(times_are_own(499, 500, 510));
  EXPECT_FALSE(times_are_own(511, 500, 510));
  EXPECT_FALSE(times_are_own(0, 500, 510));
}
