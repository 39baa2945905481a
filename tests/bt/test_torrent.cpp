// Torrents made by mktorrent and libtorrent (the fixture records what
// libtorrent reads from each), and hand-made hostile ones.
#include <gtest/gtest.h>

#include "bt/bt_bencode.h"
#include "bt/bt_hash.h"
#include "bt/bt_torrent.h"
#include "tests/bt/bt_test_util.h"

namespace {

// "path:offset:size:pad|..." as the fixture writes libtorrent's layout
std::string layout(const Torrent& t) {
  std::string s;
  for (const TorrentFile& f : t.files)
    s += strf("%s%s:%llu:%llu:%d", s.empty() ? "" : "|", f.path.c_str(), (unsigned long long)f.offset,
              (unsigned long long)f.length, f.pad ? 1 : 0);
  return s;
}

TEST(Torrent, ToolTorrentsReadAsLibtorrentReadsThem) {
  for (const char* name : {"lt-single", "lt-multi", "mk-single", "mk-multi"}) {
    std::string data = fixture_file(std::string(name) + ".torrent");
    ASSERT_FALSE(data.empty()) << name;
    Torrent t;
    std::string err;
    ASSERT_TRUE(parse_torrent(data, t, err)) << name << ": " << err;
    EXPECT_EQ(hex_of(t.info_hash), fixture_value(std::string("ih_") + name)) << name;
    EXPECT_EQ(layout(t), fixture_value(std::string("files_") + name)) << name;
    EXPECT_EQ(strf("%u:%llu", t.piece_count, (unsigned long long)t.piece_length),
              fixture_value(std::string("pieces_") + name));
    EXPECT_EQ(t.multi, std::string(name).find("multi") != std::string::npos);
  }
}

TEST(Torrent, TrackersSeedsFlagsAndPieces) {
  std::string err;
  Torrent lt, mk;
  ASSERT_TRUE(parse_torrent(fixture_file("lt-single.torrent"), lt, err)) << err;
  ASSERT_TRUE(parse_torrent(fixture_file("mk-multi.torrent"), mk, err)) << err;
  std::string tracker = fixture_value("tracker");
  ASSERT_EQ(lt.trackers.size(), 2u);
  EXPECT_EQ(lt.trackers[0], std::vector<std::string>{"http://" + tracker + "/announce"});
  EXPECT_EQ(lt.trackers[1], std::vector<std::string>{"udp://" + tracker + "/announce"});
  EXPECT_FALSE(lt.priv);
  EXPECT_TRUE(mk.priv);
  ASSERT_EQ(mk.trackers.size(), 2u);
  EXPECT_EQ(mk.trackers[1][0], "udp://b.invalid:80/announce");
  ASSERT_EQ(mk.web_seeds.size(), 1u);
  EXPECT_EQ(mk.web_seeds[0], fixture_value("mirror").substr(0, fixture_value("mirror").rfind('/') + 1));

  // every piece hash is the SHA-1 of that piece of the file
  std::string file = fixture_file("www/data.bin");
  u64 sum = 0;
  for (u32 i = 0; i < lt.piece_count; ++i) {
    EXPECT_EQ(Hasher::sha1(file.substr(size_t(i) * lt.piece_length, lt.piece_size(i))), lt.piece_hash(i)) << i;
    sum += lt.piece_size(i);
  }
  EXPECT_EQ(sum, file.size());

  // the pieces that hold each file of the libtorrent multi-file torrent
  Torrent multi;
  ASSERT_TRUE(parse_torrent(fixture_file("lt-multi.torrent"), multi, err)) << err;
  u32 first, last;
  EXPECT_FALSE(multi.file_pieces(size_t(multi.file_index("multi/empty")), first, last));
  ASSERT_TRUE(multi.file_pieces(size_t(multi.file_index("multi/sub/three.bin")), first, last));
  EXPECT_EQ(first, 4u);
  EXPECT_EQ(last, 6u);
  EXPECT_EQ(multi.file_index("multi/nothing"), -1);
}

// A minimal multi-file torrent whose one file has the given path.
std::string torrent_with_path(std::vector<std::string> path, std::string name = "top") {
  BNode file = BNode::new_dict();
  file.set("length", BNode::of_int(10));
  BNode& p = file.set("path", BNode::new_list());
  for (auto& c : path) p.add(BNode::of_str(c));
  BNode info = BNode::new_dict();
  info.set("name", BNode::of_str(name));
  info.set("piece length", BNode::of_int(16384));
  info.set("pieces", BNode::of_str(std::string(20, 'h')));
  info.set("files", BNode::new_list()).add(file);
  BNode root = BNode::new_dict();
  root.set("info", info);
  return bencode(root);
}

TEST(Torrent, PathsThatLeaveTheFolderAreRefused) {
  std::vector<std::vector<std::string>> bad = {
      {".."}, {"a", ".."}, {"."}, {""}, {}, {"a/../../b"}, {"..\\x"}, {"C:"}, {"C:x"}, {"/etc"},
      {"CON"}, {"nul.txt"}, {"Com1"}, {"lpt9.log"}, {"aux "}, {"x."}, {"x "}, {"a\x01"}, {"file:stream"},
      {"w?"}, {std::string(256, 'a')},
  };
  for (const auto& path : bad) {
    Torrent t;
    std::string err;
    EXPECT_FALSE(parse_torrent(torrent_with_path(path), t, err)) << (path.empty() ? "" : path[0]);
    EXPECT_EQ(err, "unsafe file path in torrent") << (path.empty() ? "" : path[0]);
  }
  for (const char* name : {"..", "C:", "con", "a\\b"}) {
    Torrent t;
    std::string err;
    EXPECT_FALSE(parse_torrent(torrent_with_path({"f"}, name), t, err)) << name;
  }
  for (const char* fine : {"CONSOLE", "com10", "a.b", ".hidden", "x..y", "\xc3\xa9t\xc3\xa9"}) {
    Torrent t;
    std::string err;
    EXPECT_TRUE(parse_torrent(torrent_with_path({"d", fine}), t, err)) << fine << ": " << err;
    EXPECT_EQ(t.files[0].path, std::string("top/d/") + fine);
  }
}

TEST(Torrent, BrokenMetainfoIsRefused) {
  std::string good = torrent_with_path({"f"});
  auto edit = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  struct Case {
    std::string data;
    const char* err;
  } cases[] = {
      {"", "not a torrent file"},
      {"<html>", "not a torrent file"},
      {"d4:infoi1ee", "not a torrent file"},
      {good + "x", "not a torrent file"},
      {edit("6:lengthi10e", "6:lengthi-1e"), "bad torrent: file entry"},
      {edit("6:lengthi10e", "6:lengthi99999e"), "bad torrent: piece count does not match the length"},
      {edit("12:piece lengthi16384e", "12:piece lengthi0e"), "bad torrent: piece length"},
      {edit("6:pieces20:h", "6:pieces19:"), "bad torrent: pieces"},
      {edit("5:filesl", "5:filesle5:fileXl"), "bad torrent: no files"},
      {edit("5:filesl", "5:fileXl"), "bad torrent: no length or files"},
      {"d4:infod9:file treede4:name1:x12:piece lengthi16384eee", "v2-only torrent"},
  };
  for (const Case& c : cases) {
    Torrent t;
    std::string err;
    EXPECT_FALSE(parse_torrent(c.data, t, err)) << c.data;
    EXPECT_EQ(err, c.err) << c.data;
  }
}

}  // namespace
