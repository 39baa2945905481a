// The edit form of a machine: opening, the view, saving, and the FORGET and
// DELETE questions.
#include <algorithm>

#include "app/form_parts.h"
#include "app/form_rules.h"
#include "gfx/layer.h"

namespace {

// The machine of a question may have left the library while it was asked.
bool in_library(const Machine* m) {
  return std::any_of(g_lib.begin(), g_lib.end(), [m](const auto& p) { return p.get() == m; });
}

void forget_answer(App& a, Machine* m, int index) {
  if (index != 0 || !in_library(m)) return;
  wlog("%s: forgotten (disk kept: %s)", m->name.c_str(), narrow(m->disk).c_str());
  a.edit_machine = nullptr;
  g_lib.forget(m);
  a.go_home();
}

// A running machine holds its disk: deleting under it would leave a guest
// writing to a file that is gone, so it is refused.
bool refuse_running(App& a, Machine* m) {
  if (!a.running_on(*m)) return false;
  a.note(upper(m->name) + ": RUNNING. SHUT IT DOWN BEFORE DELETING IT.", pal.red);
  return true;
}

void delete_answer(App& a, Machine* m, int index) {
  if (index != 0 || !in_library(m) || refuse_running(a, m)) return;
  std::string name = upper(m->name);
  std::string err;
  if (!delete_machine_files(*m, err)) {
    wlog("%s: not deleted: %s", m->name.c_str(), err.c_str());
    a.note(name + ": NOT DELETED\n" + err, pal.red);
    return;
  }
  wlog("%s: deleted with its disk %s", m->name.c_str(), narrow(m->disk).c_str());
  a.edit_machine = nullptr;
  g_lib.forget(m);
  a.go_home();
  a.note("DELETED.", pal.amber);
}

}  // namespace

void App::open_edit(Machine* m) {
  if (!m) return;
  edit_return_view = view;
  edit_return_uid = selected_uid;
  edit_machine = m;
  edit_name = m->name;
  edit_extra = m->extra;
  edit_disk = m->disk;
  edit_media = m->cdrom;
  edit_mem = m->mem;
  edit_cpus = m->cpus;
  edit_boot = m->install;
  edit_profile = find_profile(m->profile);
  if (!edit_profile) edit_profile = find_profile("other-x64");
  go(Edit);
}

void App::save_edit() {
  Machine* m = edit_machine;
  if (!m) return;
  EditFields f{edit_name, edit_extra, edit_profile, edit_mem, edit_cpus, edit_disk, edit_media, edit_boot};
  std::string problem = blank_name(f.name) ? "NAME THE SYSTEM FIRST" : edit_problem(f);
  if (!problem.empty()) {
    note(problem, pal.red);
    return;
  }
  Vm* vm = running_on(*m);
  apply_edit(*m, f, vm != nullptr);
  if (!m->save()) {
    note(upper(m->name) + ": NOT SAVED\nCAN'T WRITE " + upper(narrow(path_join(m->dir, L"machine.ini"))), pal.red);
    return;
  }
  if (vm) {
    vm->name = m->name;
    vm->profile = edit_profile;
  }
  wlog("%s: edited: profile %s, %d MB, %d CPUs, disk %s, media %s, boot media %d, extra '%s'", m->name.c_str(),
       m->profile.c_str(), m->mem, m->cpus, narrow(m->disk).c_str(), narrow(m->cdrom).c_str(), m->install ? 1 : 0,
       m->extra.c_str());
  note(edit_saved_text(m->name, vm != nullptr), pal.cyan);
  dirty = true;
  end_edit();
}

void App::draw_edit(const D2D_RECT_F& r) {
  Machine* m = edit_machine;
  if (!m) {
    end_edit();
    return;
  }
  bool running = running_on(*m) != nullptr;
  FormFrame f = form_frame(r, scroll);
  form_title(*this, r, f, "EDIT SYSTEM  //  " + upper(m->name),
             running ? "RUNNING NOW: CHANGES APPLY AT ITS NEXT LAUNCH" : "FOLDER " + upper(narrow(m->dir)));

  push_clip(f.area);
  float y = f.top;
  D2D_RECT_F c = form_row(*this, f, y, "NAME");
  text_field(id("editname", 0), c, edit_name, kNameBytes);
  y += kRowPitch;
  c = form_row(*this, f, y, "PROFILE");
  profile_chooser(*this, id("editprof", 0), c, edit_profile);
  y += kRowPitch;
  size_rows(*this, f, y, "editsize", edit_mem, edit_cpus, *edit_profile);

  c = form_row(*this, f, y, running ? "DISK IMAGE (IN USE)" : "DISK IMAGE");
  if (path_button_row(*this, c, edit_disk, "NO DISK", "editdisk", "BROWSE", !running, false)) {
    std::wstring p = pick_file(false, L"Choose a disk image", disk_filters());
    if (!p.empty()) edit_disk = p;
  }
  y += kRowPitch;

  bool script = edit_profile->tiger == 1;
  if (script) {
    installer_row(*this, f, y);
  } else {
    media_row(*this, form_row(*this, f, y, "INSTALL MEDIA"), edit_media, "NONE", "editmedia");
  }
  y += kRowPitch;
  check_box(id("editboot", 0), {f.x, y, f.x + f.w, y + 28},
            script ? "BOOT THE INSTALLER" : "BOOT FROM THE INSTALL MEDIA", edit_boot);
  y += 40;
  c = form_row(*this, f, y, "EXTRA QEMU ARGUMENTS");
  text_field(id("editextra", 0), c, edit_extra, 1024);
  y += kRowPitch;
  pop_clip();
  form_scroll_end(f.area, y - f.top + 60);

  draw_dossier(f.dossier, edit_profile);

  float fy = f.footer_y;
  if (button(id("editsave", 0), {f.x, fy, f.x + 140, fy + kCtlH}, "SAVE", Btn::Primary, true, 10)) {
    save_edit();
    return;
  }
  if (button(id("editcancel", 0), {f.x + 156, fy, f.x + 276, fy + kCtlH}, "CANCEL", Btn::Secondary, true, 10)) {
    end_edit();
    return;
  }
  float right = f.x + f.w;
  if (button(id("editforget", 0), {right - 256, fy, right - 136, fy + kCtlH}, "FORGET", Btn::Secondary, true, 10))
    ask("FORGET " + upper(m->name) + "?",
        "THE SYSTEM LEAVES THE LIBRARY. ITS DISK STAYS WHERE IT IS:\n" + path_lines(upper(narrow(m->disk)), 52),
        {"FORGET", "CANCEL"}, [this, m](int i) { forget_answer(*this, m, i); }, pal.amber);
  if (button(id("editdelete", 0), {right - 120, fy, right, fy + kCtlH}, "DELETE", Btn::Danger, true, 10)) {
    if (!refuse_running(*this, m))
      ask("DELETE " + upper(m->name) + "?",
          "THE DISK IMAGE AND THE LAUNCH LOG ARE DELETED FOR GOOD, AND THE SYSTEM LEAVES THE LIBRARY.\n" +
              path_lines(upper(narrow(m->disk)), 52),
          {"DELETE", "CANCEL"}, [this, m](int i) { delete_answer(*this, m, i); }, pal.red);
  }
}
