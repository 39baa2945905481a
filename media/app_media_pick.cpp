// The media views that choose: the wizard's media picker (a release of the
// catalog or the user's own file, with each release's download state and
// action), the media storage chooser (the drive or folder that holds the
// media), and the sidebar's transfers block that leads to the transfers page.
//
// What does not move is painted into one cached layer per view (see
// app_media.h); rows and cards that are hovered or easing, spinners and
// progress bars are drawn every frame.
#include <algorithm>
#include <cmath>

#include "machines/settings.h"
#include "media/app_media.h"
#include "media/catalog.h"
#include "media/media.h"

using namespace media_ui;

namespace {

constexpr float kPi = 3.14159265f;

// ---- media picker ---------------------------------------------------------------

// One catalog row of the picker, worked out before anything is drawn.
struct PickRow {
  const MediaItem* item = nullptr;
  u32 id = 0, action_id = 0;  // the row ("mrow") and its action ("mdl")
  D2D_RECT_F rect{}, action{};
  float mid = 0;      // the row's middle line
  int state = 0;      // media state (kMedia...), taken before any click
  MediaJob* job = nullptr;
  float frac = 0;     // of its download
  bool picked = false;
  bool rest = false;  // painted into the picker's layer
};

// What a frame of the picker shows, worked out before anything is drawn
// (the still parts go into the picker's layer, keyed by it).
struct PickerPlan {
  float x = 0, y = 0, w = 0;
  float action_x = 0;   // left edge of the rows' action column
  PickerRows layout;
  std::vector<PickRow> rows;
  bool loading = false, unreachable = false;  // no rows: the status line says why
  u32 retry_id = 0, browse_id = 0, own_id = 0;
  D2D_RECT_F retry{}, own_pick{}, own_box{}, browse{};
  bool retry_rest = true, browse_rest = false;
};

// The heading is not fitted: it may reach past the picker's width.
const char kHeading[] =
    "INSTALL MEDIA  //  OFFICIAL RELEASES, FETCHED OVER HTTPS AND BITTORRENT, CHECKED AGAINST SHA-256";

bool has_button(int state) { return state == kMediaPartial || state == kMediaFailed || state == kMediaNone; }

std::string button_text(const PickRow& row) {
  if (row.state == kMediaPartial) return strf("RESUME  %d%%", int(row.frac * 100));
  if (row.state == kMediaFailed) return "FAILED: RETRY";
  return "DOWNLOAD";
}

// A row's action button (RESUME, FAILED: RETRY or DOWNLOAD); true when clicked.
bool row_button(App& a, const PickRow& row) {
  return a.button(row.action_id, row.action, button_text(row),
                  row.state == kMediaFailed ? App::Btn::Danger : App::Btn::Plain, true,
                  row.state == kMediaNone ? 8.5f : 8);
}

PickerPlan plan_picker(App& a, float x, float y, float w, const Profile& profile) {
  PickerPlan p;
  p.x = x, p.y = y, p.w = w;
  p.action_x = x + w - 186;
  std::vector<const MediaItem*> items = g_cat.for_profile(profile.id);
  std::vector<std::string> distros;
  for (const MediaItem* it : items) distros.push_back(it->distro);
  p.layout = picker_rows(distros, y);
  for (size_t i = 0; i < items.size(); ++i) {
    PickRow row;
    row.item = items[i];
    int h = file_hash(row.item->file);
    row.id = a.id("mrow", h);
    row.action_id = a.id("mdl", h);
    float top = p.layout.tops[i];
    row.rect = {x, top, x + w, top + 34};
    row.action = {p.action_x, top + 5, p.action_x + 176, top + 29};
    row.mid = top + 17;
    row.state = g_media.state(*row.item, &row.job, &row.frac);
    row.picked = a.media_pick == row.item->file;
    row.rest = settled(a, row.id, row.rect, row.picked ? 1.0f : 0.0f) &&
               (!has_button(row.state) || settled(a, row.action_id, row.action));
    p.rows.push_back(row);
  }
  p.loading = items.empty() && g_cat.loading;
  p.unreachable = items.empty() && !g_cat.loading;
  p.retry_id = a.id("catretry", 0);
  p.retry = {x + w - 100, y + 18 + 2, x + w, y + 18 + 30};
  p.retry_rest = !p.unreachable || settled(a, p.retry_id, p.retry);
  float own = p.layout.own_top;
  p.own_id = a.id("mown", 0);
  p.own_pick = {x, own, x + 26, own + 36};
  p.own_box = {x + 30, own, x + 30 + (w - 142), own + 34};
  p.browse_id = a.id("mbrowse", 0);
  p.browse = {x + w - 100, own + 1, x + w, own + 33};
  p.browse_rest = settled(a, p.browse_id, p.browse);
  return p;
}

// The heading and the status line's words (the spinner and a RETRY that is
// not at rest are drawn live).
void draw_heading(App& a, const PickerPlan& p) {
  a.label(p.x, p.y, kHeading, pal.dim, 8.5f);
  if (p.loading) {
    a.label(p.x + 28, p.y + 18 + 9, "QUERYING RELEASE SERVERS...", pal.cyan, 9);
  } else if (p.unreachable) {
    std::string line = a.surface.fit("RELEASE SERVERS UNREACHABLE: " + g_cat.err, p.w - 120, 8, kTrack);
    text_fast(a.surface, line, p.x, p.y + 18 + 10, 8, pal.amber, AlignLeft, kTrack);
    if (p.retry_rest) a.button(p.retry_id, p.retry, "RETRY", App::Btn::Plain, true, 10.5f);
  }
}

// The status line's live part: the spinner turns while the catalog loads;
// RETRY asks the release servers again.
void draw_status_line(App& a, const PickerPlan& p) {
  if (p.loading) {
    float t = float(a.now);
    a.surface.arc(p.x + 10, p.y + 18 + 14, 8, 4 * t, 4 * t + 4.2f, pal.cyan, 1.5f);
    a.easing = true;
  } else if (p.unreachable) {
    bool again = p.retry_rest ? a.clicked(p.retry_id, p.retry, IDC_HAND)
                              : a.button(p.retry_id, p.retry, "RETRY", App::Btn::Plain, true, 10.5f);
    if (again) g_cat.refresh(a.hwnd);
  }
}

// A catalog row as it looks at eased value e: background, radio mark, the
// release's names, size and BT mark, and the check mark of a verified file.
void draw_catalog_row(App& a, const PickerPlan& p, const PickRow& row, float e) {
  Canvas& c = a.surface;
  const MediaItem& it = *row.item;
  D3DCOLORVALUE dc = distro_color(it.distro);
  float x = p.x, ax = p.action_x, m = row.mid;
  float bg = e * 0.06f + 0.03f;
  if (row.picked) {
    c.fill(row.rect, alpha(pal.pink, bg));
    c.rect(row.rect, alpha(pal.pink, 0.8f), 1.2f);
  } else {
    c.fill(row.rect, alpha(pal.cyan, bg));
  }
  c.circle(x + 14, m, 6, row.picked ? pal.pink : pal.dim, 1.2f);
  if (row.picked) c.disc(x + 14, m, 3, pal.pink);
  float tx = x + 30;
  tx += text_fast(c, it.distro, tx, m - 5, 10, dc, AlignLeft, kTrack) + 12;
  tx += text_fast(c, it.label, tx, m - 5, 10, pal.ice, AlignLeft, kTrack) + 12;
  std::string size = it.size ? human_bytes(it.size) : "";
  float size_w = it.size ? c.text_width(size, 7.5f, kTrack) : 0;
  float bt_w = it.torrent.empty() ? 0 : c.text_width("BT", 6.5f, kTrack);
  // A long edition stops short of the size and BT column.
  float room = edition_room(tx, ax, size_w, bt_w);
  if (room > 0)
    text_fast(c, c.fit(it.edition, room, 7.5f, kTrack), tx, m - 4, 7.5f, alpha(pal.cyan, 0.85f), AlignLeft, kTrack);
  if (it.size) text_fast(c, size, ax - kPickSizeEnd, m - 4, 7.5f, alpha(pal.dim, 1.3f), AlignRight, kTrack);
  if (!it.torrent.empty()) text_fast(c, "BT", ax - kPickBtEnd, m - 4, 6.5f, alpha(pal.pink, 0.8f), AlignRight, kTrack);
  if (row.state == kMediaOnDisk) {
    D2D_POINT_2F tick[3] = {{ax + 6, m}, {ax + 11, m + 5}, {ax + 20, m - 6}};
    c.poly(tick, 3, pal.green, 1.6f, false);
    text_fast(c, "VERIFIED", ax + 28, m - 4, 8, pal.green, AlignLeft, kTrack);
  }
}

// The progress bar of a queued or busy download and its word.
void draw_row_progress(App& a, const PickerPlan& p, const PickRow& row) {
  const MediaItem& it = *row.item;
  D3DCOLORVALUE dc = distro_color(it.distro);
  float ax = p.action_x;
  D2D_RECT_F bar{ax, row.mid - 3, ax + 70, row.mid + 3};
  a.surface.rect(snap(a, bar), alpha(dc, dc.a * 0.6f), 0.8f);
  float f = std::clamp(row.frac, 0.0f, 1.0f);
  if (f > 0) a.surface.fill({ax, bar.top, ax + 70 * f, bar.bottom}, dc);
  std::string word = "QUEUED";
  D3DCOLORVALUE wc = pal.amber;
  if (row.state == kMediaBusy) {
    wc = pal.ice;
    if (row.job && row.job->snap.state == TState::Checking) word = "VERIFYING";
    else word = strf("%d%%  %s", int(f * 100), row.job ? rate(row.job->snap.rate_down).c_str() : "");
  }
  text_fast(a.surface, word, ax + 78, row.mid - 4, 7, wc, AlignLeft, kTrack);
  a.easing = true;
}

// A row's live part: a click on it picks its release; a row that is not at
// rest is drawn; its action column starts, resumes or retries the download,
// or shows its progress.
void handle_catalog_row(App& a, const PickerPlan& p, const PickRow& row) {
  const MediaItem& it = *row.item;
  float e = a.ease(row.id, a.hovering(row.rect) || row.picked, 0.07f);
  auto fill_name = [&] {
    if (a.wizard_name.empty()) a.wizard_name = it.distro + " " + it.version;
  };
  if (a.clicked(row.id, row.rect, IDC_HAND)) {
    a.media_pick = it.file;
    a.wizard_media = row.state == kMediaOnDisk ? g_media.path(it) : std::wstring();
    fill_name();
    a.dirty = true;
  }
  if (!row.rest) draw_catalog_row(a, p, row, e);
  if (has_button(row.state)) {
    bool hit = row.rest ? a.clicked(row.action_id, row.action, IDC_HAND) : row_button(a, row);
    if (!hit) return;
    a.media_pick = it.file;
    if (row.state == kMediaFailed) {
      if (row.job) g_media.resume(row.job);
    } else {
      if (row.state == kMediaNone) fill_name();
      a.download(it, false);
    }
    a.dirty = true;
  } else if (row.state == kMediaQueued || row.state == kMediaBusy) {
    draw_row_progress(a, p, row);
  }
}

// The own-file row: its radio mark, and the box with the chosen file's name.
void draw_own_file(App& a, const PickerPlan& p) {
  Canvas& c = a.surface;
  const D2D_RECT_F& box = p.own_box;
  float m = p.layout.own_top + 18;
  bool own_picked = a.media_pick.empty();
  c.circle(p.x + 14, m, 6, own_picked ? pal.pink : pal.dim, 1.2f);
  if (own_picked) c.disc(p.x + 14, m, 3, pal.pink);
  c.fill(box, alpha(pal.cyan, 0.03f));
  c.line(box.left, box.bottom, box.right, box.bottom, alpha(pal.cyan, 0.6f), 1.4f);
  bool named = own_picked && !a.wizard_media.empty();
  std::string text = named ? upper(narrow(path_leaf(a.wizard_media))) : "OWN ISO";
  text_fast(c, c.fit(text, box.right - box.left - 20, 10, kTrack), box.left + 10, box.top + 12, 10,
            named ? pal.ice : pal.dim, AlignLeft, kTrack);
}

// The own file's clicks: its radio picks it, BROWSE picks a file and it.
void handle_own_file(App& a, const PickerPlan& p) {
  if (a.clicked(p.own_id, p.own_pick, IDC_HAND)) {
    a.media_pick.clear();
    a.dirty = true;
  }
  bool browse = p.browse_rest ? a.clicked(p.browse_id, p.browse, IDC_HAND)
                              : a.button(p.browse_id, p.browse, "BROWSE", App::Btn::Plain, true, 10.5f);
  if (!browse) return;
  std::wstring file = a.pick_file(false, L"Install media",
                                  {{L"Install media (*.iso, *.img, *.cdr, *.dmg, *.toast)",
                                    L"*.iso;*.img;*.cdr;*.dmg;*.toast;*.bin"},
                                   {L"All files", L"*.*"}});
  if (!file.empty()) {
    a.media_pick.clear();
    a.wizard_media = file;
  }
}

// The picker's layer: the heading, the status line's words, the rows at
// rest with their buttons, and the own-file row.
void draw_picker_still(App& a, const PickerPlan& p) {
  u64 key = hash_val(p.w, hash_val(p.x, hash_val(p.y, 0)));
  key = hash_val(p.browse_rest, hash_val(p.retry_rest, hash_val(g_cat.loading, hash64(g_cat.err, key))));
  key = hash64(a.media_pick, hash64(narrow(a.wizard_media), key));
  for (const PickRow& row : p.rows) {
    const MediaItem& it = *row.item;
    key = hash64(it.file, hash64(it.distro, hash64(it.label, hash64(it.edition, hash64(it.torrent, key)))));
    key = hash_val(it.size, hash_val(row.state, hash_val(row.rest, hash_val(row.picked, key))));
    if (row.state == kMediaPartial) key = hash_val(int(row.frac * 100), key);
  }
  float head_w = a.surface.text_width(kHeading, 8.5f, kTrack);
  D2D_RECT_F all{p.x, p.y, p.x + std::max(p.w, head_w), p.y + p.layout.height};
  clipped_layer(a, a.id("mpicker", 0), all, key, [&] {
    draw_heading(a, p);
    for (const PickRow& row : p.rows) {
      if (!row.rest) continue;
      draw_catalog_row(a, p, row, row.picked ? 1 : 0);
      if (has_button(row.state)) row_button(a, row);
    }
    draw_own_file(a, p);
    if (p.browse_rest) a.button(p.browse_id, p.browse, "BROWSE", App::Btn::Plain, true, 10.5f);
  });
}

}  // namespace

float App::draw_media_picker(float x, float y, float w, const Profile& p) {
  g_cat.ensure(hwnd);
  PickerPlan plan = plan_picker(*this, x, y, w, p);
  draw_picker_still(*this, plan);
  draw_status_line(*this, plan);
  for (const PickRow& row : plan.rows) handle_catalog_row(*this, plan, row);
  handle_own_file(*this, plan);
  return plan.layout.height;
}

// ---- media storage view -------------------------------------------------------------

void App::draw_storage(const D2D_RECT_F& r) {
  float L = r.left, T = r.top, R = r.right, B = r.bottom, W = R - L;
  float x0 = L + 40;
  // The drive list is asked for at most every 2 s: a slow network drive
  // must not stall every frame.
  static std::vector<DriveInfo> drives;
  static double drives_t = -100.0;
  if (now_s() - drives_t > 2.0) {
    drives = list_drives();
    drives_t = now_s();
  }
  std::vector<bool> most = most_room(drives);

  D2D_RECT_F cancel_r{R - 140, T + 34, R - 40, T + 64};
  u32 cancel_id = id("stcancel", 0);
  D2D_RECT_F area{L, T + 112, R, B};
  float y0 = T + 120 - scroll;
  int cols = storage_cols(W);
  int n = int(drives.size());
  float by = y0 + float((n + cols - 1) / cols) * 202 + 6;
  auto card_of = [&](int i) {
    float cx = x0 + float(i % cols) * 288, cy = y0 + float(i / cols) * 202;
    return D2D_RECT_F{cx, cy, cx + 270, cy + 184};
  };
  D2D_RECT_F other_r{x0, by, x0 + 180, by + 36};
  u32 other_id = id("stother", 0);

  // Which widgets are at rest (hover inside the scrolled area obeys its clip).
  bool cancel_rest = settled(*this, cancel_id, cancel_r);
  push_clip(area);
  std::vector<bool> rest(size_t(n), false);
  for (int i = 0; i < n; ++i) rest[size_t(i)] = settled(*this, id("drive", i), card_of(i));
  bool other_rest = settled(*this, other_id, other_r);
  pop_clip();

  auto draw_card = [&](int i, float e) {
    const DriveInfo& d = drives[size_t(i)];
    D2D_RECT_F c = card_of(i);
    float x = c.left, y = c.top, Rc = c.right;
    D3DCOLORVALUE k = most[size_t(i)] ? pal.pink : pal.cyan;
    surface.fill(c, alpha(k, e * 0.07f + 0.03f));
    surface.rect(c, alpha(k, e * 0.5f + 0.25f), 1);
    surface.brackets({c.left - 2, c.top - 2, c.right + 2, c.bottom + 2}, 10, alpha(k, e * 0.4f + 0.6f), 1.4f);
    text_fast(surface, narrow(d.root.substr(0, 2)), x + 18, y + 18, 30, pal.pink, AlignLeft, 0.1f);
    std::string name = d.label.empty() ? "LOCAL DISK" : upper(d.label);
    text_fast(surface, surface.fit(name, 160, 10.5f, kTrack), x + 92, y + 20, 10.5f, pal.ice, AlignLeft, kTrack);
    const char* kind = d.type == DRIVE_REMOTE ? "NETWORK" : d.type == DRIVE_REMOVABLE ? "REMOVABLE" : "FIXED";
    text_fast(surface, upper(d.fs) + "  //  " + kind, x + 92, y + 40, 7, alpha(pal.cyan, 0.9f), AlignLeft, kTrack);
    float bx = x + 18, bar_y = y + 76, s = 234.0f / 40;
    int used = used_segments(d.total, d.free);
    double u = d.total ? double(d.total - std::min(d.free, d.total)) / double(d.total) : 0;
    D3DCOLORVALUE uc = alpha(u > 0.9 ? pal.amber : pal.cyan, 0.55f);
    for (int j = 0; j < 40; ++j) {
      D2D_RECT_F seg{bx + 1 + j * s, bar_y, bx + 1 + j * s + s - 2, bar_y + 34};
      if (j < used) surface.fill(seg, uc);
      else surface.rect(snap(*this, seg), alpha(pal.green, 0.55f), 0.8f);
    }
    text_fast(surface, human_bytes(d.free) + " FREE OF " + human_bytes(d.total), x + 18, y + 122, 9.5f,
              d.free <= 21474836480ull ? pal.amber : pal.green, AlignLeft, kTrack);
    float bw = most[size_t(i)] ? surface.text_width("MOST ROOM", 6.5f, kTrack) + 14 : 0;
    std::string fits = strf("FITS ~%d UBUNTU DESKTOP ISOS", int(std::min<u64>(fits_isos(d.free), 2000000000)));
    text_fast(surface, surface.fit(fits, 234 - bw - 10, 6.5f, kTrack), x + 18, y + 150, 6.5f, alpha(pal.dim, 1.3f),
              AlignLeft, kTrack);
    if (most[size_t(i)]) {
      surface.rect({Rc - bw - 12, y + 146, Rc - 12, y + 161}, pal.pink, 1);
      text_fast(surface, "MOST ROOM", Rc - bw - 5, y + 150, 6.5f, pal.pink, AlignLeft, kTrack);
    }
  };

  u64 key = hash_val(r, hash_val(scroll, hash_val(cancel_rest, hash_val(other_rest, 0))));
  for (int i = 0; i < n; ++i) {
    const DriveInfo& d = drives[size_t(i)];
    key = hash64(d.root.data(), d.root.size() * sizeof(wchar_t), hash64(d.label, hash64(d.fs, key)));
    key = hash_val(d.total, hash_val(d.free, hash_val(d.type, hash_val(bool(rest[size_t(i)]), key))));
  }
  layers.draw(surface, id("storage", 0), r, key, [&] {
    paint_still(*this, [&] {
      grid(*this, r);
      text_fast(surface, "MEDIA STORAGE", x0, T + 30, 24, pal.pink, AlignLeft, 0.2f);
      label(x0, T + 68, "WHERE SHOULD V.U.N.K. KEEP DOWNLOADED INSTALL MEDIA? EACH ISO IS 1 TO 7 GB.", pal.cyan, 9);
      if (cancel_rest) button(cancel_id, cancel_r, "CANCEL", Btn::Secondary, true, 10.5f);
      push_clip(area);
      for (int i = 0; i < n; ++i)
        if (rest[size_t(i)]) draw_card(i, 0);
      if (other_rest) button(other_id, other_r, "OTHER FOLDER...", Btn::Plain, true, 10.5f);
      label(x0 + 200, by + 13,
            surface.fit("A FOLDER NAMED \"VUNK MEDIA\" IS CREATED ON THE DRIVE YOU PICK. CHANGE IT LATER IN "
                        "CONFIGURATION.", W - 300, 7, kTrack),
            alpha(pal.dim, 1.3f), 7);
      pop_clip();
    });
  }, 0);

  bool cancel_hit = cancel_rest ? clicked(cancel_id, cancel_r, IDC_HAND)
                                : button(cancel_id, cancel_r, "CANCEL", Btn::Secondary, true, 10.5f);
  if (cancel_hit) {
    leave_storage();
    return;
  }

  std::wstring chosen;
  bool other = false;
  push_clip(area);
  for (int i = 0; i < n; ++i) {
    u32 cid = id("drive", i);
    D2D_RECT_F c = card_of(i);
    float e = ease(cid, hovering(c), 0.07f);
    if (clicked(cid, c, IDC_HAND)) chosen = path_join(drives[size_t(i)].root, L"VUNK Media");
    if (!rest[size_t(i)]) draw_card(i, e);
  }
  other = other_rest ? clicked(other_id, other_r, IDC_HAND)
                     : button(other_id, other_r, "OTHER FOLDER...", Btn::Plain, true, 10.5f);
  pop_clip();
  form_scroll_end(area, (by + 50) - y0 + 20);

  // The choice is carried out once this frame's drawing of the view is done:
  // the folder dialog and the parked action then run outside any clip.
  if (other) {
    std::wstring p = pick_file(true, L"Folder for install media", {});
    if (!p.empty()) chosen = p;
  }
  if (chosen.empty()) return;
  CreateDirectoryW(chosen.c_str(), nullptr);  // an existing folder is fine; only the parent must exist
  std::string shown = upper(narrow(chosen));
  if (!dir_exists(chosen)) {
    // The view and the parked action stay: another drive or folder may do.
    note("CANNOT CREATE " + shown, pal.red);
    return;
  }
  g_set.media_dir = chosen;
  g_set.save();
  wlog("media storage: %s", narrow(chosen).c_str());
  std::function<void()> then = std::move(parked);
  leave_storage();
  note("INSTALL MEDIA GOES TO " + shown, pal.cyan);
  if (then) then();
}

// ---- sidebar transfers block ----------------------------------------------------------

void App::draw_sidebar_transfers(float y, float w, float t) {
  D2D_RECT_F r{0, y, w, y + 46};
  u32 wid = id("sidexfer", 0);
  bool shown = view == Transfers;
  float e = ease(wid, shown || hovering(r), 0.07f);
  if (clicked(wid, r, IDC_HAND)) {
    go(Transfers);
    shown = true;
  }
  surface.fill(r, alpha(shown ? pal.pink : pal.cyan, 0.04f + 0.06f * e));
  int n = g_media.busy_count();
  float p = g_media.busy_progress();
  float s = std::clamp(sidebar_anim, 0.0f, 1.0f), sm = s * s * (3 - 2 * s);
  float cx = w / 2 + (40 - w / 2) * sm, cy = y + 23;
  surface.circle(cx, cy, 15, alpha(pal.dim, 0.8f), 1);
  if (n == 0) {
    draw_glyph(Glyph::ImportDisk, cx, cy, 18, alpha(pal.ice, 0.7f), 1.4f);
  } else {
    surface.arc(cx, cy, 15, -kPi / 2, std::max(0.02f, p) * 2 * kPi - kPi / 2, pal.cyan, 2);
    draw_glyph(Glyph::ImportDisk, cx, cy, 18, pal.cyan, 1.4f);
    easing = true;  // the ring follows the downloads
  }
  if (t > 0) {
    text_fast(surface, "TRANSFERS", 78, y + 10, 10, alpha(shown ? pal.pink : pal.ice, t), AlignLeft, kTrack);
    text_fast(surface, sidebar_line(n, p, g_media.jobs.size()), 78, y + 27, 6.5f,
              alpha(n ? pal.cyan : pal.green, t), AlignLeft, kTrack);
  }
}
