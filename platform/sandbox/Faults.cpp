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

void Faults::Fail(Op op, const std::string& path) {
  failing_.emplace_back(op, FaultForm(op, path));
}

void Faults::FailReadAfter(const std::string& source, std::uint64_t bytes) {
  readableOf_[FaultForm(Op::CopyFile, source)] = bytes;
}

void Faults::DiskFullAfter(std::uint64_t bytes) { diskLeft_ = bytes; }

void Faults::StopAfterCopies(unsigned copies, std::uint64_t bytes) {
  copiesBeforeStop_ = static_cast<int>(copies);
  stopBytes_ = bytes;
}

bool Faults::Fails(Op op, const std::string& path, const std::string& other) const {
  for (const auto& [failing, at] : failing_) {
    if (failing != op) continue;
    if (at.empty() || at == FaultForm(op, path)) return true;
    if (!other.empty() && at == FaultForm(op, other)) return true;
  }
  return false;
}

void Faults::StartCopy(const std::string& source) {
  const auto limit = readableOf_.find(FaultForm(Op::CopyFile, source));
  readable_ = limit != readableOf_.end() ? limit->second : kNever;
  written_ = 0;
}

std::uint64_t Faults::MayRead(std::uint64_t wanted) const { return std::min(wanted, readable_); }

std::uint64_t Faults::MayWrite(std::uint64_t got) {
  if (readable_ != kNever) readable_ -= got;
  const std::uint64_t stop = copiesBeforeStop_ == 0 ? stopBytes_ : kNever;
  return std::min({got, diskLeft_, stop - written_});
}

void Faults::Wrote(std::uint64_t bytes) {
  written_ += bytes;
  if (diskLeft_ != kNever) diskLeft_ -= bytes;
  if (copiesBeforeStop_ == 0 && written_ == stopBytes_) PowerCut();
}

void Faults::CopyDone() {
  // The copy to be cut off was shorter than the cut: stop after it.
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
