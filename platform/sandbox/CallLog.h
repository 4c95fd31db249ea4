// The call log: one line per ShellOpen or MessageBox, fields separated by
// tabs. '%', tab, CR and LF inside a field are written as %25, %09, %0D and
// %0A, so any text survives and every record stays on one line.
#pragma once

#include <string>
#include <vector>

namespace qar::sandbox {

std::string EscapeLogField(const std::string& field);
// False for a '%' not followed by two hex digits.
bool UnescapeLogField(const std::string& field, std::string& out);

// The line for one record, newline included.
std::string FormatLogRecord(const std::vector<std::string>& fields);
// Throws SandboxError "<fileName>:<line>: ..." for a malformed escape.
std::vector<std::vector<std::string>> ParseLog(const std::string& text, const std::string& fileName);

}  // namespace qar::sandbox
