// Windows path names, made full as GetFullPathNameA does, and folded.
#pragma once

#include <string>
#include <vector>

namespace qar::sandbox {

inline char FoldChar(char c) {
  if (c < 'A' || c > 'Z') return c;
  return static_cast<char>(c - 'A' + 'a');
}
std::string Fold(const std::string& text);
bool EqualNoCase(const std::string& a, const std::string& b);

// 1252 and 932, where a lead byte starts a two-byte character whose second
// byte may look like '\' or a letter.
bool IsKnownCodePage(unsigned codePage);
bool IsLeadByte(unsigned codePage, unsigned char byte);
// ASCII letters folded, never the second byte of a two-byte character.
std::string FoldName(const std::string& name, unsigned codePage);

// "C:\Windows\System" is {'C', {"Windows", "System"}}.
struct WinPath {
  char drive = 0;                  // 'A'..'Z'
  std::vector<std::string> parts;  // below the root; never "." or ".."
  bool trailingSeparator = false;  // "C:\Windows\" can only name a folder

  std::string ToString() const;  // "C:\Windows\System", "C:\" at the root
};

// Makes `path` full against `cwd`, the current drive's directory. False
// where Windows refuses it.
bool ResolveWinPath(const std::string& path, const WinPath& cwd, WinPath& out,
                    unsigned codePage = 1252);

}  // namespace qar::sandbox
