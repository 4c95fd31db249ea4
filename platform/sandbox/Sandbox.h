// The sandbox machine: a simulated Windows machine kept in a host folder, and
// the Platform implementation over it. See platform/sandbox/README.md for the
// folder layout, the settings file, the seeding and the call log.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qar::sandbox {

// Bad input to the sandbox itself: a missing or malformed machine folder,
// settings or registry file, an unknown version name, a drive mapping that
// overlaps the machine. The message names the file and line where there is
// one.
class SandboxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Every Platform operation, for fault injection.
// clang-format off
enum class Op {
  QueryVersion, GetCurrentDrive, GetCurrentDir, FileExists, DirectoryExists, FileSize, CreateDir, CopyFile,
  DeleteFile, RenameFile, ClearReadOnly, OpenKey, WriteString, DeleteValue, ShellOpen, MessageBox
};
// clang-format on

class SandboxMachine : public Platform {
 public:
  // Opens an existing machine folder and holds it until destroyed: one
  // process per machine. Throws SandboxError when the folder, its settings
  // or its registry file is missing or malformed, or when another process
  // holds the machine (naming it).
  static std::unique_ptr<SandboxMachine> Open(const std::string& folder);
  // Creates the folder (and missing parents) and seeds it as a fresh
  // installation of the named version. Throws SandboxError when the name is
  // unknown or the folder already holds a machine.
  static std::unique_ptr<SandboxMachine> Create(const std::string& folder, const std::string& osName);
  // Open when the folder holds a machine, otherwise Create; `created` (if
  // given) tells which.
  static std::unique_ptr<SandboxMachine> OpenOrCreate(const std::string& folder, const std::string& osName,
                                                      bool* created = nullptr);

  ~SandboxMachine() override;

  // Machine settings; each is written back to the settings file at once.
  void SetVersion(const std::string& name);  // throws SandboxError if unknown
  void SetVersion(const OsVersion& raw);
  void SetVersionQueryFails(bool fails);
  // A Windows path such as "D:\\" or "D:\\setup"; the drive must exist.
  void SetCurrentDirectory(const std::string& windowsPath);
  // Serves drive `letter` from a host folder outside the machine folder (the
  // demo medium, a test medium). Its files count as read-only when
  // `readOnly` is set, as on a CD.
  void MapDrive(char letter, const std::string& hostFolder, bool readOnly);
  // Simulates a user without administrator rights: the key (and every key
  // below it) cannot be opened for writing.
  void SetKeyReadOnly(const std::string& keyPath, bool readOnly);
  // The ANSI code page: 1252 (the default) or 932 (Japanese). Throws
  // SandboxError for another.
  void SetCodePage(unsigned codePage);

  // Fault injection for tests (not persisted): every later call of `op`
  // fails as the operation reports failure (false, null, empty, raising for
  // WriteString). With a path, only calls whose path argument equals it
  // case-insensitively fail: for CopyFile the source or the target, for the
  // registry operations the key's path.
  void FailOperation(Op op, const std::string& windowsPath = "");
  // Copy faults, also ended by ClearFaults. Reading the source `windowsPath`
  // fails after `bytes` bytes, as on a scratched CD: CopyFile reports the
  // source.
  void FailReadAfter(const std::string& windowsPath, std::uint64_t bytes);
  // The copies may write `bytes` more bytes in all; then the disk is full
  // and CopyFile reports the target.
  void DiskFullAfter(std::uint64_t bytes);
  // The process is killed (SIGKILL), as by a crash or a power cut, once
  // `copies` more CopyFile calls have finished and the next one has written
  // `bytes` bytes of its target; with 0 bytes, right after the last of those
  // copies. What was written stays.
  void StopAfterCopies(unsigned copies, std::uint64_t bytes = 0);
  void ClearFaults();

  // Called after each ShellOpen has been logged, with the host path of a
  // target on the machine ("" for an address or an unresolvable path).
  void SetShellOpenHook(std::function<void(const std::string& target, const std::string& hostPath)> hook);

  // Called with the reason when an operation fails because of the machine
  // itself (a registry file that cannot be written) rather than as Windows
  // would fail it.
  void SetFaultHook(std::function<void(const std::string& message)> hook);

  // Introspection.
  const std::string& Folder() const;
  // The host folder a drive is mapped to, as the settings hold it ("" for a
  // drive that is not mapped); it may be gone.
  std::string MappedFolder(char letter) const;
  // Host path of a Windows path ("" when it is refused or its drive is
  // missing). The final component need not exist.
  std::string HostPath(const std::string& windowsPath) const;
  // Reads a string value from the registry (false when absent).
  bool ReadString(const std::string& keyPath, const std::string& name, std::string& data) const;
  std::string LogPath() const;
  // The call log's records, unescaped, one vector of fields per line.
  std::vector<std::vector<std::string>> ReadLog() const;

  // Platform
  bool QueryVersion(OsVersion& out) override;
  int GetCurrentDrive() override;
  bool GetCurrentDir(std::string& out) override;
  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  bool FileSize(const std::string& path, std::uint64_t& size) override;
  bool CreateDir(const std::string& path) override;
  CopyResult CopyFile(const std::string& source, const std::string& target) override;
  bool DeleteFile(const std::string& path) override;
  bool RenameFile(const std::string& from, const std::string& to) override;
  bool ClearReadOnly(const std::string& path) override;
  bool IsLeadByte(char byte) override;
  std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override;
  void ShellOpen(const std::string& target) override;
  // Not a Platform call: the log line of a box the host showed.
  void RecordBox(const std::string& text, const std::string& caption, BoxIcon icon);

  struct Impl;

 private:
  explicit SandboxMachine(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qar::sandbox
