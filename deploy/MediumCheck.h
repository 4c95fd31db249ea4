// The medium is checked before the install touches the machine: a CD with a
// driver file missing or burnt empty would otherwise install in part and
// report success.
#pragma once

#include "deploy/Plans.h"
#include "platform/Platform.h"

namespace qar {

// True when every source the plan copies from the medium is a file holding
// something.
bool MediumHoldsDriverFiles(Platform& platform, const DriverSources& sources);

}  // namespace qar
