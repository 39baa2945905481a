// The install-media path against look-alike release servers whose images
// really download (tests/fixtures/live): the catalog lists each
// distribution's image with its size and checksum, the store downloads the
// smallest one from the mirror and the libtorrent seeders at once past a web
// seed that answers 500, and a checksum that disagrees with the image fails.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "machines/settings.h"
#include "media/media.h"
#include "tests/support/test_support.h"

namespace {

struct Image {
  std::string name, sha256;
  u64 size = 0;
};

std::string live(const std::string& file) {
  std::string s = read_bytes(build_path("tests/fixture-live/" + file));
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::vector<Image> images() {
  std::vector<Image> out;
  std::istringstream in(live("images.txt"));
  for (Image im; in >> im.name >> im.size >> im.sha256;) {
    std::string torrent;
    in >> torrent;
    out.push_back(im);
  }
  return out;
}

void use_origins(const std::string& file) {
  std::string all = live(file);
  size_t pos = 0;
  for (int i = 0; i < int(Rel::Count); ++i) {
    size_t end = all.find(';', pos);
    set_release_origin(Rel(i), all.substr(pos, end - pos));
    pos = end == std::string::npos ? all.size() : end + 1;
  }
}

const MediaItem* find(const CatalogResult& r, const std::string& file) {
  for (const MediaItem& m : r.items)
    if (m.file == file) return &m;
  return nullptr;
}

// Runs the store's frames until the job ends (or the time is up).
TState run(MediaJob* job, double seconds) {
  for (double end = now_s() + seconds; now_s() < end; Sleep(20)) {
    g_media.tick();
    if (job->snap.state == TState::Done || job->snap.state == TState::Failed) break;
  }
  return job->snap.state;
}

struct Folder {
  std::wstring dir = test_dir("live");
  Folder() { g_set.media_dir = dir; }
  ~Folder() {
    g_media.jobs.clear();
    g_set.media_dir.clear();
    remove_tree(dir);
  }
};

}  // namespace

TEST(Live, CatalogListsEveryDistribution) {
  use_origins("origins.txt");
  std::unique_ptr<CatalogResult> r(fetch_catalog());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->err, "");
  std::vector<Image> ims = images();
  ASSERT_EQ(ims.size(), 5u);
  for (const Image& im : ims) {
    const MediaItem* m = find(*r, im.name);
    ASSERT_TRUE(m) << im.name;
    EXPECT_EQ(m->size, im.size) << im.name;
    // The server image's checksum line is deliberately wrong.
    if (im.name.find("live-server") == std::string::npos) EXPECT_EQ(m->sha256, im.sha256) << im.name;
    else EXPECT_NE(m->sha256, im.sha256);
  }
  const MediaItem* ub = find(*r, ims[0].name);
  ASSERT_TRUE(ub);
  EXPECT_TRUE(ub->lts);
  EXPECT_EQ(ub->edition, "DESKTOP");
}

TEST(Live, SmallestFromMirrorAndPeersPastAFailingSeed) {
  use_origins("origins.txt");
  std::unique_ptr<CatalogResult> r(fetch_catalog());
  ASSERT_TRUE(r);
  const MediaItem* deb = find(*r, images()[3].name);
  ASSERT_TRUE(deb);
  ASSERT_FALSE(deb->torrent.empty());
  Folder f;
  MediaJob* job = g_media.start(*deb);
  ASSERT_TRUE(job);
  ASSERT_EQ(run(job, 120), TState::Done) << job->snap.error;
  EXPECT_EQ(job->snap.sha256, deb->sha256);
  EXPECT_EQ(file_size(g_media.path(*deb)), deb->size);
  EXPECT_GT(job->snap.via_mirrors, 0u);
  EXPECT_GT(job->snap.via_peers, 0u);
}

TEST(Live, DisagreeingChecksumFails) {
  use_origins("origins-badsum.txt");
  std::unique_ptr<CatalogResult> r(fetch_catalog());
  ASSERT_TRUE(r);
  const MediaItem* deb = find(*r, images()[3].name);
  ASSERT_TRUE(deb);
  Folder f;
  MediaJob* job = g_media.start(*deb);
  ASSERT_TRUE(job);
  EXPECT_EQ(run(job, 120), TState::Failed);
  EXPECT_FALSE(job->snap.error.empty());
  EXPECT_FALSE(file_exists(g_media.path(*deb)));
}
