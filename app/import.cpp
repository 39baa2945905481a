// Importing an existing disk image: choosing it, asking qemu-img about it in
// the background, the import view, and adding the machine (for a bare HFS
// volume through a bootable copy made on a worker thread).
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "app/form_parts.h"
#include "app/form_rules.h"
#include "gfx/layer.h"
#include "macdisk/mac68k.h"

namespace {

InfoRequests g_info;
std::atomic<int> g_info_workers{0};

// Answers of older requests still waiting in the queue describe an image that
// is no longer chosen: they go before the new request starts.
void drop_queued_answers(HWND hwnd) {
  MSG msg;
  while (PeekMessageW(&msg, hwnd, kMsgInfo, kMsgInfo, PM_REMOVE)) {
    auto* text = reinterpret_cast<std::string*>(msg.lParam);
    if (posted_take(text)) delete text;
  }
}

void info_worker(HWND hwnd, std::wstring cmdline, u64 request) {
  auto* out = new std::string;
  run_capture(cmdline, *out, 20000);
  bool sent = false;
  g_info.deliver(request, [&] {
    posted_add(out);
    sent = PostMessageW(hwnd, kMsgInfo, 0, LPARAM(out));
    if (!sent) posted_take(out);
  });
  if (!sent) delete out;
  --g_info_workers;
}

// The bootable copy of a bare HFS volume. The new record stays out of the
// library until its disk is complete, so nobody can launch or edit a machine
// whose disk is still being written.
struct CopyJob {
  std::unique_ptr<Machine> record;
  std::wstring source, dest;
  u64 total = 0;  // bytes the finished copy has
  std::atomic<bool> done{false};
  bool ok = false;
  std::string error;
  UINT_PTR timer = 0;
};
std::shared_ptr<CopyJob> g_copy;

void finish_copy() {
  std::shared_ptr<CopyJob> job = std::move(g_copy);
  KillTimer(nullptr, job->timer);
  Machine& m = *job->record;
  std::string name = upper(m.name);
  if (job->ok) {
    m.disk = job->dest;
    if (!m.save()) {
      job->ok = false;
      job->error = "CAN'T WRITE " + upper(narrow(path_join(m.dir, L"machine.ini")));
    }
  }
  if (!job->ok) {
    DeleteFileW(job->dest.c_str());
    DeleteFileW(path_join(m.dir, L"machine.ini").c_str());
    RemoveDirectoryW(m.dir.c_str());
    wlog("%s: import failed: %s", m.name.c_str(), job->error.c_str());
    g_app.note(name + ": BOOTABLE COPY FAILED\n" + job->error, pal.red);
    return;
  }
  wlog("%s: imported as a bootable copy of %s", m.name.c_str(), narrow(job->source).c_str());
  g_lib.insert(g_lib.begin(), std::move(job->record));
  if (g_app.view == App::Import) g_app.go_home();
  g_app.note(name + ": IMPORTED AS A BOOTABLE COPY.", pal.green);
}

void CALLBACK copy_poll(HWND, UINT, UINT_PTR, DWORD) {
  g_app.dirty = true;  // the progress bar moves
  if (g_copy && g_copy->done) finish_copy();
}

std::string size_text(u64 bytes) { return bytes ? human_bytes(bytes) : "-"; }

}  // namespace

void App::pick_import() {
  std::wstring path = pick_file(false, L"Import a disk image", disk_filters());
  if (!path.empty()) import_begin(*this, path);
}

bool import_copy_running() { return g_copy != nullptr; }

int import_workers_running() { return g_info_workers; }

void import_begin(App& a, const std::wstring& path) {
  a.import_path = path;
  ImportFill f = import_fill(path, g_lib.by_disk(path));
  a.import_profile = f.profile;
  a.import_name = f.name;
  a.import_hint = f.hint;
  a.import_mem = f.mem;
  a.import_cpus = f.cpus;
  a.import_scratch = f.scratch;
  a.import_bare = f.bare;
  a.import_format.clear();
  a.import_vsize = a.import_asize = 0;
  a.import_reading = true;

  u64 request = g_info.open();
  drop_queued_answers(a.hwnd);
  ++g_info_workers;
  std::thread(info_worker, a.hwnd, qemu_img_info_cmd(g_set.qemu_dir, path), request).detach();

  a.go(App::Import);
}

void App::start_import() {
  if (g_copy || import_path.empty() || !import_profile) return;
  if (blank_name(import_name)) {
    note("NAME THE SYSTEM FIRST", pal.red);
    return;
  }
  if (!file_exists(import_path)) {
    note("DISK NOT FOUND: " + upper(narrow(import_path)), pal.red);
    return;
  }
  Machine* m = g_lib.create(import_name, import_profile->id);
  if (!m) {
    // No machines folder (machines_dir empty in vunk.ini): nowhere to put one.
    note(upper(import_name) + ": NOT IMPORTED\nMACHINE FOLDER NOT SET", pal.red);
    return;
  }
  m->mem = import_mem;
  m->cpus = import_cpus;
  m->scratch = import_scratch;

  if (import_bare) {
    auto job = std::make_shared<CopyJob>();
    job->record = std::move(g_lib.front());
    g_lib.erase(g_lib.begin());
    job->source = import_path;
    job->dest = path_join(job->record->dir, L"disk.img");
    job->total = file_size(import_path) + kMacPrefixBytes;
    job->timer = SetTimer(nullptr, 0, 100, copy_poll);
    g_copy = job;
    wlog("%s: making a bootable copy of %s", m->name.c_str(), narrow(job->source).c_str());
    std::thread([job] {
      job->ok = mac_make_bootable(job->source, job->dest, job->error);
      job->done = true;
    }).detach();
    dirty = true;
    return;
  }

  m->disk = import_path;
  std::string name = upper(m->name);
  if (!m->save()) {
    note(name + ": NOT IMPORTED\nCAN'T WRITE " + upper(narrow(path_join(m->dir, L"machine.ini"))), pal.red);
    g_lib.forget(m);
    return;
  }
  wlog("%s: imported %s", m->name.c_str(), narrow(import_path).c_str());
  go_home();
  note(name + ": IMPORTED.", pal.green);
}

void App::draw_import(const D2D_RECT_F& r) {
  FormFrame f = form_frame(r, scroll);
  form_title(*this, r, f, "IMPORT EXISTING DISK", "ADOPT A DISK IMAGE YOU ALREADY HAVE");
  const Profile& steps_of = import_profile ? *import_profile : import_fallback_profile();

  push_clip(f.area);
  float y = f.top;
  D2D_RECT_F c = form_row(*this, f, y, "DISK IMAGE");
  bool again = path_button_row(*this, c, import_path, "NO IMAGE CHOSEN", "impbrowse", "CHANGE", !g_copy, false);
  y += kRowPitch;
  label(f.x, y, surface.fit(import_hint, f.w, 7.5f, 0.16f), import_bare ? pal.amber : alpha(pal.ice, 0.8f), 7.5f);
  std::string facts = import_reading ? "READING..."
                      : import_format.empty()
                          ? "FORMAT NOT REPORTED"
                          : strf("FORMAT %s  //  VIRTUAL %s  //  ON DISK %s", upper(import_format).c_str(),
                                 size_text(import_vsize).c_str(), size_text(import_asize).c_str());
  label(f.x, y + 22, facts, import_reading ? pal.amber : pal.cyan, 9);
  y += 56;

  c = form_row(*this, f, y, "PROFILE");
  if (profile_chooser(*this, id("impprof", 0), c, import_profile) && import_profile) {
    // A newly chosen profile brings its own sizes.
    import_mem = import_profile->mem_mb;
    import_cpus = import_profile->cpus;
  }
  y += kRowPitch;
  c = form_row(*this, f, y, "NAME");
  text_field(id("impname", 0), c, import_name, kNameBytes);
  y += kRowPitch;
  size_rows(*this, f, y, "impsize", import_mem, import_cpus, steps_of);
  check_box(id("impscratch", 0), {f.x, y, f.x + f.w, y + 28}, "SCRATCH: CHANGES ARE DISCARDED AT POWER-OFF",
            import_scratch);
  y += 40;
  pop_clip();
  form_scroll_end(f.area, y - f.top);

  draw_dossier(f.dossier, import_profile);

  // Footer: the action, or the progress of the bootable copy.
  float fy = f.footer_y;
  if (g_copy) {
    float frac = g_copy->total ? std::min(1.0f, float(file_size(g_copy->dest)) / float(g_copy->total)) : 0;
    D2D_RECT_F bar{f.x, fy + 24, f.x + f.w, fy + 34};
    label(f.x, fy, strf("MAKING A BOOTABLE COPY  %d%%", int(frac * 100)), pal.amber, 9);
    surface.rect(bar, alpha(pal.amber, 0.6f), 1);
    surface.fill({bar.left, bar.top, bar.left + (bar.right - bar.left) * frac, bar.bottom}, alpha(pal.amber, 0.8f));
    easing = true;
  } else {
    bool ready = import_profile && !import_path.empty() && !blank_name(import_name);
    const char* go = import_bare ? "MAKE BOOTABLE AND IMPORT" : "IMPORT";
    float gw = std::max(180.0f, surface.text_width(go, 10, 0.16f) + 40);
    if (button(id("impgo", 0), {f.x, fy, f.x + gw, fy + kCtlH}, go, Btn::Primary, ready, 10)) start_import();
    if (button(id("impcancel", 0), {f.x + gw + 16, fy, f.x + gw + 136, fy + kCtlH}, "CANCEL", Btn::Secondary, true, 10))
      go_home();
  }
  if (again) pick_import();
}
