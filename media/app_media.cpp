// The application's way from a chosen install image to a queued download:
// the media-folder gate, the download action and the wizard's media half;
// the plain decisions of the media views (media_views.h; the views are drawn
// in app_media_pick.cpp and app_media_xfer.cpp); and the demonstration
// transfer data of the screenshot series.
#include "app/app.h"

#include <algorithm>
#include <cmath>

#include "gfx/layer.h"
#include "machines/library.h"
#include "media/media.h"
#include "media/media_views.h"

void App::need_storage(std::function<void()> then) {
  if (!then) return;  // nothing to run: calling it would throw
  if (g_media.has_dir()) {
    then();
    return;
  }
  // Parked: an action parked earlier is dropped unrun. The view is switched
  // directly, not through go, so the view returned to keeps its state.
  parked = std::move(then);
  parked_view = view;
  view = Storage;
  view_since = now;
  dirty = true;
}

void App::download(const MediaItem& item, bool go_after) {
  need_storage([this, item, go_after] {
    MediaJob* job = g_media.start(item);
    if (!job) {
      note("COULD NOT START THE DOWNLOAD", pal.red);
      return;
    }
    transfer_sel = item.file;
    if (go_after) go(Transfers);
  });
}

const MediaItem* App::picked_media() const {
  if (media_pick.empty()) return nullptr;
  for (const MediaItem& it : g_cat.items)
    if (it.file == media_pick) return &it;
  return nullptr;
}

bool App::install_needs_storage() {
  if (!wizard_profile || !Catalog::profile_has_media(wizard_profile->id) || !picked_media() || g_media.has_dir())
    return false;
  need_storage([this] { start_install(); });
  return true;
}

bool App::install_download(const Machine& machine) {
  const MediaItem* item = picked_media();
  if (!item || g_media.state(*item, nullptr, nullptr) == kMediaOnDisk) return false;
  MediaJob* job = g_media.start(*item);
  if (!job) {
    // The folder vanished since the gate: the machine exists, its media not.
    note("COULD NOT START THE DOWNLOAD", pal.red);
    return true;
  }
  job->launch_after = machine.id;
  transfer_sel = item->file;
  go(Transfers);
  return true;
}

// ---- plain decisions of the media views ------------------------------------------

std::string rate(float v) {
  if (!(v > 0)) return "-";
  // Truncated to whole bytes; a value beyond 64 bits reads as the largest.
  u64 n = v >= 1.8e19f ? ~u64(0) : u64(v);
  return human_bytes(n) + "/S";
}

std::string eta_text(double s) {
  if (!std::isfinite(s) || s < 0 || s > 360000) return "--:--";
  return human_duration(s);
}

const char* state_word(TState s) {
  switch (s) {
    case TState::Idle: return "QUEUED";
    case TState::Starting: return "ACQUIRING";
    case TState::Running: return "RECEIVING";
    case TState::Paused: return "PAUSED";
    case TState::Checking: return "VERIFYING SHA-256";
    case TState::Done: return "VERIFIED";
    case TState::Failed: return "FAILED";
  }
  return "";
}

D3DCOLORVALUE state_col(TState s) {
  switch (s) {
    case TState::Idle: case TState::Paused: return pal.amber;
    case TState::Checking: return D3DCOLORVALUE{0.94f, 0.98f, 1, 1};
    case TState::Done: return pal.green;
    case TState::Failed: return pal.red;
    default: return pal.cyan;
  }
}

std::string sidebar_line(int busy, float progress, size_t jobs) {
  if (busy <= 0) return strf("%d DONE", int(jobs));
  return strf("%d ACTIVE  //  %d%%", busy, int(std::clamp(progress, 0.0f, 1.0f) * 100));
}

PieceGrid piece_grid(float w, float h, u32 pieces) {
  PieceGrid g;
  // Floors taken in floating point first: a negative or huge area must not
  // reach an unsigned conversion.
  g.cols = u32(std::clamp(std::floor(w / 6), 1.0f, 1e6f));
  g.rows = u32(std::clamp(std::floor(h / 22), 1.0f, 1e6f));
  g.cells = u32(std::min<u64>(pieces, u64(g.cols) * g.rows));
  g.rows_used = (g.cells + g.cols - 1) / g.cols;
  g.ch = g.rows_used ? h / float(g.rows_used) : 0;
  return g;
}

u64 cell_first(u64 i, u64 n, u64 pieces) {
  if (n == 0) return 0;
  return u64((unsigned __int128)i * pieces / n);
}

bool piece_map_usable(const TransferSnapshot& s) { return s.pieces > 0 && s.piece_map.size() >= s.pieces; }

CellLook cell_look(const u32 c[5]) {
  CellLook k;
  u32 got = c[2] + c[3] + c[4];
  if (got == 0) {
    k.kind = c[1] > 0 ? CellLook::Flight : CellLook::Outline;
    return k;
  }
  k.kind = CellLook::Filled;
  if (c[4] >= std::max(c[2], c[3])) k.source = CellLook::Resumed;
  else if (c[3] > c[2]) k.source = CellLook::Peers;
  else k.source = CellLook::Mirrors;
  k.alpha = c[2] + c[3] > c[4] ? 0.9f : 0.45f;
  float all = float(c[0]) + c[1] + got;
  k.fill = 0.35f + 0.65f * float(got) / all;
  return k;
}

std::vector<CellLook> piece_cells(const TransferSnapshot& s, const PieceGrid& g) {
  std::vector<CellLook> out;
  if (!piece_map_usable(s)) return out;
  out.reserve(g.cells);
  for (u32 i = 0; i < g.cells; ++i) {
    u64 a = cell_first(i, g.cells, s.pieces), b = cell_first(i + 1, g.cells, s.pieces);
    u32 c[5] = {0, 0, 0, 0, 0};
    for (u64 j = a; j < b; ++j) ++c[std::min<u8>(s.piece_map[j], 4)];
    out.push_back(cell_look(c));
  }
  return out;
}

FieldTiles field_tiles(const PieceGrid& g, const std::vector<CellLook>& cells, float x0, float y0, bool blink_on) {
  FieldTiles t;
  u32 cols = std::max(1u, g.cols);
  for (u32 col = kFieldTileCells; col < cols; col += kFieldTileCells) t.xs.push_back(x0 + 6 * float(col));
  size_t rows = (cells.size() + cols - 1) / cols;
  for (size_t row = 1; row < rows; ++row) t.ys.push_back(y0 + g.ch * float(row));
  size_t across = t.xs.size() + 1;
  t.versions.assign(across * (t.ys.size() + 1), hash_val(g.cols, hash_val(g.ch, 0)));
  std::vector<char> flight(t.versions.size(), 0);
  for (size_t i = 0; i < cells.size(); ++i) {
    size_t at = (i / cols) * across + (i % cols) / kFieldTileCells;
    const CellLook& c = cells[i];
    t.versions[at] = hash_val(c.kind, hash_val(c.source, hash_val(c.alpha, hash_val(c.fill, t.versions[at]))));
    flight[at] = flight[at] || c.kind == CellLook::Flight;
  }
  for (size_t at = 0; at < t.versions.size(); ++at)
    if (flight[at]) t.versions[at] = hash_val(blink_on, t.versions[at]);
  return t;
}

void field_pixels(Pixels& p, float ox, float oy, float k, const PieceGrid& g, const std::vector<CellLook>& cells,
                  bool blink_on, const FieldColours& col) {
  std::fill(p.px.begin(), p.px.end(), 0);
  float bh = (g.ch - 4) * k, bw = 3.5f * k, half = 0.3f * k;
  if (bh <= 0) return;
  for (size_t i = 0; i < cells.size(); ++i) {
    const CellLook& c = cells[i];
    float x = ox + (6 * float(i % g.cols) + 1) * k, y = oy + (g.ch * float(i / g.cols) + 2) * k;
    switch (c.kind) {
      case CellLook::Outline: {
        // A stroke of 0.6 DIPs centred on the bar's edges.
        D3DCOLORVALUE e = col.empty;
        p.rect(x - half, y - half, x + bw + half, y + half, e);
        p.rect(x - half, y + bh - half, x + bw + half, y + bh + half, e);
        p.rect(x - half, y + half, x + half, y + bh - half, e);
        p.rect(x + bw - half, y + half, x + bw + half, y + bh - half, e);
        break;
      }
      case CellLook::Flight:
        p.rect(x, y, x + bw, y + bh, alpha(col.flight, blink_on ? 0.85f : 0.35f));
        break;
      case CellLook::Filled: {
        D3DCOLORVALUE s = c.source == CellLook::Resumed ? col.resumed : c.source == CellLook::Peers ? col.peers
                                                                                               : col.mirrors;
        p.rect(x, y + bh * (1 - c.fill), x + bw, y + bh, alpha(s, c.alpha));
        break;
      }
    }
  }
}

void radar_peer_pixels(Pixels& p, float cx, float cy, float R, float k, const std::vector<ConnInfo>& conns,
                       const PeerColours& col) {
  std::fill(p.px.begin(), p.px.end(), 0);
  float maxrate = 1;
  for (const ConnInfo& c : conns) maxrate = std::max(maxrate, c.rate);
  for (const ConnInfo& c : conns) {
    if (c.kind != 0) continue;
    float t = std::clamp(c.rate / maxrate, 0.0f, 1.0f);
    float ang = float(c.id % 6283) / 1000;
    float d = ((1 - std::sqrt(t)) * 0.58f + 0.38f) * R;
    float x = cx + d * std::cos(ang), y = cy + d * std::sin(ang);
    D3DCOLORVALUE k_col = c.progress >= 0.999f ? col.seed : col.partial;
    if (c.rate > 0 && !c.choked) {
      p.disc(x, y, (3.5f * t + 1.8f) * k, alpha(k_col, 0.95f));
      p.line(cx, cy, x, y, 0.7f * k, alpha(k_col, 0.35f * t + 0.08f));
    } else {
      p.ring(x, y, 2.4f * k, 0.9f * k, alpha(k_col, 0.5f));
    }
  }
}

u32 scope_span(size_t samples) { return samples <= 39 ? 40 : u32(std::min<size_t>(480, samples)); }

float scope_x(float L, float R, size_t n, size_t j, u32 span) {
  return R - (R - L) * float(n - 1 - j) / float(span - 1);
}

int storage_cols(float W) {
  float c = std::floor((W - 80 + 18) / 288);
  return c >= 1 ? int(std::min(c, 1e4f)) : 1;
}

std::vector<bool> most_room(const std::vector<DriveInfo>& drives) {
  u64 best = 0;
  for (const DriveInfo& d : drives)
    if (d.type == DRIVE_FIXED) best = std::max(best, d.free);
  std::vector<bool> out;
  for (const DriveInfo& d : drives) out.push_back(d.type == DRIVE_FIXED && d.free == best);
  return out;
}

int used_segments(u64 total, u64 free) {
  if (total == 0 || free >= total) return 0;
  double x = double(total - free) / double(total) * 40;
  return int(std::min(40.0, std::ceil(x)));
}

u64 fits_isos(u64 free) { return free / 6815744000ull; }

PickerRows picker_rows(const std::vector<std::string>& distros, float y) {
  PickerRows p;
  float cy = y + 18;
  if (distros.empty()) cy += 40;  // the status line
  for (size_t i = 0; i < distros.size(); ++i) {
    if (i > 0 && distros[i] != distros[i - 1]) cy += 6;
    p.tops.push_back(cy);
    cy += 36;
  }
  p.own_top = cy + 8;
  p.height = p.own_top + 40 - y;
  return p;
}

float edition_room(float x, float ax, float size_w, float bt_w) {
  float end = bt_w > 0 ? ax - kPickBtEnd - bt_w : size_w > 0 ? ax - kPickSizeEnd - size_w : ax;
  return end - 12 - x;
}

XferLayout xfer_layout(const D2D_RECT_F& r) {
  XferLayout x;
  float W = r.right - r.left;
  x.list_w = std::clamp(0.24f * W, 210.0f, 300.0f);
  x.top = r.top + 122;
  x.detail_x = r.left + x.list_w + 30;
  x.detail_r = r.right - 40;
  x.detail_w = x.detail_r - x.detail_x;
  x.detail_h = (r.bottom - 24) - x.top;
  x.pieces_y = x.top + 84;
  x.field_h = std::clamp(0.42f * (x.detail_h - 234), 90.0f, 200.0f);
  x.displays_y = x.pieces_y + 14 + x.field_h + 18;
  x.displays_h = std::clamp(x.detail_h - (x.displays_y - x.top) - 112, 110.0f, 230.0f);
  float wr = x.detail_w - x.displays_h - 24;
  x.map = wr > 640;
  x.scope_w = x.map ? 0.58f * wr : wr;
  if (x.map) x.map_rect = {x.detail_x + x.scope_w + 16, x.displays_y, x.detail_r - x.displays_h - 32, x.displays_y + x.displays_h};
  x.counters_y = x.displays_y + x.displays_h + 18;
  bool beside = x.detail_w - 320 >= 400;
  x.counters_w = beside ? x.detail_w - 320 : x.detail_w;
  x.bar_w = std::min(420.0f, x.counters_w);
  x.buttons_y = beside ? x.counters_y : x.counters_y + 58;
  return x;
}

std::vector<XferAction> xfer_actions(TState s) {
  if (s == TState::Done) return {RemoveFromList, ShowInFolder};
  if (s == TState::Paused || s == TState::Failed) return {CancelJob, ResumeJob};
  return {CancelJob, PauseJob};
}

SplitBar split_bar(u64 m, u64 p, float width) {
  SplitBar b;
  double all = double(m) + double(p);
  if (!(all > 0)) return b;
  b.empty = false;
  b.mirrors = float(double(m) / all * width);
  b.peers = width - b.mirrors;
  return b;
}

// ---- demonstration transfer data ----------------------------------------------
// A download in full swing without the network, for the screenshot series:
// the same item and time always give the same snapshot.

namespace {
constexpr u32 kGolden = 2654435761u;  // 32-bit golden-ratio constant: scatters indices
constexpr u32 kDemoPiece = 4194304;   // 4 MiB
}  // namespace

TransferSnapshot demo_snapshot(const MediaItem& item, double t) {
  TransferSnapshot s;
  s.state = TState::Running;
  s.label = "DEMO DATA  //  TRACKER + DHT  //  63 PEERS  //  24 CONNECTED";
  s.total = item.size ? item.size : 2147483648ull;
  s.piece_size = kDemoPiece;
  s.pieces = u32((s.total + kDemoPiece - 1) / kDemoPiece);
  // The mirrors fill the file in order from its start, the peers a scattered
  // set that grows with f, and a thin band ahead of both is in flight.
  float f = std::min(1.0f, float(t / 140));
  s.piece_map.assign(s.pieces, 0);
  u64 got = 0;
  for (u32 i = 0; i < s.pieces; ++i) {
    u32 h = i * kGolden;
    float x;
    u8 v = 0;
    if ((h >> 7) % 5 <= 1) {
      x = float((h >> 11) % 1000) / 1000;
      if (x < f) v = 3;
    } else {
      x = float(i) / float(s.pieces);
      if (x < f) v = 2;
    }
    if (!v && x < f + 0.015f) v = 1;
    s.piece_map[i] = v;
    if (v == 2 || v == 3) ++got;
  }
  s.done = std::min(s.total, got * kDemoPiece);  // a short last piece counts for what it holds
  s.via_mirrors = u64(double(s.done) * 0.62);
  s.via_peers = s.done - s.via_mirrors;
  s.uploaded = u64(t * 2000000);
  s.rate_mirrors = float(31000000 + 6000000 * std::sin(0.7 * t));
  s.rate_peers = float(14000000 + 9000000 * std::sin(0.31 * t + 1.0));
  s.rate_down = s.rate_mirrors + s.rate_peers;
  s.rate_up = float(2100000 + 1000000 * std::sin(0.5 * t));
  s.eta = double(float(s.total - s.done) / std::max(s.rate_down, 1.0f));
  s.peers_known = 63;
  s.peers_connected = 24;
  s.seeds = 17;
  s.has_torrent = !item.torrent.empty();
  s.has_mirrors = true;
  for (u32 i = 0; i < 6; ++i) {
    ConnInfo c;
    c.kind = 1;
    c.address = "mirror";
    c.client = "MIRROR";
    c.rate = s.rate_mirrors / 6;
    c.progress = 1.0f;
    c.id = 1000 + i;
    s.conns.push_back(c);
  }
  static const char* const kDemoClients[4] = {"qBittorrent 5.0", "Transmission 4.0", "libtorrent 2.0", "Deluge 2.1"};
  for (u32 i = 0; i < 24; ++i) {
    float u = float(((i * kGolden) >> 9) % 1000) / 1000;
    ConnInfo c;
    c.client = kDemoClients[i % 4];
    c.rate = s.rate_peers * u * u / 6;
    c.up_rate = i % 5 == 0 ? 400000.0f : 0.0f;
    c.progress = i % 3 == 0 ? u : 1.0f;
    c.choked = i % 7 == 0;
    c.id = 77 + 131 * i;
    s.conns.push_back(c);
  }
  return s;
}

MediaJob& add_demo_job(const MediaItem& item, double t, TState state) {
  auto job = std::make_unique<MediaJob>();
  job->item = item;
  job->started = true;  // no Transfer: the store's scheduler and tick leave it alone
  job->snap = demo_snapshot(item, t);
  job->snap.state = state;
  g_media.jobs.push_back(std::move(job));
  return *g_media.jobs.back();
}
