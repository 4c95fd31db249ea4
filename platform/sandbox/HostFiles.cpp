#include "platform/sandbox/HostFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/sandbox/Fd.h"

namespace qar::sandbox {

namespace {

const char kTemporaryTag[] = ".tmp-";
const char kCopyTag[] = ".qar-copy-";
constexpr std::size_t kUniqueLength = 6;

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

// `prefix` + six random letters.
std::string UniqueName(const std::string& prefix) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[kUniqueLength] = {};
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    // Still unique among the attempts below: the exclusive create decides.
    static unsigned counter = 0;
    for (unsigned char& r : random) r = static_cast<unsigned char>(++counter * 37u + getpid());
  }
  std::string name = prefix;
  for (unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
  return name;
}

// Creates `prefix` + six random letters in `dir`, which no one else has
// open: two processes never share a temporary file.
UniqueFd CreateUnique(int dir, const std::string& prefix, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = UniqueName(prefix);
    UniqueFd fd(openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd || errno != EEXIST) return fd;
  }
  return UniqueFd();
}

}  // namespace

bool LockWithin(int fd, std::chrono::steady_clock::time_point deadline) {
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      errno = EWOULDBLOCK;
      return false;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(10));
  }
}

bool ReadMachineFile(const std::string& path, std::string& content, std::string& why, struct stat* readSt) {
  // No link (a link to /dev/zero never ends) and no waiting for a writer on
  // a pipe: the open returns at once and the kind is checked on what it got.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    const int error = errno;
    why = error == ELOOP ? "a symbolic link, not a file" : std::strerror(error);
    errno = error;
    return false;
  }
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) {
    why = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
    errno = EINVAL;
    return false;
  }
  if (st.st_size > kMachineFileLimit) {
    why = "larger than 16 MB";
    errno = EFBIG;
    return false;
  }
  std::string text;
  // One allocation of the size found: growing by doubling would hold two
  // copies of a large file at once.
  text.reserve(static_cast<std::size_t>(st.st_size) + 1);
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd.Get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      why = std::strerror(errno);
      return false;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (static_cast<long long>(text.size()) > kMachineFileLimit) {  // grew while read
      why = "larger than 16 MB";
      errno = EFBIG;
      return false;
    }
  }
  content = std::move(text);
  if (readSt != nullptr) *readSt = st;
  return true;
}

bool IsTemporaryFileOf(const std::string& name, const std::string& file) {
  const std::string prefix = file + kTemporaryTag;
  return name.size() == prefix.size() + kUniqueLength && name.compare(0, prefix.size(), prefix) == 0;
}

bool WriteFileAtomically(const std::string& path, const std::string& content,
                         const std::function<void()>& beforeRename) {
  std::string temporary;
  UniqueFd fd = CreateUnique(AT_FDCWD, path + kTemporaryTag, temporary);
  if (!fd) return false;
  const bool written = fchmod(fd.Get(), 0644) == 0 && WriteAll(fd.Get(), content.data(), content.size()) &&
                       fsync(fd.Get()) == 0;
  if (!fd.Close() || !written) {
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
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) return false;
  const bool written = WriteAll(fd.Get(), content.data(), content.size());
  return fd.Close() && written;
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
// CopyFileA keeps it.
// `close`: false for an unnamed file, which a close would discard.
bool FinishCopy(UniqueFd& out, const struct stat& fromSt, bool ok, bool close = true) {
  const struct timespec times[2] = {{0, UTIME_NOW}, fromSt.st_mtim};
  ok = ok && fchmod(out.Get(), (fromSt.st_mode & 0777) | S_IWUSR) == 0 && futimens(out.Get(), times) == 0;
  return close ? out.Close() && ok : ok;
}

// An unnamed file in `dir`: a copy killed half-way leaves nothing behind.
// Invalid where the file system has no O_TMPFILE.
UniqueFd OpenUnnamed(int dir) { return UniqueFd(openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600)); }

// Gives the unnamed file `fd` the name `name` in `dir`; fails when the name
// exists.
bool LinkUnnamed(int fd, int dir, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  return errno != EEXIST && linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0;
}

// Puts the complete copy `temporary` in place of the existing `toName`.
bool SwapIn(int toDir, const std::string& temporary, const std::string& toName) {
  // Swapping the names replaces the target as atomically as a rename over
  // it does, without ext4 flushing the new file first (auto_da_alloc);
  // the displaced old file is then removed.
  if (renameat2(toDir, temporary.c_str(), toDir, toName.c_str(), RENAME_EXCHANGE) == 0) {
    if (unlinkat(toDir, temporary.c_str(), 0) == 0) return true;
    // What was displaced is no file (a folder raced in): put it back.
    renameat2(toDir, temporary.c_str(), toDir, toName.c_str(), RENAME_EXCHANGE);
  } else if (renameat(toDir, temporary.c_str(), toDir, toName.c_str()) == 0) {
    return true;  // a file system without exchange, or the target has gone
  }
  unlinkat(toDir, temporary.c_str(), 0);
  return false;
}

}  // namespace

bool CopyHostFile(int fromDir, const std::string& fromName, const struct stat& fromSt, int toDir,
                  const std::string& toName, bool replace) {
  UniqueFd in(openat(fromDir, fromName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat inSt;
  // Still the file that was looked at, not something swapped in since.
  if (!in || fstat(in.Get(), &inSt) != 0 || !S_ISREG(inSt.st_mode) || inSt.st_dev != fromSt.st_dev ||
      inSt.st_ino != fromSt.st_ino)
    return false;
  // The contents go to an unnamed file that gets its name only when
  // complete: a kill leaves neither a temporary nor a half target.
  UniqueFd unnamed = OpenUnnamed(toDir);
  if (unnamed) {
    // Locked while it lives, so a clean-up tells its short-lived name from
    // one a killed copy left behind.
    flock(unnamed.Get(), LOCK_EX);
    if (!FinishCopy(unnamed, fromSt, CopyContents(in.Get(), unnamed.Get(), fromSt.st_size), false))
      return false;
    if (!replace) return LinkUnnamed(unnamed.Get(), toDir, toName);
    std::string temporary;
    for (int attempt = 0; attempt < 100; ++attempt) {
      temporary = UniqueName(kCopyTag);
      if (!LinkUnnamed(unnamed.Get(), toDir, temporary)) {
        if (errno == EEXIST) continue;
        return false;
      }
      // Renamed over the target, not exchanged with it: the old file then
      // never has a name of its own that a kill could leave behind.
      if (renameat(toDir, temporary.c_str(), toDir, toName.c_str()) == 0) return true;
      unlinkat(toDir, temporary.c_str(), 0);
      return false;
    }
    return false;
  }
  if (!replace) {
    // No name to protect yet, so no detour through a temporary file.
    UniqueFd out(openat(toDir, toName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) return false;
    if (FinishCopy(out, fromSt, CopyContents(in.Get(), out.Get(), fromSt.st_size))) return true;
    unlinkat(toDir, toName.c_str(), 0);
    return false;
  }
  std::string temporary;
  UniqueFd out = CreateUnique(toDir, kCopyTag, temporary);
  if (!out) return false;
  flock(out.Get(), LOCK_EX);
  if (FinishCopy(out, fromSt, CopyContents(in.Get(), out.Get(), fromSt.st_size)))
    return SwapIn(toDir, temporary, toName);
  unlinkat(toDir, temporary.c_str(), 0);
  return false;
}

void RemoveStaleCopies(int dir, int depth) {
  UniqueFd listFd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listFd) return;
  UniqueDir list(fdopendir(listFd.Get()));
  if (!list) return;
  listFd.Release();  // the listing owns it now
  const std::size_t tag = sizeof kCopyTag - 1;
  while (const struct dirent* entry = readdir(list.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(list.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode) && depth > 0) {
      UniqueFd sub(openat(dirfd(list.get()), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub) RemoveStaleCopies(sub.Get(), depth - 1);
      continue;
    }
    if (!S_ISREG(st.st_mode) || name.size() != tag + kUniqueLength || name.compare(0, tag, kCopyTag) != 0)
      continue;
    // A live copy holds its file locked; the lock dies with its process.
    UniqueFd fd(openat(dirfd(list.get()), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat held;
    if (fd && flock(fd.Get(), LOCK_EX | LOCK_NB) == 0 && fstat(fd.Get(), &held) == 0 &&
        held.st_dev == st.st_dev && held.st_ino == st.st_ino)
      unlinkat(dirfd(list.get()), name.c_str(), 0);
  }
}

bool AppendToFile(const std::string& path, const std::string& text) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat st;
  if (!fd || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // Appenders take turns, so the end found here is the end of the last
  // whole record when the write comes up short.
  if (!LockWithin(fd.Get(), std::chrono::steady_clock::now() + kLockDeadline) || fstat(fd.Get(), &st) != 0)
    return false;
  ssize_t written;
  do written = write(fd.Get(), text.data(), text.size());
  while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(text.size())) return fd.Close();
  // A full disk took part of it: a torn record would merge with the next.
  const int error = written < 0 ? errno : ENOSPC;
  if (written > 0 && ftruncate(fd.Get(), st.st_size) != 0) {
    // Nothing more to do: the cut itself failed.
  }
  errno = error;
  return false;
}

}  // namespace qar::sandbox
