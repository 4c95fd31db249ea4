#include "deploy/Plans.h"

#include "probes/MediaDir.h"

namespace qar {

// clang-format off
const Plan kPlanW = {'W', "C:\\Windows", "c:\\Windows\\System32\\Drivers\\Windows", "C:\\Windows\\System\\"};
const Plan kPlanN = {'N', "C:\\Winnt",   "c:\\Winnt\\System32\\Drivers\\Windows",   "C:\\Winnt\\System32\\Drivers\\"};
// clang-format on

const std::array<DriverFile, kDriverFileCount> kDriverFiles = {{
    {"QAR.CAT", "Driver\\QAR.CAT"},
    {"QAR.inf", "Driver\\QAR.inf"},
    {"rndismpk.sys", "Driver\\rndismpk.sys"},
    {"rndismpm.sys", "Driver\\rndismpm.sys"},
    {"rndismpw.sys", "Driver\\rndismpw.sys"},
    {"usb8023k.sys", "Driver\\usb8023k.sys"},
    {"usb8023m.sys", "Driver\\usb8023m.sys"},
    {"usb8023w.sys", "Driver\\usb8023m.sys"},
}};

const std::array<const char*, kDestinationCount> kDestinationFolders = {{
    "\\",
    "\\System\\",
    "\\System32\\",
    "\\System32\\drivers\\",
    "\\inf\\",
    "\\System32\\Drivers\\Windows\\",
}};

namespace {

const char* const kRemovalRoots[] = {"C:\\Windows", "C:\\Winnt"};
const char* const kRemovalFiles[] = {"usb8023w.sys", "usb8023m.sys", "usb8023k.sys", "rndismpk.sys",
                                     "rndismpm.sys", "rndismpw.sys", "qar.cat",      "qar.inf"};
// The preflight folder is not among them: its copies stay after removal.
const char* const kRemovalFolders[] = {"\\", "\\system\\", "\\system32\\", "\\inf\\",
                                       "\\system32\\drivers\\"};

const char* const kMarkerName = "\\usb8023w.sys";
const char* const kMarkerTemporaryName = "\\usb8023w.new";

}  // namespace

DriverSources BuildDriverSources(Platform& platform, const std::string& mediaDir) {
  DriverSources sources;
  for (std::size_t i = 0; i < kDriverFileCount; ++i)
    sources[i] = MediaPath(platform, mediaDir, kDriverFiles[i].mediumSource);
  return sources;
}

std::vector<Copy> PlanCopies(const Plan& plan, const DriverSources& sources) {
  std::vector<Copy> copies;
  copies.reserve(kDriverFileCount * kDestinationCount);
  for (std::size_t file = 0; file < kDriverFileCount; ++file)
    for (const char* folder : kDestinationFolders)
      copies.push_back({sources[file],
                        std::string(plan.systemRoot) + folder + kDriverFiles[file].installedName});
  return copies;
}

std::string PlanMarker(const Plan& plan) { return std::string(plan.systemRoot) + kMarkerName; }
std::string PlanMarkerTemporary(const Plan& plan) {
  return std::string(plan.systemRoot) + kMarkerTemporaryName;
}

const std::vector<std::string>& RemovalList() {
  static const std::vector<std::string> list = [] {
    std::vector<std::string> paths;
    for (const char* root : kRemovalRoots)
      for (const char* file : kRemovalFiles)
        for (const char* folder : kRemovalFolders)
          paths.push_back(std::string(root) + folder + file);
    return paths;
  }();
  return list;
}

}  // namespace qar
