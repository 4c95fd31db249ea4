#include "platform/sandbox/Registry.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <unordered_map>

#include "platform/sandbox/HostFiles.h"

#include "platform/sandbox/SandboxError.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

namespace {

const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_CONFIG", "HKEY_CLASSES_ROOT",
                              "HKEY_CURRENT_USER",  "HKEY_USERS",          "HKEY_DYN_DATA"};

// The machine's own root first, then the others in a fixed order.
int RootRank(const std::string& path) {
  const std::size_t length = std::min(path.find('\\'), path.size());
  for (std::size_t i = 0; i < std::size(kRoots); ++i)
    if (length == std::strlen(kRoots[i]) && EqualNoCase(path.substr(0, length), kRoots[i]))
      return static_cast<int>(i);
  return static_cast<int>(std::size(kRoots));
}

constexpr std::size_t kMaxKeyName = 255;
// Levels below the root, as Windows allows.
constexpr std::size_t kMaxKeyDepth = 512;

// Splits a full key path; false with `why` set when it is not one a
// registry can hold.
bool SplitKeyPath(const std::string& path, std::vector<std::string>& parts, std::string& why) {
  parts.clear();
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end == start) {
      why = "an empty key name";
      return false;
    }
    if (end - start > kMaxKeyName) {
      why = "a key name longer than 255 characters";
      return false;
    }
    if (parts.size() > kMaxKeyDepth) {
      why = "a key deeper than 512 levels";
      return false;
    }
    parts.push_back(path.substr(start, end - start));
    if (parts.back().find_first_of(std::string("\0\r\n", 3)) != std::string::npos) {
      why = "a control character in a key name";
      return false;
    }
    if (end == path.size()) break;
    start = end + 1;
  }
  if (std::none_of(std::begin(kRoots), std::end(kRoots),
                   [&](const char* root) { return EqualNoCase(parts[0], root); })) {
    why = "no root key such as HKEY_LOCAL_MACHINE";
    return false;
  }
  return true;
}

// A path in an error message: a whole 16 MB line would bury the message.
std::string Shown(const std::string& path) { return path.size() <= 80 ? path : path.substr(0, 80) + "..."; }

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

// The lines of a file, one at a time: a file of millions of lines costs no
// more than its text.
class Lines {
 public:
  Lines(const std::string& text, const std::string& fileName) : text_(text), fileName_(fileName) {}

  // False past the last line; a file ending in a newline ends in an empty line.
  bool Next(std::string& line) {
    if (pos_ > text_.size()) return false;
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string::npos) end = text_.size();
    std::size_t length = end - pos_;
    if (length > 0 && text_[pos_ + length - 1] == '\r') --length;
    line.assign(text_, pos_, length);
    pos_ = end + 1;
    ++number_;
    return true;
  }
  std::size_t Number() const { return number_; }

  [[noreturn]] void Fail(std::size_t number, const std::string& what) const {
    throw SandboxError(fileName_ + ":" + std::to_string(number) + ": " + what);
  }

  // A "quoted" string starting at line[pos] == '"'; pos ends after it.
  std::string Quoted(const std::string& line, std::size_t& pos) const {
    std::string out;
    for (++pos; pos < line.size(); ++pos) {
      const char c = line[pos];
      if (c == '"') {
        ++pos;
        return out;
      }
      if (c == '\\') {
        if (pos + 1 >= line.size() || (line[pos + 1] != '\\' && line[pos + 1] != '"'))
          Fail(number_, "unknown escape in a quoted string (only \\\\ and \\\" are valid)");
        ++pos;
      }
      out += line[pos];
    }
    Fail(number_, "unterminated quoted string");
  }

 private:
  const std::string& text_;
  std::string fileName_;
  std::size_t pos_ = 0;
  std::size_t number_ = 0;
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

Registry Registry::Parse(const std::string& text, const std::string& fileName) {
  Lines lines(text, fileName);
  std::string line;
  lines.Next(line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  if (line != "REGEDIT4") lines.Fail(1, "expected \"REGEDIT4\" as the first line");

  Registry registry;
  // Where each value already read is, by key and folded name, so that a
  // name given again is found without a scan of its key's values.
  std::unordered_map<std::string, std::size_t> seen;
  Key* key = nullptr;
  while (lines.Next(line)) {
    const std::size_t index = lines.Number();
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    const char lead = line[start];
    if (lead == ';') {
      if (key != nullptr)
        key->entries.push_back(Entry{Entry::Comment, "", line});
      else
        registry.preamble_.push_back(line);
      continue;
    }
    if (lead == '[') {
      std::size_t end = line.find_last_not_of(" \t");
      if (line[end] != ']') lines.Fail(index, "a key line must end with ']'");
      const std::string path = line.substr(start + 1, end - start - 1);
      if (!path.empty() && path[0] == '-')
        lines.Fail(index, "key deletions ([-...]) do not belong in a machine's registry");
      std::string why;
      key = registry.Add(path, why);
      if (key == nullptr) lines.Fail(index, "malformed key path '" + Shown(path) + "': " + why);
      continue;
    }
    if (lead != '"' && lead != '@')
      lines.Fail(index, "expected a [key], a \"name\"=value, an @=value or a ;comment");
    if (key == nullptr) lines.Fail(index, "a value before the first [key]");

    std::size_t pos = start;
    std::string name;
    if (lead == '@')
      ++pos;
    else
      name = lines.Quoted(line, pos);
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos || line[pos] != '=') lines.Fail(index, "expected '=' after the value name");
    pos = line.find_first_not_of(" \t", pos + 1);
    if (pos == std::string::npos) lines.Fail(index, "missing value data");

    Entry entry{Entry::String, name, ""};
    if (line[pos] == '"') {
      entry.data = lines.Quoted(line, pos);
      if (!IsBlank(line, pos)) lines.Fail(index, "unexpected text after the closing quote");
    } else if (line[pos] == '-') {
      lines.Fail(index, "value deletions (=-) do not belong in a machine's registry");
    } else {
      const std::size_t firstLine = index;
      std::string raw = line.substr(pos);
      auto continues = [](const std::string& text) {
        const std::size_t last = text.find_last_not_of(" \t");
        return last != std::string::npos && text[last] == '\\';
      };
      std::string more;
      while (continues(raw)) {
        if (!lines.Next(more)) lines.Fail(firstLine, "value continues past the end of the file");
        raw += '\n' + more;
      }
      entry.kind = Entry::Raw;
      entry.data = raw;
      std::string bytes;
      if (StartsWithNoCase(raw, "dword:")) {
        const std::string digits = raw.substr(6, raw.find_last_not_of(" \t") - 5);
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return HexDigit(c) >= 0; }))
          lines.Fail(firstLine, "a dword needs one to eight hex digits");
      } else if (StartsWithNoCase(raw, "hex:") || StartsWithNoCase(raw, "hex(")) {
        std::size_t colon = raw.find(':');
        if (colon == std::string::npos) lines.Fail(firstLine, "expected hex(type):");
        if (raw[3] == '(') {
          const std::string type = raw.substr(4, colon - 4);
          if (type.size() < 2 || type.back() != ')' ||
              !std::all_of(type.begin(), type.end() - 1, [](char c) { return HexDigit(c) >= 0; }))
            lines.Fail(firstLine, "expected hex(type): with a hex type number");
        }
        if (!ParseHexBytes(raw.substr(colon + 1), bytes)) lines.Fail(firstLine, "malformed hex byte list");
        // REG_SZ written as bytes: a string if it ends in its zero.
        if (StartsWithNoCase(raw, "hex(1):") && !bytes.empty() && bytes.back() == '\0') {
          entry.kind = Entry::String;
          bytes.pop_back();
          entry.data = bytes;
        }
      } else {
        lines.Fail(firstLine, "unrecognised value data (expected \"text\", dword: or hex:)");
      }
    }
    // A name given twice: the later data wins, as when regedit imports it.
    const std::string where = std::to_string(reinterpret_cast<std::uintptr_t>(key)) + '\\' + Fold(name);
    const auto [at, added] = seen.emplace(where, key->entries.size());
    if (added)
      key->entries.push_back(std::move(entry));
    else
      key->entries[at->second] = Entry{entry.kind, key->entries[at->second].name, std::move(entry.data)};
  }
  return registry;
}

std::string Registry::Format() const {
  std::string out = "REGEDIT4\r\n\r\n";
  for (const std::string& line : preamble_) out += line + "\r\n";
  if (!preamble_.empty()) out += "\r\n";
  // The map's order is regedit's: each key right before its subkeys.
  for (const auto& [path, key] : keys_) {
    out += '[' + path + "]\r\n";
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

bool Registry::KeyOrder::operator()(const std::string& a, const std::string& b) const {
  const int rankA = RootRank(a), rankB = RootRank(b);
  if (rankA != rankB) return rankA < rankB;
  // Siblings by folded name, a backslash below every character.
  const auto rank = [](char c) { return c == '\\' ? 0 : static_cast<unsigned char>(FoldChar(c)); };
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i)
    if (rank(a[i]) != rank(b[i])) return rank(a[i]) < rank(b[i]);
  return a.size() < b.size();
}

Registry::Key* Registry::Find(const std::string& path) {
  const auto found = keys_.find(path);
  return found != keys_.end() ? &found->second : nullptr;
}

const Registry::Key* Registry::Find(const std::string& path) const {
  const auto found = keys_.find(path);
  return found != keys_.end() ? &found->second : nullptr;
}

Registry::Key* Registry::Add(const std::string& path, std::string& why) {
  std::vector<std::string> parts;
  if (!SplitKeyPath(path, parts, why)) return nullptr;
  // The missing keys, from the deepest up; each gets a line that spells its
  // whole path, so their cost is counted before any is made.
  std::size_t end = path.size(), missing = 0, bytes = 0;
  for (std::size_t level = parts.size(); level > 0 && Find(path.substr(0, end)) == nullptr; --level) {
    bytes += end + 4;
    ++missing;
    end -= parts[level - 1].size() + 1;
  }
  if (keyBytes_ + bytes > static_cast<std::size_t>(kMachineFileLimit)) {
    why = "the registry would pass 16 MB when written, as each key line spells its full path";
    return nullptr;
  }
  keyBytes_ += bytes;
  end = 0;
  for (std::size_t level = 0; level < parts.size(); ++level) {
    end += (level == 0 ? 0 : 1) + parts[level].size();
    if (level + missing >= parts.size()) keys_.emplace(path.substr(0, end), Key{});
  }
  return Find(path);
}

bool Registry::HasKey(const std::string& path) const { return Find(path) != nullptr; }

bool Registry::AddKey(const std::string& path) {
  std::string why;
  return Add(path, why) != nullptr;
}

Registry::Entry* Registry::FindValue(Key& key, const std::string& name) {
  for (Entry& entry : key.entries)
    if (entry.kind != Entry::Comment && EqualNoCase(entry.name, name)) return &entry;
  return nullptr;
}

bool Registry::GetString(const std::string& keyPath, const std::string& name, std::string& data) const {
  const Key* key = Find(keyPath);
  if (key == nullptr) return false;
  for (const Entry& entry : key->entries) {
    if (entry.kind == Entry::String && EqualNoCase(entry.name, name)) {
      data = entry.data;
      return true;
    }
  }
  return false;
}

void Registry::SetString(const std::string& keyPath, const std::string& name, const std::string& data) {
  Key* key = Find(keyPath);
  if (key == nullptr) throw std::out_of_range("no registry key " + Shown(keyPath));
  if (Entry* existing = FindValue(*key, name))
    *existing = Entry{Entry::String, existing->name, data};
  else
    key->entries.push_back(Entry{Entry::String, name, data});
}

bool Registry::DeleteValue(const std::string& keyPath, const std::string& name) {
  Key* key = Find(keyPath);
  if (key == nullptr) return false;
  for (auto it = key->entries.begin(); it != key->entries.end(); ++it) {
    if (it->kind != Entry::Comment && EqualNoCase(it->name, name)) {
      key->entries.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace qar::sandbox
