// What the transfer tests share: the fixture's servers and files
// (tests/fixtures/mirrors), waiting on a download's state, and comparing
// the result with the served file.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bt/bt_torrent.h"
#include "core/common.h"
#include "transfer/transfer.h"

// Fixture ports: nginx on 0-2, the misbehaving mirror on 3, opentracker on 4,
// libtorrent seeders on 5 and 6, a libtorrent leecher on 7, the swarm's
// control on 8, nothing on 9, the lonely libtorrent leecher on 10, the
// solo libtorrent seeder on 11.
int fixture_port(int n);
std::string nginx(int n, const std::string& file);
// The misbehaving mirror (tests/fixtures/mirrors/faulty.py) in `mode`.
std::string faulty(const std::string& mode, const std::string& file);
std::wstring fixture(const std::string& rel);
std::string sha_of(const std::string& file);
u64 size_of(const std::string& file);
// The fixture's www/NAME, read once.
const std::string& fixture_bytes(const std::string& name);
Torrent fixture_torrent(const std::string& name);

// The misbehaving mirror's counters per mode: body bytes sent so far, and
// bodies being sent now.
std::map<std::string, u64> served();
std::map<std::string, u64> active();
// GET of the libtorrent swarm's control (tests/fixtures/mirrors/swarm.py);
// its answer, empty on failure.
std::string swarm_control(const std::string& path);

TransferSpec spec_for(const std::wstring& dir, const std::string& file, std::vector<std::string> mirrors);

// Polls until `until` holds or the time runs out; returns the last snapshot.
TransferSnapshot wait_for(const Transfer& t, const std::function<bool(const TransferSnapshot&)>& until,
                          double seconds);
// Polls a condition of anything until it holds or the time runs out.
bool wait_until(const std::function<bool()>& cond, double seconds);
bool settled(const TransferSnapshot& s);
bool same_file(const std::wstring& a, const std::wstring& b);
void expect_no_side_files(const std::wstring& final_path);
extern const wchar_t* const kSideFiles[7];

// Sets VUNK_TRANSFER_LOG (and others) for one scope, and reads the log.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const std::wstring& value);
  ~ScopedEnv();

 private:
  std::wstring name_;
};
