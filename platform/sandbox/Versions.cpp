#include "platform/sandbox/Versions.h"

#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

// What GetVersionExA reports on each system as released or last serviced.
// The 9x family puts its release letter in the service-pack text: " A" on
// 95 OSR1 and 98's second edition, " B" on 95 OSR2 and 2.1, " C" on 95
// OSR2.5. 2003 and Vista fall through the wizard's version table.
const std::vector<NamedVersion>& KnownVersions() {
  static const std::vector<NamedVersion> versions = {
      {"win31", {0, 3, 10, ""}, "C:\\Windows"},  // Win32s
      {"win95", {1, 4, 0, ""}, "C:\\Windows"},
      {"win95a", {1, 4, 0, " A"}, "C:\\Windows"},
      {"win95osr2", {1, 4, 0, " B"}, "C:\\Windows"},
      {"win95osr25", {1, 4, 0, " C"}, "C:\\Windows"},
      {"win98", {1, 4, 10, ""}, "C:\\Windows"},
      {"win98se", {1, 4, 10, " A"}, "C:\\Windows"},
      {"winme", {1, 4, 90, ""}, "C:\\Windows"},
      {"nt351", {2, 3, 51, "Service Pack 5"}, "C:\\Winnt"},
      {"nt40", {2, 4, 0, "Service Pack 6"}, "C:\\Winnt"},
      {"win2000", {2, 5, 0, "Service Pack 4"}, "C:\\Winnt"},
      {"win2k", {2, 5, 0, "Service Pack 4"}, "C:\\Winnt"},
      {"winxp", {2, 5, 1, "Service Pack 3"}, "C:\\Windows"},
      {"win2003", {2, 5, 2, "Service Pack 2"}, "C:\\Windows"},
      {"vista", {2, 6, 0, "Service Pack 2"}, "C:\\Windows"},
  };
  return versions;
}

const NamedVersion* FindVersion(const std::string& name) {
  for (const NamedVersion& version : KnownVersions())
    if (EqualNoCase(name, version.name)) return &version;
  return nullptr;
}

std::string KnownVersionNames() {
  std::string names;
  for (const NamedVersion& version : KnownVersions())
    names += (names.empty() ? "" : ", ") + std::string(version.name);
  return names;
}

std::vector<std::string> SystemFolders(const OsVersion& version) {
  // Windows 3.1 (Win32s): System only.
  if (version.platformId == 0) return {"System"};
  // 95 has no System32; 98 and ME bring System32\drivers for WDM drivers.
  if (version.platformId == 1) {
    if (version.major == 4 && version.minor == 0) return {"System", "Inf"};
    return {"System", "System32", "System32\\drivers", "Inf"};
  }
  // NT 3.51 keeps its setup files in System32; the inf folder came with 4.0.
  if (version.major == 3) return {"System", "System32", "System32\\drivers"};
  return {"System", "System32", "System32\\drivers", "inf"};
}

}  // namespace qar::sandbox
