// The media views of the real console object, drawn into a hidden main
// window with the program's window procedure and driven by posted input:
// the wizard's media picker in every state, the storage chooser with the
// demonstration drives and with Wine's real C: drive, the transfers page
// with demonstration jobs in every state, and the sidebar's transfers block.
// What the views draw is read from the text probe; screenshots are left in
// <build>/media-shots for a person to look at.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>

#include "app/app.h"
#include "machines/profile.h"
#include "machines/settings.h"
#include "media/app_media.h"
#include "media/catalog.h"
#include "media/media.h"
#include "tests/gfx/gfx_test.h"
#include "tests/support/test_support.h"

namespace {

HWND g_win = nullptr;
std::vector<DrawnText> g_seen;

void frame() {
  pump();
  g_seen.clear();
  g_text_probe = &g_seen;
  g_app.frame();
  g_text_probe = nullptr;
}

const DrawnText* seen(const std::string& text) {
  for (const DrawnText& t : g_seen)
    if (t.text == text) return &t;
  return nullptr;
}

int count_seen(const std::string& text) {
  return int(std::count_if(g_seen.begin(), g_seen.end(), [&](const DrawnText& t) { return t.text == text; }));
}

bool seen_part(const std::string& part) {
  for (const DrawnText& t : g_seen)
    if (t.text.find(part) != std::string::npos) return true;
  return false;
}

void mouse(UINT msg, WPARAM wp, float x, float y) {
  PostMessageW(g_win, msg, wp, MAKELPARAM(int(x), int(y)));
  frame();
}

void click_at(float x, float y) {
  mouse(WM_MOUSEMOVE, 0, x, y);
  mouse(WM_LBUTTONDOWN, MK_LBUTTON, x, y);
  mouse(WM_LBUTTONUP, 0, x, y);
}

D2D_RECT_F rect_of(u32 id) {
  auto it = g_app.rects.find(id);
  EXPECT_NE(it, g_app.rects.end());
  return it == g_app.rects.end() ? D2D_RECT_F{} : it->second;
}

void click(u32 id) {
  D2D_RECT_F r = rect_of(id);
  click_at((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  mouse(WM_MOUSEMOVE, 0, 1630, 990);  // away, so the next frames show it at rest
}

bool inside(const DrawnText* t, const D2D_RECT_F& r) {
  return t && t->x >= r.left && t->x < r.right && t->y >= r.top && t->y < r.bottom;
}

void shot(const char* name) {
  CreateDirectoryW(build_path("media-shots").c_str(), nullptr);
  EXPECT_TRUE(g_app.surface.save_png(build_path(std::string("media-shots/") + name)));
}

template <class F>
bool frames_until(F done, double seconds) {
  double end = now_s() + seconds;
  while (!done() && now_s() < end) {
    frame();
    Sleep(20);
  }
  return done();
}

MediaItem item(const char* distro, const char* version, const char* label, const char* edition, const char* file,
               u64 size, bool torrent, const char* site) {
  MediaItem m;
  m.distro = distro, m.version = version, m.label = label, m.edition = edition, m.file = file, m.size = size;
  m.url = std::string("http://127.0.0.1:1/") + file;
  if (torrent) m.torrent = m.url + ".torrent";
  m.sha256 = "9bd5bc06a9b0d1bd1a1c3dfc9dba6b6d3bb3a8be0b06f86a6a3b16ed4c4a2f1a";
  m.site = site;
  return m;
}

u32 row_id(const char* name, const MediaItem& m) { return widget_id(name, media_ui::file_hash(m.file)); }

class MediaViews : public ::testing::Test {
 protected:
  Settings saved;
  std::wstring root;

  static void SetUpTestSuite() {
    ASSERT_TRUE(gfx_ready());
    Surface::force_offscreen = true;
    // No release server is asked: the catalog counts as fresh.
    g_cat.loaded = true;
    g_cat.fetched_at = now_s();
    for (int i = 0; i < int(Rel::Count); ++i) set_release_origin(Rel(i), "http://127.0.0.1:1");
    register_main_class(GetModuleHandleW(nullptr));
    g_win = CreateWindowExW(0, L"VunkMain", L"V.U.N.K.", WS_POPUP, 0, 0, 1640, 1000, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(g_win);
    g_app.init(g_win);
    g_fleet.vms.clear();
  }
  void SetUp() override {
    saved = g_set;
    root = test_dir("media-views");
    g_set.ini = path_join(root, L"vunk.ini");
    g_set.media_dir.clear();
    g_media.jobs.clear();
    g_cat.items.clear();
    g_cat.err.clear();
    g_cat.loading = false;
    g_demo_drives = false;
    g_app.go_home();
    g_app.toast = Toast{};
    g_app.sidebar_open = false;
    g_app.sidebar_anim = 0;
    frame();
  }
  void TearDown() override {
    g_media.jobs.clear();
    g_cat.items.clear();
    g_set = saved;
    remove_tree(root);
  }
  void wizard() {
    g_app.go(App::Wizard);
    g_app.wizard_step = 1;
    g_app.wizard_profile = find_profile("linux-x64");
    g_app.wizard_name = "LINUX";
    g_app.wizard_media.clear();
    g_app.media_pick.clear();
  }
};

// The releases of the picker, one in each media state.
struct Catalog7 {
  MediaItem desk = item("UBUNTU", "24.04", "24.04.2 LTS", "DESKTOP", "ubuntu-24.04.2-desktop-amd64.iso", 6203355136ull,
                        true, "london");
  MediaItem serv = item("UBUNTU", "24.04", "24.04.2 LTS", "SERVER", "ubuntu-24.04.2-live-server-amd64.iso",
                        3213064192ull, true, "london");
  MediaItem work = item("FEDORA", "42", "42", "WORKSTATION", "Fedora-Workstation-Live-x86_64-42-1.1.iso",
                        2398523392ull, true, "raleigh");
  MediaItem fsrv = item("FEDORA", "42", "42", "SERVER", "Fedora-Server-dvd-x86_64-42-1.1.iso", 2783969280ull, true,
                        "raleigh");
  MediaItem fnet = item("FEDORA", "42", "42", "NETINST", "Fedora-Everything-netinst-x86_64-42-1.1.iso", 851443712ull,
                        false, "raleigh");
  MediaItem deb = item("DEBIAN", "13.0.0", "13.0.0", "NETINST", "debian-13.0.0-amd64-netinst.iso", 7000000, true,
                       "umea");
  MediaItem om = item("OMARCHY", "2.1", "2.1", "ISO", "omarchy-2.1.iso", 6600000000ull, false, "chicago");
  std::vector<MediaItem> all() const { return {desk, serv, work, fsrv, fnet, deb, om}; }
};

}  // namespace

TEST_F(MediaViews, PickerWhileLoadingAndUnreachable) {
  wizard();
  g_cat.loading = true;
  frame();
  EXPECT_TRUE(seen("INSTALL MEDIA  //  OFFICIAL RELEASES, FETCHED OVER HTTPS AND BITTORRENT, CHECKED AGAINST SHA-256"));
  EXPECT_TRUE(seen("QUERYING RELEASE SERVERS..."));
  EXPECT_TRUE(seen("OWN ISO"));
  EXPECT_TRUE(g_app.easing) << "the spinner keeps the frames coming";
  shot("picker-loading.png");

  g_cat.loading = false;
  g_cat.err = "UBUNTU INDEX UNREACHABLE. FEDORA INDEX UNREACHABLE. ";
  frame();
  EXPECT_FALSE(seen("QUERYING RELEASE SERVERS..."));
  // Fitted to the picker's width less the button's room.
  EXPECT_TRUE(seen_part("RELEASE SERVERS UNREACHABLE: UBUNTU INDEX UNREACH"));
  EXPECT_TRUE(seen("RETRY"));
  shot("picker-unreachable.png");

  // RETRY asks the (closed) release servers again: their sentences replace
  // the old ones.
  click(widget_id("catretry", 0));
  ASSERT_TRUE(frames_until([] { return !g_cat.loading && g_cat.err.find("OMARCHY SITE") != std::string::npos; }, 60))
      << g_cat.err;
  EXPECT_EQ(g_cat.err.rfind("UBUNTU INDEX UNREACHABLE. FEDORA INDEX UNREACHABLE. DEBIAN INDEX UNREACHABLE. ", 0), 0u)
      << g_cat.err;
}

TEST_F(MediaViews, PickerRowsInEveryState) {
  Catalog7 c;
  g_cat.items = c.all();
  g_set.media_dir = root;
  ASSERT_TRUE(write_bytes(g_media.path(c.deb), "verified image"));
  MediaJob& paused = add_demo_job(c.serv, 38, TState::Paused);
  paused.snap.total = 1000, paused.snap.done = 429;  // 42.9 %
  MediaJob& busy = add_demo_job(c.work, 38, TState::Running);
  busy.snap.done = busy.snap.total / 2;
  MediaJob& queued = add_demo_job(c.fsrv, 0, TState::Idle);
  queued.started = false;
  MediaJob& checking = add_demo_job(c.fnet, 140, TState::Checking);
  checking.snap.progress = 0.6f;
  MediaJob& failed = add_demo_job(c.om, 38, TState::Failed);
  failed.snap.error = "sha256 mismatch";
  wizard();
  frame();
  frame();

  EXPECT_TRUE(seen("DOWNLOAD"));
  EXPECT_TRUE(seen("RESUME  42%"));
  EXPECT_TRUE(seen("50%  " + rate(busy.snap.rate_down)));
  EXPECT_TRUE(seen("QUEUED"));
  EXPECT_TRUE(seen("VERIFYING"));
  EXPECT_TRUE(seen("VERIFIED"));
  EXPECT_TRUE(seen("FAILED: RETRY"));
  EXPECT_EQ(count_seen("BT"), 5);  // the Fedora netinst and Omarchy have no torrent
  EXPECT_TRUE(seen("5.8G"));       // the desktop image's size
  // The action of a row sits in its row.
  EXPECT_TRUE(inside(seen("RESUME  42%"), rect_of(row_id("mrow", c.serv))));
  EXPECT_TRUE(inside(seen("FAILED: RETRY"), rect_of(row_id("mdl", c.om))));
  // Rows: 6 DIPs more before each new distribution.
  float u0 = rect_of(row_id("mrow", c.desk)).top, u1 = rect_of(row_id("mrow", c.serv)).top;
  float f0 = rect_of(row_id("mrow", c.work)).top;
  EXPECT_FLOAT_EQ(u1 - u0, 36);
  EXPECT_FLOAT_EQ(f0 - u1, 42);
  EXPECT_FLOAT_EQ(rect_of(widget_id("mown", 0)).top - rect_of(row_id("mrow", c.om)).top, 36 + 8);
  shot("picker-rows.png");

  // A row picks its release; one on disk also gives its path.
  click(row_id("mrow", c.deb));
  EXPECT_EQ(g_app.media_pick, c.deb.file);
  EXPECT_EQ(g_app.wizard_media, g_media.path(c.deb));
  EXPECT_EQ(g_app.wizard_name, "LINUX");  // a typed name stays
  g_app.wizard_name.clear();
  D2D_RECT_F row = rect_of(row_id("mrow", c.desk));
  click_at(row.left + 200, row.top + 17);  // on the row, away from its DOWNLOAD
  EXPECT_EQ(g_app.media_pick, c.desk.file);
  EXPECT_TRUE(g_app.wizard_media.empty());
  EXPECT_EQ(g_app.wizard_name, "UBUNTU 24.04");
  EXPECT_TRUE(g_media.find(c.desk.file) == nullptr) << "picking is not downloading";
  frame();
  frame();
  shot("picker-picked.png");

  // FAILED: RETRY picks the row; the own-file radio picks the own file.
  click(row_id("mdl", c.om));
  EXPECT_EQ(g_app.media_pick, c.om.file);
  g_app.wizard_media = L"C:\\own.iso";
  click(widget_id("mown", 0));
  EXPECT_TRUE(g_app.media_pick.empty());
  EXPECT_EQ(g_app.wizard_media, L"C:\\own.iso") << "the own-file radio leaves the path";
  frame();
  EXPECT_TRUE(seen("OWN.ISO"));

  // RESUME queues its job again (the same job here: it has no transfer) and
  // names it for the transfers page, leaving the wizard shown.
  click(row_id("mdl", c.serv));
  EXPECT_EQ(g_app.media_pick, c.serv.file);
  EXPECT_EQ(g_app.transfer_sel, c.serv.file);
  EXPECT_EQ(g_app.view, App::Wizard);
  EXPECT_EQ(g_media.jobs.size(), 5u);
}

TEST_F(MediaViews, PickerFitsALongEdition) {
  Catalog7 c;
  c.desk.edition = "DESKTOP WITH EVERY LANGUAGE PACK AND THE OFFICE SUITE";
  g_cat.items = {c.desk};
  wizard();
  frame();
  frame();
  const DrawnText* bt = seen("BT");
  const DrawnText* edition = nullptr;
  for (const DrawnText& t : g_seen)
    if (t.text.rfind("DESK", 0) == 0) edition = &t;
  ASSERT_TRUE(bt && edition);
  EXPECT_NE(edition->text, c.desk.edition) << "cut short";
  EXPECT_LT(edition->x + g_app.surface.text_width(edition->text, edition->size, media_ui::kTrack), bt->x - 10);
  shot("picker-long-edition.png");
}

TEST_F(MediaViews, PickerDownloadWithoutAFolderAsksForOne) {
  Catalog7 c;
  g_cat.items = {c.desk};
  wizard();
  g_app.wizard_name.clear();
  frame();
  click(row_id("mdl", c.desk));
  EXPECT_EQ(g_app.view, App::Storage);
  EXPECT_EQ(g_app.parked_view, App::Wizard);
  EXPECT_EQ(g_app.wizard_step, 1);
  EXPECT_EQ(g_app.media_pick, c.desk.file);
  EXPECT_EQ(g_app.wizard_name, "UBUNTU 24.04");
  EXPECT_TRUE(bool(g_app.parked));
  EXPECT_TRUE(g_media.jobs.empty());
  // CANCEL: back to the wizard as it was; nothing queued, no message.
  frame();
  click(widget_id("stcancel", 0));
  EXPECT_EQ(g_app.view, App::Wizard);
  EXPECT_EQ(g_app.wizard_step, 1);
  EXPECT_FALSE(bool(g_app.parked));
  EXPECT_TRUE(g_media.jobs.empty());
  EXPECT_TRUE(g_app.toast.text.empty());
}

TEST_F(MediaViews, StorageWithTheDemoDrives) {
  g_demo_drives = true;
  Sleep(2100);  // the view lists drives at most every 2 s
  auto runs = std::make_shared<int>(0);
  g_app.view = App::Wizard;
  g_app.need_storage([runs] { ++*runs; });
  ASSERT_EQ(g_app.view, App::Storage);
  frame();
  frame();
  EXPECT_TRUE(seen("MEDIA STORAGE"));
  EXPECT_TRUE(seen("WHERE SHOULD V.U.N.K. KEEP DOWNLOADED INSTALL MEDIA? EACH ISO IS 1 TO 7 GB."));
  EXPECT_TRUE(seen("SYSTEM") && seen("GAMES") && seen("SCRATCH"));
  EXPECT_TRUE(seen("C:") && seen("D:") && seen("E:"));
  EXPECT_EQ(count_seen("NTFS  //  FIXED"), 3);
  EXPECT_TRUE(seen("212G FREE OF 953G"));
  EXPECT_TRUE(seen("FITS ~33 UBUNTU DESKTOP ISOS"));
  EXPECT_TRUE(seen_part("FITS ~191 UBUNTU"));  // cut short beside the badge
  EXPECT_TRUE(seen("FITS ~9 UBUNTU DESKTOP ISOS"));
  // Only GAMES has the most room: its badge sits on its card.
  EXPECT_EQ(count_seen("MOST ROOM"), 1);
  EXPECT_TRUE(inside(seen("MOST ROOM"), rect_of(widget_id("drive", 1))));
  EXPECT_TRUE(seen("OTHER FOLDER..."));
  // Three cards in a row at 1568 DIPs.
  EXPECT_FLOAT_EQ(rect_of(widget_id("drive", 2)).left - rect_of(widget_id("drive", 0)).left, 2 * 288);
  shot("storage-demo.png");

  // A demo drive that does not exist here: the view, the parked action and
  // the folder stay.
  const wchar_t* roots[3] = {L"C:\\", L"D:\\", L"E:\\"};
  int gone = -1;
  for (int i = 2; i >= 0; --i)
    if (GetDriveTypeW(roots[i]) == DRIVE_NO_ROOT_DIR) gone = i;
  ASSERT_GE(gone, 0) << "every demo drive exists in this prefix";
  click(widget_id("drive", gone));
  EXPECT_EQ(g_app.toast.text, "CANNOT CREATE " + narrow(roots[gone]) + "VUNK MEDIA");
  EXPECT_EQ(g_app.toast.colour.g, pal.red.g);
  EXPECT_EQ(g_app.view, App::Storage);
  EXPECT_TRUE(bool(g_app.parked));
  EXPECT_TRUE(g_set.media_dir.empty());
  EXPECT_EQ(*runs, 0);
  frame();
  shot("storage-cannot-create.png");
}

TEST_F(MediaViews, StorageOnWinesDriveC) {
  // Wine's C: is a real folder of the test prefix: choosing it makes the
  // media folder there, saves it, returns and runs the parked action once.
  std::wstring folder = L"C:\\VUNK Media";
  remove_tree(folder);
  Sleep(2100);
  auto runs = std::make_shared<int>(0);
  g_app.view = App::Wizard;
  g_app.wizard_step = 1;
  g_app.need_storage([runs] { ++*runs; });
  ASSERT_TRUE(frames_until([] { return seen("C:") != nullptr; }, 5));
  EXPECT_TRUE(seen_part(" FREE OF "));
  shot("storage-wine.png");
  D2D_RECT_F card{};
  for (int i = 0; i < 26; ++i) {
    auto it = g_app.rects.find(widget_id("drive", i));
    if (it != g_app.rects.end() && inside(seen("C:"), it->second)) card = it->second;
  }
  ASSERT_GT(card.right, card.left) << "no card for C:";
  click_at((card.left + card.right) / 2, (card.top + card.bottom) / 2);
  EXPECT_TRUE(dir_exists(folder));
  EXPECT_EQ(g_set.media_dir, folder);
  EXPECT_EQ(narrow(ini_get(g_set.ini, L"paths", L"media_dir", L"")), "C:\\VUNK Media");
  EXPECT_EQ(g_app.view, App::Wizard);
  EXPECT_EQ(g_app.wizard_step, 1);
  EXPECT_EQ(*runs, 1);
  EXPECT_FALSE(bool(g_app.parked));
  EXPECT_EQ(g_app.toast.text, "INSTALL MEDIA GOES TO C:\\VUNK MEDIA");
  for (int i = 0; i < 5; ++i) frame();
  EXPECT_EQ(*runs, 1) << "the parked action ran once";
  remove_tree(folder);
}

TEST_F(MediaViews, TransfersEmpty) {
  g_app.go(App::Transfers);
  frame();
  frame();
  EXPECT_TRUE(seen("TRANSFERS"));
  EXPECT_TRUE(seen("INBOUND  //  HTTPS 206 RANGE REQUESTS + BITTORRENT  //  EVERY PIECE AND THE FILE VERIFIED"));
  EXPECT_TRUE(seen("NO TRANSFERS. PICK A RELEASE IN THE MISSION PLANNER (LINUX X86-64)."));
  EXPECT_FALSE(seen_part("STORAGE  ")) << "no media folder yet";
  shot("transfers-empty.png");
  click(widget_id("xplan", 0));
  EXPECT_EQ(g_app.view, App::Wizard);
  EXPECT_EQ(g_app.wizard_step, 0);
}

TEST_F(MediaViews, TransfersInEveryState) {
  Catalog7 c;
  g_set.media_dir = root;
  MediaJob& run = add_demo_job(c.desk, 38, TState::Running);
  run.launch_after = "ubuntu-desk";
  for (int i = 0; i < 160; ++i) {
    TransferSnapshot s = demo_snapshot(c.desk, i * 0.25);
    run.hist_down.push_back(s.rate_down);
    run.hist_mirrors.push_back(s.rate_mirrors);
    run.hist_peers.push_back(s.rate_peers);
  }
  MediaJob& check = add_demo_job(c.work, 140, TState::Checking);
  check.snap.progress = 0.63f;
  MediaJob& done = add_demo_job(c.deb, 140, TState::Done);
  done.snap.sha256 = c.deb.sha256;
  MediaJob& failed = add_demo_job(c.om, 61, TState::Failed);
  failed.snap.error = "sha256 mismatch";
  add_demo_job(c.serv, 20, TState::Paused);
  g_app.transfer_sel = "no-such.iso";
  g_app.go(App::Transfers);
  frame();
  frame();

  // A name that matches no job shows the first, and stays as it was.
  EXPECT_EQ(g_app.transfer_sel, "no-such.iso");
  EXPECT_TRUE(seen("STORAGE  " + upper(narrow(root))));
  EXPECT_TRUE(seen("RECEIVING  //  ETA " + eta_text(run.snap.eta)));
  EXPECT_TRUE(seen("DEMO DATA  //  TRACKER + DHT  //  63 PEERS  //  24 CONNECTED"));
  EXPECT_TRUE(seen(strf("PIECES  //  %u x 4.0M", run.snap.pieces)));
  EXPECT_TRUE(seen("6 MIRROR"));
  EXPECT_TRUE(seen("24/63 PEERS  17 SEEDS"));
  EXPECT_TRUE(seen("INBOUND  //  LONDON -> NORAD"));
  EXPECT_TRUE(seen("A NEW SYSTEM LAUNCHES WHEN THIS IS VERIFIED"));
  EXPECT_TRUE(seen("CANCEL") && seen("PAUSE"));
  EXPECT_FALSE(seen("RESUME"));
  EXPECT_TRUE(seen("RECEIVING  " + rate(run.snap.rate_down)));  // the row's state line
  EXPECT_TRUE(seen("VERIFYING SHA-256") && seen("VERIFIED") && seen("FAILED") && seen("PAUSED"));
  EXPECT_TRUE(seen("63%")) << "a verifying row follows the hashing";
  EXPECT_TRUE(seen_part("PEAK "));
  shot("transfers-receiving.png");

  auto select = [&](const MediaItem& m) {
    click(row_id("xrow", m));
    frame();
    frame();
  };
  select(c.work);
  EXPECT_EQ(g_app.transfer_sel, c.work.file);
  EXPECT_TRUE(seen("SHA-256 SWEEP 63%"));
  EXPECT_TRUE(seen("CANCEL") && seen("PAUSE"));
  shot("transfers-verifying.png");

  select(c.deb);
  EXPECT_TRUE(seen("SHA-256 VERIFIED"));
  EXPECT_TRUE(seen_part(upper(c.deb.sha256).substr(0, 40)));
  EXPECT_TRUE(seen("REMOVE FROM LIST") && seen("SHOW IN FOLDER"));
  EXPECT_FALSE(seen("CANCEL"));
  EXPECT_FALSE(seen("A NEW SYSTEM LAUNCHES WHEN THIS IS VERIFIED"));
  shot("transfers-verified.png");

  select(c.om);
  EXPECT_TRUE(seen("ERROR: SHA256 MISMATCH"));
  EXPECT_TRUE(seen("CANCEL") && seen("RESUME"));
  EXPECT_FALSE(seen("PAUSE"));
  shot("transfers-failed.png");

  select(c.serv);
  EXPECT_TRUE(seen("PAUSED"));
  EXPECT_TRUE(seen("CANCEL") && seen("RESUME"));

  // CANCEL needs a second click within 3 s.
  click(widget_id("xact", 3));
  EXPECT_EQ(g_app.armed, widget_id("xcancel", media_ui::file_hash(c.serv.file)));
  frame();
  EXPECT_TRUE(seen("CONFIRM CANCEL?"));
  g_app.clock_offset += 3.1;
  frame();
  EXPECT_TRUE(seen("CANCEL"));
  EXPECT_FALSE(seen("CONFIRM CANCEL?"));
  click(widget_id("xact", 3));  // arms again
  EXPECT_TRUE(g_media.find(c.serv.file));
  frame();
  click(widget_id("xact", 3));
  EXPECT_FALSE(g_media.find(c.serv.file)) << "the second click within 3 s cancels";
  EXPECT_EQ(g_app.armed, 0u);
  frame();
  EXPECT_TRUE(seen("RECEIVING  //  ETA " + eta_text(run.snap.eta))) << "the first job is shown again";

  // REMOVE FROM LIST forgets a verified job.
  select(c.deb);
  click(widget_id("xact", 1));
  EXPECT_FALSE(g_media.find(c.deb.file));
  EXPECT_EQ(g_media.jobs.size(), 3u);
}

// The transfers page with a receiving job drawn part by part (only what
// changed, over a copy of the still picture) equals the same frames drawn
// whole from their lists, and drawn whole through Direct2D alone, pixel for
// pixel, while its figures move as a download's do.
TEST_F(MediaViews, TransfersPartsEqualWholeFrames) {
  if (g_app.surface.phosphor.glow) GTEST_SKIP() << "this Direct2D has the glow: frames are composed whole";
  Catalog7 c;
  MediaJob& j = add_demo_job(c.desk, 30, TState::Running);
  j.launch_after = "ubuntu-desk";
  g_app.transfer_sel = c.desk.file;
  g_app.go(App::Transfers);
  u32 settle = g_app.surface.settle;
  g_app.surface.settle = 3;  // the still picture changes often
  std::vector<u8> part, whole;
  int partial = 0;
  for (int i = 0; i < 24; ++i) {
    if (i % 4 == 0) {  // a new snapshot and history sample, as four times a second
      j.snap = demo_snapshot(c.desk, 30 + i * 0.25);
      j.hist_down.push_back(j.snap.rate_down);
      j.hist_mirrors.push_back(j.snap.rate_mirrors);
      j.hist_peers.push_back(j.snap.rate_peers);
    }
    if (i == 20) j.snap.state = TState::Checking;
    g_app.clock_offset += 0.05;
    frame();
    ASSERT_TRUE(g_app.surface.read_bgra(part));
    ASSERT_TRUE(g_app.surface.read_whole_bgra(whole));
    ASSERT_EQ(first_difference(part, whole, g_app.surface.width), "") << "frame " << i;
    // The bitmaps (the field's bands, the radar's, the layers, the CRT
    // overlay) laid by the device look as Direct2D draws them.
    g_app.surface.blits = false;
    ASSERT_TRUE(g_app.surface.read_whole_bgra(whole));
    g_app.surface.blits = true;
    ASSERT_EQ(first_difference(part, whole, g_app.surface.width), "") << "frame " << i << ", Direct2D only";
    if (g_app.surface.stats.pixels < u64(g_app.surface.width) * g_app.surface.height / 4) ++partial;
  }
  g_app.surface.settle = settle;
  EXPECT_GT(partial, 16) << "frames should mostly draw small parts";
}

// A job that has received nothing shows an empty split bar: no cyan, no
// pink under the counters' line.
TEST_F(MediaViews, TransfersEmptySplitBar) {
  Catalog7 c;
  MediaJob& j = add_demo_job(c.desk, 30, TState::Starting);
  j.snap.via_mirrors = j.snap.via_peers = 0;
  g_app.transfer_sel = c.desk.file;
  g_app.go(App::Transfers);
  frame();
  frame();
  shot("transfers-nothing-yet.png");
  XferLayout x = xfer_layout(g_app.content_rect());
  std::vector<u8> px;
  ASSERT_TRUE(g_app.surface.read_bgra(px));
  float k = g_app.surface.dpi / 96;
  int lit = 0;
  for (float dx = 4; dx < x.bar_w - 4; dx += 4) {
    const u8* p = px.data() + (size_t((x.counters_y + 5) * k) * g_app.surface.width + size_t((x.detail_x + dx) * k)) * 4;
    if (p[0] > 90 || p[2] > 90) ++lit;  // cyan or pink shows in blue or red
  }
  EXPECT_EQ(lit, 0);
  j.snap.via_peers = 1000;
  frame();
  ASSERT_TRUE(g_app.surface.read_bgra(px));
  const u8* p = px.data() + (size_t((x.counters_y + 5) * k) * g_app.surface.width + size_t((x.detail_x + x.bar_w / 2) * k)) * 4;
  EXPECT_GT(p[2], 150) << "all from peers: pink";
}

TEST_F(MediaViews, PieceFieldOfOddSnapshots) {
  Catalog7 c;
  MediaJob& j = add_demo_job(c.desk, 38, TState::Running);
  g_app.transfer_sel = c.desk.file;
  g_app.go(App::Transfers);
  // No map yet: waiting while queued, mapping otherwise (verified too).
  j.snap.piece_map.clear();
  j.snap.state = TState::Idle;
  frame();
  EXPECT_TRUE(seen("WAITING FOR ITS TURN"));
  j.snap.state = TState::Done;
  frame();
  EXPECT_TRUE(seen("MAPPING PIECES..."));
  // No piece count, or a map shorter than the count: an empty field.
  j.snap.state = TState::Running;
  j.snap.pieces = 0;
  j.snap.piece_map.assign(40, 2);
  frame();
  EXPECT_FALSE(seen("MAPPING PIECES..."));
  j.snap.pieces = 1000000;
  frame();
  shot("transfers-short-map.png");
  // A huge file: a million pieces grouped into the field's cells.
  j.snap.piece_map.assign(1000000, 0);
  for (size_t i = 0; i < 600000; ++i) j.snap.piece_map[i] = i % 3 ? 2 : 3;
  j.snap.total = j.snap.done = 0;
  frame();
  EXPECT_TRUE(seen("0%"));
  shot("transfers-million-pieces.png");
}

TEST_F(MediaViews, SidebarBlock) {
  Catalog7 c;
  frame();
  EXPECT_FALSE(seen("TRANSFERS")) << "no block without jobs";
  MediaJob& a = add_demo_job(c.desk, 0, TState::Running);
  a.snap.done = 0;
  g_app.sidebar_open = true;
  g_app.sidebar_anim = 1;
  frame();
  EXPECT_TRUE(seen("TRANSFERS"));
  EXPECT_TRUE(seen("1 ACTIVE  //  0%"));
  EXPECT_TRUE(g_app.easing);
  MediaJob& b = add_demo_job(c.work, 70, TState::Running);
  frame();
  float p = g_media.busy_progress();
  EXPECT_TRUE(seen(strf("2 ACTIVE  //  %d%%", int(p * 100))));
  shot("sidebar-transfers.png");
  a.snap.state = TState::Done;
  b.snap.state = TState::Failed;
  add_demo_job(c.om, 10, TState::Paused);
  frame();
  EXPECT_TRUE(seen("3 DONE"));
  shot("sidebar-done.png");
  // Collapsed: no words, the block still leads to the transfers page.
  g_app.sidebar_open = false;
  g_app.sidebar_anim = 0;
  frame();
  EXPECT_FALSE(seen("3 DONE"));
  click(widget_id("sidexfer", 0));
  EXPECT_EQ(g_app.view, App::Transfers);
}
