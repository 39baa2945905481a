// The world map of the start view: coastlines, country borders and a
// graticule in the Natural Earth projection, the home sites of the guest
// systems, the NORAD radar marker and animated tracks from NORAD to a site.
//
// The outlines are projected once into three path geometries in projection
// units; each frame only sets a transform, so a resize costs nothing.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "gfx/gfx.h"

// ---- sites ----------------------------------------------------------------

struct Site {
  const char* id;     // lower-case key that profiles refer to
  const char* label;  // upper-case name drawn on the map
  float lat, lon;     // degrees, north and east positive
  float label_dx, label_dy;  // DIPs from the marker to the label's top-left
};

extern const std::vector<Site> kSites;
const std::vector<Site>& sites();
// The first site whose id equals id exactly (case-sensitive), or null.
const Site* find_site(const char* id);

// ---- outline tables (generated, gfx/worlddata.cpp) -------------------------

// count consecutive points from index first of the line's point table.
struct MapLine {
  u32 first, count;
};
// Hundredths of a degree.
struct MapPoint {
  int16_t lon, lat;
};

extern const MapLine kCoastLines[];
extern const size_t kCoastLinesCount;
extern const MapPoint kCoastPoints[];
extern const size_t kCoastPointsCount;
extern const MapLine kBorderLines[];
extern const size_t kBorderLinesCount;
extern const MapPoint kBorderPoints[];
extern const size_t kBorderPointsCount;

// ---- the map ----------------------------------------------------------------

struct WorldMap {
  // Projection-unit size of the fitted box: the full width of the map and the
  // height from latitude 84 (y = -kTop) down to latitude -58.
  static constexpr float kWidth = 5.470739f;
  static constexpr float kHeight = 2.3946145f;
  static constexpr float kTop = 1.3823434f;
  static constexpr int kTrackPoints = 49;

  D2D_RECT_F rect{};
  float scale = 1;   // DIPs per projection unit
  float cx = 0, cy = 0;  // screen position of projection point (0, 0)
  float center_lon = -15;
  ComPtr<ID2D1PathGeometry> coast, borders, graticule;
  bool built = false;

  // Projection units; screen y points down.
  static D2D_POINT_2F raw(float lat, float lon, float center_lon);
  // lon - center_lon brought into [-180, 180].
  static float wrap(float lon, float center_lon);
  // The pieces of one outline polyline that are drawn, in projection units:
  // points south of 60 S are dropped, a step across the map's edge starts a
  // new piece, and pieces of fewer than two points are left out.
  static std::vector<std::vector<D2D_POINT_2F>> pieces(const MapPoint* points, u32 count, float center_lon);

  // One polyline as the figures its geometry gets: repeated points and
  // points that go straight on are left out, and the line is cut where it
  // turns back sharply. Stroked with round caps this looks the same as the
  // whole line; it spares renderers whose joins misbehave there (mitres
  // without a limit, a straight join under a scale drawn to infinity).
  static std::vector<std::vector<D2D_POINT_2F>> figures(const std::vector<D2D_POINT_2F>& line);

  D2D_POINT_2F project(float lat, float lon) const;

  void build();
  void layout(const D2D_RECT_F& r);
  void draw(Canvas& canvas, float k);
  void draw_site(Canvas& canvas, const Site& site, D3DCOLORVALUE colour, float k, bool with_label);
  void draw_norad(Canvas& canvas, float t, float k);
  D2D_POINT_2F draw_track(Canvas& canvas, const Site& target, float t, D3DCOLORVALUE colour, float k,
                          const std::string& caption, bool inbound);

  // The curve draw_track strokes, from its start to its end (the end markers'
  // centre); false when the NORAD row is missing.
  bool track_curve(const Site& target, bool inbound, std::array<D2D_POINT_2F, kTrackPoints>& q) const;
};
