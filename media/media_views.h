// Plain decisions of the media views (the picker, the storage chooser, the
// transfers page and its displays, the sidebar's transfers block): texts,
// grids and layouts worked out without a window, so tests check them directly.
#pragma once

#include <string>
#include <vector>

#include "core/common.h"
#include "gfx/pixels.h"
#include "media/media.h"

// ---- texts ---------------------------------------------------------------------

// A rate as shown: "-" for nothing (0, negative or not a number), else the
// whole bytes per second as human_bytes with "/S" ("1.5M/S").
std::string rate(float bytes_per_second);
// The time left of a running download: "--:--" without an estimate (negative,
// not finite or above 100 hours), else human_duration.
std::string eta_text(double seconds);
// The word and colour of a download state; an unknown state has no word and
// the cyan of the running states.
const char* state_word(TState s);
D3DCOLORVALUE state_col(TState s);
// The sidebar block's second line: n busy jobs at progress p (0..1), or the
// number of all jobs when none is busy.
std::string sidebar_line(int busy, float progress, size_t jobs);

// ---- piece field -----------------------------------------------------------------

// The piece field's cells over an inner area of w x h DIPs: columns of 6 DIPs,
// rows of at least 22, at most one cell per piece. rows_used rows of height
// ch hold the cells.
struct PieceGrid {
  u32 cols = 1, rows = 1, cells = 0, rows_used = 0;
  float ch = 0;
};
PieceGrid piece_grid(float w, float h, u32 pieces);
// The first piece of cell i of n cells over P pieces: i x P / n, worked out
// in 64 bits (a 4 GiB file in 16 KiB pieces times a cell index overflows 32).
u64 cell_first(u64 i, u64 n, u64 pieces);
// Whether a snapshot's piece map can be drawn cell by cell: a piece count and
// a map that covers it (a shorter map, or none at all, draws no cells).
bool piece_map_usable(const TransferSnapshot& s);

// How one cell is drawn, from the counts of its pieces by map value (0 missing,
// 1 in flight, 2 mirror, 3 peer, 4 resumed; larger values count as 4).
struct CellLook {
  enum Kind { Outline, Flight, Filled } kind = Outline;
  enum Source { Resumed, Peers, Mirrors } source = Mirrors;  // colour of a filled bar
  float alpha = 0;  // of a filled bar
  float fill = 0;   // share of the bar's height filled, from its bottom
};
CellLook cell_look(const u32 counts[5]);
// The looks of a usable snapshot's cells, in order (empty when its map is not
// usable).
std::vector<CellLook> piece_cells(const TransferSnapshot& s, const PieceGrid& g);

// The piece field's bitmap is laid in tiles of one row of cells and
// kFieldTileCells columns, each copied in and drawn again only when it
// changes: the tiles' inner edges (DIPs; the inner area's corner at x0, y0)
// and, per tile, row by row, a version that changes only when one of its
// cells does or, for a tile with a cell in flight, when the blink turns.
constexpr u32 kFieldTileCells = 16;
struct FieldTiles {
  std::vector<float> xs, ys;
  std::vector<u64> versions;
};
FieldTiles field_tiles(const PieceGrid& g, const std::vector<CellLook>& cells, float x0, float y0, bool blink_on);

// ---- shapes painted on the CPU --------------------------------------------------
// What changes a few times a second (the piece field's cells, the radar's
// peers) is painted into Pixels (gfx/pixels.h) and copied into one bitmap:
// one draw however many shapes.

// The field's bars (the pixels cleared first). k is pixels per DIP; (ox, oy)
// the inner area's corner in pixels. Colours: the sources (resumed, peers,
// mirrors), in flight, and the outline of a cell that holds nothing.
struct FieldColours {
  D3DCOLORVALUE resumed, peers, mirrors, flight, empty;
};
void field_pixels(Pixels& p, float ox, float oy, float k, const PieceGrid& g, const std::vector<CellLook>& cells,
                  bool blink_on, const FieldColours& c);

// The radar's peers (mirrors move every frame and are stroked apart): a
// peer sits at the bearing its id gives and nearer the centre the faster it
// sends; seeds pink, others orange; one sending and not choking us is a disc
// with a line from the centre, any other a small hollow circle. (cx, cy) and
// R are the radar's centre and radius in pixels, k pixels per DIP.
struct PeerColours {
  D3DCOLORVALUE seed, partial;
};
void radar_peer_pixels(Pixels& p, float cx, float cy, float R, float k, const std::vector<ConnInfo>& conns,
                       const PeerColours& c);

// ---- throughput scope ------------------------------------------------------------

// The sample steps the time axis spans (N - 1 of them): 40 samples for a short
// history, the whole history (at most 480) for a longer one.
u32 scope_span(size_t samples);
// x of sample j (0 oldest) of the last n samples of a series, the newest at R.
float scope_x(float L, float R, size_t n, size_t j, u32 span);

// ---- storage chooser --------------------------------------------------------------

// Card columns for a content width W (at least one).
int storage_cols(float W);
// The fixed drives with the most room (several on a tie); never a removable
// or network drive.
std::vector<bool> most_room(const std::vector<DriveInfo>& drives);
// Used segments of the 40 of a drive's bar (a partly used one counts).
int used_segments(u64 total, u64 free);
// How many desktop images of 6500 MiB fit in the free space.
u64 fits_isos(u64 free);

// ---- media picker ---------------------------------------------------------------

// Tops of the picker's rows for items of these distributions (a 6 DIP gap
// before each new distribution), the own-file row's top and the picker's height.
struct PickerRows {
  std::vector<float> tops;
  float own_top = 0;
  float height = 0;
};
PickerRows picker_rows(const std::vector<std::string>& distros, float y);
// Where a catalog row's size and "BT" mark end (right-aligned), in DIPs left
// of its action column.
constexpr float kPickSizeEnd = 14, kPickBtEnd = 74;
// The width a row's edition word may take from x: up to 12 DIPs before the
// "BT" mark (bt_w wide, ending at ax - kPickBtEnd) or, without one, before
// the size (size_w wide, ending at ax - kPickSizeEnd); 0 or less when none is
// left.
float edition_room(float x, float ax, float size_w, float bt_w);

// ---- transfers page ----------------------------------------------------------------

// The page's parts for a content rectangle (DIPs).
struct XferLayout {
  float list_w = 0;      // width of the job list
  float top = 0;         // top of the list and of the detail
  float detail_x = 0, detail_r = 0, detail_w = 0, detail_h = 0;  // the detail's left, right, width, height
  float pieces_y = 0;    // the pieces header's line
  float field_h = 0;     // the piece field's height (its top 14 below the header)
  float displays_y = 0, displays_h = 0;  // the scope, map and radar's row: top and height
  float scope_w = 0;
  bool map = false;      // a map panel between the scope and the radar
  D2D_RECT_F map_rect{};
  float counters_y = 0, counters_w = 0;  // the counters' top and width
  float bar_w = 0;       // the split bar's width
  float buttons_y = 0;   // top of the action buttons
};
XferLayout xfer_layout(const D2D_RECT_F& r);
// The actions a job offers, from the right.
enum XferAction { RemoveFromList = 1, ShowInFolder = 2, CancelJob = 3, ResumeJob = 4, PauseJob = 5 };
std::vector<XferAction> xfer_actions(TState s);
// The split bar's parts for a bar `width` wide: the mirrors' share of what
// came in, cyan from the left, and the peers' share, pink after it. With
// nothing received yet the bar is empty (neither source has sent anything).
struct SplitBar {
  float mirrors = 0, peers = 0;
  bool empty = true;
};
SplitBar split_bar(u64 via_mirrors, u64 via_peers, float width);
