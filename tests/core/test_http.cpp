// Requests against the loopback fixture server (tests/fixtures/http), which
// CTest starts around this program; its ports come in through the environment.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include "core/http.h"
#include "tests/support/test_support.h"

namespace {

std::string http_base() { return "http://127.0.0.1:" + env_str("VUNK_HTTP_PORT"); }
// By name: the certificate names both, but not every TLS layer matches an
// address against it.
std::string https_base() { return "https://localhost:" + env_str("VUNK_HTTPS_PORT"); }

const std::string kPlain = "plain body from the fixture\n";
const std::string kFailed = "<http_get failed>";

// The fixture's /bytes pattern.
std::string pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = char(i % 251);
  return s;
}

bool get(const std::string& url, std::string& body, std::string* final_url = nullptr, u64 cap = 67108864,
         u32 timeout_ms = 20000) {
  return http_get(url, body, final_url, cap, timeout_ms);
}

// The body of a GET into an empty string, or kFailed.
std::string fetch(const std::string& url, std::string* final_url = nullptr) {
  std::string body;
  return get(url, body, final_url) ? body : kFailed;
}

// A HEAD with its three answers preset, so that untouched ones show.
struct Head {
  bool ok = false;
  u64 length = 7;
  std::string final_url = "untouched";
  bool ranges = false;
};

Head head(const std::string& url, bool ranges_before) {
  Head h;
  h.ranges = ranges_before;
  h.ok = http_head(url, h.length, h.final_url, h.ranges);
  return h;
}

// The fixture's test CA among the current user's trusted roots of this Wine
// prefix, for the life of the object only. The store is closed at once: an
// open store keeps its additions to itself, and the TLS layer opens its own.
struct TrustedCa {
  std::string der = read_bytes(build_path("tests/fixture-http/ca.der"));
  bool added = false;
  TrustedCa() {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store) return;
    added = !der.empty() && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                             reinterpret_cast<const BYTE*>(der.data()),
                                                             DWORD(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                             nullptr);
    CertCloseStore(store, 0);
  }
  ~TrustedCa() {
    // Wine keeps a certificate deleted from the store in the registry that
    // backs it, so it goes from there, by its thumbprint (the SHA-1 of the DER).
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!added || !CryptHashCertificate(0, CALG_SHA1, 0, reinterpret_cast<const BYTE*>(der.data()),
                                        DWORD(der.size()), hash, &size))
      return;
    std::string key = "Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
    for (DWORD i = 0; i < size; ++i) key += strf("%02X", hash[i]);
    RegDeleteKeyW(HKEY_CURRENT_USER, widen(key).c_str());
  }
};

}  // namespace

TEST(Http, GetBodies) {
  std::string final_url;
  EXPECT_EQ(fetch(http_base() + "/plain", &final_url), kPlain);
  EXPECT_EQ(final_url, http_base() + "/plain");
  // a URL without a path asks for "/", a query goes out with the path
  EXPECT_EQ(fetch(http_base()), "/");
  EXPECT_EQ(fetch(http_base() + "/echo?a=1&b=two%20words"), "/echo?a=1&b=two%20words");
  // a redirect chain ends at its final URL, a Location of a path alone
  // is resolved against the URL that gave it
  for (const char* route : {"/redirect/3", "/rooted"}) {
    final_url = "old";
    EXPECT_EQ(fetch(http_base() + route, &final_url), kPlain) << route;
    EXPECT_EQ(final_url, http_base() + "/plain") << route;
  }
  // a body of several read steps comes whole
  EXPECT_TRUE(fetch(http_base() + "/bytes/3000000") == pattern(3000000));
  EXPECT_EQ(fetch(http_base() + "/bytes/0"), "");

  // what the caller left in the body stays in front
  std::string body = "prefix|";
  ASSERT_TRUE(get(http_base() + "/plain", body));
  EXPECT_EQ(body, "prefix|" + kPlain);
}

TEST(Http, GetCap) {
  // over the cap: false, with what was appended kept behind the prefill
  std::string body = "ab";
  EXPECT_FALSE(get(http_base() + "/bytes/1000", body, nullptr, 100));
  EXPECT_GT(body.size(), 100u);
  EXPECT_TRUE(body == "ab" + pattern(body.size() - 2));

  // the prefill counts toward the cap; a body exactly at the cap is not over it
  body = std::string(999, 'p');
  EXPECT_FALSE(get(http_base() + "/bytes/2", body, nullptr, 1000));
  body = std::string(998, 'p');
  EXPECT_TRUE(get(http_base() + "/bytes/2", body, nullptr, 1000));
  body.clear();
  EXPECT_TRUE(get(http_base() + "/bytes/1000", body, nullptr, 1000));

  // a large body stops within one read step past the cap
  body.clear();
  EXPECT_FALSE(get(http_base() + "/bytes/3000000", body, nullptr, 1000000));
  EXPECT_GT(body.size(), 1000000u);
  EXPECT_LE(body.size(), 1000000u + 65536u);
  EXPECT_TRUE(body == pattern(body.size()));
}

TEST(Http, GetFailures) {
  std::string body = "kept", final_url = "untouched";
  EXPECT_FALSE(get(http_base() + "/missing", body, &final_url));
  EXPECT_EQ(body, "kept");
  EXPECT_EQ(final_url, "untouched");

  // a body cut off before its promised length is a failure, not a short body
  body.clear();
  EXPECT_FALSE(get(http_base() + "/drop/100000", body));
  EXPECT_LT(body.size(), 100000u);

  // nothing listening, no URL
  EXPECT_FALSE(get("http://127.0.0.1:1/plain", body, nullptr, 67108864, 5000));
  EXPECT_FALSE(get("not a url", body));

  // a server that never answers, and one that stops in the middle of a body
  for (const char* route : {"/stall/30", "/stall-body/30"}) {
    double t0 = now_s();
    EXPECT_FALSE(get(http_base() + route, body, nullptr, 67108864, 1500)) << route;
    double took = now_s() - t0;
    EXPECT_GE(took, 1.0) << route;
    EXPECT_LT(took, 10.0) << route;
  }
}

TEST(Http, Head) {
  // Accept-Ranges in any letter case; "none", another word or no header means
  // no ranges. No, zero or unreadable Content-Length: false, the other answers
  // still set.
  const struct {
    const char* query;
    bool ranges_before, ok;
    u64 length;
    bool ranges;
  } cases[] = {{"?len=12345&ranges=bytes", false, true, 12345, true},
               {"?len=5&ranges=Bytes", false, true, 5, true},
               {"?len=5&ranges=bYtEs", false, true, 5, true},
               {"?len=5&ranges=none", true, true, 5, false},
               {"?len=5", true, true, 5, false},
               {"?len=5&ranges=bytesx", true, true, 5, false},
               {"?len=5000000000", true, true, 5000000000ull, false},
               {"?ranges=Bytes", false, false, 0, true},
               {"?len=0&ranges=bytes", false, false, 0, true},
               {"?len=abc", true, false, 0, false}};
  for (auto& c : cases) {
    std::string url = http_base() + "/head" + c.query;
    Head h = head(url, c.ranges_before);
    EXPECT_EQ(h.ok, c.ok) << c.query;
    EXPECT_EQ(h.length, c.length) << c.query;
    EXPECT_EQ(h.ranges, c.ranges) << c.query;
    EXPECT_EQ(h.final_url, url) << c.query;
  }

  // through redirects: the final URL and the final resource's length
  Head h = head(http_base() + "/redirect/2", false);
  EXPECT_TRUE(h.ok);
  EXPECT_EQ(h.final_url, http_base() + "/plain");
  EXPECT_EQ(h.length, kPlain.size());

  // not 200: false, the three answers untouched
  h = head(http_base() + "/missing", true);
  EXPECT_FALSE(h.ok);
  EXPECT_EQ(h.length, 7u);
  EXPECT_EQ(h.final_url, "untouched");
  EXPECT_TRUE(h.ranges);
}

TEST(Http, Https) {
  // (trusted before the first HTTPS request: the chain engine keeps what it
  // saw first for the rest of the process)
  TrustedCa ca;
  ASSERT_TRUE(ca.added) << "the fixture's CA could not be trusted";
  std::string final_url;
  EXPECT_EQ(fetch(https_base() + "/plain", &final_url), kPlain);
  EXPECT_EQ(final_url, https_base() + "/plain");
  EXPECT_EQ(fetch(https_base() + "/redirect/2", &final_url), kPlain);
  EXPECT_EQ(final_url, https_base() + "/plain");
  EXPECT_TRUE(fetch(https_base() + "/bytes/300000") == pattern(300000));
  Head h = head(https_base() + "/head?len=42", true);
  EXPECT_TRUE(h.ok);
  EXPECT_EQ(h.length, 42u);
  EXPECT_FALSE(h.ranges);

  // a redirect from HTTPS down to HTTP is not followed: the 302 is final,
  // and the HTTP side never sees the request
  std::string before = fetch(http_base() + "/landings");
  std::string body;
  final_url = "untouched";
  EXPECT_FALSE(get(https_base() + "/to-http", body, &final_url));
  EXPECT_EQ(body, "");
  EXPECT_EQ(final_url, "untouched");
  EXPECT_FALSE(head(https_base() + "/to-http", false).ok);
  EXPECT_EQ(fetch(http_base() + "/landings"), before);
  // (the landing itself is reachable, so the count would have moved)
  EXPECT_EQ(fetch(http_base() + "/landing"), kPlain);
  EXPECT_EQ(fetch(http_base() + "/landings"), std::to_string(std::stoi(before) + 1));
}
