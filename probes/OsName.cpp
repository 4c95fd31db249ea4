#include "probes/OsName.h"

#include "deploy/VersionTable.h"

namespace qar {

std::string GetOSName(Platform& platform) {
  const WindowsVersion* version = RunningVersion(platform);
  return version != nullptr ? version->Name() : std::string();
}

std::string OsNameFor(const OsVersion& version) { return RecogniseVersion(version).Name(); }

}  // namespace qar
