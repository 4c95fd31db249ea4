#include "platform/sandbox/Settings.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/sandbox/SandboxError.h"
#include "platform/sandbox/Versions.h"

namespace qar::sandbox {

namespace {

const char kHeader[] =
    "# Sandbox machine settings: one key = value a line; '#' starts a comment line.\n"
    "# A value in double quotes keeps its spaces; in quotes \\\\ \\\" \\t \\r \\n are escapes.\n"
    "#   version = NAME                 a known version (win98se, winxp, ...), or instead\n"
    "#   platform/major/minor = N       the raw record, with csd = \"service-pack text\"\n"
    "#   version-query-fails = yes|no   the version query reports failure\n"
    "#   code-page = 1252|932|...       the ANSI code page (932: Japanese)\n"
    "#   current-directory = C:\\        current drive and directory\n"
    "#   drive.D = /host/folder         drive D: served from a host folder\n"
    "#   drive.D.read-only = yes|no     its files are read-only, as on a CD\n"
    "#   read-only-key = KEY            HKEY_LOCAL_MACHINE key the user cannot write\n";

std::string Trim(const std::string& text) {
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return std::string();
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// The escapes inside a quoted value, as written and as meant.
const char kEscaped[] = "\\\"trn";
const char kMeant[] = "\\\"\t\r\n";

// A value is quoted where spaces at its ends, a leading quote or a control
// character would not read back as they are.
std::string Quote(const std::string& value) {
  const bool needed =
      !value.empty() &&
      (std::strchr(" \t\"", value.front()) != nullptr || value.back() == ' ' || value.back() == '\t' ||
       std::any_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }));
  if (!needed) return value;
  std::string out = "\"";
  for (char c : value) {
    const char* meant = c != '\0' ? std::strchr(kMeant, c) : nullptr;
    out += meant != nullptr ? std::string{'\\', kEscaped[meant - kMeant]} : std::string(1, c);
  }
  return out + '"';
}

class LineParser {
 public:
  LineParser(const std::string& fileName, std::size_t line) : fileName_(fileName), line_(line) {}

  [[noreturn]] void Fail(const std::string& what) const {
    throw SandboxError(fileName_ + ":" + std::to_string(line_) + ": " + what);
  }

  std::string Value(const std::string& raw) const {
    if (raw.empty() || raw[0] != '"') return raw;
    std::string out;
    for (std::size_t i = 1; i < raw.size(); ++i) {
      if (raw[i] == '"') {
        if (i + 1 != raw.size()) Fail("unexpected text after the closing quote");
        return out;
      }
      if (raw[i] != '\\') {
        out += raw[i];
        continue;
      }
      if (++i == raw.size()) break;
      const char* escaped = raw[i] != '\0' ? std::strchr(kEscaped, raw[i]) : nullptr;
      if (escaped == nullptr) Fail(std::string("unknown escape \\") + raw[i]);
      out += kMeant[escaped - kEscaped];
    }
    Fail("unterminated quoted value");
  }

  bool Flag(const std::string& value) const {
    const std::string folded = Fold(value);
    if (folded == "yes" || folded == "true" || folded == "1") return true;
    if (folded == "no" || folded == "false" || folded == "0") return false;
    Fail("expected yes or no, not '" + value + "'");
  }

  unsigned Number(const std::string& value) const {
    if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
      Fail("expected a number, not '" + value + "'");
    return static_cast<unsigned>(std::stoul(value));
  }

 private:
  const std::string& fileName_;
  std::size_t line_;
};

}  // namespace

std::string RelativeKeyPath(const std::string& path) {
  std::size_t start = !path.empty() && path.front() == '\\' ? 1 : 0;
  std::size_t names = start;
  while (names < path.size() && path[names] == '\\') ++names;
  std::string rest;
  for (std::size_t i = names; i < path.size(); ++i)
    if (path[i] != '\\' || rest.back() != '\\') rest += path[i];
  if (!rest.empty() && rest.back() == '\\') rest.pop_back();
  return path.substr(start, names - start) + rest;
}

std::string CurrentDirectoryText(const WinPath& path) {
  std::string text = path.ToString();
  if (!path.parts.empty() && (text.back() == '.' || text.back() == ' ')) text += '\\';
  return text;
}

Settings ParseSettings(const std::string& text, const std::string& fileName) {
  Settings settings;
  bool named = false, rawGiven[3] = {false, false, false};
  std::string csd;
  bool csdGiven = false;
  std::set<std::string> seen;
  std::string currentDirectory;
  std::size_t currentDirectoryLine = 0;
  std::size_t lineNumber = 0, start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;

    LineParser parser(fileName, lineNumber);
    const std::size_t equals = trimmed.find('=');
    if (equals == std::string::npos) parser.Fail("expected key = value");
    const std::string key = Fold(Trim(trimmed.substr(0, equals)));
    const std::string value = parser.Value(Trim(trimmed.substr(equals + 1)));
    if (key != "read-only-key" && !seen.insert(key).second) parser.Fail("'" + key + "' given twice");

    if (key == "version") {
      const NamedVersion* known = FindVersion(value);
      if (known == nullptr) parser.Fail("unknown version '" + value + "'");
      settings.versionName = known->name;
      settings.version = known->version;
      named = true;
    } else if (key == "platform" || key == "major" || key == "minor") {
      const unsigned number = parser.Number(value);
      const int field = key == "platform" ? 0 : key == "major" ? 1 : 2;
      rawGiven[field] = true;
      (field == 0   ? settings.version.platformId
       : field == 1 ? settings.version.major
                    : settings.version.minor) = number;
    } else if (key == "csd") {
      if (value.size() >= sizeof settings.version.csd) parser.Fail("csd is longer than 127 characters");
      csd = value;
      csdGiven = true;
    } else if (key == "version-query-fails") {
      settings.versionQueryFails = parser.Flag(value);
    } else if (key == "code-page") {
      settings.codePage = parser.Number(value);
      if (!IsKnownCodePage(settings.codePage)) parser.Fail("unknown code page " + value);
    } else if (key == "current-directory") {
      // Read by the code page, which may come later.
      currentDirectory = value;
      currentDirectoryLine = lineNumber;
    } else if (key == "read-only-key") {
      const std::string path = RelativeKeyPath(value);
      if (path.empty()) parser.Fail("read-only-key needs a key path");
      settings.readOnlyKeys.push_back(path);
    } else if (key.size() >= 7 && key.compare(0, 6, "drive.") == 0 && key[6] >= 'a' && key[6] <= 'z' &&
               (key.size() == 7 || key.compare(7, std::string::npos, ".read-only") == 0)) {
      const char letter = static_cast<char>(key[6] - 'a' + 'A');
      if (key.size() == 7) {
        if (value.empty() || value[0] != '/')
          parser.Fail("drive." + std::string(1, letter) + " needs an absolute host folder");
        settings.drives[letter].hostFolder = value;
      } else {
        settings.drives[letter].readOnly = parser.Flag(value);
      }
    } else {
      parser.Fail("unknown key '" + key + "'");
    }
  }
  if (currentDirectoryLine != 0) {
    WinPath path;
    const std::string& value = currentDirectory;
    if (value.size() < 3 || value[1] != ':' || (value[2] != '\\' && value[2] != '/') ||
        !ResolveWinPath(value, WinPath{}, path, settings.codePage))
      LineParser(fileName, currentDirectoryLine).Fail("current-directory must be a full path such as C:\\");
    settings.currentDirectory = CurrentDirectoryText(path);
  }
  // The raw numbers override a named version field by field.
  const bool raw = rawGiven[0] || rawGiven[1] || rawGiven[2] || csdGiven;
  if (!named && !(rawGiven[0] && rawGiven[1] && rawGiven[2]))
    throw SandboxError(fileName + ": no version: give version = NAME or platform, major and minor");
  if (csdGiven || !named) settings.version.SetCsd(csd);
  if (raw) settings.versionName.clear();
  for (const auto& [letter, drive] : settings.drives)
    if (drive.hostFolder.empty())
      throw SandboxError(fileName + ": drive." + std::string(1, letter) + ".read-only without drive." +
                         std::string(1, letter));
  return settings;
}

std::string FormatSettings(const Settings& settings) {
  std::string out = kHeader;
  out += '\n';
  if (!settings.versionName.empty()) {
    out += "version = " + settings.versionName + '\n';
  } else {
    out += "platform = " + std::to_string(settings.version.platformId) + '\n';
    out += "major = " + std::to_string(settings.version.major) + '\n';
    out += "minor = " + std::to_string(settings.version.minor) + '\n';
    out += "csd = " + (settings.version.Csd().empty() ? std::string("\"\"") : Quote(settings.version.Csd())) +
           '\n';
  }
  out += std::string("version-query-fails = ") + (settings.versionQueryFails ? "yes" : "no") + '\n';
  if (settings.codePage != 1252) out += "code-page = " + std::to_string(settings.codePage) + '\n';
  out += "current-directory = " + Quote(settings.currentDirectory) + '\n';
  for (const auto& [letter, drive] : settings.drives) {
    const std::string prefix = std::string("drive.") + letter;
    out += prefix + " = " + Quote(drive.hostFolder) + '\n';
    out += prefix + ".read-only = " + (drive.readOnly ? "yes" : "no") + '\n';
  }
  // A key that starts with an empty name gets the root's backslash before
  // it, which reading takes away again.
  for (const std::string& key : settings.readOnlyKeys)
    out += "read-only-key = " + Quote(key.front() == '\\' ? '\\' + key : key) + '\n';
  return out;
}

}  // namespace qar::sandbox
