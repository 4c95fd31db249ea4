// The machine's own text files but the registry: the settings file
// (machine.conf), what the simulated Windows reports about itself, its
// current directory, its mapped drives and the registry keys its user may
// not write, as commented key = value lines; and the call log (calls.log).
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

// A key path below HKEY_LOCAL_MACHINE as the registry takes it:
// "\SOFTWARE\x" and "SOFTWARE\\x\" are "SOFTWARE\x"; "" is the root key.
// Backslashes after the first leading one stay: they make an empty name.
std::string RelativeKeyPath(const std::string& path);

// The text of a current directory that reads back as the same path: a last
// name ending in a dot or a space keeps a trailing backslash, which stops
// the path rules from trimming it.
std::string CurrentDirectoryText(const WinPath& path);

// Throws SandboxError "<fileName>:<line>: <what is wrong>".
// Whatever it accepts, FormatSettings writes back so that it reads the same.
Settings ParseSettings(const std::string& text, const std::string& fileName);
std::string FormatSettings(const Settings& settings);

// The call log: one line per ShellOpen or MessageBox, fields separated by
// tabs. '%', tab, CR and LF inside a field are written as %25, %09, %0D and
// %0A, so any text survives and every record stays on one line.
std::string EscapeLogField(const std::string& field);
// False for a '%' not followed by two hex digits.
bool UnescapeLogField(const std::string& field, std::string& out);

// The line for one record, newline included.
std::string FormatLogRecord(const std::vector<std::string>& fields);
// Throws SandboxError "<fileName>:<line>: ..." for a malformed escape.
std::vector<std::vector<std::string>> ParseLog(const std::string& text, const std::string& fileName);

}  // namespace qar::sandbox
