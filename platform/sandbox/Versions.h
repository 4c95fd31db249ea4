// What a fresh installation of each simulated Windows version has on disk.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qar::sandbox {

// The folders below the system root of a fresh installation, parents first,
// '\'-separated ("System32\drivers").
std::vector<std::string> SystemFolders(const OsVersion& version);

// "win31, win95, ..." for error messages.
std::string KnownVersionNames();

}  // namespace qar::sandbox
