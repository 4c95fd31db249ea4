// The host side of the machine: its drives' folders and its own files. A
// path is walked from its drive's folder one name at a time, matched
// case-insensitively; a link anywhere is refused, so nothing outside is reached.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>

#include "platform/Platform.h"
#include "platform/sandbox/Settings.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

// A file descriptor that closes itself, so no error path can leak one.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept { return std::swap(fd_, other.fd_), *this; }
  ~UniqueFd() { Close(); }
  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  bool Close() {
    return fd_ < 0 || ::close(Release()) == 0;
  }  // false when written data may be lost

 private:
  int fd_ = -1;
};

// Refused: a link, a device, socket or pipe, or the host said no. NoParent:
// a folder on the way is missing or is a file. Missing: only the last name is.
struct HostEntry {
  enum Kind { Refused, NoDrive, NoParent, Missing, File, Folder };
  Kind kind = Refused;
  std::string host;   // for showing: the case found, or given for a new name
  struct stat st {};  // for File and Folder
  bool readOnlyDrive = false;
  UniqueFd folder;   // for File, Folder and Missing: the folder holding the
  std::string name;  // entry, and the entry's name in it

  bool Exists() const { return kind == File || kind == Folder; }
};

class HostTree {
 public:
  // Native drives are the machine folder's one-letter folders ("C"); the
  // settings map others (a missing folder: a CD drive without a disc).
  HostTree(UniqueFd machineFolder, std::string machinePath, const Settings& settings);

  HostEntry Lookup(const WinPath& path) const;

  // Whether the folder is, holds or lies in the machine folder; false if absent.
  bool Overlaps(const std::string& hostFolder) const;

 private:
  UniqueFd OpenDrive(char letter, bool& readOnly, std::string& hostPath) const;
  bool Overlaps(int folder) const;
  // The exact name first, else the smallest name in `dir` that folds alike.
  bool FindName(int dir, const std::string& part, std::string& name, struct stat& st) const;

  UniqueFd machine_;
  struct stat machineSt_ {};
  std::string machinePath_;
  const Settings& settings_;
};

// The largest machine file read or written.
constexpr long long kMachineFileLimit = 16LL << 20;

// A regular file of at most kMachineFileLimit bytes; else false, errno and `why` set.
bool ReadMachineFile(const std::string& path, std::string& content, std::string& why);

// Through a flushed temporary file renamed over `path`: the old file or the
// new one is there, never a mix. `beforeRename` is for tests.
bool WriteFileAtomically(const std::string& path, const std::string& content,
                         const std::function<void()>& beforeRename = {});

// One write; one cut short by a full disk is taken back whole.
bool AppendToFile(const std::string& path, const std::string& text);

// What the machine's fault injection does to one copy; -1: nothing.
struct CopyFaults {
  long long readable = -1;        // bytes of the source that can be read
  long long* diskLeft = nullptr;  // bytes the disk takes yet, counted down
  long long stopAt = -1;          // bytes written after which the process is killed
};

// Straight onto the target, as CopyFileA writes it, keeping the last-write
// time. A copy that fails removes its target; a killed one leaves it.
CopyResult CopyHostFile(int fromDir, const std::string& fromName, int toDir,
                        const std::string& toName, const CopyFaults& faults);

}  // namespace qar::sandbox
