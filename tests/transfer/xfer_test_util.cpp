#include "tests/transfer/xfer_test_util.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>

#include "core/http.h"
#include "tests/support/test_support.h"

int fixture_port(int n) { return std::stoi(env_str("VUNK_MIRROR_PORT")) + n; }

std::string nginx(int n, const std::string& file) {
  return strf("http://127.0.0.1:%d/%s", fixture_port(n), file.c_str());
}

std::string faulty(const std::string& mode, const std::string& file) {
  return strf("http://127.0.0.1:%d/%s/%s", fixture_port(3), mode.c_str(), file.c_str());
}

std::wstring fixture(const std::string& rel) { return build_path("tests/fixture-mirrors/" + rel); }

std::string sha_of(const std::string& file) { return read_bytes(fixture("www/" + file + ".sha256")).substr(0, 64); }

u64 size_of(const std::string& file) { return file_size(fixture("www/" + file)); }

const std::string& fixture_bytes(const std::string& name) {
  static std::mutex mu;
  static std::map<std::string, std::string> cache;
  std::lock_guard<std::mutex> lk(mu);
  auto it = cache.find(name);
  if (it == cache.end()) it = cache.emplace(name, read_bytes(fixture("www/" + name))).first;
  return it->second;
}

Torrent fixture_torrent(const std::string& name) {
  Torrent t;
  std::string err;
  EXPECT_TRUE(parse_torrent(read_bytes(fixture("www/" + name)), t, err)) << name << ": " << err;
  return t;
}

namespace {

std::map<std::string, u64> counters(const char* what) {
  std::string body;
  std::map<std::string, u64> out;
  if (!http_get(strf("http://127.0.0.1:%d/%s", fixture_port(3), what), body, nullptr, 1 << 20, 5000)) return out;
  std::istringstream in(body);
  std::string mode;
  u64 n;
  while (in >> mode >> n) out[mode] = n;
  return out;
}

}  // namespace

std::map<std::string, u64> served() { return counters("stats"); }
std::map<std::string, u64> active() { return counters("active"); }

std::string swarm_control(const std::string& path) {
  std::string body;
  if (!http_get(strf("http://127.0.0.1:%d/%s", fixture_port(8), path.c_str()), body, nullptr, 1 << 20, 30000))
    return {};
  return body;
}

TransferSpec spec_for(const std::wstring& dir, const std::string& file, std::vector<std::string> mirrors) {
  TransferSpec s;
  s.name = "test " + file;
  s.dir = dir;
  s.file = file;
  s.sha256 = sha_of(file);
  s.size = size_of(file);
  s.mirrors = std::move(mirrors);
  return s;
}

TransferSnapshot wait_for(const Transfer& t, const std::function<bool(const TransferSnapshot&)>& until,
                          double seconds) {
  double end = now_s() + seconds;
  TransferSnapshot s = t.snapshot();
  while (!until(s) && now_s() < end) {
    Sleep(20);
    s = t.snapshot();
  }
  return s;
}

bool wait_until(const std::function<bool()>& cond, double seconds) {
  double end = now_s() + seconds;
  while (!cond()) {
    if (now_s() > end) return false;
    Sleep(20);
  }
  return true;
}

bool settled(const TransferSnapshot& s) { return s.state == TState::Done || s.state == TState::Failed; }

bool same_file(const std::wstring& a, const std::wstring& b) {
  HANDLE ha = CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE hb = CreateFileW(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  bool same = ha != INVALID_HANDLE_VALUE && hb != INVALID_HANDLE_VALUE;
  std::vector<char> x(1 << 22), y(1 << 22);
  while (same) {
    DWORD gx = 0, gy = 0;
    same = ReadFile(ha, x.data(), DWORD(x.size()), &gx, nullptr) && ReadFile(hb, y.data(), DWORD(y.size()), &gy, nullptr) &&
           gx == gy && memcmp(x.data(), y.data(), gx) == 0;
    if (gx == 0) break;
  }
  if (ha != INVALID_HANDLE_VALUE) CloseHandle(ha);
  if (hb != INVALID_HANDLE_VALUE) CloseHandle(hb);
  return same;
}

const wchar_t* const kSideFiles[7] = {L".part", L".part.resume", L".part.resume.tmp", L".part.torrent",
                                      L".part.torrent.tmp", L".part.edge", L".part.edge.tmp"};

void expect_no_side_files(const std::wstring& final_path) {
  for (const wchar_t* s : kSideFiles) EXPECT_FALSE(file_exists(final_path + s)) << narrow(s);
}

ScopedEnv::ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name) {
  SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), nullptr); }
