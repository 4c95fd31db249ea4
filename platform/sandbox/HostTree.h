// The host side of the sandbox's drives: maps a full Windows path to the host
// entry it names, matching each component case-insensitively. Links are
// never followed: a link anywhere on the way is refused, so nothing outside
// a drive's folder is reached. Each lookup yields an open descriptor of the
// entry's folder, and the operation that follows acts relative to it.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>

#include "platform/sandbox/Fd.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

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
  // The host path, for showing: the existing entry with its own case; for
  // Missing the new entry's path with the case it was given.
  std::string host;
  struct stat st {};  // valid for File, Folder and Other
  bool readOnlyDrive = false;
  // For File, Folder, Other and Missing: the folder holding the entry, and
  // the entry's name in it. Operations act relative to `folder`.
  UniqueFd folder;
  std::string name;

  bool Exists() const { return kind == File || kind == Folder || kind == Other; }
};

class HostTree {
 public:
  // Native drives are the one-letter folders of the machine folder ("C",
  // "D"), here open as `machineFolder` (real path `machinePath`).
  HostTree(UniqueFd machineFolder, std::string machinePath);

  // Serves `letter` from `hostFolder` instead ("" removes the mapping). The
  // folder may be missing for now, like a CD drive without a disc.
  void MapDrive(char letter, const std::string& hostFolder, bool readOnly);
  // Names are folded by the machine's code page.
  void SetCodePage(unsigned codePage) { codePage_ = codePage; }

  // Resolves the path beneath its drive's folder, which is opened afresh.
  HostEntry Lookup(const WinPath& path) const;

  // Whether the folders `a` and `b` are one, or one lies below the other,
  // judged by device and inode along the parents of each.
  static bool Overlap(int a, int b);
  int MachineFolder() const { return machine_.Get(); }

 private:
  struct Drive {
    std::string folder;  // as configured
    bool readOnly = false;
  };
  // The drive's folder, open, with its host path; a mapped folder that is
  // missing or overlaps the machine folder is no drive at all.
  UniqueFd OpenDrive(char letter, bool& readOnly, std::string& hostPath) const;
  // The entry of `dir` for `part`: the exact name first, else the smallest
  // name that folds alike.
  bool FindName(int dir, const std::string& part, std::string& name, struct stat& st) const;

  UniqueFd machine_;
  struct stat machineSt_ {};
  std::string machinePath_;
  std::map<char, Drive> mapped_;
  unsigned codePage_ = 1252;
};

}  // namespace qar::sandbox
