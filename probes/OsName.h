// The display name of the running Windows version, as the version table
// (deploy/VersionTable.h) names it.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace qar {

// "Microsoft Windows " and the version's suffix; "" when the query fails.
// Shown in lblOS; never cached.
std::string GetOSName(Platform& platform);

// The naming rule on a version record already read.
std::string OsNameFor(const OsVersion& version);

}  // namespace qar
