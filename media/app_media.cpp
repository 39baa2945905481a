// The application's way from a chosen install image to a queued download:
// the media-folder gate, the download action and the wizard's media half;
// and the demonstration transfer data of the screenshot series.
#include "app/app.h"

#include <algorithm>
#include <cmath>

#include "machines/library.h"
#include "media/media.h"

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
