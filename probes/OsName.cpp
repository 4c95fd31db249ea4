#include "probes/OsName.h"

namespace qar {

const char* const kOsNamePrefix = "Microsoft Windows ";

namespace {

// One row of the naming table; the first row that matches wins. A field of
// -1 matches anything; csd is the second service-pack character.
struct NamingRow {
  int platformLow, platformHigh;
  int major, minor;
  int csd;
  const char* suffix;
};

constexpr int kAny = -1;

// The record is zero-filled before the query, so a text shorter than two
// characters leaves 0 in the second position and matches no letter.
constexpr NamingRow kNaming[] = {
    {0, 0, kAny, kAny, kAny, "3.1"}, {1, 1, 4, 0, 'C', "95 OSR2"},     {1, 1, 4, 0, 'A', "95"},
    {1, 1, 4, 0, 'B', "95 OSR2"},    {1, 1, 4, 0, kAny, "95"},         {1, 1, 4, 10, kAny, "98 SE"},
    {1, 1, 4, 90, kAny, "ME"},       {1, 2, 3, kAny, kAny, "NT 3.51"}, {1, 2, 4, kAny, kAny, "NT 4.0"},
    {1, 2, 5, 0, kAny, "2000"},      {1, 2, 5, 1, kAny, "XP"},
};

bool Matches(const NamingRow& row, const OsVersion& v) {
  const int platform = static_cast<int>(v.platformId);
  if (platform < row.platformLow || platform > row.platformHigh) return false;
  if (row.major != kAny && static_cast<int>(v.major) != row.major) return false;
  if (row.minor != kAny && static_cast<int>(v.minor) != row.minor) return false;
  if (row.csd != kAny && static_cast<unsigned char>(v.csd[1]) != row.csd) return false;
  return true;
}

}  // namespace

std::string OsNameFor(const OsVersion& version) {
  std::string name = kOsNamePrefix;
  for (const NamingRow& row : kNaming) {
    if (Matches(row, version)) {
      name += row.suffix;
      break;
    }
  }
  return name;
}

std::string GetOSName(Platform& platform) {
  OsVersion version;
  if (!platform.QueryVersion(version)) return std::string();
  return OsNameFor(version);
}

}  // namespace qar
