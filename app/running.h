// Running machines in the console: the plain decisions behind the launch
// questions, the running-machine view, machine events and the placement of
// docked guest windows. Kept apart from the window calls so the tests can
// check them without a window.
#pragma once

#include <windows.h>
#include <d2d1.h>

#include <string>
#include <vector>

#include "core/common.h"

struct Machine;
struct Placement;

// A two-click tool is armed for 3.0 s after its first click.
constexpr double kArmSeconds = 3.0;
// Docked guests stay hidden this long after a launch, under the launch effect.
constexpr double kLaunchHold = 1.25;

// Whether the tool `id` shows its confirming label at `now`.
bool is_armed(u32 armed, double armed_at, u32 id, double now);
// A click on a two-click tool: true when it confirms (the tool then runs and
// disarms); otherwise the tool arms (replacing any other armed action).
bool two_click(u32& armed, double& armed_at, u32 id, double now);

// The guest picture in DIPs for an area at `dpi`: whole-number scale when the
// guest fits, else shrunk; centred on whole device pixels; 1280 x 720 while
// the guest's size is not known.
D2D_RECT_F fit_picture(const D2D_RECT_F& area, int guest_w, int guest_h, float dpi);

// The machine the hot keys Up and Down select among the live uids (fleet
// order), with wrap-around; 0 when there is none or the key is another.
int guest_key_pick(const std::vector<int>& live, int selected, unsigned vk);

// The points of a statistics trace in r: the last values that fit 3 DIPs
// apart, newest at the right edge; empty when fewer than two fit.
std::vector<D2D_POINT_2F> trace_points(const D2D_RECT_F& r, const std::vector<float>& values, float max);

// The launch effect at `age` seconds: visible, its strength a and text alpha t.
struct LaunchFx {
  bool visible = false;
  float a = 0, text = 0;
};
LaunchFx launch_fx_at(double age);

// What layout_children does with a docked guest this frame.
enum class Place { Nothing, Hide, Show };
// `record` is the last placement of the Vm (null: none yet); `show` whether
// the guest should be visible (the target, with its size known).
Place place_action(const Placement* record, bool show, const RECT& r);

// The question to ask before a launch, in the order the console asks them.
enum class PreLaunch { None, Rom, TigerBuild, DiskInUse };
struct PreLaunchFacts {
  bool m68k = false;          // the profile is the 68k Mac
  bool rom_found = false;     // a Quadra ROM is there for its disk
  bool main_tiger = false;    // the launch script's own main disk
  bool other_build = false;   // the setup holds a QEMU build other than the configured one
  bool dir_given = false;     // the launch names its QEMU folder already
  bool scratch = false;       // the launch writes nothing to the disk
  bool writer = false;        // another live machine writes the disk
  bool disk_present = false;  // the disk exists (else the launcher reports it)
};
PreLaunch pre_launch_question(const PreLaunchFacts& f);

// The tool buttons along the bottom of the running-machine view. Each has
// the action number of the toolkit's glyph table: its glyph is the glyph of
// that number, but for action 1, which shows the pause glyph (0) while the
// machine runs and the resume glyph (1) while it is paused.
enum VmAction : int {
  kActPause = 1, kActReset = 2, kActShutDown = 3, kActForceOff = 4, kActFull = 5, kActCapture = 6,
  kActPopOut = 7, kActDock = 8, kActWindow = 9, kActEject = 10, kActConfig = 11,
};
struct VmTool {
  int action = 0;
  int glyph = 0;
  std::string label;
  bool enabled = true;
  std::string armed_label;  // two-click tools: the label while armed (empty for the others)
};
struct VmToolFacts {
  bool paused = false;      // QMP status "paused"
  bool docked = false;      // its display sits in the console
  bool own_window = false;  // QEMU's display window is known
  bool can_embed = false;   // its QEMU build can be docked
  bool has_record = false;  // a machine record to configure
};
// The tools in their order: PAUSE or RESUME, RESET, SHUT DOWN, FORCE OFF,
// FULL, CAPTURE, then one place for the display (POP OUT while docked, DOCK
// when its QEMU can dock, else WINDOW: QEMU's own window brought forward),
// EJECT and CONFIG (the machine's edit form).
std::vector<VmTool> vm_tools(const VmToolFacts& f);
// The widget id of a tool of the machine with that uid.
u32 vm_tool_id(int action, int uid);
// Every label the tool's place can come to show: its own, its armed one, the
// other state's (RESUME for PAUSE, the display place's three).
std::vector<std::string> vm_tool_labels(const VmTool& t);

// The tools' rectangles: 40 DIPs high, 10 apart, left to right from `left`,
// in as many rows (50 DIPs apart, the last one's top at `last_top`) as it
// takes for every row to end by `right`. Rows are broken by each tool's
// `widest` label (at least its `widths`), so arming or toggling a tool never
// moves a tool to another row or past `right`: a confirming click lands on
// the tool it confirms. A tool wider than the row takes a row of its own.
struct ToolRows {
  std::vector<D2D_RECT_F> rects;
  int rows = 0;
};
ToolRows tool_rows(const std::vector<float>& widths, const std::vector<float>& widest, float left, float right,
                   float last_top);

// The QEMU folder that the Mac OS X Intel setup brings with it.
std::wstring tiger_qemu_dir();

// Window calls made for docked and mirrored guests (tests count them).
extern u64 g_child_window_calls;
