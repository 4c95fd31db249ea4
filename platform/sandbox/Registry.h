// The sandbox's registry: HKEY_LOCAL_MACHINE as a REGEDIT4 text file, the
// format regedit exports, so that a machine's registry can be read, diffed
// and edited by hand. Values other than strings are kept as written.
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

// Key paths here are full ("HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft") and
// compared case-insensitively, like value names.
class Registry {
 public:
  static constexpr const char* kMachineRoot = "HKEY_LOCAL_MACHINE";

  // Throws SandboxError "<fileName>:<line>: <what is wrong>".
  static Registry Parse(const std::string& text, const std::string& fileName);
  std::string Format() const;

  bool HasKey(const std::string& path) const { return keys_.count(path) != 0; }
  // Adds the key and any missing parent; false for a malformed path.
  bool AddKey(const std::string& path);
  // False when the key or the value is missing or the value is not a string.
  bool GetString(const std::string& key, const std::string& name, std::string& data) const;
  // An existing value keeps its name's case and place. False when the key is
  // missing, or the name or data would not fit on one line of the file.
  bool SetString(const std::string& key, const std::string& name, const std::string& data);
  bool DeleteValue(const std::string& key, const std::string& name);

 private:
  struct Entry {
    enum Kind { String, Raw, Comment } kind = String;
    std::string name;  // "" for the default value "@"
    // String: the data. Raw: the text after '=' as written, continuation
    // lines included (CR LF between them). Comment: the whole line.
    std::string data;
  };
  using Key = std::vector<Entry>;
  // Full paths compared as the registry compares them, in the order regedit
  // writes keys: each key right before its subkeys.
  struct KeyOrder {
    bool operator()(const std::string& a, const std::string& b) const;
  };

  // Each throws SandboxError naming the line.
  Key* ReadKeyLine(const std::string& line, std::size_t start, const Lines& lines);
  static Entry ReadValueLine(const std::string& line, std::size_t start, Lines& lines);
  Key* Find(const std::string& path);
  // Adds the key and its missing parents; null with `why` set for a path a
  // registry cannot hold, or one that would make the file too large.
  Key* Add(const std::string& path, std::string& why);
  static Entry* FindValue(Key& key, const std::string& name);

  std::vector<std::string> preamble_;  // comment lines before the first key
  // By path as first written; looked up in any case.
  std::map<std::string, Key, KeyOrder> keys_;
  std::size_t keyBytes_ = 0;  // what the key lines take when written
};

}  // namespace qar::sandbox
