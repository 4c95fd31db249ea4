// The machine's own text files but the registry: the settings (machine.conf)
// as commented key = value lines, and the call log (calls.log).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

// The lines of a machine file, one at a time, each ended by LF or CR LF.
class Lines {
 public:
  Lines(const std::string& text, const std::string& fileName) : text_(text), fileName_(fileName) {}
  bool Next(std::string& line);                       // false past the last line
  bool AtEnd() const { return pos_ > text_.size(); }  // the last line was read
  std::size_t Number() const { return number_; }
  // Throws SandboxError "<fileName>:<line>: what".
  [[noreturn]] void Fail(const std::string& what, std::size_t line = 0) const;
  // The "quoted" text at line[pos], with \\ and \" escapes; pos ends after it.
  std::string Quoted(const std::string& line, std::size_t& pos) const;

 private:
  const std::string& text_;
  std::string fileName_;
  std::size_t pos_ = 0, number_ = 0;
};

// `text` in double quotes, \\ and \" escaped, as Lines::Quoted reads it.
std::string QuoteString(const std::string& text);

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

// A current directory as it reads back: a last name ending in a dot or a
// space keeps a trailing backslash, which the path rules do not trim.
std::string CurrentDirectoryText(const WinPath& path);

// Throws SandboxError naming the line. What it accepts reads back the same.
Settings ParseSettings(const std::string& text, const std::string& fileName);
std::string FormatSettings(const Settings& settings);

// The call log: a line per ShellOpen or box, tab-separated fields in which
// '%', tab, CR and LF are written %25, %09, %0D and %0A.
std::string EscapeLogField(const std::string& field);
bool UnescapeLogField(const std::string& field, std::string& out);

std::string FormatLogRecord(const std::vector<std::string>& fields);
// Throws SandboxError naming the line of a malformed escape.
std::vector<std::vector<std::string>> ParseLog(const std::string& text,
                                               const std::string& fileName);

}  // namespace qar::sandbox
