// Fault injection for tests: failing operations, copies cut short, host
// calls refused.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qar::sandbox {

enum class Op {
  QueryVersion,
  GetCurrentDrive,
  GetCurrentDir,
  FileExists,
  DirectoryExists,
  FileSize,
  CreateDir,
  CopyFile,
  DeleteFile,
  RenameFile,
  ClearAttributes,
  OpenKey,
  WriteString,
  DeleteValue,
  ShellOpen,
  MessageBox
};

class Faults {
 public:
  // Every later call of `op` fails; with a path, only on that path (either
  // path of a copy or rename, or a key).
  void Fail(Op op, const std::string& path = "");
  // Reading the source fails after `bytes` bytes.
  void FailReadAfter(const std::string& source, std::uint64_t bytes);
  // The copies may write `bytes` more bytes in all.
  void DiskFullAfter(std::uint64_t bytes);
  // Once `copies` more copies are done and the next has written `bytes`
  // bytes, the process dies.
  void StopAfterCopies(unsigned copies, std::uint64_t bytes = 0);

  bool Fails(Op op, const std::string& path, const std::string& other = "") const;

  // A copy asks before each read and write.
  void StartCopy(const std::string& source);
  // Of `wanted` bytes; 0: the source fails, as on a scratched CD.
  std::uint64_t MayRead(std::uint64_t wanted) const;
  // Of `got` bytes just read; fewer: the disk is full.
  std::uint64_t MayWrite(std::uint64_t got);
  // Each may stop the process.
  void Wrote(std::uint64_t bytes);
  void CopyDone();

 private:
  static constexpr std::uint64_t kNever = ~0ULL;

  std::vector<std::pair<Op, std::string>> failing_;
  std::map<std::string, std::uint64_t> readableOf_;
  std::uint64_t diskLeft_ = kNever;
  int copiesBeforeStop_ = -1;
  std::uint64_t stopBytes_ = 0;
  // The copy under way.
  std::uint64_t readable_ = kNever;
  std::uint64_t written_ = 0;
};

// Host calls a file system may refuse; a test refuses one (error 0: no
// more), before a machine exists too.
enum class HostCall { Lock, RenameNoReplace };
void RefuseHostCall(HostCall call, int error);
// True, errno set, where refused.
bool TestRefuses(HostCall call);

}  // namespace qar::sandbox
