#include "platform/sandbox/CallLog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/sandbox/SandboxError.h"

namespace qar::sandbox {

std::string EscapeLogField(const std::string& field) {
  std::string out;
  for (char c : field) {
    if (std::strchr("%\t\r\n", c) == nullptr || c == '\0') {
      out += c;
    } else {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
      out += code;
    }
  }
  return out;
}

bool UnescapeLogField(const std::string& field, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      out += field[i];
      continue;
    }
    const std::string code = field.substr(i + 1, 2);
    if (code.size() != 2 || code.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return false;
    out += static_cast<char>(std::stoi(code, nullptr, 16));
    i += 2;
  }
  return true;
}

std::string FormatLogRecord(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) line += (i > 0 ? "\t" : "") + EscapeLogField(fields[i]);
  return line + '\n';
}

std::vector<std::vector<std::string>> ParseLog(const std::string& text, const std::string& fileName) {
  std::vector<std::vector<std::string>> records;
  std::size_t lineNumber = 0;
  // A last line cut short still counts.
  for (std::size_t start = 0; start < text.size(); ++lineNumber) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::vector<std::string> fields;
    for (std::size_t field = start;;) {
      const std::size_t tab = std::min(text.find('\t', field), end);
      if (!UnescapeLogField(text.substr(field, tab - field), fields.emplace_back()))
        throw SandboxError(fileName + ":" + std::to_string(lineNumber + 1) + ": malformed %-escape");
      if (tab == end) break;
      field = tab + 1;
    }
    records.push_back(std::move(fields));
    start = end + 1;
  }
  return records;
}

}  // namespace qar::sandbox
