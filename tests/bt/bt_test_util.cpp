#include "tests/bt/bt_test_util.h"

#include "tests/support/test_support.h"

std::string fixture_value(const std::string& key) {
  std::string text = fixture_file("state.txt");
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
    at = end + 1;
  }
  return {};
}

std::string fixture_file(const std::string& rel) { return read_bytes(build_path("tests/fixture-bt/" + rel)); }

std::string core_http_base() { return "http://127.0.0.1:" + env_str("VUNK_HTTP_PORT"); }
