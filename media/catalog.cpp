// The release catalog (g_cat): the refresh thread and the accepted list.
#include "media/catalog.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/http.h"

// Built right after the media store and destroyed right before it.
Catalog g_cat __attribute__((init_priority(1001)));

namespace {

// libstdc++'s regex engine recurses on long inputs; the fetch thread gets a
// stack far beyond the default so a large page cannot overflow it.
constexpr SIZE_T kFetchStack = SIZE_T(512) << 20;

DWORD WINAPI fetch_thread(void* arg) {
  HWND hwnd = static_cast<HWND>(arg);
  CatalogResult* r = fetch_catalog();
  if (!PostMessageW(hwnd, kCatalogMessage, 0, reinterpret_cast<LPARAM>(r))) delete r;
  return 0;
}

}  // namespace

void Catalog::refresh(HWND hwnd) {
  if (loading) return;
  loading = true;
  HANDLE h = CreateThread(nullptr, kFetchStack, fetch_thread, hwnd,
                          STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (h)
    CloseHandle(h);  // detached: nothing waits for it
  else
    loading = false;  // no thread: the next ensure tries again
}

void Catalog::ensure(HWND hwnd) {
  if (loading) return;
  if (!loaded || now_s() - fetched_at > 21600) refresh(hwnd);
}

void Catalog::accept(CatalogResult* r) {
  std::unique_ptr<CatalogResult> own(r);
  loading = false;
  if (!r) return;
  if (!r->items.empty()) items = r->items;
  err = r->err;
  loaded = true;
  fetched_at = now_s();
  wlog("catalog: %d install media%s%s", int(items.size()), err.empty() ? "" : ", ", err.c_str());
}

bool Catalog::profile_has_media(const std::string& profile_id) {
  return profile_id == "linux-x64";
}

std::vector<const MediaItem*> Catalog::for_profile(const std::string& profile_id) const {
  std::vector<const MediaItem*> out;
  if (!profile_has_media(profile_id)) return out;
  for (const MediaItem& it : items) out.push_back(&it);
  return out;
}

D3DCOLORVALUE distro_color(const std::string& distro) {
  if (distro == "UBUNTU") return {1.0f, 0.56f, 0.18f, 1.0f};
  if (distro == "FEDORA") return {0.36f, 0.62f, 1.0f, 1.0f};
  if (distro == "DEBIAN") return {1.0f, 0.34f, 0.5f, 1.0f};
  if (distro == "OMARCHY") return {0.36f, 1.0f, 0.48f, 1.0f};
  return {0.22f, 0.78f, 1.0f, 1.0f};
}

// ---- release servers -------------------------------------------------------

namespace {

struct Endpoint {
  const char* origin;  // default
  const char* path;
};
constexpr Endpoint kEndpoints[int(Rel::Count)] = {
    {"https://releases.ubuntu.com", "/"},
    {"https://dl.fedoraproject.org", "/pub/fedora/linux/releases/"},
    {"https://download.fedoraproject.org", "/pub/fedora/linux/releases/"},
    {"https://torrent.fedoraproject.org", "/torrents/"},
    {"https://cdimage.debian.org", "/debian-cd/current/amd64/"},
    {"https://omarchy.org", "/"},
    {"https://iso.omarchy.org", "/"},
};

std::mutex g_origin_mu;
std::string g_origins[int(Rel::Count)];
bool g_origins_read = false;

// Under g_origin_mu.
void read_origins() {
  if (g_origins_read) return;
  g_origins_read = true;
  for (int i = 0; i < int(Rel::Count); ++i) g_origins[i] = kEndpoints[i].origin;
  const char* env = getenv("VUNK_RELEASE_ORIGINS");
  if (!env) return;
  std::string s = env;
  size_t pos = 0;
  for (int i = 0; i < int(Rel::Count) && pos <= s.size(); ++i) {
    size_t semi = s.find(';', pos);
    if (semi == std::string::npos) semi = s.size();
    std::string o = s.substr(pos, semi - pos);
    while (!o.empty() && o.back() == '/') o.pop_back();
    if (!o.empty()) g_origins[i] = o;
    pos = semi + 1;
  }
}

}  // namespace

std::string release_origin(Rel which) {
  std::lock_guard<std::mutex> lock(g_origin_mu);
  read_origins();
  return g_origins[int(which)];
}

void set_release_origin(Rel which, const std::string& origin) {
  std::lock_guard<std::mutex> lock(g_origin_mu);
  read_origins();
  std::string o = origin;
  while (!o.empty() && o.back() == '/') o.pop_back();
  g_origins[int(which)] = o.empty() ? kEndpoints[int(which)].origin : o;
}

std::string release_base(Rel which) {
  return release_origin(which) + kEndpoints[int(which)].path;
}

std::string regex_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c && strchr("\\^$.|?*+()[]{}", c)) out += '\\';
    out += c;
  }
  return out;
}

// ---- release fetchers -------------------------------------------------------

std::vector<int32_t> vnum(const std::string& s) {
  std::vector<int32_t> out;
  return out;
}

bool vless(const std::string& a, const std::string& b) {
  return vnum(a) < vnum(b);
}

u64 head_size(const std::string& url) {
  u64 len = 0;
  std::string final_url;
  bool ranges = false;
  return http_head(url, len, final_url, ranges) ? len : 0;
}

void fetch_ubuntu(CatalogResult& r) {}
void fetch_fedora(CatalogResult& r) {}
void fetch_debian(CatalogResult& r) {}
void fetch_omarchy(CatalogResult& r) {}

CatalogResult* fetch_catalog() {
  auto* r = new CatalogResult;
  fetch_ubuntu(*r);
  fetch_fedora(*r);
  fetch_debian(*r);
  fetch_omarchy(*r);
  return r;
}
