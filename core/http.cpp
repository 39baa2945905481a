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

// Where a request has got to: the URL it was sent to, then each redirect
// target. WinHTTP reports the final URL itself where it can (see
// final_url_of); this trail is what remains where it cannot.
static void CALLBACK follow_redirect(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
  if (status != WINHTTP_CALLBACK_STATUS_REDIRECT || !context || !info) return;
  std::wstring& at = *reinterpret_cast<std::wstring*>(context);
  std::wstring to = static_cast<const wchar_t*>(info);
  size_t scheme_end = at.find(L"://");
  size_t origin_end = scheme_end == std::wstring::npos ? std::wstring::npos : at.find(L'/', scheme_end + 3);
  if (to.find(L"://") != std::wstring::npos || scheme_end == std::wstring::npos) {
    at = to;
  } else if (to.compare(0, 2, L"//") == 0) {
    at = at.substr(0, scheme_end + 1) + to;
  } else if (!to.empty() && to[0] == L'/') {
    at = at.substr(0, origin_end) + to;
  } else if (origin_end == std::wstring::npos) {
    at += L'/' + to;
  } else {
    at = at.substr(0, at.find_last_of(L'/', at.find_first_of(L"?#", origin_end)) + 1) + to;
  }
}

static HINTERNET open_request(const std::string& url, const wchar_t* verb, HINTERNET& connection,
                              u32 timeout_ms, std::wstring* landed) {
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
  // Some WinHTTP implementations wait for the response head without limit
  // unless this is set as well; a silent server must not hang the caller.
  DWORD head_timeout = timeout_ms;
  WinHttpSetOption(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head_timeout, sizeof head_timeout);
  *landed = widen(url);
  WinHttpSetStatusCallback(req, follow_redirect, WINHTTP_CALLBACK_FLAG_REDIRECT, 0);
  if (!WinHttpSendRequest(req, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                          reinterpret_cast<DWORD_PTR>(landed)) ||
      !WinHttpReceiveResponse(req, nullptr)) {
    WinHttpCloseHandle(req);
    return nullptr;
  }
  return req;
}

static std::string final_url_of(HINTERNET req, const std::wstring& landed) {
  DWORD bytes = 0;
  WinHttpQueryOption(req, WINHTTP_OPTION_URL, nullptr, &bytes);
  if (bytes != 0) {
    std::wstring buf(bytes / 2 + 1, L'\0');
    if (WinHttpQueryOption(req, WINHTTP_OPTION_URL, buf.data(), &bytes)) {
      buf.resize(wcsnlen(buf.c_str(), buf.size()));
      return narrow(buf);
    }
  }
  return narrow(landed);
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

// The Content-Length header as a number; false when absent or not a number.
static bool content_length(HINTERNET req, u64& length) {
  wchar_t text[64];
  DWORD len = sizeof text;
  if (!WinHttpQueryHeaders(req, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &len,
                           WINHTTP_NO_HEADER_INDEX))
    return false;
  wchar_t* end = nullptr;
  length = _wcstoui64(text, &end, 10);
  return end != text;
}

bool http_get(const std::string& url, std::string& body, std::string* final_url, u64 max_bytes,
              u32 timeout_ms) {
  HINTERNET conn;
  std::wstring landed;
  HINTERNET req = open_request(url, L"GET", conn, timeout_ms, &landed);
  if (!req) {
    close_both(nullptr, conn);
    return false;
  }
  if (status_of(req) != 200) {
    close_both(req, conn);
    return false;
  }
  if (final_url) *final_url = final_url_of(req, landed);
  char buf[65536];
  u64 got_total = 0;
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!WinHttpReadData(req, buf, sizeof buf, &got)) {
      // A body cut off in the middle is not a body: callers must not take a
      // truncated checksum file or torrent for the real one.
      ok = false;
      break;
    }
    if (got == 0) {
      // Some WinHTTP implementations report a connection closed early as a
      // plain end of body; the promised length tells them apart.
      u64 promised = 0;
      if (content_length(req, promised) && got_total < promised) ok = false;
      break;
    }
    body.append(buf, got);
    got_total += got;
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
  std::wstring landed;
  HINTERNET req = open_request(url, L"HEAD", conn, 20000, &landed);
  if (!req) {
    close_both(nullptr, conn);
    return false;
  }
  if (status_of(req) != 200) {
    close_both(req, conn);
    return false;
  }
  length = 0;
  u64 n = 0;
  if (content_length(req, n)) length = n;
  wchar_t text[64];
  DWORD len = sizeof text;
  ranges = WinHttpQueryHeaders(req, WINHTTP_QUERY_ACCEPT_RANGES, WINHTTP_HEADER_NAME_BY_INDEX, text,
                               &len, WINHTTP_NO_HEADER_INDEX) &&
           _wcsicmp(text, L"bytes") == 0;
  final_url = final_url_of(req, landed);
  close_both(req, conn);
  return length != 0;
}
