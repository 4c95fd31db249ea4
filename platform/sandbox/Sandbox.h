// The sandbox machine: a simulated Windows machine kept in a host folder
// (platform/sandbox/README.md).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/sandbox/Faults.h"
#include "platform/sandbox/Files.h"

namespace qar::sandbox {

class SandboxMachine : public Platform {
 public:
  // Open holds the folder while the machine lives. Create seeds a new or
  // empty folder as a fresh installation of the version.
  static std::unique_ptr<SandboxMachine> Open(const std::string& folder);
  static std::unique_ptr<SandboxMachine> Create(const std::string& folder,
                                                const std::string& osName);
  static std::unique_ptr<SandboxMachine> OpenOrCreate(const std::string& folder,
                                                      const std::string& osName,
                                                      bool* created = nullptr);
  ~SandboxMachine() override;

  // Settings, each written at once.
  void SetVersion(const std::string& name);
  void SetVersion(const OsVersion& raw);
  void SetVersionQueryFails(bool fails);
  // An existing folder.
  void SetCurrentDirectory(const std::string& windowsPath);
  // A host folder outside the machine as a drive, read-only as a CD.
  void MapDrive(char letter, const std::string& hostFolder, bool readOnly);
  // The key and its subkeys cannot be opened, as for a user who may not
  // write.
  void SetKeyReadOnly(const std::string& keyPath, bool readOnly);
  // 1252 (the default) or 932 (Japanese).
  void SetCodePage(unsigned codePage);

  // Fault injection for tests, not persisted.
  Faults& Inject();

  // Hear each ShellOpen with the target's host path ("" if none), and why
  // the machine's own files failed an operation.
  void SetShellOpenHook(
      std::function<void(const std::string& target, const std::string& hostPath)> hook);
  void SetFaultHook(std::function<void(const std::string& message)> hook);

  const std::string& Folder() const;
  // Of drive 'A'..'Z'; "" when not mapped.
  std::string MappedFolder(char letter) const;
  // "" when the path is refused or its drive missing.
  std::string HostPath(const std::string& windowsPath) const;
  bool ReadString(const std::string& keyPath, const std::string& name, std::string& data) const;
  // The records, unescaped.
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
  bool ClearAttributes(const std::string& path) override;
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
