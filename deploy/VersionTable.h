// The Windows versions the wizard tells apart: how each is recognised from
// its version record, what it is called, and what the install and the timer
// do on it.
#pragma once

#include <string>

#include "deploy/Plans.h"
#include "platform/Platform.h"

namespace qar {

extern const char* const kOsNamePrefix;    // "Microsoft Windows "
extern const char* const kRefusalCaption;  // "Driver not available"

// One row of the version table. A recognition field of kAny matches
// anything; csd is the second service-pack character.
struct WindowsVersion {
  int platformLow, platformHigh;
  int major, minor;
  int csd;
  const char* suffix;       // the name after kOsNamePrefix
  const Plan* plan;         // the install deploys this plan, or
  const char* refusalText;  // shows this refusal box, or, both null, does nothing
  const Plan* markerPlan;   // whose marker says the driver is installed

  std::string Name() const;
};

// The row the record falls in: the first that matches. The last row takes
// any record, so there always is one.
const WindowsVersion& RecogniseVersion(const OsVersion& version);

// The running version's row, or null when the query fails. Never cached.
const WindowsVersion* RunningVersion(Platform& platform);

// The marker the timer watches: the row's, or plan W's when the query failed.
std::string InstallMarkerOf(const WindowsVersion* version);

// "Microsoft Windows " and the version's suffix; "" when the query fails.
// Shown in lblOS; never cached.
std::string GetOSName(Platform& platform);

// The naming rule on a version record already read.
std::string OsNameFor(const OsVersion& version);

}  // namespace qar
