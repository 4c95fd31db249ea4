// The sandbox machine: the Platform implementation on Linux. A simulated
// Windows machine kept in a host folder: drives as subfolders or mapped host
// folders, the registry as a REGEDIT4 file, settings in machine.conf, and a
// log of what would have been shown or launched.
#include "platform/sandbox/Sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/sandbox/CallLog.h"
#include "platform/sandbox/Fd.h"
#include "platform/sandbox/HostFiles.h"
#include "platform/sandbox/HostTree.h"
#include "platform/sandbox/Registry.h"
#include "platform/sandbox/Settings.h"
#include "platform/sandbox/Versions.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {

namespace {

const char kSettingsFile[] = "machine.conf";
const char kRegistryFile[] = "registry.reg";
const char kLogFile[] = "calls.log";
const char kLockFile[] = "machine.lock";
const char kSetupKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup";

// Local last-write times that convert to a date in 1980..2107: 1980-01-01
// and 2108-01-01 as Unix times.
constexpr long long kFirstValidTime = 315532800LL;
constexpr long long kFirstInvalidTime = 4354819200LL;

// FileTimeToLocalFileTime adds the bias in force now, whatever it was on the
// file's date; the machine's zone is the host's.
long long LocalOffsetNow() {
  const time_t now = time(nullptr);
  struct tm local;
  return localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
}

std::string Absolute(const std::string& path) {
  std::string absolute = path;
  if (absolute.empty() || absolute[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) throw SandboxError("cannot read the current directory");
    absolute = std::string(cwd) + (absolute.empty() ? "" : "/" + absolute);
    free(cwd);
  }
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

std::string RealFolder(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
  struct stat st;
  if (!real || stat(real.get(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::string();
  return real.get();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Fault paths compare as Windows compares file paths or key paths.
std::string FaultForm(const std::string& path, bool registry) {
  if (registry) return Fold(RelativeKeyPath(path));
  std::string form = Fold(path);
  for (char& c : form)
    if (c == '/') c = '\\';
  return form;
}

std::string FullKeyPath(const std::string& relative) {
  return relative.empty() ? std::string(Registry::kMachineRoot)
                          : std::string(Registry::kMachineRoot) + '\\' + relative;
}

// "http://host", "mailto:x": a scheme of two or more characters and a colon.
bool IsAddress(const std::string& target) {
  const std::size_t colon = target.find(':');
  if (colon == std::string::npos || colon < 2) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const char c = target[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) return false;
  }
  return true;
}

struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  struct timespec mtime {};

  static FileStamp Of(const struct stat& st) {
    FileStamp stamp;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtime = st.st_mtim;
    return stamp;
  }
  static FileStamp Of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? Of(st) : FileStamp();
  }
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

// A machine file's text; a SandboxError naming the file for anything but a
// regular file of sane size, at once rather than hanging on a pipe.
std::string ReadMachineFileOrThrow(const std::string& path, struct stat* st = nullptr) {
  std::string text, why;
  if (!ReadMachineFile(path, text, why, st)) throw SandboxError("cannot read " + path + ": " + why);
  return text;
}

// The stamp is the file's that was read, not the name's a moment later:
// another process may have replaced it in between.
Registry LoadRegistry(const std::string& path, std::string& text, FileStamp& stamp) {
  struct stat st;
  text = ReadMachineFileOrThrow(path, &st);
  Registry registry = Registry::Parse(text, path);
  stamp = FileStamp::Of(st);
  return registry;
}

// The process id the lock file records, "" when it records none.
std::string LockHolder(const std::string& lockPath) {
  UniqueFd fd(open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  char text[24] = {};
  const ssize_t got = fd ? pread(fd.Get(), text, sizeof text - 1, 0) : -1;
  std::string pid;
  for (ssize_t i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i) pid += text[i];
  return pid;
}

SandboxError InUse(const std::string& folder, const std::string& lockPath) {
  const std::string holder = LockHolder(lockPath);
  return SandboxError("the machine " + folder + " is in use by another program" +
                      (holder.empty() ? std::string() : " (process " + holder + ")") +
                      ": it stayed locked for " + std::to_string(kLockDeadline.count()) + " s");
}

// Holds the machine's lock for one read-change-write of a machine file, so
// that two processes on one machine never lose each other's changes. Never
// waits past kLockDeadline: a holder that is stopped or hung gets a clear
// error, not a frozen window.
//
// Two locks, always in this order: the machine folder, which no clean-up
// deletes, and machine.lock, which records the holder's process id and is
// what other programs lock. A lock file deleted or replaced after it was
// locked would let a second process lock the new one; the folder's lock
// still keeps them apart.
class MachineLock {
 public:
  explicit MachineLock(const std::string& folder) {
    const std::string path = folder + "/" + kLockFile;
    const auto deadline = std::chrono::steady_clock::now() + kLockDeadline;
    folder_.Reset(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder_) throw SandboxError("cannot lock " + folder + ": " + std::strerror(errno));
    if (!LockWithin(folder_.Get(), deadline)) {
      if (errno == EWOULDBLOCK) throw InUse(folder, path);
      throw SandboxError("cannot lock " + folder + ": " + std::strerror(errno));
    }
    for (;;) {
      file_.Reset(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
      struct stat st;
      if (!file_ || fstat(file_.Get(), &st) != 0)
        throw SandboxError("cannot lock " + path + ": " + std::strerror(errno));
      if (!S_ISREG(st.st_mode)) throw SandboxError("cannot lock " + path + ": not a regular file");
      if (!LockWithin(file_.Get(), deadline)) {
        if (errno == EWOULDBLOCK) throw InUse(folder, path);
        throw SandboxError("cannot lock " + path + ": " + std::strerror(errno));
      }
      // Deleted or replaced meanwhile: lock the file the name holds now.
      struct stat now;
      if (lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) break;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(file_.Get(), 0) != 0 || pwrite(file_.Get(), pid.data(), pid.size(), 0) < 0) {
      // Only a name for another process's error message; the lock holds.
    }
  }

  // The record goes with the lock, so that a program holding machine.lock
  // later is never named after an earlier holder.
  ~MachineLock() {
    if (file_ && ftruncate(file_.Get(), 0) != 0) {
      // A stale number at worst.
    }
  }
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

 private:
  UniqueFd folder_;  // closing releases each lock
  UniqueFd file_;
};

}  // namespace

struct SandboxMachine::Impl {
  std::string folder;  // real path
  std::string settingsPath, registryPath, logPath;
  Settings settings;
  WinPath cwd;
  HostTree tree;
  Registry registry;
  FileStamp registryStamp;
  std::string registryText;  // the file as last read or written
  std::vector<std::pair<Op, std::string>> faults;
  unsigned faultMask = 0;
  std::function<void(const std::string&, const std::string&)> shellOpenHook;
  std::function<void(const std::string&)> faultHook;

  Impl(const std::string& realFolder, UniqueFd folderFd)
      : folder(realFolder),
        settingsPath(realFolder + "/" + kSettingsFile),
        registryPath(realFolder + "/" + kRegistryFile),
        logPath(realFolder + "/" + kLogFile),
        tree(std::move(folderFd), realFolder) {}

  bool Faulted(Op op, const std::string& path, const std::string& other = std::string()) const {
    if ((faultMask & (1u << static_cast<unsigned>(op))) == 0) return false;
    const bool registry = op == Op::OpenKey || op == Op::WriteString || op == Op::DeleteValue;
    for (const auto& [faultOp, faultPath] : faults) {
      if (faultOp != op) continue;
      if (faultPath.empty() || faultPath == FaultForm(path, registry)) return true;
      if (!other.empty() && faultPath == FaultForm(other, registry)) return true;
    }
    return false;
  }

  HostEntry Find(const std::string& windowsPath, WinPath* parsed = nullptr) const {
    WinPath path;
    if (!ResolveWinPath(windowsPath, cwd, path)) return HostEntry{};
    if (parsed != nullptr) *parsed = path;
    return tree.Lookup(path);
  }

  // Makes the settings current: the drives and the current directory.
  void Apply(const Settings& next) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) tree.MapDrive(letter, "", false);
    for (const auto& [letter, drive] : next.drives) tree.MapDrive(letter, drive.hostFolder, drive.readOnly);
    WinPath path;
    ResolveWinPath(next.currentDirectory, WinPath{}, path);
    path.trailingSeparator = false;
    cwd = path;
    settings = next;
  }

  // Applies `change` to the settings file as it is now, under the machine's
  // lock, writes it and makes it current; nothing changes when that fails.
  void ChangeSettings(const std::function<void(Settings&)>& change) {
    MachineLock lock(folder);
    Settings next = ParseSettings(ReadMachineFileOrThrow(settingsPath), settingsPath);
    change(next);
    if (!WriteFileAtomically(settingsPath, FormatSettings(next)))
      throw SandboxError("cannot write " + settingsPath + ": " + std::strerror(errno));
    Apply(next);
  }

  // Picks up a registry file changed by someone else since it was read.
  void RefreshRegistry() {
    if (FileStamp::Of(registryPath) == registryStamp) return;
    std::string text;
    FileStamp stamp;
    registry = LoadRegistry(registryPath, text, stamp);
    registryText = std::move(text);
    registryStamp = stamp;
  }

  // Platform operations fail rather than raise over a broken registry file.
  bool TryRefreshRegistry() {
    try {
      RefreshRegistry();
      return true;
    } catch (const SandboxError& error) {
      Fault(error);
      return false;
    }
  }

  // Where an operation fails because of the machine itself rather than as
  // Windows would fail it, the host hears why.
  void Fault(const SandboxError& error) const {
    if (faultHook) faultHook(error.what());
  }

  // Applies `change` to the registry as the file holds it now, under the
  // machine's lock, and writes it; false when the change or the write fails.
  bool ChangeRegistry(const std::function<bool(Registry&)>& change) {
    try {
      MachineLock lock(folder);
      RefreshRegistry();
      Registry next = registry;
      return change(next) && SaveRegistry(std::move(next));
    } catch (const SandboxError& error) {
      Fault(error);
      return false;
    }
  }

  // Throws SandboxError when the file cannot be written.
  bool SaveRegistry(Registry next) {
    std::string text = next.Format();
    // A change that leaves the file as it is (a value set to what it holds)
    // costs no write and no flush.
    if (text != registryText) {
      if (!WriteFileAtomically(registryPath, text))
        throw SandboxError("cannot write " + registryPath + ": " + std::strerror(errno));
      registryStamp = FileStamp::Of(registryPath);
      registryText = std::move(text);
    }
    registry = std::move(next);
    return true;
  }

  bool KeyIsReadOnly(const std::string& relative) const {
    const std::string folded = Fold(relative);
    for (const std::string& key : settings.readOnlyKeys) {
      const std::string lockedKey = Fold(key);
      if (folded == lockedKey || folded.compare(0, lockedKey.size() + 1, lockedKey + '\\') == 0) return true;
    }
    return false;
  }

  void Log(const std::vector<std::string>& fields) {
    // ShellExecuteA and MessageBoxA results are unused; the host still hears.
    if (!AppendToFile(logPath, FormatLogRecord(fields)))
      Fault(SandboxError("cannot write " + logPath + ": " + std::strerror(errno)));
  }
};

namespace {

class SandboxKey : public RegistryKey {
 public:
  SandboxKey(SandboxMachine::Impl& machine, std::string relative)
      : machine_(machine), relative_(std::move(relative)), full_(FullKeyPath(relative_)) {}

  bool SetString(const std::string& name, const std::string& data) override {
    if (machine_.Faulted(Op::WriteString, relative_)) return false;
    // The root key holds no values; a name must fit on a REGEDIT4 line.
    if (relative_.empty() || name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    return machine_.ChangeRegistry([&](Registry& next) {
      if (!next.HasKey(full_)) return false;
      next.SetString(full_, name, data);
      return true;
    });
  }

  bool DeleteValue(const std::string& name) override {
    if (machine_.Faulted(Op::DeleteValue, relative_)) return false;
    return machine_.ChangeRegistry([&](Registry& next) { return next.DeleteValue(full_, name); });
  }

 private:
  SandboxMachine::Impl& machine_;
  std::string relative_;
  std::string full_;
};

void SeedMachine(const std::string& folder, const NamedVersion& version) {
  namespace fs = std::filesystem;
  WinPath root;
  ResolveWinPath(version.systemRoot, WinPath{}, root);
  fs::path systemRoot = fs::path(folder) / std::string(1, root.drive);
  for (const std::string& part : root.parts) systemRoot /= part;
  fs::create_directories(systemRoot);
  for (std::string sub : SystemFolders(version.version)) {
    for (char& c : sub)
      if (c == '\\') c = '/';
    fs::create_directories(systemRoot / sub);
  }

  Registry registry;
  registry.AddKey(FullKeyPath(kSetupKey));
  Settings settings;
  settings.versionName = version.name;
  settings.version = version.version;
  // Not flushed one by one: the folder becomes the machine only by its rename.
  if (!WriteNewFile(folder + "/" + kRegistryFile, registry.Format()) ||
      !WriteNewFile(folder + "/" + kSettingsFile, FormatSettings(settings)) ||
      !WriteNewFile(folder + "/" + kLogFile, ""))
    throw SandboxError("cannot write the machine's files in " + folder + ": " + std::strerror(errno));
}

}  // namespace

namespace {

// Folder levels below a drive's root swept for stale copies.
constexpr int kSweptDepth = 32;

// Removes what a killed run left of the machine's own temporary files.
// Under the machine's lock no writer is half-way, so every one is stale;
// a copy's temporary file is stale when no copy holds it locked.
void RemoveStaleTemporaryFiles(const std::string& folder) {
  MachineLock lock(folder);
  UniqueDir list(opendir(folder.c_str()));
  if (!list) return;
  while (const struct dirent* entry = readdir(list.get())) {
    const std::string name = entry->d_name;
    for (const char* file : {kSettingsFile, kRegistryFile})
      if (IsTemporaryFileOf(name, file)) unlink((folder + "/" + name).c_str());
    // The machine's own drives; a mapped folder is not the machine's to sweep.
    if (name.size() == 1 && name[0] >= 'A' && name[0] <= 'Z') {
      UniqueFd drive(
          openat(dirfd(list.get()), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (drive) RemoveStaleCopies(drive.Get(), kSweptDepth);
    }
  }
}

// Staging folders of `name` in `parent` that no Create holds: left by a run
// that was killed. A live one is locked by its creator.
void RemoveStaleStaging(const std::string& parent, const std::string& name) {
  const std::string prefix = "." + name + ".new-";
  UniqueDir list(opendir(parent.c_str()));
  if (!list) return;
  std::vector<std::string> stale;
  while (const struct dirent* entry = readdir(list.get())) {
    const std::string found = entry->d_name;
    if (found.size() != prefix.size() + 6 || found.compare(0, prefix.size(), prefix) != 0) continue;
    UniqueFd fd(openat(dirfd(list.get()), found.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd && flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) stale.push_back(parent + "/" + found);
  }
  for (const std::string& path : stale) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
}

}  // namespace

SandboxMachine::SandboxMachine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SandboxMachine::~SandboxMachine() = default;

std::unique_ptr<SandboxMachine> SandboxMachine::Open(const std::string& folder) {
  const std::string real = RealFolder(Absolute(folder));
  if (real.empty()) throw SandboxError("no sandbox machine folder at " + folder);
  UniqueFd folderFd(open(real.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folderFd) throw SandboxError("cannot open " + folder + ": " + std::strerror(errno));
  auto impl = std::make_unique<Impl>(real, std::move(folderFd));

  std::string text, why;
  if (!ReadMachineFile(impl->settingsPath, text, why)) {
    if (errno == ENOENT)
      throw SandboxError(folder + " is not a sandbox machine: cannot read " + impl->settingsPath);
    throw SandboxError("cannot read " + impl->settingsPath + ": " + why);
  }
  const Settings settings = ParseSettings(text, impl->settingsPath);
  impl->registry = LoadRegistry(impl->registryPath, impl->registryText, impl->registryStamp);
  // The log is only appended to; it must be a file all the same.
  struct stat logSt;
  if (lstat(impl->logPath.c_str(), &logSt) == 0 && !S_ISREG(logSt.st_mode))
    throw SandboxError("cannot use " + impl->logPath + ": not a regular file");
  for (const auto& [letter, drive] : settings.drives) {
    UniqueFd mapped(open(drive.hostFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (mapped && HostTree::Overlap(mapped.Get(), impl->tree.MachineFolder()))
      throw SandboxError(impl->settingsPath + ": drive." + std::string(1, letter) +
                         " overlaps the machine folder");
  }
  impl->Apply(settings);
  RemoveStaleTemporaryFiles(real);
  return std::unique_ptr<SandboxMachine>(new SandboxMachine(std::move(impl)));
}

std::unique_ptr<SandboxMachine> SandboxMachine::Create(const std::string& folder, const std::string& osName) {
  namespace fs = std::filesystem;
  const NamedVersion* version = FindVersion(osName);
  if (version == nullptr)
    throw SandboxError("unknown Windows version '" + osName + "'; known versions: " + KnownVersionNames());
  const std::string target = Absolute(folder);
  if (target == "/") throw SandboxError("cannot make a machine of the root folder");

  struct stat st;
  if (lstat(target.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) throw SandboxError(folder + " exists and is not a folder");
    if (Exists(target + "/" + kSettingsFile)) throw SandboxError(folder + " already holds a sandbox machine");
    std::error_code error;
    if (!fs::is_empty(target, error) || error)
      throw SandboxError(folder + " holds no sandbox machine (no " + kSettingsFile +
                         ") and is not empty; name a new or empty folder");
  }
  const std::size_t slash = target.rfind('/');
  const std::string parent = slash == 0 ? "/" : target.substr(0, slash);
  const std::string name = target.substr(slash + 1);
  std::error_code error;
  fs::create_directories(parent, error);
  if (error) throw SandboxError("cannot create " + parent + ": " + error.message());
  RemoveStaleStaging(parent, name);

  // Seeded aside and renamed into place, so a failed creation leaves nothing
  // that looks like a machine. The staging folder stays locked while it is
  // seeded, which tells a later Create it is not stale.
  std::string staging = parent + "/." + name + ".new-XXXXXX";
  if (mkdtemp(staging.data()) == nullptr)
    throw SandboxError("cannot create a folder in " + parent + ": " + std::strerror(errno));
  UniqueFd held(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (held) flock(held.Get(), LOCK_EX);
  try {
    chmod(staging.c_str(), 0755);
    SeedMachine(staging, *version);
    if (rename(staging.c_str(), target.c_str()) != 0)
      throw SandboxError("cannot create " + folder + ": " + std::strerror(errno));
  } catch (const std::exception& e) {
    fs::remove_all(staging, error);
    if (dynamic_cast<const SandboxError*>(&e) != nullptr) throw;
    throw SandboxError("cannot seed " + folder + ": " + e.what());
  }
  held.Reset();
  return Open(target);
}

std::unique_ptr<SandboxMachine> SandboxMachine::OpenOrCreate(const std::string& folder,
                                                             const std::string& osName, bool* created) {
  const bool exists = Exists(Absolute(folder) + "/" + kSettingsFile);
  if (created != nullptr) *created = !exists;
  return exists ? Open(folder) : Create(folder, osName);
}

void SandboxMachine::SetVersion(const std::string& name) {
  const NamedVersion* version = FindVersion(name);
  if (version == nullptr)
    throw SandboxError("unknown Windows version '" + name + "'; known versions: " + KnownVersionNames());
  impl_->ChangeSettings([&](Settings& next) {
    next.versionName = version->name;
    next.version = version->version;
  });
}

void SandboxMachine::SetVersion(const OsVersion& raw) {
  impl_->ChangeSettings([&](Settings& next) {
    next.versionName.clear();
    next.version = raw;
    next.version.csd[sizeof next.version.csd - 1] = 0;
  });
}

void SandboxMachine::SetVersionQueryFails(bool fails) {
  impl_->ChangeSettings([&](Settings& next) { next.versionQueryFails = fails; });
}

void SandboxMachine::SetCurrentDirectory(const std::string& windowsPath) {
  WinPath path;
  const HostEntry entry = impl_->Find(windowsPath, &path);
  if (entry.kind == HostEntry::NoDrive) throw SandboxError("no drive for " + windowsPath);
  if (entry.kind != HostEntry::Folder) throw SandboxError("no folder " + windowsPath + " on the machine");
  impl_->ChangeSettings([&](Settings& next) { next.currentDirectory = CurrentDirectoryText(path); });
}

void SandboxMachine::MapDrive(char letter, const std::string& hostFolder, bool readOnly) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') throw SandboxError(std::string("not a drive letter: ") + letter);
  const std::string real =
      hostFolder.find('\0') == std::string::npos ? RealFolder(hostFolder) : std::string();
  if (real.empty())
    throw SandboxError("cannot map drive " + std::string(1, letter) + ": no folder " + hostFolder);
  // Through an overlapping drive the machine could rewrite its own files.
  UniqueFd mapped(open(real.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!mapped || HostTree::Overlap(mapped.Get(), impl_->tree.MachineFolder()))
    throw SandboxError("cannot map drive " + std::string(1, letter) + " to " + hostFolder +
                       ": it overlaps the machine folder " + impl_->folder);
  impl_->ChangeSettings([&](Settings& next) { next.drives[letter] = DriveMapping{real, readOnly}; });
}

void SandboxMachine::SetKeyReadOnly(const std::string& keyPath, bool readOnly) {
  const std::string relative = RelativeKeyPath(keyPath);
  if (relative.empty()) throw SandboxError("a read-only key needs a path below HKEY_LOCAL_MACHINE");
  impl_->ChangeSettings([&](Settings& next) {
    std::vector<std::string>& keys = next.readOnlyKeys;
    const auto same = [&](const std::string& key) { return EqualNoCase(key, relative); };
    keys.erase(std::remove_if(keys.begin(), keys.end(), same), keys.end());
    if (readOnly) keys.push_back(relative);
  });
}

void SandboxMachine::FailOperation(Op op, const std::string& windowsPath) {
  const bool registry = op == Op::OpenKey || op == Op::WriteString || op == Op::DeleteValue;
  impl_->faults.emplace_back(op, FaultForm(windowsPath, registry));
  impl_->faultMask |= 1u << static_cast<unsigned>(op);
}

void SandboxMachine::ClearFaults() {
  impl_->faults.clear();
  impl_->faultMask = 0;
}

void SandboxMachine::SetShellOpenHook(
    std::function<void(const std::string& target, const std::string& hostPath)> hook) {
  impl_->shellOpenHook = std::move(hook);
}

void SandboxMachine::SetFaultHook(std::function<void(const std::string& message)> hook) {
  impl_->faultHook = std::move(hook);
}

const std::string& SandboxMachine::Folder() const { return impl_->folder; }

std::string SandboxMachine::MappedFolder(char letter) const {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  const auto drive = impl_->settings.drives.find(letter);
  return drive != impl_->settings.drives.end() ? drive->second.hostFolder : std::string();
}

std::string SandboxMachine::HostPath(const std::string& windowsPath) const {
  const HostEntry entry = impl_->Find(windowsPath);
  return entry.kind == HostEntry::Refused || entry.kind == HostEntry::NoDrive ? std::string() : entry.host;
}

bool SandboxMachine::ReadString(const std::string& keyPath, const std::string& name,
                                std::string& data) const {
  impl_->RefreshRegistry();
  return impl_->registry.GetString(FullKeyPath(RelativeKeyPath(keyPath)), name, data);
}

std::string SandboxMachine::LogPath() const { return impl_->logPath; }

std::vector<std::vector<std::string>> SandboxMachine::ReadLog() const {
  std::string text, why;
  if (!ReadMachineFile(impl_->logPath, text, why)) {
    if (errno == ENOENT) return {};
    throw SandboxError("cannot read " + impl_->logPath + ": " + why);
  }
  return ParseLog(text, impl_->logPath);
}

bool SandboxMachine::QueryVersion(OsVersion& out) {
  if (impl_->settings.versionQueryFails || impl_->Faulted(Op::QueryVersion, "")) return false;
  out = impl_->settings.version;
  return true;
}

int SandboxMachine::GetCurrentDrive() {
  if (impl_->Faulted(Op::GetCurrentDrive, "")) return 0;
  return impl_->cwd.drive - 'A';
}

bool SandboxMachine::GetCurrentDir(std::string& out) {
  out.clear();
  if (impl_->Faulted(Op::GetCurrentDir, "")) return false;
  out = impl_->cwd.ToString().substr(3);
  return true;
}

bool SandboxMachine::FileExists(const std::string& path) {
  if (impl_->Faulted(Op::FileExists, path)) return false;
  WinPath parsed;
  const HostEntry entry = impl_->Find(path, &parsed);
  if (entry.kind != HostEntry::File || parsed.trailingSeparator) return false;
  const long long written = entry.st.st_mtim.tv_sec + LocalOffsetNow();
  return written >= kFirstValidTime && written < kFirstInvalidTime;
}

bool SandboxMachine::DirectoryExists(const std::string& path) {
  if (impl_->Faulted(Op::DirectoryExists, path)) return false;
  return impl_->Find(path).kind == HostEntry::Folder;
}

bool SandboxMachine::FileSize(const std::string& path, std::uint64_t& size) {
  if (impl_->Faulted(Op::FileSize, path)) return false;
  WinPath parsed;
  const HostEntry entry = impl_->Find(path, &parsed);
  if (entry.kind != HostEntry::File || parsed.trailingSeparator) return false;
  size = static_cast<std::uint64_t>(entry.st.st_size);
  return true;
}

bool SandboxMachine::CreateDir(const std::string& path) {
  if (impl_->Faulted(Op::CreateDir, path)) return false;
  const HostEntry entry = impl_->Find(path);
  if (entry.kind != HostEntry::Missing || entry.readOnlyDrive) return false;
  return mkdirat(entry.folder.Get(), entry.name.c_str(), 0777) == 0;
}

CopyResult SandboxMachine::CopyFile(const std::string& source, const std::string& target) {
  const CopyResult source_{CopyResult::Source}, target_{CopyResult::Target};
  WinPath sourcePath, targetPath;
  const HostEntry from = impl_->Find(source, &sourcePath);
  if (from.kind != HostEntry::File || sourcePath.trailingSeparator) return source_;
  if (impl_->Faulted(Op::CopyFile, source, target)) return target_;
  const HostEntry to = impl_->Find(target, &targetPath);
  if (to.readOnlyDrive || targetPath.trailingSeparator) return target_;
  if (to.kind == HostEntry::File) {
    // A read-only target is not replaced (ERROR_ACCESS_DENIED), nor the
    // source copied onto itself (ERROR_SHARING_VIOLATION).
    if ((to.st.st_mode & S_IWUSR) == 0) return target_;
    if (to.st.st_dev == from.st.st_dev && to.st.st_ino == from.st.st_ino) return target_;
  } else if (to.kind != HostEntry::Missing) {
    return target_;
  }
  if (!CopyHostFile(from.folder.Get(), from.name, from.st, to.folder.Get(), to.name,
                    to.kind == HostEntry::File))
    return target_;
  return {};
}

bool SandboxMachine::DeleteFile(const std::string& path) {
  if (impl_->Faulted(Op::DeleteFile, path)) return false;
  WinPath parsed;
  const HostEntry entry = impl_->Find(path, &parsed);
  if (entry.kind != HostEntry::File || parsed.trailingSeparator || entry.readOnlyDrive) return false;
  if ((entry.st.st_mode & S_IWUSR) == 0) return false;  // the read-only attribute
  return unlinkat(entry.folder.Get(), entry.name.c_str(), 0) == 0;
}

bool SandboxMachine::RenameFile(const std::string& from, const std::string& to) {
  if (impl_->Faulted(Op::RenameFile, from, to)) return false;
  WinPath fromPath, toPath;
  const HostEntry source = impl_->Find(from, &fromPath);
  const HostEntry target = impl_->Find(to, &toPath);
  if (source.kind != HostEntry::File || fromPath.trailingSeparator || source.readOnlyDrive) return false;
  if (target.kind != HostEntry::Missing || toPath.trailingSeparator || fromPath.drive != toPath.drive)
    return false;
  return renameat2(source.folder.Get(), source.name.c_str(), target.folder.Get(), target.name.c_str(),
                   RENAME_NOREPLACE) == 0;
}

bool SandboxMachine::ClearReadOnly(const std::string& path) {
  if (impl_->Faulted(Op::ClearReadOnly, path)) return false;
  WinPath parsed;
  const HostEntry entry = impl_->Find(path, &parsed);
  if (entry.kind != HostEntry::File || parsed.trailingSeparator) return false;
  if ((entry.st.st_mode & S_IWUSR) != 0) return true;
  if (entry.readOnlyDrive) return false;
  return fchmodat(entry.folder.Get(), entry.name.c_str(), (entry.st.st_mode & 07777) | S_IWUSR, 0) == 0;
}

bool SandboxMachine::IsLeadByte(char) { return false; }

std::unique_ptr<RegistryKey> SandboxMachine::OpenKey(const std::string& path) {
  if (impl_->Faulted(Op::OpenKey, path)) return nullptr;
  std::string relative = RelativeKeyPath(path);
  // RegCreateKeyExA on 95, 98 and ME skips one more leading backslash; an
  // empty name is ERROR_BAD_PATHNAME.
  if (impl_->settings.version.platformId != 2 && !relative.empty() && relative.front() == '\\')
    relative.erase(0, 1);
  if (!relative.empty() && relative.front() == '\\') return nullptr;
  // KEY_ALL_ACCESS is denied where the user may not write.
  if (impl_->KeyIsReadOnly(relative)) return nullptr;
  if (!impl_->TryRefreshRegistry()) return nullptr;
  const std::string full = FullKeyPath(relative);
  if (!relative.empty() && !impl_->registry.HasKey(full) &&
      !impl_->ChangeRegistry([&](Registry& next) { return next.HasKey(full) || next.AddKey(full); }))
    return nullptr;
  return std::make_unique<SandboxKey>(*impl_, relative);
}

void SandboxMachine::ShellOpen(const std::string& target) {
  if (impl_->Faulted(Op::ShellOpen, target)) return;
  impl_->Log({"ShellOpen", "open", target});
  if (!impl_->shellOpenHook) return;
  std::string hostPath;
  if (!IsAddress(target)) {
    const HostEntry entry = impl_->Find(target);
    if (entry.Exists()) hostPath = entry.host;
  }
  impl_->shellOpenHook(target, hostPath);
}

void SandboxMachine::RecordBox(const std::string& text, const std::string& caption, BoxIcon icon) {
  if (impl_->Faulted(Op::MessageBox, text)) return;
  impl_->Log({"MessageBox", icon == BoxIcon::Error ? "error" : "none", caption, text});
}

}  // namespace qar::sandbox
