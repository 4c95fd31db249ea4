#include "deploy/VersionGate.h"

namespace qar {

const char* const kRefusalCaption = "Driver not available";

const GateRow* LookupVersionGate(const std::string& osName) {
  const WindowsVersion* row = FindVersionNamed(osName);
  return row != nullptr && (row->plan != nullptr || row->refusalText != nullptr) ? row : nullptr;
}

std::string InstallMarkerFor(const std::string& osName) {
  const WindowsVersion* row = FindVersionNamed(osName);
  return row != nullptr ? row->Marker() : PlanMarker(kPlanW);
}

}  // namespace qar
