#include "platform/sandbox/Settings.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

#include "platform/sandbox/Files.h"
#include "platform/sandbox/Registry.h"
#include "platform/sandbox/Versions.h"

namespace qar::sandbox {

namespace {

const char kHeader[] =
    "# Sandbox machine settings, one key = value a line (platform/sandbox/README.md):\n"
    "# version (or platform, major, minor and csd), version-query-fails, code-page,\n"
    "# current-directory, drive.X, drive.X.read-only, read-only-key.\n";

std::string Trim(const std::string& text) {
  const std::size_t start = std::min(text.find_first_not_of(" \t"), text.size());
  return text.substr(start, text.find_last_not_of(" \t") + 1 - start);
}

// Quoted where spaces at its ends or a leading quote would not read back;
// a line break cannot be written at all.
std::string Quote(const std::string& value) {
  if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw SandboxError("a setting cannot hold a line break: " + value);
  const bool plain = value.empty() || (std::strchr(" \t\"", value.front()) == nullptr &&
                                       value.back() != ' ' && value.back() != '\t');
  return plain ? value : QuoteString(value);
}

}  // namespace

std::string CurrentDirectoryText(const WinPath& path) {
  const std::string text = path.ToString();
  return text + (!path.parts.empty() && (text.back() == '.' || text.back() == ' ') ? "\\" : "");
}

Settings ParseSettings(const std::string& contents, const std::string& fileName) {
  Settings settings;
  OsVersion& version = settings.version;
  const NamedVersion* named = nullptr;
  std::map<std::string, unsigned> raw;  // the numbers given, by key
  std::string csd, currentDirectory, line;
  std::size_t currentDirectoryLine = 0;
  std::set<std::string> seen;
  const std::map<std::string, unsigned OsVersion::*> fields = {{"platform", &OsVersion::platformId},
                                                               {"major", &OsVersion::major},
                                                               {"minor", &OsVersion::minor}};
  Lines lines(contents, fileName);
  const auto flag = [&](const std::string& value) {
    const std::string folded = Fold(value);
    const bool yes = folded == "yes" || folded == "true" || folded == "1";
    if (!yes && folded != "no" && folded != "false" && folded != "0")
      lines.Fail("expected yes or no, not '" + value + "'");
    return yes;
  };
  const auto number = [&](const std::string& value) {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos)
      lines.Fail("expected a number, not '" + value + "'");
    return static_cast<unsigned>(std::stoul(value));
  };
  while (lines.Next(line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) lines.Fail("expected key = value");
    const std::string key = Fold(Trim(line.substr(0, equals)));
    const std::string text = Trim(line.substr(equals + 1));
    std::size_t end = 0;
    const std::string value = !text.empty() && text[0] == '"' ? lines.Quoted(text, end) : text;
    if (end != 0 && end != text.size()) lines.Fail("unexpected text after the closing quote");
    if (key != "read-only-key" && !seen.insert(key).second) lines.Fail("'" + key + "' given twice");
    const bool drive = key.size() >= 7 && key.compare(0, 6, "drive.") == 0 && key[6] >= 'a' &&
                       key[6] <= 'z' && (key.size() == 7 || key.substr(7) == ".read-only");
    const char letter = drive ? static_cast<char>(key[6] - 'a' + 'A') : 0;
    if (key == "version") {
      if ((named = FindVersion(value)) == nullptr) lines.Fail("unknown version '" + value + "'");
    } else if (fields.count(key) != 0) {
      raw[key] = number(value);
    } else if (key == "csd") {
      if (value.size() >= sizeof version.csd) lines.Fail("csd is longer than 127 characters");
      csd = value;
    } else if (key == "version-query-fails") {
      settings.versionQueryFails = flag(value);
    } else if (key == "code-page") {
      settings.codePage = number(value);
      if (!IsKnownCodePage(settings.codePage)) lines.Fail("unknown code page " + value);
    } else if (key == "current-directory") {
      currentDirectory = value;  // read by the code page, which may come later
      currentDirectoryLine = lines.Number();
    } else if (key == "read-only-key") {
      settings.readOnlyKeys.push_back(RelativeKeyPath(value));
      if (settings.readOnlyKeys.back().empty()) lines.Fail("read-only-key needs a key path");
    } else if (drive && key.size() > 7) {
      settings.drives[letter].readOnly = flag(value);
    } else if (drive) {
      if (value.empty() || value[0] != '/')
        lines.Fail("drive." + std::string(1, letter) + " needs an absolute host folder");
      settings.drives[letter].hostFolder = value;
    } else {
      lines.Fail("unknown key '" + key + "'");
    }
  }
  if (currentDirectoryLine != 0) {
    WinPath path;
    const std::string& value = currentDirectory;  // read in the file's code page
    if (value.size() < 3 || value[1] != ':' || (value[2] != '\\' && value[2] != '/') ||
        !ResolveWinPath(value, WinPath{}, path, settings.codePage))
      lines.Fail("current-directory must be a full path such as C:\\", currentDirectoryLine);
    settings.currentDirectory = CurrentDirectoryText(path);
  }
  // The raw fields override a named version one by one, wherever they stand.
  const bool csdGiven = seen.count("csd") != 0;
  if (named == nullptr && raw.size() < fields.size())
    throw SandboxError(fileName + ": no version: give version = NAME or platform, major and minor");
  if (named != nullptr) version = named->version;
  for (const auto& [key, value] : raw) version.*fields.at(key) = value;
  if (csdGiven || named == nullptr) version.SetCsd(csd);
  if (named != nullptr && raw.empty() && !csdGiven) settings.versionName = named->name;
  for (const auto& [letter, drive] : settings.drives)
    if (drive.hostFolder.empty())
      throw SandboxError(fileName + ": drive." + std::string(1, letter) +
                         ".read-only without drive." + std::string(1, letter));
  return settings;
}

std::string FormatSettings(const Settings& settings) {
  std::ostringstream out;
  out << kHeader << '\n';
  const OsVersion& v = settings.version;
  if (!settings.versionName.empty())
    out << "version = " << settings.versionName << '\n';
  else
    out << "platform = " << v.platformId << "\nmajor = " << v.major << "\nminor = " << v.minor
        << "\ncsd = " << (v.Csd().empty() ? std::string("\"\"") : Quote(v.Csd())) << '\n';
  out << "version-query-fails = " << (settings.versionQueryFails ? "yes" : "no") << '\n';
  if (settings.codePage != 1252) out << "code-page = " << settings.codePage << '\n';
  out << "current-directory = " << Quote(settings.currentDirectory) << '\n';
  for (const auto& [letter, drive] : settings.drives)
    out << "drive." << letter << " = " << Quote(drive.hostFolder) << "\ndrive." << letter
        << ".read-only = " << (drive.readOnly ? "yes" : "no") << '\n';
  // A key that starts with an empty name gets the root's backslash before
  // it, which reading takes away again.
  for (const std::string& key : settings.readOnlyKeys)
    out << "read-only-key = " << Quote(key.front() == '\\' ? '\\' + key : key) << '\n';
  return out.str();
}

std::string EscapeLogField(const std::string& field) {
  std::string out;
  for (char c : field) {
    const char* code = c == '%'    ? "%25"
                       : c == '\t' ? "%09"
                       : c == '\r' ? "%0D"
                       : c == '\n' ? "%0A"
                                   : nullptr;
    code != nullptr ? out.append(code) : out.append(1, c);
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
  for (std::size_t i = 0; i < fields.size(); ++i)
    line += (i > 0 ? "\t" : "") + EscapeLogField(fields[i]);
  return line + '\n';
}

std::vector<std::vector<std::string>> ParseLog(const std::string& text,
                                               const std::string& fileName) {
  std::vector<std::vector<std::string>> records;
  Lines lines(text, fileName);
  // A last line cut short still counts; what follows the last LF is no line.
  for (std::string line; lines.Next(line) && !(line.empty() && lines.AtEnd());) {
    std::vector<std::string>& fields = records.emplace_back();
    for (std::size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
      tab = line.find('\t', start);
      if (!UnescapeLogField(line.substr(start, tab - start), fields.emplace_back()))
        lines.Fail("malformed %-escape");
    }
  }
  return records;
}

}  // namespace qar::sandbox
