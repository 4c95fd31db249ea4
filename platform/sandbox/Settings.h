// The machine's own text files but the registry: the settings (machine.conf)
// as commented key = value lines, and the call log (calls.log).
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

// A current directory as it reads back: a last name ending in a dot or a
// space keeps a trailing backslash, which the path rules do not trim.
std::string CurrentDirectoryText(const WinPath& path);

// Each throws SandboxError naming the file and the line. What the reader
// accepts, the writer writes so that it reads back the same.
Settings ParseSettings(const std::string& text, const std::string& fileName);
std::string FormatSettings(const Settings& settings, const std::string& fileName);

// The call log: a line per ShellOpen or box, tab-separated fields in which
// '%', tab, CR and LF are written %25, %09, %0D and %0A.
std::string EscapeLogField(const std::string& field);
bool UnescapeLogField(const std::string& field, std::string& out);

std::string FormatLogRecord(const std::vector<std::string>& fields);
// Throws SandboxError naming the line of a malformed escape.
std::vector<std::vector<std::string>> ParseLog(const std::string& text,
                                               const std::string& fileName);

}  // namespace qar::sandbox
