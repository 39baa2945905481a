// The release catalog: which install images of Ubuntu, Fedora, Debian and
// Omarchy exist right now, learnt from their public release servers on a
// worker thread and handed to the user-interface thread as WM_APP+23.
#pragma once

#include <windows.h>

#include <d2dbasetypes.h>

#include <string>
#include <vector>

#include "core/common.h"

// One downloadable install image. A plain value: every holder keeps a copy.
struct MediaItem {
  std::string distro;   // "UBUNTU", "FEDORA", "DEBIAN", "OMARCHY"
  std::string version;
  std::string label;    // version as shown (" LTS" behind a long-term release)
  std::string edition;  // "DESKTOP", "SERVER", "WORKSTATION", "NETINST", ...
  std::string file;     // ISO file name; the key of a media job
  std::string url;
  std::string torrent;  // empty when the release has none
  std::string sha256;   // 64 lower-case hex digits, empty when none given
  u64 size = 0;         // bytes, 0 when unknown
  bool lts = false;
  const char* site = "geneva";  // world-map site of the source
};

// What one refresh found; owned by whoever holds the pointer.
struct CatalogResult {
  std::vector<MediaItem> items;  // Ubuntu, Fedora, Debian, Omarchy, in fetch order
  std::string err;               // sentences of the fetchers that failed
};

// The window message that carries a CatalogResult* in lParam.
constexpr UINT kCatalogMessage = WM_APP + 23;

// The accepted catalog. UI thread only.
struct Catalog {
  std::vector<MediaItem> items;
  bool loading = false;
  bool loaded = false;
  std::string err;
  double fetched_at = 0;

  // Starts one fetch thread unless one is under way; its result arrives at
  // hwnd as kCatalogMessage.
  void refresh(HWND hwnd);
  // Refreshes when never loaded or older than six hours; never while loading.
  void ensure(HWND hwnd);
  // Takes over r (frees it). A result without items keeps the previous list.
  void accept(CatalogResult* r);
  static bool profile_has_media(const std::string& profile_id);
  // Pointers into items, valid until the next accept that replaces them.
  std::vector<const MediaItem*> for_profile(const std::string& profile_id) const;
};
extern Catalog g_cat;

// Accent colour of a distribution name (exact, case-sensitive).
D3DCOLORVALUE distro_color(const std::string& distro);

// ---- release fetchers ------------------------------------------------------
// Run on the catalog thread, one after another on one result: each appends its
// items and at most one error sentence, and never throws.
void fetch_ubuntu(CatalogResult& r);
void fetch_fedora(CatalogResult& r);
void fetch_debian(CatalogResult& r);
void fetch_omarchy(CatalogResult& r);
// All four in order on a fresh result (what the refresh thread does).
CatalogResult* fetch_catalog();

// Dotted version numbers: "24.04.2" -> 24, 4, 2 (each part read like atoi,
// saturated to 32 bits); vless compares them lexicographically.
std::vector<int32_t> vnum(const std::string& s);
bool vless(const std::string& a, const std::string& b);
// Content-Length of a successful HEAD, 0 when none could be learnt.
u64 head_size(const std::string& url);

// ---- release servers -------------------------------------------------------
// The seven endpoints the fetchers ask. Each has an origin ("scheme://host" or
// "scheme://host:port"; the public HTTPS hosts by default) and a fixed path.
// VUNK_RELEASE_ORIGINS (seven origins separated by ";", empty entries keep the
// default) replaces origins at the first use, so a test can serve look-alike
// servers on loopback.
enum class Rel : int {
  Ubuntu = 0,
  FedoraIndex,
  FedoraDownload,
  FedoraTorrent,
  Debian,
  OmarchySite,
  OmarchyIso,
  Count
};
std::string release_origin(Rel which);
void set_release_origin(Rel which, const std::string& origin);
// Origin plus the endpoint's path, ending in "/".
std::string release_base(Rel which);
// A text that matches itself literally inside an ECMAScript pattern.
std::string regex_escape(const std::string& text);
