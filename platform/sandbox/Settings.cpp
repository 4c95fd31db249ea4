#include "platform/sandbox/Settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/sandbox/Files.h"
#include "platform/sandbox/Registry.h"
#include "platform/sandbox/Versions.h"

namespace qar::sandbox {

namespace {

const char kHeader[] =
    "# Sandbox machine settings, one key = value a line: platform/sandbox/README.md\n\n";

std::string Trim(const std::string& text) {
  const std::size_t start = std::min(text.find_first_not_of(" \t"), text.size());
  return text.substr(start, text.find_last_not_of(" \t") + 1 - start);
}

// Quoted where spaces at its ends or a leading quote would not read back.
std::string Quote(const std::string& value) {
  if (value.empty()) return value;
  const bool plain =
      std::strchr(" \t\"", value.front()) == nullptr && value.back() != ' ' && value.back() != '\t';
  return plain ? value : QuoteString(value);
}

std::string YesNo(bool yes) { return yes ? "yes" : "no"; }

// The settings read so far; the version and current directory, from keys
// in any order, are settled at the end.
struct Reading {
  explicit Reading(const Lines& file) : lines(file) {}

  const Lines& lines;
  std::string key;  // the key being read, folded
  std::string value;
  Settings settings;
  const NamedVersion* named = nullptr;
  std::map<std::string, unsigned> raw;  // platform, major and minor as given
  std::string csd;
  std::string currentDirectory;
  std::size_t currentDirectoryLine = 0;
  std::map<char, std::size_t> readOnlyDriveLines;

  char Letter() const { return static_cast<char>(key[6] - 'a' + 'A'); }

  bool Flag() const {
    const std::string folded = Fold(value);
    const bool yes = folded == "yes" || folded == "true" || folded == "1";
    if (!yes && folded != "no" && folded != "false" && folded != "0")
      lines.Fail("expected yes or no, not '" + value + "'");
    return yes;
  }

  unsigned Number() const {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos)
      lines.Fail("expected a number, not '" + value + "'");
    return static_cast<unsigned>(std::stoul(value));
  }
};

void ReadRaw(Reading& r) { r.raw[r.key] = r.Number(); }

// In "drive.X" the X, which no folded key holds, stands for a letter.
const struct {
  const char* name;
  void (*read)(Reading& r);
} kKeys[] = {
    {"version",
     [](Reading& r) {
       r.named = FindVersion(r.value);
       if (r.named == nullptr) r.lines.Fail("unknown version '" + r.value + "'");
     }},
    {"platform", ReadRaw},
    {"major", ReadRaw},
    {"minor", ReadRaw},
    {"csd",
     [](Reading& r) {
       if (r.value.size() >= sizeof r.settings.version.csd)
         r.lines.Fail("csd is longer than 127 characters");
       r.csd = r.value;
     }},
    {"version-query-fails", [](Reading& r) { r.settings.versionQueryFails = r.Flag(); }},
    {"code-page",
     [](Reading& r) {
       r.settings.codePage = r.Number();
       if (!IsKnownCodePage(r.settings.codePage)) r.lines.Fail("unknown code page " + r.value);
     }},
    {"current-directory",
     [](Reading& r) {
       // Read at the end, by the code page, which may come later.
       r.currentDirectory = r.value;
       r.currentDirectoryLine = r.lines.Number();
     }},
    {"read-only-key",
     [](Reading& r) {
       r.settings.readOnlyKeys.push_back(RelativeKeyPath(r.value));
       if (r.settings.readOnlyKeys.back().empty()) r.lines.Fail("read-only-key needs a key path");
     }},
    {"drive.X",
     [](Reading& r) {
       if (r.value.empty() || r.value[0] != '/')
         r.lines.Fail("drive." + std::string(1, r.Letter()) + " needs an absolute host folder");
       r.settings.drives[r.Letter()].hostFolder = r.value;
     }},
    {"drive.X.read-only",
     [](Reading& r) {
       r.settings.drives[r.Letter()].readOnly = r.Flag();
       r.readOnlyDriveLines[r.Letter()] = r.lines.Number();
     }},
};

// "drive.e.read-only" is the table's "drive.X.read-only".
std::string TableName(std::string key) {
  const bool drive = key.compare(0, 6, "drive.") == 0 && key.size() >= 7;
  if (drive && key[6] >= 'a' && key[6] <= 'z') key[6] = 'X';
  return key;
}

void SettleVersion(Reading& r) {
  OsVersion& version = r.settings.version;
  if (r.named == nullptr && r.raw.size() < 3)
    r.lines.Fail("no version: give version = NAME or platform, major and minor");
  if (r.named != nullptr) version = r.named->version;
  const auto given = [&](const char* key, unsigned& field) {
    if (r.raw.count(key) != 0) field = r.raw[key];
  };
  given("platform", version.platformId);
  given("major", version.major);
  given("minor", version.minor);
}

void SettleCurrentDirectory(Reading& r) {
  const std::string& value = r.currentDirectory;
  WinPath path;
  const bool full = value.size() >= 3 && value[1] == ':' && (value[2] == '\\' || value[2] == '/');
  if (!full || !ResolveWinPath(value, WinPath{}, path, r.settings.codePage))
    r.lines.Fail("current-directory must be a full path such as C:\\", r.currentDirectoryLine);
  r.settings.currentDirectory = CurrentDirectoryText(path);
}

}  // namespace

std::string CurrentDirectoryText(const WinPath& path) {
  const std::string text = path.ToString();
  const bool trimmed = !path.parts.empty() && (text.back() == '.' || text.back() == ' ');
  return trimmed ? text + '\\' : text;
}

Settings ParseSettings(const std::string& contents, const std::string& fileName) {
  Lines lines(contents, fileName);
  Reading r(lines);
  std::set<std::string> seen;
  for (std::string line; lines.Next(line);) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (HasLineBreak(line)) lines.Fail("a stray CR or NUL, which no setting can hold");
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) lines.Fail("expected key = value");
    r.key = Fold(Trim(line.substr(0, equals)));
    const std::string text = Trim(line.substr(equals + 1));
    std::size_t end = 0;
    const bool quoted = !text.empty() && text[0] == '"';
    r.value = quoted ? lines.Quoted(text, end) : text;
    if (quoted && end != text.size()) lines.Fail("unexpected text after the closing quote");
    if (r.key != "read-only-key" && !seen.insert(r.key).second)
      lines.Fail("'" + r.key + "' given twice");
    const std::string name = TableName(r.key);
    const auto* known = std::find_if(std::begin(kKeys), std::end(kKeys),
                                     [&](const auto& key) { return name == key.name; });
    if (known == std::end(kKeys)) lines.Fail("unknown key '" + r.key + "'");
    known->read(r);
  }
  SettleVersion(r);
  if (seen.count("csd") != 0 || r.named == nullptr) r.settings.version.SetCsd(r.csd);
  // A version named alone keeps its name; with raw fields it is numbers.
  if (r.named != nullptr && r.raw.empty() && seen.count("csd") == 0)
    r.settings.versionName = r.named->name;
  if (r.currentDirectoryLine != 0) SettleCurrentDirectory(r);
  for (const auto& [letter, line] : r.readOnlyDriveLines) {
    const std::string drive = "drive." + std::string(1, letter);
    if (r.settings.drives[letter].hostFolder.empty())
      lines.Fail(drive + ".read-only without " + drive, line);
  }
  return r.settings;
}

// A value no line can hold names the line it would have stood on.
std::string FormatSettings(const Settings& settings, const std::string& fileName) {
  std::string out = kHeader;
  const auto put = [&](const std::string& key, const std::string& value) {
    if (HasLineBreak(value)) {
      const auto line = std::count(out.begin(), out.end(), '\n') + 1;
      throw SandboxError(fileName + ":" + std::to_string(line) + ": " + key +
                         " cannot hold a CR, LF or NUL");
    }
    out += key + " = " + value + '\n';
  };
  const OsVersion& v = settings.version;
  if (!settings.versionName.empty()) {
    put("version", settings.versionName);
  } else {
    put("platform", std::to_string(v.platformId));
    put("major", std::to_string(v.major));
    put("minor", std::to_string(v.minor));
    put("csd", v.Csd().empty() ? "\"\"" : Quote(v.Csd()));
  }
  put("version-query-fails", YesNo(settings.versionQueryFails));
  if (settings.codePage != 1252) put("code-page", std::to_string(settings.codePage));
  put("current-directory", Quote(settings.currentDirectory));
  for (const auto& [letter, drive] : settings.drives) {
    const std::string key = "drive." + std::string(1, letter);
    put(key, Quote(drive.hostFolder));
    put(key + ".read-only", YesNo(drive.readOnly));
  }
  // A key starting with an empty name gets the root's backslash, which
  // reading takes away.
  for (const std::string& key : settings.readOnlyKeys)
    put("read-only-key", Quote(key.front() == '\\' ? '\\' + key : key));
  return out;
}

std::string EscapeLogField(const std::string& field) {
  std::string out;
  for (char c : field) {
    if (c == '%' || c == '\t' || c == '\r' || c == '\n') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", c);
      out += code;
    } else {
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
