// The install and the removal as the form runs them.
#pragma once

#include <string>

#include "deploy/VersionTable.h"
#include "platform/Platform.h"

namespace qar {

// What became of an install; the form chooses its box and screen by it.
enum class InstallOutcome {
  Refused,            // the version has a refusal box; nothing written
  Unrecognised,       // the version is in no row; nothing written
  SecurityError,      // the preflight folder is missing and cannot be made
  CopyFailed,         // the medium lacks a driver file, or a copy did not come out whole
  PermissionRefused,  // files copied, but the registry work failed
  Done,
};

struct InstallResult {
  InstallOutcome outcome;
  const char* refusalText = nullptr;             // for Refused
  CopyResult::Side copySide = CopyResult::None;  // for CopyFailed: the medium or the Windows folder
};

// The whole install for the running version (null when its query failed)
// from the media directory: gate,
// the medium's driver files, preflight, the 48 copies, then the setup-source
// redirection and the companion.
// - A copy counts when CopyFile succeeds and the target then has the
//   source's size (FileSize). A failed copy does not stop the others, but
//   ends the install as CopyFailed before any registry work.
// - The marker's copy (R\usb8023w.sys) runs after the other 47, only when
//   they all worked, under a temporary name that is renamed into place once
//   it is whole: whatever stops the program, the marker means a complete
//   install. A temporary that fails its check or its rename is deleted.
// - The read-only, hidden and system attributes of a target are cleared
//   before the copy over it.
// - The companion is registered only when its own copy counts as a driver
//   copy does.
// A failure in the registry work, whatever it is, ends it as
// PermissionRefused; the companion's own failures end nothing. Other
// failures are raised.
InstallResult InstallDriver(Platform& platform, const WindowsVersion* version,
                            const std::string& mediaDir);

// Deletes whatever of the removal list exists, read-only, hidden and system
// files included, then a temporary marker left under either root; shows
// nothing. True when `marker` (the one the timer watches) was deleted or is
// gone afterwards: a delete that succeeded may complete only when another
// program closes the file.
bool RemoveDriverFiles(Platform& platform, const std::string& marker);

}  // namespace qar
