// Windows path names as the sandbox reads them: the lexical work that
// GetFullPathNameA does before any file system is asked, and the ASCII case
// folding that makes "QAR.CAT" and "qar.cat" one name.
#pragma once

#include <string>
#include <vector>

namespace qar::sandbox {

inline char FoldChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::string Fold(const std::string& text);
bool EqualNoCase(const std::string& a, const std::string& b);

// The ANSI code pages the machine can have: 1252 (Western, the default) and
// 932 (Japanese), whose characters take one or two bytes.
bool IsKnownCodePage(unsigned codePage);
// Whether `byte` starts a two-byte character: the byte after it is part of
// that character, however much it looks like a backslash or a letter.
bool IsLeadByte(unsigned codePage, unsigned char byte);
// A file name folded as Windows compares it: ASCII letters, but never the
// second byte of a two-byte character.
std::string FoldName(const std::string& name, unsigned codePage);

// A full path on one drive: "C:\Windows\System" is {'C', {"Windows", "System"}}.
struct WinPath {
  char drive = 0;                  // 'A'..'Z'
  std::vector<std::string> parts;  // below the root; never "." or ".."
  bool trailingSeparator = false;  // "C:\Windows\" can only name a folder

  std::string ToString() const;  // "C:\Windows\System", "C:\" at the root
};

// Makes `path` full against `cwd`, the current directory of the current
// drive, as Windows does: '/' separates like '\'; "X:rel" is relative to the
// current directory when X is the current drive and to X's root otherwise;
// "\rel" starts at the current drive's root; "." and ".." are lexical and stop
// at the root; the last component loses trailing dots and spaces. False for
// what Windows rejects or what the sandbox does not serve: an empty path, UNC
// and device paths, reserved characters, components over 255 characters.
// Separators and reserved characters are looked for by characters of the
// code page, not by bytes.
bool ResolveWinPath(const std::string& path, const WinPath& cwd, WinPath& out, unsigned codePage = 1252);

}  // namespace qar::sandbox
