#include "platform/sandbox/HostFiles.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace qar::sandbox {

namespace {

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& content) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  content = std::move(text);
  return true;
}

std::string TemporaryFileFor(const std::string& path) { return path + ".tmp"; }

bool WriteFileAtomically(const std::string& path, const std::string& content,
                         const std::function<void()>& beforeRename) {
  // One fixed name: a temporary file left by a crash is simply overwritten.
  const std::string temporary = TemporaryFileFor(path);
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, content.data(), content.size()) && fsync(fd) == 0;
  if (close(fd) != 0 || !written) {
    unlink(temporary.c_str());
    return false;
  }
  if (beforeRename) beforeRename();
  // The data is on disk before the rename, so the name never points at a
  // half-written file; the rename itself need not be flushed.
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool WriteNewFile(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, content.data(), content.size());
  return close(fd) == 0 && written;
}

namespace {

// Copies the `size` bytes `in` had when it was looked at (fewer if it has
// shrunk since), as CopyFileA copies the size it found: a small file takes
// one sendfile. Read and write stand in where sendfile is not supported.
bool CopyContents(int in, int out, off_t size) {
  bool useSendfile = true;
  while (size > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<off_t>(size, 1 << 30));
    ssize_t got;
    if (useSendfile) {
      got = sendfile(out, in, nullptr, want);
      if (got < 0 && (errno == EINVAL || errno == ENOSYS)) {
        useSendfile = false;
        continue;
      }
    } else {
      char buffer[65536];
      got = read(in, buffer, std::min(want, sizeof buffer));
      if (got > 0 && !WriteAll(out, buffer, static_cast<std::size_t>(got))) return false;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    size -= got;
  }
  return true;
}

// CopyFileA carries the source's read-only attribute over, and every file on
// a CD has it; it is cleared at once so that a re-install can overwrite the
// copy and a removal delete it. The last-write time is the source's, as
// CopyFileA keeps it. Closes `out`.
bool FinishCopy(int out, const struct stat& fromSt, bool ok) {
  const struct timespec times[2] = {{0, UTIME_NOW}, fromSt.st_mtim};
  ok = ok && fchmod(out, (fromSt.st_mode & 0777) | S_IWUSR) == 0 && futimens(out, times) == 0;
  return close(out) == 0 && ok;
}

}  // namespace

bool CopyHostFile(const std::string& from, const struct stat& fromSt, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return false;
  std::string temporary = FolderOf(to) + "/.qar-copy-XXXXXX";
  const int out = mkostemp(temporary.data(), O_CLOEXEC);
  if (out < 0) {
    close(in);
    return false;
  }
  const bool copied = CopyContents(in, out, fromSt.st_size);
  close(in);
  if (FinishCopy(out, fromSt, copied)) {
    // Swapping the names replaces the target as atomically as a rename over
    // it does, without ext4 flushing the new file first (auto_da_alloc);
    // the displaced old file is then removed.
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
      if (unlink(temporary.c_str()) == 0) return true;
      // What was displaced is no file (a folder raced in): put it back.
      renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE);
    } else if (rename(temporary.c_str(), to.c_str()) == 0) {
      return true;  // a file system without exchange, or the target has gone
    }
  }
  unlink(temporary.c_str());
  return false;
}

bool CopyToNewHostFile(const std::string& from, const struct stat& fromSt, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return false;
  // No name to protect yet, so no detour through a temporary file.
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0) {
    close(in);
    return false;
  }
  const bool copied = CopyContents(in, out, fromSt.st_size);
  close(in);
  if (FinishCopy(out, fromSt, copied)) return true;
  unlink(to.c_str());
  return false;
}

bool AppendToFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, text.data(), text.size());
  return close(fd) == 0 && ok;
}

}  // namespace qar::sandbox
