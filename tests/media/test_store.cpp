// The media store with the real transfer engine against an nginx mirror on
// loopback (tests/fixtures/media), and the drive list under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "machines/settings.h"
#include "media/media.h"
#include "tests/support/test_support.h"
#include "transfer/transfer_plan.h"
#include "transfer/transfer_resume.h"

namespace {

std::wstring served(const std::string& file) { return build_path("tests/fixture-media/www/" + file); }

// An item for one of the mirror's files; `slow` takes its 1 MiB/s road.
MediaItem item_of(const std::string& file, bool slow = false) {
  MediaItem m;
  m.distro = "TEST";
  m.label = file;
  m.file = file;
  m.url = strf("http://127.0.0.1:%d/%s%s", atoi(env_str("VUNK_MEDIA_PORT").c_str()) + 20, slow ? "slow/" : "",
               file.c_str());
  m.sha256 = read_bytes(served(file + ".sha256")).substr(0, 64);
  m.size = file_size(served(file));
  return m;
}

std::string log_text() { return read_bytes(path_join(exe_dir(), L"vunk.log")); }

// A store with a media folder of its own and counted callbacks.
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
    for (double end = now_s() + seconds; now_s() < end; Sleep(10)) {
      st.tick();
      if (each) each();
      if (until()) return true;
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
  ASSERT_EQ(demo.size(), 3u);
  const char* labels[] = {"SYSTEM", "GAMES", "SCRATCH"};
  u64 sizes[][2] = {{953 * G, 212 * G}, {1863 * G, 1214 * G}, {476 * G, 61 * G}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(demo[i].root, std::wstring(1, wchar_t('C' + i)) + L":\\");
    EXPECT_EQ(demo[i].label, labels[i]);
    EXPECT_EQ(demo[i].fs, "NTFS");
    EXPECT_EQ(demo[i].total, sizes[i][0]);
    EXPECT_EQ(demo[i].free, sizes[i][1]);
    EXPECT_EQ(demo[i].type, 3);
  }
  auto real = list_drives();
  ASSERT_FALSE(real.empty());
  EXPECT_EQ(real[0].root, L"C:\\");
  for (auto& d : real) {
    EXPECT_TRUE(d.type == 2 || d.type == 3 || d.type == 4) << narrow(d.root);
    EXPECT_GT(d.total, 0u) << narrow(d.root);
    EXPECT_LE(d.free, d.total) << narrow(d.root);
  }
}

TEST(Store, NoFolderAndStateFromDisk) {
  MediaStore st;
  MediaItem it = item_of("a.iso");
  size_t log_before = log_text().size();
  for (const wchar_t* none : {L"", L"C:\\no\\such\\folder"}) {
    g_set.media_dir = none;
    EXPECT_EQ(st.start(it), nullptr);
    float frac = -1;
    EXPECT_EQ(st.state(it, nullptr, &frac), kMediaNone);
    EXPECT_EQ(frac, 0);
  }
  EXPECT_EQ(log_text().size(), log_before) << "nothing logged without a folder";
  std::wstring dir = test_dir("media-disk");
  g_set.media_dir = dir;
  ASSERT_TRUE(write_bytes(path_join(dir, L"a.iso"), "iso"));
  float frac = 0;
  EXPECT_EQ(st.state(it, nullptr, &frac), kMediaOnDisk);
  EXPECT_EQ(frac, 1);
  // A part file without readable resume data is nothing to resume.
  ASSERT_TRUE(write_bytes(path_join(dir, L"b.iso.part"), "xx"));
  ASSERT_TRUE(write_bytes(path_join(dir, L"b.iso.part.resume"), "VUNK-TRANSFER 1\ngarbage\n"));
  EXPECT_EQ(st.state(item_of("b.iso"), nullptr, nullptr), kMediaNone);
  // Resume data of a 10 MiB file with its first and last piece (4 + 2 MiB)
  // on disk: partial at 60 %.
  ResumeData r;
  r.total = 10u << 20;
  r.piece_size = kPieceSize;
  r.pieces = 3;
  r.have = {true, false, true};
  r.done = 6u << 20;
  ASSERT_TRUE(write_bytes(path_join(dir, L"b.iso.part.resume"), resume_text(r)));
  frac = 0;
  EXPECT_EQ(st.state(item_of("b.iso"), nullptr, &frac), kMediaPartial);
  EXPECT_FLOAT_EQ(frac, 0.6f);
  remove_tree(dir);
}

// Two queued items run one after the other; each reports once however many
// frames follow; a verified job queued again reports again; pausing it does
// nothing.
TEST(Store, QueueRunsOneAfterTheOther) {
  Store s;
  MediaItem a = item_of("a.iso"), b = item_of("b.iso");
  a.torrent = "http://127.0.0.1:1/a.torrent";  // unreachable: the mirror still serves
  MediaJob* ja = s.st.start(a);
  MediaJob* jb = s.st.start(b);
  ASSERT_TRUE(ja && jb);
  EXPECT_EQ(s.st.start(b), jb) << "a queued item is not queued twice";
  EXPECT_EQ(s.st.state(b, nullptr, nullptr), kMediaQueued);
  EXPECT_EQ(s.st.busy_count(), 2);
  bool overlap = false;
  ASSERT_TRUE(s.run([&] { return st_of(jb) == TState::Done || s.failed; }, 120, [&] {
    overlap |= jb->started && st_of(ja) != TState::Done;
  })) << ja->snap.error << " / " << jb->snap.error;
  EXPECT_FALSE(overlap);
  EXPECT_EQ(s.failed, 0) << ja->snap.error << " / " << jb->snap.error;
  for (int i = 0; i < 30; ++i) s.st.tick();
  EXPECT_EQ(s.verified, 2);
  EXPECT_EQ(s.st.busy_count(), 0);
  EXPECT_EQ(s.st.state(a, nullptr, nullptr), kMediaOnDisk);

  s.st.pause(ja);
  s.st.tick();
  EXPECT_EQ(st_of(ja), TState::Done) << "a verified download is not paused";
  s.st.resume(ja);
  EXPECT_TRUE(s.run([&] { return s.verified == 3; }, 60));
  for (int i = 0; i < 30; ++i) s.st.tick();
  EXPECT_EQ(s.verified, 3);

  std::string log = log_text();
  for (std::string line : {"media: queued a.iso (" + a.url + " + torrent)", "media: queued b.iso (" + b.url + ")",
                           std::string("media: started b.iso"), std::string("media: resume queued a.iso"),
                           "media: a.iso verified, sha256 " + a.sha256 + " (8.0M via mirrors, 0B via peers, 0B uploaded)"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
  EXPECT_EQ(log.find("media: paused a.iso"), std::string::npos);
}

// Pausing the running job starts the next one on the following tick; the
// paused one, queued again, keeps its place and finishes; shutdown pauses
// what is unfinished and leaves what is verified.
TEST(Store, PauseResumeCancelAndShutdown) {
  Store s;
  MediaItem c = item_of("c.iso", true), b = item_of("b.iso");
  MediaJob* jc = s.st.start(c);
  MediaJob* jb = s.st.start(b);
  ASSERT_TRUE(s.run([&] { return st_of(jc) == TState::Running && jc->snap.done > 0; }, 30));
  EXPECT_EQ(s.st.state(c, nullptr, nullptr), kMediaBusy);
  EXPECT_FALSE(jb->started);
  float p = s.st.busy_progress();
  EXPECT_TRUE(p > 0 && p < 1) << p;

  s.st.pause(jc);
  s.st.tick();
  EXPECT_TRUE(jb->started) << "the next job starts on the tick after the pause";
  ASSERT_TRUE(s.run([&] { return st_of(jb) == TState::Done; }, 60)) << jb->snap.error;
  float frac = 0;
  EXPECT_EQ(s.st.state(c, nullptr, &frac), kMediaPartial);
  EXPECT_TRUE(frac > 0 && frac < 1) << frac;

  EXPECT_EQ(s.st.start(c), jc);
  EXPECT_EQ(s.st.jobs[0].get(), jc) << "queued again at its old place";
  EXPECT_EQ(jc->snap.label, "PARTIAL");
  ASSERT_TRUE(s.run([&] { return st_of(jc) == TState::Running; }, 30));
  s.st.shutdown();
  s.st.tick();
  EXPECT_EQ(st_of(jb), TState::Done);
  EXPECT_EQ(st_of(jc), TState::Paused);
  u64 done = 0, total = 0;
  EXPECT_TRUE(transfer_resume_info(s.dir, "c.iso", done, total));
  EXPECT_EQ(total, c.size);

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
  s.st.tick_at(t);
  std::vector<size_t> sizes;
  for (int i = 0; i < 7; ++i) {
    s.st.tick_at(t += 0.1);
    sizes.push_back(j->hist_down.size());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 1, 1, 2, 2, 2, 3}));
  for (int i = 0; i < 2000; ++i) s.st.tick_at(t += 0.3);
  EXPECT_EQ(j->hist_down.size(), 480u);
  EXPECT_EQ(j->hist_peers.size(), 480u);
}

// The program is killed in the middle of a download: the next run sees the
// part as resumable, with its numbers, and takes it to VERIFIED.
TEST(Store, KilledDuringADownloadResumesToVerified) {
  Store s;
  MediaItem c = item_of("c.iso", true);
  std::wstring cmd = L"\"" + build_path("tests/media_driver.exe") + L"\" \"" + s.dir + L"\" " + widen(c.url) +
                     L" c.iso " + widen(c.sha256) + widen(strf(" %llu", (unsigned long long)c.size));
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(start_program(cmd, pi));
  u64 done = 0, total = 0;
  for (double end = now_s() + 30; now_s() < end && !(transfer_resume_info(s.dir, "c.iso", done, total) && done > 0);)
    Sleep(100);
  TerminateProcess(pi.hProcess, 9);
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  ASSERT_TRUE(done > 0 && done < c.size) << done;

  float frac = 0;
  ASSERT_EQ(s.st.state(c, nullptr, &frac), kMediaPartial);  // its fraction: see NoFolderAndStateFromDisk
  EXPECT_TRUE(frac > 0 && frac < 1) << frac;
  transfer_resume_info(s.dir, "c.iso", done, total);
  MediaJob* j = s.st.start(c);
  EXPECT_EQ(j->snap.label, "PARTIAL");
  EXPECT_EQ(j->snap.done, done);
  ASSERT_TRUE(s.run([&] { return st_of(j) == TState::Done || st_of(j) == TState::Failed; }, 120));
  EXPECT_EQ(st_of(j), TState::Done) << j->snap.error;
  EXPECT_EQ(read_bytes(s.st.path(c)), read_bytes(served("c.iso")));
  EXPECT_EQ(s.verified, 1);
}

// A name from a release server that would reach outside the media folder
// starts nothing, through the store or handed to a Transfer: a folder beside
// the media folder keeps what it holds, cancel included.
TEST(Store, NamesOutsideTheFolderAreRefused) {
  Store s;
  std::wstring beside = test_dir("beside");
  for (const wchar_t* f : {L"x.iso", L"x.iso.part", L"x.iso.part.resume"})
    ASSERT_TRUE(write_bytes(path_join(beside, f), "mine"));
  auto listing = [&] {
    std::string out;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(path_join(beside, L"*").c_str(), &fd);
    for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileW(h, &fd))
      out += narrow(fd.cFileName) + "=" + read_bytes(path_join(beside, fd.cFileName)) + " ";
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    return out;
  };
  const std::string before = listing();
  const std::string up = "..\\" + narrow(path_leaf(beside)) + "\\x.iso";
  for (std::string name : {up, "../" + narrow(path_leaf(beside)) + "/x.iso", std::string("C:x.iso"),
                           std::string(".x.iso"), std::string("x\r\n.iso"), std::string()}) {
    MediaItem m = item_of("a.iso");
    m.file = name;
    EXPECT_EQ(s.st.start(m), nullptr) << name;
    EXPECT_EQ(s.st.state(m, nullptr, nullptr), kMediaNone) << name;
    Transfer t(spec_of(m, s.dir));
    t.start();
    t.pause();
    EXPECT_EQ(t.snapshot().state, TState::Failed) << name;
    EXPECT_EQ(t.snapshot().error, "not a plain file name");
    t.cancel();
  }
  EXPECT_TRUE(s.st.jobs.empty());
  EXPECT_EQ(listing(), before);
  EXPECT_NE(log_text().find("media: refused \"" + up + "\": not a plain file name"), std::string::npos);
  EXPECT_NE(log_text().find("media: refused \"x??.iso\": not a plain file name"), std::string::npos);
  remove_tree(beside);
}
