// Torrent metainfo: single- and multi-file torrents, the info-hash, piece
// hashes, tracker tiers, web seeds, and where each file lies in the
// torrent's piece space.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/common.h"

struct TorrentFile {
  std::string path;  // relative, components joined by '/'; the torrent's name comes first when multi-file
  u64 offset = 0;    // where the file starts in the piece space
  u64 length = 0;
  bool pad = false;  // filler that only aligns the next file to a piece
};

struct Torrent {
  std::string info_hash;  // 20 raw bytes: SHA-1 over the info dictionary exactly as received
  std::string name;
  u64 piece_length = 0;
  u32 piece_count = 0;
  u64 total = 0;       // bytes in the piece space, pad files included
  std::string pieces;  // piece_count SHA-1 digests, 20 raw bytes each
  bool multi = false;
  std::vector<TorrentFile> files;
  std::vector<std::vector<std::string>> trackers;  // tiers of announce URLs, in order
  std::vector<std::string> web_seeds;
  bool priv = false;

  std::string_view piece_hash(u32 i) const { return std::string_view(pieces).substr(size_t(i) * 20, 20); }
  u64 piece_size(u32 i) const;
  // The index of the file with this path, or -1.
  int file_index(std::string_view path) const;
  // The pieces [first, last] that hold any byte of file i (none for an empty file: false).
  bool file_pieces(size_t i, u32& first, u32& last) const;
};

// Parses a .torrent file. Errors: "not a torrent file", "bad torrent: ..."
// with the reason, "unsafe file path in torrent", "v2-only torrent".
[[nodiscard]] bool parse_torrent(std::string_view data, Torrent& t, std::string& err);
