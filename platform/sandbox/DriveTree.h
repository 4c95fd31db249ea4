// The drives, walked a name at a time from the drive's folder; a link
// anywhere is refused, so nothing outside is reached.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/Platform.h"
#include "platform/sandbox/Faults.h"
#include "platform/sandbox/Files.h"
#include "platform/sandbox/Settings.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

// Refused: a link, device, socket or pipe, or the host said no. NoParent:
// a folder on the way is missing or a file. Missing: the last name only.
struct DriveEntry {
  enum Kind { Refused, NoDrive, NoParent, Missing, File, Folder };
  Kind kind = Refused;
  std::string host;   // for showing: the case found, or given for a new name
  struct stat st {};  // for File and Folder
  bool readOnlyDrive = false;
  UniqueFd folder;   // for File, Folder and Missing: the folder holding the
  std::string name;  // entry, and the entry's name in it

  bool Exists() const { return kind == File || kind == Folder; }
  bool Writable() const { return (st.st_mode & S_IWUSR) != 0; }
};

class DriveTree {
 public:
  DriveTree(int machineFolder, const Settings& settings);

  DriveEntry Lookup(const WinPath& path) const;

  // The folder is, holds or lies in the machine folder.
  bool Overlaps(const std::string& hostFolder) const;

 private:
  UniqueFd OpenDrive(char letter, bool& readOnly, std::string& hostPath) const;
  bool Overlaps(int folder) const;
  // The exact name, else the smallest that folds alike.
  bool FindName(int dir, const std::string& part, std::string& name, struct stat& st) const;

  int machine_;
  // As opened, for showing: asking anew would slow every lookup.
  std::string machinePath_;
  struct stat machineSt_ {};
  const Settings& settings_;
};

// Where "no replace" is refused, a look and a plain rename serve: the
// machine is one process's.
bool RenameNoReplace(const DriveEntry& from, const DriveEntry& to);

// Straight onto the target, as CopyFileA copies. A copy that fails removes
// its target; a killed one leaves it.
CopyResult CopyDriveFile(const DriveEntry& from, const DriveEntry& to, Faults& faults);

}  // namespace qar::sandbox
