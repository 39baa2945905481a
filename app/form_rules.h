// The decisions behind the machine forms (new system, import, edit) and the
// profile dossier, kept apart from the drawing so they can be checked without
// a window: names, pre-filled values, what a save or a deletion changes, the
// qemu-img command lines, the dossier's facts and geometry.
#pragma once

#include <d2d1.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/common.h"

struct Machine;
struct Profile;

// Machine names are kept to this many bytes of UTF-8.
constexpr size_t kNameBytes = 32;

// At most max bytes of s, cut back to the start of a character so no UTF-8
// sequence is split.
std::string cut_utf8(std::string_view s, size_t max);

// A long path as lines of at most about `width` characters, broken after
// its backslashes, for text that wraps only at blanks and line feeds.
std::string path_lines(const std::string& path, size_t width);

// ---- import ---------------------------------------------------------------

// What the import form starts with for an image.
struct ImportFill {
  const Profile* profile = nullptr;  // null: the guessed profile is not offered
  std::string name;
  std::string hint;
  int mem = 0;
  int cpus = 0;
  bool scratch = false;
  bool bare = false;  // a bare HFS volume: imported as a bootable copy
};

// known: the library's machine that already uses the image, or null. A known
// image is never probed for HFS.
ImportFill import_fill(const std::wstring& path, const Machine* known);

// The profile whose defaults the import form shows while none is chosen.
const Profile& import_fallback_profile();

// What qemu-img info said about an image.
struct ImageInfo {
  std::string format;
  u64 vsize = 0;
  u64 asize = 0;
};
// False when the text is not a JSON object: the caller keeps what it had.
bool parse_image_info(std::string_view text, ImageInfo& info);

// Only the answer to the latest qemu-img request reaches the form: one for an
// image the user has since replaced would describe the wrong file. The user-
// interface thread opens a request before it starts a worker; the worker
// hands its answer over through deliver, which runs `post` only while the
// request is still the latest. Opening a request and delivering exclude each
// other, so once open() has returned no older answer is posted any more.
struct InfoRequests {
  std::mutex lock;
  u64 latest = 0;
  u64 open();
  // False (post not called) for a request that is no longer the latest.
  bool deliver(u64 request, const std::function<void()>& post);
};

std::wstring qemu_img_info_cmd(const std::wstring& qemu_dir, const std::wstring& image);

// ---- new system -----------------------------------------------------------

// The disk of a new machine: disk.img for the 68k Mac (a partitioned blank
// disk its installer can see), disk.qcow2 otherwise.
std::wstring new_disk_path(const std::wstring& machine_dir, const Profile& p);
bool wants_blank_mac_disk(const Profile& p);
std::wstring qemu_img_create_cmd(const std::wstring& qemu_dir, const std::wstring& disk, int gb);

// ---- edit -----------------------------------------------------------------

struct EditFields {
  std::string name;
  std::string extra;
  const Profile* profile = nullptr;  // never null once the form is open
  int mem = 0;
  int cpus = 0;
  std::wstring disk;
  std::wstring media;
  bool boot = false;
};

// The red text that stops a save (a named file that does not exist), or
// empty when the form can be saved.
std::string edit_problem(const EditFields& f);
// Writes the form into m with the profile's limits; a machine that is
// running keeps its disk path.
void apply_edit(Machine& m, const EditFields& f, bool running);
std::string edit_saved_text(const std::string& name, bool running);

// Deletes the machine's disk and launch.log. False with the red text when a
// file that exists could not be deleted (the caller then keeps the record).
bool delete_machine_files(const Machine& m, std::string& error);

// ---- dossier --------------------------------------------------------------

// What the host offers for a profile (probed by the caller).
struct HostFacts {
  bool built = false;  // the QEMU program exists
  bool embed = false;  // it can show its screen inside our window
  bool d3d11 = false;  // it has the Direct3D 11 display
  bool whpx = false;   // the hypervisor platform is usable
};
HostFacts host_facts(const Profile& p);

struct DossierFact {
  const char* label;
  std::string value;
  D2D1_COLOR_F colour;
};
std::vector<DossierFact> dossier_facts(const Profile& p, const HostFacts& host);
// The red line shown when the QEMU build lacks the profile's target.
std::string dossier_build_hint(const Profile& p);

// Where the dossier's parts go inside its rectangle.
struct DossierLayout {
  float icon = 0;        // icon size
  float cx = 0;          // horizontal centre
  float icon_cy = 0;     // icon centre
  float ring_cy = 0;     // centre of the turning ring
  float ring_r = 0;
  float y0 = 0;          // family line
  float row_y[5] = {};   // fact rows
  float label_x = 0, value_x = 0, value_w = 0;
  float blurb_y = 0, blurb_w = 0;
  float hint_y = 0;      // red build hint
};
DossierLayout dossier_layout(const D2D_RECT_F& r);
