// The media store: downloads chosen install images into the media folder one
// at a time through the transfer engine and reports each verified or failed
// run once. It runs no thread of its own: tick, called once per frame on the
// user-interface thread, polls the downloads and starts the next one.
//
// Also here: the list of drives that can hold the media folder.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/common.h"
#include "media/catalog.h"
#include "transfer/transfer.h"

// One download of the store.
struct MediaJob {
  MediaItem item;                      // item.file is the job's key
  std::unique_ptr<Transfer> transfer;  // null only in demonstration jobs
  bool started = false;                // the scheduler started the current Transfer
  std::string launch_after;            // machine id to launch once verified
  double last_sample = 0;              // now_s of the last history sample
  std::vector<float> hist_down, hist_mirrors, hist_peers;  // at most 480 each
  TransferSnapshot snap;               // copy taken by the last tick
  bool notified = false;               // a callback fired for the current run
};

// Media state codes of MediaStore::state.
enum : int {
  kMediaNone = 0,
  kMediaOnDisk = 1,
  kMediaPartial = 2,
  kMediaQueued = 3,
  kMediaBusy = 4,
  kMediaFailed = 5,
};

struct MediaStore {
  std::vector<std::unique_ptr<MediaJob>> jobs;  // in the order first queued
  std::function<void(MediaJob&)> on_verified;   // once per run reaching VERIFIED
  std::function<void(MediaJob&)> on_failed;     // once per run reaching FAILED

  // media_dir is set and names an existing folder.
  bool has_dir() const;
  std::wstring dir() const;
  std::wstring path(const MediaItem& item) const;
  MediaJob* find(const std::string& file);
  // The media state code of an item; job and frac may be null.
  int state(const MediaItem& item, MediaJob** job, float* frac);
  // Queues the item (or re-queues its paused or failed job); null without a
  // media folder.
  MediaJob* start(const MediaItem& item);
  // Queues the job again with a fresh Transfer at its old place.
  void resume(MediaJob* job);
  void pause(MediaJob* job);
  // Cancels the download (its files are deleted) and forgets the job.
  void cancel(MediaJob* job);
  // Removes and destroys the job; the pointer dangles afterwards.
  void forget(MediaJob* job);
  // The per-frame step at the clock now_s().
  void tick();
  // The same at a given clock (seconds), so the sampling rate can be tested.
  void tick_at(double now);
  int busy_count() const;
  float busy_progress() const;
  // Pauses every download, quietly, so the resume files stay valid at exit.
  void shutdown();
};
extern MediaStore g_media;

// What the engine is given for an item downloading into dir.
TransferSpec spec_of(const MediaItem& item, const std::wstring& dir);

// ---- drives ------------------------------------------------------------------

struct DriveInfo {
  std::wstring root;  // "C:\"
  std::string label;  // empty when unreadable or unlabelled
  std::string fs;     // "NTFS"; empty when unreadable
  u64 total = 0;      // bytes
  u64 free = 0;       // bytes free for this user
  int type = 0;       // 2 removable, 3 fixed, 4 network
};

// Removable, fixed and network drives with a medium, in drive-letter order;
// the fixed demonstration list while g_demo_drives is set.
std::vector<DriveInfo> list_drives();
extern bool g_demo_drives;

// ---- demonstration data ---------------------------------------------------------

// The snapshot a busy multi-source download of item would publish t seconds
// after its start (complete at 140 s); deterministic, no network.
TransferSnapshot demo_snapshot(const MediaItem& item, double t);
// Appends a job without a Transfer holding demo_snapshot(item, t) in the given
// state to g_media (the store leaves such jobs alone) and returns it.
MediaJob& add_demo_job(const MediaItem& item, double t, TState state);
