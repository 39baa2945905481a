// The one WinHTTP session and blocking whole-body requests on it. Called from
// worker threads only.
#pragma once

#include <string>

#include "core/common.h"

struct UrlParts {
  std::wstring host;
  std::wstring path;
  u16 port = 443;
  bool https = true;
};

void* http_session();  // HINTERNET, null when no session could be opened
bool crack_url(const std::string& url, UrlParts& parts);
bool http_get(const std::string& url, std::string& body, std::string* final_url, u64 max_bytes,
              u32 timeout_ms);
bool http_head(const std::string& url, u64& length, std::string& final_url, bool& ranges);
