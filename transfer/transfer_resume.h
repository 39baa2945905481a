// The resume file beside a download: its text (plain, tested alone) and,
// in the engine, reading it back at the start of a run and saving it as
// pieces arrive. The format is described in transfer/DESIGN.md.
#pragma once

#include <string>
#include <vector>

#include "core/common.h"

struct ResumeData {
  u64 total = 0;
  u64 done = 0;
  u32 piece_size = 0;
  u32 pieces = 0;
  std::string sha256;    // expected, lower case, may be empty
  std::string infohash;  // hex, empty without a torrent
  std::vector<bool> have;
  std::vector<std::string> hashes;  // SHA-1 per piece, empty when not recorded
  u64 via_mirrors = 0, via_peers = 0, uploaded = 0;
};

std::string resume_text(const ResumeData& r);
// False when the text is not a resume file or disagrees with itself.
bool resume_parse(const std::string& text, ResumeData& r);
