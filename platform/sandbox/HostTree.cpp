#include "platform/sandbox/HostTree.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <time.h>

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

}  // namespace

HostTree::HostTree(std::string machineFolder) : machineFolder_(std::move(machineFolder)) {}

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

std::string HostTree::DriveRoot(char letter, bool& readOnly) const {
  auto mapped = mapped_.find(letter);
  if (mapped == mapped_.end()) {
    readOnly = false;
    // A native drive is a real folder of the machine, never a link out of it.
    std::string root = machineFolder_ + '/' + letter;
    struct stat st;
    if (lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::string();
    return root;
  }
  readOnly = mapped->second.readOnly;
  auto known = mappedReal_.find(letter);
  if (known != mappedReal_.end()) return known->second;
  std::string real = RealPath(mapped->second.folder);
  if (!real.empty()) mappedReal_[letter] = real;
  return real;
}

bool HostTree::FindNoCase(const std::string& dir, const struct stat& dirSt,
                          const std::string& folded, std::string& name) const {
  auto cached = listings_.find(dir);
  if (cached == listings_.end() || cached->second.dev != dirSt.st_dev ||
      cached->second.ino != dirSt.st_ino || !SameTime(cached->second.ctime, dirSt.st_ctim)) {
    if (cached != listings_.end()) listings_.erase(cached);
    cached = listings_.end();
    Listing listing;
    listing.dev = dirSt.st_dev;
    listing.ino = dirSt.st_ino;
    listing.ctime = dirSt.st_ctim;
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) return false;
    while (const struct dirent* entry = readdir(handle)) {
      const std::string entryName = entry->d_name;
      if (entryName == "." || entryName == "..") continue;
      // Two host names that fold alike: take the smaller, whatever readdir's order.
      auto [slot, added] = listing.byFolded.emplace(Fold(entryName), entryName);
      if (!added && entryName < slot->second) slot->second = entryName;
    }
    closedir(handle);
    auto found = listing.byFolded.find(folded);
    const bool ok = found != listing.byFolded.end();
    if (ok) name = found->second;
    if (Settled(dirSt.st_ctim)) {
      if (listings_.size() >= 1024) listings_.clear();
      listings_.emplace(dir, std::move(listing));
    }
    return ok;
  }
  auto found = cached->second.byFolded.find(folded);
  if (found == cached->second.byFolded.end()) return false;
  name = found->second;
  return true;
}

HostEntry HostTree::Lookup(const WinPath& path) const {
  HostEntry entry;
  std::string current = DriveRoot(path.drive, entry.readOnlyDrive);
  struct stat st;
  if (current.empty() || stat(current.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (!current.empty()) mappedReal_.erase(path.drive);
    entry.kind = HostEntry::NoDrive;
    return entry;
  }
  const std::string root = current;

  for (std::size_t i = 0; i < path.parts.size(); ++i) {
    const std::string& part = path.parts[i];
    const bool last = i + 1 == path.parts.size();
    if (!S_ISDIR(st.st_mode)) {
      entry.kind = HostEntry::NoParent;
      entry.host = current;
      for (std::size_t j = i; j < path.parts.size(); ++j) entry.host += '/' + path.parts[j];
      return entry;
    }
    std::string candidate = current + '/' + part;
    struct stat next;
    bool found = lstat(candidate.c_str(), &next) == 0;
    if (!found) {
      std::string name;
      if (FindNoCase(current, st, Fold(part), name)) {
        candidate = current + '/' + name;
        found = lstat(candidate.c_str(), &next) == 0;
      }
    }
    if (!found) {
      entry.kind = last ? HostEntry::Missing : HostEntry::NoParent;
      entry.parent = st;
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

  HostEntry entry = Lookup(path);
  Remembered r;
  r.readOnlyDrive = entry.readOnlyDrive;
  r.until = now.tv_sec + 1;
  if (entry.Exists()) {
    r.present = true;
    r.host = entry.host;
    r.dev = entry.st.st_dev;
    r.ino = entry.st.st_ino;
  } else if (entry.kind == HostEntry::Missing) {
    // Only while the folder's listing is settled does its change time tell
    // that no name folding like this one has appeared.
    r.host = entry.host.substr(0, entry.host.rfind('/'));
    auto listing = listings_.find(r.host);
    if (listing == listings_.end() || listing->second.dev != entry.parent.st_dev ||
        listing->second.ino != entry.parent.st_ino || !SameTime(listing->second.ctime, entry.parent.st_ctim))
      return entry;
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
