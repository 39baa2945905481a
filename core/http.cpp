#include "core/http.h"

#include <windows.h>
#include <winhttp.h>

void* http_session() {
  static HINTERNET session = [] {
    const wchar_t* agent = L"V.U.N.K./1.0 (QEMU launcher; install media)";
    HINTERNET h = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    if (!h)
      h = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                      WINHTTP_NO_PROXY_BYPASS, 0);
    if (h) {
      DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
      WinHttpSetOption(h, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
      DWORD protocols = 0x2800;  // TLS 1.2 and 1.3
      if (!WinHttpSetOption(h, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = 0x800;  // TLS 1.2 alone
        WinHttpSetOption(h, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
      }
    }
    return h;
  }();
  return session;
}

bool crack_url(const std::string& url, UrlParts& parts) {
  std::wstring w = widen(url);
  wchar_t host[512], path[4096], extra[4096];
  URL_COMPONENTS uc = {};
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host;
  uc.dwHostNameLength = 512;
  uc.lpszUrlPath = path;
  uc.dwUrlPathLength = 4096;
  uc.lpszExtraInfo = extra;
  uc.dwExtraInfoLength = 4096;
  if (!WinHttpCrackUrl(w.c_str(), DWORD(w.size()), 0, &uc)) return false;
  if (uc.nScheme != INTERNET_SCHEME_HTTP && uc.nScheme != INTERNET_SCHEME_HTTPS) return false;
  parts.host.assign(host, uc.dwHostNameLength);
  parts.path.assign(path, uc.dwUrlPathLength);
  parts.path.append(extra, uc.dwExtraInfoLength);
  if (parts.path.empty()) parts.path = L"/";
  parts.port = uc.nPort;
  parts.https = uc.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

static HINTERNET open_request(const std::string& url, const wchar_t* verb, HINTERNET& connection,
                              u32 timeout_ms) {
  connection = nullptr;
  UrlParts p;
  if (!crack_url(url, p)) return nullptr;
  HINTERNET session = http_session();
  if (!session) return nullptr;
  connection = WinHttpConnect(session, p.host.c_str(), p.port, 0);
  if (!connection) return nullptr;
  HINTERNET req = WinHttpOpenRequest(connection, verb, p.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     p.https ? WINHTTP_FLAG_SECURE : 0);
  if (!req) return nullptr;
  int t = int(timeout_ms);
  WinHttpSetTimeouts(req, t, t, t, t);
  if (!WinHttpSendRequest(req, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(req, nullptr)) {
    WinHttpCloseHandle(req);
    return nullptr;
  }
  return req;
}

static std::string final_url_of(HINTERNET req) {
  DWORD bytes = 0;
  WinHttpQueryOption(req, WINHTTP_OPTION_URL, nullptr, &bytes);
  if (bytes == 0) return {};
  std::wstring buf(bytes / 2 + 1, L'\0');
  if (!WinHttpQueryOption(req, WINHTTP_OPTION_URL, buf.data(), &bytes)) return {};
  buf.resize(wcsnlen(buf.c_str(), buf.size()));
  return narrow(buf);
}

static DWORD status_of(HINTERNET req) {
  DWORD status = 0, len = sizeof status;
  if (!WinHttpQueryHeaders(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &len, WINHTTP_NO_HEADER_INDEX))
    return 0;
  return status;
}

static void close_both(HINTERNET req, HINTERNET conn) {
  if (req) WinHttpCloseHandle(req);
  if (conn) WinHttpCloseHandle(conn);
}

bool http_get(const std::string& url, std::string& body, std::string* final_url, u64 max_bytes,
              u32 timeout_ms) {
  HINTERNET conn;
  HINTERNET req = open_request(url, L"GET", conn, timeout_ms);
  if (!req) {
    close_both(nullptr, conn);
    return false;
  }
  if (status_of(req) != 200) {
    close_both(req, conn);
    return false;
  }
  if (final_url) *final_url = final_url_of(req);
  char buf[65536];
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!WinHttpReadData(req, buf, sizeof buf, &got)) {
      // A body cut off in the middle is not a body: callers must not take a
      // truncated checksum file or torrent for the real one.
      ok = false;
      break;
    }
    if (got == 0) break;
    body.append(buf, got);
    if (body.size() > max_bytes) {
      ok = false;
      break;
    }
  }
  close_both(req, conn);
  return ok;
}

bool http_head(const std::string& url, u64& length, std::string& final_url, bool& ranges) {
  HINTERNET conn;
  HINTERNET req = open_request(url, L"HEAD", conn, 20000);
  if (!req) {
    close_both(nullptr, conn);
    return false;
  }
  if (status_of(req) != 200) {
    close_both(req, conn);
    return false;
  }
  length = 0;
  wchar_t text[64];
  DWORD len = sizeof text;
  if (WinHttpQueryHeaders(req, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &len,
                          WINHTTP_NO_HEADER_INDEX))
    length = _wcstoui64(text, nullptr, 10);
  len = sizeof text;
  ranges = WinHttpQueryHeaders(req, WINHTTP_QUERY_ACCEPT_RANGES, WINHTTP_HEADER_NAME_BY_INDEX, text,
                               &len, WINHTTP_NO_HEADER_INDEX) &&
           _wcsicmp(text, L"bytes") == 0;
  final_url = final_url_of(req);
  close_both(req, conn);
  return length != 0;
}
