// Placeholder engine: states move as the interface promises, nothing is
// fetched yet. The download engine replaces this file.
#include "transfer/transfer.h"

struct TransferRun {};

Transfer::Transfer(TransferSpec spec) : spec_(std::move(spec)) {
  final_ = path_join(spec_.dir, widen(spec_.file));
  part_ = final_ + L".part";
  snap_.total = spec_.size;
  snap_.has_torrent = !spec_.torrent.empty();
  snap_.has_mirrors = !spec_.mirrors.empty();
}

Transfer::~Transfer() {
  if (worker_.joinable()) worker_.join();
}

void Transfer::start() {
  std::lock_guard<std::mutex> lk(mu_);
  if (snap_.state == TState::Done) return;
  ++generation_;
  snap_.state = TState::Failed;
  snap_.label = "FAILED";
  snap_.error = "download engine not built";
}

void Transfer::pause() {
  std::lock_guard<std::mutex> lk(mu_);
  if (snap_.state == TState::Done) return;
  snap_.state = TState::Paused;
  snap_.label = "PAUSED";
}

void Transfer::cancel() {
  std::lock_guard<std::mutex> lk(mu_);
  snap_.state = TState::Idle;
  snap_.label = "CANCELLED";
}

TransferSnapshot Transfer::snapshot() const {
  std::lock_guard<std::mutex> lk(mu_);
  return snap_;
}

bool transfer_resume_info(const std::wstring&, const std::string&, u64&, u64&) { return false; }
