#include "machines/library.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "machines/fleet.h"
#include "machines/profile.h"
#include "machines/settings.h"

Library g_lib;

std::wstring norm_path(const std::wstring& path) {
  std::wstring p = lower_w(full_path(path));
  std::replace(p.begin(), p.end(), L'/', L'\\');
  return p;
}

std::string slugify(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 'A' && c <= 'Z')
      out += char(c - 'A' + 'a');
    else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
      out += char(c);
    else if (!out.empty() && out.back() != '-')
      out += '-';
  }
  while (!out.empty() && out.back() == '-') out.pop_back();
  if (out.size() > 40) out.resize(40);
  if (out.empty()) out = "vm";
  return out;
}

// ---- machine.ini ----------------------------------------------------------

namespace {

const wchar_t kSection[] = L"machine";

std::wstring mget(const std::wstring& ini, const wchar_t* key, const wchar_t* def) {
  return ini_get(ini, kSection, key, def);
}

bool mput(const std::wstring& ini, const wchar_t* key, const std::wstring& value) {
  return ini_put(ini, kSection, key, value);
}

}  // namespace

bool Machine::load(const std::wstring& folder) {
  dir = folder;
  std::wstring ini = path_join(dir, L"machine.ini");
  if (!file_exists(ini)) return false;
  id = narrow(path_leaf(dir));
  name = narrow(mget(ini, L"name", path_leaf(dir).c_str()));
  profile = narrow(mget(ini, L"profile", L"other-x64"));
  disk = mget(ini, L"disk", L"");
  cdrom = mget(ini, L"cdrom", L"");
  extra = narrow(mget(ini, L"extra", L""));
  mem = int(wcstol(mget(ini, L"mem", L"0").c_str(), nullptr, 10));
  cpus = int(wcstol(mget(ini, L"cpus", L"0").c_str(), nullptr, 10));
  install = mget(ini, L"install", L"0") == L"1";
  scratch = mget(ini, L"scratch", L"0") == L"1";
  created = wcstoll(mget(ini, L"created", L"0").c_str(), nullptr, 10);
  last_run = wcstoll(mget(ini, L"last_run", L"0").c_str(), nullptr, 10);
  if (const Profile* p = find_profile(profile)) {
    if (mem < 1) mem = p->mem_mb;
    if (cpus < 1) cpus = p->cpus;
  }
  return true;
}

bool Machine::save() const {
  // An empty folder would put machine.ini in the current folder.
  if (dir.empty()) {
    wlog("%s: not saved: the machine has no folder", name.c_str());
    return false;
  }
  CreateDirectoryW(dir.c_str(), nullptr);
  std::wstring ini = path_join(dir, L"machine.ini");
  ini_touch(ini);
  // A value that could not be written (a full disk, a read-only folder)
  // fails the save instead of leaving an old value behind unnoticed.
  bool ok = mput(ini, L"name", widen(name));
  ok &= mput(ini, L"profile", widen(profile));
  ok &= mput(ini, L"disk", disk);
  ok &= mput(ini, L"cdrom", cdrom);
  ok &= mput(ini, L"extra", widen(extra));
  ok &= mput(ini, L"mem", std::to_wstring(mem));
  ok &= mput(ini, L"cpus", std::to_wstring(cpus));
  ok &= mput(ini, L"install", install ? L"1" : L"0");
  ok &= mput(ini, L"scratch", scratch ? L"1" : L"0");
  ok &= mput(ini, L"created", std::to_wstring(created));
  ok &= mput(ini, L"last_run", std::to_wstring(last_run));
  return ok && file_exists(ini);
}

bool Machine::is_main_tiger() const {
  return norm_path(disk) == norm_path(path_join(g_set.tiger_root, L"vm\\tiger-hd.img"));
}

// ---- library ----------------------------------------------------------------

// Running machines keep going without their record: the fleet's links to a
// record about to be destroyed are cleared first.
static void unlink_fleet(const Machine* m) {
  for (size_t i = 0; i < g_fleet.vms.size(); ++i)
    if (g_fleet.vms[i] && g_fleet.vms[i]->machine == m) g_fleet.vms[i]->machine = nullptr;
}

void Library::load() {
  for (auto& m : *this) unlink_fleet(m.get());
  clear();
  const std::wstring& root = g_set.machines_dir;
  if (root.empty()) {
    wlog("library: no machines folder set, no machines");
    return;
  }
  CreateDirectoryW(root.c_str(), nullptr);

  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(path_join(root, L"*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || fd.cFileName[0] == L'.') continue;
      auto m = std::make_unique<Machine>();
      if (m->load(path_join(root, fd.cFileName))) push_back(std::move(m));
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }

  // Seeding is tried once per settings file: a user who forgets the seeded
  // machine does not get it back.
  if (ini_get(g_set.ini, L"library", L"seeded", L"0") != L"1") {
    std::wstring seed = path_join(g_set.tiger_root, L"vm\\tiger-hd.img");
    if (g_set.tiger_ok() && file_exists(seed) && !by_disk(seed)) {
      Machine* m = create("Tiger", "macosx-x86");
      m->disk = seed;
      m->mem = 2048;
      m->cpus = 8;
      m->save();
    }
    ini_touch(g_set.ini);
    WritePrivateProfileStringW(L"library", L"seeded", L"1", g_set.ini.c_str());
  }

  std::stable_sort(begin(), end(), [](const auto& a, const auto& b) {
    if (a->last_run != b->last_run) return a->last_run > b->last_run;
    return a->name < b->name;
  });
}

Machine* Library::create(const std::string& name, const std::string& profile) {
  if (g_set.machines_dir.empty()) return nullptr;
  std::string slug = slugify(name);
  std::string id = slug;
  for (int n = 2; dir_exists(path_join(g_set.machines_dir, widen(id))); ++n)
    id = slug + "-" + std::to_string(n);
  auto m = std::make_unique<Machine>();
  m->id = id;
  m->dir = path_join(g_set.machines_dir, widen(id));
  m->name = name;
  m->profile = profile;
  m->created = i64(time(nullptr));
  if (const Profile* p = find_profile(profile)) {
    m->mem = p->mem_mb;
    m->cpus = p->cpus;
  }
  CreateDirectoryW(m->dir.c_str(), nullptr);
  insert(begin(), std::move(m));
  return front().get();
}

void Library::forget(Machine* m) {
  auto it = std::find_if(begin(), end(), [m](const auto& p) { return p.get() == m; });
  if (it == end()) return;
  DeleteFileW(path_join(m->dir, L"machine.ini").c_str());
  RemoveDirectoryW(m->dir.c_str());  // only succeeds when nothing else is left in it
  unlink_fleet(m);
  erase(it);
}

Machine* Library::by_disk(const std::wstring& path) {
  if (path.empty()) return nullptr;
  std::wstring want = norm_path(path);
  for (auto& m : *this)
    if (!m->disk.empty() && norm_path(m->disk) == want) return m.get();
  return nullptr;
}

Machine* Library::by_id(const std::string& id) {
  for (auto& m : *this)
    if (m->id == id) return m.get();
  return nullptr;
}
