// The sandbox's registry: keys and values as a REGEDIT4 text file, the format
// regedit exports, so that a machine's registry can be read, diffed and
// edited by hand. Values other than strings are kept as written.
#pragma once

#include <cstdint>
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
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  // One key, stored once: its own name, not its path, so a deep key costs
  // what its line costs.
  struct Key {
    std::string name;                // as first written
    std::uint32_t parent = kNone;    // kNone for a root key
    std::uint32_t spelling = kNone;  // into spellings_: the parent's path as
                                     // this key was first written, where it
                                     // differs from the parent's own
    std::vector<Entry> entries;
  };

  // The key of `parent` named `name` (any case), or kNone.
  std::uint32_t Child(std::uint32_t parent, const std::string& name) const;
  std::uint32_t Find(const std::string& path) const;
  // Adds the key and its missing parents; kNone with `why` set for a path a
  // registry cannot hold.
  std::uint32_t Add(const std::string& path, std::string& why);
  // The key's path as first written.
  std::string PathOf(std::uint32_t key) const;
  void Index(std::uint32_t key);
  Entry* FindValue(Key& key, const std::string& name);

  std::vector<std::string> preamble_;  // comment lines before the first key
  std::vector<Key> keys_;
  std::vector<std::string> spellings_;
  std::vector<std::uint32_t> slots_;  // open addressing over (parent, folded name)
};

}  // namespace qar::sandbox
