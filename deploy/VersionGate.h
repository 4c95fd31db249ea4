// Which versions get which plan, and which are refused with a box.
#pragma once

#include <string>

#include "deploy/Plans.h"

namespace qar {

struct GateRow {
  const char* osName;
  const Plan* plan;         // deploy this plan, or
  const char* refusalText;  // show this refusal box (caption kRefusalCaption)
};

extern const char* const kRefusalCaption;  // "Driver not available"

// The row for the name (exact comparison), or null for an unrecognised name:
// no box and no deployment.
const GateRow* LookupVersionGate(const std::string& osName);

// The marker the timer watches: that of the row's plan, or of plan W for a
// version that gets no plan.
std::string InstallMarkerFor(const std::string& osName);

}  // namespace qar
