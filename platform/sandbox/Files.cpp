#include "platform/sandbox/Files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qar::sandbox {

namespace {

[[noreturn]] void CannotRead(int folder, const std::string& name, const std::string& why) {
  throw SandboxError("cannot read " + PathNow(folder) + "/" + name + ": " + why);
}

// A file system that cannot flush has nothing more to give.
bool Flush(int fd) { return fsync(fd) == 0 || Unsupported(errno); }

}  // namespace

std::string PathNow(int fd) {
  std::error_code error;
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  return std::filesystem::read_symlink(link, error).string();
}

bool Unsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOLCK;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno != EINTR) return false;
    const std::size_t done = written > 0 ? static_cast<std::size_t>(written) : 0;
    data += done;
    size -= done;
  }
  return true;
}

bool ReadMachineFile(int folder, const std::string& name, std::string& content) {
  // No link (to /dev/zero: no end) and no waiting for a pipe's writer.
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd fd(openat(folder, name.c_str(), flags));
  if (!fd && errno == ENOENT) return false;
  if (!fd && errno == ELOOP) CannotRead(folder, name, "a symbolic link, not a file");
  struct stat st;
  if (!fd || fstat(fd.Get(), &st) != 0) CannotRead(folder, name, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) CannotRead(folder, name, "not a regular file");
  // One allocation, not two copies of a large file.
  std::string text;
  text.reserve(static_cast<std::size_t>(std::min<off_t>(st.st_size, kMachineFileLimit)) + 1);
  char buffer[65536];
  for (ssize_t got; (got = read(fd.Get(), buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno != EINTR) CannotRead(folder, name, std::strerror(errno));
    if (got > 0) text.append(buffer, got);
    // A file that grew while it was read counts too.
    if (static_cast<long long>(text.size()) > kMachineFileLimit)
      CannotRead(folder, name, "larger than 16 MB");
  }
  content = std::move(text);
  return true;
}

bool WriteFileAtomically(int folder, const std::string& name, const std::string& content,
                         const std::function<void()>& beforeRename) {
  // The machine has one process, so one temporary name serves.
  const std::string temporary = name + ".tmp";
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd fd(openat(folder, temporary.c_str(), flags, 0644));
  const bool written = fd && WriteAll(fd.Get(), content.data(), content.size()) && Flush(fd.Get());
  if (fd.Close() && written) {
    if (beforeRename) beforeRename();
    if (renameat(folder, temporary.c_str(), folder, name.c_str()) == 0) return true;
  }
  unlinkat(folder, temporary.c_str(), 0);
  return false;
}

bool AppendToFile(int folder, const std::string& name, const std::string& text) {
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd fd(openat(folder, name.c_str(), flags, 0644));
  struct stat st;
  if (!fd || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  ssize_t written;
  do written = write(fd.Get(), text.data(), text.size());
  while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(text.size())) return fd.Close();
  // A torn record would merge with the next: cut it away.
  if (written >= 0 && ftruncate(fd.Get(), st.st_size) == 0) errno = ENOSPC;
  return false;
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool Lines::Next(std::string& line) {
  if (pos_ > text_.size()) return false;
  const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
  const bool crlf = end > pos_ && text_[end - 1] == '\r';
  line.assign(text_, pos_, end - pos_ - (crlf ? 1 : 0));
  pos_ = end + 1;
  ++number_;
  return true;
}

void Lines::Fail(const std::string& what, std::size_t line) const {
  const std::size_t number = line != 0 ? line : number_;
  throw SandboxError(fileName_ + ":" + std::to_string(number) + ": " + what);
}

std::string Lines::Quoted(const std::string& line, std::size_t& pos) const {
  std::string out;
  for (++pos; pos < line.size(); ++pos) {
    if (line[pos] == '"') {
      ++pos;
      return out;
    }
    if (line[pos] == '\\') {
      ++pos;
      if (pos >= line.size() || (line[pos] != '\\' && line[pos] != '"'))
        Fail("unknown escape in a quoted string (only \\\\ and \\\" are valid)");
    }
    out += line[pos];
  }
  Fail("unterminated quoted string");
}

std::string QuoteString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

}  // namespace qar::sandbox
