#include "platform/sandbox/Sandbox.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/sandbox/DriveTree.h"
#include "platform/sandbox/Registry.h"
#include "platform/sandbox/Settings.h"
#include "platform/sandbox/Versions.h"

namespace qar::sandbox {

namespace fs = std::filesystem;

namespace {

const char kSettingsFile[] = "machine.conf";
const char kRegistryFile[] = "registry.reg";
const char kLogFile[] = "calls.log";

// Local last-write times of dates in 1980..2107, as Unix times.
constexpr long long kFirstValidTime = 315532800LL;
constexpr long long kFirstInvalidTime = 4354819200LL;

// FileTimeToLocalFileTime adds today's bias, whatever it was on the date.
long long LocalOffsetNow() {
  const time_t now = time(nullptr);
  struct tm local;
  return localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
}

std::string Absolute(const std::string& path) {
  std::string absolute = fs::absolute(path).lexically_normal().string();
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

std::string RealFolder(const std::string& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  return !error && path.find('\0') == std::string::npos && fs::is_directory(real, error)
             ? real.string()
             : "";
}

std::string FullKeyPath(const std::string& relative) {
  return std::string(Registry::kMachineRoot) + (relative.empty() ? "" : "\\" + relative);
}

const NamedVersion& KnownVersion(const std::string& name) {
  if (const NamedVersion* version = FindVersion(name)) return *version;
  std::string known;
  for (const NamedVersion& version : KnownVersions())
    known += (known.empty() ? "" : ", ") + std::string(version.name);
  throw SandboxError("unknown Windows version '" + name + "'; known versions: " + known);
}

// "http://host", "mailto:x": a path has no colon but after its drive.
bool IsAddress(const std::string& target) {
  const std::size_t colon = target.find(':');
  return colon != std::string::npos && colon >= 2;
}

bool StartsWithEmptyName(const std::string& relativeKey) {
  return !relativeKey.empty() && relativeKey.front() == '\\';
}

bool KeyIsReadOnly(const Settings& settings, const std::string& relativeKey) {
  const std::string folded = Fold(relativeKey) + '\\';
  for (const std::string& key : settings.readOnlyKeys)
    if (folded.rfind(Fold(key) + '\\', 0) == 0) return true;
  return false;
}

// A second opening is refused at once, never made to wait; a file system
// without locks runs anyway.
void Lock(int folder, const std::string& path) {
  if (!TestRefuses(HostCall::Lock) && flock(folder, LOCK_EX | LOCK_NB) == 0) return;
  if (Unsupported(errno)) {
    std::fprintf(stderr,
                 "%s: the machine folder %s cannot be locked on this file system (%s); "
                 "a second program on it would not be noticed\n",
                 program_invocation_short_name, path.c_str(), std::strerror(errno));
    return;
  }
  throw SandboxError("the machine " + path + " is in use by another program");
}

void SeedMachine(const std::string& folder, const NamedVersion& version) {
  // Past "C:\".
  const fs::path systemRoot = fs::path(folder) / "C" / (version.systemRoot + 3);
  std::istringstream folders(version.folders);
  for (std::string sub; folders >> sub;) fs::create_directories(systemRoot / sub);
  Registry registry;
  registry.AddKey(FullKeyPath("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup"));
  Settings settings;
  settings.versionName = version.name;
  settings.version = version.version;
  const UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || !WriteFileAtomically(fd.Get(), kRegistryFile, registry.Format()) ||
      !WriteFileAtomically(fd.Get(), kSettingsFile, FormatSettings(settings, kSettingsFile)) ||
      !WriteFileAtomically(fd.Get(), kLogFile, ""))
    throw SandboxError("cannot write the machine's files in " + folder + ": " +
                       std::strerror(errno));
}

}  // namespace

struct SandboxMachine::Impl {
  std::string folder;  // real path at opening
  UniqueFd folderFd;   // held open, and with it its lock
  Settings settings;
  DriveTree tree;
  Registry registry;
  std::string registryText;  // the file as last read or written
  Faults faults;
  std::function<void(const std::string&, const std::string&)> shellOpenHook;
  std::function<void(const std::string&)> faultHook;

  Impl(std::string realFolder, UniqueFd fd)
      : folder(std::move(realFolder)), folderFd(std::move(fd)), tree(folderFd.Get(), settings) {}

  // Where it is now, for messages.
  std::string PathOf(const char* file) const { return PathNow(folderFd.Get()) + "/" + file; }

  bool Resolve(const std::string& windowsPath, WinPath& path) const {
    return ResolveWinPath(windowsPath, Cwd(), path, settings.codePage);
  }

  DriveEntry Find(const std::string& windowsPath) const {
    WinPath path;
    return Resolve(windowsPath, path) ? tree.Lookup(path) : DriveEntry{};
  }

  // For an operation on a file: a name ending in a separator names a folder.
  DriveEntry FindFile(const std::string& windowsPath) const {
    WinPath path;
    if (!Resolve(windowsPath, path)) return DriveEntry{};
    DriveEntry entry = tree.Lookup(path);
    if (path.trailingSeparator && entry.kind != DriveEntry::Folder)
      entry.kind = DriveEntry::Refused;
    return entry;
  }

  WinPath Cwd() const {
    WinPath cwd;
    ResolveWinPath(settings.currentDirectory, WinPath{}, cwd, settings.codePage);
    return cwd;
  }

  // Nothing changes when the settings cannot be written.
  void ChangeSettings(const std::function<void(Settings&)>& change) {
    Settings next = settings;
    change(next);
    if (!WriteFileAtomically(folderFd.Get(), kSettingsFile,
                             FormatSettings(next, PathOf(kSettingsFile))))
      throw SandboxError("cannot write " + PathOf(kSettingsFile) + ": " + std::strerror(errno));
    settings = std::move(next);
  }

  bool Fault(const char* file, const std::string& why) const {
    if (faultHook) faultHook("cannot write " + PathOf(file) + ": " + why);
    return false;
  }

  // Nothing changes when the write fails; an unchanged text is not written.
  bool ChangeRegistry(const std::function<bool(Registry&)>& change) {
    Registry next = registry;
    if (!change(next)) return false;
    std::string text = next.Format();
    if (text != registryText) {
      if (static_cast<long long>(text.size()) > kMachineFileLimit)
        return Fault(kRegistryFile, "it would pass 16 MB, the most a machine opens");
      if (!WriteFileAtomically(folderFd.Get(), kRegistryFile, text))
        return Fault(kRegistryFile, std::strerror(errno));
      registryText = std::move(text);
    }
    registry = std::move(next);
    return true;
  }

  // Results unused, as ShellExecuteA's are; the host still hears.
  void Log(const std::vector<std::string>& fields) {
    if (!AppendToFile(folderFd.Get(), kLogFile, FormatLogRecord(fields)))
      Fault(kLogFile, std::strerror(errno));
  }

  CopyResult Copy(const std::string& source, const std::string& target) {
    const DriveEntry from = FindFile(source), to = FindFile(target);
    if (from.kind != DriveEntry::File) return {CopyResult::Source};
    // A read-only target is not replaced (ERROR_ACCESS_DENIED), nor the
    // source copied onto itself (ERROR_SHARING_VIOLATION).
    const bool replaceable = to.kind == DriveEntry::File && to.Writable() &&
                             (to.st.st_dev != from.st.st_dev || to.st.st_ino != from.st.st_ino);
    if (faults.Fails(Op::CopyFile, source, target) || to.readOnlyDrive ||
        (to.kind != DriveEntry::Missing && !replaceable))
      return {CopyResult::Target};
    faults.StartCopy(source);
    return CopyDriveFile(from, to, faults);
  }
};

namespace {

class SandboxKey : public RegistryKey {
 public:
  SandboxKey(SandboxMachine::Impl& machine, std::string relative)
      : machine_(machine), relative_(std::move(relative)), full_(FullKeyPath(relative_)) {}

  // The root key holds no values.
  bool SetString(const std::string& name, const std::string& data) override {
    return !machine_.faults.Fails(Op::WriteString, relative_) && !relative_.empty() &&
           machine_.ChangeRegistry(
               [&](Registry& next) { return next.SetString(full_, name, data); });
  }

  bool DeleteValue(const std::string& name) override {
    return !machine_.faults.Fails(Op::DeleteValue, relative_) &&
           machine_.ChangeRegistry([&](Registry& next) { return next.DeleteValue(full_, name); });
  }

 private:
  SandboxMachine::Impl& machine_;
  std::string relative_, full_;
};

}  // namespace

SandboxMachine::SandboxMachine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SandboxMachine::~SandboxMachine() = default;

std::unique_ptr<SandboxMachine> SandboxMachine::Open(const std::string& folder) {
  const std::string real = RealFolder(Absolute(folder));
  if (real.empty()) throw SandboxError("no sandbox machine folder at " + folder);
  UniqueFd folderFd(open(real.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folderFd) throw SandboxError("cannot open " + folder + ": " + std::strerror(errno));
  Lock(folderFd.Get(), real);
  auto impl = std::make_unique<Impl>(real, std::move(folderFd));
  const int fd = impl->folderFd.Get();
  std::string settings, registry;
  if (!ReadMachineFile(fd, kSettingsFile, settings))
    throw SandboxError(folder + " is not a sandbox machine: it has no " + kSettingsFile);
  if (!ReadMachineFile(fd, kRegistryFile, registry))
    throw SandboxError("no " + impl->PathOf(kRegistryFile));
  impl->settings = ParseSettings(settings, impl->PathOf(kSettingsFile));
  impl->registry = Registry::Parse(registry, impl->PathOf(kRegistryFile));
  impl->registryText = std::move(registry);
  for (const auto& [letter, drive] : impl->settings.drives)
    if (impl->tree.Overlaps(drive.hostFolder))
      throw SandboxError(impl->PathOf(kSettingsFile) + ": drive." + letter +
                         " overlaps the machine folder");
  return std::unique_ptr<SandboxMachine>(new SandboxMachine(std::move(impl)));
}

std::unique_ptr<SandboxMachine> SandboxMachine::Create(const std::string& folder,
                                                       const std::string& osName) {
  const NamedVersion& version = KnownVersion(osName);
  const std::string target = Absolute(folder);
  if (fs::exists(target + "/" + kSettingsFile))
    throw SandboxError(folder + " already holds a sandbox machine");
  std::error_code error;
  const fs::file_status status = fs::symlink_status(target);
  if (fs::exists(status) && (!fs::is_directory(status) || !fs::is_empty(target, error) || error))
    throw SandboxError(folder + " is not an empty folder; name a new or empty folder");
  const fs::path parent = fs::path(target).parent_path();
  fs::create_directories(parent, error);
  if (error) throw SandboxError("cannot create " + parent.string() + ": " + error.message());
  // Seeded aside: a failed creation leaves nothing like a machine.
  std::string staging =
      (parent / ("." + fs::path(target).filename().string() + ".new-XXXXXX")).string();
  if (mkdtemp(staging.data()) == nullptr)
    throw SandboxError("cannot create a folder in " + parent.string() + ": " +
                       std::strerror(errno));
  try {
    chmod(staging.c_str(), 0755);
    SeedMachine(staging, version);
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
                                                             const std::string& osName,
                                                             bool* created) {
  const bool exists = fs::exists(fs::symlink_status(Absolute(folder) + "/" + kSettingsFile));
  if (created != nullptr) *created = !exists;
  return exists ? Open(folder) : Create(folder, osName);
}

void SandboxMachine::SetVersion(const std::string& name) {
  const NamedVersion& version = KnownVersion(name);
  impl_->ChangeSettings([&](Settings& next) {
    next.versionName = version.name;
    next.version = version.version;
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
  const bool resolved = impl_->Resolve(windowsPath, path);
  const DriveEntry entry = resolved ? impl_->tree.Lookup(path) : DriveEntry{};
  if (entry.kind == DriveEntry::NoDrive) throw SandboxError("no drive for " + windowsPath);
  if (entry.kind != DriveEntry::Folder)
    throw SandboxError("no folder " + windowsPath + " on the machine");
  impl_->ChangeSettings(
      [&](Settings& next) { next.currentDirectory = CurrentDirectoryText(path); });
}

void SandboxMachine::MapDrive(char letter, const std::string& hostFolder, bool readOnly) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  const std::string drive(1, letter);
  if (letter < 'A' || letter > 'Z') throw SandboxError("not a drive letter: " + drive);
  const std::string real = RealFolder(hostFolder);
  if (real.empty()) throw SandboxError("cannot map drive " + drive + ": no folder " + hostFolder);
  if (impl_->tree.Overlaps(real))
    throw SandboxError("cannot map drive " + drive + " to " + hostFolder +
                       ": it overlaps the machine folder " + impl_->folder);
  impl_->ChangeSettings([&](Settings& next) {
    next.drives[letter] = DriveMapping{real, readOnly};
  });
}

void SandboxMachine::SetKeyReadOnly(const std::string& keyPath, bool readOnly) {
  const std::string relative = RelativeKeyPath(keyPath);
  if (relative.empty()) throw SandboxError("a read-only key needs a path below HKEY_LOCAL_MACHINE");
  impl_->ChangeSettings([&](Settings& next) {
    std::vector<std::string>& keys = next.readOnlyKeys;
    keys.erase(std::remove_if(keys.begin(), keys.end(),
                              [&](const auto& key) { return EqualNoCase(key, relative); }),
               keys.end());
    if (readOnly) keys.push_back(relative);
  });
}

void SandboxMachine::SetCodePage(unsigned codePage) {
  if (!IsKnownCodePage(codePage))
    throw SandboxError("unknown code page " + std::to_string(codePage) + "; known: 1252, 932");
  impl_->ChangeSettings([&](Settings& next) { next.codePage = codePage; });
}

Faults& SandboxMachine::Inject() { return impl_->faults; }

void SandboxMachine::SetShellOpenHook(
    std::function<void(const std::string&, const std::string&)> hook) {
  impl_->shellOpenHook = std::move(hook);
}

void SandboxMachine::SetFaultHook(std::function<void(const std::string& message)> hook) {
  impl_->faultHook = std::move(hook);
}

const std::string& SandboxMachine::Folder() const { return impl_->folder; }

std::string SandboxMachine::MappedFolder(char letter) const {
  const auto drive = impl_->settings.drives.find(letter);
  return drive != impl_->settings.drives.end() ? drive->second.hostFolder : "";
}

std::string SandboxMachine::HostPath(const std::string& windowsPath) const {
  const DriveEntry entry = impl_->Find(windowsPath);
  if (entry.kind == DriveEntry::Refused || entry.kind == DriveEntry::NoDrive) return "";
  return entry.host;
}

bool SandboxMachine::ReadString(const std::string& keyPath, const std::string& name,
                                std::string& data) const {
  return impl_->registry.GetString(FullKeyPath(RelativeKeyPath(keyPath)), name, data);
}

std::vector<std::vector<std::string>> SandboxMachine::ReadLog() const {
  std::string text;
  if (!ReadMachineFile(impl_->folderFd.Get(), kLogFile, text)) return {};
  return ParseLog(text, impl_->PathOf(kLogFile));
}

bool SandboxMachine::QueryVersion(OsVersion& out) {
  if (impl_->faults.Fails(Op::QueryVersion, "")) return false;
  if (impl_->settings.versionQueryFails) return false;
  out = impl_->settings.version;
  return true;
}

int SandboxMachine::GetCurrentDrive() {
  if (impl_->faults.Fails(Op::GetCurrentDrive, "")) return 0;
  return impl_->Cwd().drive - 'A';
}

bool SandboxMachine::GetCurrentDir(std::string& out) {
  out.clear();
  if (impl_->faults.Fails(Op::GetCurrentDir, "")) return false;
  out = impl_->Cwd().ToString().substr(3);
  return true;
}

bool SandboxMachine::FileExists(const std::string& path) {
  if (impl_->faults.Fails(Op::FileExists, path)) return false;
  const DriveEntry entry = impl_->FindFile(path);
  const long long written = entry.st.st_mtim.tv_sec + LocalOffsetNow();
  if (entry.kind != DriveEntry::File) return false;
  return written >= kFirstValidTime && written < kFirstInvalidTime;
}

bool SandboxMachine::DirectoryExists(const std::string& path) {
  if (impl_->faults.Fails(Op::DirectoryExists, path)) return false;
  return impl_->Find(path).kind == DriveEntry::Folder;
}

bool SandboxMachine::FileSize(const std::string& path, std::uint64_t& size) {
  if (impl_->faults.Fails(Op::FileSize, path)) return false;
  const DriveEntry entry = impl_->FindFile(path);
  if (entry.kind != DriveEntry::File) return false;
  size = entry.st.st_size;
  return true;
}

bool SandboxMachine::CreateDir(const std::string& path) {
  if (impl_->faults.Fails(Op::CreateDir, path)) return false;
  const DriveEntry entry = impl_->Find(path);
  if (entry.kind != DriveEntry::Missing || entry.readOnlyDrive) return false;
  return mkdirat(entry.folder.Get(), entry.name.c_str(), 0777) == 0;
}

CopyResult SandboxMachine::CopyFile(const std::string& source, const std::string& target) {
  const CopyResult result = impl_->Copy(source, target);
  impl_->faults.CopyDone();
  return result;
}

// A read-only file (no owner write bit) is neither deleted nor renamed.
bool SandboxMachine::DeleteFile(const std::string& path) {
  if (impl_->faults.Fails(Op::DeleteFile, path)) return false;
  const DriveEntry entry = impl_->FindFile(path);
  if (entry.kind != DriveEntry::File || entry.readOnlyDrive) return false;
  if (!entry.Writable()) return false;
  return unlinkat(entry.folder.Get(), entry.name.c_str(), 0) == 0;
}

bool SandboxMachine::RenameFile(const std::string& from, const std::string& to) {
  if (impl_->faults.Fails(Op::RenameFile, from, to)) return false;
  const DriveEntry source = impl_->FindFile(from);
  const DriveEntry target = impl_->FindFile(to);
  if (source.kind != DriveEntry::File || source.readOnlyDrive) return false;
  if (target.kind != DriveEntry::Missing) return false;
  return RenameNoReplace(source, target);
}

bool SandboxMachine::ClearAttributes(const std::string& path) {
  if (impl_->faults.Fails(Op::ClearAttributes, path)) return false;
  const DriveEntry entry = impl_->FindFile(path);
  if (entry.kind != DriveEntry::File) return false;
  if (entry.Writable()) return true;
  if (entry.readOnlyDrive) return false;
  const mode_t mode = (entry.st.st_mode & 07777) | S_IWUSR;
  return fchmodat(entry.folder.Get(), entry.name.c_str(), mode, 0) == 0;
}

bool SandboxMachine::IsLeadByte(char byte) {
  return sandbox::IsLeadByte(impl_->settings.codePage, static_cast<unsigned char>(byte));
}

std::unique_ptr<RegistryKey> SandboxMachine::OpenKey(const std::string& path) {
  if (impl_->faults.Fails(Op::OpenKey, path)) return nullptr;
  std::string relative = RelativeKeyPath(path);
  // RegCreateKeyExA on 95, 98 and ME skips one more leading backslash; an
  // empty name is ERROR_BAD_PATHNAME.
  const bool nt = impl_->settings.version.platformId == 2;
  if (!nt && StartsWithEmptyName(relative)) relative.erase(0, 1);
  if (StartsWithEmptyName(relative)) return nullptr;
  // KEY_ALL_ACCESS is denied where the user may not write.
  if (KeyIsReadOnly(impl_->settings, relative)) return nullptr;
  const std::string full = FullKeyPath(relative);
  const bool exists = relative.empty() || impl_->registry.HasKey(full);
  const auto add = [&](Registry& next) { return next.AddKey(full); };
  if (!exists && !impl_->ChangeRegistry(add)) return nullptr;
  return std::make_unique<SandboxKey>(*impl_, relative);
}

void SandboxMachine::ShellOpen(const std::string& target) {
  if (impl_->faults.Fails(Op::ShellOpen, target)) return;
  impl_->Log({"ShellOpen", "open", target});
  const DriveEntry entry = IsAddress(target) ? DriveEntry{} : impl_->Find(target);
  if (impl_->shellOpenHook) impl_->shellOpenHook(target, entry.Exists() ? entry.host : "");
}

void SandboxMachine::RecordBox(const std::string& text, const std::string& caption, BoxIcon icon) {
  if (impl_->faults.Fails(Op::MessageBox, text)) return;
  impl_->Log({"MessageBox", icon == BoxIcon::Error ? "error" : "none", caption, text});
}

}  // namespace qar::sandbox
