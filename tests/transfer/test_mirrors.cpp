// Downloads from real nginx mirrors and from a mirror that misbehaves on
// purpose (tests/fixtures/mirrors), checked against the served files, the
// servers' own logs and byte counters.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "tests/support/test_support.h"
#include "tests/transfer/xfer_test_util.h"
#include "transfer/transfer.h"
#include "transfer/transfer_plan.h"

namespace {

int port(int n) { return fixture_port(n); }

TEST(Mirrors, ThreeNginxMirrorsSixSlotsBigFile) {
  std::wstring dir = test_dir("xfer-big");
  Transfer t(spec_for(dir, "big.bin", {nginx(0, "big.bin"), nginx(1, "big.bin"), nginx(2, "big.bin")}));
  EXPECT_EQ(t.snapshot().state, TState::Idle);
  t.start();
  EXPECT_EQ(t.snapshot().state, TState::Starting);
  bool saw_six = false;
  TransferSnapshot s = wait_for(t, [&](const TransferSnapshot& s) {
    if (s.state == TState::Running && s.conns.size() == 6) saw_six = true;
    return settled(s);
  }, 180);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_EQ(s.label, "VERIFIED");
  EXPECT_EQ(s.sha256, sha_of("big.bin"));
  EXPECT_EQ(s.done, size_of("big.bin"));
  EXPECT_EQ(s.via_mirrors, s.total);
  EXPECT_EQ(s.pieces, 64u);
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/big.bin")));
  expect_no_side_files(t.final_path());
  // From the servers' logs: body bytes per mirror, and the most ranged
  // requests that carried data at one moment.
  std::vector<std::pair<double, int>> edges;
  for (int n = 0; n < 3; ++n) {
    std::istringstream in(read_bytes(fixture(strf("ngx%d.log", n))));
    double end, took;
    int status;
    u64 bytes, mirror_bytes = 0;
    std::string range;
    while (in >> end >> took >> status >> bytes >> range) {
      if (status != 206 || bytes < (1u << 20)) continue;
      mirror_bytes += bytes;
      edges.push_back({end - took, 1});
      edges.push_back({end, -1});
    }
    EXPECT_GT(mirror_bytes, size_of("big.bin") / 6) << "mirror " << n;
  }
  std::sort(edges.begin(), edges.end());
  int open = 0, most = 0;
  for (auto& e : edges) most = std::max(most, open += e.second);
  // Never more than the six slots. That all six ran at once the snapshot
  // shows on a busy machine, the servers' logs on an idle one (where the
  // whole file can be in between two snapshots; the servers' clocks can
  // split a moment of six on a busy one). A download taken one request at
  // a time cannot pass.
  EXPECT_LE(most, 6);
  EXPECT_GE(most, 3);
  EXPECT_TRUE(saw_six || most == 6) << "at most " << most << " requests at once";
  remove_tree(dir);
}

TEST(Mirrors, BrokenMirrorsAreDroppedAndTheRestFinish) {
  std::wstring dir = test_dir("xfer-faulty");
  std::wstring log = path_join(dir, L"engine.log");
  SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", log.c_str());
  // The good mirror is slow enough (12 s) for the stall rule to act first.
  TransferSpec spec = spec_for(dir, "small.bin", {faulty("e404", "small.bin"), faulty("e500", "small.bin"),
                                                  faulty("stall", "small.bin"), faulty("slow2097152", "small.bin")});
  spec.http_slots = 4;
  Transfer t(spec);
  t.start();
  TransferSnapshot s = wait_for(t, settled, 60);
  SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", nullptr);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/small.bin")));
  std::string text = read_bytes(log);
  for (const char* dropped : {"/e404/small.bin dropped: HTTP 404", "/e500/small.bin dropped: HTTP 500",
                              "/stall/small.bin dropped: mirror stalled"})
    EXPECT_NE(text.find(dropped), std::string::npos) << dropped << "\n" << text;
  remove_tree(dir);
}

// The only mirror (no torrent, as for a release without one) resets all
// its connections at once: one event, one strike, and the mirror is kept.
// When it then refuses every request for a while, it is dropped after three
// strikes and tried again after its back-off, and the download completes.
TEST(Mirrors, AHiccupIsOneStrikeAndADroppedMirrorIsTriedAgain) {
  struct Case {
    std::string mode;
    int slots;
    bool dropped;
  } cases[] = {
      {"slow2097152,reset8388608", 6, false},
      {"slow4194304,reset8388608,down5", 2, true},
  };
  for (const Case& c : cases) {
    std::wstring dir = test_dir("xfer-hiccup");
    std::wstring log = path_join(dir, L"engine.log");
    ScopedEnv log_env(L"VUNK_TRANSFER_LOG", log);
    const std::string mode = c.mode + strf(",hiccup%lu", GetTickCount());
    TransferSpec spec = spec_for(dir, "small.bin", {faulty(mode, "small.bin")});
    spec.http_slots = c.slots;
    Transfer t(spec);
    t.start();
    TransferSnapshot s = wait_for(t, settled, 90);
    std::string text = read_bytes(log);
    ASSERT_EQ(s.state, TState::Done) << c.mode << ": " << s.error << "\n" << text;
    EXPECT_TRUE(same_file(t.final_path(), fixture("www/small.bin")));
    const std::string url = faulty(mode, "small.bin");
    EXPECT_NE(text.find(url + ": "), std::string::npos) << text;
    EXPECT_NE(text.find("(strike 1)"), std::string::npos) << text;
    if (c.dropped) {
      EXPECT_NE(text.find(url + " dropped: "), std::string::npos) << text;
      EXPECT_NE(text.find("(tried again in 10 s)"), std::string::npos) << text;
    } else {
      EXPECT_EQ(text.find("(strike 2)"), std::string::npos) << text;
      EXPECT_EQ(text.find(" dropped: "), std::string::npos) << text;
    }
    remove_tree(dir);
  }
}

// A mirror dropped for bad data sends nothing more: its open requests end
// at once instead of running to the end of their spans.
TEST(Mirrors, ADroppedMirrorSendsNothingMore) {
  std::wstring dir = test_dir("xfer-drop-corrupt");
  std::wstring log = path_join(dir, L"engine.log");
  ScopedEnv log_env(L"VUNK_TRANSFER_LOG", log);
  const std::string bad = strf("corrupt,slow4194304,drop%lu", GetTickCount());
  // Two slots at 4 MiB/s each: the corrupting one takes 12 MiB and spoils
  // every fourth piece, so the third bad piece comes 3 MiB before its end.
  TransferSpec spec = spec_for(dir, "mid.bin", {faulty(bad, "mid.bin"), faulty("slow4194304", "mid.bin")});
  spec.torrent = nginx(0, "mid-quiet.torrent");
  spec.http_slots = 2;
  Transfer t(spec);
  t.start();
  const std::string line = faulty(bad, "mid.bin") + " dropped: bad data";
  ASSERT_TRUE(wait_until([&] { return read_bytes(log).find(line) != std::string::npos; }, 60)) << read_bytes(log);
  u64 at_drop = served()[bad];
  EXPECT_TRUE(wait_until([&] { return active()[bad] == 0; }, 5)) << "its request still runs";
  EXPECT_LT(served()[bad] - at_drop, 512u << 10);
  EXPECT_EQ(t.snapshot().state, TState::Running);
  TransferSnapshot s = wait_for(t, settled, 60);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
  remove_tree(dir);
}

TEST(Mirrors, EndGameAndAServerIgnoringRanges) {
  std::wstring dir = test_dir("xfer-endgame");
  std::wstring log = path_join(dir, L"engine.log");
  SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", log.c_str());
  TransferSpec spec = spec_for(dir, "small.bin", {nginx(0, "small.bin"), faulty("slow262144", "small.bin"),
                                                  faulty("norange", "small.bin")});
  spec.http_slots = 3;
  u64 norange0 = served()["norange"];
  Transfer t(spec);
  double t0 = now_s();
  t.start();
  TransferSnapshot s = wait_for(t, settled, 30);
  SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", nullptr);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  // The slow mirror alone would need 16 s for the piece it took.
  EXPECT_LT(now_s() - t0, 8);
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/small.bin")));
  std::string text = read_bytes(log);
  EXPECT_NE(text.find("/norange/small.bin: 25165824 bytes, no ranges"), std::string::npos) << text;
  EXPECT_GT(served()["norange"], norange0);
  remove_tree(dir);
}

// Without a torrent nothing checks a piece before the whole file is: the
// slow mirror's copy of the piece it took (with a corrupted byte) is
// cancelled once the fast mirror's end-game copy is in, and never reaches
// the file.
TEST(Mirrors, EndGameCopiesAreCancelledOnceAPieceIsIn) {
  std::wstring dir = test_dir("xfer-late-copy");
  std::wstring log = path_join(dir, L"engine.log");
  ScopedEnv log_env(L"VUNK_TRANSFER_LOG", log);
  const std::string bad = strf("corrupt,slow1048576,late%lu", GetTickCount());
  TransferSpec spec = spec_for(dir, "small.bin", {nginx(0, "small.bin"), faulty(bad, "small.bin")});
  spec.http_slots = 2;  // one slot each
  Transfer t(spec);
  t.start();
  TransferSnapshot s = wait_for(t, settled, 60);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/small.bin")));
  // It sent less than one piece before its request was cut (its probe's
  // byte, a second of data, what the sockets held).
  EXPECT_TRUE(wait_until([&] { return active()[bad] == 0; }, 10));
  EXPECT_LT(served()[bad], u64(kPieceSize)) << "the late copy was not cancelled";
  EXPECT_NE(read_bytes(log).find("/" + bad + "/small.bin: request stopped, its pieces came from other sources"),
            std::string::npos)
      << read_bytes(log);
  remove_tree(dir);
}

TEST(Torrent, EveryMirrorPieceIsCheckedAgainstTheTorrent) {
  std::wstring dir = test_dir("xfer-corrupt");
  std::wstring log = path_join(dir, L"engine.log");
  SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", log.c_str());
  TransferSpec spec = spec_for(dir, "mid.bin", {faulty("corrupt", "mid.bin"), faulty("slow4194304", "mid.bin")});
  // Its tracker is dead and the good mirror is held to 4 MiB/s a request:
  // the corrupting mirror is still serving when its first piece is checked
  // (with the swarm's seeders, or a fast nginx beside a busy machine's
  // slow one, the download could end before that).
  spec.torrent = nginx(0, "mid-quiet.torrent");
  spec.http_slots = 4;
  Transfer t(spec);
  t.start();
  TransferSnapshot s = wait_for(t, settled, 60);
  SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", nullptr);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_EQ(s.piece_size, 1u << 20);
  EXPECT_EQ(s.pieces, 48u);
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
  expect_no_side_files(t.final_path());
  std::string text = read_bytes(log);
  EXPECT_NE(text.find("/corrupt/mid.bin failed its check"), std::string::npos) << text;
  remove_tree(dir);
}

TEST(Torrent, MultiFileTorrentFetchesOneFileFromItsWebSeed) {
  struct Case {
    const char* file;
    const char* no_webseeds;
    const char* error;  // null: verified
  } cases[] = {
      {"disc.iso", nullptr, nullptr},
      {"disc.iso", "1", "WAITING FOR PEERS"},  // no web seed: the torrent's peers may still come
      {"nothere.iso", nullptr, "torrent has no such file"},
  };
  for (const Case& c : cases) {
    std::wstring dir = test_dir("xfer-multi");
    TransferSpec spec = spec_for(dir, c.file, {});
    spec.sha256 = sha_of("small.bin");
    spec.size = 0;
    spec.torrent = nginx(0, "multi.torrent");
    SetEnvironmentVariableW(L"VUNK_TRANSFER_NO_WEBSEEDS", c.no_webseeds ? widen(c.no_webseeds).c_str() : nullptr);
    std::wstring log = path_join(dir, L"engine.log");
    SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", log.c_str());
    Transfer t(spec);
    t.start();
    TransferSnapshot s = wait_for(t, [&](const TransferSnapshot& s) {
      return settled(s) || (c.error && s.label == c.error);
    }, 30);
    if (c.error && s.label == c.error) {
      EXPECT_EQ(s.state, TState::Running);
      t.pause();
    } else if (!c.error) {
      ASSERT_EQ(s.state, TState::Done) << s.error;
      EXPECT_EQ(s.total, size_of("small.bin"));
      EXPECT_EQ(s.piece_size, 1u << 18);
      EXPECT_EQ(s.pieces, 97u);  // 96 pieces long, starting and ending inside one
      EXPECT_TRUE(same_file(t.final_path(), fixture("www/small.bin")));
      expect_no_side_files(t.final_path());
      // The two pieces shared with the neighbouring files were checked too,
      // with those files' bytes from the web seed.
      std::string text = read_bytes(log);
      EXPECT_NE(text.find("piece 4 checked with the edges"), std::string::npos) << text;
      EXPECT_NE(text.find("piece 100 checked with the edges"), std::string::npos) << text;
    } else {
      EXPECT_EQ(s.state, TState::Failed);
      EXPECT_EQ(s.error, c.error);
    }
    remove_tree(dir);
  }
  SetEnvironmentVariableW(L"VUNK_TRANSFER_NO_WEBSEEDS", nullptr);
  SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", nullptr);
}

// A torrent that lacks the wanted file, or names it with another size,
// leaves the download to the mirrors.
TEST(Torrent, ATorrentForAnotherFileLeavesTheWorkToTheMirrors) {
  struct Case {
    const char* torrent;
    const char* why;
  } cases[] = {
      {"multi.torrent", "torrent has no such file"},  // no small.bin among its files
      {"mid.bin.torrent", "size mismatch"},           // one file, of another size
  };
  for (const Case& c : cases) {
    std::wstring dir = test_dir("xfer-other-torrent");
    std::wstring log = path_join(dir, L"engine.log");
    ScopedEnv log_env(L"VUNK_TRANSFER_LOG", log);
    TransferSpec spec = spec_for(dir, "small.bin", {nginx(1, "small.bin")});
    spec.torrent = nginx(0, c.torrent);
    Transfer t(spec);
    t.start();
    TransferSnapshot s = wait_for(t, settled, 60);
    ASSERT_EQ(s.state, TState::Done) << c.torrent << ": " << s.error;
    EXPECT_EQ(s.via_mirrors, s.total);
    EXPECT_EQ(s.via_peers, 0u);
    EXPECT_TRUE(same_file(t.final_path(), fixture("www/small.bin")));
    expect_no_side_files(t.final_path());
    EXPECT_NE(read_bytes(log).find(std::string("torrent not used: ") + c.why), std::string::npos) << read_bytes(log);
    remove_tree(dir);
  }
}

TEST(Swarm, TwoLibtorrentSeedersThroughTheTrackerAndALeecher) {
  std::wstring dir = test_dir("xfer-swarm");
  TransferSpec spec = spec_for(dir, "mid.bin", {});
  spec.torrent = nginx(0, "mid.bin.torrent");
  Transfer t(spec);
  t.start();
  u32 most_peers = 0;
  std::set<std::string> clients;
  TransferSnapshot s = wait_for(t, [&](const TransferSnapshot& s) {
    most_peers = std::max(most_peers, s.peers_connected);
    for (const ConnInfo& c : s.conns) clients.insert(c.client);
    return settled(s);
  }, 60);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_EQ(s.via_peers, s.total);
  EXPECT_EQ(s.via_mirrors, 0u);
  EXPECT_GE(most_peers, 3u);  // two seeders and the leecher
  EXPECT_EQ(clients.size(), 1u);
  EXPECT_NE(clients.begin()->find("libtorrent"), std::string::npos) << *clients.begin();
  // Uploads to a leecher: Peers.UploadsToALibtorrentLeecherWhileDownloading,
  // which does not depend on the download lasting long enough.
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
  expect_no_side_files(t.final_path());
  remove_tree(dir);
}

TEST(Swarm, MirrorsAndPeersShareTheWork) {
  std::wstring dir = test_dir("xfer-both");
  std::wstring log = path_join(dir, L"engine.log");
  SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", log.c_str());
  TransferSpec spec = spec_for(dir, "mid.bin", {faulty("corrupt", "mid.bin"), faulty("slow4194304", "mid.bin")});
  spec.torrent = nginx(0, "mid.bin.torrent");
  spec.http_slots = 2;
  Transfer t(spec);
  t.start();
  // Paused on the way (peers and mirrors stop at once) and started again.
  TransferSnapshot s = wait_for(t, [&](const TransferSnapshot& s) { return s.done >= s.total / 3 || settled(s); }, 30);
  ASSERT_EQ(s.state, TState::Running);
  double t0 = now_s();
  t.pause();
  EXPECT_LT(now_s() - t0, 0.1);
  t.start();
  s = wait_for(t, settled, 60);
  SetEnvironmentVariableW(L"VUNK_TRANSFER_LOG", nullptr);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_GT(s.via_mirrors, 0u);
  EXPECT_GT(s.via_peers, 0u);
  EXPECT_EQ(s.via_mirrors + s.via_peers, s.total);
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
  std::string text = read_bytes(log);
  EXPECT_NE(text.find("/corrupt/mid.bin failed its check"), std::string::npos) << text;
  remove_tree(dir);
}

TEST(Mirrors, OnlyBrokenMirrorsFailWithTheirError) {
  std::wstring dir = test_dir("xfer-dead");
  struct Case {
    std::vector<std::string> mirrors;
    u64 size;
    const char* error;
  } cases[] = {
      {{faulty("e404", "small.bin")}, 0, "HTTP 404"},
      {{faulty("ok", "small.bin")}, 12345, "size mismatch"},
      {{strf("http://127.0.0.1:%d/small.bin", port(9))}, 0, "no HTTP reply"},
      {{}, 0, "no sources"},
  };
  for (const Case& c : cases) {
    TransferSpec spec = spec_for(dir, "small.bin", c.mirrors);
    spec.size = c.size;
    Transfer t(spec);
    t.start();
    TransferSnapshot s = wait_for(t, settled, 30);
    EXPECT_EQ(s.state, TState::Failed);
    EXPECT_EQ(s.error, c.error);
    EXPECT_FALSE(file_exists(t.final_path()));
  }
  remove_tree(dir);
}

// A throttled mirror, so a test can act while the download runs.
constexpr const char* kSlow = "slow8388608";

TEST(Mirrors, PauseAndResumeFetchOnlyTheMissingBytes) {
  std::wstring dir = test_dir("xfer-pause");
  TransferSpec spec = spec_for(dir, "mid.bin", {faulty(kSlow, "mid.bin")});
  spec.http_slots = 2;
  u64 before = served()[kSlow], done_at_pause = 0, total = spec.size;
  {
    Transfer t(spec);
    t.start();
    TransferSnapshot s = wait_for(t, [&](const TransferSnapshot& s) { return s.done >= total / 3 || settled(s); }, 30);
    ASSERT_EQ(s.state, TState::Running);
    t.pause();
    s = t.snapshot();
    EXPECT_EQ(s.state, TState::Paused);
    EXPECT_EQ(s.label, "PAUSED");
    EXPECT_TRUE(s.conns.empty());
    EXPECT_EQ(s.rate_down, 0);
    t.pause();  // twice is harmless
  }
  // A new object, as after a restart of the program, finds the partial file.
  ASSERT_TRUE(transfer_resume_info(dir, "mid.bin", done_at_pause, total));
  EXPECT_GE(done_at_pause, spec.size / 3);
  Transfer t(spec);
  TransferSnapshot s = t.snapshot();
  EXPECT_EQ(s.label, "PARTIAL");
  EXPECT_EQ(s.done, done_at_pause);
  t.start();
  s = wait_for(t, settled, 30);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_TRUE(same_file(t.final_path(), fixture("www/mid.bin")));
  // Beyond the file itself only what was in flight at the pause: at most one
  // piece per slot, with what the sockets held beyond it, and the probes.
  u64 extra = served()[kSlow] - before - total;
  EXPECT_LE(extra, 2ull * (kPieceSize + (1u << 20)) + 2) << extra;
  // A verified download stays verified when paused (the store pauses all at exit).
  t.pause();
  EXPECT_EQ(t.snapshot().state, TState::Done);
  t.start();
  EXPECT_EQ(t.snapshot().state, TState::Done);
  remove_tree(dir);
}

TEST(Mirrors, CancelDeletesTheSideFiles) {
  std::wstring dir = test_dir("xfer-cancel");
  auto t = std::make_unique<Transfer>(spec_for(dir, "mid.bin", {faulty(kSlow, "mid.bin")}));
  std::wstring final_path = t->final_path();
  // Side files of a torrent download, made here so their removal shows.
  write_bytes(final_path + L".part.torrent", "d4:infod6:lengthi1eee");
  write_bytes(final_path + L".part.edge", "edge");
  t->start();
  TransferSnapshot s = wait_for(*t, [](const TransferSnapshot& s) { return s.done > 0 || settled(s); }, 30);
  ASSERT_EQ(s.state, TState::Running);
  EXPECT_TRUE(file_exists(final_path + L".part.resume"));
  double t0 = now_s();
  t->cancel();
  s = t->snapshot();
  EXPECT_LT(now_s() - t0, 0.1);
  EXPECT_EQ(s.state, TState::Idle);
  EXPECT_EQ(s.label, "CANCELLED");
  EXPECT_EQ(s.done, 0u);
  EXPECT_EQ(s.total, size_of("mid.bin"));
  // The destructor waits for the stopped run and the deletion, briefly.
  t0 = now_s();
  t.reset();
  EXPECT_LT(now_s() - t0, 1.0);
  expect_no_side_files(final_path);
  EXPECT_FALSE(file_exists(final_path));
  remove_tree(dir);
}

TEST(Mirrors, WrongSha256FailsAndForgetsTheDownload) {
  std::wstring dir = test_dir("xfer-badsha");
  TransferSpec spec = spec_for(dir, "small.bin", {nginx(0, "small.bin")});
  spec.sha256 = std::string(64, '0');
  Transfer t(spec);
  t.start();
  TransferSnapshot s = wait_for(t, settled, 30);
  EXPECT_EQ(s.state, TState::Failed);
  EXPECT_EQ(s.error, "sha256 mismatch");
  EXPECT_FALSE(file_exists(t.final_path()));
  expect_no_side_files(t.final_path());
  u64 done, total;
  EXPECT_FALSE(transfer_resume_info(dir, "small.bin", done, total));
  remove_tree(dir);
}

TEST(Mirrors, FileAlreadyOnDiskIsVerifiedWithoutFetching) {
  std::wstring dir = test_dir("xfer-ondisk");
  TransferSpec spec = spec_for(dir, "big.bin", {faulty("ok", "big.bin")});
  ASSERT_TRUE(CopyFileW(fixture("www/big.bin").c_str(), path_join(dir, L"big.bin").c_str(), FALSE));
  spec.sha256 = upper(spec.sha256);  // the expected value may come in capitals
  u64 before = served()["ok"];
  Transfer t(spec);
  t.start();
  std::vector<float> seen;
  TransferSnapshot s = wait_for(t, [&](const TransferSnapshot& s) {
    if (s.state == TState::Checking) seen.push_back(s.progress);
    return settled(s);
  }, 60);
  ASSERT_EQ(s.state, TState::Done) << s.error;
  EXPECT_EQ(s.sha256, sha_of("big.bin"));
  EXPECT_EQ(served()["ok"], before);
  // The check of 256 MiB shows its progress rising.
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GT(seen.back(), seen.front());
  remove_tree(dir);
}

TEST(Mirrors, FullDiskFailsAndKeepsAValidResumeFile) {
  std::wstring dir = fixture("full");
  ULARGE_INTEGER avail, size, freeb;
  if (!GetDiskFreeSpaceExW(dir.c_str(), &avail, &size, &freeb) || size.QuadPart > (16u << 20))
    GTEST_SKIP() << "no small file system mounted at " << narrow(dir);
  Transfer t(spec_for(dir, "small.bin", {nginx(0, "small.bin")}));
  t.start();
  TransferSnapshot s = wait_for(t, settled, 30);
  EXPECT_EQ(s.state, TState::Failed);
  EXPECT_EQ(s.error, "disk full");
  u64 done = 0, total = 0;
  EXPECT_TRUE(transfer_resume_info(dir, "small.bin", done, total));
  EXPECT_EQ(total, size_of("small.bin"));
  EXPECT_GT(done, 0u);
  EXPECT_LT(done, total);
  EXPECT_FALSE(file_exists(t.final_path()));
  for (const wchar_t* s : kSideFiles) DeleteFileW((t.final_path() + s).c_str());
}

// The driver program is killed outright at random moments; each restart must
// go on from what was verified and lose at most the pieces in flight.
TEST(Mirrors, KilledTenTimesResumesAndVerifies) {
  std::wstring dir = test_dir("xfer-kill");
  const std::string slow = "slow6291456";
  const int slots = 2;
  std::wstring cmd = L"\"" + build_path("tests/xfer_driver.exe") + L"\" \"" + dir + L"\" big.bin " +
                     widen(sha_of("big.bin")) + widen(strf(" %d ", slots)) + widen(faulty(slow, "big.bin"));
  std::mt19937 rng(17);
  u64 done_before = 0, total = 0;
  for (int round = 0; round < 10; ++round) {
    u64 sent0 = served()[slow];
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(start_program(cmd, pi));
    // Killed at a random point of its download: once the mirror has sent
    // it 4 to 16 MiB more, however long that takes on a busy machine.
    u64 kill_at = sent0 + (4u << 20) + rng() % (12u << 20);
    EXPECT_TRUE(wait_until([&] { return served()[slow] >= kill_at; }, 60)) << "round " << round;
    TerminateProcess(pi.hProcess, 9);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // The mirror counts what it sent until it sees the connections end.
    EXPECT_TRUE(wait_until([&] { return active()[slow] == 0; }, 10)) << "round " << round;
    u64 done_after = 0;
    if (!transfer_resume_info(dir, "big.bin", done_after, total)) done_after = 0;
    EXPECT_GE(done_after, done_before) << "round " << round;
    u64 sent = served()[slow] - sent0;
    // The pieces in flight at the kill (one per slot, with what the sockets
    // held beyond it), and the probe's one byte.
    EXPECT_LE(sent, done_after - done_before + slots * u64(kPieceSize + (1 << 20)) + 1) << "round " << round;
    done_before = done_after;
  }
  EXPECT_GT(done_before, 0u);
  EXPECT_LT(done_before, size_of("big.bin"));  // every kill hit a running download
  u64 sent0 = served()[slow];
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(start_program(cmd, pi));
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 0u);
  EXPECT_LE(served()[slow] - sent0, size_of("big.bin") - done_before + 1);
  EXPECT_TRUE(same_file(path_join(dir, L"big.bin"), fixture("www/big.bin")));
  remove_tree(dir);
}

}  // namespace
