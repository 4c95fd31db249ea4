// The host side of the sandbox's drives: maps a full Windows path to the host
// entry it names, matching each component case-insensitively, and refuses
// whatever would lead outside the drive's folder.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

struct HostEntry {
  enum Kind {
    Refused,    // leads outside the drive (a symlink), or the host said no
    NoDrive,    // the drive letter is not served
    NoParent,   // a folder on the way is missing or is a file
    Missing,    // the folder exists, the last component does not
    File,
    Folder,
    Other,      // a device, socket or pipe: nothing Windows would open here
  };
  Kind kind = Refused;
  // The existing entry with its own case; for Missing the new entry's path
  // with the case it was given; for NoParent the path as far as composed.
  std::string host;
  struct stat st {};      // valid for File, Folder and Other
  struct stat parent {};  // the folder's, for Missing when asked for
  bool readOnlyDrive = false;

  bool Exists() const { return kind == File || kind == Folder || kind == Other; }
};

class HostTree {
 public:
  // Native drives are the one-letter folders of `machineFolder` ("C", "D").
  // Without `watchFolders` no folder is watched for changes (as on a file
  // system that reports none). Past `keptListings` folder listings, all are
  // dropped and read again as needed.
  explicit HostTree(std::string machineFolder, bool watchFolders = true,
                    std::size_t keptListings = 1024);
  ~HostTree();
  HostTree(const HostTree&) = delete;
  HostTree& operator=(const HostTree&) = delete;

  // Serves `letter` from `hostFolder` instead ("" removes the mapping). The
  // folder may be missing for now, like a CD drive without a disc.
  void MapDrive(char letter, const std::string& hostFolder, bool readOnly);

  // Walks the path component by component: for every change and for
  // HostPath. `wantParent` fills HostEntry::parent for a missing entry.
  // Host changes are caught up with first, unless `catchUp` is false for a
  // second lookup within the same call.
  HostEntry Lookup(const WinPath& path, bool wantParent = false, bool catchUp = true) const;
  // The same answer for the read-only probes, which the wizard's timer asks
  // every millisecond: where a path led is remembered and checked with one
  // stat, the entry's identity or, for a missing entry, its folder's identity
  // and change time. A folder swapped for a link elsewhere changes the
  // identity, so the full walk runs again, as it does at least every second.
  HostEntry Probe(const WinPath& path) const;

  // Whether `path` equals `root` or lies below it (both real, absolute).
  static bool IsInside(const std::string& path, const std::string& root);

 private:
  struct Drive {
    std::string folder;  // as configured
    bool readOnly = false;
  };
  using Identity = std::pair<dev_t, ino_t>;
  struct IdentityHash {
    std::size_t operator()(const Identity& id) const {
      return std::hash<unsigned long long>()(static_cast<unsigned long long>(id.second) * 1000003ULL ^
                                             static_cast<unsigned long long>(id.first));
    }
  };
  // One name of a folder. `ino` is known (non-zero) only for an entry that
  // is a folder on the same device, as the listing or a stat saw it; any
  // notified change of the name forgets it.
  struct Name {
    std::string name;
    ino_t ino = 0;
    unsigned char type = DT_UNKNOWN;
  };
  struct Listing {
    struct timespec ctime {};  // the folder's when it was read
    int watch = -1;            // inotify watch: kept current from its events
    std::unordered_map<std::string, std::vector<Name>> byFolded;

    // The exact-case name first, else the smallest that folds alike.
    Name* Find(const std::string& part);
    void Add(const std::string& name, unsigned char type, ino_t ino);
    void Remove(const std::string& name);
  };

  struct Remembered {
    bool present = false;
    std::string host;    // the entry, or for a missing one its folder
    dev_t dev = 0;       // of `host`
    ino_t ino = 0;
    struct timespec ctime {};  // of the missing entry's folder
    bool readOnlyDrive = false;
    std::string missingHost;
    time_t until = 0;    // coarse monotonic seconds
  };

  // The real path of the drive's folder and its stat, "" when the drive is
  // not served.
  std::string DriveRoot(char letter, bool& readOnly, struct stat& st) const;
  HostEntry Walk(const WinPath& path, bool wantParent, bool trustWatched) const;
  // The watched listing of the folder `dir` with identity `id`, read (and
  // watched) now if need be; null where folders cannot be watched.
  Listing* WatchedListing(const std::string& dir, const Identity& id) const;
  // Reads `dir`, watching it first where possible. The listing is kept when
  // watched or when its change time is settled; otherwise it is `scratch_`.
  Listing* ReadListing(const std::string& dir, Identity* id) const;
  // The entry of `dir` (whose stat is `dirSt`) whose name folds to `part`'s
  // fold, by a listing no older than the folder's change time.
  bool FindNoCase(const std::string& dir, const struct stat& dirSt, const std::string& part,
                  std::string& name) const;
  bool Watchable(int fd, dev_t dev) const;
  // Applies the notified changes to the listings.
  void Drain() const;
  // Forgets every listing and watch.
  void Reset() const;

  std::string machineFolder_;
  bool watchFolders_;
  std::size_t keptListings_;
  std::map<char, Drive> mapped_;
  mutable std::map<char, std::string> mappedReal_;  // realpath of each mapped folder
  mutable std::unordered_map<Identity, Listing, IdentityHash> listings_;
  mutable Listing scratch_;
  mutable std::unordered_map<int, Identity> watched_;  // inotify watch -> folder
  mutable std::map<dev_t, bool> watchableDevices_;
  mutable int inotify_ = -1;
  mutable bool inotifyFailed_ = false;
  mutable std::unordered_map<std::string, Remembered> probes_;  // by folded full path
};

}  // namespace qar::sandbox
