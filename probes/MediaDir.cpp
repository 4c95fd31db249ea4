#include "probes/MediaDir.h"

namespace qar {

std::string GetMediaDir(Platform& platform) {
  std::string dir = "X:\\";
  dir[0] = static_cast<char>('A' + platform.GetCurrentDrive());
  // The whole current directory, however long: a truncated one would copy
  // from and open files in the wrong folder.
  std::string current;
  if (platform.GetCurrentDir(current)) dir += current;
  return dir;
}

namespace {

// The bytes of the character that starts at `at`: two for a lead byte and
// the byte after it; a lead byte that ends the text stands alone.
std::size_t CharLength(Platform& platform, const std::string& text, std::size_t at) {
  return platform.IsLeadByte(text[at]) && at + 1 < text.size() ? 2 : 1;
}

}  // namespace

std::string RightChars(Platform& platform, const std::string& text, std::size_t n) {
  // Characters are counted from the start of the text: a byte in the trail
  // range may be a character of its own or the second half of one.
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size(); at += CharLength(platform, text, at)) ++count;
  if (count <= n) return text;
  std::size_t start = 0;
  for (std::size_t skip = count - n; skip > 0; --skip) start += CharLength(platform, text, start);
  return text.substr(start);
}

std::string MediaPath(Platform& platform, const std::string& dir, const std::string& relative) {
  if (RightChars(platform, dir, 1) != "\\") return dir + "\\" + relative;
  return dir + relative;
}

}  // namespace qar
