// A file copied from one drive entry to another, as CopyFileA copies it.
#pragma once

#include "platform/Platform.h"
#include "platform/sandbox/DriveTree.h"
#include "platform/sandbox/Faults.h"

namespace qar::sandbox {

// Straight onto the target, keeping the last-write time. A copy that fails
// removes its target; a killed one leaves it.
CopyResult CopyDriveFile(const DriveEntry& from, const DriveEntry& to, CopyFaults& faults);

}  // namespace qar::sandbox
