#include "platform/sandbox/HostTree.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace qar::sandbox {

namespace {

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
  return real ? std::string(real.get()) : std::string();
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A folder's listing may be reused while its change time stays the same, but
// only once that time lies further back than the file system's timestamp
// granularity: until then a further change could carry the same time. Whole
// seconds suggest a coarse file system; otherwise a clock tick is well below
// a tenth of a second.
bool Settled(const struct timespec& changed) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const long long margin = changed.tv_nsec == 0 ? 2000000000LL : 100000000LL;
  const long long changedNs = changed.tv_sec * 1000000000LL + changed.tv_nsec;
  return changedNs + margin <= now.tv_sec * 1000000000LL + now.tv_nsec;
}

HostEntry::Kind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return HostEntry::File;
  if (S_ISDIR(st.st_mode)) return HostEntry::Folder;
  return HostEntry::Other;
}

// Every change of a folder's names; IN_ONLYDIR refuses a swapped-in file.
constexpr uint32_t kWatchMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;

// Local file systems, where inotify reports every change. A network or FUSE
// file system can change without telling, so its folders are not watched.
bool ReportsEveryChange(long type) {
  switch (type) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

}  // namespace

HostTree::Name* HostTree::Listing::Find(const std::string& part) {
  auto group = byFolded.find(Fold(part));
  if (group == byFolded.end()) return nullptr;
  Name* smallest = nullptr;
  for (Name& name : group->second) {
    if (name.name == part) return &name;
    if (smallest == nullptr || name.name < smallest->name) smallest = &name;
  }
  return smallest;
}

void HostTree::Listing::Add(const std::string& name, unsigned char type, ino_t ino) {
  std::vector<Name>& group = byFolded[Fold(name)];
  for (Name& existing : group) {
    if (existing.name == name) {
      existing.type = type;
      existing.ino = ino;
      return;
    }
  }
  group.push_back(Name{name, ino, type});
}

void HostTree::Listing::Remove(const std::string& name) {
  auto group = byFolded.find(Fold(name));
  if (group == byFolded.end()) return;
  std::vector<Name>& names = group->second;
  names.erase(std::remove_if(names.begin(), names.end(), [&](const Name& n) { return n.name == name; }),
              names.end());
  if (names.empty()) byFolded.erase(group);
}

HostTree::HostTree(std::string machineFolder, bool watchFolders, std::size_t keptListings)
    : machineFolder_(std::move(machineFolder)), watchFolders_(watchFolders), keptListings_(keptListings) {}

HostTree::~HostTree() {
  if (inotify_ >= 0) close(inotify_);
}

void HostTree::MapDrive(char letter, const std::string& hostFolder, bool readOnly) {
  mappedReal_.erase(letter);
  probes_.clear();
  if (hostFolder.empty())
    mapped_.erase(letter);
  else
    mapped_[letter] = Drive{hostFolder, readOnly};
}

bool HostTree::IsInside(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

std::string HostTree::DriveRoot(char letter, bool& readOnly, struct stat& st) const {
  auto mapped = mapped_.find(letter);
  if (mapped == mapped_.end()) {
    readOnly = false;
    // A native drive is a real folder of the machine, never a link out of it.
    std::string root = machineFolder_ + '/' + letter;
    if (lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::string();
    return root;
  }
  readOnly = mapped->second.readOnly;
  auto known = mappedReal_.find(letter);
  std::string real = known != mappedReal_.end() ? known->second : RealPath(mapped->second.folder);
  if (real.empty() || stat(real.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    mappedReal_.erase(letter);
    return std::string();
  }
  if (known == mappedReal_.end()) mappedReal_[letter] = real;
  return real;
}

void HostTree::Reset() const {
  listings_.clear();
  watched_.clear();
  if (inotify_ >= 0) close(inotify_);
  inotify_ = -1;
}

bool HostTree::Watchable(int fd, dev_t dev) const {
  if (!watchFolders_ || inotifyFailed_) return false;
  auto known = watchableDevices_.find(dev);
  if (known != watchableDevices_.end()) return known->second;
  struct statfs info;
  const bool watchable = fstatfs(fd, &info) == 0 && ReportsEveryChange(info.f_type);
  watchableDevices_[dev] = watchable;
  return watchable;
}

void HostTree::Drain() const {
  if (inotify_ < 0) return;
  alignas(struct inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t got = read(inotify_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // EAGAIN: every change so far is applied
    for (ssize_t offset = 0; offset < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        Reset();  // changes were lost: every listing is read again
        return;
      }
      auto watch = watched_.find(event->wd);
      if (watch == watched_.end()) continue;
      auto listing = listings_.find(watch->second);
      if (event->mask & IN_IGNORED) {
        if (listing != listings_.end() && listing->second.watch == event->wd) listings_.erase(listing);
        watched_.erase(watch);
        continue;
      }
      if (listing == listings_.end()) continue;
      // A rename is read again rather than applied: an exchange reports two
      // moves that, taken one by one, would lose a name.
      if (event->mask & (IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF)) {
        listings_.erase(listing);
      } else if (event->len > 0 && (event->mask & IN_CREATE)) {
        listing->second.Add(event->name, DT_UNKNOWN, 0);
      } else if (event->len > 0 && (event->mask & IN_DELETE)) {
        listing->second.Remove(event->name);
      }
    }
    // Room for one more event left over: the queue was empty.
    if (static_cast<std::size_t>(got) + sizeof(struct inotify_event) + NAME_MAX + 1 <= sizeof buffer) return;
  }
}

HostTree::Listing* HostTree::ReadListing(const std::string& dir, Identity* id) const {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return nullptr;
  }
  *id = Identity{st.st_dev, st.st_ino};
  Listing listing;
  listing.ctime = st.st_ctim;
  if (Watchable(fd, st.st_dev)) {
    if (inotify_ < 0) {
      inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      inotifyFailed_ = inotify_ < 0;
    }
    // Watched through the open folder itself and before it is read, so no
    // change falls in between; events for names already read apply again
    // harmlessly. Without /proc, or past the watch limit, it goes unwatched.
    if (inotify_ >= 0)
      listing.watch = inotify_add_watch(inotify_, ("/proc/self/fd/" + std::to_string(fd)).c_str(), kWatchMask);
  }
  alignas(struct dirent64) char buffer[32768];
  bool ok = true;
  for (;;) {
    const ssize_t got = getdents64(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t offset = 0; offset < got;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      listing.Add(name, entry->d_type, entry->d_type == DT_DIR ? entry->d_ino : 0);
    }
  }
  close(fd);
  if (!ok) return nullptr;  // a watch without a listing: its events are skipped
  if (listing.watch >= 0) {
    // A watch number now naming another folder leaves the old listing
    // without news: it falls back to its change time (never erased here,
    // a walk may hold it).
    auto previous = watched_.find(listing.watch);
    if (previous != watched_.end() && previous->second != *id) {
      auto stale = listings_.find(previous->second);
      if (stale != listings_.end()) stale->second.watch = -1;
    }
    watched_[listing.watch] = *id;
  } else if (!Settled(st.st_ctim)) {
    // Its change time could hide a further change: good for this call only.
    listings_.erase(*id);
    scratch_ = std::move(listing);
    return &scratch_;
  }
  Listing& kept = listings_[*id];
  kept = std::move(listing);
  return &kept;
}

HostTree::Listing* HostTree::WatchedListing(const std::string& dir, const Identity& id) const {
  auto cached = listings_.find(id);
  if (cached != listings_.end()) return cached->second.watch >= 0 ? &cached->second : nullptr;
  if (!watchFolders_ || inotifyFailed_) return nullptr;
  auto device = watchableDevices_.find(id.first);
  if (device != watchableDevices_.end() && !device->second) return nullptr;
  Identity read;
  Listing* listing = ReadListing(dir, &read);
  if (listing == nullptr || read != id || listing->watch < 0) return nullptr;
  return listing;
}

bool HostTree::FindNoCase(const std::string& dir, const struct stat& dirSt, const std::string& part,
                          std::string& name) const {
  // Without the watch's word for it, a listing counts while the folder's
  // change time is the one it was read at, and that time was settled then.
  Listing* listing = nullptr;
  auto cached = listings_.find(Identity{dirSt.st_dev, dirSt.st_ino});
  if (cached != listings_.end() && SameTime(cached->second.ctime, dirSt.st_ctim) && Settled(dirSt.st_ctim))
    listing = &cached->second;
  Identity read;
  if (listing == nullptr) listing = ReadListing(dir, &read);
  if (listing == nullptr) return false;
  const Name* found = listing->Find(part);
  if (found == nullptr) return false;
  name = found->name;
  return true;
}

HostEntry HostTree::Lookup(const WinPath& path, bool wantParent, bool catchUp) const {
  if (listings_.size() >= keptListings_) Reset();
  if (catchUp) Drain();
  return Walk(path, wantParent, true);
}

HostEntry HostTree::Walk(const WinPath& path, bool wantParent, bool trustWatched) const {
  HostEntry entry;
  struct stat st;
  std::string current = DriveRoot(path.drive, entry.readOnlyDrive, st);
  if (current.empty()) {
    entry.kind = HostEntry::NoDrive;
    return entry;
  }
  const std::string root = current;
  Identity id{st.st_dev, st.st_ino};
  // Whether `st` is `current`'s; if not, a watched listing vouched for
  // `current` as a folder with identity `id` (through the name `via`).
  bool statted = true;
  Name* via = nullptr;

  for (std::size_t i = 0; i < path.parts.size(); ++i) {
    const std::string& part = path.parts[i];
    const bool last = i + 1 == path.parts.size();
    if (statted && !S_ISDIR(st.st_mode)) {
      entry.kind = HostEntry::NoParent;
      entry.host = current;
      for (std::size_t j = i; j < path.parts.size(); ++j) entry.host += '/' + path.parts[j];
      return entry;
    }
    Listing* listing = trustWatched ? WatchedListing(current, id) : nullptr;
    if (listing == nullptr && !statted) {
      // Vouched for, yet not the folder the listing named: changed under
      // the walk, or another file system is mounted there.
      if (via != nullptr) *via = Name{via->name, 0, DT_UNKNOWN};
      return Walk(path, wantParent, false);
    }
    std::string candidate = current + '/' + part;
    struct stat next;
    bool found = false;
    if (listing != nullptr) {
      Name* name = listing->Find(part);
      if (name != nullptr && !last && name->type == DT_DIR && name->ino != 0) {
        // A folder of a watched folder, no link (that would be another name
        // event): no stat on the way.
        current += '/' + name->name;
        id = Identity{id.first, name->ino};
        statted = false;
        via = name;
        continue;
      }
      if (name != nullptr) {
        candidate = current + '/' + name->name;
        // The host and the listing disagree only while something changes
        // under the walk: walk again without the listings' word.
        if (lstat(candidate.c_str(), &next) != 0) return Walk(path, wantParent, false);
        found = true;
        if (S_ISDIR(next.st_mode) && next.st_dev == id.first) {
          name->type = DT_DIR;
          name->ino = next.st_ino;
        }
      } else if (!statted && last && wantParent) {
        if (stat(current.c_str(), &st) != 0 || Identity{st.st_dev, st.st_ino} != id)
          return Walk(path, wantParent, false);
        statted = true;
      }
    } else {
      found = lstat(candidate.c_str(), &next) == 0;
      if (!found) {
        std::string name;
        if (FindNoCase(current, st, part, name)) {
          candidate = current + '/' + name;
          found = lstat(candidate.c_str(), &next) == 0;
        }
      }
    }
    if (!found) {
      entry.kind = last ? HostEntry::Missing : HostEntry::NoParent;
      if (statted) entry.parent = st;
      entry.host = candidate;
      for (std::size_t j = i + 1; j < path.parts.size(); ++j) entry.host += '/' + path.parts[j];
      return entry;
    }
    if (S_ISLNK(next.st_mode)) {
      // Followed only while it stays on the drive; a dangling link is refused
      // too, since writing through it would create its target.
      std::string real = RealPath(candidate);
      if (real.empty() || !IsInside(real, root) || stat(real.c_str(), &next) != 0) {
        entry.kind = HostEntry::Refused;
        return entry;
      }
      candidate = real;
    }
    current = std::move(candidate);
    st = next;
    statted = true;
    via = nullptr;
    id = Identity{st.st_dev, st.st_ino};
  }
  entry.kind = KindOf(st);
  entry.host = current;
  entry.st = st;
  return entry;
}

HostEntry HostTree::Probe(const WinPath& path) const {
  std::string key(1, path.drive);
  for (const std::string& part : path.parts) key += '\\' + Fold(part);
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);

  auto known = probes_.find(key);
  if (known != probes_.end() && now.tv_sec < known->second.until) {
    const Remembered& r = known->second;
    HostEntry entry;
    entry.readOnlyDrive = r.readOnlyDrive;
    struct stat st;
    if (r.present) {
      if (lstat(r.host.c_str(), &st) == 0 && st.st_dev == r.dev && st.st_ino == r.ino) {
        entry.kind = KindOf(st);
        entry.host = r.host;
        entry.st = st;
        return entry;
      }
    } else if (stat(r.host.c_str(), &st) == 0 && st.st_dev == r.dev && st.st_ino == r.ino &&
               SameTime(st.st_ctim, r.ctime)) {
      entry.kind = HostEntry::Missing;
      entry.host = r.missingHost;
      entry.parent = st;
      return entry;
    }
    probes_.erase(known);
  }

  HostEntry entry = Lookup(path, true);
  Remembered r;
  r.readOnlyDrive = entry.readOnlyDrive;
  r.until = now.tv_sec + 1;
  if (entry.Exists()) {
    r.present = true;
    r.host = entry.host;
    r.dev = entry.st.st_dev;
    r.ino = entry.st.st_ino;
  } else if (entry.kind == HostEntry::Missing) {
    // The folder's change time tells that no name folding like this one has
    // appeared only once it is settled: a later change then changes it.
    if (entry.parent.st_ino == 0 || !Settled(entry.parent.st_ctim)) return entry;
    r.host = entry.host.substr(0, entry.host.rfind('/'));
    r.dev = entry.parent.st_dev;
    r.ino = entry.parent.st_ino;
    r.ctime = entry.parent.st_ctim;
    r.missingHost = entry.host;
  } else {
    return entry;
  }
  if (probes_.size() >= 4096) probes_.clear();
  probes_[key] = std::move(r);
  return entry;
}

}  // namespace qar::sandbox
