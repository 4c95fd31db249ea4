#include "platform/sandbox/WinPath.h"

#include <cstring>

namespace qar::sandbox {

bool IsKnownCodePage(unsigned codePage) { return codePage == 1252 || codePage == 932; }

bool IsLeadByte(unsigned codePage, unsigned char byte) {
  return codePage == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

std::string FoldName(const std::string& name, unsigned codePage) {
  std::string folded(name);
  for (std::size_t i = 0; i < folded.size(); ++i)
    if (IsLeadByte(codePage, static_cast<unsigned char>(folded[i])))
      ++i;
    else
      folded[i] = FoldChar(folded[i]);
  return folded;
}

std::string Fold(const std::string& text) { return FoldName(text, 1252); }

bool EqualNoCase(const std::string& a, const std::string& b) { return Fold(a) == Fold(b); }

std::string WinPath::ToString() const {
  std::string text{drive, ':'};
  if (parts.empty()) return text + '\\';
  for (const std::string& part : parts) text += '\\' + part;
  return text;
}

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// What CreateFileA refuses in a name (ERROR_INVALID_NAME); wildcards too,
// as no operation here takes a pattern.
bool IsReservedChar(char c) {
  return static_cast<unsigned char>(c) < 32 || std::strchr("<>:\"|?*", c) != nullptr;
}

}  // namespace

bool ResolveWinPath(const std::string& path, const WinPath& cwd, WinPath& out, unsigned codePage) {
  if (path.empty()) return false;
  // "\\server\share" and "\\?\..." are not served by the sandbox.
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return false;

  // "rel" and "C:rel" on the current drive C start from its directory.
  WinPath result{cwd.drive, cwd.parts};
  std::size_t pos = 0;
  if (path.size() >= 2 && path[1] == ':') {
    if (!IsLetter(path[0])) return false;
    result.drive = static_cast<char>(path[0] & ~0x20);
    if (result.drive != cwd.drive) result.parts.clear();
    pos = 2;
  }
  if (pos < path.size() && IsSeparator(path[pos])) {
    result.parts.clear();
    ++pos;
  }
  if (result.drive == 0) return false;

  // A two-byte character goes whole into its name, whatever its second
  // byte. The last name loses trailing dots and spaces.
  std::string part;
  result.trailingSeparator = pos > 0 && IsSeparator(path[pos - 1]);
  for (; pos <= path.size(); ++pos) {
    const bool end = pos == path.size();
    if (!end && !IsSeparator(path[pos])) {
      if (IsLeadByte(codePage, static_cast<unsigned char>(path[pos])) && pos + 1 < path.size())
        part += path[pos++];
      else if (IsReservedChar(path[pos]))
        return false;
      part += path[pos];
      result.trailingSeparator = false;
      continue;
    }
    if (!end) result.trailingSeparator = true;
    if (end && part != "." && part != "..")
      while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    // Never above the root.
    if (part == ".." && !result.parts.empty()) result.parts.pop_back();
    if (part.size() > 255) return false;
    if (!part.empty() && part != "." && part != "..") result.parts.push_back(part);
    part.clear();
  }
  out = std::move(result);
  return true;
}

}  // namespace qar::sandbox
