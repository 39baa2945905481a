// The release catalog and its four fetchers against look-alike release
// servers on seven loopback ports (tests/fixtures/release), which CTest starts
// around this program.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>

#include "app/app.h"
#include "core/http.h"
#include "media/catalog.h"
#include "tests/support/test_support.h"

namespace {

int first_port() { return atoi(env_str("VUNK_RELEASE_PORT").c_str()); }
std::string origin(int port) { return strf("http://127.0.0.1:%d", port); }

void point_at(int first) {
  for (int i = 0; i < int(Rel::Count); ++i) set_release_origin(Rel(i), origin(first + i));
}

// Switches all seven servers to one of the fixture's cases and fetches.
CatalogResult fetch_case(const std::string& name) {
  point_at(first_port());
  std::string body;
  EXPECT_TRUE(http_get(origin(first_port()) + "/__case/" + name, body, nullptr, 1024, 5000));
  std::unique_ptr<CatalogResult> r(fetch_catalog());
  return *r;
}

// One line per item: the fields a test names, so a table can say it all.
std::string brief(const MediaItem& m) {
  return strf("%s|%s|%s|%s|%s|%s", m.distro.c_str(), m.version.c_str(), m.label.c_str(),
              m.edition.c_str(), m.file.c_str(), m.lts ? "lts" : "-");
}

std::vector<std::string> briefs(const CatalogResult& r) {
  std::vector<std::string> out;
  for (auto& m : r.items) out.push_back(brief(m));
  return out;
}

const MediaItem* by_file(const CatalogResult& r, const std::string& file) {
  for (auto& m : r.items)
    if (m.file == file) return &m;
  return nullptr;
}

std::string last_log_line(const std::string& prefix) {
  std::string log = read_bytes(path_join(exe_dir(), L"vunk.log"));
  size_t at = log.rfind(prefix);
  if (at == std::string::npos) return "";
  return log.substr(at, log.find("\r\n", at) - at);
}

}  // namespace

TEST(Versions, NumbersAndOrder) {
  struct {
    const char* text;
    std::vector<int32_t> parts;
  } nums[] = {
      {"24.04", {24, 4}},        {"1.2.3", {1, 2, 3}},          {"24.", {24}},
      {".5", {0, 5}},            {"abc", {0}},                  {"", {}},
      {" 7.-2", {7, -2}},        {"99999999999.1", {INT32_MAX, 1}}, {"2.0.10", {2, 0, 10}},
  };
  for (auto& n : nums) EXPECT_EQ(vnum(n.text), n.parts) << n.text;
  struct {
    const char *a, *b;
    bool less;
  } pairs[] = {
      {"24.04", "24.04.1", true}, {"9.1", "10", true},  {"24.04", "24.04", false},
      {"", "1", true},            {"1", "", false},     {"2.0.10", "2.1", true},
      {"2.1", "2.0.10", false},   {"25.04", "24.10", false},
  };
  for (auto& p : pairs) EXPECT_EQ(vless(p.a, p.b), p.less) << p.a << " < " << p.b;
}

TEST(Catalog, ColoursProfilesAndEscaping) {
  struct {
    const char* distro;
    float r, g, b;
  } colours[] = {{"UBUNTU", 1.0f, 0.56f, 0.18f}, {"FEDORA", 0.36f, 0.62f, 1.0f},
                 {"DEBIAN", 1.0f, 0.34f, 0.5f},  {"OMARCHY", 0.36f, 1.0f, 0.48f},
                 {"ubuntu", 0.22f, 0.78f, 1.0f}, {"", 0.22f, 0.78f, 1.0f}};
  for (auto& c : colours) {
    D3DCOLORVALUE v = distro_color(c.distro);
    EXPECT_EQ(v.r, c.r) << c.distro;
    EXPECT_EQ(v.g, c.g) << c.distro;
    EXPECT_EQ(v.b, c.b) << c.distro;
    EXPECT_EQ(v.a, 1.0f);
  }

  Catalog cat;
  cat.items.resize(3);
  EXPECT_TRUE(Catalog::profile_has_media("linux-x64"));
  auto mine = cat.for_profile("linux-x64");
  ASSERT_EQ(mine.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(mine[i], &cat.items[i]);
  for (const char* other : {"linux-arm64", "LINUX-X64", "win11", ""}) {
    EXPECT_FALSE(Catalog::profile_has_media(other));
    EXPECT_TRUE(cat.for_profile(other).empty());
  }

  // Every character that means something in a pattern stands for itself.
  const std::string nasty = "https://a.b-c:8080/x?(y)[z]{1}*+|^$\\";
  std::regex re(regex_escape(nasty));
  EXPECT_TRUE(std::regex_match(nasty, re));
  EXPECT_FALSE(std::regex_match(std::string("https://aXb-c:8080/x?(y)[z]{1}*+|^$\\"), re));
}

TEST(Catalog, AcceptEnsureAndOneThread) {
  Catalog cat;
  MediaItem five;
  five.file = "x.iso";
  cat.items.assign(5, five);
  cat.err = "OLD. ";

  // A failed refresh keeps the list it had.
  cat.accept(new CatalogResult{{}, "UBUNTU INDEX UNREACHABLE. "});
  EXPECT_EQ(cat.items.size(), 5u);
  EXPECT_EQ(cat.err, "UBUNTU INDEX UNREACHABLE. ");
  EXPECT_TRUE(cat.loaded);
  EXPECT_FALSE(cat.loading);
  EXPECT_EQ(last_log_line("catalog: "), "catalog: 5 install media, UBUNTU INDEX UNREACHABLE. ");

  // A good one replaces the list and clears the error.
  cat.accept(new CatalogResult{{MediaItem{}, MediaItem{}}, ""});
  EXPECT_EQ(cat.items.size(), 2u);
  EXPECT_EQ(cat.err, "");
  EXPECT_EQ(last_log_line("catalog: "), "catalog: 2 install media");
  EXPECT_EQ(cat.items[0].site, std::string("geneva"));

  // Refreshes land in this thread's message-only window.
  HWND win = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_TRUE(win);
  auto wait_result = [&](double seconds) -> CatalogResult* {
    double until = now_s() + seconds;
    MSG msg;
    while (now_s() < until) {
      if (PeekMessageW(&msg, win, kCatalogMessage, kCatalogMessage, PM_REMOVE))
        return reinterpret_cast<CatalogResult*>(msg.lParam);
      Sleep(10);
    }
    return nullptr;
  };
  point_at(first_port() + 10);  // closed ports: a quick, complete answer

  cat.fetched_at = now_s() - 21600 + 30;
  cat.ensure(win);
  EXPECT_FALSE(cat.loading) << "fresh for six hours";
  cat.fetched_at = now_s() - 21601;
  cat.ensure(win);
  EXPECT_TRUE(cat.loading);
  cat.ensure(win);
  cat.refresh(win);
  CatalogResult* r = wait_result(60);
  ASSERT_TRUE(r);
  EXPECT_TRUE(posted_take(r)) << "the thread registers what it posts";
  EXPECT_EQ(r->err, "UBUNTU INDEX UNREACHABLE. FEDORA INDEX UNREACHABLE. DEBIAN INDEX UNREACHABLE. "
                    "OMARCHY SITE UNREACHABLE. ");
  cat.accept(r);
  EXPECT_FALSE(cat.loading);
  EXPECT_EQ(cat.items.size(), 2u);
  EXPECT_EQ(wait_result(2), nullptr) << "one refresh thread for three calls";

  // A window that is gone: the thread frees its result itself.
  cat.refresh(win);
  DestroyWindow(win);
  Sleep(1500);
  EXPECT_TRUE(cat.loading);
}

TEST(Fetchers, AllUnreachable) {
  point_at(first_port() + 10);
  std::unique_ptr<CatalogResult> r(fetch_catalog());
  EXPECT_TRUE(r->items.empty());
  EXPECT_EQ(r->err, "UBUNTU INDEX UNREACHABLE. FEDORA INDEX UNREACHABLE. DEBIAN INDEX UNREACHABLE. "
                    "OMARCHY SITE UNREACHABLE. ");
}

TEST(Fetchers, FullCatalog) {
  CatalogResult r = fetch_case("full");
  EXPECT_EQ(r.err, "");
  std::vector<std::string> want = {
      "UBUNTU|25.10|25.10|DESKTOP|ubuntu-25.10-desktop-amd64.iso|-",
      "UBUNTU|25.10|25.10|SERVER|ubuntu-25.10-live-server-amd64.iso|-",
      "UBUNTU|25.04.1|25.04.1|DESKTOP|ubuntu-25.04.1-desktop-amd64.iso|-",
      "UBUNTU|25.04.1|25.04.1|SERVER|ubuntu-25.04.1-live-server-amd64.iso|-",
      "UBUNTU|24.04.1|24.04.1 LTS|DESKTOP|ubuntu-24.04.1-desktop-amd64.iso|lts",
      "UBUNTU|24.04.1|24.04.1 LTS|SERVER|ubuntu-24.04.1-live-server-amd64.iso|lts",
      "UBUNTU|22.04.1|22.04.1 LTS|DESKTOP|ubuntu-22.04.1-desktop-amd64.iso|lts",
      "UBUNTU|22.04.1|22.04.1 LTS|SERVER|ubuntu-22.04.1-live-server-amd64.iso|lts",
      "FEDORA|42|42|WORKSTATION|Fedora-Workstation-Live-x86_64-42-1.4.iso|-",
      "FEDORA|42|42|SERVER|Fedora-Server-dvd-x86_64-42-1.4.iso|-",
      "FEDORA|41|41|WORKSTATION|Fedora-Workstation-Live-x86_64-41-1.4.iso|-",
      "FEDORA|41|41|SERVER|Fedora-Server-dvd-x86_64-41-1.4.iso|-",
      "FEDORA|41|41|NETINST|Fedora-Everything-netinst-x86_64-41-1.4.iso|-",
      "DEBIAN|12.9.0|12.9.0|NETINST|debian-12.9.0-amd64-netinst.iso|-",
      "OMARCHY|2.1|2.1|ARCH + HYPRLAND|omarchy-2.1.iso|-",
  };
  EXPECT_EQ(briefs(r), want);

  const std::string u = origin(first_port()), fdl = origin(first_port() + 2),
                    ftor = origin(first_port() + 3), deb = origin(first_port() + 4),
                    iso = origin(first_port() + 6);
  struct {
    const char* file;
    std::string url, torrent, sha256;
    u64 size;
    const char* site;
  } rows[] = {
      {"ubuntu-24.04.1-desktop-amd64.iso", u + "/24.04/ubuntu-24.04.1-desktop-amd64.iso",
       u + "/24.04/ubuntu-24.04.1-desktop-amd64.iso.torrent",
       "342d06d6b7288bf83d43ce947ddd8ff5d88949144f295c74818f1cb03467dd34", 1875366102, "london"},
      {"Fedora-Workstation-Live-x86_64-42-1.4.iso",
       fdl + "/pub/fedora/linux/releases/42/Workstation/x86_64/iso/Fedora-Workstation-Live-x86_64-42-1.4.iso",
       ftor + "/torrents/Fedora-Workstation-Live-x86_64-42.torrent",
       "bad09696ca229a620a5ef1e030831cad857d5e5344c8b1975abb3f5288e5d147", 4134232214, "raleigh"},
      {"Fedora-Server-dvd-x86_64-41-1.4.iso",
       fdl + "/pub/fedora/linux/releases/41/Server/x86_64/iso/Fedora-Server-dvd-x86_64-41-1.4.iso",
       ftor + "/torrents/Fedora-Server-dvd-x86_64-41.torrent", "", 0, "raleigh"},
      {"Fedora-Everything-netinst-x86_64-41-1.4.iso",
       fdl + "/pub/fedora/linux/releases/41/Everything/x86_64/iso/Fedora-Everything-netinst-x86_64-41-1.4.iso",
       "", "", 4829113740, "raleigh"},
      {"debian-12.9.0-amd64-netinst.iso", deb + "/debian-cd/current/amd64/iso-cd/debian-12.9.0-amd64-netinst.iso",
       deb + "/debian-cd/current/amd64/bt-cd/debian-12.9.0-amd64-netinst.iso.torrent",
       "6df314e6389a0d1e731fb7f11f3bd809d8382b98ede755275c2e835c6b04d40f", 2844647142, "umea"},
      {"omarchy-2.1.iso", iso + "/omarchy-2.1.iso", "",
       "777eea422fe54106cf680639da80630aab71dce4721a91f5424f48b1eb246da5", 3004806210, "chicago"},
  };
  for (auto& row : rows) {
    const MediaItem* m = by_file(r, row.file);
    ASSERT_TRUE(m) << row.file;
    EXPECT_EQ(m->url, row.url);
    EXPECT_EQ(m->torrent, row.torrent);
    if (!row.sha256.empty()) {
      EXPECT_EQ(m->sha256, row.sha256) << row.file;
    }
    EXPECT_EQ(m->sha256.size(), 64u);
    EXPECT_EQ(m->size, row.size) << row.file;
    EXPECT_STREQ(m->site, row.site);
  }
}

TEST(Fetchers, NewLtsAndNothingElse) {
  CatalogResult r = fetch_case("lts");
  EXPECT_EQ(r.err, "NO FEDORA RELEASES FOUND. NO DEBIAN NETINST FOUND. NO OMARCHY ISO LINK FOUND. ");
  // 26.04 counts as taken and as LTS; 25.10 has no checksum file and does not
  // count, so 24.10 and 24.04 still come; 22.04 does not.
  std::vector<std::string> want = {
      "UBUNTU|26.04.1|26.04.1 LTS|DESKTOP|ubuntu-26.04.1-desktop-amd64.iso|lts",
      "UBUNTU|26.04.1|26.04.1 LTS|SERVER|ubuntu-26.04.1-live-server-amd64.iso|lts",
      "UBUNTU|24.10|24.10|DESKTOP|ubuntu-24.10-desktop-amd64.iso|-",
      "UBUNTU|24.10|24.10|SERVER|ubuntu-24.10-live-server-amd64.iso|-",
      "UBUNTU|24.04.1|24.04.1 LTS|DESKTOP|ubuntu-24.04.1-desktop-amd64.iso|lts",
      "UBUNTU|24.04.1|24.04.1 LTS|SERVER|ubuntu-24.04.1-live-server-amd64.iso|lts",
  };
  EXPECT_EQ(briefs(r), want);
}

TEST(Fetchers, PointReleasesAndOddLines) {
  CatalogResult r = fetch_case("points");
  EXPECT_EQ(r.err, "FEDORA INDEX UNREACHABLE. NO OMARCHY CHECKSUM. ");
  std::vector<std::string> want = {
      "UBUNTU|24.04.2|24.04.2 LTS|DESKTOP|ubuntu-24.04.2-desktop-amd64.iso|lts",
      "UBUNTU|24.04.2|24.04.2 LTS|SERVER|ubuntu-24.04.2-live-server-amd64.iso|lts",
      "DEBIAN|13.0.0|13.0.0|NETINST|debian-13.0.0-amd64-netinst.iso|-",
  };
  ASSERT_EQ(briefs(r), want);
  const std::string u = origin(first_port());
  EXPECT_EQ(r.items[0].url, u + "/24.04/ubuntu-24.04.2-desktop-amd64.iso");
  // The first of two lines with the same version stays.
  EXPECT_EQ(r.items[0].sha256, "e788103ee15318fcd2af9b73b4ebbb33a903b020de7b307d71f5fed0f433e548");
  EXPECT_EQ(r.items[1].sha256, "b3eacd33433b31b5252351032c9b3e7a2e7aa7738d5decdf0dd6c62680853c06");
  EXPECT_EQ(r.items[2].sha256, "13ccea1970b15fc112c17dbac7d6abe0c21dd6b558964bebe9ebe467834e93fb");
  // No HEAD answer: no size.
  for (auto& m : r.items) EXPECT_EQ(m.size, 0u) << m.file;
}

TEST(Fetchers, EmptyAnswers) {
  CatalogResult r = fetch_case("bare");
  EXPECT_TRUE(r.items.empty());
  EXPECT_EQ(r.err, "NO UBUNTU RELEASES FOUND. FEDORA INDEX UNREACHABLE. DEBIAN INDEX UNREACHABLE. "
                   "NO OMARCHY ISO LINK FOUND. ");
  r = fetch_case("nolinks");
  EXPECT_EQ(r.err, "NO UBUNTU RELEASES FOUND. FEDORA INDEX UNREACHABLE. DEBIAN INDEX UNREACHABLE. "
                   "OMARCHY SITE UNREACHABLE. ");
}

TEST(Fetchers, PagesOfSixtyMegabytes) {
  CatalogResult r = fetch_case("huge");
  std::vector<std::string> want = {
      "UBUNTU|24.04.1|24.04.1 LTS|DESKTOP|ubuntu-24.04.1-desktop-amd64.iso|lts",
      "UBUNTU|24.04.1|24.04.1 LTS|SERVER|ubuntu-24.04.1-live-server-amd64.iso|lts",
      "FEDORA|41|41|WORKSTATION|Fedora-Workstation-Live-x86_64-41-1.4.iso|-",
      "FEDORA|41|41|SERVER|Fedora-Server-dvd-x86_64-41-1.4.iso|-",
      "FEDORA|41|41|NETINST|Fedora-Everything-netinst-x86_64-41-1.4.iso|-",
  };
  EXPECT_EQ(briefs(r), want);
  EXPECT_NE(r.items.size() > 2 ? r.items[2].size : 0, 0u);
}
