#include "platform/sandbox/Versions.h"

#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

namespace {

OsVersion Record(unsigned platformId, unsigned major, unsigned minor, const char* csd) {
  OsVersion version;
  version.platformId = platformId;
  version.major = major;
  version.minor = minor;
  version.SetCsd(csd);
  return version;
}

}  // namespace

// What GetVersionExA reports on each system as released or last serviced.
// The 9x family puts its release letter in the service-pack text: " A" on
// 95 OSR1 and 98's second edition, " B" on 95 OSR2 and 2.1, " C" on 95
// OSR2.5. 2003 and Vista fall through the wizard's version table.
const std::vector<NamedVersion>& KnownVersions() {
  static const std::vector<NamedVersion> versions = {
      {"win31", Record(0, 3, 10, ""), "C:\\Windows"},  // Win32s
      {"win95", Record(1, 4, 0, ""), "C:\\Windows"},
      {"win95a", Record(1, 4, 0, " A"), "C:\\Windows"},
      {"win95osr2", Record(1, 4, 0, " B"), "C:\\Windows"},
      {"win95osr25", Record(1, 4, 0, " C"), "C:\\Windows"},
      {"win98", Record(1, 4, 10, ""), "C:\\Windows"},
      {"win98se", Record(1, 4, 10, " A"), "C:\\Windows"},
      {"winme", Record(1, 4, 90, ""), "C:\\Windows"},
      {"nt351", Record(2, 3, 51, "Service Pack 5"), "C:\\Winnt"},
      {"nt40", Record(2, 4, 0, "Service Pack 6"), "C:\\Winnt"},
      {"win2000", Record(2, 5, 0, "Service Pack 4"), "C:\\Winnt"},
      {"win2k", Record(2, 5, 0, "Service Pack 4"), "C:\\Winnt"},
      {"winxp", Record(2, 5, 1, "Service Pack 3"), "C:\\Windows"},
      {"win2003", Record(2, 5, 2, "Service Pack 2"), "C:\\Windows"},
      {"vista", Record(2, 6, 0, "Service Pack 2"), "C:\\Windows"},
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
