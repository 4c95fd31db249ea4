// The Windows versions the simulator knows: what each reports and what a
// fresh installation has on disk.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qar::sandbox {

struct NamedVersion {
  const char* name;        // "win98se"
  OsVersion version;       // as GetVersionExA reports it
  const char* systemRoot;  // "C:\\Windows" or "C:\\Winnt"
  const char* folders;     // below it when freshly installed, parents first
};
// Null for an unknown name (compared case-insensitively).
const NamedVersion* FindVersion(const std::string& name);
const std::vector<NamedVersion>& KnownVersions();

}  // namespace qar::sandbox
