// Win32Platform against a real Windows API (Wine or Windows), in a fresh
// temporary folder and a test key under HKEY_LOCAL_MACHINE\SOFTWARE.
#include "platform/win32/Win32Platform.h"

#include <gtest/gtest.h>

#include "platform/win32/ScopedWin.h"

#include <algorithm>
#include <string>
#include <vector>

namespace qar {
namespace {

void WriteFile(const std::string& path, const std::string& content) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadFile(const std::string& path) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  char buffer[256];
  DWORD read = 0;
  ::ReadFile(file, buffer, sizeof buffer, &read, nullptr);
  CloseHandle(file);
  return std::string(buffer, read);
}

// Sets the last-write time as a local calendar time.
bool SetLocalWriteTime(const std::string& path, WORD year, WORD month, WORD day) {
  SYSTEMTIME when = {};
  when.wYear = year;
  when.wMonth = month;
  when.wDay = day;
  when.wHour = 12;
  FILETIME local, utc;
  if (!SystemTimeToFileTime(&when, &local) || !LocalFileTimeToFileTime(&local, &utc)) return false;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = SetFileTime(file, nullptr, nullptr, &utc);
  CloseHandle(file);
  return ok != FALSE;
}

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = dir + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(dir.c_str());
}

// A fresh folder under the temporary folder; the current directory is
// restored and the folder removed afterwards.
class Win32PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH + 1];
    ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
    char name[64];
    wsprintfA(name, "qarw32t%lu.%lu", GetCurrentProcessId(), GetTickCount());
    dir_ = std::string(temp) + name;
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr)) << dir_;
    GetCurrentDirectoryA(sizeof saved_, saved_);
  }
  void TearDown() override {
    SetCurrentDirectoryA(saved_);
    RemoveTree(dir_);
  }
  std::string In(const std::string& name) const { return dir_ + "\\" + name; }

  Win32Platform platform_;
  std::string dir_;
  char saved_[MAX_PATH + 1] = {};
};

// --- current drive and directory --------------------------------------------

TEST(StripDrivePrefix, Table) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"D:\\", ""},
      {"D:\\setup", "setup"},
      {"c:\\a\\b c\\d", "a\\b c\\d"},
      {"D:", ""},
      {"", ""},
      {"\\\\server\\share", "\\server\\share"},  // UNC: no drive to strip
  };
  for (const auto& c : cases) EXPECT_EQ(StripDrivePrefix(c.in), c.out) << c.in;
}

TEST_F(Win32PlatformTest, CurrentDirectoryAtRootIsEmpty) {
  ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));
  std::string dir = "unchanged";
  ASSERT_TRUE(platform_.GetCurrentDir(dir));
  EXPECT_EQ(dir, "");
  EXPECT_EQ(platform_.GetCurrentDrive(), 2);
}

TEST_F(Win32PlatformTest, CurrentDirectoryInSubfolder) {
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
  std::string dir;
  ASSERT_TRUE(platform_.GetCurrentDir(dir));
  char full[MAX_PATH + 1];
  GetCurrentDirectoryA(sizeof full, full);
  EXPECT_EQ(dir, std::string(full + 3));
  EXPECT_EQ(platform_.GetCurrentDrive(), (full[0] | 0x20) - 'a');
}

// Longer than the 255 characters a fixed buffer would hold: read whole.
TEST_F(Win32PlatformTest, LongCurrentDirectoryIsReadWhole) {
  // Made through the Unicode API: the ANSI one stops at 248 characters.
  std::string path = dir_;
  while (path.size() < 257) {
    std::size_t room = 257 - path.size();  // ends at 257 or 258 characters
    path += "\\" + std::string(std::max<std::size_t>(1, std::min<std::size_t>(40, room - 1)), 'x');
    std::wstring wide = L"\\\\?\\";
    for (char c : path) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr)) << path.size();
  }
  if (!SetCurrentDirectoryA(path.c_str()))
    GTEST_SKIP() << "this system refuses a current directory of " << path.size();
  std::string dir;
  ASSERT_TRUE(platform_.GetCurrentDir(dir));
  char full[1024];
  DWORD length = GetCurrentDirectoryA(sizeof full, full);
  ASSERT_GT(length, 255u);
  EXPECT_EQ(dir, std::string(full + 3, length - 3));
}

TEST_F(Win32PlatformTest, QueryVersionMatchesGetVersion) {
  OsVersion version;
  version.SetCsd("stale text");
  ASSERT_TRUE(platform_.QueryVersion(version));
  DWORD packed = GetVersion();
  EXPECT_EQ(version.major, LOBYTE(LOWORD(packed)));
  EXPECT_EQ(version.minor, HIBYTE(LOWORD(packed)));
  EXPECT_EQ(version.platformId, (packed & 0x80000000u) ? 1u : 2u);
  // The service-pack text replaces the old one, zero-filled behind it.
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(version.Csd(), info.szCSDVersion);
  for (std::size_t i = version.Csd().size(); i < sizeof version.csd; ++i)
    ASSERT_EQ(version.csd[i], 0) << i;
}

// --- files and folders ------------------------------------------------------

TEST_F(Win32PlatformTest, FileExistsByKindOfName) {
  WriteFile(In("plain.sys"), "x");
  WriteFile(In("readonly.sys"), "x");
  SetFileAttributesA(In("readonly.sys").c_str(), FILE_ATTRIBUTE_READONLY);
  WriteFile(In("hidden.sys"), "x");
  SetFileAttributesA(In("hidden.sys").c_str(), FILE_ATTRIBUTE_HIDDEN);
  CreateDirectoryA(In("usb8023w.sys").c_str(), nullptr);
  const struct {
    std::string path;
    bool exists;
  } cases[] = {
      {In("plain.sys"), true},
      {In("PLAIN.SYS"), true},  // names match case-insensitively
      {In("readonly.sys"), true},
      {In("hidden.sys"), true},
      {In("usb8023w.sys"), false},  // a folder of that name does not count
      {In("absent.sys"), false},
      {In("nofolder\\plain.sys"), false},
      {dir_, false},
  };
  for (const auto& c : cases) EXPECT_EQ(platform_.FileExists(c.path), c.exists) << c.path;
}

// Only a last-write time in 1980..2107 counts, as in a DOS date.
TEST_F(Win32PlatformTest, FileExistsByLastWriteYear) {
  const struct {
    WORD year, month, day;
    bool exists;
  } cases[] = {
      {1979, 12, 30, false}, {1980, 1, 2, true},  {2001, 8, 24, true},
      {2107, 12, 30, true},  {2108, 1, 2, false}, {2200, 6, 1, false},
  };
  for (const auto& c : cases) {
    std::string path = In("dated.sys");
    WriteFile(path, "x");
    ASSERT_TRUE(SetLocalWriteTime(path, c.year, c.month, c.day)) << c.year;
    EXPECT_EQ(platform_.FileExists(path), c.exists) << c.year;
  }
}

TEST_F(Win32PlatformTest, DirectoryExistsByKindOfName) {
  WriteFile(In("file.txt"), "x");
  CreateDirectoryA(In("Folder").c_str(), nullptr);
  const struct {
    std::string path;
    bool exists;
  } cases[] = {
      {In("Folder"), true},    {In("FOLDER"), true},  {In("Folder\\"), true},        {"C:\\", true},
      {In("file.txt"), false}, {In("absent"), false}, {In("absent\\deeper"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(platform_.DirectoryExists(c.path), c.exists) << c.path;
}

TEST_F(Win32PlatformTest, CreateDirMakesOneLevelOnly) {
  EXPECT_TRUE(platform_.CreateDir(In("QAR")));
  EXPECT_TRUE(platform_.DirectoryExists(In("QAR")));
  EXPECT_FALSE(platform_.CreateDir(In("QAR")));   // exists already
  EXPECT_FALSE(platform_.CreateDir(In("a\\b")));  // parent missing
  EXPECT_FALSE(platform_.DirectoryExists(In("a")));
}

TEST_F(Win32PlatformTest, CopyFileCreatesAndReplaces) {
  WriteFile(In("source.sys"), "new");
  EXPECT_TRUE(platform_.CopyFile(In("source.sys"), In("target.sys")));
  EXPECT_EQ(ReadFile(In("target.sys")), "new");

  WriteFile(In("older.sys"), "old content");
  EXPECT_TRUE(platform_.CopyFile(In("source.sys"), In("older.sys")));
  EXPECT_EQ(ReadFile(In("older.sys")), "new");
}

TEST_F(Win32PlatformTest, CopyFileFailures) {
  WriteFile(In("kept.sys"), "kept");
  EXPECT_FALSE(platform_.CopyFile(In("absent.sys"), In("kept.sys")));
  EXPECT_EQ(ReadFile(In("kept.sys")), "kept");
  WriteFile(In("source.sys"), "x");
  EXPECT_FALSE(platform_.CopyFile(In("source.sys"), In("nofolder\\t.sys")));
}

// A read-only source (as on a CD; hidden and system too) gives a writable,
// visible copy, so the next copy over it and its deletion succeed.
TEST_F(Win32PlatformTest, CopyFromReadOnlySourceGivesWritableCopy) {
  const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  WriteFile(In("cd.sys"), "from cd");
  SetFileAttributesA(In("cd.sys").c_str(), blocking | FILE_ATTRIBUTE_ARCHIVE);
  ASSERT_TRUE(platform_.CopyFile(In("cd.sys"), In("copy.sys")));
  DWORD attributes = GetFileAttributesA(In("copy.sys").c_str());
  EXPECT_EQ(attributes & blocking, 0u);
  EXPECT_TRUE(platform_.CopyFile(In("cd.sys"), In("copy.sys")));
  EXPECT_TRUE(platform_.DeleteFile(In("copy.sys")));
  EXPECT_FALSE(platform_.FileExists(In("copy.sys")));
  // The source keeps its attribute.
  EXPECT_NE(GetFileAttributesA(In("cd.sys").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

// Read-only, hidden and system go, whatever else the file has; the others
// stay (Wine keeps only these three, and calls every file archive).
TEST_F(Win32PlatformTest, ClearAttributesLeavesTheOthers) {
  const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const DWORD cases[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                         blocking | FILE_ATTRIBUTE_ARCHIVE};
  const std::string path = In("leftover.sys");
  WriteFile(In("source.sys"), "new");
  for (const DWORD set : cases) {
    WriteFile(path, "old");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), set)) << set;
    const DWORD before = GetFileAttributesA(path.c_str());
    ASSERT_EQ(before & blocking, set & blocking) << "the system keeps no " << set;
    EXPECT_TRUE(platform_.ClearAttributes(path)) << set;
    const DWORD after = GetFileAttributesA(path.c_str());
    EXPECT_EQ(after & blocking, 0u) << set;
    EXPECT_EQ(after & ~FILE_ATTRIBUTE_NORMAL, before & ~blocking & ~FILE_ATTRIBUTE_NORMAL) << set;
    // Now neither CopyFileA nor DeleteFileA refuses it.
    EXPECT_TRUE(platform_.CopyFile(In("source.sys"), path)) << set;
    EXPECT_EQ(ReadFile(path), "new") << set;
    EXPECT_TRUE(platform_.DeleteFile(path)) << set;
  }
  EXPECT_FALSE(platform_.ClearAttributes(path));
}

// The side is told by the error code where the source is still there.
TEST(CopyFailureSide, Table) {
  const struct {
    DWORD error;
    bool sourceIsFile;
    CopyResult::Side side;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, false, CopyResult::Source},  // the source is gone
      {ERROR_PATH_NOT_FOUND, false, CopyResult::Source},
      {ERROR_ACCESS_DENIED, false, CopyResult::Source},  // a folder as source
      {ERROR_NOT_READY, false, CopyResult::Source},      // no disc
      {ERROR_CRC, true, CopyResult::Source},             // a scratched CD
      {ERROR_SECTOR_NOT_FOUND, true, CopyResult::Source},
      {ERROR_READ_FAULT, true, CopyResult::Source},
      {ERROR_NOT_READY, true, CopyResult::Source},  // Wine's word for a host read error (EIO)
      {ERROR_DISK_FULL, true, CopyResult::Target},
      {ERROR_HANDLE_DISK_FULL, true, CopyResult::Target},
      {ERROR_ACCESS_DENIED, true, CopyResult::Target},      // a read-only target or folder
      {ERROR_PATH_NOT_FOUND, true, CopyResult::Target},     // no target folder
      {ERROR_SHARING_VIOLATION, true, CopyResult::Target},  // a driver in use
      {ERROR_WRITE_FAULT, true, CopyResult::Target},
      {ERROR_WRITE_PROTECT, true, CopyResult::Target},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CopyFailureSide(c.error, c.sourceIsFile), c.side) << c.error;
}

// Lead bytes are those of the ANSI code page: none in a single-byte one.
TEST(IsLeadByte, FollowsTheAnsiCodePage) {
  Win32Platform platform;
  const UINT codePage = GetACP();
  if (codePage != 932 && codePage != 1252) GTEST_SKIP() << "code page " << codePage;
  for (int byte = 0; byte < 256; ++byte) {
    const bool lead =
        codePage == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
    EXPECT_EQ(platform.IsLeadByte(static_cast<char>(byte)), lead)
        << "byte " << byte << ", code page " << codePage;
  }
}

TEST_F(Win32PlatformTest, DeleteFileByKindOfName) {
  WriteFile(In("QAR.CAT"), "x");
  EXPECT_TRUE(platform_.DeleteFile(In("qar.cat")));  // case-insensitive
  EXPECT_FALSE(platform_.FileExists(In("QAR.CAT")));
  EXPECT_FALSE(platform_.DeleteFile(In("qar.cat")));  // already gone
  CreateDirectoryA(In("folder").c_str(), nullptr);
  EXPECT_FALSE(platform_.DeleteFile(In("folder")));
  EXPECT_TRUE(platform_.DirectoryExists(In("folder")));
}

// --- registry ---------------------------------------------------------------

class Win32RegistryTest : public ::testing::Test {
 protected:
  static constexpr const char* kKey = "SOFTWARE\\QarWin32PlatformTest";
  void TearDown() override {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kKey) + "\\Sub").c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
  }
  // Type and size of a value as stored, or type REG_NONE when absent.
  static void Stored(const std::string& name, DWORD& type, std::string& data) {
    win32::ScopedKey key;
    type = REG_NONE;
    data.clear();
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
      return;
    char buffer[512];
    DWORD size = sizeof buffer;
    if (RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS) {
      type = REG_NONE;
      return;
    }
    data.assign(buffer, size);
  }
  Win32Platform platform_;
};

TEST_F(Win32RegistryTest, StringsAreStoredWithTheirTerminatingZero) {
  const char* values[] = {"C:\\Windows\\System\\", "C:\\QAR\\QAR.exe", ""};
  for (const char* value : values) {
    {
      auto key = platform_.OpenKey(std::string("\\") + kKey);
      ASSERT_NE(key, nullptr);
      EXPECT_TRUE(key->SetString("SourcePath", value));
    }
    DWORD type;
    std::string data;
    Stored("SourcePath", type, data);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, std::string(value) + '\0') << value;
  }
}

TEST_F(Win32RegistryTest, KeyPathWithOrWithoutLeadingBackslash) {
  for (std::string path : {std::string("\\") + kKey + "\\Sub", std::string(kKey) + "\\Sub"}) {
    auto key = platform_.OpenKey(path);  // created when missing
    ASSERT_NE(key, nullptr) << path;
    EXPECT_TRUE(key->SetString("QAR", "x")) << path;
  }
  win32::ScopedKey key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kKey) + "\\Sub").c_str(), 0, KEY_READ,
                          key.Receive()),
            ERROR_SUCCESS);
}

TEST_F(Win32RegistryTest, DeleteValuePresentAndAbsent) {
  ASSERT_TRUE(platform_.OpenKey(kKey)->SetString("Installation Sources", "a"));
  EXPECT_TRUE(platform_.OpenKey(kKey)->DeleteValue("Installation Sources"));
  DWORD type;
  std::string data;
  Stored("Installation Sources", type, data);
  EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
  EXPECT_FALSE(platform_.OpenKey(kKey)->DeleteValue("Installation Sources"));
}

TEST_F(Win32RegistryTest, KeyUnderMissingRootPathCannotBeOpened) {
  // An empty path component is invalid for RegCreateKeyExA.
  EXPECT_EQ(platform_.OpenKey("\\\\SOFTWARE"), nullptr);
}

}  // namespace
}  // namespace qar
