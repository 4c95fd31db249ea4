// The sandbox machine: the Platform implementation on Linux. A simulated
// Windows machine kept in a host folder: drives as subfolders or mapped host
// folders, the registry as a REGEDIT4 file, settings in machine.conf, and a
// log of what would have been shown or launched.
#include "platform/sandbox/Sandbox.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

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


// A machine file's text; a SandboxError naming the file for anything but a
// regular file of sane size, at once rather than hanging on a pipe.
std::string ReadMachineFileOrThrow(const std::string& path) {
  std::string text, why;
  if (!ReadMachineFile(path, text, why)) throw SandboxError("cannot read " + path + ": " + why);
  return text;
}

// The process holding flock on the open folder `fd`, read from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"); "" when not found.
std::string LockHolder(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return std::string();
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, type, kind, mode, pid, id;
    fields >> number >> type >> kind >> mode >> pid >> id;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (type == "FLOCK" && std::sscanf(id.c_str(), "%x:%x:%llu", &major, &minor, &inode) == 3 &&
        makedev(major, minor) == st.st_dev && inode == st.st_ino)
      return pid;
  }
  return std::string();
}

}  // namespace

struct SandboxMachine::Impl {
  std::string folder;  // real path
  std::string settingsPath, registryPath, logPath;
  Settings settings;
  WinPath cwd;
  HostTree tree;  // holds the machine folder open, and with it its lock
  Registry registry;
  std::string registryText;  // the file as last read or written
  std::vector<std::pair<Op, std::string>> faults;
  unsigned faultMask = 0;
  std::vector<std::pair<std::string, long long>> readFaults;  // source, readable bytes
  long long diskLeft = -1;
  long long copiesBeforeStop = -1, stopBytes = 0;
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
    if (!ResolveWinPath(windowsPath, cwd, path, settings.codePage)) return HostEntry{};
    if (parsed != nullptr) *parsed = path;
    return tree.Lookup(path);
  }

  // Makes the settings current: the drives, the code page and the current
  // directory.
  void Apply(const Settings& next) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) tree.MapDrive(letter, "", false);
    for (const auto& [letter, drive] : next.drives) tree.MapDrive(letter, drive.hostFolder, drive.readOnly);
    tree.SetCodePage(next.codePage);
    WinPath path;
    ResolveWinPath(next.currentDirectory, WinPath{}, path, next.codePage);
    path.trailingSeparator = false;
    cwd = path;
    settings = next;
  }

  // Applies `change` to the settings and writes them; nothing changes when
  // that fails.
  void ChangeSettings(const std::function<void(Settings&)>& change) {
    Settings next = settings;
    change(next);
    if (!WriteFileAtomically(settingsPath, FormatSettings(next)))
      throw SandboxError("cannot write " + settingsPath + ": " + std::strerror(errno));
    Apply(next);
  }

  // Where an operation fails because of the machine itself rather than as
  // Windows would fail it, the host hears why.
  void Fault(const std::string& message) const {
    if (faultHook) faultHook(message);
  }

  // Applies `change` to the registry and writes it; false, with nothing
  // changed, when the change or the write fails.
  bool ChangeRegistry(const std::function<bool(Registry&)>& change) {
    Registry next = registry;
    if (!change(next)) return false;
    std::string text = next.Format();
    // A change that leaves the file as it is (a value set to what it holds)
    // costs no write.
    if (text != registryText) {
      if (static_cast<long long>(text.size()) > kMachineFileLimit) {
        Fault("cannot write " + registryPath + ": it would pass 16 MB, the most a machine opens");
        return false;
      }
      if (!WriteFileAtomically(registryPath, text)) {
        Fault("cannot write " + registryPath + ": " + std::strerror(errno));
        return false;
      }
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
      Fault("cannot write " + logPath + ": " + std::strerror(errno));
  }

  CopyResult Copy(const std::string& source, const std::string& target) {
    WinPath sourcePath, targetPath;
    const HostEntry from = Find(source, &sourcePath);
    if (from.kind != HostEntry::File || sourcePath.trailingSeparator) return {CopyResult::Source};
    const HostEntry to = Find(target, &targetPath);
    // A read-only target is not replaced (ERROR_ACCESS_DENIED), nor the
    // source copied onto itself (ERROR_SHARING_VIOLATION).
    if (Faulted(Op::CopyFile, source, target) || to.readOnlyDrive || targetPath.trailingSeparator ||
        (to.kind == HostEntry::File &&
         ((to.st.st_mode & S_IWUSR) == 0 || (to.st.st_dev == from.st.st_dev && to.st.st_ino == from.st.st_ino))) ||
        (to.kind != HostEntry::File && to.kind != HostEntry::Missing))
      return {CopyResult::Target};
    CopyFaults copyFaults;
    for (const auto& [path, bytes] : readFaults)
      if (path == FaultForm(source, false)) copyFaults.readable = bytes;
    if (diskLeft >= 0) copyFaults.diskLeft = &diskLeft;
    if (copiesBeforeStop == 0) copyFaults.stopAt = stopBytes;
    return CopyHostFile(from.folder.Get(), from.name, to.folder.Get(), to.name, copyFaults);
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
  if (!WriteFileAtomically(folder + "/" + kRegistryFile, registry.Format()) ||
      !WriteFileAtomically(folder + "/" + kSettingsFile, FormatSettings(settings)) ||
      !WriteFileAtomically(folder + "/" + kLogFile, ""))
    throw SandboxError("cannot write the machine's files in " + folder + ": " + std::strerror(errno));
}

}  // namespace

SandboxMachine::SandboxMachine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SandboxMachine::~SandboxMachine() = default;

std::unique_ptr<SandboxMachine> SandboxMachine::Open(const std::string& folder) {
  const std::string real = RealFolder(Absolute(folder));
  if (real.empty()) throw SandboxError("no sandbox machine folder at " + folder);
  UniqueFd folderFd(open(real.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folderFd) throw SandboxError("cannot open " + folder + ": " + std::strerror(errno));
  // One process per machine, held until this one ends: a second is refused
  // at once rather than made to wait or to lose a write.
  if (flock(folderFd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) throw SandboxError("cannot lock " + folder + ": " + std::strerror(errno));
    const std::string holder = LockHolder(folderFd.Get());
    throw SandboxError("the machine " + real + " is in use by another program" +
                       (holder.empty() ? std::string() : " (process " + holder + ")"));
  }
  auto impl = std::make_unique<Impl>(real, std::move(folderFd));

  std::string text, why;
  if (!ReadMachineFile(impl->settingsPath, text, why)) {
    if (errno == ENOENT)
      throw SandboxError(folder + " is not a sandbox machine: cannot read " + impl->settingsPath);
    throw SandboxError("cannot read " + impl->settingsPath + ": " + why);
  }
  const Settings settings = ParseSettings(text, impl->settingsPath);
  impl->registryText = ReadMachineFileOrThrow(impl->registryPath);
  impl->registry = Registry::Parse(impl->registryText, impl->registryPath);
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

  // Seeded aside and renamed into place, so a failed creation leaves nothing
  // that looks like a machine.
  std::string staging = parent + "/." + name + ".new-XXXXXX";
  if (mkdtemp(staging.data()) == nullptr)
    throw SandboxError("cannot create a folder in " + parent + ": " + std::strerror(errno));
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

void SandboxMachine::SetCodePage(unsigned codePage) {
  if (!IsKnownCodePage(codePage))
    throw SandboxError("unknown code page " + std::to_string(codePage) + "; known: 1252, 932, 936, 949, 950");
  impl_->ChangeSettings([&](Settings& next) { next.codePage = codePage; });
}

void SandboxMachine::FailOperation(Op op, const std::string& windowsPath) {
  const bool registry = op == Op::OpenKey || op == Op::WriteString || op == Op::DeleteValue;
  impl_->faults.emplace_back(op, FaultForm(windowsPath, registry));
  impl_->faultMask |= 1u << static_cast<unsigned>(op);
}

void SandboxMachine::FailReadAfter(const std::string& windowsPath, std::uint64_t bytes) {
  impl_->readFaults.emplace_back(FaultForm(windowsPath, false), static_cast<long long>(bytes));
}

void SandboxMachine::DiskFullAfter(std::uint64_t bytes) { impl_->diskLeft = static_cast<long long>(bytes); }

void SandboxMachine::StopAfterCopies(unsigned copies, std::uint64_t bytes) {
  impl_->copiesBeforeStop = copies;
  impl_->stopBytes = static_cast<long long>(bytes);
}

void SandboxMachine::ClearFaults() {
  impl_->faults.clear();
  impl_->faultMask = 0;
  impl_->readFaults.clear();
  impl_->diskLeft = -1;
  impl_->copiesBeforeStop = -1;
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
  const CopyResult result = impl_->Copy(source, target);
  long long& left = impl_->copiesBeforeStop;
  // The copy that was to be cut off was shorter than the cut: stop after it.
  if (left == 0 || (left > 0 && --left == 0 && impl_->stopBytes == 0)) kill(getpid(), SIGKILL);
  return result;
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

bool SandboxMachine::IsLeadByte(char byte) {
  return sandbox::IsLeadByte(impl_->settings.codePage, static_cast<unsigned char>(byte));
}

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
