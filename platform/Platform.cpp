#include "platform/Platform.h"

#include <cstring>

namespace qar {

void OsVersion::SetCsd(const std::string& text) {
  std::memset(csd, 0, sizeof csd);
  std::memcpy(csd, text.data(), text.size() < sizeof csd ? text.size() : sizeof csd - 1);
}

std::string OsVersion::Csd() const { return std::string(csd, strnlen(csd, sizeof csd)); }

void WriteString(RegistryKey* key, const std::string& name, const std::string& data) {
  if (key == nullptr || !key->SetString(name, data))
    throw Error("Failed to set data for '" + name + "'");
}

}  // namespace qar
