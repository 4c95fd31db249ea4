#include "deploy/VersionGate.h"

namespace qar {

const char* const kRefusalCaption = "Driver not available";

namespace {

const char* const kNo9xDriver = "This operating system does not support the modem driver";
const char* const kNoNtDriver = "This operating system does not support the cable modem driver";

const GateRow kGate[] = {
    {"Microsoft Windows 95", nullptr, kNo9xDriver},      {"Microsoft Windows 95 OSR2", nullptr, kNo9xDriver},
    {"Microsoft Windows 98 SE", &kPlanW, nullptr},       {"Microsoft Windows ME", &kPlanW, nullptr},
    {"Microsoft Windows NT 3.51", nullptr, kNoNtDriver}, {"Microsoft Windows NT 4.0", nullptr, kNoNtDriver},
    {"Microsoft Windows 2000", &kPlanN, nullptr},        {"Microsoft Windows XP", &kPlanW, nullptr},
};

}  // namespace

const GateRow* LookupVersionGate(const std::string& osName) {
  for (const GateRow& row : kGate)
    if (osName == row.osName) return &row;
  return nullptr;
}

std::string InstallMarkerFor(const std::string& osName) {
  const GateRow* row = LookupVersionGate(osName);
  return PlanMarker(row != nullptr && row->plan != nullptr ? *row->plan : kPlanW);
}

}  // namespace qar
