// The transfers page: every download of the media store as a row, the
// selected one in detail with its three instruments (the piece field, the
// throughput scope and the connections radar) and a world map with the
// inbound track, and the actions its state allows.
//
// Sections: instruments (piece field, scope, radar), transfers page.
//
// Drawing: what stays the same from frame to frame (the grid, headings,
// frames, rows and buttons at rest, the map's outlines) is one cached layer;
// the piece field is one bitmap in tiles, each copied in and drawn again only
// when its cells change or blink; the radar's peers and sweep are bitmaps
// too; the scope is three polylines and the radar's mirrors a few paths.
#include "media/app_media.h"

#include <shellapi.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "app/running.h"
#include "media/catalog.h"
#include "media/media.h"

using namespace media_ui;

namespace {

constexpr float kPi = 3.14159265f;

// ---- bitmaps painted on the CPU ----------------------------------------------------
// One bitmap over an area, painted on the CPU and copied into the bitmap in
// place when what it shows changes: one draw whatever it holds.

struct CpuBitmap {
  ComPtr<ID2D1DeviceContext> dc;  // the bitmap belongs to this context (held, so its address stays unique)
  ComPtr<ID2D1Bitmap> bitmap;
  float dpi = 0;
  std::vector<u64> versions;  // of what each tile holds
  Pixels pixels;
};
CpuBitmap g_field, g_peers, g_sweep;

// Where a bitmap over `area` (DIPs) lies in device pixels: its corner
// (left, top), its size, and k pixels per DIP.
struct Place {
  float left = 0, top = 0, k = 1;
  u32 w = 0, h = 0;
};

// Makes `b` (cleared pixels, a transparent bitmap) when it does not fit
// `area` on this surface; false when it cannot be had. fresh: it was made.
bool cpu_bitmap_fits(Surface& s, CpuBitmap& b, const D2D_RECT_F& area, Place& at, bool& fresh) {
  float k = s.dpi / 96;
  float left = std::floor(area.left * k), top = std::floor(area.top * k);
  float right = std::ceil(area.right * k) + 1, bottom = std::ceil(area.bottom * k) + 1;
  if (!s.dc || !(right - left >= 1) || !(bottom - top >= 1) || right - left > 16384 || bottom - top > 16384)
    return false;
  at = Place{left, top, k, u32(right - left), u32(bottom - top)};
  fresh = !b.bitmap || b.dc.Get() != s.dc.Get() || b.pixels.w != at.w || b.pixels.h != at.h || b.dpi != s.dpi;
  if (!fresh) return true;
  b.bitmap.Reset();
  D2D1_BITMAP_PROPERTIES props{{DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED}, s.dpi, s.dpi};
  b.pixels.clear(at.w, at.h);
  if (FAILED(s.dc->CreateBitmap(D2D1_SIZE_U{at.w, at.h}, b.pixels.px.data(), at.w * 4, props, &b.bitmap))) {
    b.bitmap.Reset();
    return false;
  }
  b.dc = s.dc;
  b.dpi = s.dpi;
  return true;
}

// Draws `b` over `area` (DIPs) as a grid of tiles, each with a version of
// its own: the tiles' inner edges are `xs` and `ys` (DIPs, in order), and
// `versions` holds a version per tile, row by row. When a version changes
// the pixels are painted anew by `paint` and only the tiles whose version
// changed are copied in; each tile is drawn as a part of its own, so a
// listed frame draws again only the tiles that changed. paint gets the
// pixels and the device-pixel position of the bitmap's corner (left, top):
// a point at DIP x lies at pixel x k - left.
void cpu_bitmap(Surface& s, CpuBitmap& b, const D2D_RECT_F& area, const std::vector<float>& xs,
                const std::vector<float>& ys, std::vector<u64> versions,
                const std::function<void(Pixels&, float left, float top, float k)>& paint) {
  Place at;
  bool fresh = false;
  if (versions.size() != (xs.size() + 1) * (ys.size() + 1) || !cpu_bitmap_fits(s, b, area, at, fresh)) return;
  float k = at.k;
  u64 place = hash_val(at.w, hash_val(at.h, hash_val(at.left, hash_val(at.top, hash_val(k, 0)))));
  // The tiles' first pixel columns and rows, and the bitmap's width and height.
  auto cuts = [k](const std::vector<float>& edges, float corner, u32 size) {
    std::vector<u32> out{0};
    for (float e : edges) out.push_back(std::clamp(u32(std::max(0.0f, std::floor(e * k) - corner)), out.back(), size));
    out.push_back(size);
    return out;
  };
  std::vector<u32> cols = cuts(xs, at.left, at.w), rows = cuts(ys, at.top, at.h);
  for (u64& v : versions) v = hash_val(place, v);
  if (fresh || b.versions.size() != versions.size()) b.versions.assign(versions.size(), ~0ull);
  bool painted = false;
  for (size_t i = 0; i < versions.size(); ++i) {
    if (b.versions[i] == versions[i]) continue;
    if (!painted) paint(b.pixels, at.left, at.top, k);
    painted = true;
    size_t r = i / (xs.size() + 1), c = i % (xs.size() + 1);
    D2D1_RECT_U tile{cols[c], rows[r], cols[c + 1], rows[r + 1]};
    if (tile.right > tile.left && tile.bottom > tile.top)
      b.bitmap->CopyFromMemory(&tile, b.pixels.at(tile.left, tile.top), at.w * 4);
    b.versions[i] = versions[i];
  }
  for (size_t i = 0; i < versions.size(); ++i) {
    size_t r = i / (xs.size() + 1), c = i % (xs.size() + 1);
    if (cols[c + 1] <= cols[c] || rows[r + 1] <= rows[r]) continue;
    D2D_RECT_F src{cols[c] / k, rows[r] / k, cols[c + 1] / k, rows[r + 1] / k};
    D2D_RECT_F dest{(at.left + cols[c]) / k, (at.top + rows[r]) / k, (at.left + cols[c + 1]) / k,
                    (at.top + rows[r + 1]) / k};
    s.bitmap(b.bitmap.Get(), dest, versions[i], 1, D2D1_INTERPOLATION_MODE_NEAREST_NEIGHBOR, &src);
  }
}

// The radar's sweep: twelve lines from (cx, cy) at angles a, a - 0.05, ...,
// R long, fading, painted into the bitmap over `area` (DIPs). Only the
// box the lines cross is cleared, painted, copied in and drawn.
void draw_radar_sweep(Surface& s, const D2D_RECT_F& area, float cx, float cy, float R, float a) {
  CpuBitmap& b = g_sweep;
  Place at;
  bool fresh = false;
  if (!cpu_bitmap_fits(s, b, area, at, fresh)) return;
  float k = at.k, left = at.left, top = at.top;
  u32 w = at.w, h = at.h;
  float x = cx * k - left, y = cy * k - top;
  D2D_POINT_2F ends[12];
  float x0 = x, y0 = y, x1 = x, y1 = y;
  for (int i = 0; i < 12; ++i) {
    float ang = a - 0.05f * i;
    ends[i] = {x + R * k * std::cos(ang), y + R * k * std::sin(ang)};
    x0 = std::min(x0, ends[i].x), y0 = std::min(y0, ends[i].y);
    x1 = std::max(x1, ends[i].x), y1 = std::max(y1, ends[i].y);
  }
  // The lines' pixels: half their width and the pixel beside each edge more.
  auto within = [](float v, u32 n) { return u32(std::clamp(v, 0.0f, float(n))); };
  u32 bx0 = within(std::floor(x0 - k - 2), w), by0 = within(std::floor(y0 - k - 2), h);
  u32 bx1 = within(std::ceil(x1 + k + 2), w), by1 = within(std::ceil(y1 + k + 2), h);
  if (bx1 <= bx0 || by1 <= by0) return;
  Pixels& p = b.pixels;
  for (u32 row = by0; row < by1; ++row)
    std::fill_n(p.px.begin() + (size_t(row) * w + bx0) * 4, size_t(bx1 - bx0) * 4, 0);
  for (int i = 0; i < 12; ++i) p.line(x, y, ends[i].x, ends[i].y, k, alpha(pal.cyan, 0.4f * (1 - i / 12.0f)));
  D2D1_RECT_U part{bx0, by0, bx1, by1};
  b.bitmap->CopyFromMemory(&part, p.px.data() + (size_t(by0) * w + bx0) * 4, w * 4);
  D2D_RECT_F src{bx0 / k, by0 / k, bx1 / k, by1 / k};
  D2D_RECT_F dest{(left + bx0) / k, (top + by0) / k, (left + bx1) / k, (top + by1) / k};
  u64 version = hash_val(a, hash_val(R, hash_val(cx, hash_val(cy, hash_val(k, 0)))));
  s.bitmap(b.bitmap.Get(), dest, version, 1, D2D1_INTERPOLATION_MODE_NEAREST_NEIGHBOR, &src);
}

// Alpha in steps of 1/64, so strokes whose alphas differ invisibly share a path.
float step_alpha(float a) { return std::round(a * 64) / 64; }

}  // namespace

// ---- instruments ------------------------------------------------------------------------

void App::draw_piece_field(const D2D_RECT_F& r, const MediaJob& job) {
  const TransferSnapshot& s = job.snap;
  float cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2;
  float t = float(now);
  if (s.piece_map.empty()) {
    text_fast(surface, s.state == TState::Idle ? "WAITING FOR ITS TURN" : "MAPPING PIECES...", cx, cy - 6, 11,
              pal.cyan, AlignCentre, kTrack);
    surface.arc(cx, cy + 30, 10, 3 * t, 3 * t + 4, pal.cyan, 1.4f);
    easing = true;
    return;
  }
  float x0 = r.left + 10, y0 = r.top + 10, w = r.right - r.left - 20, h = r.bottom - r.top - 20;
  PieceGrid g = piece_grid(w, h, s.pieces);
  // A piece count of 0, or a map shorter than the count, has no cells to show.
  std::vector<CellLook> cells = piece_cells(s, g);
  bool blinking = false;
  for (const CellLook& c : cells) blinking = blinking || c.kind == CellLook::Flight;
  bool blink_on = std::fmod(now, 0.5) < 0.25;

  if (!cells.empty()) {
    FieldTiles tiles = field_tiles(g, cells, x0, y0, blink_on);
    cpu_bitmap(surface, g_field, {x0, y0, x0 + w, y0 + h}, tiles.xs, tiles.ys, tiles.versions,
               [&](Pixels& p, float left, float top, float k) {
                 field_pixels(p, x0 * k - left, y0 * k - top, k, g, cells, blink_on,
                              {pal.ice, pal.pink, pal.cyan, pal.amber, alpha(pal.dim, 0.45f)});
               });
  }
  if (blinking) easing = true;

  D3DCOLORVALUE white = kWhite;
  if (s.state == TState::Checking) {
    float sx = x0 + w * std::clamp(s.progress, 0.0f, 1.0f);
    surface.fill({x0, y0, sx, y0 + h}, alpha(pal.green, 0.1f));
    surface.line(sx, r.top + 2, sx, r.bottom - 2, white, 2);
    text_fast(surface, strf("SHA-256 SWEEP %d%%", int(std::clamp(s.progress, 0.0f, 1.0f) * 100)), sx + 6, r.top + 6,
              7, white, AlignLeft, kTrack);
    easing = true;
  } else if (s.state == TState::Done) {
    surface.fill({cx - 230, cy - 34, cx + 230, cy + 34}, D3DCOLORVALUE{0.008f, 0.02f, 0.036f, 0.92f});
    surface.rect({cx - 230, cy - 34, cx + 230, cy + 34}, pal.green, 2);
    text_fast(surface, "SHA-256 VERIFIED", cx, cy - 22, 20, pal.green, AlignCentre, 0.2f);
    std::string hash = upper(s.sha256.empty() ? job.item.sha256 : s.sha256);
    text_fast(surface, surface.fit(hash, 430, 7, kTrack), cx, cy + 12, 7, alpha(pal.green, 0.85f), AlignCentre,
              kTrack);
  }
}

// The scope's and the radar's frames, grids and fixed words: painted into the
// page's layer.
static void scope_frame(App& a, const D2D_RECT_F& r) {
  Canvas& c = a.surface;
  float L = r.left, T = r.top, R = r.right, B = r.bottom;
  c.rect(snap(a, r), alpha(pal.dim, 0.6f), 0.8f);
  for (int k = 1; k <= 3; ++k) {
    float y = snap(a, T + (B - T) * k / 4);
    c.line(L, y, R, y, alpha(pal.dim, 0.35f), 0.6f);
  }
  for (int k = 1; k <= 7; ++k) {
    float x = snap(a, L + (R - L) * k / 8);
    c.line(x, T, x, B, alpha(pal.dim, 0.25f), 0.6f);
  }
  text_fast(c, "THROUGHPUT", L + 8, T + 8, 6.5f, alpha(pal.cyan, 0.85f), AlignLeft, kTrack);
  float x = L + 8;
  x += text_fast(c, "TOTAL", x, B - 16, 6, kWhite, AlignLeft, kTrack) + 10;
  x += text_fast(c, "MIRRORS", x, B - 16, 6, pal.cyan, AlignLeft, kTrack) + 10;
  text_fast(c, "PEERS", x, B - 16, 6, pal.pink, AlignLeft, kTrack);
}

static void radar_frame(App& a, const D2D_RECT_F& r) {
  Canvas& c = a.surface;
  float cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2;
  float R = std::min(r.right - r.left, r.bottom - r.top) / 2 - 6;
  for (int k = 1; k <= 3; ++k) c.circle(cx, cy, R * k / 4, alpha(pal.cyan, 0.18f), 0.8f);
  c.circle(cx, cy, R, alpha(pal.cyan, 0.45f), 0.8f);
  c.line(cx - R, snap(a, cy), cx + R, snap(a, cy), alpha(pal.cyan, 0.15f), 0.6f);
  c.line(snap(a, cx), cy - R, snap(a, cx), cy + R, alpha(pal.cyan, 0.15f), 0.6f);
  text_fast(c, "CONNECTIONS", r.left, r.top, 6.5f, alpha(pal.cyan, 0.85f), AlignLeft, kTrack);
}

void App::draw_scope(const D2D_RECT_F& r, const MediaJob& job) {
  float L = r.left, T = r.top, R = r.right, B = r.bottom;
  float peak = 1;
  for (float v : job.hist_down) peak = std::max(peak, v);
  u32 N = scope_span(job.hist_down.size());
  Strokes strokes;  // three traces, one call each
  auto trace = [&](const std::vector<float>& h, D3DCOLORVALUE c, float width) {
    size_t n = std::min<size_t>(N, h.size());
    if (n <= 1) return;
    std::vector<D2D_POINT_2F> pts(n);
    for (size_t j = 0; j < n; ++j)
      pts[j] = {scope_x(L, R, n, j, N), (B - 2) - (B - T - 4) * h[h.size() - n + j] / (1.15f * peak)};
    strokes.poly(pts.data(), n, c, width, false);
    strokes.draw(surface);
  };
  trace(job.hist_mirrors, alpha(pal.cyan, 0.9f), 1.2f);
  trace(job.hist_peers, alpha(pal.pink, 0.9f), 1.2f);
  trace(job.hist_down, kWhite, 1.5f);
  text_fast(surface, "PEAK " + rate(peak), R - 8, T + 8, 6.5f, alpha(pal.ice, 0.8f), AlignRight, kTrack);
}

void App::draw_radar(const D2D_RECT_F& r, const MediaJob& job) {
  const TransferSnapshot& s = job.snap;
  float cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2;
  float Rr = std::min(r.right - r.left, r.bottom - r.top) / 2 - 6;
  float a = 1.3f * float(now);
  Strokes strokes;
  // The sweep's twelve fading lines: one bitmap over the radar, of which
  // only the part they cross is painted anew and drawn each frame (a
  // listed frame then draws again only around the sweep, not the radar).
  draw_radar_sweep(surface, {cx - Rr - 2, cy - Rr - 2, cx + Rr + 2, cy + Rr + 2}, cx, cy, Rr, a);
  easing = true;
  // The peers stand still between snapshots: one bitmap. The mirrors turn
  // and the sending peers' rings pulse every frame: strokes.
  int M = 0;
  float maxrate = 1;
  u64 version = hash_val(Rr, hash_val(cx, hash_val(cy, 0)));
  for (const ConnInfo& c : s.conns) {
    maxrate = std::max(maxrate, c.rate);
    M += c.kind;
    version = hash_val(c.kind, hash_val(c.rate, hash_val(c.progress, hash_val(c.choked, hash_val(c.id, version)))));
  }
  if (!s.conns.empty()) {
    cpu_bitmap(surface, g_peers, {cx - Rr - 8, cy - Rr - 8, cx + Rr + 8, cy + Rr + 8}, {}, {}, {version},
               [&](Pixels& p, float left, float top, float k) {
                 radar_peer_pixels(p, cx * k - left, cy * k - top, Rr * k, k, s.conns, {pal.pink, pal.orange});
               });
    int k = 0;
    float pulse = 6 + 2 * std::sin(6 * float(now));
    for (const ConnInfo& c : s.conns) {
      float t = std::clamp(c.rate / maxrate, 0.0f, 1.0f);
      if (c.kind == 0) {
        if (c.up_rate <= 0) continue;
        float ang = float(c.id % 6283) / 1000;
        float d = ((1 - std::sqrt(t)) * 0.58f + 0.38f) * Rr;
        strokes.circle(cx + d * std::cos(ang), cy + d * std::sin(ang), pulse, alpha(pal.green, 0.6f), 0.8f);
        continue;
      }
      float ang = 2 * kPi * float(k) / float(std::max(1, M)) + 0.25f * a;
      ++k;
      D2D_POINT_2F m{cx + 0.22f * Rr * std::cos(ang), cy + 0.22f * Rr * std::sin(ang)};
      float sz = 3 * t + 3;
      D2D_POINT_2F dia[4] = {{m.x, m.y - sz}, {m.x + sz, m.y}, {m.x, m.y + sz}, {m.x - sz, m.y}};
      strokes.poly(dia, 4, pal.cyan, 1.3f, true);
      strokes.line(cx, cy, m.x, m.y, alpha(pal.cyan, step_alpha(0.5f * t + 0.3f)), 0.8f);
    }
  }
  strokes.draw(surface);
  surface.disc(cx, cy, 3, kWhite);
  text_fast(surface, strf("%d MIRROR", M), r.right, r.top, 6.5f, pal.cyan, AlignRight, kTrack);
  text_fast(surface, strf("%u/%u PEERS  %u SEEDS", s.peers_connected, s.peers_known, s.seeds), r.right, r.bottom - 6,
            6.5f, pal.pink, AlignRight, kTrack);
}

// ---- transfers page ------------------------------------------------------------------------

namespace {

// One job's row of the list.
struct XferRow {
  MediaJob* job = nullptr;
  u32 id = 0;
  D2D_RECT_F rect{}, bar{};             // the row and its progress bar
  bool selected = false, rest = false;  // rest: painted into the page's layer
  float fill = 0;                       // of its progress bar, 0..1
};

// One action button of the selected job.
struct XferButton {
  XferAction action = CancelJob;
  const char* label = "";
  App::Btn style = App::Btn::Plain;
  D2D_RECT_F rect{};
  bool rest = false;
};

// What a frame of the page shows for the selected job, worked out before
// anything is drawn (the still parts go into the page's layer, keyed by it).
struct XferPage {
  D2D_RECT_F content{};
  XferLayout layout;
  std::vector<XferRow> rows;
  MediaJob* job = nullptr;  // the selected one, shown in detail
  D3DCOLORVALUE colour{};  // the release's distribution
  std::string percent, state, name, release;  // the detail's first two lines, fitted
  std::vector<XferButton> buttons;
  u32 cancel_key = 0;
  bool armed = false;  // CANCEL waits for its confirming click
  const Site* site = nullptr;
  D2D_RECT_F field{}, scope{}, radar{};
};

void page_header(App& a, const D2D_RECT_F& r) {
  float L = r.left, T = r.top, W = r.right - r.left;
  grid(a, r);
  text_fast(a.surface, "TRANSFERS", L + 40, T + 30, 24, pal.pink, AlignLeft, 0.2f);
  std::string sub = "INBOUND  //  HTTPS 206 RANGE REQUESTS + BITTORRENT  //  EVERY PIECE AND THE FILE VERIFIED";
  a.label(L + 40, T + 68, a.surface.fit(sub, W - 80, 8.5f, kTrack), pal.cyan, 8.5f);
  if (g_media.has_dir())
    a.label(L + 40, T + 86, a.surface.fit("STORAGE  " + upper(narrow(g_media.dir())), W - 80, 7, kTrack),
            alpha(pal.dim, 1.3f), 7);
}

u64 header_key(const D2D_RECT_F& r) {
  return hash_val(r, hash64(narrow(g_media.has_dir() ? g_media.dir() : std::wstring()), 0));
}

// No job: a sentence and the button that leads to the wizard.
void draw_no_jobs(App& a, const D2D_RECT_F& r, const XferLayout& layout) {
  u32 plan = a.id("xplan", 0);
  float mx = (r.left + r.right) / 2;
  D2D_RECT_F br{mx - 100, layout.top + 160, mx + 100, layout.top + 196};
  bool rest = settled(a, plan, br);
  a.layers.draw(a.surface, a.id("transfers", 0), r, hash_val(rest, header_key(r)), [&] {
    paint_still(a, [&] {
      page_header(a, r);
      text_fast(a.surface, "NO TRANSFERS. PICK A RELEASE IN THE MISSION PLANNER (LINUX X86-64).", mx,
                layout.top + 120, 11, pal.cyan, AlignCentre, kTrack);
      if (rest) a.button(plan, br, "MISSION PLANNER", App::Btn::Primary, true, 10.5f);
    });
  }, 0);
  bool hit = rest ? a.clicked(plan, br, IDC_HAND)
                  : a.button(plan, br, "MISSION PLANNER", App::Btn::Primary, true, 10.5f);
  if (hit) a.go(App::Wizard);
}

// How full a job's progress bar in the list is: the bytes received, the
// verification's progress while it is checked, all of it once verified.
float row_fill(const TransferSnapshot& s) {
  float f = s.total ? float(double(s.done) / double(s.total)) : 0;
  if (s.state == TState::Checking) f = s.progress;
  if (s.state == TState::Done) f = 1;
  return std::clamp(f, 0.0f, 1.0f);
}

void plan_rows(App& a, XferPage& p) {
  for (size_t i = 0; i < g_media.jobs.size(); ++i) {
    MediaJob* j = g_media.jobs[i].get();
    float top = p.layout.top + 68 * float(i);
    XferRow row{j, a.id("xrow", file_hash(j->item.file))};
    row.rect = {p.content.left, top, p.content.left + p.layout.list_w, top + 62};
    row.bar = {row.rect.left + 14, top + 30, row.rect.right - 14, top + 36};
    row.selected = j == p.job;
    row.fill = row_fill(j->snap);
    row.rest = settled(a, row.id, row.rect, row.selected ? 1.0f : 0.0f);
    p.rows.push_back(row);
  }
}

// The actions the selected job's state allows, laid from the right.
void plan_buttons(App& a, XferPage& p) {
  p.cancel_key = a.id("xcancel", file_hash(p.job->item.file));
  p.armed = is_armed(a.armed, a.armed_at, p.cancel_key, a.now);
  float right = p.layout.detail_r, top = p.layout.buttons_y;
  for (XferAction act : xfer_actions(p.job->snap.state)) {
    XferButton b{act};
    switch (act) {
      case RemoveFromList: b.label = "REMOVE FROM LIST", b.style = App::Btn::Secondary; break;
      case ShowInFolder: b.label = "SHOW IN FOLDER"; break;
      case CancelJob: b.label = p.armed ? "CONFIRM CANCEL?" : "CANCEL", b.style = App::Btn::Danger; break;
      case ResumeJob: b.label = "RESUME", b.style = App::Btn::Primary; break;
      case PauseJob: b.label = "PAUSE"; break;
    }
    float w = a.surface.text_width(b.label, 9, kTrack) + 40;
    b.rect = {right - w, top, right, top + 34};
    right -= w + 10;
    b.rest = settled(a, a.id("xact", act), b.rect);
    p.buttons.push_back(b);
  }
}

XferPage plan_page(App& a, const D2D_RECT_F& content, MediaJob* selected) {
  XferPage p;
  p.content = content;
  p.layout = xfer_layout(content);
  p.job = selected;
  plan_rows(a, p);
  const XferLayout& layout = p.layout;
  const TransferSnapshot& s = selected->snap;
  const MediaItem& item = selected->item;
  p.colour = distro_color(item.distro);
  // The detail's first two lines: the figures on the right change while the
  // job runs; the release's names beside them are fitted to what they leave.
  float pct = s.total ? float(double(s.done) / double(s.total)) : 0;
  p.percent = strf("%d%%", int(std::clamp(pct, 0.0f, 1.0f) * 100));
  p.state = state_word(s.state);
  if (s.state == TState::Running) p.state += "  //  ETA " + eta_text(s.eta);
  float wp = a.surface.text_width(p.percent, 26, kTrack), ws = a.surface.text_width(p.state, 8, kTrack);
  p.name = a.surface.fit(item.distro, layout.detail_w - wp - 30, 26, kTrack);
  p.release = a.surface.fit(item.label + "  " + item.edition, layout.detail_w - ws - 30, 11, kTrack);
  plan_buttons(a, p);
  p.site = find_site(item.site);
  float field_top = layout.pieces_y + 14, displays_bottom = layout.displays_y + layout.displays_h;
  p.field = {layout.detail_x, field_top, layout.detail_r, field_top + layout.field_h};
  p.scope = {layout.detail_x, layout.displays_y, layout.detail_x + layout.scope_w, displays_bottom};
  p.radar = {layout.detail_r - layout.displays_h, layout.displays_y, layout.detail_r, displays_bottom};
  return p;
}

// A row of the list at eased value e: background, the release's names and
// the progress bar's outline (painted into the page's layer while at rest).
void draw_row_still(App& a, const XferRow& row, float e) {
  Canvas& c = a.surface;
  const MediaItem& it = row.job->item;
  D3DCOLORVALUE dc = distro_color(it.distro);
  float left = row.rect.left, top = row.rect.top, right = row.rect.right;
  float bg = 0.03f + 0.07f * e;
  if (row.selected) {
    c.fill(row.rect, alpha(pal.pink, bg));
    c.line(left + 1, top + 4, left + 1, row.rect.bottom - 4, pal.pink, 3);
  } else {
    c.fill(row.rect, alpha(pal.cyan, bg));
  }
  float wd = text_fast(c, it.distro, left + 14, top + 8, 10, dc, AlignLeft, kTrack);
  std::string names = c.fit(it.label + "  " + it.edition, (right - 8) - (left + 24 + wd), 8, kTrack);
  text_fast(c, names, left + 24 + wd, top + 9, 8, pal.ice, AlignLeft, kTrack);
  c.rect(snap(a, row.bar), alpha(dc, dc.a * 0.5f), 0.8f);
}

// What changes in a row while its download runs: the bar's fill, the state
// and the percentage.
void draw_row_figures(App& a, const XferRow& row) {
  Canvas& c = a.surface;
  const TransferSnapshot& s = row.job->snap;
  float left = row.rect.left, top = row.rect.top;
  const D2D_RECT_F& bar = row.bar;
  D3DCOLORVALUE dc = distro_color(row.job->item.distro);
  if (row.fill > 0) c.fill({bar.left, bar.top, bar.left + (bar.right - bar.left) * row.fill, bar.bottom}, dc);
  std::string state = state_word(s.state);
  if (s.state == TState::Running) state += "  " + rate(s.rate_down);
  text_fast(c, state, left + 14, top + 44, 6.5f, state_col(s.state), AlignLeft, kTrack);
  text_fast(c, strf("%d%%", int(row.fill * 100)), row.rect.right - 10, top + 44, 6.5f, pal.ice, AlignRight, kTrack);
}

// The page's layer: the header, the rows and buttons at rest, the release's
// names, the pieces header with its legend, the instruments' frames and the
// map's outlines.
void draw_still_parts(App& a, const XferPage& p) {
  const XferLayout& layout = p.layout;
  const TransferSnapshot& s = p.job->snap;
  const MediaItem& item = p.job->item;
  u64 key = hash64(p.name, hash64(p.release, header_key(p.content)));
  for (const XferRow& row : p.rows) {
    const MediaItem& it = row.job->item;
    key = hash64(it.file, hash64(it.distro, hash64(it.label, hash64(it.edition, key))));
    key = hash_val(row.selected, hash_val(row.rest, key));
  }
  key = hash_val(s.pieces, hash_val(s.piece_size, hash_val(s.state, hash_val(layout.map, key))));
  key = hash64(item.site, hash64(item.sha256, key));
  for (const XferButton& b : p.buttons) key = hash64(b.label, hash_val(b.rest, hash_val(b.rect, key)));
  Canvas& c = a.surface;
  a.layers.draw(a.surface, a.id("transfers", 0), p.content, key, [&] {
    paint_still(a, [&] {
      page_header(a, p.content);
      for (const XferRow& row : p.rows)
        if (row.rest) draw_row_still(a, row, row.selected ? 1 : 0);
      text_fast(c, p.name, layout.detail_x, layout.top - 2, 26, p.colour, AlignLeft, 0.18f);
      a.label(layout.detail_x, layout.top + 33, p.release, pal.ice, 11);
      std::string pieces = strf("PIECES  //  %u x %s", s.pieces, human_bytes(s.piece_size).c_str());
      a.label(layout.detail_x, layout.pieces_y, pieces, alpha(pal.cyan, 0.85f), 6.5f);
      float lx = layout.detail_r;
      const std::pair<const char*, D3DCOLORVALUE> legend[4] = {
          {"RESUMED", pal.ice}, {"PEERS", pal.pink}, {"MIRRORS", pal.cyan}, {"IN FLIGHT", pal.amber}};
      for (const auto& [word, colour] : legend)
        lx -= text_fast(c, word, lx, layout.pieces_y, 6, colour, AlignRight, kTrack) + 12;
      c.rect(snap(a, p.field), alpha(pal.dim, 0.5f), 0.8f);
      scope_frame(a, p.scope);
      radar_frame(a, p.radar);
      if (layout.map) {
        const D2D_RECT_F& M = layout.map_rect;
        c.rect(snap(a, M), alpha(pal.dim, 0.5f), 0.8f);
        a.push_clip(M);
        a.map.draw(a.surface, 0.75f);
        a.pop_clip();
        std::string from = p.site ? p.site->label : "?";
        text_fast(c, "INBOUND  //  " + from + " -> NORAD", M.left + 6, M.top + 6, 6, alpha(pal.ice, 0.8f), AlignLeft,
                  kTrack);
      }
      for (const XferButton& b : p.buttons)
        if (b.rest) a.button(a.id("xact", b.action), b.rect, b.label, b.style, true, 9);
    });
  }, 0);
}

// The list's live parts, and a click on a row selects its job.
void draw_job_list(App& a, const XferPage& p) {
  for (const XferRow& row : p.rows) {
    float e = a.ease(row.id, row.selected || a.hovering(row.rect), 0.07f);
    if (a.clicked(row.id, row.rect, IDC_HAND)) {
      a.transfer_sel = row.job->item.file;  // the detail follows from the next frame
      a.dirty = true;
    }
    if (!row.rest) draw_row_still(a, row, e);
    draw_row_figures(a, row);
  }
}

// The selected job's figures, its instruments and the map's moving parts.
void draw_detail(App& a, const XferPage& p) {
  const XferLayout& layout = p.layout;
  const TransferSnapshot& s = p.job->snap;
  const MediaItem& item = p.job->item;
  text_fast(a.surface, p.percent, layout.detail_r, layout.top - 2, 26, kWhite, AlignRight, kTrack);
  text_fast(a.surface, p.state, layout.detail_r, layout.top + 34, 8, state_col(s.state), AlignRight, kTrack);
  std::string status = s.label.empty() ? upper(item.file) : s.label;
  a.label(layout.detail_x, layout.top + 54, a.surface.fit(status, layout.detail_w, 7, kTrack), alpha(pal.dim, 1.4f), 7);
  if (s.state == TState::Failed)
    a.label(layout.detail_x, layout.top + 68, a.surface.fit("ERROR: " + upper(s.error), layout.detail_w, 8, kTrack),
            pal.red, 8);
  a.draw_piece_field(p.field, *p.job);
  a.draw_scope(p.scope, *p.job);
  if (layout.map) {
    a.push_clip(layout.map_rect);
    a.map.draw_norad(a.surface, float(a.now), 0.8f);
    if (p.site && (s.state == TState::Starting || s.state == TState::Running))
      a.map.draw_track(a.surface, *p.site, float(a.now), p.colour, 1.0f, "", true);
    a.pop_clip();
  }
  a.draw_radar(p.radar, *p.job);
}

// The split bar, bytes by source, rates and the total, and the launch note.
void draw_counters(App& a, const XferPage& p) {
  const XferLayout& layout = p.layout;
  const TransferSnapshot& s = p.job->snap;
  float dx = layout.detail_x, y = layout.counters_y;
  SplitBar split = split_bar(s.via_mirrors, s.via_peers, layout.bar_w);
  if (split.empty) {
    a.surface.rect(snap(a, D2D_RECT_F{dx, y, dx + layout.bar_w, y + 10}), alpha(pal.dim, 0.5f), 0.8f);
  } else {
    a.surface.fill({dx, y, dx + split.mirrors, y + 10}, alpha(pal.cyan, 0.8f));
    a.surface.fill({dx + split.mirrors, y, dx + split.mirrors + split.peers, y + 10}, alpha(pal.pink, 0.8f));
  }
  a.label(dx, y + 18,
          a.surface.fit(strf("MIRRORS %s  //  PEERS %s  //  SENT TO PEERS %s", human_bytes(s.via_mirrors).c_str(),
                             human_bytes(s.via_peers).c_str(), human_bytes(s.uploaded).c_str()),
                        layout.counters_w, 8, kTrack),
          pal.ice, 8);
  a.label(dx, y + 36,
          a.surface.fit(strf("%s DOWN  //  %s UP  //  %s OF %s", rate(s.rate_down).c_str(), rate(s.rate_up).c_str(),
                             human_bytes(s.done).c_str(), human_bytes(s.total).c_str()),
                        layout.counters_w, 8, kTrack),
          alpha(pal.cyan, 0.9f), 8);
  if (!p.job->launch_after.empty() && s.state != TState::Done)
    text_fast(a.surface, "A NEW SYSTEM LAUNCHES WHEN THIS IS VERIFIED", layout.detail_r, layout.buttons_y + 42, 7,
              pal.amber, AlignRight, kTrack);
}

// The action buttons' clicks. Removing, cancelling or resuming ends this
// frame's drawing of the page (the job or its figures are gone).
void handle_buttons(App& a, const XferPage& p) {
  MediaJob* job = p.job;
  for (const XferButton& b : p.buttons) {
    u32 bid = a.id("xact", b.action);
    bool hit = b.rest ? a.clicked(bid, b.rect, IDC_HAND) : a.button(bid, b.rect, b.label, b.style, true, 9);
    if (!hit) continue;
    a.dirty = true;
    switch (b.action) {
      case RemoveFromList:
        g_media.forget(job);
        return;
      case ShowInFolder: {
        std::wstring file = job->transfer ? job->transfer->final_path() : g_media.path(job->item);
        std::wstring params = L"/select,\"" + file + L"\"";
        ShellExecuteW(a.hwnd, L"open", L"explorer.exe", params.c_str(), nullptr, SW_SHOWNORMAL);
        break;
      }
      case CancelJob:
        if (!two_click(a.armed, a.armed_at, p.cancel_key, a.now)) break;
        g_media.cancel(job);
        return;
      case ResumeJob: g_media.resume(job); return;  // the job's Transfer is new: its figures come next frame
      case PauseJob: g_media.pause(job); break;
    }
  }
}

}  // namespace

void App::draw_transfers(const D2D_RECT_F& r) {
  if (g_media.jobs.empty()) {
    draw_no_jobs(*this, r, xfer_layout(r));
    return;
  }
  // A name that matches no job shows the first one, without changing the name.
  MediaJob* selected = g_media.find(transfer_sel);
  if (!selected) selected = g_media.jobs[0].get();
  XferPage p = plan_page(*this, r, selected);
  if (p.layout.map) {
    const D2D_RECT_F& M = p.layout.map_rect;
    map.layout({M.left + 6, M.top + 6, M.right - 6, M.bottom - 6});
  }
  draw_still_parts(*this, p);
  draw_job_list(*this, p);
  draw_detail(*this, p);
  draw_counters(*this, p);
  easing = true;  // the instruments move while a job is shown
  handle_buttons(*this, p);
}
