// The download flow of the console: the media-folder gate, the download
// action, the wizard's media half, and a machine waiting for its media that
// launches through the QEMU bridge once the image is verified.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include "app/app.h"
#include "machines/fleet.h"
#include "machines/library.h"
#include "machines/proc.h"
#include "machines/profile.h"
#include "machines/settings.h"
#include "media/media.h"
#include "tests/fleet/fleet_test_util.h"
#include "tests/support/test_support.h"

namespace {

MediaItem item_of(const std::string& file) {
  MediaItem m;
  m.distro = "TEST";
  m.label = "1.0";
  m.file = file;
  m.url = strf("http://127.0.0.1:%d/%s", atoi(env_str("VUNK_MEDIA_PORT").c_str()) + 20, file.c_str());
  m.sha256 = read_bytes(build_path("tests/fixture-media/www/" + file + ".sha256")).substr(0, 64);
  return m;
}

const Profile* linux_profile() {
  for (const Profile& p : kProfiles)
    if (std::string(p.id) == "linux-x64") return &p;
  return nullptr;
}

struct Reset {
  std::wstring dir = test_dir("app-media");
  Reset() { g_set.media_dir.clear(); }
  ~Reset() {
    g_media.jobs.clear();
    g_cat.items.clear();
    remove_tree(dir);
  }
};

}  // namespace

TEST(DownloadFlow, ParkingAndQueueing) {
  Reset reset;
  App a;
  a.view = App::Wizard;
  a.wizard_step = 1;
  a.now = 12;
  auto first = std::make_shared<int>(0);
  std::weak_ptr<int> first_alive = first;
  a.need_storage([first] { ++*first; });
  first.reset();
  EXPECT_EQ(a.view, App::Storage);
  EXPECT_EQ(a.parked_view, App::Wizard);
  EXPECT_EQ(a.view_since, 12);
  EXPECT_EQ(a.wizard_step, 1) << "the view returned to keeps its state";

  // A download parked second drops the first action unrun.
  MediaItem it = item_of("a.iso");
  a.download(it, false);
  EXPECT_TRUE(first_alive.expired());
  EXPECT_TRUE(g_media.jobs.empty());

  // The storage view picks a folder, goes back and runs the action.
  g_set.media_dir = reset.dir;
  a.view = App::Wizard;
  auto action = std::move(a.parked);
  action();
  ASSERT_EQ(g_media.jobs.size(), 1u);
  EXPECT_EQ(a.transfer_sel, "a.iso");
  EXPECT_EQ(a.view, App::Wizard);

  // With a folder: at once; the same job again, shown on the transfers page.
  a.transfer_sel.clear();
  a.download(it, true);
  EXPECT_EQ(g_media.jobs.size(), 1u);
  EXPECT_EQ(a.transfer_sel, "a.iso");
  EXPECT_EQ(a.view, App::Transfers);

  // The folder goes missing between the park and the run.
  g_set.media_dir.clear();
  a.download(item_of("b.iso"), true);
  g_set.media_dir = path_join(reset.dir, L"gone");
  a.parked();
  EXPECT_EQ(g_media.jobs.size(), 1u);
  EXPECT_EQ(a.toast.text, "COULD NOT START THE DOWNLOAD");
  EXPECT_EQ(a.toast.colour.g, pal.red.g);
}

// The wizard's machine waits for its image, which downloads from the loopback
// mirror; once verified the machine launches through the QEMU bridge.
TEST(DownloadFlow, WaitingMachineLaunchesWhenVerified) {
  Reset reset;
  std::wstring bq = build_path("qemu");
  ASSERT_TRUE(file_exists(path_join(bq, L"qemu-system-x86_64.exe"))) << "the QEMU bridge is not built";
  g_set.qemu_dir = bq;
  g_set.machines_dir = path_join(reset.dir, L"machines");
  CreateDirectoryW(g_set.machines_dir.c_str(), nullptr);
  g_fleet.main = test_main_window();
  g_fleet.last_discover = now_s() + 1e9;

  App a;
  a.view = App::Wizard;
  a.wizard_profile = linux_profile();
  ASSERT_TRUE(a.wizard_profile);
  MediaItem it = item_of("b.iso");
  g_cat.items = {item_of("a.iso"), it};
  a.media_pick = "b.iso";
  EXPECT_EQ(a.picked_media(), &g_cat.items[1]);

  // No folder: the whole install is parked behind the storage view.
  EXPECT_TRUE(a.install_needs_storage());
  EXPECT_EQ(a.view, App::Storage);
  EXPECT_TRUE(bool(a.parked));
  a.parked = nullptr;
  a.view = App::Wizard;
  g_set.media_dir = path_join(reset.dir, L"media");
  CreateDirectoryW(g_set.media_dir.c_str(), nullptr);
  EXPECT_FALSE(a.install_needs_storage());

  Machine* m = g_lib.create("MEDIA WAIT", "linux-x64");
  ASSERT_TRUE(m);
  m->disk = path_join(m->dir, L"disk.qcow2");
  std::string out;
  ASSERT_TRUE(run_capture(quote_arg(path_join(bq, L"qemu-img.exe")) + L" create -f qcow2 " + quote_arg(m->disk) + L" 32M",
                          out, 30000)) << out;
  m->cdrom = g_media.path(it);
  m->install = true;
  ASSERT_TRUE(m->save());

  ASSERT_TRUE(a.install_download(*m));
  EXPECT_EQ(a.view, App::Transfers);
  EXPECT_EQ(a.transfer_sel, "b.iso");
  MediaJob* job = g_media.find("b.iso");
  ASSERT_TRUE(job);
  EXPECT_EQ(job->launch_after, m->id);

  int verified = 0;
  g_media.on_verified = [&](MediaJob& j) {
    ++verified;
    a.media_verified(j);
  };
  g_media.on_failed = [&](MediaJob& j) { a.media_failed(j); };
  ASSERT_TRUE(pump_until([&] {
    g_media.tick();
    return job->snap.state == TState::Done || job->snap.state == TState::Failed;
  }, 60)) << job->snap.error;
  ASSERT_EQ(job->snap.state, TState::Done) << job->snap.error;
  for (int i = 0; i < 20; ++i) g_media.tick();
  EXPECT_EQ(verified, 1);
  EXPECT_EQ(a.toast.text, "TEST 1.0 VERIFIED: SHA-256 MATCHES THE OFFICIAL CHECKSUM.");
  EXPECT_TRUE(job->launch_after.empty());
  Vm* vm = a.running_on(*m);
  ASSERT_TRUE(vm) << a.toast.text;
  ASSERT_TRUE(pump_until([&] {
    g_fleet.tick();
    return vm->phase == 1 && vm->status == "running";
  }, 90)) << read_bytes(vm->log_path);
  EXPECT_NE(read_bytes(vm->log_path).find(narrow(g_media.path(it))), std::string::npos);

  // Once its media is on disk, the install needs no download.
  EXPECT_FALSE(a.install_download(*m));

  g_fleet.force_off(*vm);
  EXPECT_TRUE(pump_until([&] {
    g_fleet.tick();
    return vm->phase == 2;
  }, 30));
  g_media.on_verified = nullptr;
  g_media.on_failed = nullptr;
  g_fleet.remove(vm);
  g_lib.forget(m);
}
