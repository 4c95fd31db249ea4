#include "platform/sandbox/Versions.h"

#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

// Below the system root: 95 has no System32; 98 and ME add System32\drivers
// for WDM; the inf folder came with NT 4.0.
const char k95[] = "System Inf";
const char k98[] = "System System32 System32/drivers Inf";
const char kNt351[] = "System System32 System32/drivers";
const char kNt[] = "System System32 System32/drivers inf";

// What GetVersionExA reports, as released or last serviced. 9x puts its
// release letter in the service-pack text: " A" on 95 OSR1 and 98 SE, " B"
// on 95 OSR2 and 2.1, " C" on 95 OSR2.5.
const std::vector<NamedVersion>& KnownVersions() {
  static const std::vector<NamedVersion> versions = {
      {"win31", {0, 3, 10, ""}, "C:\\Windows", "System"},  // Win32s
      {"win95", {1, 4, 0, ""}, "C:\\Windows", k95},
      {"win95a", {1, 4, 0, " A"}, "C:\\Windows", k95},
      {"win95osr2", {1, 4, 0, " B"}, "C:\\Windows", k95},
      {"win95osr25", {1, 4, 0, " C"}, "C:\\Windows", k95},
      {"win98", {1, 4, 10, ""}, "C:\\Windows", k98},
      {"win98se", {1, 4, 10, " A"}, "C:\\Windows", k98},
      {"winme", {1, 4, 90, ""}, "C:\\Windows", k98},
      {"nt351", {2, 3, 51, "Service Pack 5"}, "C:\\Winnt", kNt351},
      {"nt40", {2, 4, 0, "Service Pack 6"}, "C:\\Winnt", kNt},
      {"win2000", {2, 5, 0, "Service Pack 4"}, "C:\\Winnt", kNt},
      {"win2k", {2, 5, 0, "Service Pack 4"}, "C:\\Winnt", kNt},
      {"winxp", {2, 5, 1, "Service Pack 3"}, "C:\\Windows", kNt},
      {"win2003", {2, 5, 2, "Service Pack 2"}, "C:\\Windows", kNt},
      {"vista", {2, 6, 0, "Service Pack 2"}, "C:\\Windows", kNt},
  };
  return versions;
}

const NamedVersion* FindVersion(const std::string& name) {
  for (const NamedVersion& version : KnownVersions())
    if (EqualNoCase(name, version.name)) return &version;
  return nullptr;
}

}  // namespace qar::sandbox
