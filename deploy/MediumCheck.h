// The medium is checked before the install touches the machine: a CD with a
// driver file missing or burnt empty ends the install with nothing written,
// rather than with a failed copy after others were made.
#pragma once

#include "deploy/Plans.h"
#include "platform/Platform.h"

namespace qar {

// True when every source the plan copies from the medium is a file holding
// something.
bool MediumHoldsDriverFiles(Platform& platform, const DriverSources& sources);

}  // namespace qar
