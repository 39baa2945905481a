// Transfer: the object the user-interface thread owns. Each start is a run
// of its own generation on a job thread chained behind the one before, so
// two runs of one download never overlap; a run's late updates are lost
// once it is no longer the current generation.
#include <winsock2.h>
#include <windows.h>

#include "transfer/transfer.h"
#include "transfer/transfer_engine.h"

// ---- Transfer ---------------------------------------------------------------

Transfer::Transfer(TransferSpec spec) : spec_(std::move(spec)) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  final_ = path_join(spec_.dir, widen(spec_.file));
  part_ = final_ + L".part";
  snap_.total = spec_.size;
  snap_.has_torrent = !spec_.torrent.empty();
  snap_.has_mirrors = !spec_.mirrors.empty();
  if (!plain_) {
    // A name that would reach outside the destination folder: the job fails
    // at once, and no run or cancel ever touches a file of that name.
    snap_.state = TState::Failed;
    snap_.label = "FAILED";
    snap_.error = "not a plain file name";
    wlog("transfer: %s: refused: not a plain file name", spec_.name.c_str());
    return;
  }
  u64 done = 0, total = 0;
  if (transfer_resume_info(spec_.dir, spec_.file, done, total)) {
    snap_.total = total;
    snap_.done = done;
    snap_.label = "PARTIAL";
  }
}

Transfer::~Transfer() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++generation_;
    if (run_) run_->halt();
  }
  if (worker_.joinable()) worker_.join();
  WSACleanup();
}

void Transfer::start() {
  std::lock_guard<std::mutex> lk(mu_);
  if (!plain_) return;
  TState st = snap_.state;
  if (st == TState::Done || st == TState::Starting || st == TState::Running || st == TState::Checking) return;
  u64 gen = ++generation_;
  auto run = std::make_shared<TransferRun>();
  run->publish = [this, gen](const std::function<void(TransferSnapshot&)>& f) {
    std::lock_guard<std::mutex> lk(mu_);
    if (generation_ != gen) return false;
    f(snap_);
    return true;
  };
  run_ = run;
  snap_.state = TState::Starting;
  snap_.label = "STARTING";
  snap_.error.clear();
  snap_.sha256.clear();
  std::thread prev = std::move(worker_);
  worker_ = std::thread([this, run, prev = std::move(prev)]() mutable {
    if (prev.joinable()) prev.join();
    if (run->stop) return;
    TransferEngine e(spec_, final_, part_, *run);
    e.run();
  });
}

void Transfer::pause() {
  std::lock_guard<std::mutex> lk(mu_);
  if (snap_.state == TState::Done || !plain_) return;
  ++generation_;
  if (run_) run_->halt();
  snap_.state = TState::Paused;
  snap_.label = "PAUSED";
  show_idle(snap_);
  for (u8& v : snap_.piece_map)
    if (v == kInFlight) v = kMissing;
}

void Transfer::cancel() {
  std::lock_guard<std::mutex> lk(mu_);
  if (!plain_) return;
  ++generation_;
  if (run_) run_->halt();
  run_.reset();
  TransferSnapshot fresh;
  fresh.state = TState::Idle;
  fresh.label = "CANCELLED";
  fresh.total = snap_.total;
  fresh.has_torrent = snap_.has_torrent;
  fresh.has_mirrors = snap_.has_mirrors;
  snap_ = fresh;
  std::wstring part = part_;
  std::thread prev = std::move(worker_);
  worker_ = std::thread([part, prev = std::move(prev)]() mutable {
    if (prev.joinable()) prev.join();
    for (const wchar_t* suffix :
         {L"", L".resume", L".resume.tmp", L".torrent", L".torrent.tmp", L".edge", L".edge.tmp"})
      delete_file(part + suffix);
  });
}

TransferSnapshot Transfer::snapshot() const {
  std::lock_guard<std::mutex> lk(mu_);
  return snap_;
}
