#include "platform/sandbox/HostTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>

namespace qar::sandbox {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

HostEntry::Kind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return HostEntry::File;
  if (S_ISDIR(st.st_mode)) return HostEntry::Folder;
  return HostEntry::Other;
}

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `fd` or one of the folders above it is `target`.
bool AtOrBelow(int fd, const struct stat& target) {
  UniqueFd current(openat(fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  for (int depth = 0; current && depth < 4096; ++depth) {
    if (fstat(current.Get(), &st) != 0) return true;
    if (SameEntry(st, target)) return true;
    UniqueFd up(openat(current.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat upSt;
    if (!up || fstat(up.Get(), &upSt) != 0) return true;
    if (SameEntry(upSt, st)) return false;  // the root
    current = std::move(up);
  }
  return true;  // unanswerable counts as overlapping
}

}  // namespace

HostTree::HostTree(UniqueFd machineFolder, std::string machinePath)
    : machine_(std::move(machineFolder)), machinePath_(std::move(machinePath)) {
  if (fstat(machine_.Get(), &machineSt_) != 0) machineSt_ = {};
}

void HostTree::MapDrive(char letter, const std::string& hostFolder, bool readOnly) {
  if (hostFolder.empty())
    mapped_.erase(letter);
  else
    mapped_[letter] = Drive{hostFolder, readOnly};
}

bool HostTree::Overlap(int a, int b) {
  struct stat aSt, bSt;
  if (fstat(a, &aSt) != 0 || fstat(b, &bSt) != 0) return true;
  return AtOrBelow(a, bSt) || AtOrBelow(b, aSt);
}

UniqueFd HostTree::OpenDrive(char letter, bool& readOnly, std::string& hostPath) const {
  auto mapped = mapped_.find(letter);
  if (mapped == mapped_.end()) {
    // A native drive is a real folder of the machine, never a link out of it.
    readOnly = false;
    hostPath = machinePath_ + '/' + letter;
    return UniqueFd(openat(machine_.Get(), std::string(1, letter).c_str(), kFolderFlags));
  }
  readOnly = mapped->second.readOnly;
  // Opened anew each time and checked by identity: the folder may have been
  // replaced by a link to the machine's own files since it was mapped.
  UniqueFd drive(open(mapped->second.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!drive || Overlap(drive.Get(), machine_.Get())) return UniqueFd();
  // The real path of the very folder opened, for showing.
  char real[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(drive.Get());
  const ssize_t size = readlink(self.c_str(), real, sizeof real - 1);
  hostPath = size > 0 ? std::string(real, static_cast<std::size_t>(size)) : mapped->second.folder;
  return drive;
}

bool HostTree::FindName(int dir, const std::string& part, std::string& name, struct stat& st) const {
  if (fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    name = part;
    return true;
  }
  if (errno != ENOENT) return false;
  UniqueFd listFd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listFd) return false;
  UniqueDir list(fdopendir(listFd.Get()));
  if (!list) return false;
  listFd.Release();  // the listing owns it now
  const std::string folded = FoldName(part, codePage_);
  bool found = false;
  while (const struct dirent* entry = readdir(list.get())) {
    const std::string candidate = entry->d_name;
    if (candidate.size() != part.size() || FoldName(candidate, codePage_) != folded) continue;
    if (!found || candidate < name) name = candidate;
    found = true;
  }
  if (found) return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  errno = ENOENT;
  return false;
}

HostEntry HostTree::Lookup(const WinPath& path) const {
  HostEntry entry;
  std::string host;
  UniqueFd dir = OpenDrive(path.drive, entry.readOnlyDrive, host);
  if (!dir) {
    entry.kind = HostEntry::NoDrive;
    return entry;
  }
  if (path.parts.empty()) {
    if (fstat(dir.Get(), &entry.st) == 0) entry.kind = HostEntry::Folder;
    entry.host = host;
    return entry;
  }
  for (std::size_t i = 0; i < path.parts.size(); ++i) {
    const bool last = i + 1 == path.parts.size();
    std::string name;
    struct stat st;
    if (!FindName(dir.Get(), path.parts[i], name, st)) {
      if (errno != ENOENT) return entry;
      entry.kind = last ? HostEntry::Missing : HostEntry::NoParent;
      entry.host = host;
      for (std::size_t j = i; j < path.parts.size(); ++j) entry.host += '/' + path.parts[j];
      if (last) {
        entry.folder = std::move(dir);
        entry.name = path.parts[i];
      }
      return entry;
    }
    // A link is never followed, wherever it points.
    if (S_ISLNK(st.st_mode)) return entry;
    host += '/' + name;
    if (last) {
      entry.kind = KindOf(st);
      entry.st = st;
      entry.host = host;
      entry.folder = std::move(dir);
      entry.name = name;
      return entry;
    }
    if (!S_ISDIR(st.st_mode)) {
      entry.kind = HostEntry::NoParent;
      entry.host = host;
      return entry;
    }
    // Swapped for a link since the look: O_NOFOLLOW refuses it. The machine
    // folder itself (bind-mounted inside a drive) is never entered.
    UniqueFd next(openat(dir.Get(), name.c_str(), kFolderFlags));
    struct stat nextSt;
    if (!next || fstat(next.Get(), &nextSt) != 0 || SameEntry(nextSt, machineSt_)) return entry;
    dir = std::move(next);
  }
  return entry;
}

}  // namespace qar::sandbox
