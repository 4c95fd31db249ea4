// The machine's settings file (machine.conf): what the simulated Windows
// reports about itself, its current directory, its mapped drives and the
// registry keys its user may not write. A commented key = value text.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qar::sandbox {

struct DriveMapping {
  std::string hostFolder;  // absolute
  bool readOnly = false;
};

struct Settings {
  std::string versionName;  // a known name, or "" when given as raw numbers
  OsVersion version;
  bool versionQueryFails = false;
  std::string currentDirectory = "C:\\";
  std::map<char, DriveMapping> drives;
  std::vector<std::string> readOnlyKeys;  // below HKEY_LOCAL_MACHINE, no leading backslash
};

// Throws SandboxError "<fileName>:<line>: <what is wrong>".
Settings ParseSettings(const std::string& text, const std::string& fileName);
std::string FormatSettings(const Settings& settings);

}  // namespace qar::sandbox
