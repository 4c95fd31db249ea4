// The Platform operations on the Win32 ANSI API, one call each. <windows.h>
// stays out of this header: its CopyFile, DeleteFile and MessageBox macros
// would rename our methods in every file that includes it.
#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"

struct HWND__;  // HWND without <windows.h>

namespace qar {

class Win32Platform : public Platform {
 public:
  // The application window: it owns every message box. Null (the desktop)
  // until the host has created it.
  void SetBoxOwner(HWND__* owner) { boxOwner_ = owner; }
  HWND__* BoxOwner() const { return boxOwner_; }

  bool QueryVersion(OsVersion& out) override;
  int GetCurrentDrive() override;
  bool GetCurrentDir(std::string& out) override;

  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  bool CreateDir(const std::string& path) override;
  bool CopyFile(const std::string& source, const std::string& target) override;
  bool DeleteFile(const std::string& path) override;

  std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override;

  void ShellOpen(const std::string& target) override;
  void MessageBox(const std::string& text, const std::string& caption,
                  BoxIcon icon) override;

 private:
  HWND__* boxOwner_ = nullptr;
};

// The current directory as GetCurrentDirectoryA reports it ("D:\\setup",
// "D:\\"), reduced to what GetCurrentDir returns ("setup", "").
std::string StripDrivePrefix(const std::string& currentDirectory);

}  // namespace qar
