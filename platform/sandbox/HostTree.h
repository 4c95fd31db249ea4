// The host side of the sandbox's drives: maps a full Windows path to the host
// entry it names, matching each component case-insensitively, and refuses
// whatever would lead outside the drive's folder.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <unordered_map>

#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

struct HostEntry {
  enum Kind {
    Refused,    // leads outside the drive (a symlink), or the host said no
    NoDrive,    // the drive letter is not served
    NoParent,   // a folder on the way is missing or is a file
    Missing,    // the folder exists, the last component does not
    File,
    Folder,
    Other,      // a device, socket or pipe: nothing Windows would open here
  };
  Kind kind = Refused;
  // The existing entry with its own case; for Missing the new entry's path
  // with the case it was given; for NoParent the path as far as composed.
  std::string host;
  struct stat st {};      // valid for File, Folder and Other
  struct stat parent {};  // the folder's, valid for Missing
  bool readOnlyDrive = false;

  bool Exists() const { return kind == File || kind == Folder || kind == Other; }
};

class HostTree {
 public:
  // Native drives are the one-letter folders of `machineFolder` ("C", "D").
  explicit HostTree(std::string machineFolder);

  // Serves `letter` from `hostFolder` instead ("" removes the mapping). The
  // folder may be missing for now, like a CD drive without a disc.
  void MapDrive(char letter, const std::string& hostFolder, bool readOnly);

  // Walks the path component by component. For every change and for
  // HostPath: the walk sees each symlink on the way.
  HostEntry Lookup(const WinPath& path) const;
  // The same answer for the read-only probes, which the wizard's timer asks
  // every millisecond: where a path led is remembered and checked with one
  // stat, the entry's identity or, for a missing entry, its folder's identity
  // and change time. A folder swapped for a link elsewhere changes the
  // identity, so the full walk runs again, as it does at least every second.
  HostEntry Probe(const WinPath& path) const;

  // Whether `path` equals `root` or lies below it (both real, absolute).
  static bool IsInside(const std::string& path, const std::string& root);

 private:
  struct Drive {
    std::string folder;  // as configured
    bool readOnly = false;
  };
  struct Listing {
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec ctime {};
    std::unordered_map<std::string, std::string> byFolded;  // folded -> name
  };

  struct Remembered {
    bool present = false;
    std::string host;    // the entry, or for a missing one its folder
    dev_t dev = 0;       // of `host`
    ino_t ino = 0;
    struct timespec ctime {};  // of the missing entry's folder
    bool readOnlyDrive = false;
    std::string missingHost;
    time_t until = 0;    // coarse monotonic seconds
  };

  // The real path of the drive's folder, "" when the drive is not served.
  std::string DriveRoot(char letter, bool& readOnly) const;
  // The entry of `dir` (whose stat is `dirSt`) whose name folds to `folded`.
  bool FindNoCase(const std::string& dir, const struct stat& dirSt, const std::string& folded,
                  std::string& name) const;

  std::string machineFolder_;
  std::map<char, Drive> mapped_;
  mutable std::map<char, std::string> mappedReal_;  // realpath of each mapped folder
  // Folder listings, reused while the folder's change time stands still.
  mutable std::unordered_map<std::string, Listing> listings_;
  mutable std::unordered_map<std::string, Remembered> probes_;  // by folded full path
};

}  // namespace qar::sandbox
