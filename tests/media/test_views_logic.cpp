// Plain decisions of the media views, against figures worked out by hand:
// rates and times as text, the piece field's cells (grouping in 64 bits,
// colour and fill rules), the piece field's pixels, the scope's time axis,
// the storage chooser's columns, MOST ROOM and bars, the picker's heights and
// the transfers page's layout and actions.
#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "media/media_views.h"

namespace {
constexpr u64 kGiB = u64(1) << 30;
}

TEST(MediaViewText, Rates) {
  EXPECT_EQ(rate(0), "-");
  EXPECT_EQ(rate(-3), "-");
  EXPECT_EQ(rate(NAN), "-");
  EXPECT_EQ(rate(1023.9f), "1023B/S");  // truncated before formatting
  EXPECT_EQ(rate(1024), "1.0K/S");
  EXPECT_EQ(rate(1.5f * 1048576), "1.5M/S");
  EXPECT_EQ(rate(45.0e6f), "43M/S");
  EXPECT_EQ(rate(INFINITY), "16777216T/S");  // absurd but bounded
}

TEST(MediaViewText, EtaAndStates) {
  EXPECT_EQ(eta_text(-1), "--:--");
  EXPECT_EQ(eta_text(360001), "--:--");
  EXPECT_EQ(eta_text(NAN), "--:--");
  EXPECT_EQ(eta_text(INFINITY), "--:--");
  EXPECT_EQ(eta_text(3725.9), "01:02:05");
  EXPECT_EQ(eta_text(360000), "4D 04:00");
  EXPECT_STREQ(state_word(TState::Checking), "VERIFYING SHA-256");
  EXPECT_STREQ(state_word(TState::Idle), "QUEUED");
  EXPECT_STREQ(state_word(TState(9)), "");
  EXPECT_EQ(state_col(TState(9)).b, 1.0f);  // cyan
  EXPECT_EQ(state_col(TState::Checking).r, 0.94f);
  EXPECT_EQ(state_col(TState::Failed).g, 0.32f);

  EXPECT_EQ(sidebar_line(1, 0, 1), "1 ACTIVE  //  0%");
  EXPECT_EQ(sidebar_line(2, 0.4999f, 5), "2 ACTIVE  //  49%");
  EXPECT_EQ(sidebar_line(0, 0, 3), "3 DONE");  // every job, paused and failed ones too
}

TEST(PieceField, GridFromTheFieldSize) {
  // A 4 GiB image of 16384 pieces in a 600 x 180 field: 96 x 7 = 672 cells.
  PieceGrid g = piece_grid(600 - 20, 180 - 20, 16384);
  EXPECT_EQ(g.cols, 96u);
  EXPECT_EQ(g.rows, 7u);
  EXPECT_EQ(g.cells, 672u);
  EXPECT_EQ(g.rows_used, 7u);
  // Fewer pieces than cells: one each, fewer and taller rows.
  g = piece_grid(580, 160, 100);
  EXPECT_EQ(g.cells, 100u);
  EXPECT_EQ(g.rows_used, 2u);
  EXPECT_FLOAT_EQ(g.ch, 80);
  // No room at all still gives one column and one row; no pieces no cells.
  g = piece_grid(-5, 3, 10);
  EXPECT_EQ(g.cols, 1u);
  EXPECT_EQ(g.rows, 1u);
  EXPECT_EQ(g.cells, 1u);
  EXPECT_EQ(piece_grid(580, 160, 0).rows_used, 0u);
}

TEST(PieceField, GroupsIn64Bits) {
  auto check = [](u64 P, u64 n, u64 small) {
    u64 sum = 0;
    for (u64 i = 0; i < n; ++i) {
      u64 size = cell_first(i + 1, n, P) - cell_first(i, n, P);
      ASSERT_TRUE(size == small || size == small + 1) << "cell " << i << " holds " << size;
      sum += size;
    }
    EXPECT_EQ(sum, P);
  };
  check(16384, 672, 24);
  // The largest piece count: i x P needs more than 32 bits.
  check(4294967295ull, 672, 6391320);
  EXPECT_EQ(cell_first(671, 672, 4294967295ull), 4288575974ull);
  EXPECT_EQ(cell_first(12345, 20000, 3000000000ull), 1851750000ull);
  EXPECT_EQ(cell_first(3, 0, 10), 0u);
}

TEST(PieceField, CellLooks) {
  auto look = [](u32 c0, u32 c1, u32 c2, u32 c3, u32 c4) {
    u32 c[5] = {c0, c1, c2, c3, c4};
    return cell_look(c);
  };
  EXPECT_EQ(look(3, 0, 0, 0, 0).kind, CellLook::Outline);
  EXPECT_EQ(look(2, 1, 0, 0, 0).kind, CellLook::Flight);
  CellLook k = look(1, 1, 1, 1, 0);  // a tie of mirror and peer is cyan
  EXPECT_EQ(k.kind, CellLook::Filled);
  EXPECT_EQ(k.source, CellLook::Mirrors);
  EXPECT_FLOAT_EQ(k.fill, 0.35f + 0.65f * 2 / 4);
  EXPECT_FLOAT_EQ(k.alpha, 0.9f);
  EXPECT_EQ(look(0, 0, 1, 2, 0).source, CellLook::Peers);
  k = look(0, 0, 1, 0, 1);  // resumed ties a source: ice, dim (found on disk)
  EXPECT_EQ(k.source, CellLook::Resumed);
  EXPECT_FLOAT_EQ(k.alpha, 0.45f);
  EXPECT_FLOAT_EQ(k.fill, 1.0f);
  EXPECT_FLOAT_EQ(look(0, 0, 2, 1, 2).alpha, 0.9f);  // won in this run: bright
}

TEST(PieceField, EmptyOrInconsistentMapsHaveNoCells) {
  TransferSnapshot s;
  PieceGrid g = piece_grid(580, 160, 100);
  s.pieces = 100;
  s.piece_map.assign(99, 2);  // shorter than the count
  EXPECT_FALSE(piece_map_usable(s));
  EXPECT_TRUE(piece_cells(s, g).empty());
  s.pieces = 0;
  EXPECT_FALSE(piece_map_usable(s));
  EXPECT_TRUE(piece_cells(s, piece_grid(580, 160, 0)).empty());
  s.pieces = 100;
  s.piece_map.assign(100, 0);
  s.piece_map[0] = 9;  // an unknown value counts as resumed
  s.piece_map[1] = 1;
  std::vector<CellLook> cells = piece_cells(s, g);
  ASSERT_EQ(cells.size(), 100u);
  EXPECT_EQ(cells[0].source, CellLook::Resumed);
  EXPECT_EQ(cells[1].kind, CellLook::Flight);
  EXPECT_EQ(cells[2].kind, CellLook::Outline);
}

TEST(PieceField, PixelsOfTheBars) {
  // Two rows of 22 DIPs at 96 DPI: cells 6 px apart, bars 3.5 px wide from x 1
  // and 18 px high from y 2 of their row.
  PieceGrid g = piece_grid(12, 44, 4);
  ASSERT_EQ(g.cols, 2u);
  ASSERT_EQ(g.rows_used, 2u);
  std::vector<CellLook> cells(4);
  cells[0].kind = CellLook::Filled, cells[0].source = CellLook::Peers, cells[0].alpha = 0.9f, cells[0].fill = 1;
  cells[1].kind = CellLook::Filled, cells[1].source = CellLook::Mirrors, cells[1].alpha = 0.9f, cells[1].fill = 0.5f;
  cells[2].kind = CellLook::Flight;
  cells[3].kind = CellLook::Outline;
  FieldColours c{{1, 1, 1, 1}, {1, 0, 0, 1}, {0, 0, 1, 1}, {1, 1, 0, 1}, {0, 1, 0, 0.45f}};
  Pixels px;
  px.clear(12, 44);
  field_pixels(px, 0, 0, 1, g, cells, true, c);
  auto at = [&](int x, int y) { return px.at(u32(x), u32(y)); };
  // Peer bar (red), whole height: pixels 1..3 full, pixel 4 half covered.
  EXPECT_EQ(at(2, 10)[2], 230);  // red 0.9
  EXPECT_EQ(at(2, 10)[3], 230);
  EXPECT_EQ(at(4, 10)[3], 115);
  EXPECT_EQ(at(0, 10)[3], 0);
  EXPECT_EQ(at(2, 1)[3], 0);     // above the bar
  EXPECT_EQ(at(2, 19)[3], 230);  // last row of the bar (2..20)
  EXPECT_EQ(at(2, 20)[3], 0);
  // Mirror bar (blue), half filled from the bottom: rows 11..19.
  EXPECT_EQ(at(8, 10)[3], 0);
  EXPECT_EQ(at(8, 12)[0], 230);
  // In flight, blinking on: amber at 0.85 over the whole bar of row 2.
  EXPECT_EQ(at(2, 30)[3], 217);
  EXPECT_EQ(at(2, 30)[0], 0);
  field_pixels(px, 0, 0, 1, g, cells, false, c);
  EXPECT_EQ(at(2, 30)[3], 89);  // 0.35
  // An empty cell: only its outline.
  EXPECT_GT(at(7, 24)[3], 0);
  EXPECT_EQ(at(8, 30)[3], 0);
}

TEST(PieceField, TilesChangeOnlyWhereTheirCellsDo) {
  // 40 columns of cells in 3 rows: tiles of 16, 16 and 8 columns a row, the
  // inner edges 96 and 192 DIPs right of x0 and one row height apart.
  PieceGrid g = piece_grid(240, 66, 120);
  ASSERT_EQ(g.cols, 40u);
  ASSERT_EQ(g.rows_used, 3u);
  std::vector<CellLook> cells(120);
  for (CellLook& c : cells) c.kind = CellLook::Filled, c.fill = 1, c.alpha = 0.9f;
  cells[20].kind = CellLook::Flight;  // row 0, second tile
  FieldTiles t = field_tiles(g, cells, 10, 20, true);
  EXPECT_EQ(t.xs, (std::vector<float>{106, 202}));
  EXPECT_EQ(t.ys, (std::vector<float>{20 + g.ch, 20 + 2 * g.ch}));
  ASSERT_EQ(t.versions.size(), 9u);
  auto changed = [&](const FieldTiles& u) {
    std::vector<int> out;
    for (size_t i = 0; i < 9; ++i)
      if (u.versions[i] != t.versions[i]) out.push_back(int(i));
    return out;
  };
  EXPECT_EQ(changed(field_tiles(g, cells, 10, 20, true)), std::vector<int>{});
  EXPECT_EQ(changed(field_tiles(g, cells, 10, 20, false)), std::vector<int>{1}) << "only the tile that blinks";
  cells[119].fill = 0.5f;  // the last cell: row 2, third tile
  EXPECT_EQ(changed(field_tiles(g, cells, 10, 20, true)), std::vector<int>{8});
}

TEST(Radar, PeersByBearingAndSpeed) {
  // A radar of radius 100 at (110, 110). The fastest sending, unchoked peer
  // sits at 0.38 R on the bearing of its id (id 0: angle 0, to the right)
  // as a disc of radius 5.3; a peer with no traffic is a hollow circle near
  // the outer ring (0.96 R; id 1571: about a quarter turn, straight down).
  std::vector<ConnInfo> conns(3);
  conns[0].kind = 0, conns[0].id = 0, conns[0].rate = 1000, conns[0].progress = 1;
  conns[1].kind = 0, conns[1].id = 1571, conns[1].rate = 0, conns[1].progress = 0.5f;
  conns[2].kind = 1, conns[2].id = 4712, conns[2].rate = 5000;  // a mirror: not painted here
  Pixels p;
  p.clear(220, 220);
  radar_peer_pixels(p, 110, 110, 100, 1, conns, {{1, 0, 0, 1}, {0, 0, 1, 1}});
  // The mirror's rate sets the scale: the peer sends at a fifth of it, so it
  // sits at (1 - sqrt 0.2) 0.58 + 0.38 = 0.7006 R with a disc of 3.5 x 0.2 + 1.8.
  float d = ((1 - std::sqrt(0.2f)) * 0.58f + 0.38f) * 100;
  EXPECT_EQ(p.at(u32(110 + d), 110)[2], 242);  // red (a seed) at 0.95, its centre
  EXPECT_EQ(p.at(u32(110 + d), u32(110 - 4))[3], 0) << "a disc of radius 2.5";
  EXPECT_GT(p.at(u32(110 + d / 2), 110)[2], 0) << "the line from the centre";
  EXPECT_EQ(p.at(110 + 5, 110 + 20)[3], 0);
  // The idle partial peer: a blue ring of radius 2.4 around (110, 206).
  EXPECT_GT(p.at(110, 206 + 2)[0], 0);
  EXPECT_EQ(p.at(110, 206)[3], 0) << "hollow";
  EXPECT_EQ(p.at(110 + 30, 206)[3], 0) << "no line to a silent peer";
  // Outside any shape nothing is painted, and the mirror's place is empty.
  EXPECT_EQ(p.at(110, 90)[3], 0);
}

TEST(Scope, TimeAxis) {
  EXPECT_EQ(scope_span(0), 40u);
  EXPECT_EQ(scope_span(39), 40u);
  EXPECT_EQ(scope_span(40), 40u);
  EXPECT_EQ(scope_span(41), 41u);
  EXPECT_EQ(scope_span(480), 480u);
  EXPECT_EQ(scope_span(481), 480u);
  // Ten samples take the right 9/39 of the width; the newest is at R.
  EXPECT_FLOAT_EQ(scope_x(0, 390, 10, 0, 40), 300);
  EXPECT_FLOAT_EQ(scope_x(0, 390, 10, 9, 40), 390);
  EXPECT_FLOAT_EQ(scope_x(100, 580, 480, 0, 480), 100);
}

TEST(Storage, ColumnsRoomAndBars) {
  EXPECT_EQ(storage_cols(637.9f), 1);
  EXPECT_EQ(storage_cols(638), 2);
  EXPECT_EQ(storage_cols(925.9f), 2);
  EXPECT_EQ(storage_cols(926), 3);
  EXPECT_EQ(storage_cols(1213), 3);
  EXPECT_EQ(storage_cols(1214), 4);
  EXPECT_EQ(storage_cols(-100), 1);

  std::vector<DriveInfo> demo = {{L"C:\\", "SYSTEM", "NTFS", 953 * kGiB, 212 * kGiB, 3},
                                 {L"D:\\", "GAMES", "NTFS", 1863 * kGiB, 1214 * kGiB, 3},
                                 {L"E:\\", "SCRATCH", "NTFS", 476 * kGiB, 61 * kGiB, 3}};
  EXPECT_EQ(most_room(demo), (std::vector<bool>{false, true, false}));
  EXPECT_EQ(used_segments(953 * kGiB, 212 * kGiB), 32);
  EXPECT_EQ(used_segments(1863 * kGiB, 1214 * kGiB), 14);
  EXPECT_EQ(used_segments(476 * kGiB, 61 * kGiB), 35);
  EXPECT_EQ(fits_isos(212 * kGiB), 33u);
  EXPECT_EQ(fits_isos(1214 * kGiB), 191u);
  EXPECT_EQ(fits_isos(61 * kGiB), 9u);
  EXPECT_EQ(fits_isos(13 * kGiB), 2u);
  EXPECT_EQ(fits_isos(6500ull * 1048576 - 1), 0u);
  EXPECT_EQ(used_segments(10 * kGiB, 1 * kGiB), 36);  // 90 % exactly
  EXPECT_EQ(used_segments(100, 0), 40);
  EXPECT_EQ(used_segments(0, 0), 0);
  EXPECT_EQ(used_segments(100, 150), 0);  // more free than total: nothing used

  // Ties are all marked; a removable or network drive never is; a fixed
  // drive with nothing free is when all are.
  std::vector<DriveInfo> d = {{L"C:\\", "", "", 10, 5, 3}, {L"D:\\", "", "", 10, 5, 3}, {L"F:\\", "", "", 99, 90, 2},
                              {L"N:\\", "", "", 99, 90, 4}};
  EXPECT_EQ(most_room(d), (std::vector<bool>{true, true, false, false}));
  d = {{L"C:\\", "", "", 10, 0, 3}, {L"D:\\", "", "", 10, 0, 3}};
  EXPECT_EQ(most_room(d), (std::vector<bool>{true, true}));
  EXPECT_TRUE(most_room({}).empty());
}

TEST(Picker, RowsAndHeight) {
  // The edition word stops 12 before the BT mark, or the size without one.
  EXPECT_FLOAT_EQ(edition_room(100, 500, 30, 10), 500 - 74 - 10 - 12 - 100);
  EXPECT_FLOAT_EQ(edition_room(100, 500, 30, 0), 500 - 14 - 30 - 12 - 100);
  EXPECT_FLOAT_EQ(picker_rows({}, 100).height, 106);
  EXPECT_FLOAT_EQ(picker_rows({}, 100).own_top, 100 + 18 + 40 + 8);
  PickerRows p = picker_rows({"UBUNTU", "UBUNTU", "UBUNTU"}, 0);
  EXPECT_FLOAT_EQ(p.height, 18 + 36 * 3 + 8 + 40);
  // Two Ubuntu rows and a Fedora row: 6 DIPs more before the Fedora row only.
  p = picker_rows({"UBUNTU", "UBUNTU", "FEDORA"}, 10);
  EXPECT_EQ(p.tops, (std::vector<float>{28, 64, 106}));
  EXPECT_FLOAT_EQ(p.height, 18 + 36 * 3 + 6 + 8 + 40);
}

TEST(TransfersPage, Layout) {
  // The console at 1640 x 1000 with the sidebar collapsed.
  XferLayout x = xfer_layout({72, 44, 1640, 1000});
  EXPECT_FLOAT_EQ(x.list_w, 300);
  EXPECT_FLOAT_EQ(x.top, 166);
  EXPECT_FLOAT_EQ(x.detail_x, 402);
  EXPECT_FLOAT_EQ(x.detail_w, 1198);
  EXPECT_FLOAT_EQ(x.field_h, 200);
  EXPECT_FLOAT_EQ(x.displays_y, 482);
  EXPECT_FLOAT_EQ(x.displays_h, 230);
  EXPECT_TRUE(x.map);  // 944 DIPs beside the radar
  EXPECT_FLOAT_EQ(x.scope_w, 0.58f * 944);
  EXPECT_FLOAT_EQ(x.map_rect.left, 402 + 0.58f * 944 + 16);
  EXPECT_FLOAT_EQ(x.map_rect.right, 1338);
  EXPECT_FLOAT_EQ(x.counters_y, 730);
  EXPECT_FLOAT_EQ(x.counters_w, 878);
  EXPECT_FLOAT_EQ(x.bar_w, 420);
  EXPECT_FLOAT_EQ(x.buttons_y, 730);  // beside the counters

  // Narrow: no map, the scope ends 24 DIPs left of the radar, the buttons go
  // 58 below the counters, which take the full width.
  x = xfer_layout({0, 0, 900, 700});
  EXPECT_FLOAT_EQ(x.list_w, 216);
  EXPECT_FALSE(x.map);
  EXPECT_FLOAT_EQ(x.detail_x + x.scope_w, x.detail_r - x.displays_h - 24);
  EXPECT_LT(x.detail_w - 320, 400);
  EXPECT_FLOAT_EQ(x.buttons_y, x.counters_y + 58);
  EXPECT_FLOAT_EQ(x.counters_w, x.detail_w);
  // Small windows keep the instruments at their least sizes.
  x = xfer_layout({0, 0, 500, 300});
  EXPECT_FLOAT_EQ(x.list_w, 210);
  EXPECT_FLOAT_EQ(x.field_h, 90);
  EXPECT_FLOAT_EQ(x.displays_h, 110);
}

TEST(TransfersPage, ActionsAndSplit) {
  using V = std::vector<XferAction>;
  EXPECT_EQ(xfer_actions(TState::Done), (V{RemoveFromList, ShowInFolder}));
  EXPECT_EQ(xfer_actions(TState::Paused), (V{CancelJob, ResumeJob}));
  EXPECT_EQ(xfer_actions(TState::Failed), (V{CancelJob, ResumeJob}));
  for (TState s : {TState::Idle, TState::Starting, TState::Running, TState::Checking, TState(9)})
    EXPECT_EQ(xfer_actions(s), (V{CancelJob, PauseJob}));
  // Nothing received yet: an empty bar, neither cyan nor pink.
  SplitBar none = split_bar(0, 0, 400);
  EXPECT_TRUE(none.empty);
  EXPECT_EQ(none.mirrors + none.peers, 0);
  SplitBar some = split_bar(3, 1, 400);
  EXPECT_FALSE(some.empty);
  EXPECT_FLOAT_EQ(some.mirrors, 300);
  EXPECT_FLOAT_EQ(some.peers, 100);
  EXPECT_FLOAT_EQ(split_bar(0, 5, 400).peers, 400);
}
