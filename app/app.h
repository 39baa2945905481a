// The console: the application object g_app with its state, navigation,
// keyboard commands, immediate-mode widget toolkit, toasts and modal
// questions, the tooltip window, and the views.
//
// Index (search for the banner names):
//   palette and glyphs, tooltip window, App (state, input, toolkit, views),
//   plain decisions (no window needed; the tests call them directly),
//   form helpers, tool routines.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/common.h"
#include "gfx/gfx.h"
#include "gfx/layer.h"
#include "gfx/worldmap.h"
#include "machines/machine.h"

struct MediaItem;
struct MediaJob;
struct CatalogResult;

// ---- palette and glyphs ----------------------------------------------------

struct Palette {
  D3DCOLORVALUE dim{0.10f, 0.36f, 0.52f, 1};
  D3DCOLORVALUE amber{1, 0.8f, 0.3f, 1};
  D3DCOLORVALUE red{1, 0.32f, 0.22f, 1};
  D3DCOLORVALUE green{0.36f, 1, 0.48f, 1};
  D3DCOLORVALUE orange{1, 0.56f, 0.18f, 1};
  D3DCOLORVALUE pink{1, 0.66f, 0.96f, 1};
  D3DCOLORVALUE ice{0.78f, 0.95f, 1, 1};
  D3DCOLORVALUE cyan{0.22f, 0.78f, 1, 1};
};
extern const Palette pal;

inline D3DCOLORVALUE alpha(D3DCOLORVALUE c, float a) { return D3DCOLORVALUE{c.r, c.g, c.b, a}; }

enum class Glyph : u32 {
  Pause = 0, Resume, Reset, ShutDown, ForceOff, Full, Capture, PopOut, Dock, Window, Eject, Config, Plus,
  NewDisk, ImportDisk, Home, Collapse,
};

// ---- tooltip window ----------------------------------------------------------

struct Popup {
  HWND hwnd = nullptr;
  Surface surface;
  std::string text;
  D3DCOLORVALUE colour{};
  bool visible = false;
  int renders = 0;  // drawings made (a moved tip with the same text draws nothing)

  void create(HWND owner);
  void show(const std::string& text, D3DCOLORVALUE colour, POINT at, float dpi);
  void hide();
  void render();
};

// ---- the application object --------------------------------------------------

struct Placement {
  int uid = 0;
  RECT rect{};
  bool shown = false;
};

struct Toast {
  std::string text;
  D3DCOLORVALUE colour{};
  double time = -100;
};

struct Modal {
  bool open = false;
  std::string title;
  std::string body;
  std::vector<std::string> choices;
  std::function<void(int)> on_answer;
  D3DCOLORVALUE colour{};
};

struct App {
  enum View : u32 { Home = 0, Wizard = 1, Import = 2, Running = 3, SettingsView = 4, Edit = 5, Storage = 6,
                    Transfers = 7 };
  enum class Btn : u32 { Plain = 0, Primary = 1, Danger = 2, Secondary = 3 };

  HWND hwnd = nullptr;
  Surface surface;
  bool dirty = true;
  D2D_POINT_2F mouse{-10000, -10000};
  bool mouse_down = false;
  bool pressed = false;
  bool released = false;
  float wheel = 0;
  std::vector<std::pair<u32, bool>> keys;  // (virtual key, ctrl) the key handler declined
  std::wstring typed;
  const wchar_t* cursor_shown = IDC_ARROW;
  std::vector<D2D_RECT_F> title_buttons;
  D2D_RECT_F max_rect{};
  bool closing = false;
  double close_deadline = 0;
  double clock_offset = 0;
  u32 hot = 0, active = 0, focused = 0;
  const wchar_t* cursor = IDC_ARROW;
  bool easing = false;
  int layer = 0;
  double start = 0;
  double now = 0;
  double dt = 0;
  double last = 0;
  View view = Home;
  double view_since = 0;
  int selected_uid = 0;
  bool sidebar_open = false;
  float sidebar_anim = 0;
  bool vm_fullscreen = false;
  bool ui_cover = false;
  bool cover_applied = false;
  WINDOWPLACEMENT saved_placement{};
  LONG saved_style = 0;

  // wizard block (its first field is the step)
  int wizard_step = 0;
  const Profile* wizard_profile = nullptr;
  std::string wizard_name;
  std::wstring wizard_media;
  int wizard_gb = 0, wizard_mb = 0, wizard_cpus = 0;
  std::string media_pick;

  float scroll = 0;

  // import block
  std::wstring import_path;
  std::string import_format;
  std::string import_hint;
  u64 import_vsize = 0;
  u64 import_asize = 0;
  bool import_reading = false;
  bool import_scratch = false;
  bool import_bare = false;
  const Profile* import_profile = nullptr;
  std::string import_name;
  int import_mem = 0;
  int import_cpus = 0;

  // edit block
  Machine* edit_machine = nullptr;
  std::string edit_name;
  std::string edit_extra;
  const Profile* edit_profile = nullptr;
  int edit_mem = 0;
  int edit_cpus = 0;
  std::wstring edit_disk;
  std::wstring edit_media;
  bool edit_boot = false;
  View edit_return_view = Home;
  int edit_return_uid = 0;

  std::function<void()> parked;  // storage action waiting for a media folder
  View parked_view = Home;
  Modal modal;
  Toast toast;
  double launch_fx_time = -100;  // no LAUNCH DETECTED effect at start-up
  std::string launch_fx_label;
  Popup popup;
  bool tip_wanted = false;
  std::string tip_text;
  D3DCOLORVALUE tip_colour{};
  POINT tip_point{};
  std::vector<Placement> placements;
  D2D_RECT_F picture{};

  // toolkit bookkeeping
  std::unordered_map<u32, D2D_RECT_F> rects;
  std::unordered_map<u32, float> anims;

  // fields the media views and tools share
  bool show_pointer = false;
  u32 armed = 0;
  double armed_at = 0;
  WorldMap map;
  std::string transfer_sel;
  std::unordered_map<int, ComPtr<ID2D1Bitmap>> shot_screens;

  // internal to the console
  bool in_frame = false;         // App::frame is running: a nested call only sets dirty
  bool field_claimed = false;    // a text field took this frame's press
  std::vector<D2D_RECT_F> clips;  // clip rectangles pushed by scrolled forms (widgets outside do not react)
  LayerCache layers;             // static parts of the views, drawn once per change
  u64 still_drawn = 0;            // still_key of the last settings frame drawn
  int still_frames = 0;           // frames not drawn again (picture unchanged)
  std::vector<u32> drawn_ids;    // widgets drawn this frame (only while VUNK_TEST_VIEW is set)
  bool qemu_override = false;    // --qemu replaced the folder for this run
  std::wstring ini_qemu_dir;     // the folder vunk.ini itself names

  // ---- state and navigation (app.cpp) ----
  void init(HWND window);
  float side_w() const;
  Vm* selected();
  void go(View v);
  void select(int uid);
  void go_home();
  void to_home();  // selection, view, focus and scroll of the home view
  void end_edit();
  // ESC and CANCEL of the storage view: back to the view it was entered
  // from, the parked action dropped.
  void leave_storage();
  int defcon() const;
  bool animating() const;
  float fps() const;
  void apply_cover();
  void set_fullscreen(bool on);
  void set_ui_fullscreen(bool on);
  void fullscreen_key();
  void tick();
  Vm* running_on(const Machine& m);
  void focus_selected();
  void close_answer(int index);
  bool on_key(unsigned vk, bool ctrl, bool shift);
  void on_close();
  void on_info(std::string* text);
  void on_catalog(CatalogResult* result);
  void frame();
  void end_frame();  // the per-frame input reset, child windows and tooltip
  void test_frame_begin();  // VUNK_TEST_VIEW: what a drawn frame shows, for tests (test_hook.cpp)
  void test_frame_end();
  u64 still_key();
  D2D_RECT_F content_rect() const;
  float width_dips() const;
  float height_dips() const;

  // ---- toolkit (widgets.cpp) ----
  u32 id(std::string_view name, int index) const;
  bool hovering(const D2D_RECT_F& r) const;
  bool clicked(u32 id, const D2D_RECT_F& r, const wchar_t* cursor);
  void placed(u32 id, const D2D_RECT_F& r);  // where a widget was drawn this frame (clicked records it too)
  float ease(u32 id, bool on, float tau);
  void label(float x, float y, std::string_view text, D3DCOLORVALUE colour, float size);
  void panel(const D2D_RECT_F& r, D3DCOLORVALUE colour, float fill_alpha);
  float wrap(std::string_view text, float x, float y, float max_width, float size, D3DCOLORVALUE colour,
             float line_factor);
  bool button(u32 id, const D2D_RECT_F& r, std::string_view text, Btn style, bool enabled, float size);
  bool stepper(u32 id, const D2D_RECT_F& r, int& value, const std::vector<int>& steps,
               const std::function<std::string(int)>& label);
  bool text_field(u32 id, const D2D_RECT_F& r, std::string& value, size_t max_bytes);
  bool check_box(u32 id, const D2D_RECT_F& r, std::string_view text, bool& value);
  void draw_glyph(Glyph g, float x, float y, float s, D3DCOLORVALUE colour, float width);
  void note(const std::string& text, D3DCOLORVALUE colour);
  void ask(const std::string& title, const std::string& body, std::vector<std::string> choices,
           std::function<void(int)> on_answer, D3DCOLORVALUE colour);
  void draw_banner(const D2D_RECT_F& r);
  void draw_modal();
  std::wstring pick_file(bool folder, const wchar_t* title, const std::vector<std::pair<std::wstring, std::wstring>>& filters);
  void form_scroll_end(const D2D_RECT_F& r, float content_height);
  void push_clip(const D2D_RECT_F& r);
  void pop_clip();
  void draw_pointer();

  // ---- views built here (views.cpp) ----
  void draw_titlebar();
  void draw_sidebar();
  void draw_home(const D2D_RECT_F& r);
  void draw_settings(const D2D_RECT_F& r);
  void set_path_setting(int index, const std::wstring& value);
  void pick_import();

  // ---- running machine (vm_view.cpp, events.cpp) ----
  void launch_machine(Machine& machine, int scratch, const std::wstring& dir);
  void draw_vm(const D2D_RECT_F& r);
  void on_vm_event(Vm& vm, VmEvent kind, long long arg);
  void layout_children();
  D2D_RECT_F picture_rect(const D2D_RECT_F& area, int guest_w, int guest_h) const;
  void draw_trace(const D2D_RECT_F& r, const std::vector<float>& values, float max, D3DCOLORVALUE colour);
  void draw_launch_fx(const D2D_RECT_F& r);

  // ---- forms (wizard.cpp, import.cpp, edit.cpp, dossier.cpp) ----
  void draw_wizard(const D2D_RECT_F& r);
  void draw_import(const D2D_RECT_F& r);
  void start_import();
  void draw_edit(const D2D_RECT_F& r);
  void save_edit();
  void open_edit(Machine* m);
  void start_install();
  void draw_dossier(const D2D_RECT_F& r, const Profile* p);

  // ---- media views (media/app_media*.cpp) ----
  void draw_storage(const D2D_RECT_F& r);
  void draw_transfers(const D2D_RECT_F& r);
  // The wizard's media picker at (x, y), w wide, for profile p; its height.
  float draw_media_picker(float x, float y, float w, const Profile& p);
  void draw_sidebar_transfers(float y, float w, float t);
  void draw_piece_field(const D2D_RECT_F& r, const MediaJob& job);
  void draw_scope(const D2D_RECT_F& r, const MediaJob& job);
  void draw_radar(const D2D_RECT_F& r, const MediaJob& job);
  void need_storage(std::function<void()> then);
  void download(const MediaItem& item, bool go);
  // the media half of start_install (media/app_media.cpp): the catalog item
  // the wizard picked (null for the user's own file); before anything is
  // created, whether the install was parked until a media folder exists;
  // after the machine is saved, whether its media download was queued (the
  // machine then launches once the image is verified, from g_media.path of
  // the picked item, which is where its install media must point).
  const MediaItem* picked_media() const;
  bool install_needs_storage();
  bool install_download(const Machine& machine);
  void media_verified(MediaJob& job);
  void media_failed(MediaJob& job);

  // ---- tool routines (tools/, media/app_media_selftest.cpp) ----
  bool shots(const std::wstring& folder);
  bool media_selftest(const std::wstring& folder);
  bool record_demo(const std::wstring& video);
  bool record_qe(const std::wstring& assets, const std::wstring& video);
};

extern App g_app;

// The tool-chain self-test; the process exit code (0 passed, 1 failures, 3 report not writable).
int run_selftest(const std::wstring& report);
// The install image the media self-test and the demo recording download: the
// first item, replaced by every later one whose size is known and smaller;
// null for an empty list.
const MediaItem* smallest_item(const std::vector<MediaItem>& items);
// Dispatches every window message waiting for this thread (no translation).
void drain_messages();
// The --shots picture size from the arguments after the folder (1640 x 1000
// when absent, leading digits only); false when a side is 0 or larger than a
// drawing target can be.
bool shots_size(const std::vector<std::wstring>& argv, int& width, int& height);

std::string state_text(const Vm& vm);
D3DCOLORVALUE state_color(const Vm& vm);

// ---- plain decisions -------------------------------------------------------------

// 72 collapsed, 288 expanded, smoothstep between.
float sidebar_width(float t);
// FNV-1a of name mixed with index; never 0.
u32 widget_id(std::string_view name, int index);
// One easing step: v moved toward target; snapped within 0.004 (moving tells which).
float ease_step(float v, bool on, float dt, float tau, bool& moving);
// Greedy word wrap: the lines drawn and their y offsets (relative to the first line).
struct WrapLine {
  std::string text;
  float dy;
};
std::vector<WrapLine> wrap_lines(std::string_view text, float max_width, float size, float line_factor,
                                 const std::function<float(const std::string&)>& measure, float& height);
// Characters typed into a field (UTF-16 units as WM_CHAR brings them) as
// UTF-8: controls left out, a surrogate pair joined into its one character,
// a surrogate without its other half left out.
std::string typed_utf8(std::wstring_view typed);
// The step index nearest to value (the first one on a tie); -1 for an empty list.
int nearest_step(const std::vector<int>& steps, int value);
// Toast geometry and fade for a content rectangle; alpha 0 when not shown.
struct BannerBox {
  D2D_RECT_F box{};
  float alpha = 0;
  int lines = 0;
};
BannerBox banner_box(const D2D_RECT_F& r, const std::string& text, double age);
// The clamped form scroll offset.
float scroll_clamp(float scroll, float content_height, float view_height);
// Whether the main loop draws now, and otherwise when it wakes.
struct LoopClock {
  double next_tick = 0, last_frame = 0, next_frame = 0;
};
bool frame_due(const LoopClock& c, double now, bool dirty, double& wake);
// Hit test of the main window in DIPs (W, H the client size).
int hit_test(float x, float y, float W, float H, bool popup_style, bool maximised, const D2D_RECT_F& max_rect,
             const std::vector<D2D_RECT_F>& title_buttons);
// Main window size and place in the work area; tool modes take exactly 1640 x 1000.
RECT main_window_rect(const RECT& work, UINT dpi, bool tool);
// Command line: the tool mode it asks for ("" none) and the --qemu folder ("" none).
struct Args {
  std::wstring a1, a2;
  bool tool = false;
  std::wstring qemu;  // last --qemu folder, as given
  float force_dpi = 0;
};
Args parse_args(const std::vector<std::wstring>& argv);

// ---- form helpers -------------------------------------------------------------

extern const std::vector<int> kMemSteps;
extern const std::vector<int> kDiskSteps;
std::vector<int> mem_steps(const Profile& p);
std::vector<int> cpu_steps(const Profile& p);
std::vector<size_t> shown_profiles(const Profile* current);
bool target_ok(const Profile& p);
std::wstring tiger_installer();
std::string mem_fmt(int mb);
std::string disk_fmt(int gb);

// ---- results posted by worker threads ---------------------------------------------
// WM_APP+22 and +23 carry heap pointers in lParam. Only pointers registered
// here before posting are accepted, once: any other process can post to the
// window, and freeing a forged pointer would crash the console.
void posted_add(const void* p);
bool posted_take(const void* p);

// The main window's procedure, and whether a tool mode runs (the window may
// then exceed the screen).
LRESULT CALLBACK main_wndproc(HWND w, UINT msg, WPARAM wp, LPARAM lp);
extern bool g_shots;
// The class "VunkMain" with that procedure and the program's icon (resource 1).
void register_main_class(HINSTANCE instance);
// Drains messages, runs the once-a-second housekeeping and paces the frames
// until WM_QUIT (or, with seconds above 0, until that much time has passed).
void main_loop(double seconds = 0);

constexpr UINT kMsgQmp = WM_APP + 21;
constexpr UINT kMsgInfo = WM_APP + 22;
constexpr UINT kMsgCatalog = WM_APP + 23;
