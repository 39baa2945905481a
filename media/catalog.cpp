// The release catalog (g_cat): the refresh thread and the accepted list.
#include "media/catalog.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string_view>

#include "app/app.h"
#include "core/http.h"

// Built right after the media store and destroyed right before it.
Catalog g_cat __attribute__((init_priority(1001)));

namespace {

// libstdc++'s regex code recurses; the fetchers use its matcher that does not
// recurse per character, and the thread still gets a stack far beyond the
// default (reserved, not committed) so no page can overflow it.
constexpr SIZE_T kFetchStack = SIZE_T(512) << 20;

DWORD WINAPI fetch_thread(void* arg) {
  HWND hwnd = static_cast<HWND>(arg);
  CatalogResult* r = fetch_catalog();
  // Registered before it is posted: the window takes only results it knows.
  posted_add(r);
  if (!PostMessageW(hwnd, kCatalogMessage, 0, reinterpret_cast<LPARAM>(r))) {
    posted_take(r);
    delete r;
  }
  return 0;
}

}  // namespace

void Catalog::refresh(HWND hwnd) {
  // Without a window the result would be posted to the fetch thread itself,
  // which ends without reading it.
  if (loading || !hwnd) return;
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
  std::string s = narrow(env_value(L"VUNK_RELEASE_ORIGINS"));
  if (s.empty()) return;
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

namespace {

constexpr u64 kGetCap = 67108864;  // 64 MiB
constexpr u32 kGetTimeout = 20000;
// A comment line of a Fedora checksum file is short; on a longer one the size
// pattern, tried from every "# ", could take time growing with the square of
// the line, so such lines are not searched for sizes.
constexpr size_t kMaxSizeLine = 64 * 1024;

bool get(const std::string& url, std::string& body) {
  body.clear();
  return http_get(url, body, nullptr, kGetCap, kGetTimeout);
}

// The patterns use the ECMAScript grammar. libstdc++'s default matcher
// recurses once per repeated character and overflows any stack on a long run
// of text; its polynomial matcher walks the text without recursing.
std::regex rx(const std::string& pattern) {
  return std::regex(pattern, std::regex::ECMAScript | std::regex_constants::__polynomial);
}

// Every match of re, line by line (lines end at "\n"), in text order, while
// fn returns true. A line without `needle` cannot match and is not searched,
// nor is one longer than max_line. Searching single lines keeps a match from
// swallowing the lines after it.
template <class F>
void each_match(const std::string& text, const std::regex& re, const char* needle, F fn,
                size_t max_line = std::string::npos) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    if (line.size() > max_line || line.find(needle) == std::string_view::npos) continue;
    for (std::cregex_iterator it(line.data(), line.data() + line.size(), re), e; it != e; ++it)
      if (!fn(*it)) return;
  }
}

// atoi's reading of a number at s[pos], saturated to 32 bits.
int32_t atoi_at(const std::string& s, size_t pos) {
  while (pos < s.size() && s[pos] && strchr(" \t\n\v\f\r", s[pos])) ++pos;
  bool neg = false;
  if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) neg = s[pos++] == '-';
  int64_t v = 0;
  for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos)
    v = std::min<int64_t>(v * 10 + (s[pos] - '0'), int64_t(INT32_MAX) + 1);
  v = neg ? -v : v;
  return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// A decimal number that must fit; false for anything else.
bool parse_u64(const std::string& s, u64& out) {
  if (s.empty() || s.size() > 20 || s[0] < '0' || s[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(s.c_str(), &end, 10);
  if (errno || *end) return false;
  out = v;
  return true;
}

bool parse_i32(const std::string& s, int32_t& out) {
  u64 v = 0;
  if (!parse_u64(s, v) || v > u64(INT32_MAX)) return false;
  out = int32_t(v);
  return true;
}

}  // namespace

std::vector<int32_t> vnum(const std::string& s) {
  std::vector<int32_t> out;
  if (s.empty()) return out;
  out.push_back(atoi_at(s, 0));
  size_t part = 0;
  for (;;) {
    size_t dot = s.find('.', part);
    if (dot == std::string::npos || dot + 1 == s.size()) break;
    part = dot + 1;
    out.push_back(atoi_at(s, part));
  }
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

void fetch_ubuntu(CatalogResult& r) {
  const std::string base = release_base(Rel::Ubuntu);
  std::string page;
  if (!get(base, page)) {
    r.err += "UBUNTU INDEX UNREACHABLE. ";
    return;
  }
  std::set<std::string> found;
  each_match(page, rx(R"(href="(\d\d\.\d\d)(\.\d+)*/")"), "href=\"", [&](const std::cmatch& m) {
    found.insert(m[1].str());
    return true;
  });
  if (found.empty()) {
    r.err += "NO UBUNTU RELEASES FOUND. ";
    return;
  }
  std::vector<std::string> dirs(found.begin(), found.end());
  std::stable_sort(dirs.begin(), dirs.end(),
                   [](const std::string& x, const std::string& y) { return vless(y, x); });

  struct Best {
    std::string version, file, sha256;
  };
  const std::regex name_rx = rx(R"(^ubuntu-(\d\d\.\d\d(?:\.\d+)*)-(desktop|live-server)-amd64\.iso$)");
  int taken = 0, taken_lts = 0;
  for (const std::string& dir : dirs) {
    bool lts = atoi_at(dir, 3) == 4 && atoi_at(dir, 0) % 2 == 0;
    bool use = lts ? (taken <= 1 || taken_lts <= 1) : taken <= 1;
    if (!use) continue;
    std::string sums;
    if (!get(base + dir + "/SHA256SUMS", sums) || sums.empty()) continue;
    std::map<std::string, Best> best;
    size_t pos = 0;
    while (pos < sums.size()) {
      size_t end = sums.find('\n', pos);
      if (end == std::string::npos) end = sums.size();
      std::string_view line(sums.data() + pos, end - pos);
      pos = end + 1;
      if (line.size() < 66) continue;
      std::string sha(line.substr(0, 64));
      std::string_view name = line.substr(64);
      while (!name.empty() && (name.front() == ' ' || name.front() == '*')) name.remove_prefix(1);
      while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.remove_suffix(1);
      std::cmatch m;
      if (!std::regex_match(name.data(), name.data() + name.size(), m, name_rx)) continue;
      std::string version = m[1].str(), kind = m[2].str();
      if (version.compare(0, dir.size(), dir) != 0) continue;
      auto it = best.find(kind);
      if (it == best.end() || vless(it->second.version, version))
        best[kind] = {version, std::string(name), sha};
    }
    if (best.empty()) continue;
    for (const char* kind : {"desktop", "live-server"}) {
      auto it = best.find(kind);
      if (it == best.end()) continue;
      MediaItem item;
      item.distro = "UBUNTU";
      item.version = it->second.version;
      item.label = item.version + (lts ? " LTS" : "");
      item.edition = strcmp(kind, "desktop") == 0 ? "DESKTOP" : "SERVER";
      item.file = it->second.file;
      item.url = base + dir + "/" + item.file;
      item.torrent = item.url + ".torrent";
      item.sha256 = it->second.sha256;
      item.lts = lts;
      item.site = "london";
      item.size = head_size(item.url);
      r.items.push_back(std::move(item));
    }
    ++taken;
    if (lts) ++taken_lts;
  }
  if (taken == 0) r.err += "NO UBUNTU RELEASES FOUND. ";
}

void fetch_fedora(CatalogResult& r) {
  const std::string index = release_base(Rel::FedoraIndex);
  std::string page;
  if (!get(index, page)) {
    r.err += "FEDORA INDEX UNREACHABLE. ";
    return;
  }
  std::vector<int32_t> releases;
  each_match(page, rx(R"(href="(\d+)/")"), "href=\"", [&](const std::cmatch& m) {
    int32_t n = 0;
    // A number beyond 32 bits is no release of ours: skipped, not clamped.
    if (parse_i32(m[1].str(), n) && n > 29) releases.push_back(n);
    return true;
  });
  std::sort(releases.begin(), releases.end(), std::greater<int32_t>());
  // A page that links a release twice still offers it once.
  releases.erase(std::unique(releases.begin(), releases.end()), releases.end());
  if (releases.size() > 2) releases.resize(2);
  if (releases.empty()) {
    r.err += "NO FEDORA RELEASES FOUND. ";
    return;
  }
  struct Row {
    const char *dir, *marker, *edition, *torrent;
  };
  static const Row kRows[] = {
      {"Workstation", "-Live-", "WORKSTATION", "Fedora-Workstation-Live-x86_64-"},
      {"Server", "-dvd-", "SERVER", "Fedora-Server-dvd-x86_64-"},
      {"Everything", "-netinst-", "NETINST", nullptr},
  };
  const std::regex sums_rx = rx(R"re(href="([^"]*-CHECKSUM)")re");
  const std::regex size_rx = rx(R"(# ([^:]+\.iso): (\d+) bytes)");
  const std::regex sha_rx = rx(R"(SHA256 \(([^)]+\.iso)\) = ([0-9a-f]{64}))");
  for (int32_t n : releases) {
    for (const Row& row : kRows) {
      std::string rel = std::to_string(n) + "/" + row.dir + "/x86_64/iso/";
      std::string listing, sums_name, sums;
      if (!get(index + rel, listing)) continue;
      each_match(listing, sums_rx, "-CHECKSUM", [&](const std::cmatch& m) {
        sums_name = m[1].str();
        return false;
      });
      if (sums_name.empty() || !get(index + rel + sums_name, sums)) continue;
      std::map<std::string, u64> sizes;
      each_match(sums, size_rx, " bytes", [&](const std::cmatch& m) {
        u64 v = 0;
        // A size beyond 64 bits is no size: the entry is skipped.
        if (parse_u64(m[2].str(), v)) sizes[m[1].str()] = v;
        return true;
      }, kMaxSizeLine);
      std::string file, sha;
      each_match(sums, sha_rx, "SHA256 (", [&](const std::cmatch& m) {
        // The name becomes a file in the media folder: one that would reach
        // outside it is passed over, and the search goes on.
        if (m[1].str().find(row.marker) == std::string::npos || !bare_file_name(m[1].str())) return true;
        file = m[1].str();
        sha = m[2].str();
        return false;
      });
      if (file.empty()) continue;
      MediaItem item;
      item.distro = "FEDORA";
      item.version = item.label = std::to_string(n);
      item.edition = row.edition;
      item.file = file;
      item.url = release_base(Rel::FedoraDownload) + rel + file;
      if (row.torrent)
        item.torrent = release_base(Rel::FedoraTorrent) + row.torrent + item.version + ".torrent";
      item.sha256 = sha;
      auto it = sizes.find(file);
      item.size = it == sizes.end() ? 0 : it->second;
      item.site = "raleigh";
      r.items.push_back(std::move(item));
    }
  }
}

void fetch_debian(CatalogResult& r) {
  const std::string base = release_base(Rel::Debian);
  std::string sums;
  if (!get(base + "iso-cd/SHA256SUMS", sums)) {
    r.err += "DEBIAN INDEX UNREACHABLE. ";
    return;
  }
  MediaItem item;
  each_match(sums, rx(R"(([0-9a-f]{64})\s+\*?(debian-(\d+\.\d+\.\d+)-amd64-netinst\.iso))"),
             "-amd64-netinst.iso", [&](const std::cmatch& m) {
               item.sha256 = m[1].str();
               item.file = m[2].str();
               item.version = m[3].str();
               return false;
             });
  if (item.file.empty()) {
    r.err += "NO DEBIAN NETINST FOUND. ";
    return;
  }
  item.distro = "DEBIAN";
  item.label = item.version;
  item.edition = "NETINST";
  item.url = base + "iso-cd/" + item.file;
  item.torrent = base + "bt-cd/" + item.file + ".torrent";
  item.site = "umea";
  item.size = head_size(item.url);
  r.items.push_back(std::move(item));
}

void fetch_omarchy(CatalogResult& r) {
  std::string page;
  if (!get(release_base(Rel::OmarchySite), page)) {
    r.err += "OMARCHY SITE UNREACHABLE. ";
    return;
  }
  // The link names the ISO server literally: every character of its origin
  // that means something to a pattern is escaped.
  const std::regex link_rx =
      rx(regex_escape(release_origin(Rel::OmarchyIso)) + R"(/(omarchy-(\d+(?:\.\d+)*)\.iso))");
  std::string file, version;
  each_match(page, link_rx, "omarchy-", [&](const std::cmatch& m) {
    if (file.empty() || vless(version, m[2].str())) {
      file = m[1].str();
      version = m[2].str();
    }
    return true;
  });
  if (file.empty()) {
    r.err += "NO OMARCHY ISO LINK FOUND. ";
    return;
  }
  MediaItem item;
  item.url = release_base(Rel::OmarchyIso) + file;
  std::string sums;
  std::cmatch m;
  const std::regex sha_rx = rx("^([0-9a-f]{64})");
  // Only the opening of the file can match "^", so only it is searched.
  if (!get(item.url + ".sha256", sums) ||
      !std::regex_search(sums.c_str(), sums.c_str() + std::min<size_t>(sums.size(), 64), m, sha_rx)) {
    r.err += "NO OMARCHY CHECKSUM. ";
    return;
  }
  item.distro = "OMARCHY";
  item.version = item.label = version;
  item.edition = "ARCH + HYPRLAND";
  item.file = file;
  item.sha256 = m[1].str();
  item.site = "chicago";
  item.size = head_size(item.url);
  r.items.push_back(std::move(item));
}

CatalogResult* fetch_catalog() {
  auto* r = new CatalogResult;
  // A fetcher must not end the thread: whatever escapes one (a pattern the
  // library refuses, memory running out on a huge page) loses only its part.
  for (void (*fetch)(CatalogResult&) : {fetch_ubuntu, fetch_fedora, fetch_debian, fetch_omarchy}) {
    try {
      fetch(*r);
    } catch (...) {
    }
  }
  return r;
}
