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

HostEntry::Kind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return HostEntry::File;
  if (S_ISDIR(st.st_mode)) return HostEntry::Folder;
  return HostEntry::Other;
}

}  // namespace

HostTree::HostTree(std::string machineFolder) : machineFolder_(std::move(machineFolder)) {}

void HostTree::MapDrive(char letter, const std::string& hostFolder, bool readOnly) {
  mappedReal_.erase(letter);
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
    // A folder changed within the last two seconds may change again without
    // its change time moving (the clock is coarse); keep only settled ones.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (dirSt.st_ctim.tv_sec + 2 <= now.tv_sec) {
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

}  // namespace qar::sandbox
