// The Platform operations on the Win32 ANSI API. <windows.h>
// stays out of this header: its CopyFile and DeleteFile macros would rename
// our methods in every file that includes it.
#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"

namespace qar {

class Win32Platform : public Platform {
 public:
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
};

// The current directory as GetCurrentDirectoryA reports it ("D:\\setup",
// "D:\\"), reduced to what GetCurrentDir returns ("setup", "").
std::string StripDrivePrefix(const std::string& currentDirectory);

// Which side a failed CopyFileA failed on, from its GetLastError code and
// whether the source is still a file: the medium's when the source is gone
// or could not be read, otherwise the target's.
CopyResult::Side CopyFailureSide(unsigned long error, bool sourceIsFile);

}  // namespace qar
