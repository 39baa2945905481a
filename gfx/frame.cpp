// The display list's plain parts: boxes, keys, the difference of two frames
// and the rectangles to draw again.
#include "gfx/frame.h"

#include <cmath>
#include <cstring>
#include <unordered_map>

RECT box_and(const RECT& a, const RECT& b) {
  RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
  if (box_empty(r)) r = RECT{0, 0, 0, 0};
  return r;
}

RECT box_or(const RECT& a, const RECT& b) {
  return RECT{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right), std::max(a.bottom, b.bottom)};
}

RECT device_box(const D2D_RECT_F& local, float margin, const D2D1_MATRIX_3X2_F& xf, float scale, const RECT& clip) {
  const float k[6] = {xf._11, xf._12, xf._21, xf._22, xf._31, xf._32};
  bool known = std::isfinite(local.left) && std::isfinite(local.top) && std::isfinite(local.right) &&
               std::isfinite(local.bottom) && local.left <= local.right && local.top <= local.bottom &&
               std::isfinite(margin) && std::isfinite(scale);
  for (float v : k) known = known && std::isfinite(v);
  if (!known) return clip;
  float l = local.left - margin, t = local.top - margin, r = local.right + margin, b = local.bottom + margin;
  float x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  for (auto [x, y] : {std::pair{l, t}, {r, t}, {l, b}, {r, b}}) {
    float dx = (x * xf._11 + y * xf._21 + xf._31) * scale, dy = (x * xf._12 + y * xf._22 + xf._32) * scale;
    x0 = std::min(x0, dx), y0 = std::min(y0, dy), x1 = std::max(x1, dx), y1 = std::max(y1, dy);
  }
  if (!(std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1))) return clip;
  // Two pixels more: antialiased edges reach into the pixel beside.
  auto px = [](float v) { return LONG(std::clamp(v, -float(1 << 28), float(1 << 28))); };
  RECT box{px(std::floor(x0)) - 2, px(std::floor(y0)) - 2, px(std::ceil(x1)) + 2, px(std::ceil(y1)) + 2};
  return box_and(box, clip);
}

D2D_RECT_F points_bounds(const D2D_POINT_2F* p, size_t n, D2D_RECT_F b) {
  for (size_t i = 0; i < n; ++i)
    b = D2D_RECT_F{std::min(b.left, p[i].x), std::min(b.top, p[i].y), std::max(b.right, p[i].x),
                   std::max(b.bottom, p[i].y)};
  if (!(b.left <= b.right)) b = D2D_RECT_F{1, 1, 0, 0};
  return b;
}

// ---- keys ---------------------------------------------------------------------

namespace {
struct KeyMix {
  u64 h = 0x9E3779B97F4A7C15ull;
  void word(u64 v) {
    h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    h *= 0xFF51AFD7ED558CCDull;
  }
  void f(float v) {
    u32 bits;
    std::memcpy(&bits, &v, 4);
    word(bits);
  }
  void rect(const D2D_RECT_F& r) { f(r.left), f(r.top), f(r.right), f(r.bottom); }
};
}  // namespace

u64 cmd_key(const Cmd& c, const D2D_POINT_2F* points) {
  KeyMix m;
  m.word(u64(c.op) | u64(c.closed) << 8 | u64(c.interp) << 16);
  m.f(c.colour.r), m.f(c.colour.g), m.f(c.colour.b), m.f(c.colour.a);
  m.f(c.width), m.f(c.radius), m.f(c.opacity);
  m.f(c.xf._11), m.f(c.xf._12), m.f(c.xf._21), m.f(c.xf._22), m.f(c.xf._31), m.f(c.xf._32);
  m.rect(c.r);
  m.rect(c.src);
  m.word(c.n);
  for (u32 i = 0; points && i < c.n; ++i) m.f(points[i].x), m.f(points[i].y);
  // The object itself: a list holds its objects, so while the earlier list
  // lives no new object can take the address of one of its own.
  m.word(u64(reinterpret_cast<uintptr_t>(c.obj.Get())));
  m.word(c.content);
  m.word(u64(u32(c.box.left)) << 32 | u32(c.box.top));
  m.word(u64(u32(c.box.right)) << 32 | u32(c.box.bottom));
  return m.h;
}

// ---- the difference of two frames ---------------------------------------------------

static bool draws(const Cmd& c) { return c.op != Op::Clip && c.op != Op::Unclip; }

std::vector<RECT> changed_boxes(const DisplayList& before, const DisplayList& now) {
  std::vector<RECT> out;
  // Each command of `now` is paired with the first unpaired command of
  // `before` that has its key.
  struct Slots {
    std::vector<u32> at;
    size_t next = 0;
  };
  std::unordered_map<u64, Slots> by_key;
  by_key.reserve(before.cmds.size());
  for (u32 j = 0; j < before.cmds.size(); ++j)
    if (draws(before.cmds[j])) by_key[before.cmds[j].key].at.push_back(j);
  std::vector<char> paired(before.cmds.size(), 0);
  std::vector<std::pair<u32, u32>> pairs;  // (index in now, index in before), in the order of now
  for (u32 i = 0; i < now.cmds.size(); ++i) {
    const Cmd& c = now.cmds[i];
    if (!draws(c)) continue;
    auto it = by_key.find(c.key);
    if (it == by_key.end() || it->second.next >= it->second.at.size()) {
      out.push_back(c.box);
      continue;
    }
    u32 j = it->second.at[it->second.next++];
    paired[j] = 1;
    pairs.push_back({i, j});
    if (!c.obj && before.cmds[j].obj) c.obj = before.cmds[j].obj;
    c.held_out = before.cmds[j].held_out;
    c.calm = before.cmds[j].calm;
  }
  for (u32 j = 0; j < before.cmds.size(); ++j)
    if (draws(before.cmds[j]) && !paired[j]) out.push_back(before.cmds[j].box);
  // The pairs whose order holds: the longest run of increasing indices of
  // `before` (patience sorting); every other pair moved past some command.
  std::vector<u32> tails, prev(pairs.size(), u32(-1)), tail_at;
  for (u32 p = 0; p < pairs.size(); ++p) {
    u32 j = pairs[p].second;
    size_t lo = std::lower_bound(tails.begin(), tails.end(), j) - tails.begin();
    if (lo == tails.size()) {
      tails.push_back(j);
      tail_at.push_back(p);
    } else {
      tails[lo] = j;
      tail_at[lo] = p;
    }
    prev[p] = lo > 0 ? tail_at[lo - 1] : u32(-1);
  }
  std::vector<char> kept(pairs.size(), 0);
  for (u32 p = tail_at.empty() ? u32(-1) : tail_at.back(); p != u32(-1); p = prev[p]) kept[p] = 1;
  for (const Cmd& c : now.cmds) c.age = 0;
  for (u32 p = 0; p < pairs.size(); ++p)
    if (!kept[p]) now.cmds[pairs[p].first].calm = 0;
  for (u32 p = 0; p < pairs.size(); ++p) {
    if (!kept[p]) out.push_back(now.cmds[pairs[p].first].box);
    else now.cmds[pairs[p].first].age = before.cmds[pairs[p].second].age + 1;
  }
  return out;
}

// ---- the still picture --------------------------------------------------------------

void split_still(const DisplayList& l, u32 settle, u32 width, u32 height, int tile) {
  if (tile <= 0) return;
  const int cols = int((width + tile - 1) / tile), rows = int((height + tile - 1) / tile);
  // Per tile: 1 when a command outside the still picture touches it, 2 when
  // one that changed lately (or is held out) does.
  std::vector<char> moving(size_t(std::max(cols, 0)) * std::max(rows, 0), 0);
  const RECT frame{0, 0, LONG(width), LONG(height)};
  // Tiles of a box within the frame (none when it lies outside).
  auto tiles = [&](const RECT& b, auto&& f) {
    RECT c = box_and(b, frame);
    if (box_empty(c)) return;
    for (int y = c.top / tile; y <= (c.bottom - 1) / tile; ++y)
      for (int x = c.left / tile; x <= (c.right - 1) / tile; ++x)
        if (f(moving[size_t(y) * cols + x])) return;
  };
  const i64 big = i64(width) * height / 4;
  for (const Cmd& c : l.cmds) {
    if (!draws(c)) continue;
    char under = 0;
    tiles(c.box, [&](char& m) {
      under = std::max(under, m);
      return under == 2;
    });
    // Calm counts the frames since something under it last changed: a
    // command over one that is only waiting to settle itself does not wait
    // for it again, so a stack of unchanged commands settles all at once.
    if (under == 2) c.calm = 0;
    else if (c.calm < settle) ++c.calm;
    if (under != 0) {
      RECT b = box_and(c.box, frame);
      if (c.age >= settle && i64(b.right - b.left) * (b.bottom - b.top) > big) c.held_out = true;
    }
    c.still = under == 0 && !c.held_out && c.age >= settle && c.calm >= settle;
    char mark = c.still ? 0 : c.age < settle || c.held_out ? 2 : 1;
    if (mark) tiles(c.box, [mark](char& m) {
      m = std::max(m, mark);
      return false;
    });
  }
}

DisplayList still_part(const DisplayList& l) {
  DisplayList out;
  for (const Cmd& c : l.cmds)
    if (!draws(c) || c.still) out.cmds.push_back(c);
  out.points = l.points;
  return out;
}

// The parts of r outside o (up to four bands) appended to out.
static void cut_away(const RECT& r, const RECT& o, std::vector<RECT>& out) {
  if (!overlaps(r, o)) {
    out.push_back(r);
    return;
  }
  LONG top = std::max(r.top, o.top), bottom = std::min(r.bottom, o.bottom);
  if (r.top < o.top) out.push_back(RECT{r.left, r.top, r.right, o.top});
  if (o.bottom < r.bottom) out.push_back(RECT{r.left, o.bottom, r.right, r.bottom});
  if (r.left < o.left) out.push_back(RECT{r.left, top, o.left, bottom});
  if (o.right < r.right) out.push_back(RECT{o.right, top, r.right, bottom});
}

std::vector<RECT> disjoint_rects(std::vector<RECT> rects) {
  std::erase_if(rects, box_empty);
  // The larger rectangles stay whole; the others lose what lies in them.
  std::stable_sort(rects.begin(), rects.end(), [](const RECT& a, const RECT& b) { return box_area(a) > box_area(b); });
  std::vector<RECT> out, pieces, rest;
  for (const RECT& r : rects) {
    pieces.assign(1, r);
    for (size_t k = 0, kept = out.size(); k < kept && !pieces.empty(); ++k) {
      rest.clear();
      for (const RECT& p : pieces) cut_away(p, out[k], rest);
      pieces.swap(rest);
    }
    out.insert(out.end(), pieces.begin(), pieces.end());
  }
  return out;
}

// ---- rectangles to draw again ------------------------------------------------------

std::vector<RECT> dirty_rects(const std::vector<RECT>& boxes, u32 width, u32 height, int tile, size_t most) {
  std::vector<RECT> out;
  if (width == 0 || height == 0 || tile <= 0) return out;
  const RECT frame{0, 0, LONG(width), LONG(height)};
  const int cols = int((width + tile - 1) / tile), rows = int((height + tile - 1) / tile);
  std::vector<char> grid(size_t(cols) * rows, 0);
  bool any = false;
  for (const RECT& b : boxes) {
    RECT c = box_and(b, frame);
    if (box_empty(c)) continue;
    any = true;
    for (int y = c.top / tile; y <= (c.bottom - 1) / tile; ++y)
      for (int x = c.left / tile; x <= (c.right - 1) / tile; ++x) grid[size_t(y) * cols + x] = 1;
  }
  if (!any) return out;
  // Runs along each row; a run continues the rectangle above it when that
  // rectangle ended on the row above with exactly the same columns.
  std::vector<RECT> open;  // in tiles: rectangles that reached the previous row
  for (int y = 0; y <= rows; ++y) {
    std::vector<RECT> runs;
    for (int x = 0; y < rows && x < cols;) {
      if (!grid[size_t(y) * cols + x]) {
        ++x;
        continue;
      }
      int x0 = x;
      while (x < cols && grid[size_t(y) * cols + x]) ++x;
      runs.push_back(RECT{x0, y, x, y + 1});
    }
    std::vector<RECT> still;
    for (RECT& o : open) {
      bool continued = false;
      for (RECT& r : runs)
        if (r.left == o.left && r.right == o.right && r.top == y) {
          r.top = o.top;  // the run takes the rectangle over
          continued = true;
          break;
        }
      if (!continued) out.push_back(o);
    }
    open = runs;
  }
  for (RECT& r : out) r = box_and(RECT{r.left * tile, r.top * tile, r.right * tile, r.bottom * tile}, frame);
  if (out.size() > most) {
    if (out.size() > 64 || most == 0) {
      RECT all = out[0];
      for (const RECT& r : out) all = box_or(all, r);
      return {all};
    }
    // Merge the pair whose union adds the least area, until few enough remain.
    while (out.size() > most) {
      size_t bi = 0, bj = 1;
      i64 best = INT64_MAX;
      for (size_t i = 0; i < out.size(); ++i)
        for (size_t j = i + 1; j < out.size(); ++j) {
          i64 added = box_area(box_or(out[i], out[j])) - box_area(out[i]) - box_area(out[j]);
          if (added < best) best = added, bi = i, bj = j;
        }
      out[bi] = box_or(out[bi], out[bj]);
      out.erase(out.begin() + long(bj));
    }
  }
  return out;
}

std::vector<RECT> merge_rects(std::vector<RECT> rects, const DisplayList& l, double call_pixels) {
  if (rects.size() < 2) return rects;
  // Only the boxes that can touch any union are weighed (the list holds many
  // more commands than lie in the changed area).
  RECT all = rects[0];
  for (const RECT& r : rects) all = box_or(all, r);
  std::vector<RECT> boxes;
  for (const Cmd& c : l.cmds)
    if (draws(c) && overlaps(c.box, all)) boxes.push_back(c.box);
  auto cost = [&](const RECT& r) {
    double calls = 1;
    for (const RECT& b : boxes)
      if (overlaps(b, r)) ++calls;
    return double(r.right - r.left) * double(r.bottom - r.top) + calls * call_pixels;
  };
  // The cost of each rectangle and of each pair's union; a merge weighs
  // anew only the pairs of the rectangle it made.
  size_t n = rects.size();
  std::vector<double> costs(n);
  std::vector<std::vector<double>> pair(n, std::vector<double>(n, 0));
  for (size_t i = 0; i < n; ++i) costs[i] = cost(rects[i]);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = i + 1; j < n; ++j) pair[i][j] = cost(box_or(rects[i], rects[j]));
  std::vector<char> live(n, 1);
  for (;;) {
    size_t bi = 0, bj = 0;
    double best = 0;
    for (size_t i = 0; i < n; ++i)
      for (size_t j = i + 1; live[i] && j < n; ++j)
        if (live[j] && costs[i] + costs[j] - pair[i][j] > best) best = costs[i] + costs[j] - pair[i][j], bi = i, bj = j;
    if (best <= 0) break;
    rects[bi] = box_or(rects[bi], rects[bj]);
    costs[bi] = pair[bi][bj];
    live[bj] = 0;
    for (size_t k = 0; k < n; ++k)
      if (live[k] && k != bi) {
        double c = cost(box_or(rects[bi], rects[k]));
        if (k < bi) pair[k][bi] = c;
        else pair[bi][k] = c;
      }
  }
  std::vector<RECT> out;
  for (size_t i = 0; i < n; ++i)
    if (live[i]) out.push_back(rects[i]);
  return out;
}
