// The deployment tables: the two plans, the driver files with their sources,
// the destination folders, and the removal list.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qar {

struct Plan {
  char id;                      // 'W' or 'N'
  const char* systemRoot;       // "C:\Windows"
  const char* preflightFolder;  // must exist (or be creatable) before copying
  const char* setupSourcePath;  // written as the Windows setup source
};

extern const Plan kPlanW;
extern const Plan kPlanN;

struct DriverFile {
  const char* installedName;
  const char* mediumSource;  // relative to the media directory
};

constexpr std::size_t kDriverFileCount = 8;
constexpr std::size_t kDestinationCount = 6;

// In the table's copy order. The last row is the install-state marker; it is
// copied from usb8023m.sys, not from the medium's usb8023w.sys.
extern const std::array<DriverFile, kDriverFileCount> kDriverFiles;
// Below the system root, in copy order.
extern const std::array<const char*, kDestinationCount> kDestinationFolders;

// The eight source paths on the medium, in driver-file order.
using DriverSources = std::array<std::string, kDriverFileCount>;
DriverSources BuildDriverSources(Platform& platform, const std::string& mediaDir);

// The 48 (source, target) copies of one plan, file-major, as the table
// lists them; the install runs the marker's copy (the 43rd) last.
struct Copy {
  std::string source;
  std::string target;
};
std::vector<Copy> PlanCopies(const Plan& plan, const DriverSources& sources);

// R\usb8023w.sys of the plan.
std::string PlanMarker(const Plan& plan);
// R\usb8023w.new: the marker's copy is made under this name and renamed
// into place only when it is whole.
std::string PlanMarkerTemporary(const Plan& plan);

// The 80 paths removal deletes, in order: both roots, whatever the version.
const std::vector<std::string>& RemovalList();

}  // namespace qar
