// The application's way from a chosen install image to a queued download:
// the media-folder gate, the download action and the wizard's media half.
#include "app/app.h"
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
