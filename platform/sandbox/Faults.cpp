#include "platform/sandbox/Faults.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/sandbox/Registry.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

namespace {

// Paths compare as Windows compares file paths or key paths.
std::string FaultForm(Op op, const std::string& path) {
  if (op == Op::OpenKey || op == Op::WriteString || op == Op::DeleteValue)
    return Fold(RelativeKeyPath(path));
  std::string form = Fold(path);
  std::replace(form.begin(), form.end(), '/', '\\');
  return form;
}

// As by a power cut: what was written stays.
[[noreturn]] void PowerCut() {
  kill(getpid(), SIGKILL);
  _exit(137);
}

int refusals[2] = {0, 0};  // by HostCall

}  // namespace

std::size_t CopyFaults::MayRead(std::size_t wanted) const {
  if (readable_ < 0) return wanted;
  return static_cast<std::size_t>(std::min<long long>(wanted, readable_));
}

std::size_t CopyFaults::MayWrite(std::size_t got) {
  if (readable_ >= 0) readable_ -= static_cast<long long>(got);
  long long put = static_cast<long long>(got);
  if (stopAt_ >= 0) put = std::min(put, stopAt_ - written_);
  if (diskLeft_ != nullptr) put = std::min(put, *diskLeft_);
  return static_cast<std::size_t>(put);
}

void CopyFaults::Wrote(std::size_t bytes) {
  written_ += static_cast<long long>(bytes);
  if (diskLeft_ != nullptr) *diskLeft_ -= static_cast<long long>(bytes);
  if (written_ == stopAt_) PowerCut();
}

void Faults::Fail(Op op, const std::string& path) {
  failing_.emplace_back(op, FaultForm(op, path));
}

void Faults::FailReadAfter(const std::string& source, std::uint64_t bytes) {
  readable_[FaultForm(Op::CopyFile, source)] = static_cast<long long>(bytes);
}

void Faults::DiskFullAfter(std::uint64_t bytes) { diskLeft_ = static_cast<long long>(bytes); }

void Faults::StopAfterCopies(unsigned copies, std::uint64_t bytes) {
  copiesBeforeStop_ = copies;
  stopBytes_ = static_cast<long long>(bytes);
}

void Faults::Clear() { *this = Faults(); }

bool Faults::Fails(Op op, const std::string& path, const std::string& other) const {
  for (const auto& [failing, at] : failing_) {
    if (failing != op) continue;
    if (at.empty() || at == FaultForm(op, path)) return true;
    if (!other.empty() && at == FaultForm(op, other)) return true;
  }
  return false;
}

CopyFaults Faults::ForCopy(const std::string& source) {
  CopyFaults copy;
  const auto limit = readable_.find(FaultForm(Op::CopyFile, source));
  if (limit != readable_.end()) copy.readable_ = limit->second;
  if (diskLeft_ >= 0) copy.diskLeft_ = &diskLeft_;
  if (copiesBeforeStop_ == 0) copy.stopAt_ = stopBytes_;
  return copy;
}

void Faults::CopyDone() {
  // The copy that was to be cut off was shorter than the cut: stop after it.
  if (copiesBeforeStop_ == 0) PowerCut();
  if (copiesBeforeStop_ > 0 && --copiesBeforeStop_ == 0 && stopBytes_ == 0) PowerCut();
}

void RefuseHostCall(HostCall call, int error) { refusals[static_cast<int>(call)] = error; }

bool TestRefuses(HostCall call) {
  const int error = refusals[static_cast<int>(call)];
  if (error != 0) errno = error;
  return error != 0;
}

}  // namespace qar::sandbox
