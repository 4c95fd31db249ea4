#pragma once

#include <string>

#include "platform/Platform.h"

namespace qar {

// The current drive and directory, e.g. "D:\" at the root or "D:\setup" in a
// subfolder. Asked afresh on every call.
std::string GetMediaDir(Platform& platform);

// The last n characters of text (the whole text when shorter).
std::string RightChars(const std::string& text, std::size_t n);

// dir + relative with one backslash between them unless dir ends in one.
std::string MediaPath(const std::string& dir, const std::string& relative);

}  // namespace qar
