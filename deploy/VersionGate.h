// Which versions get which plan, and which are refused with a box: the plan
// and refusal columns of the version table (probes/OsName.h), by name.
#pragma once

#include <string>

#include "deploy/Plans.h"
#include "probes/OsName.h"

namespace qar {

using GateRow = WindowsVersion;

extern const char* const kRefusalCaption;  // "Driver not available"

// The row for the name (exact comparison) when it deploys a plan or shows a
// refusal box; null for any other name: no box and no deployment.
const GateRow* LookupVersionGate(const std::string& osName);

// The marker the timer watches for the name: that of the row's plan, or of
// plan W for a version that gets no plan.
std::string InstallMarkerFor(const std::string& osName);

}  // namespace qar
