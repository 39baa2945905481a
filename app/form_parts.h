// Pieces the three machine forms (new system, import, edit) share: where a
// form's parts go in the content rectangle, labelled rows, the profile
// chooser and the path row.
#pragma once

#include <string>
#include <vector>

#include "app/app.h"

// Where a form's parts go. The rows scroll inside `area`; the title, the
// dossier and the footer with the form's buttons stay put.
struct FormFrame {
  D2D_RECT_F area{};     // scrolled rows (clip rectangle)
  D2D_RECT_F dossier{};  // profile dossier
  float x = 0;           // left edge of the fields
  float w = 0;           // width of a field
  float title_y = 0;
  float footer_y = 0;    // top of the footer's buttons (36 high)
  float top = 0;         // y of the first row, scroll applied
};
FormFrame form_frame(const D2D_RECT_F& r, float scroll);

constexpr float kRowPitch = 68;  // label (16) + control (36) + gap
constexpr float kCtlTop = 16;    // control below its row label
constexpr float kCtlH = 36;

// The row's control rectangle and its label drawn above it.
D2D_RECT_F form_row(App& a, const FormFrame& f, float y, const char* label);
// Title and one line under it.
void form_title(App& a, const D2D_RECT_F& r, const FormFrame& f, const std::string& title, const std::string& sub);

// A stepper over the offered profiles; `none` lists "CHOOSE A PROFILE"
// first while p is null. True when the choice changed.
bool profile_chooser(App& a, u32 id, const D2D_RECT_F& r, const Profile*& p);
// A disk or media path: upper-cased, ice when the file exists, red when not,
// the placeholder when empty.
void path_row(App& a, const D2D_RECT_F& r, const std::wstring& path, const char* placeholder);

// A path row with its button at the right (and a CLEAR button before it when
// `clear` is set, which empties the path). The buttons' ids are `name` 0 and
// 1. True when the button was clicked.
bool path_button_row(App& a, const D2D_RECT_F& r, std::wstring& path, const char* placeholder, const char* name,
                     const char* button, bool enabled, bool clear);
// MEMORY and PROCESSORS rows from y on (steppers `name` 0 and 1 over the
// profile's steps); y moves past them.
void size_rows(App& a, const FormFrame& f, float& y, const char* name, int& mem, int& cpus, const Profile& p);
// An install media row whose BROWSE opens the file dialog.
void media_row(App& a, const D2D_RECT_F& r, std::wstring& media, const char* placeholder, const char* name);
// The row of the launch script's own installer (the profile that runs
// through the script takes no install media of ours).
void installer_row(App& a, const FormFrame& f, float y);

// File dialog filters.
const std::vector<std::pair<std::wstring, std::wstring>>& disk_filters();
const std::vector<std::pair<std::wstring, std::wstring>>& media_filters();

// The import flow once an image is chosen: the form filled from what is
// known or guessed, qemu-img asked in the background, the import view shown.
void import_begin(App& a, const std::wstring& path);
// A bootable copy of an HFS volume is being made (the import waits for it).
bool import_copy_running();
// qemu-img workers still running, stale ones included.
int import_workers_running();

// Whether a name is only blanks.
bool blank_name(const std::string& name);
