#include "platform/sandbox/DriveTree.h"

#include <fcntl.h>

#include <cerrno>

namespace qar::sandbox {

namespace {

// Every byte of `in` onto `out`, as far as the faults let it.
CopyResult Pour(int in, int out, Faults& faults) {
  char buffer[65536];
  for (;;) {
    const std::uint64_t want = faults.MayRead(sizeof buffer);
    if (want == 0) return {CopyResult::Source};
    const ssize_t got = read(in, buffer, want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {CopyResult::Source};
    if (got == 0) return {};
    const std::uint64_t put = faults.MayWrite(got);
    const bool written = WriteAll(out, buffer, put);
    faults.Wrote(put);
    if (!written || put < static_cast<std::uint64_t>(got)) return {CopyResult::Target};
  }
}

// The source's mode, made writable as ClearAttributes would (a re-install
// overwrites the copy, a removal deletes it), and its last-write time where
// the file system can set times.
bool TakeAttributes(int out, const struct stat& source) {
  if (fchmod(out, (source.st_mode & 0777) | S_IWUSR) != 0) return false;
  const struct timespec times[2] = {{0, UTIME_NOW}, source.st_mtim};
  return futimens(out, times) == 0 || Unsupported(errno);
}

}  // namespace

CopyResult CopyDriveFile(const DriveEntry& from, const DriveEntry& to, Faults& faults) {
  const int inFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd in(openat(from.folder.Get(), from.name.c_str(), inFlags));
  struct stat inSt;
  if (!in || fstat(in.Get(), &inSt) != 0 || !S_ISREG(inSt.st_mode)) return {CopyResult::Source};
  const int outFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd out(openat(to.folder.Get(), to.name.c_str(), outFlags, 0600));
  if (!out) return {CopyResult::Target};
  CopyResult result = Pour(in.Get(), out.Get(), faults);
  const bool kept = TakeAttributes(out.Get(), inSt);
  if ((!out.Close() || !kept) && result) result = {CopyResult::Target};
  if (!result) unlinkat(to.folder.Get(), to.name.c_str(), 0);
  return result;
}

}  // namespace qar::sandbox
