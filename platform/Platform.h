// The operating-system operations the wizard's logic uses. Windows maps each
// to its Win32 call (platform/win32/; CopyFile also clears the attributes
// ClearAttributes clears); the sandbox (platform/sandbox/) is a simulated
// Windows machine kept in a host folder. Every path is an 8-bit (ANSI)
// Windows path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Error.h"

namespace qar {

// The version record as GetVersionExA fills it: zero-filled first, so a
// service-pack text shorter than two characters leaves csd[1] == 0.
struct OsVersion {
  unsigned platformId = 0;  // 0 Win32s, 1 Windows 95/98/ME, 2 NT family
  unsigned major = 0;
  unsigned minor = 0;
  char csd[128] = {};  // szCSDVersion

  void SetCsd(const std::string& text);
  std::string Csd() const;
};

// A registry key opened for one operation; closed when destroyed.
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // REG_SZ value; false when the write failed.
  virtual bool SetString(const std::string& name, const std::string& data) = 0;
  virtual bool DeleteValue(const std::string& name) = 0;
};

// What became of a copy: made, or which side failed. True when made.
struct CopyResult {
  enum Side { None, Source, Target };
  Side failed = None;  // Source: missing or unreadable (a scratched CD);
                       // Target: not writable (disk full, no permission)
  explicit operator bool() const { return failed == None; }
};

// The icon of a message box. The hosts show the boxes; the sandbox machine
// records them.
enum class BoxIcon { None, Error };

class Platform {
 public:
  virtual ~Platform() = default;

  // False when the query failed.
  virtual bool QueryVersion(OsVersion& out) = 0;
  // Zero-based: 0 is A:, 2 is C:.
  virtual int GetCurrentDrive() = 0;
  // The current directory of the current drive, without drive letter and
  // leading backslash ("" at the root), however long it is. False on failure.
  virtual bool GetCurrentDir(std::string& out) = 0;

  // True only for an existing file (not a folder) whose last-write time lies
  // in 1980..2107.
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;
  // The size in bytes of an existing file; false for a folder or when
  // absent. Whatever its last-write time.
  virtual bool FileSize(const std::string& path, std::uint64_t& size) = 0;
  // One level only: fails when the parent is missing or the folder exists.
  virtual bool CreateDir(const std::string& path) = 0;
  // Replaces an existing target, but not a read-only or hidden one (Windows
  // refuses both). The read-only, hidden and system attributes carried over
  // from the source are cleared on the copy, so later copies and deletes
  // still work.
  virtual CopyResult CopyFile(const std::string& source, const std::string& target) = 0;
  // Fails on a read-only file.
  virtual bool DeleteFile(const std::string& path) = 0;
  // Renames a file within its drive; fails when `to` exists (MoveFileA).
  virtual bool RenameFile(const std::string& from, const std::string& to) = 0;
  // Clears a file's read-only, hidden and system attributes, which make
  // CopyFileA or DeleteFileA refuse it, and leaves its others; false when
  // there is no such file or they cannot be changed.
  virtual bool ClearAttributes(const std::string& path) = 0;
  // Whether the byte starts a two-byte character in the system's ANSI code
  // page (code page 932 and the other East Asian ones), so that the byte
  // after it is no character of its own, a backslash though it may look.
  virtual bool IsLeadByte(char byte) = 0;

  // Opens or creates a key under HKEY_LOCAL_MACHINE with full access; a
  // leading backslash is taken from the root. Null when it cannot be opened.
  virtual std::unique_ptr<RegistryKey> OpenKey(const std::string& path) = 0;

  // Hands a document, program or address to the shell with the verb "open".
  virtual void ShellOpen(const std::string& target) = 0;
};

// Writes a string value; raises when no key is open or the write fails.
void WriteString(RegistryKey* key, const std::string& name, const std::string& data);

}  // namespace qar
