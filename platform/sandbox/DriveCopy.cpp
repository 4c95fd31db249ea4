#include "platform/sandbox/DriveCopy.h"

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>

namespace qar::sandbox {

CopyResult CopyDriveFile(const DriveEntry& from, const DriveEntry& to, const CopyFaults& faults) {
  const CopyResult source{CopyResult::Source}, target{CopyResult::Target};
  const int inFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd in(openat(from.folder.Get(), from.name.c_str(), inFlags));
  struct stat inSt;
  if (!in || fstat(in.Get(), &inSt) != 0 || !S_ISREG(inSt.st_mode)) return source;
  const int outFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd out(openat(to.folder.Get(), to.name.c_str(), outFlags, 0600));
  if (!out) return target;
  CopyResult result;
  long long read = 0, written = 0;
  char buffer[65536];
  for (;;) {
    long long want = sizeof buffer;
    if (faults.readable >= 0) want = std::min(want, faults.readable - read);
    errno = EIO;  // what a scratched CD gives
    const ssize_t got = want > 0 ? ::read(in.Get(), buffer, static_cast<std::size_t>(want)) : -1;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) result = source;
      break;
    }
    read += got;
    long long put = got;
    if (faults.stopAt >= 0) put = std::min(put, faults.stopAt - written);
    if (faults.diskLeft != nullptr) put = std::min(put, *faults.diskLeft);
    if (!WriteAll(out.Get(), buffer, static_cast<std::size_t>(put))) result = target;
    written += put;
    if (faults.diskLeft != nullptr) *faults.diskLeft -= put;
    // A kill mid-copy: what reached the target stays.
    if (written == faults.stopAt) kill(getpid(), SIGKILL);
    if (put < got) result = target;  // the disk is full
    if (!result) break;
  }
  // CopyFileA carries over the read-only attribute every CD file has; it is cleared so that a
  // re-install can overwrite the copy and a removal delete it. The last-write time is the source's.
  const struct timespec times[2] = {{0, UTIME_NOW}, inSt.st_mtim};
  if (fchmod(out.Get(), (inSt.st_mode & 0777) | S_IWUSR) != 0 || futimens(out.Get(), times) != 0 ||
      !out.Close())
    result = result ? target : result;
  if (!result) unlinkat(to.folder.Get(), to.name.c_str(), 0);
  return result;
}

}  // namespace qar::sandbox
