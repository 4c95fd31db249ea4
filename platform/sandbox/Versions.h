// The Windows versions the simulator knows: what each reports and what a
// fresh installation has on disk. What the wizard calls each, and does on
// it, is the wizard's own version table (deploy/VersionTable.h) read on the record.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qar::sandbox {

// A version record as that version of Windows really reports it.
struct NamedVersion {
  const char* name;        // "win98se"
  OsVersion version;       // platform id, major, minor, service-pack text
  const char* systemRoot;  // "C:\\Windows" or "C:\\Winnt"
};
// Null for an unknown name (compared case-insensitively).
const NamedVersion* FindVersion(const std::string& name);
const std::vector<NamedVersion>& KnownVersions();

// "win31, win95, ..." for error messages and help texts.
std::string KnownVersionNames();

// The folders below the system root of a fresh installation, parents first,
// '\'-separated ("System32\drivers").
std::vector<std::string> SystemFolders(const OsVersion& version);

}  // namespace qar::sandbox
