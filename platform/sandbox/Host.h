// The host side of the machine: its drives' folders and its own files.
// Paths are resolved beneath a drive's folder one component at a time,
// matching each case-insensitively; a link anywhere on the way is refused,
// so nothing outside the drive is reached. Each lookup yields an open
// descriptor of the entry's folder, and the operation acts relative to it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/Platform.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

// A file descriptor that closes itself, so no error path can leak one.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // For a written file, where a failing close means lost data.
  bool Close() {
    const int fd = Release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

struct HostEntry {
  enum Kind {
    Refused,   // a link on the way or at the end, or the host said no
    NoDrive,   // the drive letter is not served
    NoParent,  // a folder on the way is missing or is a file
    Missing,   // the folder exists, the last component does not
    File,
    Folder,
    Other,  // a device, socket or pipe: nothing Windows would open here
  };
  Kind kind = Refused;
  // The host path, for showing: an existing entry with its own case, a
  // missing one with the case it was given.
  std::string host;
  struct stat st {};  // for File, Folder and Other
  bool readOnlyDrive = false;
  // For File, Folder, Other and Missing: the folder holding the entry, and
  // the entry's name in it.
  UniqueFd folder;
  std::string name;

  bool Exists() const { return kind == File || kind == Folder || kind == Other; }
};

class HostTree {
 public:
  // Native drives are the one-letter folders ("C", "D") of the machine
  // folder, here open as `machineFolder` (real path `machinePath`).
  HostTree(UniqueFd machineFolder, std::string machinePath);

  // Serves `letter` from `hostFolder` instead ("" removes the mapping). The
  // folder may be missing for now, like a CD drive without a disc.
  void MapDrive(char letter, const std::string& hostFolder, bool readOnly);
  void SetCodePage(unsigned codePage) { codePage_ = codePage; }

  // Resolves the path beneath its drive's folder, which is opened afresh.
  HostEntry Lookup(const WinPath& path) const;

  // Whether the folders `a` and `b` are one, or one lies below the other.
  static bool Overlap(int a, int b);
  int MachineFolder() const { return machine_.Get(); }

 private:
  // A mapped folder that is missing or overlaps the machine folder is no
  // drive at all.
  UniqueFd OpenDrive(char letter, bool& readOnly, std::string& hostPath) const;
  // The entry of `dir` for `part`: the exact name first, else the smallest
  // name that folds alike.
  bool FindName(int dir, const std::string& part, std::string& name, struct stat& st) const;

  UniqueFd machine_;
  struct stat machineSt_ {};
  std::string machinePath_;
  std::map<char, std::pair<std::string, bool>> mapped_;  // host folder, read-only
  unsigned codePage_ = 1252;
};

// The largest machine file read or written: a registry or settings file is
// a few kilobytes, and anything near this is no machine's file.
constexpr long long kMachineFileLimit = 16LL << 20;

// Reads a machine file: a regular file, not a link, at most
// kMachineFileLimit bytes; never blocks on a pipe or device. False with
// `why` set; errno is ENOENT when the file is missing.
bool ReadMachineFile(const std::string& path, std::string& content, std::string& why);

// Writes `content` to `path` so that a reader sees the old file or the new
// one, never a mix: a temporary file beside it, flushed, then renamed over
// `path`. `beforeRename` (for tests) runs in between; if it throws, the
// temporary file stays behind as a crash would leave it.
bool WriteFileAtomically(const std::string& path, const std::string& content,
                         const std::function<void()>& beforeRename = {});

// Appends `text` with a single write. A write cut short (a full disk) is
// taken back whole, so a reader never sees half a record.
bool AppendToFile(const std::string& path, const std::string& text);

// What the machine's fault injection does to one copy; -1: nothing.
struct CopyFaults {
  long long readable = -1;        // bytes of the source that can be read
  long long* diskLeft = nullptr;  // bytes the disk takes yet, counted down
  long long stopAt = -1;          // bytes written after which the process is killed
};

// Copies the regular file `fromName` of the folder `fromDir` straight onto
// `toName` in `toDir`, as CopyFileA writes it, keeping the last-write time
// and leaving the copy writable. A copy that fails removes its partial
// target; a killed one leaves it.
CopyResult CopyHostFile(int fromDir, const std::string& fromName, int toDir, const std::string& toName,
                        const CopyFaults& faults);

}  // namespace qar::sandbox
