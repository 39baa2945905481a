// The media store with the real transfer engine against an nginx mirror on
// loopback (tests/fixtures/media), and the drive list under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "machines/settings.h"
#include "media/media.h"
#include "tests/support/test_support.h"

namespace {

std::string mirror(const std::string& path) {
  return strf("http://127.0.0.1:%s/%s", env_str("VUNK_MEDIA_PORT").c_str(), path.c_str());
}
std::wstring served(const std::string& file) { return build_path("tests/fixture-media/www/" + file); }

// An item for one of the fixture's files; `slow` takes the throttled road.
MediaItem item_of(const std::string& file, bool slow = false) {
  MediaItem m;
  m.distro = "TEST";
  m.label = file;
  m.edition = "NETINST";
  m.file = file;
  m.url = mirror((slow ? "slow/" : "") + file);
  m.sha256 = read_bytes(served(file + ".sha256")).substr(0, 64);
  m.size = file_size(served(file));
  return m;
}

std::string log_text() { return read_bytes(path_join(exe_dir(), L"vunk.log")); }

// A store of its own with a media folder of its own, emptied at the end.
struct Store {
  MediaStore st;
  std::wstring dir = test_dir("media");
  int verified = 0, failed = 0;
  Store() {
    g_set.media_dir = dir;
    st.on_verified = [this](MediaJob&) { ++verified; };
    st.on_failed = [this](MediaJob&) { ++failed; };
  }
  ~Store() {
    st.jobs.clear();
    remove_tree(dir);
  }
  // Ticks like frames until `until` holds; false when the time ran out.
  bool run(const std::function<bool()>& until, double seconds, const std::function<void()>& each = {}) {
    double end = now_s() + seconds;
    while (now_s() < end) {
      st.tick();
      if (each) each();
      if (until()) return true;
      Sleep(10);
    }
    return false;
  }
};

TState st_of(MediaJob* j) { return j->snap.state; }

}  // namespace

TEST(Drives, DemoListAndWine) {
  g_demo_drives = true;
  auto demo = list_drives();
  g_demo_drives = false;
  const u64 G = u64(1) << 30;
  struct {
    const wchar_t* root;
    const char* label;
    u64 total, free;
  } want[] = {{L"C:\\", "SYSTEM", 953 * G, 212 * G}, {L"D:\\", "GAMES", 1863 * G, 1214 * G},
              {L"E:\\", "SCRATCH", 476 * G, 61 * G}};
  ASSERT_EQ(demo.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(demo[i].root, want[i].root);
    EXPECT_EQ(demo[i].label, want[i].label);
    EXPECT_EQ(demo[i].fs, "NTFS");
    EXPECT_EQ(demo[i].total, want[i].total);
    EXPECT_EQ(demo[i].free, want[i].free);
    EXPECT_EQ(demo[i].type, 3);
  }
  EXPECT_EQ(demo[0].total, 1023275958272ull);

  auto real = list_drives();
  ASSERT_FALSE(real.empty());
  EXPECT_EQ(real[0].root, L"C:\\");
  for (auto& d : real) {
    EXPECT_TRUE(d.type == 2 || d.type == 3 || d.type == 4) << narrow(d.root);
    EXPECT_GT(d.total, 0u) << narrow(d.root);
    EXPECT_LE(d.free, d.total) << narrow(d.root);
    EXPECT_EQ(d.root.size(), 3u);
  }
}

TEST(Store, NoFolderAndStateFromDisk) {
  MediaStore st;
  MediaItem it = item_of("a.iso");
  size_t log_before = log_text().size();
  for (const std::wstring& none : {std::wstring(), std::wstring(L"C:\\no\\such\\folder")}) {
    g_set.media_dir = none;
    EXPECT_FALSE(st.has_dir());
    EXPECT_EQ(st.start(it), nullptr);
    MediaJob* job = reinterpret_cast<MediaJob*>(1);
    float frac = -1;
    EXPECT_EQ(st.state(it, &job, &frac), kMediaNone);
    EXPECT_EQ(job, nullptr);
    EXPECT_EQ(frac, 0);
  }
  EXPECT_EQ(log_text().size(), log_before) << "nothing logged without a folder";

  std::wstring dir = test_dir("media-disk");
  g_set.media_dir = dir;
  EXPECT_EQ(st.path(it), path_join(dir, L"a.iso"));
  EXPECT_EQ(st.state(it, nullptr, nullptr), kMediaNone);
  ASSERT_TRUE(write_bytes(path_join(dir, L"a.iso"), "iso"));
  float frac = 0;
  EXPECT_EQ(st.state(it, nullptr, &frac), kMediaOnDisk);
  EXPECT_EQ(frac, 1);
  // A part file without readable resume data is nothing to resume.
  ASSERT_TRUE(write_bytes(path_join(dir, L"b.iso.part"), "xx"));
  ASSERT_TRUE(write_bytes(path_join(dir, L"b.iso.part.resume"), "VUNK-TRANSFER 1\ngarbage\n"));
  EXPECT_EQ(st.state(item_of("b.iso"), nullptr, nullptr), kMediaNone);
  remove_tree(dir);

  TransferSpec s = spec_of(it, L"D:\\m");
  EXPECT_EQ(s.name, "TEST a.iso NETINST");
  EXPECT_EQ(s.mirrors, std::vector<std::string>{it.url});
  EXPECT_EQ(s.sha256, it.sha256);
  EXPECT_EQ(s.size, it.size);
  EXPECT_EQ(s.dir, L"D:\\m");
  EXPECT_EQ(s.file, "a.iso");
  EXPECT_EQ(s.http_slots, 6);
  it.url.clear();
  EXPECT_TRUE(spec_of(it, L"D:\\m").mirrors.empty());
}

// Two queued items: the second starts only once the first is verified; each
// reports once however many frames follow; a verified job re-queued reports
// again.
TEST(Store, QueueRunsOneAfterTheOther) {
  Store s;
  MediaItem a = item_of("a.iso"), b = item_of("b.iso");
  a.torrent = "http://127.0.0.1:1/a.torrent";
  MediaJob* ja = s.st.start(a);
  MediaJob* jb = s.st.start(b);
  ASSERT_TRUE(ja && jb);
  a.torrent.clear();
  EXPECT_EQ(s.st.start(b), jb) << "a queued item is not queued twice";
  EXPECT_EQ(s.st.jobs.size(), 2u);
  EXPECT_EQ(s.st.state(a, nullptr, nullptr), kMediaQueued);
  EXPECT_EQ(s.st.busy_count(), 2);
  // Before any byte: sizes come from the items.
  EXPECT_EQ(s.st.busy_progress(), 0.0f);

  bool overlap = false;
  // A torrent that cannot be fetched must not stop the mirror download; the
  // job's item keeps it, so the store hands it over.
  ASSERT_TRUE(s.run([&] { return st_of(jb) == TState::Done || s.failed; }, 120, [&] {
    if (jb->started && st_of(ja) != TState::Done && st_of(ja) != TState::Failed) overlap = true;
    if (ja->started && !jb->started) {
      EXPECT_EQ(s.st.state(b, nullptr, nullptr), kMediaQueued);
    }
  })) << ja->snap.error << " / " << jb->snap.error;
  EXPECT_FALSE(overlap);
  EXPECT_EQ(s.failed, 0) << ja->snap.error << " / " << jb->snap.error;
  EXPECT_EQ(st_of(ja), TState::Done);
  for (int i = 0; i < 30; ++i) s.st.tick();
  EXPECT_EQ(s.verified, 2);
  EXPECT_EQ(s.st.busy_count(), 0);
  EXPECT_EQ(s.st.busy_progress(), 0.0f);
  float frac = 0;
  EXPECT_EQ(s.st.state(a, nullptr, &frac), kMediaOnDisk);

  // Pausing a verified download changes nothing.
  s.st.pause(ja);
  s.st.tick();
  EXPECT_EQ(st_of(ja), TState::Done);

  // Re-queued, the file on disk proves verified again: one more report.
  s.st.resume(ja);
  EXPECT_FALSE(ja->started);
  EXPECT_TRUE(s.run([&] { return s.verified == 3; }, 60));
  for (int i = 0; i < 30; ++i) s.st.tick();
  EXPECT_EQ(s.verified, 3);

  std::string log = log_text();
  EXPECT_NE(log.find("media: queued a.iso (" + item_of("a.iso").url + " + torrent)"), std::string::npos);
  EXPECT_NE(log.find("media: queued b.iso (" + b.url + ")"), std::string::npos);
  EXPECT_NE(log.find("media: started b.iso"), std::string::npos);
  EXPECT_NE(log.find("media: resume queued a.iso"), std::string::npos);
  EXPECT_NE(log.find("media: a.iso verified, sha256 " + a.sha256 + " (8.0M via mirrors, 0B via peers, 0B uploaded)"),
            std::string::npos);
  EXPECT_EQ(log.find("media: paused a.iso"), std::string::npos);
}

// Pausing the running job lets the next one start on the following tick; the
// paused one, queued again, keeps its place and finishes.
TEST(Store, PauseStartsTheNextAndResumeKeepsThePlace) {
  Store s;
  MediaItem c = item_of("c.iso", true), b = item_of("b.iso");
  MediaJob* jc = s.st.start(c);
  MediaJob* jb = s.st.start(b);
  ASSERT_TRUE(s.run([&] { return st_of(jc) == TState::Running && jc->snap.done > 0; }, 30));
  EXPECT_EQ(s.st.state(c, nullptr, nullptr), kMediaBusy);
  EXPECT_FALSE(jb->started);
  float p = s.st.busy_progress();
  EXPECT_GT(p, 0.0f);
  EXPECT_LT(p, 1.0f);

  s.st.pause(jc);
  s.st.tick();
  EXPECT_TRUE(jb->started) << "the next job starts on the tick after the pause";
  ASSERT_TRUE(s.run([&] { return st_of(jb) == TState::Done; }, 60)) << jb->snap.error;
  float frac = 0;
  EXPECT_EQ(s.st.state(c, nullptr, &frac), kMediaPartial);
  EXPECT_GT(frac, 0.0f);
  EXPECT_LT(frac, 1.0f);
  EXPECT_EQ(s.verified, 1);

  EXPECT_EQ(s.st.start(c), jc);
  EXPECT_EQ(s.st.jobs[0].get(), jc) << "queued again at its old place";
  EXPECT_EQ(jc->snap.label, "PARTIAL");
  ASSERT_TRUE(s.run([&] { return st_of(jc) == TState::Done; }, 120)) << jc->snap.error;
  EXPECT_EQ(jc->snap.sha256, c.sha256);
  for (int i = 0; i < 10; ++i) s.st.tick();
  EXPECT_EQ(s.verified, 2);
  EXPECT_FALSE(jc->hist_down.empty());
  EXPECT_EQ(jc->hist_down.size(), jc->hist_peers.size());

  // Cancel deletes the download's files and forgets the job.
  std::wstring final_path = s.st.path(c);
  EXPECT_TRUE(file_exists(final_path));
  s.st.cancel(jb);
  EXPECT_EQ(s.st.find("b.iso"), nullptr);
  EXPECT_EQ(s.st.jobs.size(), 1u);
  EXPECT_NE(log_text().find("media: cancelled b.iso"), std::string::npos);
}

// With frames 0.1 s apart a sample is taken every third frame, and no series
// grows past 480 samples.
TEST(Store, HistoriesSampleFourTimesASecondUpTo480) {
  Store s;
  MediaJob* j = s.st.start(item_of("c.iso", true));
  double t = 1000;
  s.st.tick_at(t);  // starts it
  ASSERT_TRUE(j->started);
  std::vector<size_t> sizes;
  for (int i = 0; i < 7; ++i) {
    t += 0.1;
    s.st.tick_at(t);
    sizes.push_back(j->hist_down.size());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 1, 1, 2, 2, 2, 3}));
  for (int i = 0; i < 2000; ++i) s.st.tick_at(t += 0.3);
  EXPECT_EQ(j->hist_down.size(), 480u);
  EXPECT_EQ(j->hist_mirrors.size(), 480u);
  EXPECT_EQ(j->hist_peers.size(), 480u);
}

// The program is killed in the middle of a download: the next run sees the
// part as resumable, with its numbers, and takes it to VERIFIED.
TEST(Store, KilledDuringADownloadResumesToVerified) {
  Store s;
  MediaItem c = item_of("c.iso", true);
  std::wstring cmd = L"\"" + build_path("tests/media_driver.exe") + L"\" \"" + s.dir + L"\" " + widen(c.url) +
                     L" c.iso " + widen(c.sha256) + widen(strf(" %llu", (unsigned long long)c.size));
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  // The resume file is saved every few seconds while the download runs.
  u64 done = 0, total = 0;
  double end = now_s() + 30;
  while (now_s() < end && !(transfer_resume_info(s.dir, "c.iso", done, total) && done > 0)) Sleep(100);
  TerminateProcess(pi.hProcess, 9);
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  ASSERT_GT(done, 0u) << "no resume data within 30 s";
  ASSERT_LT(done, c.size) << "the download ended before the kill";

  float frac = 0;
  ASSERT_EQ(s.st.state(c, nullptr, &frac), kMediaPartial);
  transfer_resume_info(s.dir, "c.iso", done, total);
  EXPECT_EQ(total, c.size);
  EXPECT_FLOAT_EQ(frac, float(double(done) / double(total)));

  MediaJob* j = s.st.start(c);
  ASSERT_TRUE(j);
  EXPECT_EQ(j->snap.label, "PARTIAL");
  EXPECT_EQ(j->snap.done, done);
  ASSERT_TRUE(s.run([&] { return st_of(j) == TState::Done || st_of(j) == TState::Failed; }, 120));
  EXPECT_EQ(st_of(j), TState::Done) << j->snap.error;
  EXPECT_EQ(read_bytes(s.st.path(c)), read_bytes(served("c.iso")));
  EXPECT_EQ(s.verified, 1);
}

// At exit every unfinished download is paused with valid resume data; a
// verified one stays verified.
TEST(Store, ShutdownLeavesResumableDownloads) {
  Store s;
  MediaJob* ja = s.st.start(item_of("a.iso"));
  ASSERT_TRUE(s.run([&] { return st_of(ja) == TState::Done; }, 60)) << ja->snap.error;
  MediaJob* jc = s.st.start(item_of("c.iso", true));
  ASSERT_TRUE(s.run([&] { return st_of(jc) == TState::Running && jc->snap.done > 0; }, 30));
  s.st.shutdown();
  s.st.tick();
  EXPECT_EQ(st_of(ja), TState::Done);
  EXPECT_EQ(st_of(jc), TState::Paused);
  s.st.jobs.clear();  // what the end of the process does
  u64 done = 0, total = 0;
  EXPECT_TRUE(transfer_resume_info(s.dir, "c.iso", done, total));
  EXPECT_EQ(total, item_of("c.iso").size);
  EXPECT_TRUE(file_exists(path_join(s.dir, L"a.iso")));
}
