#include "bt/bt_torrent.h"

#include "bt/bt_bencode.h"
#include "bt/bt_hash.h"

u64 Torrent::piece_size(u32 i) const {
  if (i >= piece_count) return 0;
  if (i + 1 < piece_count) return piece_length;
  return total - u64(i) * piece_length;
}

int Torrent::file_index(std::string_view path) const {
  for (size_t i = 0; i < files.size(); ++i)
    if (files[i].path == path) return int(i);
  return -1;
}

bool Torrent::file_pieces(size_t i, u32& first, u32& last) const {
  if (i >= files.size() || files[i].length == 0 || piece_length == 0) return false;
  first = u32(files[i].offset / piece_length);
  last = u32((files[i].offset + files[i].length - 1) / piece_length);
  return true;
}

namespace {

// Announce URLs and web seeds are kept only when they are plausible text.
bool plain_url(const BNode& n) {
  if (!n.is_str() || n.s.empty() || n.s.size() > 2048) return false;
  for (unsigned char c : n.s)
    if (c <= 0x20 || c == 0x7f) return false;
  return true;
}

bool bad(std::string& err, const char* why) {
  err = std::string("bad torrent: ") + why;
  return false;
}

}  // namespace

bool parse_torrent(std::string_view data, Torrent& out, std::string& err) {
  BNode root;
  std::string berr;
  if (!bdecode(data, root, berr) || !root.is_dict()) {
    err = "not a torrent file";
    return false;
  }
  const BNode* info = root.get_dict("info");
  if (!info) {
    err = "not a torrent file";
    return false;
  }
  Torrent t;
  t.info_hash = Hasher::sha1(data.substr(info->begin, info->end - info->begin));
  const BNode* name = info->get_str("name");
  const BNode* plen = info->get_int("piece length");
  const BNode* pieces = info->get_str("pieces");
  if (!pieces && info->get("file tree")) {
    err = "v2-only torrent";
    return false;
  }
  if (!name || !plen || !pieces) return bad(err, "missing name, piece length or pieces");
  t.name = name->s;
  if (!safe_path_component(t.name)) {
    err = "unsafe file path in torrent";
    return false;
  }
  // The engine keeps a piece in memory and reports its size as 32 bits.
  if (plen->i < 1 || plen->i > (i64(1) << 29)) return bad(err, "piece length");
  t.piece_length = u64(plen->i);
  if (pieces->s.size() % 20 != 0) return bad(err, "pieces");
  t.pieces = pieces->s;
  const i64 kMaxLength = i64(1) << 50;
  if (const BNode* len = info->get("length")) {
    if (!len->is_int() || len->i < 0 || len->i > kMaxLength) return bad(err, "file length");
    if (info->get("files")) return bad(err, "both length and files");
    t.files.push_back({t.name, 0, u64(len->i), false});
    t.total = u64(len->i);
  } else if (const BNode* files = info->get_list("files")) {
    t.multi = true;
    for (const BNode& f : files->items) {
      const BNode* flen = f.get_int("length");
      const BNode* path = f.get_list("path");
      if (!flen || !path || flen->i < 0 || flen->i > kMaxLength) return bad(err, "file entry");
      TorrentFile tf;
      tf.path = t.name;
      for (const BNode& c : path->items) {
        if (!c.is_str() || !safe_path_component(c.s)) {
          err = "unsafe file path in torrent";
          return false;
        }
        tf.path += '/';
        tf.path += c.s;
      }
      if (path->items.empty()) {
        err = "unsafe file path in torrent";
        return false;
      }
      const BNode* attr = f.get_str("attr");
      tf.pad = attr && attr->s.find('p') != std::string::npos;
      tf.offset = t.total;
      tf.length = u64(flen->i);
      t.total += tf.length;
      if (t.total > u64(kMaxLength)) return bad(err, "file length");
      t.files.push_back(std::move(tf));
    }
    if (t.files.empty()) return bad(err, "no files");
  } else {
    return bad(err, "no length or files");
  }
  u64 count = (t.total + t.piece_length - 1) / t.piece_length;
  if (count != pieces->s.size() / 20 || count == 0) return bad(err, "piece count does not match the length");
  t.piece_count = u32(count);
  if (const BNode* p = info->get_int("private")) t.priv = p->i == 1;

  // Tiers from announce-list; the single announce URL only without them.
  if (const BNode* tiers = root.get_list("announce-list")) {
    for (const BNode& tier : tiers->items) {
      if (!tier.is_list()) continue;
      std::vector<std::string> urls;
      for (const BNode& u : tier.items)
        if (plain_url(u)) urls.push_back(u.s);
      if (!urls.empty()) t.trackers.push_back(std::move(urls));
    }
  }
  if (t.trackers.empty())
    if (const BNode* a = root.get("announce"); a && plain_url(*a)) t.trackers.push_back({a->s});
  if (const BNode* seeds = root.get("url-list")) {
    if (plain_url(*seeds)) t.web_seeds.push_back(seeds->s);
    for (const BNode& u : seeds->items)
      if (plain_url(u)) t.web_seeds.push_back(u.s);
  }
  out = std::move(t);
  return true;
}
