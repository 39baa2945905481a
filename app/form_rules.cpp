#include "app/form_rules.h"

#include <windows.h>

#include <algorithm>
#include <cmath>

#include "core/json.h"
#include "gfx/worldmap.h"
#include "machines/machine.h"
#include "macdisk/mac68k.h"

namespace {

constexpr D2D1_COLOR_F kIce{0.78f, 0.95f, 1.0f, 1};
constexpr D2D1_COLOR_F kGreen{0.36f, 1.0f, 0.48f, 1};
constexpr D2D1_COLOR_F kAmber{1.0f, 0.8f, 0.3f, 1};
constexpr D2D1_COLOR_F kRed{1.0f, 0.32f, 0.22f, 1};
constexpr D2D1_COLOR_F kOrange{1.0f, 0.56f, 0.18f, 1};

}  // namespace

std::string cut_utf8(std::string_view s, size_t max) {
  if (s.size() <= max) return std::string(s);
  size_t n = max;
  // Continuation bytes are 10xxxxxx: step back to the lead byte of the
  // character that straddles the limit.
  while (n > 0 && (u8(s[n]) & 0xC0) == 0x80) --n;
  return std::string(s.substr(0, n));
}

std::string path_lines(const std::string& path, size_t width) {
  std::string out, line;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    end = end == std::string::npos ? path.size() : end + 1;
    std::string piece = path.substr(start, end - start);
    if (!line.empty() && line.size() + piece.size() > width) {
      out += line + "\n";
      line.clear();
    }
    line += piece;
    start = end;
  }
  return out + line;
}

// ---- import -------------------------------------------------------------------

const Profile& import_fallback_profile() { return *find_profile("other-x64"); }

ImportFill import_fill(const std::wstring& path, const Machine* known) {
  ImportFill f;
  if (known) {
    f.profile = find_profile(known->profile);
    f.name = known->name;
  } else {
    f.profile = guess_profile(path);
    if (f.profile && !profile_shown(*f.profile)) f.profile = nullptr;
    std::string leaf = narrow(path_leaf(path));
    size_t dot = leaf.rfind('.');
    f.name = dot == std::string::npos ? leaf : leaf.substr(0, dot);
  }
  f.name = cut_utf8(f.name, kNameBytes);

  if (known) {
    f.mem = known->mem;
    f.cpus = known->cpus;
    f.scratch = known->scratch;
    f.hint = "ALREADY KNOWN AS " + upper(known->name);
    return f;
  }
  // A guess the forms do not offer leaves no profile to take defaults from;
  // the generic PC's are the least surprising until the user picks one.
  const Profile& defaults = f.profile ? *f.profile : import_fallback_profile();
  f.mem = defaults.mem_mb;
  f.cpus = defaults.cpus;
  f.hint = "PROFILE GUESSED FROM THE FILE NAME";
  if (mac_is_bare_hfs(path)) {
    f.bare = true;
    f.profile = find_profile("macos7-68k");
    f.mem = f.profile->mem_mb;
    f.cpus = f.profile->cpus;
    f.hint = "HFS VOLUME (BASILISK II / MINI VMAC): BOOTS FROM A COPY WITH OUR DRIVER";
  }
  return f;
}

static u64 json_u64(const JVal& v) {
  if (v.kind != 2 || !(v.n > 0)) return 0;
  if (v.n >= 18446744073709551615.0) return ~u64(0);
  return u64(v.n);
}

bool parse_image_info(std::string_view text, ImageInfo& info) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  JParser p{text.substr(i)};
  JVal v;
  if (!p.value(v) || v.kind != 5) return false;
  const JVal& format = v["format"];
  info.format = format.kind == 3 ? format.s : std::string();
  info.vsize = json_u64(v["virtual-size"]);
  info.asize = json_u64(v["actual-size"]);
  return true;
}

u64 InfoRequests::open() {
  std::lock_guard<std::mutex> hold(lock);
  return ++latest;
}

bool InfoRequests::deliver(u64 request, const std::function<void()>& post) {
  std::lock_guard<std::mutex> hold(lock);
  if (request != latest) return false;
  post();
  return true;
}

std::wstring qemu_img_info_cmd(const std::wstring& qemu_dir, const std::wstring& image) {
  return quote_arg(path_join(qemu_dir, L"qemu-img.exe")) + L" info -U --output=json " + quote_arg(image);
}

// ---- new system ---------------------------------------------------------------

bool wants_blank_mac_disk(const Profile& p) { return p.board == ArchKind::M68k; }

std::wstring new_disk_path(const std::wstring& machine_dir, const Profile& p) {
  return path_join(machine_dir, wants_blank_mac_disk(p) ? L"disk.img" : L"disk.qcow2");
}

std::wstring qemu_img_create_cmd(const std::wstring& qemu_dir, const std::wstring& disk, int gb) {
  return quote_arg(path_join(qemu_dir, L"qemu-img.exe")) + L" create -f qcow2 " + quote_arg(disk) + L" " +
         std::to_wstring(gb) + L"G";
}

// ---- edit -----------------------------------------------------------------------

std::string edit_problem(const EditFields& f) {
  if (!f.disk.empty() && !file_exists(f.disk)) return "DISK NOT FOUND: " + upper(narrow(f.disk));
  if (!f.media.empty() && !file_exists(f.media)) return "INSTALL MEDIA NOT FOUND: " + upper(narrow(f.media));
  return {};
}

void apply_edit(Machine& m, const EditFields& f, bool running) {
  const Profile& p = *f.profile;
  m.name = f.name;
  m.profile = p.id;
  m.mem = std::min(f.mem, p.max_mem_mb);
  m.cpus = std::min(std::max(f.cpus, 1), p.max_cpus);
  if (!running) m.disk = f.disk;
  // The launch script brings its own installer, and its boot choice means
  // something else to it: both are stored as the script expects.
  m.cdrom = p.tiger == 1 ? std::wstring() : f.media;
  m.install = p.tiger == 1 ? f.boot : f.boot && !m.cdrom.empty();
  m.extra = f.extra;
}

std::string edit_saved_text(const std::string& name, bool running) {
  return upper(name) + ": SAVED" + (running ? ". THE RUNNING VM PICKS IT UP AT ITS NEXT LAUNCH." : ".");
}

static bool delete_if_there(const std::wstring& path, const char* what, std::string& error) {
  if (path.empty() || !file_exists(path) || DeleteFileW(path.c_str())) return true;
  error = strf("%s NOT DELETED (ERROR %lu): %s", what, GetLastError(), upper(narrow(path)).c_str());
  return false;
}

bool delete_machine_files(const Machine& m, std::string& error) {
  return delete_if_there(m.disk, "DISK", error) &&
         delete_if_there(path_join(m.dir, L"launch.log"), "LAUNCH LOG", error);
}

// ---- dossier ----------------------------------------------------------------------

HostFacts host_facts(const Profile& p) {
  HostFacts h;
  std::wstring exe = qemu_exe(p.arch);
  h.built = file_exists(exe);
  h.embed = h.built && exe_supports_embed(exe);
  h.d3d11 = h.built && exe_has_d3d11(exe);
  h.whpx = whpx_ok();
  return h;
}

std::vector<DossierFact> dossier_facts(const Profile& p, const HostFacts& host) {
  std::vector<DossierFact> rows;
  rows.push_back({"TARGET", "QEMU-SYSTEM-" + upper(p.arch), host.built ? kIce : kRed});
  bool tcg = std::string_view(p.accel) == "WHPX" && !host.whpx;
  rows.push_back({"ACCEL", tcg ? "TCG (HYPERVISOR PLATFORM OFF)" : p.accel, tcg ? kAmber : kIce});
  if (!host.built)
    rows.push_back({"SCREEN", "-", kAmber});
  else if (host.embed)
    rows.push_back({"SCREEN", "EMBEDDED D3D11", kGreen});
  else
    rows.push_back({"SCREEN", host.d3d11 ? "OWN WINDOW + MIRROR" : "SDL WINDOW + MIRROR", kAmber});
  rows.push_back({"RUNNER", p.tiger == 1 ? "RUN-TIGER (LAUNCHER COPY)" : "DIRECT", kIce});
  const Site* site = find_site(p.site);
  rows.push_back({"SITE", upper(site ? site->label : p.site), kOrange});
  return rows;
}

std::string dossier_build_hint(const Profile& p) {
  return "THIS QEMU HAS NO " + upper(p.arch) + " TARGET. BUILD IT WITH " + p.arch + "-SOFTMMU.";
}

DossierLayout dossier_layout(const D2D_RECT_F& r) {
  DossierLayout d;
  float w = r.right - r.left;
  d.icon = std::min(w - 60, 190.0f);
  d.cx = (r.left + r.right) / 2;
  d.icon_cy = r.top + 30 + d.icon / 2;
  d.ring_cy = r.top + 30 + 0.4f * d.icon;
  d.ring_r = 0.56f * d.icon;
  d.y0 = r.top + 50 + d.icon;
  for (int i = 0; i < 5; ++i) d.row_y[i] = d.y0 + 56 + 22.0f * i;
  d.label_x = r.left + 26;
  d.value_x = r.left + 130;
  d.value_w = r.right - d.value_x - 20;
  d.blurb_y = d.y0 + 174;
  d.blurb_w = w - 52;
  d.hint_y = r.bottom - 52;
  return d;
}
