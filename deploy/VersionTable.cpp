#include "deploy/VersionTable.h"

#include <iterator>

namespace qar {

const char* const kOsNamePrefix = "Microsoft Windows ";
const char* const kRefusalCaption = "Driver not available";

namespace {

constexpr int kAny = -1;
const char* const kNo9xDriver = "This operating system does not support the modem driver";
const char* const kNoNtDriver = "This operating system does not support the cable modem driver";

// The first row that matches wins. The record is zero-filled before the
// query, so a text shorter than two characters leaves 0 in the csd position
// and matches no letter. Every 9x version of minor 10 falls in one
// row, whatever its letter; platform 1 reaches the NT rows only when no 9x
// row matched.
// clang-format off
constexpr WindowsVersion kVersions[] = {
    // platform  major minor  csd    name        plan     refusal      marker
    {0, 0,       kAny, kAny,  kAny,  "3.1",      nullptr, nullptr,     &kPlanW},
    {1, 1,       4,    0,     'C',   "95 OSR2",  nullptr, kNo9xDriver, &kPlanW},
    {1, 1,       4,    0,     'A',   "95",       nullptr, kNo9xDriver, &kPlanW},
    {1, 1,       4,    0,     'B',   "95 OSR2",  nullptr, kNo9xDriver, &kPlanW},
    {1, 1,       4,    0,     kAny,  "95",       nullptr, kNo9xDriver, &kPlanW},
    {1, 1,       4,    10,    kAny,  "98 SE",    &kPlanW, nullptr,     &kPlanW},
    {1, 1,       4,    90,    kAny,  "ME",       &kPlanW, nullptr,     &kPlanW},
    {1, 2,       3,    kAny,  kAny,  "NT 3.51",  nullptr, kNoNtDriver, &kPlanW},
    {1, 2,       4,    kAny,  kAny,  "NT 4.0",   nullptr, kNoNtDriver, &kPlanW},
    {1, 2,       5,    0,     kAny,  "2000",     &kPlanN, nullptr,     &kPlanN},
    {1, 2,       5,    1,     kAny,  "XP",       &kPlanW, nullptr,     &kPlanW},
    {kAny, kAny, kAny, kAny,  kAny,  "",         nullptr, nullptr,     &kPlanW},  // anything else
};
// clang-format on

bool Matches(const WindowsVersion& row, const OsVersion& v) {
  const int platform = static_cast<int>(v.platformId);
  if (row.platformLow != kAny && (platform < row.platformLow || platform > row.platformHigh))
    return false;
  if (row.major != kAny && static_cast<int>(v.major) != row.major) return false;
  if (row.minor != kAny && static_cast<int>(v.minor) != row.minor) return false;
  if (row.csd != kAny && static_cast<unsigned char>(v.csd[1]) != row.csd) return false;
  return true;
}

}  // namespace

std::string WindowsVersion::Name() const { return kOsNamePrefix + std::string(suffix); }

const WindowsVersion& RecogniseVersion(const OsVersion& version) {
  for (const WindowsVersion& row : kVersions)
    if (Matches(row, version)) return row;
  return kVersions[std::size(kVersions) - 1];
}

const WindowsVersion* RunningVersion(Platform& platform) {
  OsVersion version;
  if (!platform.QueryVersion(version)) return nullptr;
  return &RecogniseVersion(version);
}

std::string InstallMarkerOf(const WindowsVersion* version) {
  return version != nullptr ? PlanMarker(*version->markerPlan) : PlanMarker(kPlanW);
}

std::string GetOSName(Platform& platform) {
  const WindowsVersion* version = RunningVersion(platform);
  return version != nullptr ? version->Name() : std::string();
}

std::string OsNameFor(const OsVersion& version) { return RecogniseVersion(version).Name(); }

}  // namespace qar
