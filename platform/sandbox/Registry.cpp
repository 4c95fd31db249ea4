#include "platform/sandbox/Registry.h"

#include <algorithm>
#include <iterator>

#include "platform/sandbox/SandboxError.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

namespace {

const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_CONFIG", "HKEY_CLASSES_ROOT",
                              "HKEY_CURRENT_USER",  "HKEY_USERS",          "HKEY_DYN_DATA"};

// The machine's own root first, then the others in a fixed order.
int RootRank(const std::string& folded) {
  const std::string root = folded.substr(0, folded.find('\\'));
  for (std::size_t i = 0; i < std::size(kRoots); ++i)
    if (EqualNoCase(root, kRoots[i])) return static_cast<int>(i);
  return static_cast<int>(std::size(kRoots));
}

// Splits a full key path; false when it is not one a registry can hold.
bool SplitKeyPath(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  std::string part;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') {
      if (part.empty() || part.size() > 255) return false;
      parts.push_back(part);
      part.clear();
    } else {
      const char c = path[i];
      if (c == '\0' || c == '\r' || c == '\n') return false;
      part += c;
    }
  }
  return std::any_of(std::begin(kRoots), std::end(kRoots),
                     [&](const char* root) { return EqualNoCase(parts[0], root); });
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// The bytes of a hex list "61,62,\<newline>  63"; false when malformed.
bool ParseHexBytes(const std::string& list, std::string& bytes) {
  std::string compact;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    if (c == '\\') {
      // A backslash only ends a line that the next one continues.
      const std::size_t next = list.find_first_not_of(" \t\r", i + 1);
      if (next == std::string::npos || list[next] != '\n') return false;
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      compact += c;
    }
  }
  bytes.clear();
  if (compact.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = compact.find(',', start);
    if (comma == std::string::npos) comma = compact.size();
    const std::string item = compact.substr(start, comma - start);
    if (item.empty() || item.size() > 2) return false;
    int value = 0;
    for (char c : item) {
      if (HexDigit(c) < 0) return false;
      value = value * 16 + HexDigit(c);
    }
    bytes += static_cast<char>(value);
    if (comma == compact.size()) return true;
    start = comma + 1;
  }
}

class Parser {
 public:
  Parser(const std::string& text, const std::string& fileName) : fileName_(fileName) {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(line);
      start = end + 1;
    }
  }

  [[noreturn]] void Fail(std::size_t index, const std::string& what) const {
    throw SandboxError(fileName_ + ":" + std::to_string(index + 1) + ": " + what);
  }

  const std::vector<std::string>& Lines() const { return lines_; }

  // A "quoted" string starting at line[pos] == '"'; pos ends after it.
  std::string Quoted(std::size_t index, std::size_t& pos) const {
    const std::string& line = lines_[index];
    std::string out;
    for (++pos; pos < line.size(); ++pos) {
      const char c = line[pos];
      if (c == '"') {
        ++pos;
        return out;
      }
      if (c == '\\') {
        if (pos + 1 >= line.size() || (line[pos + 1] != '\\' && line[pos + 1] != '"'))
          Fail(index, "unknown escape in a quoted string (only \\\\ and \\\" are valid)");
        ++pos;
      }
      out += line[pos];
    }
    Fail(index, "unterminated quoted string");
  }

 private:
  std::string fileName_;
  std::vector<std::string> lines_;
};

bool IsBlank(const std::string& text, std::size_t from) {
  return text.find_first_not_of(" \t", from) == std::string::npos;
}

std::string QuoteRegString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// A string REGEDIT4 cannot quote goes out as the REG_SZ bytes with their
// terminating zero, wrapped as regedit wraps them.
std::string HexString(const std::string& lead, const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out = lead + "hex(1):";
  std::size_t lineLength = out.size();
  const std::string bytes = text + '\0';
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    std::string item{kDigits[b >> 4], kDigits[b & 15]};
    if (i + 1 < bytes.size()) item += ',';
    if (lineLength + item.size() > 77) {
      out += "\\\r\n  ";
      lineLength = 2;
    }
    out += item;
    lineLength += item.size();
  }
  return out;
}

}  // namespace

bool Registry::TreeOrder::operator()(const std::string& a, const std::string& b) const {
  const int rankA = RootRank(a), rankB = RootRank(b);
  if (rankA != rankB) return rankA < rankB;
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (a[i] == '\\') return true;
    if (b[i] == '\\') return false;
    return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

Registry Registry::Parse(const std::string& text, const std::string& fileName) {
  Parser parser(text, fileName);
  const std::vector<std::string>& lines = parser.Lines();
  std::string first = lines[0];
  while (!first.empty() && (first.back() == ' ' || first.back() == '\t')) first.pop_back();
  if (first != "REGEDIT4") parser.Fail(0, "expected \"REGEDIT4\" as the first line");

  Registry registry;
  Key* key = nullptr;
  for (std::size_t index = 1; index < lines.size(); ++index) {
    const std::string& line = lines[index];
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    const char lead = line[start];
    if (lead == ';') {
      if (key)
        key->entries.push_back(Entry{Entry::Comment, "", line});
      else
        registry.preamble_.push_back(line);
      continue;
    }
    if (lead == '[') {
      std::size_t end = line.find_last_not_of(" \t");
      if (line[end] != ']') parser.Fail(index, "a key line must end with ']'");
      const std::string path = line.substr(start + 1, end - start - 1);
      if (!path.empty() && path[0] == '-')
        parser.Fail(index, "key deletions ([-...]) do not belong in a machine's registry");
      if (!registry.AddKey(path)) parser.Fail(index, "malformed key path '" + path + "'");
      key = &registry.keys_.find(Fold(path))->second;
      continue;
    }
    if (lead != '"' && lead != '@')
      parser.Fail(index, "expected a [key], a \"name\"=value, an @=value or a ;comment");
    if (key == nullptr) parser.Fail(index, "a value before the first [key]");

    std::size_t pos = start;
    std::string name;
    if (lead == '@')
      ++pos;
    else
      name = parser.Quoted(index, pos);
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos || line[pos] != '=') parser.Fail(index, "expected '=' after the value name");
    pos = line.find_first_not_of(" \t", pos + 1);
    if (pos == std::string::npos) parser.Fail(index, "missing value data");

    Entry entry{Entry::String, name, ""};
    if (line[pos] == '"') {
      entry.data = parser.Quoted(index, pos);
      if (!IsBlank(line, pos)) parser.Fail(index, "unexpected text after the closing quote");
    } else if (line[pos] == '-') {
      parser.Fail(index, "value deletions (=-) do not belong in a machine's registry");
    } else {
      const std::size_t firstLine = index;
      std::string raw = line.substr(pos);
      auto continues = [](const std::string& text) {
        const std::size_t last = text.find_last_not_of(" \t");
        return last != std::string::npos && text[last] == '\\';
      };
      while (continues(raw)) {
        if (++index >= lines.size()) parser.Fail(firstLine, "value continues past the end of the file");
        raw += '\n' + lines[index];
      }
      entry.kind = Entry::Raw;
      entry.data = raw;
      std::string bytes;
      if (StartsWithNoCase(raw, "dword:")) {
        const std::string digits = raw.substr(6, raw.find_last_not_of(" \t") - 5);
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return HexDigit(c) >= 0; }))
          parser.Fail(firstLine, "a dword needs one to eight hex digits");
      } else if (StartsWithNoCase(raw, "hex:") || StartsWithNoCase(raw, "hex(")) {
        std::size_t colon = raw.find(':');
        if (colon == std::string::npos) parser.Fail(firstLine, "expected hex(type):");
        if (raw[3] == '(') {
          const std::string type = raw.substr(4, colon - 4);
          if (type.size() < 2 || type.back() != ')' ||
              !std::all_of(type.begin(), type.end() - 1, [](char c) { return HexDigit(c) >= 0; }))
            parser.Fail(firstLine, "expected hex(type): with a hex type number");
        }
        if (!ParseHexBytes(raw.substr(colon + 1), bytes)) parser.Fail(firstLine, "malformed hex byte list");
        // REG_SZ written as bytes: a string if it ends in its zero.
        if (StartsWithNoCase(raw, "hex(1):") && !bytes.empty() && bytes.back() == '\0') {
          entry.kind = Entry::String;
          bytes.pop_back();
          entry.data = bytes;
        }
      } else {
        parser.Fail(firstLine, "unrecognised value data (expected \"text\", dword: or hex:)");
      }
    }
    // A name given twice: the later data wins, as when regedit imports it.
    if (Entry* existing = registry.FindValue(*key, name))
      *existing = Entry{entry.kind, existing->name, entry.data};
    else
      key->entries.push_back(entry);
  }
  return registry;
}

std::string Registry::Format() const {
  std::string out = "REGEDIT4\r\n\r\n";
  for (const std::string& line : preamble_) out += line + "\r\n";
  if (!preamble_.empty()) out += "\r\n";
  for (const auto& [folded, key] : keys_) {
    out += '[' + key.path + "]\r\n";
    for (const Entry& entry : key.entries) {
      if (entry.kind == Entry::Comment) {
        out += entry.data + "\r\n";
        continue;
      }
      const std::string lead = (entry.name.empty() ? "@" : QuoteRegString(entry.name)) + '=';
      if (entry.kind == Entry::Raw) {
        std::string data;
        for (char c : entry.data) data += c == '\n' ? std::string("\r\n") : std::string(1, c);
        out += lead + data + "\r\n";
      } else if (entry.data.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        out += HexString(lead, entry.data) + "\r\n";
      } else {
        out += lead + QuoteRegString(entry.data) + "\r\n";
      }
    }
    out += "\r\n";
  }
  return out;
}

bool Registry::HasKey(const std::string& path) const { return keys_.count(Fold(path)) != 0; }

bool Registry::AddKey(const std::string& path) {
  std::vector<std::string> parts;
  if (!SplitKeyPath(path, parts)) return false;
  std::string prefix;
  for (const std::string& part : parts) {
    prefix += prefix.empty() ? part : '\\' + part;
    const std::string folded = Fold(prefix);
    if (keys_.count(folded) == 0) keys_.emplace(folded, Key{prefix, {}});
  }
  return true;
}

Registry::Entry* Registry::FindValue(Key& key, const std::string& name) {
  for (Entry& entry : key.entries)
    if (entry.kind != Entry::Comment && EqualNoCase(entry.name, name)) return &entry;
  return nullptr;
}

bool Registry::GetString(const std::string& keyPath, const std::string& name, std::string& data) const {
  auto key = keys_.find(Fold(keyPath));
  if (key == keys_.end()) return false;
  for (const Entry& entry : key->second.entries) {
    if (entry.kind == Entry::String && EqualNoCase(entry.name, name)) {
      data = entry.data;
      return true;
    }
  }
  return false;
}

void Registry::SetString(const std::string& keyPath, const std::string& name, const std::string& data) {
  Key& key = keys_.at(Fold(keyPath));
  if (Entry* existing = FindValue(key, name))
    *existing = Entry{Entry::String, existing->name, data};
  else
    key.entries.push_back(Entry{Entry::String, name, data});
}

bool Registry::DeleteValue(const std::string& keyPath, const std::string& name) {
  auto key = keys_.find(Fold(keyPath));
  if (key == keys_.end()) return false;
  std::vector<Entry>& entries = key->second.entries;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->kind != Entry::Comment && EqualNoCase(it->name, name)) {
      entries.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace qar::sandbox
