#pragma once

#include <string>

#include "platform/Platform.h"

namespace qar {

extern const char* const kOsNamePrefix;  // "Microsoft Windows "

// The display name of the running Windows version, "" when the query fails.
// Every version decision compares this string exactly; never cached.
std::string GetOSName(Platform& platform);

// The naming rule on a version record already read.
std::string OsNameFor(const OsVersion& version);

}  // namespace qar
