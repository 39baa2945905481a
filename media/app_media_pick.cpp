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

// One catalog row of the picker, worked out before anything is drawn.
struct PickRow {
  const MediaItem* item = nullptr;
  u32 id = 0, act_id = 0;
  D2D_RECT_F r{}, act{};
  float m = 0;  // middle line
  int s = 0;    // media state, taken before any click
  MediaJob* job = nullptr;
  float frac = 0;
  bool picked = false;
  bool rest = false;
};

bool has_button(int s) { return s == kMediaPartial || s == kMediaFailed || s == kMediaNone; }

std::string button_text(const PickRow& row) {
  if (row.s == kMediaPartial) return strf("RESUME  %d%%", int(row.frac * 100));
  if (row.s == kMediaFailed) return "FAILED: RETRY";
  return "DOWNLOAD";
}

}  // namespace

// ---- media picker ---------------------------------------------------------------

float App::draw_media_picker(float x, float y, float w, const Profile& p) {
  g_cat.ensure(hwnd);
  std::vector<const MediaItem*> items = g_cat.for_profile(p.id);
  std::vector<std::string> distros;
  for (const MediaItem* it : items) distros.push_back(it->distro);
  PickerRows layout = picker_rows(distros, y);
  float ax = x + w - 186;

  std::vector<PickRow> rows(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    PickRow& row = rows[i];
    row.item = items[i];
    int h = file_hash(row.item->file);
    row.id = id("mrow", h);
    row.act_id = id("mdl", h);
    float cy = layout.tops[i];
    row.r = {x, cy, x + w, cy + 34};
    row.act = {ax, cy + 5, ax + 176, cy + 29};
    row.m = cy + 17;
    row.s = g_media.state(*row.item, &row.job, &row.frac);
    row.picked = media_pick == row.item->file;
    row.rest = settled(*this, row.id, row.r, row.picked ? 1.0f : 0.0f) &&
               (!has_button(row.s) || settled(*this, row.act_id, row.act));
  }
  float own = layout.own_top;
  D2D_RECT_F own_pick{x, own, x + 26, own + 36};
  D2D_RECT_F box{x + 30, own, x + 30 + (w - 142), own + 34};
  D2D_RECT_F browse{x + w - 100, own + 1, x + w, own + 33};
  D2D_RECT_F retry{x + w - 100, y + 18 + 2, x + w, y + 18 + 30};
  u32 browse_id = id("mbrowse", 0), retry_id = id("catretry", 0);
  bool browse_rest = settled(*this, browse_id, browse);
  bool unreachable = items.empty() && !g_cat.loading;
  bool retry_rest = !unreachable || settled(*this, retry_id, retry);

  auto draw_row = [&](const PickRow& row, float e) {
    const MediaItem& it = *row.item;
    D3DCOLORVALUE dc = distro_color(it.distro);
    float a = e * 0.06f + 0.03f;
    if (row.picked) {
      surface.fill(row.r, alpha(pal.pink, a));
      surface.rect(row.r, alpha(pal.pink, 0.8f), 1.2f);
    } else {
      surface.fill(row.r, alpha(pal.cyan, a));
    }
    surface.circle(x + 14, row.m, 6, row.picked ? pal.pink : pal.dim, 1.2f);
    if (row.picked) surface.disc(x + 14, row.m, 3, pal.pink);
    float tx = x + 30;
    tx += text_fast(surface, it.distro, tx, row.m - 5, 10, dc, AlignLeft, kTrack) + 12;
    tx += text_fast(surface, it.label, tx, row.m - 5, 10, pal.ice, AlignLeft, kTrack) + 12;
    std::string size = it.size ? human_bytes(it.size) : "";
    float size_w = it.size ? surface.text_width(size, 7.5f, kTrack) : 0;
    float bt_w = it.torrent.empty() ? 0 : surface.text_width("BT", 6.5f, kTrack);
    // A long edition stops short of the size and BT column.
    float room = edition_room(tx, ax, size_w, bt_w);
    if (room > 0)
      text_fast(surface, surface.fit(it.edition, room, 7.5f, kTrack), tx, row.m - 4, 7.5f, alpha(pal.cyan, 0.85f),
                AlignLeft, kTrack);
    if (it.size) text_fast(surface, size, ax - 14, row.m - 4, 7.5f, alpha(pal.dim, 1.3f), AlignRight, kTrack);
    if (!it.torrent.empty()) text_fast(surface, "BT", ax - 74, row.m - 4, 6.5f, alpha(pal.pink, 0.8f), AlignRight,
                                       kTrack);
    if (row.s == kMediaOnDisk) {
      D2D_POINT_2F tick[3] = {{ax + 6, row.m}, {ax + 11, row.m + 5}, {ax + 20, row.m - 6}};
      surface.poly(tick, 3, pal.green, 1.6f, false);
      text_fast(surface, "VERIFIED", ax + 28, row.m - 4, 8, pal.green, AlignLeft, kTrack);
    }
  };
  auto draw_own = [&] {
    bool own_picked = media_pick.empty();
    surface.circle(x + 14, own + 18, 6, own_picked ? pal.pink : pal.dim, 1.2f);
    if (own_picked) surface.disc(x + 14, own + 18, 3, pal.pink);
    surface.fill(box, alpha(pal.cyan, 0.03f));
    surface.line(box.left, box.bottom, box.right, box.bottom, alpha(pal.cyan, 0.6f), 1.4f);
    bool named = own_picked && !wizard_media.empty();
    std::string text = named ? upper(narrow(path_leaf(wizard_media))) : "OWN ISO";
    text_fast(surface, surface.fit(text, box.right - box.left - 20, 10, kTrack), box.left + 10, box.top + 12, 10,
              named ? pal.ice : pal.dim, AlignLeft, kTrack);
  };

  // The still parts, in one layer: the heading, the status line's text, the
  // rows at rest with their buttons, and the own-file row.
  u64 key = hash_val(w, hash_val(x, hash_val(y, 0)));
  key = hash_val(browse_rest, hash_val(retry_rest, hash_val(g_cat.loading, hash64(g_cat.err, key))));
  key = hash64(media_pick, hash64(narrow(wizard_media), key));
  for (const PickRow& row : rows) {
    const MediaItem& it = *row.item;
    key = hash64(it.file, hash64(it.distro, hash64(it.label, hash64(it.edition, hash64(it.torrent, key)))));
    key = hash_val(it.size, hash_val(row.s, hash_val(row.rest, hash_val(row.picked, key))));
    if (row.s == kMediaPartial) key = hash_val(int(row.frac * 100), key);
  }
  // The heading is not fitted: it may reach past the picker's width.
  const char* heading = "INSTALL MEDIA  //  OFFICIAL RELEASES, FETCHED OVER HTTPS AND BITTORRENT, CHECKED AGAINST SHA-256";
  float head_w = surface.text_width(heading, 8.5f, kTrack);
  D2D_RECT_F all{x, y, x + std::max(w, head_w), y + layout.height};
  clipped_layer(*this, id("mpicker", 0), all, key, [&] {
    label(x, y, heading, pal.dim, 8.5f);
    if (items.empty() && g_cat.loading) {
      label(x + 28, y + 18 + 9, "QUERYING RELEASE SERVERS...", pal.cyan, 9);
    } else if (unreachable) {
      std::string line = surface.fit("RELEASE SERVERS UNREACHABLE: " + g_cat.err, w - 120, 8, kTrack);
      text_fast(surface, line, x, y + 18 + 10, 8, pal.amber, AlignLeft, kTrack);
      if (retry_rest) button(retry_id, retry, "RETRY", Btn::Plain, true, 10.5f);
    }
    for (const PickRow& row : rows) {
      if (!row.rest) continue;
      draw_row(row, row.picked ? 1 : 0);
      if (has_button(row.s))
        button(row.act_id, row.act, button_text(row), row.s == kMediaFailed ? Btn::Danger : Btn::Plain, true,
               row.s == kMediaNone ? 8.5f : 8);
    }
    draw_own();
    if (browse_rest) button(browse_id, browse, "BROWSE", Btn::Plain, true, 10.5f);
  });

  // Status line: the spinner turns while the catalog loads; RETRY asks again.
  if (items.empty() && g_cat.loading) {
    float t = float(now);
    surface.arc(x + 10, y + 18 + 14, 8, 4 * t, 4 * t + 4.2f, pal.cyan, 1.5f);
    easing = true;
  } else if (unreachable) {
    bool again = retry_rest ? clicked(retry_id, retry, IDC_HAND)
                            : button(retry_id, retry, "RETRY", Btn::Plain, true, 10.5f);
    if (again) g_cat.refresh(hwnd);
  }

  // Rows: picking, the live ones drawn, and each row's action.
  for (PickRow& row : rows) {
    const MediaItem& it = *row.item;
    float e = ease(row.id, hovering(row.r) || row.picked, 0.07f);
    auto fill_name = [&] {
      if (wizard_name.empty()) wizard_name = it.distro + " " + it.version;
    };
    if (clicked(row.id, row.r, IDC_HAND)) {
      media_pick = it.file;
      wizard_media = row.s == kMediaOnDisk ? g_media.path(it) : std::wstring();
      fill_name();
      dirty = true;
    }
    if (!row.rest) draw_row(row, e);
    if (has_button(row.s)) {
      Btn style = row.s == kMediaFailed ? Btn::Danger : Btn::Plain;
      bool hit = row.rest ? clicked(row.act_id, row.act, IDC_HAND)
                          : button(row.act_id, row.act, button_text(row), style, true,
                                   row.s == kMediaNone ? 8.5f : 8);
      if (hit) {
        media_pick = it.file;
        if (row.s == kMediaFailed) {
          if (row.job) g_media.resume(row.job);
        } else {
          if (row.s == kMediaNone) fill_name();
          download(it, false);
        }
        dirty = true;
      }
    } else if (row.s == kMediaQueued || row.s == kMediaBusy) {
      D3DCOLORVALUE dc = distro_color(it.distro);
      D2D_RECT_F bar{ax, row.m - 3, ax + 70, row.m + 3};
      surface.rect(snap(*this, bar), alpha(dc, dc.a * 0.6f), 0.8f);
      float f = std::clamp(row.frac, 0.0f, 1.0f);
      if (f > 0) surface.fill({ax, bar.top, ax + 70 * f, bar.bottom}, dc);
      std::string word = "QUEUED";
      D3DCOLORVALUE wc = pal.amber;
      if (row.s == kMediaBusy) {
        wc = pal.ice;
        if (row.job && row.job->snap.state == TState::Checking) word = "VERIFYING";
        else word = strf("%d%%  %s", int(f * 100), row.job ? rate(row.job->snap.rate_down).c_str() : "");
      }
      text_fast(surface, word, ax + 78, row.m - 4, 7, wc, AlignLeft, kTrack);
      easing = true;
    }
  }

  // The own file: its radio picks it, BROWSE picks a file and it.
  if (clicked(id("mown", 0), own_pick, IDC_HAND)) {
    media_pick.clear();
    dirty = true;
  }
  bool browse_hit = browse_rest ? clicked(browse_id, browse, IDC_HAND)
                                : button(browse_id, browse, "BROWSE", Btn::Plain, true, 10.5f);
  if (browse_hit) {
    std::wstring file = pick_file(false, L"Install media",
                                  {{L"Install media (*.iso, *.img, *.cdr, *.dmg, *.toast)",
                                    L"*.iso;*.img;*.cdr;*.dmg;*.toast;*.bin"},
                                   {L"All files", L"*.*"}});
    if (!file.empty()) {
      media_pick.clear();
      wizard_media = file;
    }
  }
  return layout.height;
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
  parked = nullptr;
  view = parked_view;
  view_since = now;
  dirty = true;
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
