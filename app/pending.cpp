// Members that later work fills in. Each block stands alone: whoever builds
// the real one deletes exactly its block here.
#include "app/app.h"

#include "machines/machine.h"

// ---- media views ----

// Storage view: a placeholder panel.
void App::draw_storage(const D2D_RECT_F& r) { draw_placeholder(r, "MEDIA STORAGE"); }

// Transfers view: a placeholder panel.
void App::draw_transfers(const D2D_RECT_F& r) { draw_placeholder(r, "TRANSFERS"); }

// Media picker: takes no room.
float App::draw_media_picker(const D2D_RECT_F& r) { return 0; }

// Sidebar transfers block: nothing drawn.
void App::draw_sidebar_transfers(float y, float w, float k) {}

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

