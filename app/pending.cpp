// Members that later work fills in. Each block stands alone: whoever builds
// the real one deletes exactly its block here.
#include "app/app.h"

#include "machines/machine.h"

// ---- forms ----

// New-system wizard: a placeholder panel.
void App::draw_wizard(const D2D_RECT_F& r) { draw_placeholder(r, wizard_step == 0 ? "NEW SYSTEM" : "NEW SYSTEM: PARAMETERS"); }

// Import view: a placeholder panel.
void App::draw_import(const D2D_RECT_F& r) { draw_placeholder(r, "IMPORT EXISTING DISK"); }

// Import action: nothing yet.
void App::start_import() {}

// Import chooser: opens the import view.
void App::pick_import() { go(Import); }

// Edit view: a placeholder panel.
void App::draw_edit(const D2D_RECT_F& r) { draw_placeholder(r, "EDIT SYSTEM"); }

// Save of the edit form: nothing yet.
void App::save_edit() {}

// Edit form: opens the edit view for the machine.
void App::open_edit(Machine* m) {
  if (!m) return;
  edit_return_view = view;
  edit_return_uid = selected_uid;
  edit_machine = m;
  edit_name = m->name;
  go(Edit);
}

// Install action: nothing yet.
void App::start_install() {}

// Profile dossier: nothing drawn.
void App::draw_dossier(const D2D_RECT_F& r, const Profile* p) {}

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

// Feature video: not available yet.
bool App::record_qe(const std::wstring& assets, const std::wstring& video) {
  wlog("--record-qe: not available in this build");
  return false;
}

// Tool-chain self-test: not available yet (its failure code).
int run_selftest(const std::wstring& report) {
  wlog("--selftest: not available in this build");
  return 1;
}
