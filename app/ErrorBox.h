#pragma once

#include <string>

#include "app/Host.h"

namespace qar {

// The text the error box shows: a full stop is appended unless the message is
// empty or its last byte (unsigned) is 0x2E or below.
std::string ErrorBoxText(const std::string& message);

// Error icon, the application title as caption, OK.
void ShowErrorBox(FormHost& host, const std::string& message);

}  // namespace qar
