// The install and the removal as the form runs them.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace qar {

// What became of an install; the form chooses its box and screen by it.
enum class InstallOutcome {
  Refused,            // the version has a refusal box; nothing written
  Unrecognised,       // the version is in no row; nothing written
  SecurityError,      // the preflight folder is missing and cannot be made
  CopyFailed,         // a driver file on the medium is missing or empty, or no marker after the copies
  PermissionRefused,  // files copied, but the registry work failed
  Done,
};

struct InstallResult {
  InstallOutcome outcome;
  const char* refusalText = nullptr;  // for Refused
};

// The whole install for the named version from the media directory: gate,
// the medium's driver files, preflight, the 48 copies, then the setup-source
// redirection and the companion. A failure in the registry work, whatever it is, ends it as
// PermissionRefused; the companion's own failures end nothing. Other failures
// are raised.
InstallResult InstallDriver(Platform& platform, const std::string& osName, const std::string& mediaDir);

// Deletes whatever of the removal list exists; shows and reports nothing.
void RemoveDriverFiles(Platform& platform);

}  // namespace qar
