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
