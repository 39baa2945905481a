// Members that later work fills in. Each block stands alone: whoever builds
// the real one deletes exactly its block here.
#include "app/app.h"

#include "machines/machine.h"

// ---- tools ----

// Screenshot series: not available yet.
bool App::shots(const std::wstring& folder) {
  wlog("--shots: not available in this build");
  return false;
}

// Media self-test: not available yet.
bool App::media_selftest(const std::wstring& folder) {
  wlog("--selftest-media: not available in this build");
  return false;
}

// Demo recording: not available yet.
bool App::record_demo(const std::wstring& video) {
  wlog("--record-demo: not available in this build");
  return false;
}

