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

std::string RightChars(const std::string& text, std::size_t n) {
  if (text.size() <= n) return text;
  return text.substr(text.size() - n);
}

std::string MediaPath(const std::string& dir, const std::string& relative) {
  if (RightChars(dir, 1) != "\\") return dir + "\\" + relative;
  return dir + relative;
}

}  // namespace qar
