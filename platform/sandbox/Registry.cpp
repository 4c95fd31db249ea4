#include "platform/sandbox/Registry.h"

#include <algorithm>

#include "platform/sandbox/Files.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

namespace {

constexpr std::size_t kMaxKeyName = 255;
// Levels below the root, as Windows allows.
constexpr std::size_t kMaxKeyDepth = 512;

// Splits a full key path; false with `why` set when no registry can hold it.
bool SplitKeyPath(const std::string& path, std::vector<std::string>& parts, std::string& why) {
  parts.clear();
  for (std::size_t start = 0;; start += parts.back().size() + 1) {
    const std::size_t end = std::min(path.find('\\', start), path.size());
    parts.push_back(path.substr(start, end - start));
    if (end == start) why = "an empty key name";
    if (end - start > kMaxKeyName) why = "a key name longer than 255 characters";
    if (parts.size() > kMaxKeyDepth + 1) why = "a key deeper than 512 levels";
    if (HasLineBreak(parts.back())) why = "a control character in a key name";
    if (!why.empty()) return false;
    if (end == path.size()) break;
  }
  if (!EqualNoCase(parts[0], Registry::kMachineRoot)) why = "a key outside HKEY_LOCAL_MACHINE";
  return why.empty();
}

}  // namespace

std::string RelativeKeyPath(const std::string& path) {
  const std::size_t start = !path.empty() && path.front() == '\\' ? 1 : 0;
  std::size_t names = start;
  while (names < path.size() && path[names] == '\\') ++names;
  std::string rest;
  for (std::size_t i = names; i < path.size(); ++i)
    if (path[i] != '\\' || rest.back() != '\\') rest += path[i];
  if (!rest.empty() && rest.back() == '\\') rest.pop_back();
  return path.substr(start, names - start) + rest;
}

Registry Registry::Parse(const std::string& text, const std::string& fileName) {
  Lines lines(text, fileName);
  std::string line;
  lines.Next(line);
  if (line.substr(0, line.find_last_not_of(" \t") + 1) != "REGEDIT4")
    lines.Fail("expected \"REGEDIT4\" as the first line", 1);

  Registry registry;
  Key* key = nullptr;
  // Each value's place: a name given twice keeps the first place and takes
  // the later data, as regedit imports it.
  std::map<std::pair<const Key*, std::string>, std::size_t> places;
  while (lines.Next(line)) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    const char lead = line[start];
    if (lead == ';' && key == nullptr) {
      registry.preamble_.push_back(line);
    } else if (lead == ';') {
      key->push_back(Entry{Entry::Comment, "", line});
    } else if (lead == '[') {
      key = registry.ReadKeyLine(line, start, lines);
    } else if (key == nullptr) {
      lines.Fail("a value before the first [key]");
    } else {
      Entry entry = ReadValueLine(line, start, lines);
      const auto [place, added] = places.emplace(std::pair(key, Fold(entry.name)), key->size());
      if (added) {
        key->push_back(std::move(entry));
      } else {
        Entry& first = (*key)[place->second];
        first = Entry{entry.kind, first.name, std::move(entry.data)};
      }
    }
  }
  return registry;
}

Registry::Key* Registry::ReadKeyLine(const std::string& line, std::size_t start,
                                     const Lines& lines) {
  const std::size_t end = line.find_last_not_of(" \t");
  if (line[end] != ']') lines.Fail("a key line must end with ']'");
  const std::string path = line.substr(start + 1, end - start - 1);
  if (!path.empty() && path[0] == '-')
    lines.Fail("key deletions ([-...]) do not belong in a machine's registry");
  std::string why;
  Key* key = Add(path, why);
  // Cut short: a 16 MB line would bury the message.
  const std::string shown = path.size() > 80 ? path.substr(0, 80) + "..." : path;
  if (key == nullptr) lines.Fail("malformed key path '" + shown + "': " + why);
  return key;
}

Registry::Entry Registry::ReadValueLine(const std::string& line, std::size_t start, Lines& lines) {
  if (line[start] != '"' && line[start] != '@')
    lines.Fail("expected a [key], a \"name\"=value, an @=value or a ;comment");
  Entry entry{Entry::String, "", ""};
  std::size_t pos = start;
  if (line[start] == '@')
    ++pos;
  else
    entry.name = lines.Quoted(line, pos);
  pos = line.find_first_not_of(" \t", pos);
  if (pos == std::string::npos || line[pos] != '=') lines.Fail("expected '=' after the value name");
  pos = line.find_first_not_of(" \t", pos + 1);
  if (pos == std::string::npos) lines.Fail("missing value data");
  if (line[pos] == '-') lines.Fail("value deletions (=-) do not belong in a machine's registry");
  if (line[pos] == '"') {
    entry.data = lines.Quoted(line, pos);
    if (line.find_first_not_of(" \t", pos) != std::string::npos)
      lines.Fail("unexpected text after the closing quote");
    return entry;
  }
  // dword: and hex: data is kept as written, continuation lines and all.
  entry.kind = Entry::Raw;
  entry.data = line.substr(pos);
  const bool dword = EqualNoCase(entry.data.substr(0, 6), "dword:");
  if (!dword && !EqualNoCase(entry.data.substr(0, 3), "hex"))
    lines.Fail("unrecognised value data (expected \"text\", dword: or hex:)");
  const std::size_t first = lines.Number();
  while (entry.data[entry.data.find_last_not_of(" \t")] == '\\') {
    std::string more;
    if (!lines.Next(more) || more.find_first_not_of(" \t") == std::string::npos)
      lines.Fail("a value continued with no next line", first);
    entry.data += "\r\n" + more;
  }
  return entry;
}

std::string Registry::Format() const {
  std::string out = "REGEDIT4\r\n\r\n";
  for (const std::string& line : preamble_) out += line + "\r\n";
  if (!preamble_.empty()) out += "\r\n";
  for (const auto& [path, key] : keys_) {
    out += '[' + path + "]\r\n";
    for (const Entry& entry : key) {
      if (entry.kind != Entry::Comment)
        out += (entry.name.empty() ? "@" : QuoteString(entry.name)) + '=';
      out += entry.kind == Entry::String ? QuoteString(entry.data) : entry.data;
      out += "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

bool Registry::KeyOrder::operator()(const std::string& a, const std::string& b) const {
  // Siblings by folded name, a backslash below every character. Long
  // prefixes spelled alike are skipped at memcmp's pace.
  const auto rank = [](char c) { return c == '\\' ? 0 : static_cast<unsigned char>(FoldChar(c)); };
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0;; ++i) {
    i = std::mismatch(a.begin() + i, a.begin() + common, b.begin() + i).first - a.begin();
    if (i == common) return a.size() < b.size();
    if (rank(a[i]) != rank(b[i])) return rank(a[i]) < rank(b[i]);
  }
}

Registry::Key* Registry::Find(const std::string& path) {
  const auto found = keys_.find(path);
  return found != keys_.end() ? &found->second : nullptr;
}

Registry::Key* Registry::Add(const std::string& path, std::string& why) {
  std::vector<std::string> parts;
  if (!SplitKeyPath(path, parts, why)) return nullptr;
  // The keys below parts[0, have) are missing; each line spells its whole
  // path, so their cost is counted before any is made.
  std::size_t have = parts.size(), end = path.size(), bytes = 0;
  while (have > 0 && Find(path.substr(0, end)) == nullptr) {
    bytes += end + 4;
    --have;
    end -= parts[have].size() + (have > 0 ? 1 : 0);
  }
  if (keyBytes_ + bytes > static_cast<std::size_t>(kMachineFileLimit)) {
    why = "the registry would pass 16 MB when written, as each key line spells its full path";
    return nullptr;
  }
  keyBytes_ += bytes;
  for (std::size_t level = have; level < parts.size(); ++level) {
    end += (level > 0 ? 1 : 0) + parts[level].size();
    keys_.emplace(path.substr(0, end), Key{});
  }
  return Find(path);
}

bool Registry::AddKey(const std::string& path) {
  std::string why;
  return Add(path, why) != nullptr;
}

Registry::Entry* Registry::FindValue(Key& key, const std::string& name) {
  for (Entry& entry : key)
    if (entry.kind != Entry::Comment && EqualNoCase(entry.name, name)) return &entry;
  return nullptr;
}

bool Registry::GetString(const std::string& keyPath, const std::string& name,
                         std::string& data) const {
  Key* key = const_cast<Registry*>(this)->Find(keyPath);
  const Entry* entry = key != nullptr ? FindValue(*key, name) : nullptr;
  if (entry == nullptr || entry->kind != Entry::String) return false;
  data = entry->data;
  return true;
}

bool Registry::SetString(const std::string& keyPath, const std::string& name,
                         const std::string& data) {
  Key* key = Find(keyPath);
  if (key == nullptr || HasLineBreak(name + data)) return false;
  if (Entry* existing = FindValue(*key, name))
    *existing = Entry{Entry::String, existing->name, data};
  else
    key->push_back(Entry{Entry::String, name, data});
  return true;
}

bool Registry::DeleteValue(const std::string& keyPath, const std::string& name) {
  Key* key = Find(keyPath);
  Entry* entry = key != nullptr ? FindValue(*key, name) : nullptr;
  if (entry != nullptr) key->erase(key->begin() + (entry - key->data()));
  return entry != nullptr;
}

}  // namespace qar::sandbox
