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

// The fixture's /bytes pattern.
std::string pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = char(i % 251);
  return s;
}

bool get(const std::string& url, std::string& body, std::string* final_url = nullptr,
         u64 cap = 67108864, u32 timeout_ms = 20000) {
  return http_get(url, body, final_url, cap, timeout_ms);
}

HCERTSTORE trusted_roots() {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
}

// Calls act with the store's own copy of the certificate, when it holds one;
// act frees that copy.
template <class Act>
bool with_copy_in_roots(const std::string& der, Act act) {
  HCERTSTORE store = trusted_roots();
  if (!store) return false;
  PCCERT_CONTEXT mine =
      CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), DWORD(der.size()));
  PCCERT_CONTEXT found =
      mine ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, mine, nullptr) : nullptr;
  if (found) act(found);
  if (mine) CertFreeCertificateContext(mine);
  CertCloseStore(store, 0);
  return found != nullptr;
}

// Whether a fresh look at the trusted roots finds this certificate.
bool ca_trusted(const std::string& der) { return with_copy_in_roots(der, CertFreeCertificateContext); }

// The fixture's test CA among the current user's trusted roots of this Wine
// prefix, for the life of the object only. The store is closed at once: an
// open store keeps its additions to itself, and the TLS layer opens its own.
struct TrustedCa {
  std::string der = read_bytes(build_path("tests/fixture-http/ca.der"));
  bool added = false;
  TrustedCa() {
    HCERTSTORE store = trusted_roots();
    if (!store) return;
    added = !der.empty() && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                             reinterpret_cast<const BYTE*>(der.data()),
                                                             DWORD(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                             nullptr);
    CertCloseStore(store, 0);
  }
  ~TrustedCa() {
    // Wine reports the deletion done but keeps the entry in the registry
    // that backs the store; that entry goes by its thumbprint as well.
    with_copy_in_roots(der, [](PCCERT_CONTEXT found) {
      BYTE hash[20];
      DWORD size = sizeof hash;
      std::string key = "Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
      bool named = CertGetCertificateContextProperty(found, CERT_HASH_PROP_ID, hash, &size);
      for (DWORD i = 0; named && i < size; ++i) key += strf("%02X", hash[i]);
      CertDeleteCertificateFromStore(found);  // frees `found` too
      if (named) RegDeleteKeyW(HKEY_CURRENT_USER, widen(key).c_str());
    });
  }
};

}  // namespace

TEST(Http, CrackUrl) {
  UrlParts p;
  ASSERT_TRUE(crack_url("http://example.org", p));
  EXPECT_EQ(p.host, L"example.org");
  EXPECT_EQ(p.path, L"/");
  EXPECT_EQ(p.port, 80);
  EXPECT_FALSE(p.https);

  p = UrlParts();
  ASSERT_TRUE(crack_url("https://mirror.example.net/pub/os/a%20b.iso?x=1&y=two#part", p));
  EXPECT_EQ(p.host, L"mirror.example.net");
  EXPECT_EQ(p.path, L"/pub/os/a%20b.iso?x=1&y=two#part");
  EXPECT_EQ(p.port, 443);
  EXPECT_TRUE(p.https);

  ASSERT_TRUE(crack_url("http://127.0.0.1:18080/x", p));
  EXPECT_EQ(p.host, L"127.0.0.1");
  EXPECT_EQ(p.port, 18080);
  EXPECT_FALSE(p.https);
  ASSERT_TRUE(crack_url("HTTPS://H.EXAMPLE:8443/", p));
  EXPECT_EQ(p.port, 8443);
  EXPECT_TRUE(p.https);

  // failures leave the parts as they were
  UrlParts keep;
  keep.host = L"kept";
  keep.port = 1;
  for (const std::string& bad : {std::string("ftp://example.org/x"), std::string("no url at all"), std::string(""),
                                 "http://example.org/" + std::string(5000, 'p')}) {
    UrlParts q = keep;
    EXPECT_FALSE(crack_url(bad, q)) << bad.substr(0, 40);
    EXPECT_EQ(q.host, L"kept");
    EXPECT_EQ(q.port, 1);
  }
}

TEST(Http, GetBodies) {
  std::string body, final_url;
  ASSERT_TRUE(get(http_base() + "/plain", body, &final_url));
  EXPECT_EQ(body, kPlain);
  EXPECT_EQ(final_url, http_base() + "/plain");

  // a URL without a path asks for "/", a query goes out with the path
  body.clear();
  ASSERT_TRUE(get(http_base(), body));
  EXPECT_EQ(body, "/");
  body.clear();
  ASSERT_TRUE(get(http_base() + "/echo?a=1&b=two%20words", body));
  EXPECT_EQ(body, "/echo?a=1&b=two%20words");

  // what the caller left in the body stays in front
  body = "prefix|";
  ASSERT_TRUE(get(http_base() + "/plain", body));
  EXPECT_EQ(body, "prefix|" + kPlain);

  // a redirect chain ends at its final URL
  body.clear();
  final_url = "old";
  ASSERT_TRUE(get(http_base() + "/redirect/3", body, &final_url));
  EXPECT_EQ(body, kPlain);
  EXPECT_EQ(final_url, http_base() + "/plain");

  // a Location of a path alone is resolved against the URL that gave it
  body.clear();
  ASSERT_TRUE(get(http_base() + "/rooted", body, &final_url));
  EXPECT_EQ(body, kPlain);
  EXPECT_EQ(final_url, http_base() + "/plain");

  // a body of several read steps comes whole
  body.clear();
  ASSERT_TRUE(get(http_base() + "/bytes/3000000", body));
  EXPECT_TRUE(body == pattern(3000000));
  body.clear();
  ASSERT_TRUE(get(http_base() + "/bytes/0", body));
  EXPECT_EQ(body, "");
}

TEST(Http, GetCap) {
  // over the cap: false, with what was appended kept behind the prefill
  std::string body = "ab";
  EXPECT_FALSE(get(http_base() + "/bytes/1000", body, nullptr, 100));
  EXPECT_GT(body.size(), 100u);
  EXPECT_LE(body.size(), 1002u);
  EXPECT_TRUE(body == "ab" + pattern(body.size() - 2));

  // the prefill counts toward the cap
  body = std::string(999, 'p');
  EXPECT_FALSE(get(http_base() + "/bytes/2", body, nullptr, 1000));
  body = std::string(998, 'p');
  EXPECT_TRUE(get(http_base() + "/bytes/2", body, nullptr, 1000));

  // a body exactly at the cap is not over it
  body.clear();
  EXPECT_TRUE(get(http_base() + "/bytes/1000", body, nullptr, 1000));
  EXPECT_EQ(body.size(), 1000u);

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

  // nothing listening
  EXPECT_FALSE(get("http://127.0.0.1:1/plain", body, nullptr, 67108864, 5000));
  EXPECT_FALSE(get("not a url", body));
}

TEST(Http, StallsEndAtTheTimeOut) {
  // a server that never answers, and one that stops in the middle of a body
  for (const char* route : {"/stall/30", "/stall-body/30"}) {
    std::string body;
    double t0 = now_s();
    EXPECT_FALSE(get(http_base() + route, body, nullptr, 67108864, 1500)) << route;
    double took = now_s() - t0;
    EXPECT_GE(took, 1.0) << route;
    EXPECT_LT(took, 10.0) << route;
  }
}

TEST(Http, Head) {
  u64 length = 0;
  std::string final_url;
  bool ranges = false;
  std::string head = http_base() + "/head";
  ASSERT_TRUE(http_head(head + "?len=12345&ranges=bytes", length, final_url, ranges));
  EXPECT_EQ(length, 12345u);
  EXPECT_TRUE(ranges);
  EXPECT_EQ(final_url, head + "?len=12345&ranges=bytes");

  // Accept-Ranges in any letter case; "none" or no header means no ranges
  for (const char* r : {"Bytes", "BYTES", "bYtEs"}) {
    ranges = false;
    EXPECT_TRUE(http_head(head + "?len=5&ranges=" + r, length, final_url, ranges));
    EXPECT_TRUE(ranges) << r;
  }
  EXPECT_TRUE(http_head(head + "?len=5&ranges=none", length, final_url, ranges));
  EXPECT_FALSE(ranges);
  ranges = true;
  EXPECT_TRUE(http_head(head + "?len=5", length, final_url, ranges));
  EXPECT_FALSE(ranges);
  EXPECT_TRUE(http_head(head + "?len=5&ranges=bytesx", length, final_url, ranges));
  EXPECT_FALSE(ranges);

  // beyond 32 bits
  EXPECT_TRUE(http_head(head + "?len=5000000000", length, final_url, ranges));
  EXPECT_EQ(length, 5000000000ull);

  // no, zero or unreadable Content-Length: false, the other answers still set
  length = 7;
  final_url.clear();
  EXPECT_FALSE(http_head(head + "?ranges=Bytes", length, final_url, ranges));
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(ranges);
  EXPECT_EQ(final_url, head + "?ranges=Bytes");
  EXPECT_FALSE(http_head(head + "?len=0&ranges=bytes", length, final_url, ranges));
  EXPECT_EQ(length, 0u);
  EXPECT_FALSE(http_head(head + "?len=abc", length, final_url, ranges));
  EXPECT_EQ(length, 0u);

  // through redirects: the final URL and the final resource's length
  EXPECT_TRUE(http_head(http_base() + "/redirect/2", length, final_url, ranges));
  EXPECT_EQ(final_url, http_base() + "/plain");
  EXPECT_EQ(length, kPlain.size());

  // not 200: false, the three answers untouched
  length = 7;
  final_url = "untouched";
  ranges = true;
  EXPECT_FALSE(http_head(http_base() + "/missing", length, final_url, ranges));
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(final_url, "untouched");
  EXPECT_TRUE(ranges);
}

TEST(Http, Https) {
  std::string der;
  {
    // (trusted before the first HTTPS request: the chain engine keeps what it
    // saw first for the rest of the process)
    TrustedCa ca;
    der = ca.der;
    ASSERT_TRUE(ca.added && ca_trusted(der)) << "the fixture's CA could not be trusted";
    std::string body, final_url;
    ASSERT_TRUE(get(https_base() + "/plain", body, &final_url));
    EXPECT_EQ(body, kPlain);
    EXPECT_EQ(final_url, https_base() + "/plain");

    body.clear();
    ASSERT_TRUE(get(https_base() + "/redirect/2", body, &final_url));
    EXPECT_EQ(body, kPlain);
    EXPECT_EQ(final_url, https_base() + "/plain");

    body.clear();
    ASSERT_TRUE(get(https_base() + "/bytes/300000", body));
    EXPECT_TRUE(body == pattern(300000));

    u64 length = 0;
    bool ranges = true;
    ASSERT_TRUE(http_head(https_base() + "/head?len=42", length, final_url, ranges));
    EXPECT_EQ(length, 42u);
    EXPECT_FALSE(ranges);

    // a redirect from HTTPS down to HTTP is not followed: the 302 is final,
    // and the HTTP side never sees the request
    std::string before, after;
    ASSERT_TRUE(get(http_base() + "/landings", before));
    body.clear();
    final_url = "untouched";
    EXPECT_FALSE(get(https_base() + "/to-http", body, &final_url));
    EXPECT_EQ(body, "");
    EXPECT_EQ(final_url, "untouched");
    EXPECT_FALSE(http_head(https_base() + "/to-http", length, final_url, ranges));
    ASSERT_TRUE(get(http_base() + "/landings", after));
    EXPECT_EQ(after, before);
    // (the landing itself is reachable, so the count would have moved)
    ASSERT_TRUE(get(http_base() + "/landing", body));
    after.clear();
    ASSERT_TRUE(get(http_base() + "/landings", after));
    EXPECT_EQ(std::stoi(after), std::stoi(before) + 1);
  }
  // the prefix does not keep trusting the throw-away CA after the test
  EXPECT_FALSE(ca_trusted(der));
}
