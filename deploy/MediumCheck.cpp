#include "deploy/MediumCheck.h"

namespace qar {

bool MediumHoldsDriverFiles(Platform& platform, const DriverSources& sources) {
  for (const std::string& source : sources) {
    std::uint64_t size = 0;
    if (!platform.FileSize(source, size) || size == 0) return false;
  }
  return true;
}

}  // namespace qar
