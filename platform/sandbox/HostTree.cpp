#include "platform/sandbox/HostTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

namespace qar::sandbox {

namespace {

// Symlinks followed within one lookup, as the kernel's own limit.
constexpr int kMaxLinks = 40;

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

HostEntry::Kind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return HostEntry::File;
  if (S_ISDIR(st.st_mode)) return HostEntry::Folder;
  return HostEntry::Other;
}

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::atomic<bool> noOpenat2{false};

// Opens the folder `relative` beneath `root` in one call, following only
// links that stay beneath it; -1 where the kernel cannot (before 5.6, or a
// filter forbids it) or the names do not match exactly.
int OpenBeneath(int root, const std::string& relative) {
#ifdef SYS_openat2
  if (noOpenat2.load(std::memory_order_relaxed)) return -1;
  struct open_how how {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  // No mount crossed: a bind mount inside a drive is walked folder by
  // folder, where each one is checked.
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
  const long fd = syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
  if (fd >= 0) return static_cast<int>(fd);
  if (errno == ENOSYS || errno == EPERM) noOpenat2.store(true, std::memory_order_relaxed);
#else
  (void)root;
  (void)relative;
#endif
  return -1;
}

// The entry of `dir` for `part`: the exact-case name first, else the
// smallest name that folds alike.
bool FindName(int dir, const std::string& part, std::string& name, struct stat& st) {
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
  const std::string folded = Fold(part);
  bool found = false;
  while (const struct dirent* entry = readdir(list.get())) {
    const std::string candidate = entry->d_name;
    if (candidate.size() != part.size() || Fold(candidate) != folded) continue;
    if (!found || candidate < name) name = candidate;
    found = true;
  }
  return found && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
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

std::string Join(const std::vector<std::string>& parts, std::size_t end) {
  std::string joined;
  for (std::size_t i = 0; i < end; ++i) joined += (i == 0 ? "" : "/") + parts[i];
  return joined;
}

// One pass over the components from the drive's folder. A link met on the
// way ends the pass with the path it leads to in `relinked`.
enum class Pass { Done, Linked, Slow };

Pass Resolve(UniqueFd& root, const std::string& rootPath, const struct stat& machine,
             const std::vector<std::string>& parts, bool fast, HostEntry& entry,
             std::vector<std::string>& relinked, bool& lastWasLink) {
  if (parts.empty()) {
    if (fstat(root.Get(), &entry.st) != 0) return Pass::Done;
    entry.kind = HostEntry::Folder;
    entry.host = rootPath;
    return Pass::Done;
  }
  UniqueFd dir;
  std::string host = rootPath;
  std::vector<std::string> names;  // the real names walked, below the root
  std::size_t i = 0;
  if (fast && parts.size() > 1) {
    const std::string folders = Join(parts, parts.size() - 1);
    dir.Reset(OpenBeneath(root.Get(), folders));
    if (dir) {
      host += '/' + folders;
      i = parts.size() - 1;
    }
  }
  for (; i < parts.size(); ++i) {
    const int at = dir ? dir.Get() : root.Get();
    const bool last = i + 1 == parts.size();
    std::string name;
    struct stat st;
    if (!FindName(at, parts[i], name, st)) {
      entry.kind = last ? HostEntry::Missing : HostEntry::NoParent;
      entry.host = host;
      for (std::size_t j = i; j < parts.size(); ++j) entry.host += '/' + parts[j];
      if (last) {
        entry.folder = dir ? std::move(dir) : std::move(root);
        entry.name = parts[i];
      }
      return Pass::Done;
    }
    if (S_ISLNK(st.st_mode)) {
      // The fast pass may have come through links: names are not real.
      if (names.size() != i) return Pass::Slow;
      char target[PATH_MAX];
      const ssize_t size = readlinkat(at, name.c_str(), target, sizeof target - 1);
      if (size <= 0) return Pass::Done;
      const std::string text(target, static_cast<std::size_t>(size));
      std::string rest = text;
      relinked = names;
      if (text[0] == '/') {
        // An absolute link counts when it names a place on this drive.
        if (text.compare(0, rootPath.size(), rootPath) != 0 ||
            (text.size() > rootPath.size() && text[rootPath.size()] != '/'))
          return Pass::Done;
        rest = text.substr(rootPath.size());
        relinked.clear();
      }
      std::size_t start = 0;
      while (start <= rest.size()) {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos) end = rest.size();
        const std::string part = rest.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part != "..") {
          relinked.push_back(part);
        } else if (relinked.empty()) {
          return Pass::Done;  // above the drive's folder
        } else {
          relinked.pop_back();
        }
      }
      relinked.insert(relinked.end(), parts.begin() + static_cast<std::ptrdiff_t>(i) + 1, parts.end());
      lastWasLink = lastWasLink || last;
      return Pass::Linked;
    }
    host += '/' + name;
    if (last) {
      entry.kind = KindOf(st);
      entry.st = st;
      entry.host = host;
      entry.folder = dir ? std::move(dir) : std::move(root);
      entry.name = name;
      return Pass::Done;
    }
    if (!S_ISDIR(st.st_mode)) {
      entry.kind = HostEntry::NoParent;
      entry.host = host;
      for (std::size_t j = i + 1; j < parts.size(); ++j) entry.host += '/' + parts[j];
      return Pass::Done;
    }
    // Swapped for a link or a file since the look: refused, not followed.
    // The machine folder itself (mounted inside a drive) is never entered.
    UniqueFd next(openat(at, name.c_str(), kFolderFlags));
    struct stat nextSt;
    if (!next || fstat(next.Get(), &nextSt) != 0 || SameEntry(nextSt, machine)) return Pass::Done;
    dir = std::move(next);
    names.push_back(name);
  }
  return Pass::Done;
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
  // The real path of the very folder opened: one call, and no second walk
  // of the mapped path that could land elsewhere.
  char real[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(drive.Get());
  const ssize_t size = readlink(self.c_str(), real, sizeof real - 1);
  if (size > 0 && real[0] == '/') {
    hostPath.assign(real, static_cast<std::size_t>(size));
    return drive;
  }
  std::unique_ptr<char, decltype(&free)> resolved(realpath(mapped->second.folder.c_str(), nullptr), &free);
  if (!resolved) return UniqueFd();
  hostPath = resolved.get();
  return drive;
}

HostEntry HostTree::Lookup(const WinPath& path) const {
  HostEntry entry;
  std::string rootPath;
  UniqueFd root = OpenDrive(path.drive, entry.readOnlyDrive, rootPath);
  if (!root) {
    entry.kind = HostEntry::NoDrive;
    return entry;
  }
  std::vector<std::string> parts = path.parts;
  bool fast = true, lastWasLink = false;
  for (int links = 0; links <= kMaxLinks;) {
    std::vector<std::string> relinked;
    switch (Resolve(root, rootPath, machineSt_, parts, fast, entry, relinked, lastWasLink)) {
      case Pass::Done:
        // Writing through a dangling link would create its target.
        if (lastWasLink && entry.kind == HostEntry::Missing) {
          entry.kind = HostEntry::Refused;
          entry.folder.Reset();
        }
        return entry;
      case Pass::Slow:
        fast = false;
        break;
      case Pass::Linked:
        parts = std::move(relinked);
        fast = false;
        ++links;
        break;
    }
  }
  entry.kind = HostEntry::Refused;
  return entry;
}

}  // namespace qar::sandbox
