// Windows path names: the lexical work of GetFullPathNameA, and the case
// folding that makes "QAR.CAT" and "qar.cat" one name.
#pragma once

#include <string>
#include <vector>

namespace qar::sandbox {

inline char FoldChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::string Fold(const std::string& text);
bool EqualNoCase(const std::string& a, const std::string& b);

// The ANSI code pages: 1252 (the default) and 932 (Japanese), where a lead byte
// starts a two-byte character whose second byte may look like '\' or a letter.
bool IsKnownCodePage(unsigned codePage);
bool IsLeadByte(unsigned codePage, unsigned char byte);
// ASCII letters folded, never the second byte of a two-byte character.
std::string FoldName(const std::string& name, unsigned codePage);

// A full path on one drive: "C:\Windows\System" is {'C', {"Windows", "System"}}.
struct WinPath {
  char drive = 0;                  // 'A'..'Z'
  std::vector<std::string> parts;  // below the root; never "." or ".."
  bool trailingSeparator = false;  // "C:\Windows\" can only name a folder

  std::string ToString() const;  // "C:\Windows\System", "C:\" at the root
};

// Makes `path` full against `cwd`, the current drive's directory, as Windows
// does ("X:rel", "\rel", "rel", '/' as '\', "." and ".." stopping at the
// root, the last name losing trailing dots and spaces), reading characters of
// the code page. False for an empty, UNC or device path, a reserved
// character, a name over 255 characters.
bool ResolveWinPath(const std::string& path, const WinPath& cwd, WinPath& out,
                    unsigned codePage = 1252);

}  // namespace qar::sandbox
