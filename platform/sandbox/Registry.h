// The sandbox's registry: keys and values as a REGEDIT4 text file, the format
// regedit exports, so that a machine's registry can be read, diffed and
// edited by hand. Values other than strings are kept as written.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qar::sandbox {

// Key paths here are full ("HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft") and
// compared case-insensitively, like value names.
class Registry {
 public:
  static constexpr const char* kMachineRoot = "HKEY_LOCAL_MACHINE";

  // Throws SandboxError "<fileName>:<line>: <what is wrong>".
  static Registry Parse(const std::string& text, const std::string& fileName);
  std::string Format() const;

  bool HasKey(const std::string& path) const;
  // Adds the key and any missing parent; false for a malformed path.
  bool AddKey(const std::string& path);
  // False when the key or the value is missing or the value is not a string.
  bool GetString(const std::string& key, const std::string& name, std::string& data) const;
  // The key must exist; an existing value keeps its name's case and place.
  void SetString(const std::string& key, const std::string& name, const std::string& data);
  bool DeleteValue(const std::string& key, const std::string& name);

 private:
  struct Entry {
    enum Kind { String, Raw, Comment } kind = String;
    std::string name;  // "" for the default value "@"
    // String: the data. Raw: the text after '=' as written, continuation
    // lines included. Comment: the whole line.
    std::string data;
  };
  struct Key {
    std::string path;  // as first written
    std::vector<Entry> entries;
  };
  // Orders keys as regedit exports them: each key right before its subkeys.
  struct TreeOrder {
    bool operator()(const std::string& a, const std::string& b) const;
  };

  Entry* FindValue(Key& key, const std::string& name);

  std::vector<std::string> preamble_;           // comment lines before the first key
  std::map<std::string, Key, TreeOrder> keys_;  // by folded path
};

}  // namespace qar::sandbox
