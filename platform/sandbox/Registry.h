// HKEY_LOCAL_MACHINE as a REGEDIT4 file, as regedit exports it, for reading
// and editing by hand. Values but strings are kept as written.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qar::sandbox {

class Lines;

// A key path below HKEY_LOCAL_MACHINE as the registry takes it:
// "\SOFTWARE\x" and "SOFTWARE\\x\" are "SOFTWARE\x"; "" is the root key.
// Backslashes after the first leading one stay: they make an empty name.
std::string RelativeKeyPath(const std::string& path);

// Key paths are full ("HKEY_LOCAL_MACHINE\SOFTWARE") and, like value names,
// case-insensitive.
class Registry {
 public:
  static constexpr const char* kMachineRoot = "HKEY_LOCAL_MACHINE";

  static Registry Parse(const std::string& text, const std::string& fileName);
  std::string Format() const;

  bool HasKey(const std::string& path) const { return keys_.count(path) != 0; }
  bool AddKey(const std::string& path);
  bool GetString(const std::string& key, const std::string& name, std::string& data) const;
  // False when the name or data would not fit on a line.
  bool SetString(const std::string& key, const std::string& name, const std::string& data);
  bool DeleteValue(const std::string& key, const std::string& name);

 private:
  struct Entry {
    enum Kind { String, Raw, Comment } kind = String;
    std::string name;  // "" for the default value "@"
    // String: the data. Raw: the text after '=', continuation lines and
    // all (CR LF between them). Comment: the whole line.
    std::string data;
  };
  using Key = std::vector<Entry>;
  // Regedit's order: each key right before its subkeys.
  struct KeyOrder {
    bool operator()(const std::string& a, const std::string& b) const;
  };

  Key* ReadKeyLine(const std::string& line, std::size_t start, const Lines& lines);
  static Entry ReadValueLine(const std::string& line, std::size_t start, Lines& lines);
  Key* Find(const std::string& path);
  // With its missing parents; null, `why` set, for a path no registry holds.
  Key* Add(const std::string& path, std::string& why);
  static Entry* FindValue(Key& key, const std::string& name);

  std::vector<std::string> preamble_;  // comment lines before the first key
  std::map<std::string, Key, KeyOrder> keys_;
  std::size_t keyBytes_ = 0;  // what the key lines take when written
};

}  // namespace qar::sandbox
