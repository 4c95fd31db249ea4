#include "platform/win32/Win32Platform.h"

#include "platform/win32/ScopedWin.h"

#include <direct.h>
#include <shellapi.h>

#include <cstring>
#include <vector>

namespace qar {

namespace {

class Win32RegistryKey : public RegistryKey {
 public:
  explicit Win32RegistryKey(HKEY key) : key_(key) {}

  bool SetString(const std::string& name, const std::string& data) override {
    // REG_SZ length counts the terminating zero.
    return RegSetValueExA(key_.Get(), name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() + 1)) == ERROR_SUCCESS;
  }

  bool DeleteValue(const std::string& name) override {
    return RegDeleteValueA(key_.Get(), name.c_str()) == ERROR_SUCCESS;
  }

 private:
  win32::ScopedKey key_;
};

}  // namespace

std::string StripDrivePrefix(const std::string& currentDirectory) {
  std::string dir = currentDirectory;
  if (dir.size() >= 2 && dir[1] == ':') dir.erase(0, 2);
  if (!dir.empty() && dir[0] == '\\') dir.erase(0, 1);
  return dir;
}

bool Win32Platform::QueryVersion(OsVersion& out) {
  // Zero-filled, so a short service-pack text leaves zeros behind it.
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return false;
  out.platformId = info.dwPlatformId;
  out.major = info.dwMajorVersion;
  out.minor = info.dwMinorVersion;
  static_assert(sizeof out.csd == sizeof info.szCSDVersion, "csd size");
  std::memcpy(out.csd, info.szCSDVersion, sizeof out.csd);
  return true;
}

int Win32Platform::GetCurrentDrive() { return _getdrive() - 1; }

bool Win32Platform::GetCurrentDir(std::string& out) {
  // Room for 255 characters first; a longer directory is read again whole.
  std::vector<char> buffer(256);
  for (;;) {
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return false;
    // Too small: the result is the size needed, terminating zero included.
    if (length < buffer.size()) {
      out = StripDrivePrefix(std::string(buffer.data(), length));
      return true;
    }
    buffer.resize(length + 1);
  }
}

bool Win32Platform::FileExists(const std::string& path) {
  WIN32_FIND_DATAA data;
  win32::ScopedFind find(path.c_str(), data);
  if (!find.Valid()) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  // The rule of a DOS date: the local last-write year must lie in
  // 1980..2107. Checked by hand because not every FileTimeToDosDateTime
  // refuses years past 2107.
  FILETIME local;
  SYSTEMTIME when;
  return FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) &&
         FileTimeToSystemTime(&local, &when) && when.wYear >= 1980 && when.wYear <= 2107;
}

bool Win32Platform::DirectoryExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Win32Platform::FileSize(const std::string& path, std::uint64_t& size) {
  // FindFirstFileA rather than GetFileAttributesExA, which Windows 95 lacks.
  WIN32_FIND_DATAA data;
  win32::ScopedFind find(path.c_str(), data);
  if (!find.Valid() || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool Win32Platform::CreateDir(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != FALSE;
}

namespace {

// Errors of reading a medium: a scratched or dirty CD (CRC, seek, sector),
// a disc that went away or was swapped during the copy. Wine reports a
// host read error (EIO) as ERROR_NOT_READY. A missing source is caught by
// looking at it; every other failure (disk full, access denied, a
// read-only file, a missing folder, a file in use) is the target's.
bool IsReadError(DWORD error) {
  switch (error) {
    case ERROR_NOT_READY:
    case ERROR_WRONG_DISK:
    case ERROR_CRC:
    case ERROR_SEEK:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_HANDLE_EOF:
    case ERROR_IO_DEVICE:
    case ERROR_FILE_INVALID:
    case ERROR_UNRECOGNIZED_MEDIA:
      return true;
    default:
      return false;
  }
}

bool IsFile(const std::string& path) {
  WIN32_FIND_DATAA data;
  win32::ScopedFind find(path.c_str(), data);
  return find.Valid() && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

CopyResult::Side CopyFailureSide(unsigned long error, bool sourceIsFile) {
  return !sourceIsFile || IsReadError(error) ? CopyResult::Source : CopyResult::Target;
}

CopyResult Win32Platform::CopyFile(const std::string& source, const std::string& target) {
  if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) {
    const DWORD error = GetLastError();  // before IsFile's own calls
    return {CopyFailureSide(error, IsFile(source))};
  }
  // Files from a CD are read-only and CopyFileA keeps the attribute (hidden
  // and system too); such a copy would make the next install's copy and the
  // removal fail.
  ClearAttributes(target);
  return {};
}

bool Win32Platform::DeleteFile(const std::string& path) {
  return DeleteFileA(path.c_str()) != FALSE;
}

bool Win32Platform::RenameFile(const std::string& from, const std::string& to) {
  return MoveFileA(from.c_str(), to.c_str()) != FALSE;
}

bool Win32Platform::ClearAttributes(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  // CopyFileA refuses to replace a read-only or hidden file (ERROR_ACCESS_DENIED), DeleteFileA
  // a read-only one; system goes with hidden, as attrib sets them.
  const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if ((attributes & blocking) == 0) return true;
  // FILE_ATTRIBUTE_NORMAL stands for none: SetFileAttributesA documents no 0.
  const DWORD rest = attributes & ~blocking;
  return SetFileAttributesA(path.c_str(), rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

bool Win32Platform::IsLeadByte(char byte) {
  return IsDBCSLeadByte(static_cast<BYTE>(byte)) != FALSE;
}

std::unique_ptr<RegistryKey> Win32Platform::OpenKey(const std::string& path) {
  // A leading backslash means "from the root key"; RegCreateKeyExA wants
  // the path without it.
  const char* subKey = path.c_str();
  if (*subKey == '\\') ++subKey;
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      &disposition) != ERROR_SUCCESS)
    return nullptr;
  return std::make_unique<Win32RegistryKey>(key);
}

void Win32Platform::ShellOpen(const std::string& target) {
  ShellExecuteA(nullptr, "open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace qar
