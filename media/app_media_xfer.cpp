// The transfers page: every download of the media store as a row, the
// selected one in detail with its three instruments (the piece field, the
// throughput scope and the connections radar) and a world map with the
// inbound track, and the actions its state allows.
//
// Sections: instruments (piece field, scope, radar), transfers page.
//
// Drawing: what stays the same from frame to frame (the grid, headings,
// frames, rows and buttons at rest, the map's outlines) is one cached layer;
// the piece field is one bitmap filled again only when its cells change; the
// scope is three polylines and the radar a handful of paths.
#include "media/app_media.h"

#include <shellapi.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <unordered_map>

#include "gfx/frame.h"
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
  u64 version = 0;
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

// Draws `b` over `area` (DIPs), painted anew by `paint` when `version`
// changes. paint gets the pixels and the device-pixel position of the
// bitmap's corner (left, top): a point at DIP x lies at pixel x k - left.
void cpu_bitmap(Surface& s, CpuBitmap& b, const D2D_RECT_F& area, u64 version,
                const std::function<void(Pixels&, float left, float top, float k)>& paint) {
  Place at;
  bool fresh = false;
  if (!cpu_bitmap_fits(s, b, area, at, fresh)) return;
  version = hash_val(at.w, hash_val(at.h, hash_val(at.left, hash_val(at.top, hash_val(at.k, version)))));
  if (fresh || b.version != version) {
    paint(b.pixels, at.left, at.top, at.k);
    b.bitmap->CopyFromMemory(nullptr, b.pixels.px.data(), at.w * 4);
    b.version = version;
  }
  float k = at.k;
  s.bitmap(b.bitmap.Get(), {at.left / k, at.top / k, (at.left + at.w) / k, (at.top + at.h) / k}, version);
}

// The radar's sweep: twelve lines from (cx, cy) at angles a, a - 0.05, ...,
// R long, fading, painted into the bitmap over `area` (DIPs). Only the
// box the lines cross is cleared, painted, copied in and drawn.
void sweep(Surface& s, const D2D_RECT_F& area, float cx, float cy, float R, float a) {
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
  u32 bx0 = u32(std::clamp(std::floor(x0 - k - 2), 0.0f, float(w))), by0 = u32(std::clamp(std::floor(y0 - k - 2), 0.0f, float(h)));
  u32 bx1 = u32(std::clamp(std::ceil(x1 + k + 2), 0.0f, float(w))), by1 = u32(std::clamp(std::ceil(y1 + k + 2), 0.0f, float(h)));
  if (bx1 <= bx0 || by1 <= by0) return;
  Pixels& p = b.pixels;
  for (u32 row = by0; row < by1; ++row) std::fill_n(p.px.begin() + (size_t(row) * w + bx0) * 4, size_t(bx1 - bx0) * 4, 0);
  for (int i = 0; i < 12; ++i) p.line(x, y, ends[i].x, ends[i].y, k, alpha(pal.cyan, 0.4f * (1 - i / 12.0f)));
  D2D1_RECT_U part{bx0, by0, bx1, by1};
  b.bitmap->CopyFromMemory(&part, p.px.data() + (size_t(by0) * w + bx0) * 4, w * 4);
  D2D_RECT_F src{bx0 / k, by0 / k, bx1 / k, by1 / k};
  D2D_RECT_F dest{(left + bx0) / k, (top + by0) / k, (left + bx1) / k, (top + by1) / k};
  u64 version = hash_val(a, hash_val(R, hash_val(cx, hash_val(cy, hash_val(k, 0)))));
  s.bitmap(b.bitmap.Get(), dest, version, 1, D2D1_INTERPOLATION_MODE_NEAREST_NEIGHBOR, &src);
}

// Strokes of one colour and width gathered into one path, drawn with one
// call. A path with the same figures as one drawn lately is that same path
// object: a listed frame then sees the command unchanged and does not draw
// its pixels again (the scope's traces stand still between samples).
struct Strokes {
  struct Group {
    D3DCOLORVALUE colour;
    float width;
    std::vector<D2D_POINT_2F> points;
    std::vector<std::pair<u32, bool>> figures;  // point count, closed
    // Of its points: a listed frame redraws only where the path may touch
    // (the renderer here gives open figures no bounds of their own).
    D2D_RECT_F bounds{INFINITY, INFINITY, -INFINITY, -INFINITY};
  };
  std::vector<Group> groups;

  Group& group(D3DCOLORVALUE c, float width) {
    for (Group& g : groups)
      if (g.colour.r == c.r && g.colour.g == c.g && g.colour.b == c.b && g.colour.a == c.a && g.width == width)
        return g;
    groups.push_back(Group{c, width, {}, {}});
    return groups.back();
  }
  void poly(const D2D_POINT_2F* p, size_t n, D3DCOLORVALUE c, float width, bool closed) {
    if (n < 2) return;
    Group& g = group(c, width);
    g.bounds = points_bounds(p, n, g.bounds);
    g.points.insert(g.points.end(), p, p + n);
    g.figures.push_back({u32(n), closed});
  }
  void line(float x1, float y1, float x2, float y2, D3DCOLORVALUE c, float width) {
    D2D_POINT_2F p[2] = {{x1, y1}, {x2, y2}};
    poly(p, 2, c, width, false);
  }
  void circle(float cx, float cy, float r, D3DCOLORVALUE c, float width) {
    D2D_POINT_2F p[24];
    for (int i = 0; i < 24; ++i) p[i] = {cx + r * std::cos(i * kPi / 12), cy + r * std::sin(i * kPi / 12)};
    poly(p, 24, c, width, true);
  }
  void draw(Canvas& canvas) {
    static std::unordered_map<u64, ComPtr<ID2D1PathGeometry>> made;
    for (Group& g : groups) {
      u64 key = hash64(g.points.data(), g.points.size() * sizeof(D2D_POINT_2F));
      key = hash64(g.figures.data(), g.figures.size() * sizeof(g.figures[0]), key);
      ComPtr<ID2D1PathGeometry>& geo = made[key];
      if (!geo) {
        ComPtr<ID2D1GeometrySink> sink;
        if (!g_gfx.d2d_factory || FAILED(g_gfx.d2d_factory->CreatePathGeometry(&geo)) || FAILED(geo->Open(&sink))) {
          made.erase(key);
          continue;
        }
        const D2D_POINT_2F* p = g.points.data();
        for (auto [n, closed] : g.figures) {
          sink->BeginFigure(p[0], D2D1_FIGURE_BEGIN_HOLLOW);
          sink->AddLines(p + 1, n - 1);
          sink->EndFigure(closed ? D2D1_FIGURE_END_CLOSED : D2D1_FIGURE_END_OPEN);
          p += n;
        }
        if (FAILED(sink->Close())) {
          made.erase(key);
          continue;
        }
      }
      canvas.geometry(geo.Get(), g.colour, g.width, &g.bounds);
    }
    groups.clear();
    if (made.size() > 256) made.clear();  // paths of frames long gone
  }
};

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
    u64 version = hash_val(g.cols, hash_val(g.ch, hash_val(x0, hash_val(y0, 0))));
    for (const CellLook& c : cells)
      version = hash_val(c.kind, hash_val(c.source, hash_val(c.alpha, hash_val(c.fill, version))));
    if (blinking) version = hash_val(blink_on, version);
    cpu_bitmap(surface, g_field, {x0, y0, x0 + w, y0 + h}, version, [&](Pixels& p, float left, float top, float k) {
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
  sweep(surface, {cx - Rr - 2, cy - Rr - 2, cx + Rr + 2, cy + Rr + 2}, cx, cy, Rr, a);
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
    cpu_bitmap(surface, g_peers, {cx - Rr - 8, cy - Rr - 8, cx + Rr + 8, cy + Rr + 8}, version,
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

void App::draw_transfers(const D2D_RECT_F& r) {
  float L = r.left, T = r.top, R = r.right, W = R - L;
  XferLayout x = xfer_layout(r);
  float y0 = x.y0;
  std::vector<MediaJob*> jobs;
  for (auto& j : g_media.jobs) jobs.push_back(j.get());

  // A name that matches no job shows the first one, without changing the name.
  MediaJob* sel = g_media.find(transfer_sel);
  if (!sel && !jobs.empty()) sel = jobs[0];

  auto header = [&] {
    grid(*this, r);
    text_fast(surface, "TRANSFERS", L + 40, T + 30, 24, pal.pink, AlignLeft, 0.2f);
    std::string sub = "INBOUND  //  HTTPS 206 RANGE REQUESTS + BITTORRENT  //  EVERY PIECE AND THE FILE VERIFIED";
    label(L + 40, T + 68, surface.fit(sub, W - 80, 8.5f, kTrack), pal.cyan, 8.5f);
    if (g_media.has_dir())
      label(L + 40, T + 86, surface.fit("STORAGE  " + upper(narrow(g_media.dir())), W - 80, 7, kTrack),
            alpha(pal.dim, 1.3f), 7);
  };
  u64 key = hash_val(r, hash64(narrow(g_media.has_dir() ? g_media.dir() : std::wstring()), 0));

  if (jobs.empty()) {
    u32 plan = id("xplan", 0);
    float mx = (L + R) / 2;
    D2D_RECT_F br{mx - 100, y0 + 160, mx + 100, y0 + 196};
    bool rest = settled(*this, plan, br);
    layers.draw(surface, id("transfers", 0), r, hash_val(rest, key), [&] {
      paint_still(*this, [&] {
        header();
        text_fast(surface, "NO TRANSFERS. PICK A RELEASE IN THE MISSION PLANNER (LINUX X86-64).", mx, y0 + 120, 11,
                  pal.cyan, AlignCentre, kTrack);
        if (rest) button(plan, br, "MISSION PLANNER", Btn::Primary, true, 10.5f);
      });
    }, 0);
    bool hit = rest ? clicked(plan, br, IDC_HAND) : button(plan, br, "MISSION PLANNER", Btn::Primary, true, 10.5f);
    if (hit) go(Wizard);
    return;
  }

  // ---- what each part shows, before anything is drawn ----
  struct Row {
    MediaJob* job;
    u32 id;
    D2D_RECT_F r;
    bool selected, rest;
    float f;
  };
  std::vector<Row> rows;
  for (size_t i = 0; i < jobs.size(); ++i) {
    MediaJob* j = jobs[i];
    float top = y0 + 68 * float(i);
    Row row{j, id("xrow", file_hash(j->item.file)), {L, top, L + x.lw, top + 62}, j == sel, false, 0};
    const TransferSnapshot& s = j->snap;
    row.f = s.total ? float(double(s.done) / double(s.total)) : 0;
    if (s.state == TState::Checking) row.f = s.progress;
    if (s.state == TState::Done) row.f = 1;
    row.f = std::clamp(row.f, 0.0f, 1.0f);
    row.rest = settled(*this, row.id, row.r, row.selected ? 1.0f : 0.0f);
    rows.push_back(row);
  }
  const TransferSnapshot& s = sel->snap;
  const MediaItem& item = sel->item;
  D3DCOLORVALUE dcol = distro_color(item.distro);
  float dx = x.dx, xr = x.xr, wd = x.wd;
  u32 cancel_key = id("xcancel", file_hash(item.file));
  bool armed_now = armed == cancel_key && now - armed_at < 3.0;
  struct Action {
    int n;
    const char* label;
    Btn style;
    D2D_RECT_F r;
    bool rest;
  };
  std::vector<Action> actions;
  float bx = xr;
  for (int n : xfer_actions(s.state)) {
    Action a{n, "", Btn::Plain, {}, false};
    switch (n) {
      case 1: a.label = "REMOVE FROM LIST", a.style = Btn::Secondary; break;
      case 2: a.label = "SHOW IN FOLDER"; break;
      case 3: a.label = armed_now ? "CONFIRM CANCEL?" : "CANCEL", a.style = Btn::Danger; break;
      case 4: a.label = "RESUME", a.style = Btn::Primary; break;
      default: a.label = "PAUSE"; break;
    }
    float bw = surface.text_width(a.label, 9, kTrack) + 40;
    a.r = {bx - bw, x.yb, bx, x.yb + 34};
    bx -= bw + 10;
    a.rest = settled(*this, id("xact", n), a.r);
    actions.push_back(a);
  }
  const Site* site = find_site(item.site);
  D2D_RECT_F field{dx, x.yp + 14, xr, x.yp + 14 + x.hp};
  D2D_RECT_F scope{dx, x.y2, dx + x.sw, x.y2 + x.hs};
  D2D_RECT_F radar{xr - x.hs, x.y2, xr, x.y2 + x.hs};
  D2D_RECT_F M = x.map_rect;
  if (x.map) map.layout({M.left + 6, M.top + 6, M.right - 6, M.bottom - 6});

  auto draw_row = [&](const Row& row, float e, bool still) {
    const MediaItem& it = row.job->item;
    const TransferSnapshot& rs = row.job->snap;
    D3DCOLORVALUE c = distro_color(it.distro);
    float left = row.r.left, top = row.r.top, right = row.r.right;
    D2D_RECT_F bar{left + 14, top + 30, left + x.lw - 14, top + 36};
    if (still) {
      float a = 0.03f + 0.07f * e;
      if (row.selected) {
        surface.fill(row.r, alpha(pal.pink, a));
        surface.line(left + 1, top + 4, left + 1, row.r.bottom - 4, pal.pink, 3);
      } else {
        surface.fill(row.r, alpha(pal.cyan, a));
      }
      float wdn = text_fast(surface, it.distro, left + 14, top + 8, 10, c, AlignLeft, kTrack);
      std::string l = surface.fit(it.label + "  " + it.edition, (right - 8) - (left + 24 + wdn), 8, kTrack);
      text_fast(surface, l, left + 24 + wdn, top + 9, 8, pal.ice, AlignLeft, kTrack);
      surface.rect(snap(*this, bar), alpha(c, c.a * 0.5f), 0.8f);
      return;
    }
    // What changes while a download runs.
    if (row.f > 0) surface.fill({bar.left, bar.top, bar.left + (bar.right - bar.left) * row.f, bar.bottom}, c);
    std::string st = state_word(rs.state);
    if (rs.state == TState::Running) st += "  " + rate(rs.rate_down);
    text_fast(surface, st, left + 14, top + 44, 6.5f, state_col(rs.state), AlignLeft, kTrack);
    text_fast(surface, strf("%d%%", int(row.f * 100)), right - 10, top + 44, 6.5f, pal.ice, AlignRight, kTrack);
  };

  // The detail's first two lines: the figures on the right change while the
  // job runs; the release's names beside them are fitted to what they leave.
  float pct = s.total ? float(double(s.done) / double(s.total)) : 0;
  std::string pct_text = strf("%d%%", int(std::clamp(pct, 0.0f, 1.0f) * 100));
  std::string st = state_word(s.state);
  if (s.state == TState::Running) st += "  //  ETA " + eta_text(s.eta);
  float wp = surface.text_width(pct_text, 26, kTrack), ws = surface.text_width(st, 8, kTrack);
  std::string name_fit = surface.fit(item.distro, wd - wp - 30, 26, kTrack);
  std::string label_fit = surface.fit(item.label + "  " + item.edition, wd - ws - 30, 11, kTrack);

  // ---- the still parts, in the page's layer ----
  key = hash64(name_fit, hash64(label_fit, key));
  for (const Row& row : rows) {
    const MediaItem& it = row.job->item;
    key = hash64(it.file, hash64(it.distro, hash64(it.label, hash64(it.edition, key))));
    key = hash_val(row.selected, hash_val(row.rest, key));
  }
  key = hash_val(s.pieces, hash_val(s.piece_size, hash_val(s.state, hash_val(x.map, key))));
  key = hash64(item.site, hash64(item.sha256, key));
  for (const Action& a : actions) key = hash64(a.label, hash_val(a.rest, hash_val(a.r, key)));
  layers.draw(surface, id("transfers", 0), r, key, [&] {
    paint_still(*this, [&] {
      header();
      for (const Row& row : rows)
        if (row.rest) draw_row(row, row.selected ? 1 : 0, true);
      // Detail: the release, the pieces header with its legend, the frames.
      text_fast(surface, name_fit, dx, y0 - 2, 26, dcol, AlignLeft, 0.18f);
      label(dx, y0 + 33, label_fit, pal.ice, 11);
      label(dx, x.yp, strf("PIECES  //  %u x %s", s.pieces, human_bytes(s.piece_size).c_str()), alpha(pal.cyan, 0.85f),
            6.5f);
      float lx = xr;
      const std::pair<const char*, D3DCOLORVALUE> legend[4] = {
          {"RESUMED", pal.ice}, {"PEERS", pal.pink}, {"MIRRORS", pal.cyan}, {"IN FLIGHT", pal.amber}};
      for (const auto& [word, colour] : legend) lx -= text_fast(surface, word, lx, x.yp, 6, colour, AlignRight, kTrack) + 12;
      surface.rect(snap(*this, field), alpha(pal.dim, 0.5f), 0.8f);
      scope_frame(*this, scope);
      radar_frame(*this, radar);
      if (x.map) {
        surface.rect(snap(*this, M), alpha(pal.dim, 0.5f), 0.8f);
        push_clip(M);
        map.draw(surface, 0.75f);
        pop_clip();
        std::string from = site ? site->label : "?";
        text_fast(surface, "INBOUND  //  " + from + " -> NORAD", M.left + 6, M.top + 6, 6, alpha(pal.ice, 0.8f),
                  AlignLeft, kTrack);
      }
      for (const Action& a : actions)
        if (a.rest) button(id("xact", a.n), a.r, a.label, a.style, true, 9);
    });
  }, 0);

  // ---- the list ----
  for (const Row& row : rows) {
    float e = ease(row.id, row.selected || hovering(row.r), 0.07f);
    if (clicked(row.id, row.r, IDC_HAND)) {
      transfer_sel = row.job->item.file;  // the detail follows from the next frame
      dirty = true;
    }
    if (!row.rest) draw_row(row, e, true);
    draw_row(row, e, false);
  }

  // ---- the detail ----
  text_fast(surface, pct_text, xr, y0 - 2, 26, kWhite, AlignRight, kTrack);
  text_fast(surface, st, xr, y0 + 34, 8, state_col(s.state), AlignRight, kTrack);
  label(dx, y0 + 54, surface.fit(s.label.empty() ? upper(item.file) : s.label, wd, 7, kTrack), alpha(pal.dim, 1.4f),
        7);
  if (s.state == TState::Failed)
    label(dx, y0 + 68, surface.fit("ERROR: " + upper(s.error), wd, 8, kTrack), pal.red, 8);

  draw_piece_field(field, *sel);
  draw_scope(scope, *sel);
  if (x.map) {
    push_clip(M);
    map.draw_norad(surface, float(now), 0.8f);
    if (site && (s.state == TState::Starting || s.state == TState::Running))
      map.draw_track(surface, *site, float(now), dcol, 1.0f, "", true);
    pop_clip();
  }
  draw_radar(radar, *sel);

  // Counters: the split bar, bytes by source, rates and the total.
  SplitBar split = split_bar(s.via_mirrors, s.via_peers, x.bw);
  if (split.empty) {
    surface.rect(snap(*this, D2D_RECT_F{dx, x.y3, dx + x.bw, x.y3 + 10}), alpha(pal.dim, 0.5f), 0.8f);
  } else {
    surface.fill({dx, x.y3, dx + split.mirrors, x.y3 + 10}, alpha(pal.cyan, 0.8f));
    surface.fill({dx + split.mirrors, x.y3, dx + x.bw, x.y3 + 10}, alpha(pal.pink, 0.8f));
  }
  label(dx, x.y3 + 18,
        surface.fit(strf("MIRRORS %s  //  PEERS %s  //  SENT TO PEERS %s", human_bytes(s.via_mirrors).c_str(),
                         human_bytes(s.via_peers).c_str(), human_bytes(s.uploaded).c_str()), x.wc, 8, kTrack),
        pal.ice, 8);
  label(dx, x.y3 + 36,
        surface.fit(strf("%s DOWN  //  %s UP  //  %s OF %s", rate(s.rate_down).c_str(), rate(s.rate_up).c_str(),
                         human_bytes(s.done).c_str(), human_bytes(s.total).c_str()), x.wc, 8, kTrack),
        alpha(pal.cyan, 0.9f), 8);
  if (!sel->launch_after.empty() && s.state != TState::Done)
    text_fast(surface, "A NEW SYSTEM LAUNCHES WHEN THIS IS VERIFIED", xr, x.yb + 42, 7, pal.amber, AlignRight, kTrack);
  easing = true;  // the instruments move while a job is shown

  // ---- actions (last: removing or cancelling ends this frame's drawing) ----
  for (const Action& a : actions) {
    u32 aid = id("xact", a.n);
    bool hit = a.rest ? clicked(aid, a.r, IDC_HAND) : button(aid, a.r, a.label, a.style, true, 9);
    if (!hit) continue;
    dirty = true;
    switch (a.n) {
      case 1:
        g_media.forget(sel);
        return;
      case 2: {
        std::wstring params = L"/select,\"" + (sel->transfer ? sel->transfer->final_path() : g_media.path(item)) + L"\"";
        ShellExecuteW(hwnd, L"open", L"explorer.exe", params.c_str(), nullptr, SW_SHOWNORMAL);
        break;
      }
      case 3:
        if (armed_now) {
          armed = 0;
          g_media.cancel(sel);
          return;
        }
        armed = cancel_key;
        armed_at = now;
        break;
      case 4: g_media.resume(sel); return;  // the job's Transfer is new: its figures come next frame
      default: g_media.pause(sel); break;
    }
  }
}
