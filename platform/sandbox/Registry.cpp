#include "platform/sandbox/Registry.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <stdexcept>

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

std::uint64_t HashName(std::uint64_t owner, const std::string& name) {
  std::uint64_t hash = 1469598103934665603ull ^ (owner * 0x9E3779B97F4A7C15ull);
  for (char c : name) {
    hash ^= static_cast<unsigned char>(FoldChar(c));
    hash *= 1099511628211ull;
  }
  return hash ^ (hash >> 29);
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

// Values of one key looked up by a scan while a file is read; from this many
// on, through a ValueIndex.
constexpr std::size_t kScannedValues = 16;

// Where each value of each key is while a file is read, so a name given
// again is found at once however many values a key has.
class ValueIndex {
 public:
  // The slot for (key, name): its entry, or kEmpty where it would go.
  static constexpr std::uint64_t kEmpty = 0;
  template <typename NameOf>
  std::uint64_t* Slot(std::uint32_t key, const std::string& name, const NameOf& nameOf) {
    if ((count_ + 1) * 2 > slots_.size()) Grow(nameOf);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = HashName(key + 1ull, name) & mask;; i = (i + 1) & mask) {
      std::uint64_t& slot = slots_[i];
      if (slot == kEmpty) return &slot;
      if (static_cast<std::uint32_t>((slot - 1) >> 32) == key && EqualNoCase(nameOf(slot), name))
        return &slot;
    }
  }
  void Fill(std::uint64_t* slot, std::uint32_t key, std::uint32_t entry) {
    *slot = ((static_cast<std::uint64_t>(key) << 32) | entry) + 1;
    ++count_;
  }

 private:
  template <typename NameOf>
  void Grow(const NameOf& nameOf) {
    std::vector<std::uint64_t> old(std::max<std::size_t>(64, slots_.size() * 2), kEmpty);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (std::uint64_t slot : old) {
      if (slot == kEmpty) continue;
      std::size_t i = HashName(((slot - 1) >> 32) + 1, nameOf(slot)) & mask;
      while (slots_[i] != kEmpty) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
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
  // Room for every key line at once: growing a large table would hold the
  // old and the new copy.
  std::size_t keyLines = 0;
  for (std::size_t at = text.find("\n["); at != std::string::npos; at = text.find("\n[", at + 2)) ++keyLines;
  registry.keys_.reserve(keyLines + 64);
  ValueIndex values;
  std::vector<bool> indexed;  // by key: its values are in `values`
  const auto nameOf = [&](std::uint64_t slot) -> const std::string& {
    const std::uint64_t packed = slot - 1;
    return registry.keys_[packed >> 32].entries[packed & 0xFFFFFFFFu].name;
  };
  std::uint32_t keyIndex = kNone;
  while (lines.Next(line)) {
    const std::size_t index = lines.Number();
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    const char lead = line[start];
    if (lead == ';') {
      if (keyIndex != kNone)
        registry.keys_[keyIndex].entries.push_back(Entry{Entry::Comment, "", line});
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
      keyIndex = registry.Add(path, why);
      if (keyIndex == kNone) lines.Fail(index, "malformed key path '" + Shown(path) + "': " + why);
      continue;
    }
    if (lead != '"' && lead != '@')
      lines.Fail(index, "expected a [key], a \"name\"=value, an @=value or a ;comment");
    if (keyIndex == kNone) lines.Fail(index, "a value before the first [key]");

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
    // A key with many values gets an index, so that costs no scan of them.
    Key& key = registry.keys_[keyIndex];
    std::vector<Entry>& entries = key.entries;
    Entry* existing = nullptr;
    std::uint64_t* slot = nullptr;
    if (entries.size() < kScannedValues) {
      existing = registry.FindValue(key, name);
    } else {
      if (indexed.size() <= keyIndex) indexed.resize(registry.keys_.size());
      if (!indexed[keyIndex]) {
        indexed[keyIndex] = true;
        for (std::size_t e = 0; e < entries.size(); ++e)
          if (entries[e].kind != Entry::Comment)
            values.Fill(values.Slot(keyIndex, entries[e].name, nameOf), keyIndex,
                        static_cast<std::uint32_t>(e));
      }
      slot = values.Slot(keyIndex, name, nameOf);
      if (*slot != ValueIndex::kEmpty) existing = &entries[(*slot - 1) & 0xFFFFFFFFu];
    }
    if (existing != nullptr) {
      *existing = Entry{entry.kind, existing->name, std::move(entry.data)};
    } else {
      entries.push_back(std::move(entry));
      if (slot != nullptr) values.Fill(slot, keyIndex, static_cast<std::uint32_t>(entries.size() - 1));
    }
  }
  return registry;
}

std::string Registry::Format() const {
  std::string out = "REGEDIT4\r\n\r\n";
  for (const std::string& line : preamble_) out += line + "\r\n";
  if (!preamble_.empty()) out += "\r\n";
  // Each key right before its subkeys, as regedit exports them: siblings
  // by folded name, a backslash below every character; the roots in a
  // fixed order.
  std::vector<std::string> folded(keys_.size());
  for (std::size_t k = 0; k < keys_.size(); ++k) folded[k] = Fold(keys_[k].name);
  std::vector<std::uint32_t> order(keys_.size());
  for (std::uint32_t k = 0; k < order.size(); ++k) order[k] = k;
  const auto owner = [&](std::uint32_t k) {
    return keys_[k].parent == kNone ? 0ull : keys_[k].parent + 1ull;
  };
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (owner(a) != owner(b)) return owner(a) < owner(b);
    if (keys_[a].parent == kNone && RootRank(folded[a]) != RootRank(folded[b]))
      return RootRank(folded[a]) < RootRank(folded[b]);
    return folded[a] < folded[b];
  });
  // The children of key k are order[first[k + 1] .. first[k + 2]); the
  // roots order[first[0] .. first[1]).
  std::vector<std::size_t> first(keys_.size() + 2, 0);
  for (std::uint32_t k : order) ++first[owner(k) + 1];
  for (std::size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];

  const std::function<void(std::uint32_t, const std::string&)> write = [&](std::uint32_t k,
                                                                           const std::string& parentPath) {
    const Key& key = keys_[k];
    const std::string path = key.parent == kNone     ? key.name
                             : key.spelling != kNone ? spellings_[key.spelling] + '\\' + key.name
                                                     : parentPath + '\\' + key.name;
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
    for (std::size_t i = first[k + 1]; i < first[k + 2]; ++i) write(order[i], path);
  };
  for (std::size_t i = first[0]; i < first[1]; ++i) write(order[i], std::string());
  return out;
}

std::uint32_t Registry::Child(std::uint32_t parent, const std::string& name) const {
  if (slots_.empty()) return kNone;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = HashName(parent + 1ull, name) & mask; slots_[i] != kNone; i = (i + 1) & mask) {
    const Key& key = keys_[slots_[i]];
    if (key.parent == parent && EqualNoCase(key.name, name)) return slots_[i];
  }
  return kNone;
}

void Registry::Index(std::uint32_t key) {
  if (keys_.size() * 2 > slots_.size()) {
    std::size_t size = std::max<std::size_t>(64, slots_.size() * 2);
    while (size < keys_.size() * 2) size *= 2;
    slots_.assign(size, kNone);
    const std::size_t mask = size - 1;
    for (std::uint32_t k = 0; k < keys_.size(); ++k) {
      std::size_t i = HashName(keys_[k].parent + 1ull, keys_[k].name) & mask;
      while (slots_[i] != kNone) i = (i + 1) & mask;
      slots_[i] = k;
    }
    return;
  }
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = HashName(keys_[key].parent + 1ull, keys_[key].name) & mask;
  while (slots_[i] != kNone) i = (i + 1) & mask;
  slots_[i] = key;
}

std::uint32_t Registry::Find(const std::string& path) const {
  std::vector<std::string> parts;
  std::string why;
  if (!SplitKeyPath(path, parts, why)) return kNone;
  std::uint32_t key = kNone;
  for (const std::string& part : parts)
    if ((key = Child(key, part)) == kNone) return kNone;
  return key;
}

std::uint32_t Registry::Add(const std::string& path, std::string& why) {
  std::vector<std::string> parts;
  if (!SplitKeyPath(path, parts, why)) return kNone;
  std::uint32_t key = kNone;
  std::size_t i = 0;
  for (; i < parts.size(); ++i) {
    const std::uint32_t next = Child(key, parts[i]);
    if (next == kNone) break;
    key = next;
  }
  if (i == parts.size()) return key;
  // The new keys' paths as first written: this path's spelling of the
  // existing part, kept aside only where it is not the parent's own.
  std::uint32_t spelling = kNone;
  if (key != kNone) {
    std::string prefix = parts[0];
    for (std::size_t j = 1; j < i; ++j) prefix += '\\' + parts[j];
    if (prefix != PathOf(key)) {
      spelling = static_cast<std::uint32_t>(spellings_.size());
      spellings_.push_back(std::move(prefix));
    }
  }
  for (; i < parts.size(); ++i) {
    keys_.push_back(Key{std::move(parts[i]), key, spelling, {}});
    spelling = kNone;
    key = static_cast<std::uint32_t>(keys_.size() - 1);
    Index(key);
  }
  return key;
}

std::string Registry::PathOf(std::uint32_t key) const {
  std::vector<std::uint32_t> chain;
  for (std::uint32_t k = key; k != kNone; k = keys_[k].parent) {
    chain.push_back(k);
    if (keys_[k].spelling != kNone) break;
  }
  std::string path;
  if (keys_[chain.back()].spelling != kNone) path = spellings_[keys_[chain.back()].spelling] + '\\';
  for (auto k = chain.rbegin(); k != chain.rend(); ++k)
    path += (k == chain.rbegin() ? "" : "\\") + keys_[*k].name;
  return path;
}

bool Registry::HasKey(const std::string& path) const { return Find(path) != kNone; }

bool Registry::AddKey(const std::string& path) {
  std::string why;
  return Add(path, why) != kNone;
}

Registry::Entry* Registry::FindValue(Key& key, const std::string& name) {
  for (Entry& entry : key.entries)
    if (entry.kind != Entry::Comment && EqualNoCase(entry.name, name)) return &entry;
  return nullptr;
}

bool Registry::GetString(const std::string& keyPath, const std::string& name, std::string& data) const {
  const std::uint32_t key = Find(keyPath);
  if (key == kNone) return false;
  for (const Entry& entry : keys_[key].entries) {
    if (entry.kind == Entry::String && EqualNoCase(entry.name, name)) {
      data = entry.data;
      return true;
    }
  }
  return false;
}

void Registry::SetString(const std::string& keyPath, const std::string& name, const std::string& data) {
  const std::uint32_t index = Find(keyPath);
  if (index == kNone) throw std::out_of_range("no registry key " + Shown(keyPath));
  Key& key = keys_[index];
  if (Entry* existing = FindValue(key, name))
    *existing = Entry{Entry::String, existing->name, data};
  else
    key.entries.push_back(Entry{Entry::String, name, data});
}

bool Registry::DeleteValue(const std::string& keyPath, const std::string& name) {
  const std::uint32_t key = Find(keyPath);
  if (key == kNone) return false;
  std::vector<Entry>& entries = keys_[key].entries;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->kind != Entry::Comment && EqualNoCase(it->name, name)) {
      entries.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace qar::sandbox
