#include "platform/sandbox/WinPath.h"

#include <cstring>

namespace qar::sandbox {

std::string Fold(const std::string& text) {
  std::string folded(text);
  for (char& c : folded) c = FoldChar(c);
  return folded;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

bool IsKnownCodePage(unsigned codePage) {
  return codePage == 1252 || codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

bool IsLeadByte(unsigned codePage, unsigned char byte) {
  if (codePage == 932) return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
  if (codePage == 936 || codePage == 949 || codePage == 950) return byte >= 0x81 && byte <= 0xFE;
  return false;
}

std::string FoldName(const std::string& name, unsigned codePage) {
  std::string folded(name);
  for (std::size_t i = 0; i < folded.size(); ++i) {
    if (IsLeadByte(codePage, static_cast<unsigned char>(folded[i])))
      ++i;
    else
      folded[i] = FoldChar(folded[i]);
  }
  return folded;
}

std::string WinPath::ToString() const {
  std::string text{drive, ':'};
  if (parts.empty()) return text + '\\';
  for (const std::string& part : parts) text += '\\' + part;
  return text;
}

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Characters CreateFileA refuses in a name (ERROR_INVALID_NAME); wildcards
// included, since no operation here takes a pattern.
bool IsReservedChar(char c) {
  return static_cast<unsigned char>(c) < 32 || std::strchr("<>:\"|?*", c) != nullptr;
}

}  // namespace

bool ResolveWinPath(const std::string& path, const WinPath& cwd, WinPath& out, unsigned codePage) {
  if (path.empty()) return false;
  // "\\server\share" and "\\?\..." are not served by the sandbox.
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return false;

  WinPath result;
  std::size_t pos = 0;
  if (path.size() >= 2 && path[1] == ':') {
    if (!IsLetter(path[0])) return false;
    result.drive = static_cast<char>(path[0] & ~0x20);
    pos = 2;
    if (pos < path.size() && IsSeparator(path[pos])) {
      ++pos;
    } else if (result.drive == cwd.drive) {
      result.parts = cwd.parts;  // "C:rel" on the current drive C
    }
  } else if (IsSeparator(path[0])) {
    result.drive = cwd.drive;
    pos = 1;
  } else {
    result.drive = cwd.drive;
    result.parts = cwd.parts;
  }
  if (result.drive == 0) return false;

  // A two-byte character goes whole into its component, whatever its
  // second byte looks like.
  std::vector<std::string> components;
  std::string current;
  bool trailingSeparator = false;
  for (; pos <= path.size(); ++pos) {
    if (pos == path.size() || IsSeparator(path[pos])) {
      components.push_back(current);
      current.clear();
      if (pos < path.size()) trailingSeparator = true;
      continue;
    }
    trailingSeparator = false;
    if (IsLeadByte(codePage, static_cast<unsigned char>(path[pos])) && pos + 1 < path.size()) {
      current += path.substr(pos++, 2);
    } else {
      if (IsReservedChar(path[pos])) return false;
      current += path[pos];
    }
  }
  // components.back() is "" exactly when the path ends in a separator.
  for (std::size_t i = 0; i < components.size(); ++i) {
    std::string part = components[i];
    const bool last = i + 1 == components.size();
    if (last && part != "." && part != "..") {
      while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    }
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!result.parts.empty()) result.parts.pop_back();  // never above the root
      continue;
    }
    if (part.size() > 255) return false;
    result.parts.push_back(part);
  }
  result.trailingSeparator = trailingSeparator;
  out = std::move(result);
  return true;
}

}  // namespace qar::sandbox
