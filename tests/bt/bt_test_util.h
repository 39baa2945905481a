// Helpers shared by the BitTorrent and HTTP range tests.
#pragma once

#include <string>

#include "core/common.h"

// A value from the real-peer fixture's state.txt (key=value lines), empty
// when absent.
std::string fixture_value(const std::string& key);
// A file of the fixture's folder (<build>/tests/fixture-bt/REL), read whole.
std::string fixture_file(const std::string& rel);
// The core fixture server's plain HTTP origin.
std::string core_http_base();
