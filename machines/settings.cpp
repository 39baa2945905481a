#include "machines/settings.h"

#include <windows.h>

#include <cwctype>
#include <map>
#include <vector>

Settings g_set;

void ini_touch(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  static const unsigned char bom[2] = {0xFF, 0xFE};
  DWORD wrote = 0;
  WriteFile(h, bom, 2, &wrote, nullptr);
  CloseHandle(h);
}

std::wstring ini_get(const std::wstring& ini, const wchar_t* section, const wchar_t* key,
                     const std::wstring& def) {
  // A value that fills the buffer may have been cut: read again with more room.
  for (DWORD size = 4096;; size *= 4) {
    std::vector<wchar_t> buf(size);
    DWORD n = GetPrivateProfileStringW(section, key, def.c_str(), buf.data(), size, ini.c_str());
    if (n + 1 < size || size >= (1u << 24)) return std::wstring(buf.data(), n);
  }
}

bool ini_put(const std::wstring& ini, const wchar_t* section, const wchar_t* key,
             const std::wstring& value) {
  // The reader takes any white space, and ^Z (an old end-of-file mark), for a blank.
  auto edge = [](wchar_t c) { return iswspace(c) || c == 0x1A || c == L'"' || c == L'\''; };
  const bool wrap = !value.empty() && (edge(value.front()) || edge(value.back()));
  const std::wstring put = wrap ? L'"' + value + L'"' : value;
  return WritePrivateProfileStringW(section, key, put.c_str(), ini.c_str()) != 0;
}

void Settings::load() {
  std::wstring app = exe_dir();
  ini = path_join(app, L"vunk.ini");
  std::wstring parent = path_dir(app);
  std::wstring def_root =
      file_exists(path_join(parent, L"run-tiger.ps1")) ? parent : std::wstring(L"G:\\Tiger");
  tiger_root = ini_get(ini, L"paths", L"tiger_root", def_root);
  std::wstring local_qemu = path_join(app, L"qemu");
  std::wstring def_qemu = file_exists(path_join(local_qemu, L"qemu-system-x86_64.exe"))
                              ? local_qemu
                              : path_join(tiger_root, L"qemu");
  qemu_dir = ini_get(ini, L"paths", L"qemu_dir", def_qemu);
  msys_bin = ini_get(ini, L"paths", L"msys_bin", L"C:\\msys64\\ucrt64\\bin");
  machines_dir = ini_get(ini, L"paths", L"machines_dir", path_join(app, L"machines"));
  tiger_script =
      ini_get(ini, L"paths", L"tiger_script", path_join(app, L"scripts\\run-tiger-embed.ps1"));
  media_dir = ini_get(ini, L"paths", L"media_dir", L"");
  mac_rom = ini_get(ini, L"paths", L"mac_rom", L"");
}

void Settings::save() const {
  ini_touch(ini);
  const std::pair<const wchar_t*, const std::wstring*> keys[] = {
      {L"tiger_root", &tiger_root},     {L"qemu_dir", &qemu_dir},   {L"msys_bin", &msys_bin},
      {L"machines_dir", &machines_dir}, {L"tiger_script", &tiger_script},
      {L"media_dir", &media_dir},       {L"mac_rom", &mac_rom}};
  for (auto& [key, value] : keys) ini_put(ini, L"paths", key, *value);
}

bool Settings::tiger_ok() const {
  return file_exists(path_join(tiger_root, L"run-tiger.ps1")) && file_exists(tiger_script);
}

bool whpx_ok() {
  static int state = -1;
  if (state != -1) return state == 1;
  state = 0;
  if (!env_value(L"VUNK_NO_WHPX").empty()) return false;
  bool ok = false;
  if (HMODULE dll = LoadLibraryW(L"WinHvPlatform.dll")) {
    using GetCap = HRESULT(WINAPI*)(UINT32, void*, UINT32, UINT32*);
    auto fn = reinterpret_cast<GetCap>(
        reinterpret_cast<void*>(GetProcAddress(dll, "WHvGetCapability")));
    if (fn) {
      unsigned char out[64] = {};
      UINT32 written = 0;
      HRESULT hr = fn(0, out, sizeof out, &written);
      UINT32 first = 0;
      memcpy(&first, out, 4);
      ok = SUCCEEDED(hr) && first != 0;
    }
  }
  state = ok ? 1 : 0;
  wlog("windows hypervisor platform: %s", ok ? "on" : "OFF (x86 systems run in TCG)");
  return ok;
}

std::wstring qemu_exe(const std::string& arch) {
  return path_join(g_set.qemu_dir, L"qemu-system-" + widen(arch) + L".exe");
}

namespace {

bool search_bytes(const unsigned char* hay, size_t n, const std::string& needle) {
  size_t m = needle.size();
  if (m == 0) return n > 0;
  if (n < m) return false;
  const unsigned char* nd = reinterpret_cast<const unsigned char*>(needle.data());
  size_t skip[256];
  for (size_t& s : skip) s = m;
  for (size_t i = 0; i + 1 < m; ++i) skip[nd[i]] = m - 1 - i;
  size_t pos = 0;
  while (pos + m <= n) {
    size_t j = m - 1;
    while (hay[pos + j] == nd[j]) {
      if (j == 0) return true;
      --j;
    }
    pos += skip[hay[pos + m - 1]];
  }
  return false;
}

bool search_file(const std::wstring& path, const std::string& needle) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  LARGE_INTEGER size{};
  GetFileSizeEx(f, &size);
  if (HANDLE map = CreateFileMappingW(f, nullptr, PAGE_READONLY, 0, 0, nullptr)) {
    if (void* view = MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0)) {
      found = search_bytes(static_cast<const unsigned char*>(view), size_t(size.QuadPart), needle);
      UnmapViewOfFile(view);
    }
    CloseHandle(map);
  }
  CloseHandle(f);
  return found;
}

}  // namespace

// Probes per path and needle; a changed last-write time searches again.
static std::map<std::wstring, std::pair<u64, bool>>& contains_cache() {
  static std::map<std::wstring, std::pair<u64, bool>> cache;
  return cache;
}
bool file_contains(const std::wstring& path, const std::string& needle) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return false;
  u64 stamp = (u64(d.ftLastWriteTime.dwHighDateTime) << 32) | d.ftLastWriteTime.dwLowDateTime;
  std::wstring key = path + L"|" + widen(needle);
  auto& cache = contains_cache();
  auto it = cache.find(key);
  if (it != cache.end() && it->second.first == stamp) return it->second.second;
  bool found = search_file(path, needle);
  cache[key] = {stamp, found};
  return found;
}

bool exe_supports_embed(const std::wstring& exe) {
  static const std::wstring marker = L"QEMU_D3D11_EMBED_CMD";
  std::string bytes(reinterpret_cast<const char*>(marker.data()), marker.size() * 2);
  return file_contains(exe, bytes);
}

bool exe_has_d3d11(const std::wstring& exe) { return file_contains(exe, "d3d11-window"); }
