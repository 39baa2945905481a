// The release catalog and its fetchers against look-alike release servers on
// seven loopback ports (tests/fixtures/release); the seven after them are closed.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>

#include "app/app.h"
#include "core/http.h"
#include "media/catalog.h"
#include "tests/support/test_support.h"

namespace {

int port(int n) { return atoi(env_str("VUNK_MEDIA_PORT").c_str()) + n; }
std::string origin(int n) { return strf("http://127.0.0.1:%d", port(n)); }
const char* const kUnreachable =
    "UBUNTU INDEX UNREACHABLE. FEDORA INDEX UNREACHABLE. DEBIAN INDEX UNREACHABLE. OMARCHY SITE UNREACHABLE. ";

void point_at(int first) {
  for (int i = 0; i < int(Rel::Count); ++i) set_release_origin(Rel(i), origin(first + i));
}

// Switches the servers to one of their cases, fetches, and lists each item as
// "DISTRO|version|label|EDITION|file".
std::vector<std::string> fetch_case(const std::string& name, CatalogResult& r) {
  point_at(0);
  std::string body;
  EXPECT_TRUE(http_get(origin(0) + "/__case/" + name, body, nullptr, 1024, 5000));
  r = *std::unique_ptr<CatalogResult>(fetch_catalog());
  std::vector<std::string> out;
  for (auto& m : r.items)
    out.push_back(strf("%s|%s|%s|%s|%s", m.distro.c_str(), m.version.c_str(), m.label.c_str(),
                       m.edition.c_str(), m.file.c_str()));
  return out;
}

std::string last_log_line(const std::string& prefix) {
  std::string log = read_bytes(path_join(exe_dir(), L"vunk.log"));
  size_t at = log.rfind(prefix);
  return at == std::string::npos ? "" : log.substr(at, log.find("\r\n", at) - at);
}

}  // namespace

TEST(Catalog, VersionsEscapingAndProfiles) {
  struct {
    const char* text;
    std::vector<int32_t> parts;
  } nums[] = {{"24.04", {24, 4}}, {"24.", {24}}, {".5", {0, 5}}, {"abc", {0}}, {"", {}},
              {" 7.-2", {7, -2}}, {"99999999999.1", {INT32_MAX, 1}}};
  for (auto& n : nums) EXPECT_EQ(vnum(n.text), n.parts) << n.text;
  EXPECT_TRUE(vless("24.04", "24.04.1") && vless("9.1", "10") && vless("", "1") && vless("2.0.10", "2.1"));
  EXPECT_FALSE(vless("24.04", "24.04") || vless("1", ""));

  // Every pattern character of a configured origin stands for itself.
  const std::string nasty = "https://a.b-c:8080/x?(y)[z]{1}*+|^$\\";
  EXPECT_TRUE(std::regex_match(nasty, std::regex(regex_escape(nasty))));
  EXPECT_FALSE(std::regex_search("https://aXb-c:8080/x?(y)[z]{1}*+|^$\\", std::regex(regex_escape(nasty))));

  EXPECT_EQ(distro_color("ubuntu").g, 0.78f) << "matched case-sensitively";
  Catalog cat;
  cat.items.resize(3);
  auto mine = cat.for_profile("linux-x64");
  ASSERT_EQ(mine.size(), 3u);
  EXPECT_EQ(mine[2], &cat.items[2]);
  EXPECT_TRUE(cat.for_profile("linux-arm64").empty());
  EXPECT_FALSE(Catalog::profile_has_media("linux-arm64"));
}

TEST(Catalog, AcceptEnsureAndOneThread) {
  Catalog cat;
  cat.items.assign(5, MediaItem{});
  cat.accept(new CatalogResult{{}, "UBUNTU INDEX UNREACHABLE. "});
  EXPECT_EQ(cat.items.size(), 5u) << "a failed refresh keeps the list";
  EXPECT_EQ(cat.err, "UBUNTU INDEX UNREACHABLE. ");
  EXPECT_TRUE(cat.loaded);
  EXPECT_EQ(last_log_line("catalog: "), "catalog: 5 install media, UBUNTU INDEX UNREACHABLE. ");
  cat.accept(new CatalogResult{{MediaItem{}, MediaItem{}}, ""});
  EXPECT_EQ(cat.items.size(), 2u);
  EXPECT_EQ(cat.err, "");
  EXPECT_EQ(last_log_line("catalog: "), "catalog: 2 install media");

  HWND win = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  auto wait_result = [&](double seconds) -> CatalogResult* {
    MSG msg;
    for (double end = now_s() + seconds; now_s() < end; Sleep(10))
      if (PeekMessageW(&msg, win, kCatalogMessage, kCatalogMessage, PM_REMOVE))
        return reinterpret_cast<CatalogResult*>(msg.lParam);
    return nullptr;
  };
  point_at(10);
  cat.fetched_at = now_s() - 21600 + 30;
  cat.ensure(win);
  EXPECT_FALSE(cat.loading) << "fresh for six hours";
  cat.fetched_at = now_s() - 21601;
  cat.ensure(win);
  cat.ensure(win);
  cat.refresh(win);
  EXPECT_TRUE(cat.loading);
  CatalogResult* r = wait_result(60);
  ASSERT_TRUE(r);
  EXPECT_TRUE(posted_take(r)) << "the thread registers what it posts";
  EXPECT_EQ(r->err, kUnreachable) << "all four closed, in order";
  cat.accept(r);
  EXPECT_FALSE(cat.loading);
  EXPECT_EQ(wait_result(2), nullptr) << "one thread for three calls";
  DestroyWindow(win);
}

// Each case's items in order and the error text, then the fields of one item
// of each fetcher.
TEST(Fetchers, LookAlikeServers) {
  CatalogResult r;
  auto items = fetch_case("full", r);
  EXPECT_EQ(r.err, "");
  std::vector<std::string> want = {
      "UBUNTU|25.10|25.10|DESKTOP|ubuntu-25.10-desktop-amd64.iso",
      "UBUNTU|25.10|25.10|SERVER|ubuntu-25.10-live-server-amd64.iso",
      "UBUNTU|25.04.1|25.04.1|DESKTOP|ubuntu-25.04.1-desktop-amd64.iso",
      "UBUNTU|25.04.1|25.04.1|SERVER|ubuntu-25.04.1-live-server-amd64.iso",
      "UBUNTU|24.04.1|24.04.1 LTS|DESKTOP|ubuntu-24.04.1-desktop-amd64.iso",
      "UBUNTU|24.04.1|24.04.1 LTS|SERVER|ubuntu-24.04.1-live-server-amd64.iso",
      "UBUNTU|22.04.1|22.04.1 LTS|DESKTOP|ubuntu-22.04.1-desktop-amd64.iso",
      "UBUNTU|22.04.1|22.04.1 LTS|SERVER|ubuntu-22.04.1-live-server-amd64.iso",
      // 29 and the numbers beyond 32 bits are skipped; 42 has no Everything.
      "FEDORA|42|42|WORKSTATION|Fedora-Workstation-Live-x86_64-42-1.4.iso",
      "FEDORA|42|42|SERVER|Fedora-Server-dvd-x86_64-42-1.4.iso",
      "FEDORA|41|41|WORKSTATION|Fedora-Workstation-Live-x86_64-41-1.4.iso",
      "FEDORA|41|41|SERVER|Fedora-Server-dvd-x86_64-41-1.4.iso",
      "FEDORA|41|41|NETINST|Fedora-Everything-netinst-x86_64-41-1.4.iso",
      "DEBIAN|12.9.0|12.9.0|NETINST|debian-12.9.0-amd64-netinst.iso",
      "OMARCHY|2.1|2.1|ARCH + HYPRLAND|omarchy-2.1.iso",
  };
  EXPECT_EQ(items, want);
  struct {
    int at;
    std::string url, torrent;
    u64 size;
    const char* site;
  } rows[] = {
      {4, origin(0) + "/24.04/ubuntu-24.04.1-desktop-amd64.iso",
       origin(0) + "/24.04/ubuntu-24.04.1-desktop-amd64.iso.torrent", 1875366102, "london"},
      {8, origin(2) + "/pub/fedora/linux/releases/42/Workstation/x86_64/iso/Fedora-Workstation-Live-x86_64-42-1.4.iso",
       origin(3) + "/torrents/Fedora-Workstation-Live-x86_64-42.torrent", 4134232214, "raleigh"},
      {11, origin(2) + "/pub/fedora/linux/releases/41/Server/x86_64/iso/Fedora-Server-dvd-x86_64-41-1.4.iso",
       origin(3) + "/torrents/Fedora-Server-dvd-x86_64-41.torrent", 0, "raleigh"},
      {12, origin(2) + "/pub/fedora/linux/releases/41/Everything/x86_64/iso/Fedora-Everything-netinst-x86_64-41-1.4.iso",
       "", 4829113740, "raleigh"},
      {13, origin(4) + "/debian-cd/current/amd64/iso-cd/debian-12.9.0-amd64-netinst.iso",
       origin(4) + "/debian-cd/current/amd64/bt-cd/debian-12.9.0-amd64-netinst.iso.torrent", 2844647142, "umea"},
      {14, origin(6) + "/omarchy-2.1.iso", "", 3004806210, "chicago"},
  };
  ASSERT_EQ(r.items.size(), want.size());
  for (auto& row : rows) {
    const MediaItem& m = r.items[row.at];
    EXPECT_EQ(m.url, row.url);
    EXPECT_EQ(m.torrent, row.torrent);
    EXPECT_EQ(m.size, row.size) << m.file;
    EXPECT_STREQ(m.site, row.site);
    EXPECT_EQ(m.lts, m.label.find(" LTS") != std::string::npos);
  }
  EXPECT_EQ(r.items[8].sha256, "bad09696ca229a620a5ef1e030831cad857d5e5344c8b1975abb3f5288e5d147");
  EXPECT_EQ(r.items[14].sha256, "777eea422fe54106cf680639da80630aab71dce4721a91f5424f48b1eb246da5");

  // 26.04 counts as taken and as LTS; 25.10 has no checksum file and does not
  // count, so 24.10 and 24.04 still come, 22.04 not.
  EXPECT_EQ(fetch_case("lts", r), (std::vector<std::string>{
      "UBUNTU|26.04.1|26.04.1 LTS|DESKTOP|ubuntu-26.04.1-desktop-amd64.iso",
      "UBUNTU|26.04.1|26.04.1 LTS|SERVER|ubuntu-26.04.1-live-server-amd64.iso",
      "UBUNTU|24.10|24.10|DESKTOP|ubuntu-24.10-desktop-amd64.iso",
      "UBUNTU|24.10|24.10|SERVER|ubuntu-24.10-live-server-amd64.iso",
      "UBUNTU|24.04.1|24.04.1 LTS|DESKTOP|ubuntu-24.04.1-desktop-amd64.iso",
      "UBUNTU|24.04.1|24.04.1 LTS|SERVER|ubuntu-24.04.1-live-server-amd64.iso"}));
  EXPECT_EQ(r.err, "NO FEDORA RELEASES FOUND. NO DEBIAN NETINST FOUND. NO OMARCHY ISO LINK FOUND. ");
  // Both counted: 24.04 is the one more LTS release.
  auto lts2 = fetch_case("lts2", r);
  ASSERT_EQ(lts2.size(), 6u);
  EXPECT_EQ(lts2[1], "UBUNTU|26.04.1|26.04.1 LTS|SERVER|ubuntu-26.04.1-live-server-amd64.iso");
  EXPECT_EQ(lts2[3], "UBUNTU|25.10|25.10|SERVER|ubuntu-25.10-live-server-amd64.iso");
  EXPECT_EQ(lts2[5], "UBUNTU|24.04.1|24.04.1 LTS|SERVER|ubuntu-24.04.1-live-server-amd64.iso");

  // Point-release folders, odd checksum lines, no HEAD sizes, an Omarchy
  // checksum file opening with a blank line.
  EXPECT_EQ(fetch_case("points", r), (std::vector<std::string>{
      "UBUNTU|24.04.2|24.04.2 LTS|DESKTOP|ubuntu-24.04.2-desktop-amd64.iso",
      "UBUNTU|24.04.2|24.04.2 LTS|SERVER|ubuntu-24.04.2-live-server-amd64.iso",
      "DEBIAN|13.0.0|13.0.0|NETINST|debian-13.0.0-amd64-netinst.iso"}));
  EXPECT_EQ(r.err, "FEDORA INDEX UNREACHABLE. NO OMARCHY CHECKSUM. ");
  EXPECT_EQ(r.items[0].url, origin(0) + "/24.04/ubuntu-24.04.2-desktop-amd64.iso");
  EXPECT_EQ(r.items[0].sha256, "e788103ee15318fcd2af9b73b4ebbb33a903b020de7b307d71f5fed0f433e548")
      << "the first of two lines with one version";
  EXPECT_EQ(r.items[1].sha256, "b3eacd33433b31b5252351032c9b3e7a2e7aa7738d5decdf0dd6c62680853c06");
  EXPECT_EQ(r.items[0].size + r.items[2].size, 0u);

  EXPECT_TRUE(fetch_case("bare", r).empty());
  EXPECT_EQ(r.err, "NO UBUNTU RELEASES FOUND. FEDORA INDEX UNREACHABLE. DEBIAN INDEX UNREACHABLE. "
                   "NO OMARCHY ISO LINK FOUND. ");
  fetch_case("nolinks", r);
  EXPECT_EQ(r.err.substr(0, 26), "NO UBUNTU RELEASES FOUND. ");

  // Checksum names that would leave the media folder are passed over; a
  // plain one after them is still offered.
  EXPECT_EQ(fetch_case("hostile", r),
            (std::vector<std::string>{"FEDORA|42|42|WORKSTATION|Fedora-Workstation-Live-x86_64-42-1.4.iso"}));
}

// Index, listing and checksum pages of about 60 MiB with megabyte lines.
TEST(Fetchers, PagesOfSixtyMegabytes) {
  CatalogResult r;
  EXPECT_EQ(fetch_case("huge", r), (std::vector<std::string>{
      "UBUNTU|24.04.1|24.04.1 LTS|DESKTOP|ubuntu-24.04.1-desktop-amd64.iso",
      "UBUNTU|24.04.1|24.04.1 LTS|SERVER|ubuntu-24.04.1-live-server-amd64.iso",
      "FEDORA|41|41|WORKSTATION|Fedora-Workstation-Live-x86_64-41-1.4.iso",
      "FEDORA|41|41|SERVER|Fedora-Server-dvd-x86_64-41-1.4.iso",
      "FEDORA|41|41|NETINST|Fedora-Everything-netinst-x86_64-41-1.4.iso"}));
  EXPECT_EQ(r.items[2].size, 1357166364u) << "the size line inside the long checksum page";
}
