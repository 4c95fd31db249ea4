// The conformance checks against the Win32 layer: a console program that
// runs the list on the running system (Wine or Windows), in a scratch folder
// under the temporary folder and a scratch key under HKLM\SOFTWARE, prints
// one line per check and "N passed, N failed", and exits 1 on any failure.
//
//   conformance_win32.exe VERSION
//
// VERSION names the Windows version the system reports (Wine's name for it,
// as set in HKCU\Software\Wine "Version"): winxp, win2k, ...
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Conformance.h"
#include "platform/win32/ScopedWin.h"
#include "platform/win32/Win32Platform.h"

namespace qar::conformance {
namespace {

// Long paths go through the wide API with the \\?\ prefix; the names here
// are ASCII.
std::wstring Long(const std::string& path) {
  std::wstring wide = L"\\\\?\\";
  for (char c : path) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return wide;
}

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Long(dir + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name;
      for (const wchar_t* c = data.cFileName; *c != 0; ++c) name += static_cast<char>(*c);
      if (name == "." || name == "..") continue;
      const std::string path = dir + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesW(Long(path).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(Long(path).c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(Long(dir).c_str());
}

// RegDeleteKeyA takes no key with subkeys on NT.
void DeleteKeyTree(HKEY root, const std::string& path) {
  {
    win32::ScopedKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, key.Receive()) != ERROR_SUCCESS)
      return;
    std::vector<std::string> children;
    char name[256];
    for (DWORD i = 0;; ++i) {
      DWORD size = sizeof name;
      if (RegEnumKeyExA(key.Get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      children.push_back(name);
    }
    for (const std::string& child : children) DeleteKeyTree(root, path + "\\" + child);
  }
  RegDeleteKeyA(root, path.c_str());
}

class Win32Env : public ConformanceEnv {
 public:
  explicit Win32Env(std::string version) : version_(std::move(version)) {
    GetCurrentDirectoryA(sizeof saved_, saved_);
    char temp[MAX_PATH + 1];
    if (GetTempPathA(sizeof temp, temp) == 0) return;
    char name[64];
    wsprintfA(name, "qarconf%lu.%lu", GetCurrentProcessId(), GetTickCount());
    base_ = std::string(temp) + name;
    if (!CreateDirectoryA(base_.c_str(), nullptr)) base_.clear();
    wsprintfA(name, "SOFTWARE\\QarConformance%lu.%lu", GetCurrentProcessId(), GetTickCount());
    key_ = name;
  }
  ~Win32Env() override {
    // A folder that is current cannot be removed.
    SetCurrentDirectoryA(saved_);
    if (!base_.empty()) RemoveTree(base_);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, key_);
  }
  Win32Env(const Win32Env&) = delete;
  Win32Env& operator=(const Win32Env&) = delete;

  Platform& Target() override { return platform_; }

  std::string MakeScratchFolder() override {
    if (base_.empty()) return std::string();
    const std::string path = base_ + "\\s" + std::to_string(++folders_);
    return CreateDirectoryA(path.c_str(), nullptr) ? path : std::string();
  }

  bool MakeFolders(const std::string& path) override {
    for (std::size_t end = path.find('\\', 3);; end = path.find('\\', end + 1)) {
      const std::wstring level = Long(path.substr(0, end));
      if (!CreateDirectoryW(level.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
      if (end == std::string::npos) break;
    }
    const DWORD attributes = GetFileAttributesW(Long(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool WriteFile(const std::string& path, const std::string& contents) override {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        ::WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == contents.size();
  }

  bool ReadFile(const std::string& path, std::string& contents) override {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    contents.clear();
    char buffer[4096];
    DWORD read = 0;
    BOOL ok;
    while ((ok = ::ReadFile(file, buffer, sizeof buffer, &read, nullptr)) && read > 0)
      contents.append(buffer, read);
    CloseHandle(file);
    return ok != FALSE;
  }

  std::vector<std::string> ListFolder(const std::string& path) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string name = data.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
  }

  TimeSet SetWriteTime(const std::string& path, const LocalTime& when) override {
    SYSTEMTIME fields = {};
    fields.wYear = static_cast<WORD>(when.year);
    fields.wMonth = static_cast<WORD>(when.month);
    fields.wDay = static_cast<WORD>(when.day);
    fields.wHour = static_cast<WORD>(when.hour);
    fields.wMinute = static_cast<WORD>(when.minute);
    FILETIME local, utc, stored;
    if (!SystemTimeToFileTime(&fields, &local) || !LocalFileTimeToFileTime(&local, &utc))
      return TimeSet::Failed;
    // Attribute access works on read-only files too.
    HANDLE file =
        CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return TimeSet::Failed;
    const BOOL set = SetFileTime(file, nullptr, nullptr, &utc);
    const BOOL read = GetFileTime(file, nullptr, nullptr, &stored);
    CloseHandle(file);
    if (!set || !read) return TimeSet::Failed;
    // FAT keeps two-second steps; the times used here are whole minutes.
    return CompareFileTime(&utc, &stored) == 0 ? TimeSet::Set : TimeSet::NotStorable;
  }

  bool SetReadOnly(const std::string& path) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           SetFileAttributesA(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
  }

  bool IsReadOnly(const std::string& path) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
  }

  std::string ScratchKey() override { return key_ + "\\Key" + std::to_string(++keys_); }

  // HKLM\HARDWARE is volatile: a key below it must be volatile too, so
  // RegCreateKeyExA with the default options fails
  // (ERROR_CHILD_MUST_BE_VOLATILE) even for an administrator.
  std::string UnwritableKey() override {
    for (const char* candidate :
         {"HARDWARE\\QarConformance", "HARDWARE\\DESCRIPTION\\QarConformance"}) {
      HKEY key = nullptr;
      DWORD disposition = 0;
      if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, candidate, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, &disposition) != ERROR_SUCCESS)
        return candidate;
      RegCloseKey(key);
      if (disposition == REG_CREATED_NEW_KEY) RegDeleteKeyA(HKEY_LOCAL_MACHINE, candidate);
    }
    return std::string();
  }

  bool ReadRegistryString(const std::string& key, const std::string& name,
                          std::string& data) override {
    win32::ScopedKey opened;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, opened.Receive()) !=
        ERROR_SUCCESS)
      return false;
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExA(opened.Get(), name.c_str(), nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
      return false;
    std::vector<char> buffer(size + 1, 0);
    if (RegQueryValueExA(opened.Get(), name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
      return false;
    // Stored with its terminating zero.
    data.assign(buffer.data(), size > 0 && buffer[size - 1] == 0 ? size - 1 : size);
    return true;
  }

  // Through the ANSI call, as for a program started in that folder.
  bool SetCurrentDir(const std::string& path) override {
    return SetCurrentDirectoryA(path.c_str()) != FALSE;
  }

  std::string OtherDriveRoot() override {
    const char scratch = base_.empty() ? 'C' : static_cast<char>(base_[0] & ~0x20);
    const DWORD drives = GetLogicalDrives();
    char current[MAX_PATH + 1];
    GetCurrentDirectoryA(sizeof current, current);
    std::string found;
    for (char letter = 'Z'; letter >= 'A' && found.empty(); --letter) {
      if (letter == scratch || !(drives & (1u << (letter - 'A')))) continue;
      const std::string root = std::string(1, letter) + ":\\";
      // A drive without a disc cannot be made current.
      if (SetCurrentDirectoryA(root.c_str())) found = root;
    }
    SetCurrentDirectoryA(current);
    return found;
  }

  std::string ExpectedOsName() override {
    const char* name = ExpectedOsNameFor(version_);
    return name != nullptr ? name : "(no expected name for " + version_ + ")";
  }

 private:
  Win32Platform platform_;
  std::string version_;
  std::string base_;
  std::string key_;
  char saved_[MAX_PATH + 1] = {};
  int folders_ = 0;
  int keys_ = 0;
};

}  // namespace
}  // namespace qar::conformance

int main(int argc, char** argv) {
  using namespace qar::conformance;
  if (argc != 2 || ExpectedOsNameFor(argv[1]) == nullptr) {
    std::string names;
    for (const std::string& name : VersionNames()) names += " " + name;
    std::fprintf(stderr, "usage: conformance_win32 VERSION\nVERSION, as the system reports it:%s\n",
                 names.c_str());
    return 2;
  }
  int passed = 0, failed = 0;
  {
    Win32Env env(argv[1]);
    for (const Check& check : Checks()) {
      const Outcome out = RunCheck(check, env);
      std::string line = std::string(out.Passed() ? "pass " : "FAIL ") + check.name;
      for (std::size_t i = 0; i < out.Failures().size(); ++i)
        line += (i == 0 ? ": " : "; ") + out.Failures()[i];
      for (const std::string& note : out.Notes()) line += " [note: " + note + "]";
      std::printf("%s\n", line.c_str());
      ++(out.Passed() ? passed : failed);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed == 0 ? 0 : 1;
}
