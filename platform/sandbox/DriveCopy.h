// A file copied from one drive entry to another, as CopyFileA copies it.
#pragma once

#include "platform/Platform.h"
#include "platform/sandbox/DriveTree.h"

namespace qar::sandbox {

// What the machine's fault injection does to one copy; -1: nothing.
struct CopyFaults {
  long long readable = -1;        // bytes of the source that can be read
  long long* diskLeft = nullptr;  // bytes the disk takes yet, counted down
  long long stopAt = -1;          // bytes written after which the process is killed
};

// Straight onto the target, keeping the last-write time. A copy that fails
// removes its target; a killed one leaves it.
CopyResult CopyDriveFile(const DriveEntry& from, const DriveEntry& to, const CopyFaults& faults);

}  // namespace qar::sandbox
