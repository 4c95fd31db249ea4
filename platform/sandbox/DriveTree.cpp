#include "platform/sandbox/DriveTree.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <memory>

#include "platform/sandbox/Faults.h"

namespace qar::sandbox {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

DriveEntry::Kind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return DriveEntry::File;
  if (S_ISDIR(st.st_mode)) return DriveEntry::Folder;
  return DriveEntry::Refused;
}

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `path` is `folder` or lies below it.
bool Within(const std::string& path, const std::string& folder) {
  return folder == "/" || (path + '/').rfind(folder + '/', 0) == 0;
}

}  // namespace

DriveTree::DriveTree(int machineFolder, const Settings& settings)
    : machine_(machineFolder), machinePath_(PathNow(machineFolder)), settings_(settings) {
  if (fstat(machine_, &machineSt_) != 0) machineSt_ = {};
}

// Judged on the open folders, not on names that may change.
bool DriveTree::Overlaps(int folder) const {
  const std::string path = PathNow(folder);
  const std::string machine = PathNow(machine_);
  struct stat st;
  if (path.empty() || machine.empty() || fstat(folder, &st) != 0) return true;
  return SameEntry(st, machineSt_) || Within(path, machine) || Within(machine, path);
}

bool DriveTree::Overlaps(const std::string& hostFolder) const {
  UniqueFd folder(open(hostFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return folder && Overlaps(folder.Get());
}

UniqueFd DriveTree::OpenDrive(char letter, bool& readOnly, std::string& hostPath) const {
  const auto mapped = settings_.drives.find(letter);
  if (mapped == settings_.drives.end()) {
    // A native drive is a real folder of the machine, never a link out of it.
    const std::string name(1, letter);
    hostPath = machinePath_ + '/' + name;
    return UniqueFd(openat(machine_, name.c_str(), kFolderFlags));
  }
  readOnly = mapped->second.readOnly;
  hostPath = mapped->second.hostFolder;
  // Opened anew and checked each time: it may have been replaced by a link
  // to the machine's own files since it was mapped.
  UniqueFd drive(open(hostPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!drive || Overlaps(drive.Get())) return UniqueFd();
  return drive;
}

bool DriveTree::FindName(int dir, const std::string& part, std::string& name,
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
    if (candidate.size() != part.size()) continue;
    if (FoldName(candidate, settings_.codePage) != folded) continue;
    if (!found || candidate < name) name = candidate;
    found = true;
  }
  errno = ENOENT;  // when nothing folds alike
  return found && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

DriveEntry DriveTree::Lookup(const WinPath& path) const {
  DriveEntry entry;
  UniqueFd dir = OpenDrive(path.drive, entry.readOnlyDrive, entry.host);
  if (!dir)
    entry.kind = DriveEntry::NoDrive;
  else if (path.parts.empty() && fstat(dir.Get(), &entry.st) == 0)
    entry.kind = DriveEntry::Folder;
  for (std::size_t i = 0; dir && i < path.parts.size(); ++i) {
    std::string name = path.parts[i];
    struct stat st {};
    const bool found = FindName(dir.Get(), path.parts[i], name, st);
    // A link is never followed, wherever it points.
    if ((!found && errno != ENOENT) || S_ISLNK(st.st_mode)) return entry;
    entry.host += '/' + name;
    if (i + 1 == path.parts.size()) {
      entry.kind = found ? KindOf(st) : DriveEntry::Missing;
      entry.st = st;
      entry.folder = std::move(dir);
      entry.name = name;
      return entry;
    }
    if (!found || !S_ISDIR(st.st_mode)) {
      entry.kind = DriveEntry::NoParent;
      for (std::size_t j = i + 1; j < path.parts.size(); ++j) entry.host += '/' + path.parts[j];
      return entry;
    }
    // A link swapped in since the look is refused; the machine folder
    // (bind-mounted inside a drive) is never entered.
    UniqueFd next(openat(dir.Get(), name.c_str(), kFolderFlags));
    if (!next || fstat(next.Get(), &st) != 0 || SameEntry(st, machineSt_)) return entry;
    dir = std::move(next);
  }
  return entry;
}

bool RenameNoReplace(const DriveEntry& from, const DriveEntry& to) {
  const int fromDir = from.folder.Get(), toDir = to.folder.Get();
  const char* fromName = from.name.c_str();
  const char* toName = to.name.c_str();
  if (!TestRefuses(HostCall::RenameNoReplace) &&
      renameat2(fromDir, fromName, toDir, toName, RENAME_NOREPLACE) == 0)
    return true;
  if (!Unsupported(errno)) return false;
  struct stat st;
  if (fstatat(toDir, toName, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return false;
  return renameat(fromDir, fromName, toDir, toName) == 0;
}

}  // namespace qar::sandbox
