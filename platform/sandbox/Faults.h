// Fault injection, for tests: Platform operations that fail as Windows
// reports failure, copies cut short as by a scratched CD, a full disk or a
// power cut, and host calls refused as some file systems refuse them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qar::sandbox {

// Every Platform operation.
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

// What one copy may read and write, asked before each read and write.
class CopyFaults {
 public:
  // Of `wanted` bytes; 0: the source fails, as a scratched CD does.
  std::size_t MayRead(std::size_t wanted) const;
  // Of `got` bytes just read; fewer: the disk is full.
  std::size_t MayWrite(std::size_t got);
  // Where the process was to die after these bytes, it does.
  void Wrote(std::size_t bytes);

 private:
  friend class Faults;
  long long readable_ = -1;  // -1: no limit
  long long* diskLeft_ = nullptr;
  long long stopAt_ = -1;
  long long written_ = 0;
};

class Faults {
 public:
  // Every later call of `op` fails; with a path, only on that path.
  void Fail(Op op, const std::string& path);
  void FailReadAfter(const std::string& source, std::uint64_t bytes);
  void DiskFullAfter(std::uint64_t bytes);
  void StopAfterCopies(unsigned copies, std::uint64_t bytes);
  void Clear();

  // `other`: a copy's or a rename's second path.
  bool Fails(Op op, const std::string& path, const std::string& other = "") const;
  CopyFaults ForCopy(const std::string& source);
  // Counts a copy done; after the last one allowed, the process dies.
  void CopyDone();

 private:
  std::vector<std::pair<Op, std::string>> failing_;
  std::map<std::string, long long> readable_;
  long long diskLeft_ = -1;
  long long copiesBeforeStop_ = -1;
  long long stopBytes_ = 0;
};

// Host calls a file system may refuse. A test refuses one with `error`
// (0: no more) before any machine exists, as Open takes the lock.
enum class HostCall { Lock, RenameNoReplace };
void RefuseHostCall(HostCall call, int error);
// True, with errno set, when a test refuses the call.
bool TestRefuses(HostCall call);

}  // namespace qar::sandbox
