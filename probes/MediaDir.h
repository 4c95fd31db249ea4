#pragma once

#include <string>

#include "platform/Platform.h"

namespace qar {

// The current drive and directory, e.g. "D:\" at the root or "D:\setup" in a
// subfolder. Asked afresh on every call.
std::string GetMediaDir(Platform& platform);

// The last n characters of text (the whole text when shorter). Characters,
// not bytes: in a double-byte code page a lead byte and the byte after it
// are one character, so the trail byte of 表 (0x95 0x5C in code page 932)
// is never taken for a backslash.
std::string RightChars(Platform& platform, const std::string& text, std::size_t n);

// dir + relative with one backslash between them unless dir ends in one.
std::string MediaPath(Platform& platform, const std::string& dir, const std::string& relative);

}  // namespace qar
