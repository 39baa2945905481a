#include "app/form_parts.h"

#include <algorithm>

#include "gfx/layer.h"

FormFrame form_frame(const D2D_RECT_F& r, float scroll) {
  FormFrame f;
  float dw = std::clamp((r.right - r.left) * 0.28f, 260.0f, 400.0f);
  f.dossier = {r.right - 32 - dw, r.top + 24, r.right - 32, r.bottom - 24};
  f.x = r.left + 40;
  f.w = std::min(560.0f, f.dossier.left - 40 - f.x);
  f.title_y = r.top + 28;
  f.area = {r.left, r.top + 84, f.dossier.left - 8, r.bottom - 84};
  f.footer_y = r.bottom - 64;
  f.top = f.area.top + 12 - scroll;
  return f;
}

D2D_RECT_F form_row(App& a, const FormFrame& f, float y, const char* label) {
  a.label(f.x, y, label, alpha(pal.cyan, 0.8f), 7.5f);
  return {f.x, y + kCtlTop, f.x + f.w, y + kCtlTop + kCtlH};
}

void form_title(App& a, const D2D_RECT_F& r, const FormFrame& f, const std::string& title, const std::string& sub) {
  a.label(f.x, f.title_y, a.surface.fit(title, f.dossier.left - 40 - f.x, 16, 0.16f), pal.pink, 16);
  if (!sub.empty()) a.label(f.x, f.title_y + 26, a.surface.fit(sub, f.dossier.left - 40 - f.x, 8, 0.16f), alpha(pal.ice, 0.6f), 8);
}

bool profile_chooser(App& a, u32 id, const D2D_RECT_F& r, const Profile*& p) {
  const auto& table = profiles();
  std::vector<int> steps;
  if (!p) steps.push_back(-1);
  for (size_t i : shown_profiles(p)) steps.push_back(int(i));
  int value = p ? int(p - table.data()) : -1;
  bool changed = a.stepper(id, r, value, steps, [&](int v) {
    if (v < 0) return std::string("CHOOSE A PROFILE");
    return strf("%s  //  %s", table[size_t(v)].family, table[size_t(v)].machine);
  });
  if (value >= 0) p = &table[size_t(value)];
  return changed;
}

void path_row(App& a, const D2D_RECT_F& r, const std::wstring& path, const char* placeholder) {
  a.surface.fill(r, alpha(pal.cyan, 0.03f));
  a.surface.line(r.left, r.bottom, r.right, r.bottom, alpha(pal.cyan, 0.6f), 1.4f);
  std::string text = path.empty() ? placeholder : upper(narrow(path));
  D3DCOLORVALUE colour = path.empty() ? pal.dim : file_exists(path) ? pal.ice : pal.red;
  a.label(r.left + 10, r.top + 12, a.surface.fit(text, r.right - r.left - 20, 9.5f, 0.16f), colour, 9.5f);
}

bool path_button_row(App& a, const D2D_RECT_F& r, std::wstring& path, const char* placeholder, const char* name,
                     const char* button, bool enabled, bool clear) {
  float right = r.right - 110;  // left of the button
  if (clear) {
    if (a.button(a.id(name, 1), {right - 70, r.top, right, r.bottom}, "CLEAR", App::Btn::Secondary, !path.empty(), 9))
      path.clear();
    right -= 80;
  }
  path_row(a, {r.left, r.top, right, r.bottom}, path, placeholder);
  return a.button(a.id(name, 0), {r.right - 100, r.top, r.right, r.bottom}, button, App::Btn::Secondary, enabled, 9);
}

void size_rows(App& a, const FormFrame& f, float& y, const char* name, int& mem, int& cpus, const Profile& p) {
  D2D_RECT_F c = form_row(a, f, y, "MEMORY");
  a.stepper(a.id(name, 0), c, mem, mem_steps(p), mem_fmt);
  y += kRowPitch;
  c = form_row(a, f, y, "PROCESSORS");
  a.stepper(a.id(name, 1), c, cpus, cpu_steps(p), [](int n) { return strf("%d", n); });
  y += kRowPitch;
}

void media_row(App& a, const D2D_RECT_F& r, std::wstring& media, const char* placeholder, const char* name) {
  if (path_button_row(a, r, media, placeholder, name, "BROWSE", true, true)) {
    std::wstring p = a.pick_file(false, L"Choose install media", media_filters());
    if (!p.empty()) media = p;
  }
}

void installer_row(App& a, const FormFrame& f, float y) {
  std::wstring inst = tiger_installer();
  a.label(f.x, y, "INSTALLER (THE LAUNCH SCRIPT'S OWN)", alpha(pal.cyan, 0.8f), 7.5f);
  path_row(a, {f.x, y + kCtlTop, f.x + f.w, y + kCtlTop + kCtlH}, inst, "");
}

const std::vector<std::pair<std::wstring, std::wstring>>& disk_filters() {
  static const std::vector<std::pair<std::wstring, std::wstring>> f = {
      {L"Disk images (*.qcow2, *.img, *.raw, *.vhdx, *.vhd, *.vmdk, *.vdi, *.dsk, *.hda)",
       L"*.qcow2;*.img;*.raw;*.vhd;*.vhdx;*.vmdk;*.vdi;*.qed;*.hdd;*.dsk;*.hda;*.hfv;*.image"},
      {L"All files", L"*.*"}};
  return f;
}

const std::vector<std::pair<std::wstring, std::wstring>>& media_filters() {
  static const std::vector<std::pair<std::wstring, std::wstring>> f = {
      {L"Install media (*.iso, *.img, *.dmg, *.cdr)", L"*.iso;*.img;*.dmg;*.cdr;*.toast"}, {L"All files", L"*.*"}};
  return f;
}

bool blank_name(const std::string& name) { return name.find_first_not_of(" \t") == std::string::npos; }
