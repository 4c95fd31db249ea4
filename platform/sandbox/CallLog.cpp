#include "platform/sandbox/CallLog.h"

#include "platform/sandbox/SandboxError.h"

namespace qar::sandbox {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string EscapeLogField(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    switch (c) {
      case '%':
        out += "%25";
        break;
      case '\t':
        out += "%09";
        break;
      case '\r':
        out += "%0D";
        break;
      case '\n':
        out += "%0A";
        break;
      default:
        out += c;
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
    if (i + 2 >= field.size()) return false;
    const int high = HexValue(field[i + 1]), low = HexValue(field[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

std::string FormatLogRecord(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    line += EscapeLogField(fields[i]);
  }
  return line + '\n';
}

std::vector<std::vector<std::string>> ParseLog(const std::string& text, const std::string& fileName) {
  std::vector<std::vector<std::string>> records;
  std::size_t start = 0, lineNumber = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();  // a last line cut short still counts
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    std::vector<std::string> fields;
    std::size_t fieldStart = 0;
    for (;;) {
      std::size_t tab = line.find('\t', fieldStart);
      if (tab == std::string::npos) tab = line.size();
      std::string field;
      if (!UnescapeLogField(line.substr(fieldStart, tab - fieldStart), field))
        throw SandboxError(fileName + ":" + std::to_string(lineNumber) + ": malformed %-escape");
      fields.push_back(field);
      if (tab == line.size()) break;
      fieldStart = tab + 1;
    }
    records.push_back(fields);
  }
  return records;
}

}  // namespace qar::sandbox
