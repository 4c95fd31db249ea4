// Fault injection, for tests: Platform operations that fail as Windows
// reports failure, copies cut short as by a scratched CD, a full disk or a
// power cut, and host calls refused as some file systems refuse them.
#pragma once

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
  std::uint64_t MayRead(std::uint64_t wanted) const;
  // Of `got` bytes just read; fewer: the disk is full.
  std::uint64_t MayWrite(std::uint64_t got);
  // Where the process was to die after these bytes, it does.
  void Wrote(std::uint64_t bytes);

 private:
  friend class Faults;
  std::uint64_t readable_ = ~0ULL;
  std::uint64_t* diskLeft_ = nullptr;
  std::uint64_t stopAt_ = ~0ULL;
  std::uint64_t written_ = 0;
};

class Faults {
 public:
  // Every later call of `op` fails; with a path, only on that path (a
  // copy's or a rename's either path, or a key's).
  void Fail(Op op, const std::string& path);
  // Reading the source fails after `bytes` bytes.
  void FailReadAfter(const std::string& source, std::uint64_t bytes);
  // The copies may write `bytes` more bytes in all.
  void DiskFullAfter(std::uint64_t bytes);
  // Once `copies` more copies are done and the next has written `bytes`
  // bytes, the process dies.
  void StopAfterCopies(unsigned copies, std::uint64_t bytes);
  void Clear();

  // `other`: a copy's or a rename's second path.
  bool Fails(Op op, const std::string& path, const std::string& other = "") const;
  CopyFaults ForCopy(const std::string& source);
  // Counts a copy done; after the last one allowed, the process dies.
  void CopyDone();

 private:
  std::vector<std::pair<Op, std::string>> failing_;
  std::map<std::string, std::uint64_t> readable_;
  std::uint64_t diskLeft_ = ~0ULL;  // ~0: the disk never fills
  int copiesBeforeStop_ = -1;
  std::uint64_t stopBytes_ = 0;
};

// Host calls a file system may refuse. A test refuses one with `error`
// (0: no more) before any machine exists, as Open takes the lock.
enum class HostCall { Lock, RenameNoReplace };
void RefuseHostCall(HostCall call, int error);
// True, with errno set, when a test refuses the call.
bool TestRefuses(HostCall call);

}  // namespace qar::sandbox
