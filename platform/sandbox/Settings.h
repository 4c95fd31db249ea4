// The settings (machine.conf, key = value lines) and the call log.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

struct DriveMapping {
  std::string hostFolder;  // absolute
  bool readOnly = false;
};

struct Settings {
  std::string versionName;  // a known name, or "" when given as raw numbers
  OsVersion version;
  bool versionQueryFails = false;
  unsigned codePage = 1252;  // the ANSI code page (IsKnownCodePage)
  std::string currentDirectory = "C:\\";
  std::map<char, DriveMapping> drives;
  std::vector<std::string> readOnlyKeys;  // as RelativeKeyPath gives them
};

// A last name ending in a dot or a space keeps a trailing backslash.
std::string CurrentDirectoryText(const WinPath& path);

// What the reader accepts, the writer writes; both throw SandboxError naming
// the line.
Settings ParseSettings(const std::string& text, const std::string& fileName);
std::string FormatSettings(const Settings& settings, const std::string& fileName);

// A line per ShellOpen or box: fields, tab-separated, with '%', tab, CR and
// LF written %25, %09, %0D and %0A.
std::string EscapeLogField(const std::string& field);
bool UnescapeLogField(const std::string& field, std::string& out);

std::string FormatLogRecord(const std::vector<std::string>& fields);
std::vector<std::vector<std::string>> ParseLog(const std::string& text,
                                               const std::string& fileName);

}  // namespace qar::sandbox
