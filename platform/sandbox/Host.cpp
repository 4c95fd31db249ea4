#include "platform/sandbox/Host.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

namespace qar::sandbox {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

HostEntry::Kind KindOf(const struct stat& st) {
  return S_ISREG(st.st_mode)   ? HostEntry::File
         : S_ISDIR(st.st_mode) ? HostEntry::Folder
                               : HostEntry::Refused;
}

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno != EINTR) return false;
    const std::size_t done = written > 0 ? static_cast<std::size_t>(written) : 0;
    data += done, size -= done;
  }
  return true;
}

}  // namespace

HostTree::HostTree(UniqueFd machineFolder, std::string machinePath, const Settings& settings)
    : machine_(std::move(machineFolder)),
      machinePath_(std::move(machinePath)),
      settings_(settings) {
  if (fstat(machine_.Get(), &machineSt_) != 0) machineSt_ = {};
}

// Judged on the folder opened, not on a name that may change meanwhile.
bool HostTree::Overlaps(int folder) const {
  std::error_code error;
  const std::string path =
      std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(folder), error);
  struct stat st;
  if (error || fstat(folder, &st) != 0 || SameEntry(st, machineSt_)) return true;
  const auto within = [](const std::string& a, const std::string& b) {
    return b == "/" || (a + '/').rfind(b + '/', 0) == 0;
  };
  return within(path, machinePath_) || within(machinePath_, path);
}

bool HostTree::Overlaps(const std::string& hostFolder) const {
  UniqueFd folder(open(hostFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return folder && Overlaps(folder.Get());
}

UniqueFd HostTree::OpenDrive(char letter, bool& readOnly, std::string& hostPath) const {
  const auto mapped = settings_.drives.find(letter);
  if (mapped == settings_.drives.end()) {
    // A native drive is a real folder of the machine, never a link out of it.
    hostPath = machinePath_ + '/' + letter;
    return UniqueFd(openat(machine_.Get(), std::string(1, letter).c_str(), kFolderFlags));
  }
  readOnly = mapped->second.readOnly;
  hostPath = mapped->second.hostFolder;
  // Opened anew each time and checked by identity: the folder may have been
  // replaced by a link to the machine's own files since it was mapped.
  UniqueFd drive(open(hostPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!drive || Overlaps(drive.Get())) return UniqueFd();
  return drive;
}

bool HostTree::FindName(int dir, const std::string& part, std::string& name,
                        struct stat& st) const {
  if (fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    name = part;
    return true;
  }
  if (errno != ENOENT) return false;
  UniqueFd listFd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::unique_ptr<DIR, int (*)(DIR*)> list(listFd ? fdopendir(listFd.Get()) : nullptr, closedir);
  if (!list) return false;
  listFd.Release();  // the listing owns it now
  const std::string folded = FoldName(part, settings_.codePage);
  bool found = false;
  while (const struct dirent* entry = readdir(list.get())) {
    const std::string candidate = entry->d_name;
    if (candidate.size() != part.size() || FoldName(candidate, settings_.codePage) != folded)
      continue;
    if (!found || candidate < name) name = candidate;
    found = true;
  }
  errno = ENOENT;  // when nothing folds alike
  return found && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

HostEntry HostTree::Lookup(const WinPath& path) const {
  HostEntry entry;
  UniqueFd dir = OpenDrive(path.drive, entry.readOnlyDrive, entry.host);
  if (!dir)
    entry.kind = HostEntry::NoDrive;
  else if (path.parts.empty() && fstat(dir.Get(), &entry.st) == 0)
    entry.kind = HostEntry::Folder;
  for (std::size_t i = 0; dir && i < path.parts.size(); ++i) {
    std::string name = path.parts[i];
    struct stat st {};
    const bool found = FindName(dir.Get(), path.parts[i], name, st);
    // A link is never followed, wherever it points.
    if ((!found && errno != ENOENT) || S_ISLNK(st.st_mode)) return entry;
    entry.host += '/' + name;
    if (i + 1 == path.parts.size()) {
      entry.kind = found ? KindOf(st) : HostEntry::Missing;
      entry.st = st;
      entry.folder = std::move(dir);
      entry.name = name;
      return entry;
    }
    if (!found || !S_ISDIR(st.st_mode)) {
      entry.kind = HostEntry::NoParent;
      for (std::size_t j = i + 1; j < path.parts.size(); ++j) entry.host += '/' + path.parts[j];
      return entry;
    }
    // Swapped for a link since the look: O_NOFOLLOW refuses it. The machine
    // folder itself (bind-mounted inside a drive) is never entered.
    UniqueFd next(openat(dir.Get(), name.c_str(), kFolderFlags));
    if (!next || fstat(next.Get(), &st) != 0 || SameEntry(st, machineSt_)) return entry;
    dir = std::move(next);
  }
  return entry;
}

bool ReadMachineFile(const std::string& path, std::string& content, std::string& why) {
  // No link (a link to /dev/zero never ends) and no waiting for a writer on
  // a pipe: the open returns at once and the kind is checked on what it got.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd || fstat(fd.Get(), &st) != 0)
    return why = errno == ELOOP ? "a symbolic link, not a file" : std::strerror(errno), false;
  if (!S_ISREG(st.st_mode)) return why = "not a regular file", errno = EINVAL, false;
  // One allocation: growing by doubling would hold two copies of a large file.
  std::string text;
  text.reserve(static_cast<std::size_t>(std::min<off_t>(st.st_size, kMachineFileLimit)) + 1);
  char buffer[65536];
  for (ssize_t got; (got = read(fd.Get(), buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno != EINTR) return why = std::strerror(errno), false;
    if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    // A file that grew while it was read counts too.
    if (static_cast<long long>(text.size()) > kMachineFileLimit)
      return why = "larger than 16 MB", errno = EFBIG, false;
  }
  content = std::move(text);
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& content,
                         const std::function<void()>& beforeRename) {
  // The machine has one process, so one temporary name serves.
  const std::string temporary = path + ".tmp";
  UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  const bool written =
      fd && WriteAll(fd.Get(), content.data(), content.size()) && fsync(fd.Get()) == 0;
  if (fd.Close() && written) {
    if (beforeRename) beforeRename();
    if (rename(temporary.c_str(), path.c_str()) == 0) return true;
  }
  unlink(temporary.c_str());
  return false;
}

bool AppendToFile(const std::string& path, const std::string& text) {
  UniqueFd fd(open(path.c_str(),
                   O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat st;
  if (!fd || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  ssize_t written;
  do written = write(fd.Get(), text.data(), text.size());
  while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(text.size())) return fd.Close();
  // A full disk took part of it: cut away, as a torn record would merge with the next.
  if (written >= 0) errno = ftruncate(fd.Get(), st.st_size) == 0 ? ENOSPC : errno;
  return false;
}

CopyResult CopyHostFile(int fromDir, const std::string& fromName, int toDir,
                        const std::string& toName, const CopyFaults& faults) {
  const CopyResult source{CopyResult::Source}, target{CopyResult::Target};
  UniqueFd in(openat(fromDir, fromName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat inSt;
  if (!in || fstat(in.Get(), &inSt) != 0 || !S_ISREG(inSt.st_mode)) return source;
  UniqueFd out(
      openat(toDir, toName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
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
  if (!result) unlinkat(toDir, toName.c_str(), 0);
  return result;
}

}  // namespace qar::sandbox
