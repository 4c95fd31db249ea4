// The sandbox machine as the wizard's logic sees it: Windows paths on host
// folders, the file operations, versions, seeding, settings, the call log and
// fault injection. Every machine lives in a fresh temporary folder.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sandbox/Settings.h"
#include "platform/sandbox/DriveTree.h"
#include "TestMachine.h"
#include "platform/sandbox/Sandbox.h"
#include "platform/sandbox/Versions.h"
#include "platform/sandbox/WinPath.h"

namespace qar::sandbox {
namespace {

namespace fs = std::filesystem;

using TempFolder = test::TempDir;

void WriteFile(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void SetWriteTime(const std::string& path, time_t seconds) {
  const struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

bool Writable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A fresh XP machine with a medium as drive D: (read-only, as a CD).
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine = SandboxMachine::Create(temp / "machine", "winxp");
    WriteFile(temp / "medium/Driver/QAR.CAT", "catalogue");
    WriteFile(temp / "medium/QAR.exe", "companion");
    machine->MapDrive('D', temp / "medium", true);
  }
  std::string Host(const std::string& windowsPath) const { return machine->HostPath(windowsPath); }
  std::string Drive(const std::string& relative = "") const {
    return machine->Folder() + "/C" + relative;
  }

  TempFolder temp;
  std::unique_ptr<SandboxMachine> machine;
};

// --- Windows path names ---------------------------------------------------

TEST(ResolveWinPath, MakesFullPathsAsWindowsDoes) {
  WinPath cwd;
  ASSERT_TRUE(ResolveWinPath("C:\\Windows\\System", WinPath{}, cwd));
  struct Case {
    const char* path;
    const char* full;
    unsigned codePage = 1252;
  };
  const Case cases[] = {
      {"C:\\Windows\\System\\QAR.CAT", "C:\\Windows\\System\\QAR.CAT"},
      // A Japanese character whose second byte is a backslash's, or '|'.
      {"D:\\\x95\x5c\\Manual", "D:\\\x95\x5c\\Manual", 932},
      {"D:\\\x95\x5c", "D:\\\x95\x5c", 932},
      {"D:\\\x95\x5c", "D:\\\x95", 1252},
      {"D:\\\x83\x7c", "D:\\\x83\x7c", 932},
      {"c:/windows//system/", "C:\\windows\\system"},
      {"C:\\..\\..\\etc", "C:\\etc"},
      {"C:\\a\\.\\b\\..\\c", "C:\\a\\c"},
      {"qar.cat", "C:\\Windows\\System\\qar.cat"},
      {"..\\inf", "C:\\Windows\\inf"},
      {"..\\..\\..\\..", "C:\\"},
      {"\\QAR", "C:\\QAR"},
      {"C:QAR", "C:\\Windows\\System\\QAR"},
      {"D:QAR", "D:\\QAR"},
      {"d:", "D:\\"},
      {"C:\\QAR\\setup.. .", "C:\\QAR\\setup"},
      {"C:\\QAR\\a b\\x", "C:\\QAR\\a b\\x"},
  };
  for (const Case& c : cases) {
    WinPath full;
    ASSERT_TRUE(ResolveWinPath(c.path, cwd, full, c.codePage)) << c.path;
    EXPECT_EQ(full.ToString(), c.full) << c.path;
    EXPECT_FALSE(full.trailingSeparator && c.codePage == 932) << c.path;
  }
}

TEST(ResolveWinPath, RefusesWhatWindowsRefuses) {
  const WinPath cwd{'C', {}, false};
  const std::string tooLong = "C:\\" + std::string(256, 'x');
  const std::string cases[] = {"",
                               "\\\\server\\share\\x",
                               "\\\\?\\C:\\x",
                               "C:\\a*b",
                               "C:\\a?b",
                               "C:\\a:b",
                               "C:\\a|b",
                               "C:\\a\"b",
                               "C:\\a<b>",
                               "C:\\a\nb",
                               "1:\\x",
                               tooLong};
  for (const std::string& path : cases) {
    WinPath full;
    EXPECT_FALSE(ResolveWinPath(path, cwd, full)) << path;
  }
  WinPath full;
  EXPECT_TRUE(ResolveWinPath("C:\\" + std::string(255, 'x'), cwd, full));
}

TEST(ResolveWinPath, TrailingSeparatorIsKept) {
  const WinPath cwd{'C', {}, false};
  WinPath full;
  ASSERT_TRUE(ResolveWinPath("C:\\Windows\\", cwd, full));
  EXPECT_TRUE(full.trailingSeparator);
  ASSERT_TRUE(ResolveWinPath("C:\\Windows", cwd, full));
  EXPECT_FALSE(full.trailingSeparator);
}

// --- Files and folders ----------------------------------------------------

TEST_F(SandboxTest, NamesMatchWhateverTheCase) {
  ASSERT_TRUE(machine->CopyFile("D:\\Driver\\QAR.CAT", "C:\\Windows\\System\\QAR.CAT"));
  EXPECT_EQ(Host("c:\\WINDOWS\\system\\qar.cat"), Drive("/Windows/System/QAR.CAT"));
  EXPECT_TRUE(machine->FileExists("C:\\windows\\SYSTEM\\qar.cat"));
  EXPECT_TRUE(machine->FileExists("d:/driver/qar.cat"));
  EXPECT_TRUE(machine->DeleteFile("C:\\Windows\\system\\qar.cat"));
  EXPECT_FALSE(fs::exists(Drive("/Windows/System/QAR.CAT")));
  EXPECT_FALSE(machine->FileExists("C:\\Windows\\System\\QAR.CAT"));
}

TEST_F(SandboxTest, NewEntriesKeepTheirCaseAndExistingOnesTheirs) {
  ASSERT_TRUE(machine->CreateDir("C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Windows"));
  EXPECT_TRUE(fs::is_directory(Drive("/Windows/System32/drivers/Windows")));

  ASSERT_TRUE(machine->CreateDir("C:\\QaR"));
  ASSERT_TRUE(machine->CopyFile("D:\\QAR.exe", "C:\\qar\\QaR.ExE"));
  WriteFile(temp / "medium/QAR.exe", "companion 2");
  ASSERT_TRUE(machine->CopyFile("D:\\QAR.exe", "C:\\QAR\\qar.exe"));
  EXPECT_EQ(Names(Drive("/QaR")), std::vector<std::string>{"QaR.ExE"});
  EXPECT_EQ(ReadFile(Drive("/QaR/QaR.ExE")), "companion 2");
}

TEST_F(SandboxTest, FilesAndFoldersAreToldApart) {
  WriteFile(Drive("/Windows/usb8023w.sys"), "marker");
  struct Case {
    const char* path;
    bool file;
    bool folder;
  };
  const Case cases[] = {
      {"C:\\Windows\\usb8023w.sys", true, false},
      {"C:\\Windows\\usb8023w.sys\\", false, false},  // a name with a separator is a folder's
      {"C:\\Windows", false, true},
      {"C:\\Windows\\", false, true},
      {"C:\\", false, true},
      {"C:\\Windows\\absent.sys", false, false},
      {"C:\\Absent\\usb8023w.sys", false, false},
      {"C:\\Windows\\usb8023w.sys\\x", false, false},
      {"D:\\Driver", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(machine->FileExists(c.path), c.file) << c.path;
    EXPECT_EQ(machine->DirectoryExists(c.path), c.folder) << c.path;
  }
}

TEST_F(SandboxTest, FileExistsOnlyForWriteTimesFrom1980To2107) {
  struct Case {
    const char* when;
    time_t seconds;
    bool exists;
  };
  const Case cases[] = {
      {"1979-12-31 23:59:59", 315532799, false},  {"1980-01-01 00:00:00", 315532800, true},
      {"1999-06-15 12:00:00", 929448000, true},   {"2107-12-31 23:59:59", 4354819199, true},
      {"2108-01-01 00:00:00", 4354819200, false}, {"1970-01-01 00:00:00", 0, false},
  };
  const std::string host = Drive("/Windows/usb8023w.sys");
  WriteFile(host, "marker");
  for (const Case& c : cases) {
    SetWriteTime(host, c.seconds);
    EXPECT_EQ(machine->FileExists("C:\\Windows\\usb8023w.sys"), c.exists) << c.when;
  }
}

// The year is the local one, as FileTimeToLocalFileTime gives it: west of
// Greenwich a file written early on 1 January (UTC) is still in the old year,
// east of it a file written late on 31 December is already in the new one.
TEST_F(SandboxTest, FileExistsTakesTheYearOnTheLocalClock) {
  struct Case {
    const char* zone;
    time_t seconds;
    bool exists;
    const char* local;
  };
  const Case cases[] = {
      {"QAR+5", 315532800 + 3 * 3600, false, "1979-12-31 22:00"},
      {"QAR+5", 4354819200 + 3 * 3600, true, "2107-12-31 22:00"},
      {"QAR-9", 315532800 - 3 * 3600, true, "1980-01-01 06:00"},
      {"QAR-9", 4354819200 - 3 * 3600, false, "2108-01-01 06:00"},
      {"UTC0", 315532800, true, "1980-01-01 00:00"},
  };
  const char* host = getenv("TZ");
  const std::string saved = host != nullptr ? host : "";
  const std::string path = Drive("/Windows/usb8023w.sys");
  WriteFile(path, "marker");
  for (const Case& c : cases) {
    setenv("TZ", c.zone, 1);
    tzset();
    SetWriteTime(path, c.seconds);
    EXPECT_EQ(machine->FileExists("C:\\Windows\\usb8023w.sys"), c.exists)
        << c.zone << " " << c.local;
  }
  if (host != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST_F(SandboxTest, CreateDirMakesOneLevelOnly) {
  EXPECT_TRUE(machine->CreateDir("C:\\QAR"));
  EXPECT_TRUE(machine->DirectoryExists("C:\\qar"));
  EXPECT_FALSE(machine->CreateDir("C:\\qar"));  // exists
  EXPECT_FALSE(machine->CreateDir("C:\\Windows\\System32\\Drivers\\Windows\\Deeper\\Still"));
  EXPECT_FALSE(fs::exists(Drive("/Windows/System32/drivers/Windows")));
  WriteFile(Drive("/file"), "x");
  EXPECT_FALSE(machine->CreateDir("C:\\file"));
  EXPECT_FALSE(machine->CreateDir("C:\\file\\sub"));
  EXPECT_FALSE(machine->CreateDir("C:\\"));
  EXPECT_FALSE(machine->CreateDir("D:\\NewFolder"));  // the CD
  EXPECT_FALSE(machine->CreateDir("E:\\NewFolder"));  // no such drive
  EXPECT_FALSE(fs::exists(temp / "medium/NewFolder"));
}

TEST_F(SandboxTest, CopyReplacesTheTargetAndKeepsTheWriteTime) {
  const std::string source = temp / "medium/Driver/QAR.CAT";
  SetWriteTime(source, 1000000000);
  WriteFile(Drive("/Windows/System/qar.cat"), "an older and longer catalogue");
  ASSERT_TRUE(machine->CopyFile("D:\\Driver\\QAR.CAT", "C:\\Windows\\System\\QAR.CAT"));
  const std::string target = Drive("/Windows/System/qar.cat");
  EXPECT_EQ(ReadFile(target), "catalogue");
  EXPECT_EQ(fs::last_write_time(target), fs::last_write_time(source));
  EXPECT_EQ(Names(Drive("/Windows/System")), std::vector<std::string>{"qar.cat"});
}

TEST_F(SandboxTest, CopyFailuresLeaveTheTargetAlone) {
  WriteFile(Drive("/Windows/locked.sys"), "locked");
  chmod(Drive("/Windows/locked.sys").c_str(), 0444);
  WriteFile(Drive("/Windows/same.sys"), "same");
  struct Case {
    const char* what;
    const char* source;
    const char* target;
  };
  const Case cases[] = {
      {"missing source", "D:\\Driver\\absent.sys", "C:\\Windows\\absent.sys"},
      {"source is a folder", "D:\\Driver", "C:\\Windows\\Driver"},
      {"target folder missing", "D:\\QAR.exe", "C:\\QAR\\QAR.exe"},
      {"read-only target", "D:\\QAR.exe", "C:\\Windows\\locked.sys"},
      {"target is a folder", "D:\\QAR.exe", "C:\\Windows\\System"},
      {"target on the CD", "C:\\Windows\\same.sys", "D:\\same.sys"},
      {"onto itself", "C:\\Windows\\same.sys", "c:\\windows\\SAME.sys"},
      {"missing drive", "D:\\QAR.exe", "E:\\QAR.exe"},
      {"missing source drive", "E:\\QAR.exe", "C:\\QAR.exe"},
  };
  for (const Case& c : cases) EXPECT_FALSE(machine->CopyFile(c.source, c.target)) << c.what;
  EXPECT_FALSE(fs::exists(Drive("/QAR")));
  EXPECT_FALSE(fs::exists(Drive("/QAR.exe")));
  EXPECT_FALSE(fs::exists(Drive("/Windows/absent.sys")));
  EXPECT_EQ(ReadFile(Drive("/Windows/locked.sys")), "locked");
  EXPECT_EQ(ReadFile(Drive("/Windows/same.sys")), "same");
  EXPECT_FALSE(fs::exists(temp / "medium/same.sys"));
  EXPECT_EQ(Names(Drive("/Windows")),
            (std::vector<std::string>{"System", "System32", "inf", "locked.sys", "same.sys"}));
}

TEST_F(SandboxTest, ReadOnlySourceGivesAWritableCopy) {
  // From the CD, and from a file whose own read-only attribute is set.
  const std::string locked = temp / "medium/Driver/locked.sys";
  WriteFile(locked, "locked source");
  chmod(locked.c_str(), 0444);
  for (const char* source : {"D:\\Driver\\QAR.CAT", "D:\\Driver\\locked.sys"}) {
    ASSERT_TRUE(machine->CopyFile(source, "C:\\Windows\\copy.sys")) << source;
    EXPECT_TRUE(Writable(Drive("/Windows/copy.sys"))) << source;
    EXPECT_TRUE(machine->CopyFile(source, "C:\\Windows\\copy.sys")) << source;  // a re-install
    EXPECT_TRUE(machine->DeleteFile("C:\\Windows\\copy.sys")) << source;        // a removal
  }
}

TEST_F(SandboxTest, DeleteFileRefusesReadOnlyFoldersAndAbsentFiles) {
  WriteFile(Drive("/Windows/locked.sys"), "locked");
  chmod(Drive("/Windows/locked.sys").c_str(), 0444);
  const char* const cases[] = {"C:\\Windows\\locked.sys", "C:\\Windows\\System",
                               "C:\\Windows\\absent.sys", "D:\\QAR.exe", "E:\\QAR.exe"};
  for (const char* path : cases) EXPECT_FALSE(machine->DeleteFile(path)) << path;
  EXPECT_TRUE(fs::exists(Drive("/Windows/locked.sys")));
  EXPECT_TRUE(fs::is_directory(Drive("/Windows/System")));
  EXPECT_TRUE(fs::exists(temp / "medium/QAR.exe"));
}

// The probes remember where a path led; whatever changes on the host
// behind the machine's back must still show at the next call.
TEST_F(SandboxTest, ProbesSeeChangesMadeOnTheHost) {
  usleep(150000);  // past the timestamp granularity: folder listings get reused
  const std::string marker = "C:\\Windows\\USB8023W.SYS";
  WriteFile(temp / "outside/usb8023w.sys", "outside");
  struct Step {
    const char* what;
    std::function<void()> change;
    bool file;
    bool folder;
  };
  const Step steps[] = {
      {"nothing yet", [] {}, false, false},
      {"created in another case", [&] { WriteFile(Drive("/Windows/usb8023w.sys"), "x"); }, true,
       false},
      {"dated 1979", [&] { SetWriteTime(Drive("/Windows/usb8023w.sys"), 315532799); }, false,
       false},
      {"dated 2001", [&] { SetWriteTime(Drive("/Windows/usb8023w.sys"), 1000000000); }, true,
       false},
      {"folder renamed", [&] { fs::rename(Drive("/Windows"), Drive("/WINDOWS")); }, true, false},
      {"deleted", [&] { fs::remove(Drive("/WINDOWS/usb8023w.sys")); }, false, false},
      {"now a folder", [&] { fs::create_directory(Drive("/WINDOWS/usb8023w.sys")); }, false, true},
      {"folder swapped for a link out",
       [&] {
         fs::remove_all(Drive("/WINDOWS"));
         fs::create_directory_symlink(temp / "outside", Drive("/WINDOWS"));
       },
       false, false},
  };
  for (const Step& step : steps) {
    step.change();
    for (int twice = 0; twice < 2; ++twice) {
      EXPECT_EQ(machine->FileExists(marker), step.file) << step.what;
      EXPECT_EQ(machine->DirectoryExists(marker), step.folder) << step.what;
    }
  }
}

// Every byte, whatever the size, onto a new target and over an old one.
TEST_F(SandboxTest, CopiesCarryEveryByte) {
  for (const std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 300001u}) {
    std::string contents(size, '\0');
    for (std::size_t i = 0; i < size; ++i) contents[i] = static_cast<char>((i * 7919 + size) % 251);
    WriteFile(temp / "medium/Driver/big.sys", contents);
    const std::string target = "C:\\Windows\\big" + std::to_string(size) + ".sys";
    for (const char* what : {"new", "replaced"}) {
      ASSERT_TRUE(machine->CopyFile("D:\\Driver\\big.sys", target)) << size << " " << what;
      EXPECT_EQ(ReadFile(Host(target)), contents) << size << " " << what;
    }
  }
}

// A copy over an existing file swaps the new file in; the folder's names as
// the machine remembers them must still hold the target and nothing else.
TEST_F(SandboxTest, ReplacedCopiesStayFindableInAnyCase) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(machine->CopyFile("D:\\Driver\\QAR.CAT", "C:\\Windows\\System\\QAR.CAT")) << round;
    EXPECT_TRUE(machine->FileExists("c:\\windows\\system\\qar.cat")) << round;
    EXPECT_EQ(Names(Drive("/Windows/System")), std::vector<std::string>{"QAR.CAT"}) << round;
  }
  EXPECT_TRUE(machine->DeleteFile("C:\\WINDOWS\\SYSTEM\\qar.cat"));
  EXPECT_FALSE(machine->FileExists("C:\\Windows\\System\\QAR.CAT"));
  EXPECT_TRUE(Names(Drive("/Windows/System")).empty());
}

// --- Staying inside the machine -------------------------------------------

TEST_F(SandboxTest, DotDotStopsAtTheDriveRoot) {
  WriteFile(temp / "etc/passwd", "outside");
  EXPECT_EQ(Host("C:\\..\\..\\etc\\passwd"), Drive("/etc/passwd"));
  EXPECT_FALSE(machine->FileExists("C:\\..\\..\\etc\\passwd"));
  ASSERT_TRUE(machine->CreateDir("C:\\..\\..\\etc"));
  ASSERT_TRUE(machine->CopyFile("D:\\..\\QAR.exe", "C:\\Windows\\..\\..\\..\\etc\\passwd"));
  EXPECT_EQ(ReadFile(Drive("/etc/passwd")), "companion");
  EXPECT_EQ(ReadFile(temp / "etc/passwd"), "outside");
}

TEST_F(SandboxTest, SymlinksOutOfTheDriveAreRefused) {
  WriteFile(temp / "outside/secret.txt", "secret");
  fs::create_directory_symlink(temp / "outside", Drive("/Windows/linkdir"));
  fs::create_symlink(temp / "outside/secret.txt", Drive("/Windows/linkfile.sys"));
  fs::create_symlink(temp / "outside/new.sys", Drive("/Windows/dangling.sys"));
  fs::create_directory_symlink(machine->Folder(),
                               Drive("/Windows/machine"));  // the settings' folder

  EXPECT_FALSE(machine->FileExists("C:\\Windows\\linkdir\\secret.txt"));
  EXPECT_FALSE(machine->DirectoryExists("C:\\Windows\\linkdir"));
  EXPECT_FALSE(machine->FileExists("C:\\Windows\\linkfile.sys"));
  EXPECT_FALSE(machine->FileExists("C:\\Windows\\machine\\machine.conf"));
  EXPECT_EQ(Host("C:\\Windows\\linkdir\\secret.txt"), "");
  EXPECT_FALSE(machine->CopyFile("D:\\QAR.exe", "C:\\Windows\\linkdir\\secret.txt"));
  EXPECT_FALSE(machine->CopyFile("D:\\QAR.exe", "C:\\Windows\\linkfile.sys"));
  EXPECT_FALSE(machine->CopyFile("D:\\QAR.exe", "C:\\Windows\\dangling.sys"));
  EXPECT_FALSE(machine->CopyFile("C:\\Windows\\linkfile.sys", "C:\\Windows\\stolen.sys"));
  EXPECT_FALSE(machine->CopyFile("D:\\QAR.exe", "C:\\Windows\\machine\\machine.conf"));
  EXPECT_FALSE(machine->DeleteFile("C:\\Windows\\linkdir\\secret.txt"));
  EXPECT_FALSE(machine->CreateDir("C:\\Windows\\linkdir\\new"));

  EXPECT_EQ(Names(temp / "outside"), std::vector<std::string>{"secret.txt"});
  EXPECT_EQ(ReadFile(temp / "outside/secret.txt"), "secret");
  EXPECT_FALSE(fs::exists(Drive("/Windows/stolen.sys")));
  EXPECT_NO_THROW(test::Reopen(machine));
}

// Paths the machine has already walked: a folder on the way swapped for a
// link out between two calls is caught before anything is written.
TEST_F(SandboxTest, LinksSwappedInAfterAWalkAreRefused) {
  WriteFile(temp / "outside/secret.sys", "secret");
  ASSERT_TRUE(machine->CopyFile("D:\\QAR.exe", "C:\\Windows\\System\\first.sys"));
  ASSERT_TRUE(machine->CreateDir("C:\\Windows\\System\\Sub"));
  EXPECT_TRUE(machine->DirectoryExists("C:\\Windows\\System\\Sub"));
  EXPECT_FALSE(machine->FileExists("C:\\Windows\\System\\secret.sys"));

  fs::rename(Drive("/Windows/System"), Drive("/Windows/System.old"));
  fs::create_directory_symlink(temp / "outside", Drive("/Windows/System"));

  EXPECT_FALSE(machine->CopyFile("D:\\QAR.exe", "C:\\Windows\\System\\second.sys"));
  EXPECT_FALSE(machine->CopyFile("D:\\QAR.exe", "C:\\Windows\\System\\secret.sys"));
  EXPECT_FALSE(machine->CreateDir("C:\\Windows\\System\\New"));
  EXPECT_FALSE(machine->DeleteFile("C:\\Windows\\System\\secret.sys"));
  EXPECT_FALSE(machine->FileExists("C:\\Windows\\System\\secret.sys"));
  EXPECT_FALSE(machine->DirectoryExists("C:\\Windows\\System\\Sub"));
  EXPECT_EQ(Names(temp / "outside"), std::vector<std::string>{"secret.sys"});
  EXPECT_EQ(ReadFile(temp / "outside/secret.sys"), "secret");
}

// Not even a link that stays inside the drive is followed.
TEST_F(SandboxTest, LinksFifosAndDevicesWithinTheDriveAreRefused) {
  fs::create_directory_symlink(Drive("/Windows/System32"), Drive("/Windows/Sys32Link"));
  WriteFile(Drive("/Windows/System32/qar.exe"), "kept");
  EXPECT_FALSE(machine->CopyFile("D:\\QAR.exe", "C:\\Windows\\sys32link\\QAR.exe"));
  EXPECT_FALSE(machine->FileExists("C:\\Windows\\sys32link\\qar.exe"));
  EXPECT_FALSE(machine->DeleteFile("C:\\Windows\\sys32link\\qar.exe"));
  EXPECT_EQ(ReadFile(Drive("/Windows/System32/qar.exe")), "kept");

  // So is a FIFO, which no copy may wait on, from either side.
  ASSERT_EQ(mkfifo(Drive("/Windows/pipe").c_str(), 0644), 0);
  EXPECT_EQ(machine->CopyFile("C:\\Windows\\PIPE", "C:\\Windows\\x").failed, CopyResult::Source);
  EXPECT_EQ(machine->CopyFile("D:\\QAR.exe", "C:\\Windows\\pipe").failed, CopyResult::Target);
  EXPECT_EQ(Host("C:\\Windows\\pipe"), "");
}

TEST_F(SandboxTest, MissingDrivesFailAsOnWindows) {
  // E: has no folder; F: is a link out of the machine, which is no drive.
  fs::create_directory(temp / "outside");
  fs::create_directory_symlink(temp / "outside", machine->Folder() + "/F");
  for (const char* drive : {"E:", "F:", "e:"}) {
    const std::string root = std::string(drive) + "\\";
    EXPECT_FALSE(machine->DirectoryExists(root)) << drive;
    EXPECT_FALSE(machine->FileExists(root + "QAR.exe")) << drive;
    EXPECT_FALSE(machine->CreateDir(root + "QAR")) << drive;
    EXPECT_FALSE(machine->CopyFile("D:\\QAR.exe", root + "QAR.exe")) << drive;
    EXPECT_EQ(Host(root + "QAR.exe"), "") << drive;
    EXPECT_THROW(machine->SetCurrentDirectory(root), SandboxError) << drive;
  }
  EXPECT_TRUE(fs::is_empty(temp / "outside"));
}

TEST_F(SandboxTest, MappedDrives) {
  // Writable when mapped so; gone while its folder is gone, as a CD drive
  // without a disc; never overlapping the machine's own folder.
  WriteFile(temp / "stick/readme.txt", "stick");
  machine->MapDrive('e', temp / "stick", false);
  EXPECT_TRUE(machine->CopyFile("D:\\QAR.exe", "E:\\QAR.exe"));
  EXPECT_TRUE(machine->DeleteFile("E:\\readme.txt"));
  EXPECT_TRUE(machine->CreateDir("E:\\new"));

  fs::rename(temp / "medium", temp / "medium.out");
  EXPECT_FALSE(machine->DirectoryExists("D:\\"));
  fs::rename(temp / "medium.out", temp / "medium");
  EXPECT_TRUE(machine->FileExists("D:\\QAR.exe"));

  EXPECT_THROW(machine->MapDrive('G', temp / "absent", true), SandboxError);
  EXPECT_THROW(machine->MapDrive('G', temp.Path(), true), SandboxError);
  EXPECT_THROW(machine->MapDrive('G', machine->Folder() + "/C", true), SandboxError);
  EXPECT_THROW(machine->MapDrive('1', temp / "stick", true), SandboxError);
  EXPECT_FALSE(machine->DirectoryExists("G:\\"));
}

// --- Host folders behind the machine's back --------------------------------

// The host side alone: every answer must follow the host at once, whatever
// was looked up before.
class DriveTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Host("C/Windows/System"));
    fs::create_directories(Host("C/Windows/System32"));
    fs::create_directories(Host("C/Windows/A"));
    fs::create_directories(Host("C/Windows/B"));
    WriteFile(Host("C/Windows/System/qar.cat"), "x");
    WriteFile(Host("C/Windows/System32/x.sys"), "x");
    WriteFile(Host("C/Windows/A/a.sys"), "a");
    WriteFile(Host("C/Windows/B/b.sys"), "b");
    WriteFile(temp / "outside/secret.sys", "secret");
    machineFolder = UniqueFd(open(temp.Path().c_str(), O_PATH | O_DIRECTORY));
    tree = std::make_unique<DriveTree>(machineFolder.Get(), settings);
  }
  std::string Host(const std::string& relative) const { return temp / relative; }
  DriveEntry Look(const std::string& windowsPath) const {
    WinPath path;
    EXPECT_TRUE(ResolveWinPath(windowsPath, WinPath{}, path)) << windowsPath;
    return tree->Lookup(path);
  }

  TempFolder temp;
  Settings settings;
  UniqueFd machineFolder;
  std::unique_ptr<DriveTree> tree;
};

TEST_F(DriveTreeTest, LookupsFollowEveryChangeOnTheHost) {
  struct Check {
    const char* path;
    DriveEntry::Kind kind;
    const char* host;  // below the machine folder; "" when there is none
  };
  struct Step {
    const char* what;
    std::function<void()> change;
    std::vector<Check> checks;  // each looked up before the change too
  };
  const auto exchange = [&](const std::string& a, const std::string& b) {
    ASSERT_EQ(renameat2(AT_FDCWD, Host(a).c_str(), AT_FDCWD, Host(b).c_str(), RENAME_EXCHANGE), 0);
  };
  const Step steps[] = {
      {"folder renamed to another case",
       [&] { fs::rename(Host("C/Windows"), Host("C/WINDOWS")); },
       {{"C:\\windows\\system\\new.sys", DriveEntry::Missing, "C/WINDOWS/System/new.sys"},
        {"C:\\windows\\system\\QAR.CAT", DriveEntry::File, "C/WINDOWS/System/qar.cat"}}},
      {"a smaller name folding alike appears",
       [&] { WriteFile(Host("C/WINDOWS/SYSTEM/qar.cat"), "y"); },
       {{"C:\\windows\\system\\qar.cat", DriveEntry::File, "C/WINDOWS/SYSTEM/qar.cat"},
        {"C:\\Windows\\System\\qar.cat", DriveEntry::File, "C/WINDOWS/System/qar.cat"}}},
      {"the smaller one goes again",
       [&] { fs::remove_all(Host("C/WINDOWS/SYSTEM")); },
       {{"C:\\windows\\system\\qar.cat", DriveEntry::File, "C/WINDOWS/System/qar.cat"}}},
      {"file replaced by a folder",
       [&] {
         fs::remove(Host("C/WINDOWS/System/qar.cat"));
         fs::create_directory(Host("C/WINDOWS/System/QAR.CAT"));
       },
       {{"C:\\windows\\system\\qar.cat", DriveEntry::Folder, "C/WINDOWS/System/QAR.CAT"},
        {"C:\\windows\\system\\qar.cat\\inner.sys", DriveEntry::Missing,
         "C/WINDOWS/System/QAR.CAT/inner.sys"}}},
      {"folder swapped for a link out",
       [&] {
         fs::rename(Host("C/WINDOWS/System"), Host("C/WINDOWS/System.old"));
         fs::create_directory_symlink(temp / "outside", Host("C/WINDOWS/System"));
       },
       {{"C:\\windows\\system\\secret.sys", DriveEntry::Refused, ""},
        {"C:\\windows\\system\\new.sys", DriveEntry::Refused, ""},
        {"C:\\windows\\system", DriveEntry::Refused, ""}}},
      {"link retargeted within the drive",
       [&] {
         fs::remove(Host("C/WINDOWS/System"));
         fs::create_directory_symlink(Host("C/WINDOWS/System32"), Host("C/WINDOWS/System"));
       },
       {{"C:\\windows\\system\\X.SYS", DriveEntry::Refused, ""},
        {"C:\\windows\\system\\secret.sys", DriveEntry::Refused, ""}}},
      {"link replaced by a folder again",
       [&] {
         fs::remove(Host("C/WINDOWS/System"));
         fs::rename(Host("C/WINDOWS/System.old"), Host("C/WINDOWS/system"));
       },
       {{"C:\\windows\\SYSTEM\\qar.cat", DriveEntry::Folder, "C/WINDOWS/system/QAR.CAT"},
        {"C:\\windows\\system\\x.sys", DriveEntry::Missing, "C/WINDOWS/system/x.sys"}}},
      {"folder deleted, a link out made in its place",
       [&] {
         fs::remove_all(Host("C/WINDOWS/system"));
         fs::create_directory_symlink(temp / "outside", Host("C/WINDOWS/system"));
       },
       {{"C:\\windows\\SYSTEM\\secret.sys", DriveEntry::Refused, ""},
        {"C:\\windows\\system\\new.sys", DriveEntry::Refused, ""}}},
      {"folders exchanged",
       [&] { exchange("C/WINDOWS/A", "C/WINDOWS/B"); },
       {{"C:\\windows\\a\\b.sys", DriveEntry::File, "C/WINDOWS/A/b.sys"},
        {"C:\\windows\\a\\a.sys", DriveEntry::Missing, "C/WINDOWS/A/a.sys"},
        {"C:\\windows\\b\\a.sys", DriveEntry::File, "C/WINDOWS/B/a.sys"}}},
      {"folder moved away, another moved in",
       [&] {
         fs::rename(Host("C/WINDOWS/B"), Host("C/WINDOWS/gone"));
         fs::rename(Host("C/WINDOWS/A"), Host("C/WINDOWS/b"));
       },
       {{"C:\\windows\\B\\a.sys", DriveEntry::Missing, "C/WINDOWS/b/a.sys"},
        {"C:\\windows\\B\\b.sys", DriveEntry::File, "C/WINDOWS/b/b.sys"},
        {"C:\\windows\\A\\b.sys", DriveEntry::NoParent, "C/WINDOWS/A/b.sys"}}},
      {"file deleted and created anew in another case",
       [&] {
         fs::remove(Host("C/WINDOWS/b/b.sys"));
         WriteFile(Host("C/WINDOWS/b/B.SYS"), "B");
       },
       {{"C:\\windows\\b\\b.sys", DriveEntry::File, "C/WINDOWS/b/B.SYS"}}},
      {"drive folder made anew",
       [&] {
         fs::rename(Host("C"), Host("C.old"));
         fs::create_directories(Host("C/WINDOWS"));
       },
       {{"C:\\windows\\b\\b.sys", DriveEntry::NoParent, "C/WINDOWS/b/b.sys"},
        {"C:\\Windows", DriveEntry::Folder, "C/WINDOWS"}}},
      {"drive folder gone",
       [&] { fs::remove_all(Host("C")); },
       {{"C:\\windows", DriveEntry::NoDrive, ""}}},
  };
  for (const Step& step : steps) {
    for (const Check& check : step.checks) Look(check.path);
    step.change();
    for (int twice = 0; twice < 2; ++twice) {
      for (const Check& check : step.checks) {
        const DriveEntry entry = Look(check.path);
        EXPECT_EQ(entry.kind, check.kind) << step.what << ": " << check.path;
        if (*check.host != '\0') {
          EXPECT_EQ(entry.host, Host(check.host)) << step.what << ": " << check.path;
        }
      }
    }
  }
}

// Many folders looked up and renamed within: what is read again is current.
TEST_F(DriveTreeTest, ManyFoldersKeepUpWithChanges) {
  const auto folder = [](int i) { return "F" + std::to_string(i); };
  for (int i = 0; i < 10; ++i) WriteFile(Host("C/" + folder(i) + "/x.sys"), "x");
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 10; ++i) {
      const std::string path = "C:\\" + folder(i) + "\\";
      // The new name first: a stale listing answers it without asking the host.
      EXPECT_EQ(Look(path + "Y.SYS").kind, round == 0 ? DriveEntry::Missing : DriveEntry::File)
          << path;
      EXPECT_EQ(Look(path + "X.SYS").kind, round == 0 ? DriveEntry::File : DriveEntry::Missing)
          << path;
    }
    if (round > 0) break;
    for (int i = 0; i < 10; ++i)
      fs::rename(Host("C/" + folder(i) + "/x.sys"), Host("C/" + folder(i) + "/y.sys"));
  }
}

// --- Current directory ----------------------------------------------------

TEST_F(SandboxTest, CurrentDirectoryServesRelativePathsAndAnyLength) {
  EXPECT_EQ(machine->GetCurrentDrive(), 2);
  std::string dir = "unset";
  ASSERT_TRUE(machine->GetCurrentDir(dir));
  EXPECT_EQ(dir, "");

  machine->SetCurrentDirectory("d:\\");
  EXPECT_EQ(machine->GetCurrentDrive(), 3);
  ASSERT_TRUE(machine->GetCurrentDir(dir));
  EXPECT_EQ(dir, "");
  EXPECT_TRUE(machine->FileExists("QAR.exe"));
  EXPECT_TRUE(machine->FileExists("Driver\\..\\qar.exe"));
  EXPECT_TRUE(machine->FileExists("\\Driver\\QAR.CAT"));
  EXPECT_TRUE(machine->FileExists("D:QAR.exe"));
  EXPECT_FALSE(machine->FileExists("C:QAR.exe"));  // C:'s root, not D:'s folder

  std::string windows = "D:\\setup", host = temp / "medium/setup";
  for (int i = 0; i < 30; ++i) {
    windows += "\\folder" + std::to_string(i);
    host += "/folder" + std::to_string(i);
  }
  fs::create_directories(host);
  machine->SetCurrentDirectory(windows + "\\");
  ASSERT_TRUE(machine->GetCurrentDir(dir));
  EXPECT_GT(dir.size(), 255u);
  EXPECT_EQ(dir, windows.substr(3));

  EXPECT_THROW(machine->SetCurrentDirectory("D:\\absent"), SandboxError);
  EXPECT_THROW(machine->SetCurrentDirectory("D:\\QAR.exe"), SandboxError);
  ASSERT_TRUE(machine->GetCurrentDir(dir));
  EXPECT_EQ(dir, windows.substr(3));
}

// --- Versions and seeding -------------------------------------------------

TEST(KnownVersions, ReportWhatEachWindowsReports) {
  struct Case {
    const char* name;
    unsigned platformId, major, minor;
    const char* csd;
    const char* systemRoot;
  };
  const Case cases[] = {
      {"win31", 0, 3, 10, "", "C:\\Windows"},
      {"win95", 1, 4, 0, "", "C:\\Windows"},
      {"win95osr2", 1, 4, 0, " B", "C:\\Windows"},
      {"win98", 1, 4, 10, "", "C:\\Windows"},
      {"win98se", 1, 4, 10, " A", "C:\\Windows"},
      {"winme", 1, 4, 90, "", "C:\\Windows"},
      {"nt351", 2, 3, 51, "Service Pack 5", "C:\\Winnt"},
      {"nt40", 2, 4, 0, "Service Pack 6", "C:\\Winnt"},
      {"win2000", 2, 5, 0, "Service Pack 4", "C:\\Winnt"},
      {"win2k", 2, 5, 0, "Service Pack 4", "C:\\Winnt"},
      {"winxp", 2, 5, 1, "Service Pack 3", "C:\\Windows"},
      {"win2003", 2, 5, 2, "Service Pack 2", "C:\\Windows"},
      {"vista", 2, 6, 0, "Service Pack 2", "C:\\Windows"},
  };
  for (const Case& c : cases) {
    const NamedVersion* known = FindVersion(c.name);
    ASSERT_NE(known, nullptr) << c.name;
    EXPECT_EQ(known->version.platformId, c.platformId) << c.name;
    EXPECT_EQ(known->version.major, c.major) << c.name;
    EXPECT_EQ(known->version.minor, c.minor) << c.name;
    EXPECT_EQ(known->version.Csd(), c.csd) << c.name;
    EXPECT_STREQ(known->systemRoot, c.systemRoot) << c.name;
  }
  EXPECT_EQ(FindVersion("WinXP"), FindVersion("winxp"));
  EXPECT_EQ(FindVersion("win7"), nullptr);
  EXPECT_EQ(FindVersion(""), nullptr);
}

TEST_F(SandboxTest, VersionByNameOrRecordAndAFailingQuery) {
  OsVersion seen;
  ASSERT_TRUE(machine->QueryVersion(seen));
  EXPECT_EQ(seen.major, 5u);
  EXPECT_EQ(seen.minor, 1u);

  machine->SetVersion("win98se");
  ASSERT_TRUE(machine->QueryVersion(seen));
  EXPECT_EQ(seen.minor, 10u);
  EXPECT_EQ(seen.csd[1], 'A');

  OsVersion raw;
  raw.platformId = 1;
  raw.major = 4;
  raw.minor = 3;
  raw.SetCsd(" C");
  machine->SetVersion(raw);
  machine->SetVersionQueryFails(true);
  seen = OsVersion{};
  EXPECT_FALSE(machine->QueryVersion(seen));
  EXPECT_EQ(seen.major, 0u);

  // All of it survives a reopening.
  SandboxMachine* reopened = &test::Reopen(machine);
  EXPECT_FALSE(reopened->QueryVersion(seen));
  reopened->SetVersionQueryFails(false);
  ASSERT_TRUE(reopened->QueryVersion(seen));
  EXPECT_EQ(seen.platformId, 1u);
  EXPECT_EQ(seen.minor, 3u);
  EXPECT_EQ(seen.Csd(), " C");

  try {
    reopened->SetVersion("windows7");
    FAIL() << "an unknown version was accepted";
  } catch (const SandboxError& e) {
    EXPECT_NE(std::string(e.what()).find("windows7"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("win98se"), std::string::npos);
  }
  ASSERT_TRUE(reopened->QueryVersion(seen));
  EXPECT_EQ(seen.minor, 3u);
}

TEST(SandboxSeed, EachVersionGetsItsOwnSystemFolders) {
  struct Case {
    const char* version;
    const char* root;
    std::vector<std::string> folders;
  };
  const std::vector<std::string> nt = {"System", "System32", "System32/drivers", "inf"};
  const std::vector<std::string> w98 = {"System", "System32", "System32/drivers", "Inf"};
  const Case cases[] = {
      {"win31", "Windows", {"System"}},
      {"win95", "Windows", {"System", "Inf"}},
      {"win95osr2", "Windows", {"System", "Inf"}},
      {"win98", "Windows", w98},
      {"win98se", "Windows", w98},
      {"winme", "Windows", w98},
      {"nt351", "Winnt", {"System", "System32", "System32/drivers"}},
      {"nt40", "Winnt", nt},
      {"win2000", "Winnt", nt},
      {"winxp", "Windows", nt},
      {"win2003", "Windows", nt},
      {"vista", "Windows", nt},
  };
  TempFolder temp;
  for (const Case& c : cases) {
    auto machine = SandboxMachine::Create(temp / c.version, c.version);
    const std::string root = machine->Folder() + "/C/" + c.root;
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root))
      found.push_back(fs::relative(entry.path(), root).string());
    std::sort(found.begin(), found.end());
    std::vector<std::string> expected = c.folders;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected) << c.version;
    EXPECT_EQ(Names(machine->Folder() + "/C"), std::vector<std::string>{c.root}) << c.version;
    EXPECT_EQ(Names(machine->Folder()),
              (std::vector<std::string>{"C", "calls.log", "machine.conf", "registry.reg"}))
        << c.version;
    EXPECT_EQ(machine->GetCurrentDrive(), 2) << c.version;
    EXPECT_NE(ReadFile(machine->Folder() + "/registry.reg")
                  .find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup]"
                        "\r\n\r\n"),
              std::string::npos)
        << c.version;
    std::string data;
    EXPECT_FALSE(machine->ReadString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup",
                                     "SourcePath", data));
  }
}

TEST(SandboxSeed, RefusesUnknownVersionsAndOccupiedFolders) {
  TempFolder temp;
  try {
    SandboxMachine::Create(temp / "m/nested", "win7");
    FAIL() << "an unknown version was accepted";
  } catch (const SandboxError& e) {
    const std::string message = e.what();
    for (const char* name : {"win7", "win31", "win98se", "winxp", "vista"})
      EXPECT_NE(message.find(name), std::string::npos) << name;
  }
  EXPECT_TRUE(fs::is_empty(temp.Path()));

  WriteFile(temp / "busy/notes.txt", "mine");
  EXPECT_THROW(SandboxMachine::Create(temp / "busy", "winxp"), SandboxError);
  EXPECT_THROW(SandboxMachine::OpenOrCreate(temp / "busy", "winxp"), SandboxError);
  EXPECT_EQ(Names(temp / "busy"), std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(Names(temp.Path()), std::vector<std::string>{"busy"});  // no staging left

  fs::create_directory(temp / "empty");
  EXPECT_NO_THROW(SandboxMachine::Create(temp / "empty", "winme"));
  EXPECT_THROW(SandboxMachine::Create(temp / "empty", "winme"), SandboxError);
  auto opened = SandboxMachine::OpenOrCreate(temp / "empty/", "winxp");  // opens, keeps ME
  OsVersion version;
  ASSERT_TRUE(opened->QueryVersion(version));
  EXPECT_EQ(version.minor, 90u);
  auto created = SandboxMachine::OpenOrCreate(temp / "fresh", "nt40");
  EXPECT_TRUE(created->DirectoryExists("C:\\WINNT\\INF"));
}

// --- The machine's own files ------------------------------------------------

TEST(SandboxOpen, SettingsSurviveAReopening) {
  TempFolder temp;
  fs::create_directories(temp / "medium/setup");
  {
    auto machine = SandboxMachine::Create(temp / "m", "win2000");
    machine->MapDrive('D', temp / "medium", true);
    machine->SetCurrentDirectory("D:\\SETUP");
    machine->SetKeyReadOnly("\\SOFTWARE\\Locked", true);
    machine->SetVersionQueryFails(true);
  }
  auto machine = SandboxMachine::Open(temp / "m");
  EXPECT_EQ(machine->GetCurrentDrive(), 3);
  std::string dir;
  ASSERT_TRUE(machine->GetCurrentDir(dir));
  EXPECT_EQ(dir, "SETUP");
  EXPECT_FALSE(machine->CreateDir("D:\\setup\\new"));  // still the read-only CD
  EXPECT_EQ(machine->OpenKey("SOFTWARE\\LOCKED\\Below"), nullptr);
  OsVersion version;
  EXPECT_FALSE(machine->QueryVersion(version));
}

TEST(SandboxOpen, BadMachineFoldersGiveClearErrors) {
  TempFolder temp;
  auto expectError = [](const std::string& folder, const std::string& fragment) {
    try {
      SandboxMachine::Open(folder);
      ADD_FAILURE() << folder << " opened";
    } catch (const SandboxError& e) {
      EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
  };
  expectError(temp / "absent", "absent");
  fs::create_directory(temp / "plain");
  expectError(temp / "plain", "machine.conf");

  SandboxMachine::Create(temp / "m", "winxp");
  const std::string settings = ReadFile(temp / "m/machine.conf");
  WriteFile(temp / "m/machine.conf", settings + "drive.D = " + temp.Path() + "\n");
  expectError(temp / "m", "overlaps");
  WriteFile(temp / "m/machine.conf", settings);
  fs::remove(temp / "m/registry.reg");
  expectError(temp / "m", "registry.reg");
}

TEST(SandboxOpen, MalformedSettingsNameTheLine) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    const char* fragment;
  };
  const Case cases[] = {
      {"version = winxp\nbogus\n", "machine.conf:2:"},
      {"version = win7\n", "machine.conf:1: unknown version"},
      {"# c\nversion = winxp\nversion = winme\n", "machine.conf:3:"},
      {"version = winxp\ncolour = blue\n", "machine.conf:2: unknown key"},
      {"platform = 2\nmajor = five\nminor = 1\n", "machine.conf:2:"},
      {"version = winxp\nversion-query-fails = maybe\n", "machine.conf:2:"},
      {"version = winxp\ncurrent-directory = setup\n", "machine.conf:2:"},
      {"version = winxp\ndrive.D = relative/folder\n", "machine.conf:2:"},
      {"version = winxp\ncsd = \"unterminated\n", "machine.conf:2:"},
      {"platform = 2\nmajor = 5\n", "machine.conf:3: no version"},
      {"version = winxp\ndrive.D.read-only = yes\n", "machine.conf:2: drive.D"},
      // What the writer could not write back.
      {"version = winxp\ndrive.D = /a\rb\n", "machine.conf:2: a stray CR"},
      {"version = winxp\nread-only-key = A\0B\n"s, "machine.conf:2: a stray CR or NUL"},
  };
  TempFolder temp;
  SandboxMachine::Create(temp / "m", "winxp").reset();
  for (const Case& c : cases) {
    WriteFile(temp / "m/machine.conf", c.text);
    try {
      SandboxMachine::Open(temp / "m");
      ADD_FAILURE() << c.text << " was accepted";
    } catch (const SandboxError& e) {
      EXPECT_NE(std::string(e.what()).find(c.fragment), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFile(temp / "m/machine.conf"), c.text);  // never rewritten
  }
}

TEST(SandboxOpen, HandWrittenSettingsAreRead) {
  TempFolder temp;
  SandboxMachine::Create(temp / "m", "winxp");
  fs::create_directories(temp / "cd/Setup Files");
  WriteFile(temp / "m/machine.conf",
            "# hand-written\r\n"
            "minor = 10\r\n"
            "version = win95\r\n"
            "csd = \" A\"\r\n"
            "  current-directory = E:\\Setup Files  \r\n"
            "drive.e = " +
                (temp / "cd") +
                "\r\n"
                "DRIVE.E.READ-ONLY = true\r\n");
  auto machine = SandboxMachine::Open(temp / "m");
  OsVersion version;
  ASSERT_TRUE(machine->QueryVersion(version));
  EXPECT_EQ(version.minor, 10u);
  EXPECT_EQ(version.Csd(), " A");
  std::string dir;
  ASSERT_TRUE(machine->GetCurrentDir(dir));
  EXPECT_EQ(dir, "Setup Files");
  EXPECT_EQ(machine->GetCurrentDrive(), 4);
  EXPECT_TRUE(machine->DirectoryExists("."));
  EXPECT_FALSE(machine->CreateDir("new"));
}

// --- Call log -------------------------------------------------------------

TEST(CallLog, FieldsSurviveAnyText) {
  const std::string awkward[] = {"",
                                 "plain",
                                 "a\tb",
                                 "50%",
                                 "%41",
                                 "line\r\nbreak",
                                 "\n",
                                 "%%\t%",
                                 std::string("nul\0byte", 8),
                                 "\xE9t\xE9 \x80\xFF"};
  for (const std::string& text : awkward) {
    const std::string escaped = EscapeLogField(text);
    EXPECT_EQ(escaped.find_first_of("\t\r\n"), std::string::npos) << escaped;
    std::string back;
    ASSERT_TRUE(UnescapeLogField(escaped, back)) << escaped;
    EXPECT_EQ(back, text);
  }
  EXPECT_EQ(EscapeLogField("a%b\tc\rd\ne"), "a%25b%09c%0Dd%0Ae");
  std::string out;
  for (const char* bad : {"%", "%4", "%G0", "x%0"}) EXPECT_FALSE(UnescapeLogField(bad, out)) << bad;
}

TEST_F(SandboxTest, ShellOpenAndMessageBoxAreLogged) {
  const std::string text = "Line one\r\nTab\there 100% \"quoted\"";
  machine->ShellOpen("http://192.168.100.1");
  machine->RecordBox(text, "Cap\ttion", BoxIcon::Error);
  machine->RecordBox("", "", BoxIcon::None);
  machine->ShellOpen("D:\\Manual\\K7Q3WG_MN.pdf");
  const std::vector<std::vector<std::string>> expected = {
      {"ShellOpen", "open", "http://192.168.100.1"},
      {"MessageBox", "error", "Cap\ttion", text},
      {"MessageBox", "none", "", ""},
      {"ShellOpen", "open", "D:\\Manual\\K7Q3WG_MN.pdf"},
  };
  EXPECT_EQ(machine->ReadLog(), expected);
  const std::string raw = ReadFile(machine->Folder() + "/calls.log");
  EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 4);
  EXPECT_EQ(raw.substr(0, raw.find('\n') + 1), "ShellOpen\topen\thttp://192.168.100.1\n");
  EXPECT_EQ(test::Reopen(machine).ReadLog(), expected);

  WriteFile(machine->Folder() + "/calls.log", raw + "MessageBox\tnone\t%zz\tx\n");
  try {
    machine->ReadLog();
    FAIL() << "a malformed escape was accepted";
  } catch (const SandboxError& e) {
    EXPECT_NE(std::string(e.what()).find("calls.log:5:"), std::string::npos) << e.what();
  }
}

TEST_F(SandboxTest, ShellOpenHookGetsTheHostPath) {
  std::vector<std::pair<std::string, std::string>> opened;
  machine->SetShellOpenHook([&](const std::string& target, const std::string& host) {
    EXPECT_EQ(machine->ReadLog().back().back(), target);  // logged first
    opened.emplace_back(target, host);
  });
  fs::create_directory_symlink(temp.Path(), Drive("/out"));
  const std::pair<std::string, std::string> expected[] = {
      {"http://192.168.100.1", ""},
      {"mailto:help@example.com", ""},
      {"d:\\qar.exe", temp / "medium/QAR.exe"},
      {"D:\\Manual\\absent.pdf", ""},
      {"C:\\out\\medium\\QAR.exe", ""},
      {"Q:\\x", ""},
  };
  for (const auto& [target, host] : expected) machine->ShellOpen(target);
  const std::vector<std::pair<std::string, std::string>> all(std::begin(expected),
                                                             std::end(expected));
  EXPECT_EQ(opened, all);
}

// --- Fault injection ------------------------------------------------------

TEST_F(SandboxTest, EachFaultFailsItsOperationLikeWindows) {
  ASSERT_TRUE(machine->CreateDir("C:\\QAR"));
  ASSERT_TRUE(machine->CopyFile("D:\\QAR.exe", "C:\\QAR\\QAR.exe"));
  machine->SetCurrentDirectory("C:\\QAR");
  struct Case {
    Op op;
    std::function<bool()> works;  // true when the operation succeeded
  };
  OsVersion version;
  std::string dir;
  // Opened once: WriteString and DeleteValue need a key even while OpenKey fails.
  const std::unique_ptr<RegistryKey> key = machine->OpenKey("SOFTWARE\\QAR");
  ASSERT_TRUE(key && key->SetString("v", "1"));
  const Case cases[] = {
      {Op::QueryVersion, [&] { return machine->QueryVersion(version); }},
      {Op::GetCurrentDrive, [&] { return machine->GetCurrentDrive() == 2; }},
      {Op::GetCurrentDir, [&] { return machine->GetCurrentDir(dir) && dir == "QAR"; }},
      {Op::FileExists, [&] { return machine->FileExists("C:\\QAR\\QAR.exe"); }},
      {Op::DirectoryExists, [&] { return machine->DirectoryExists("C:\\QAR"); }},
      {Op::CreateDir,
       [&] { return machine->CreateDir("C:\\QAR\\Sub") && fs::remove(Drive("/QAR/Sub")); }},
      {Op::CopyFile, [&] { return bool(machine->CopyFile("D:\\QAR.exe", "C:\\QAR\\QAR.exe")); }},
      {Op::DeleteFile,
       [&] {
         const bool deleted = machine->DeleteFile("C:\\QAR\\QAR.exe");
         WriteFile(Drive("/QAR/QAR.exe"), "companion");
         return deleted;
       }},
      {Op::RenameFile,
       [&] {
         return machine->RenameFile("C:\\QAR\\QAR.exe", "C:\\QAR\\moved.exe") &&
                machine->RenameFile("C:\\QAR\\moved.exe", "C:\\QAR\\QAR.exe");
       }},
      {Op::ClearAttributes, [&] { return machine->ClearAttributes("C:\\QAR\\QAR.exe"); }},
      {Op::OpenKey, [&] { return machine->OpenKey("SOFTWARE\\QAR") != nullptr; }},
      {Op::WriteString, [&] { return key->SetString("v", "1"); }},
      {Op::DeleteValue,
       [&] {
         const bool deleted = key->DeleteValue("v");
         key->SetString("v", "1");
         return deleted;
       }},
      {Op::ShellOpen,
       [&] {
         const std::size_t before = machine->ReadLog().size();
         machine->ShellOpen("C:\\QAR\\QAR.exe");
         return machine->ReadLog().size() == before + 1;
       }},
      {Op::MessageBox,
       [&] {
         const std::size_t before = machine->ReadLog().size();
         machine->RecordBox("text", "caption", BoxIcon::None);
         return machine->ReadLog().size() == before + 1;
       }},
  };
  for (const Case& c : cases) {
    const int op = static_cast<int>(c.op);
    EXPECT_TRUE(c.works()) << "op " << op << " before the fault";
    machine->Inject().Fail(c.op);
    EXPECT_FALSE(c.works()) << "op " << op << " with the fault";
    for (const Case& other : cases) {
      if (other.op == c.op) continue;
      EXPECT_TRUE(other.works()) << "op " << static_cast<int>(other.op) << " beside " << op;
    }
    machine->Inject() = sandbox::Faults();
    EXPECT_TRUE(c.works()) << "op " << op << " after clearing";
  }
  EXPECT_EQ(machine->GetCurrentDrive(), 2);
  machine->Inject().Fail(Op::GetCurrentDrive);
  EXPECT_EQ(machine->GetCurrentDrive(), 0);
  machine->Inject().Fail(Op::GetCurrentDir);
  dir = "stale";
  EXPECT_FALSE(machine->GetCurrentDir(dir));
  EXPECT_EQ(dir, "");
}

TEST_F(SandboxTest, FaultsWithAPathHitOnlyThatPath) {
  machine->Inject().Fail(Op::CopyFile, "c:/windows/SYSTEM32/qar.cat");
  machine->Inject().Fail(Op::DeleteFile, "C:\\Windows\\usb8023w.sys");
  machine->Inject().Fail(Op::WriteString, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup");

  EXPECT_FALSE(
      machine->CopyFile("D:\\Driver\\QAR.CAT", "C:\\Windows\\System32\\QAR.CAT"));  // target
  EXPECT_TRUE(machine->CopyFile("D:\\Driver\\QAR.CAT", "C:\\Windows\\System\\QAR.CAT"));
  EXPECT_FALSE(
      machine->CopyFile("C:\\Windows\\System32\\QAR.CAT", "C:\\Windows\\x.cat"));  // source
  ASSERT_TRUE(machine->CopyFile("D:\\Driver\\QAR.CAT", "C:\\Windows\\usb8023w.sys"));
  ASSERT_TRUE(machine->CopyFile("D:\\Driver\\QAR.CAT", "C:\\Windows\\usb8023m.sys"));
  EXPECT_FALSE(machine->DeleteFile("c:\\windows\\USB8023W.SYS"));
  EXPECT_TRUE(machine->DeleteFile("C:\\Windows\\usb8023m.sys"));
  EXPECT_TRUE(machine->FileExists("C:\\Windows\\usb8023w.sys"));

  auto setup = machine->OpenKey("\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup");
  auto run = machine->OpenKey("\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
  ASSERT_TRUE(setup && run);
  EXPECT_FALSE(setup->SetString("SourcePath", "C:\\Windows\\System\\"));
  EXPECT_THROW(WriteString(setup.get(), "SourcePath", "x"), Error);
  EXPECT_TRUE(run->SetString("QAR", "C:\\QAR\\QAR.exe"));
}

}  // namespace
}  // namespace qar::sandbox
