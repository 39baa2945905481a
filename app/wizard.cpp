// The new-system wizard: step 0 chooses a profile, step 1 sets the machine's
// name, sizes and install media beside the profile dossier; its last button
// creates the machine and its disk and starts the installation.
#include "app/form_parts.h"
#include "app/form_rules.h"
#include "gfx/icons.h"
#include "gfx/layer.h"
#include "macdisk/mac68k.h"
#include "media/catalog.h"
#include "media/media.h"

namespace {

void choose_profile(App& a, const Profile& p) {
  if (!target_ok(p)) {
    a.note("NO " + upper(narrow(path_leaf(qemu_exe(p.arch)))) + " IN THE QEMU FOLDER", pal.red);
    return;
  }
  a.wizard_profile = &p;
  a.wizard_step = 1;
  a.wizard_name = p.family;
  a.wizard_gb = p.disk_gb;
  a.wizard_mb = p.mem_mb;
  a.wizard_cpus = p.cpus;
  a.wizard_media.clear();
  a.media_pick.clear();
  a.scroll = 0;
  a.view_since = a.now;
  a.focused = a.id("wizname", 0);  // ready for typing the name
  a.dirty = true;
}

void draw_profiles(App& a, const D2D_RECT_F& r) {
  a.label(r.left + 40, r.top + 28, "NEW SYSTEM  //  CHOOSE A PROFILE", pal.pink, 16);
  a.label(r.left + 40, r.top + 66, "WHAT WILL THE MACHINE RUN?", alpha(pal.ice, 0.7f), 8);
  D2D_RECT_F area{r.left, r.top + 84, r.right, r.bottom - 24};
  const auto& table = profiles();
  std::vector<size_t> shown = shown_profiles(nullptr);
  float colw = (r.right - r.left - 96) / 2;
  const Profile* chosen = nullptr;
  a.push_clip(area);
  for (size_t k = 0; k < shown.size(); ++k) {
    const Profile& p = table[shown[k]];
    float x = r.left + 40 + float(k % 2) * (colw + 16);
    float y = area.top + 12 + float(k / 2) * 64 - a.scroll;
    D2D_RECT_F row{x, y, x + colw, y + 56};
    u32 wid = a.id("prof", int(shown[k]));
    bool hit = a.clicked(wid, row, IDC_HAND);
    float h = a.ease(wid, a.hovering(row), 0.07f);
    bool ok = target_ok(p);
    D3DCOLORVALUE c = arch_color(p.board);
    a.surface.fill(row, alpha(c, 0.03f + 0.08f * h));
    a.surface.rect(row, alpha(c, 0.25f + 0.45f * h), 1);
    CanvasSink sink(&a.surface);
    IconStyle style;
    style.frame = true;
    draw_icon(sink, p.os, p.board, x + 32, y + 28, 40, style);
    a.label(x + 68, y + 12, p.family, pal.ice, 12);
    a.label(x + 68, y + 34, p.machine, alpha(c, 0.9f), 7.5f);
    text_fast(a.surface, ok ? "QEMU-SYSTEM-" + upper(p.arch) : "NO QEMU-SYSTEM-" + upper(p.arch), row.right - 16,
              y + 22, 7.5f, ok ? alpha(pal.cyan, 0.7f) : pal.red, AlignRight, 0.16f, 0);
    if (hit) chosen = &p;
  }
  a.pop_clip();
  a.form_scroll_end(area, float((shown.size() + 1) / 2) * 64 + 20);
  if (chosen) choose_profile(a, *chosen);
}

// The last line qemu-img printed, for the red toast.
std::string last_line(const std::string& out) {
  size_t end = out.find_last_not_of(" \r\n\t");
  if (end == std::string::npos) return "";
  size_t start = out.find_last_of('\n', end);
  start = start == std::string::npos ? 0 : start + 1;
  return cut_utf8(out.substr(start, end + 1 - start), 200);
}

}  // namespace

void App::draw_wizard(const D2D_RECT_F& r) {
  if (wizard_step == 0 || !wizard_profile) {
    draw_profiles(*this, r);
    return;
  }
  const Profile& p = *wizard_profile;
  FormFrame f = form_frame(r, scroll);
  form_title(*this, r, f, "NEW SYSTEM  //  " + std::string(p.family), std::string(p.machine) + "  //  STEP 2 OF 2");

  push_clip(f.area);
  float y = f.top;
  D2D_RECT_F c = form_row(*this, f, y, "NAME");
  text_field(id("wizname", 0), c, wizard_name, kNameBytes);
  y += kRowPitch;
  c = form_row(*this, f, y, "DISK SIZE");
  stepper(id("wizgb", 0), c, wizard_gb, kDiskSteps, disk_fmt);
  y += kRowPitch;
  size_rows(*this, f, y, "wizsize", wizard_mb, wizard_cpus, p);

  if (p.tiger == 1) {
    // The launch script installs from its own image.
    installer_row(*this, f, y);
    bool there = file_exists(tiger_installer());
    label(f.x, y + kCtlTop + kCtlH + 10,
          there ? "THE NEW MACHINE BOOTS IT ON ITS FIRST LAUNCH" : "NOT FOUND: THE MACHINE IS CREATED WITHOUT IT",
          there ? alpha(pal.ice, 0.6f) : pal.amber, 7.5f);
    y += kRowPitch + 24;
  } else {
    // Current releases from the catalog, or a file of the user's own.
    if (Catalog::profile_has_media(p.id)) {
      y += draw_media_picker(f.x, y, f.w, p) + 20;
    } else {
      media_row(*this, form_row(*this, f, y, "INSTALL MEDIA"), wizard_media, "NONE: AN EMPTY MACHINE", "wizmedia");
      y += kRowPitch;
    }
  }
  pop_clip();
  form_scroll_end(f.area, y - f.top + 20);

  draw_dossier(f.dossier, &p);

  float fy = f.footer_y;
  bool media = p.tiger == 1 ? file_exists(tiger_installer()) : !wizard_media.empty() || picked_media();
  if (button(id("wizgo", 0), {f.x, fy, f.x + 220, fy + kCtlH}, media ? "CREATE AND INSTALL" : "CREATE", Btn::Primary,
             !blank_name(wizard_name), 10)) {
    start_install();
    return;
  }
  if (button(id("wizback", 0), {f.x + 236, fy, f.x + 356, fy + kCtlH}, "BACK", Btn::Secondary, true, 10)) {
    wizard_step = 0;
    scroll = 0;
  }
}

void App::start_install() {
  const Profile* p = wizard_profile;
  if (!p) return;
  // A picked release needs a media folder first: this action waits for it.
  if (install_needs_storage()) return;
  if (blank_name(wizard_name)) {
    note("NAME THE SYSTEM FIRST", pal.red);
    return;
  }
  bool script = p->tiger == 1;
  if (!script && !wizard_media.empty() && !file_exists(wizard_media)) {
    note("INSTALL MEDIA NOT FOUND: " + upper(narrow(wizard_media)), pal.red);
    return;
  }
  if (!target_ok(*p)) {
    note("NO " + upper(narrow(path_leaf(qemu_exe(p->arch)))) + " IN THE QEMU FOLDER", pal.red);
    return;
  }

  Machine* m = g_lib.create(wizard_name, p->id);
  if (!m) {
    // No machines folder (machines_dir empty in vunk.ini): nowhere to put one.
    note(upper(wizard_name) + ": NOT CREATED\nMACHINE FOLDER NOT SET", pal.red);
    return;
  }
  std::string name = upper(m->name);
  std::wstring disk = new_disk_path(m->dir, *p);
  std::string err;
  bool ok;
  if (wants_blank_mac_disk(*p)) {
    ok = mac_make_blank(disk, u64(wizard_gb) << 30, err);
  } else {
    std::string out;
    ok = run_capture(qemu_img_create_cmd(g_set.qemu_dir, disk, wizard_gb), out, 30000) && file_exists(disk);
    if (!ok) err = last_line(out).empty() ? "QEMU-IMG FAILED OR TOOK LONGER THAN 30 S" : upper(last_line(out));
  }
  m->disk = disk;
  m->mem = wizard_mb;
  m->cpus = wizard_cpus;
  m->cdrom = script ? std::wstring() : wizard_media;
  // A release still to download: the machine boots it from where the media
  // store puts it, once it is verified.
  const MediaItem* item = script ? nullptr : picked_media();
  if (item && m->cdrom.empty()) m->cdrom = g_media.path(*item);
  m->install = script ? file_exists(tiger_installer()) : !m->cdrom.empty();
  if (ok && !m->save()) {
    ok = false;
    err = "CAN'T WRITE " + upper(narrow(path_join(m->dir, L"machine.ini")));
  }
  if (!ok) {
    // Nothing half-made stays behind: no disk, no folder, no record.
    wlog("%s: not created: %s", m->name.c_str(), err.c_str());
    DeleteFileW(disk.c_str());
    g_lib.forget(m);
    note(name + ": NOT CREATED\n" + err, pal.red);
    return;
  }
  wlog("%s: created (%s, %d GB disk, %d MB, %d CPUs)", m->name.c_str(), p->id, wizard_gb, m->mem, m->cpus);

  // Media still to download: the media store launches the machine once the
  // image is verified.
  if (install_download(*m)) return;
  if (m->install) {
    launch_machine(*m, -1, L"");
    if (view == Wizard) go_home();  // the launch failed and said why
    return;
  }
  go_home();
  note(name + ": CREATED. ADD INSTALL MEDIA IN ITS EDIT FORM TO INSTALL IT.", pal.green);
}
