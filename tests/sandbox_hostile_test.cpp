// The sandbox machine against a changing or hostile host: folders swapped for
// links in the middle of a call, a mapped drive turned into a link to the
// machine's own files, special files in place of the machine's files, a
// second process on one machine, a full disk, and settings that must read
// back as written.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestMachine.h"
#include "deploy/Deploy.h"
#include "platform/sandbox/Files.h"
#include "platform/sandbox/Registry.h"
#include "platform/sandbox/Sandbox.h"
#include "platform/sandbox/Settings.h"

namespace qar::sandbox {
namespace {

namespace fs = std::filesystem;
using test::ReadHostFile;
using test::TempDir;
using test::WriteHostFile;

int EnvCount(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

// The machine's own files, joined, to see that nothing reached them.
std::string MachineFiles(const std::string& folder) {
  std::string all;
  for (const char* name : {"machine.conf", "registry.reg", "calls.log"})
    all += ReadHostFile(folder + "/" + name) + "|";
  return all;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `body` in a child process that is root in its own user and mount
// namespaces, so it may mount; the result is the child's exit code, or
// kNoNamespace where the host refuses them. The body reports on stderr.
constexpr int kNoNamespace = 77;
int InNamespace(const std::function<int()>& body) {
  const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
  const pid_t pid = fork();
  if (pid < 0) return kNoNamespace;
  if (pid == 0) {
    const auto put = [](const char* file, const std::string& text) {
      const int fd = open(file, O_WRONLY | O_CLOEXEC);
      const bool ok =
          fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      if (fd >= 0) close(fd);
      return ok;
    };
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !put("/proc/self/setgroups", "deny") ||
        !put("/proc/self/uid_map", "0 " + uid + " 1") ||
        !put("/proc/self/gid_map", "0 " + gid + " 1") ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      _exit(kNoNamespace);
    int code = 1;
    try {
      code = body();
    } catch (const std::exception& e) {
      std::cerr << "raised: " << e.what() << "\n";
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#define CHILD_CHECK(condition)                                     \
  do {                                                             \
    if (!(condition)) {                                            \
      std::cerr << __LINE__ << ": failed: " << #condition << "\n"; \
      return 1;                                                    \
    }                                                              \
  } while (0)

// --- A folder swapped for a link during calls --------------------------------

// A host process keeps exchanging C:\work with a link to a folder outside
// (RENAME_EXCHANGE, so each name always exists) while the machine copies,
// overwrites, deletes and creates in it and copies out of it. Nothing may
// land in, vanish from or be read out of the outside folder. Seconds from
// QAR_RACE_SECONDS (default 2).
class SwapRace : public ::testing::TestWithParam<std::string> {};

TEST_P(SwapRace, NothingHappensOutsideTheDrive) {
  if (!fs::is_directory(GetParam())) GTEST_SKIP() << "no " << GetParam();
  const std::string base = GetParam() + "/qar-race-" + std::to_string(getpid());
  fs::create_directories(base);
  struct Cleanup {
    std::string path;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } cleanup{base};
  const std::string outside = base + "/outside";
  WriteHostFile(outside + "/victim.sys", "OUTSIDE");
  WriteHostFile(outside + "/src.sys", "OUTSIDE");
  WriteHostFile(base + "/medium/QAR.exe", "medium");
  auto machine = SandboxMachine::Create(base + "/m", "winxp");
  machine->MapDrive('D', base + "/medium", true);
  const std::string work = machine->Folder() + "/C/work", link = machine->Folder() + "/C/.link";
  WriteHostFile(work + "/victim.sys", "inside");
  WriteHostFile(work + "/src.sys", "inside");
  fs::create_directory_symlink(outside, link);
  const auto before = Names(outside);

  std::atomic<bool> stop{false};
  long swaps = 0;
  std::thread swapper([&] {
    while (!stop.load())
      swaps += renameat2(AT_FDCWD, work.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0;
  });
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::seconds(EnvCount("QAR_RACE_SECONDS", 2));
  long calls = 0, succeeded = 0, readOutside = 0;
  for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
    const std::string n = std::to_string(i);
    const bool results[] = {
        bool(machine->CopyFile("D:\\QAR.exe", "C:\\work\\new" + n + ".sys")),
        bool(machine->CopyFile("D:\\QAR.exe", "C:\\work\\victim.sys")),
        machine->DeleteFile("C:\\work\\victim.sys"),
        bool(machine->CopyFile("D:\\QAR.exe", "C:\\work\\VICTIM.SYS")),
        machine->CreateDir("C:\\work\\dir" + n),
        machine->DeleteFile("C:\\work\\new" + n + ".sys"),
        bool(machine->CopyFile("C:\\work\\src.sys", "C:\\copied.sys")),
    };
    for (bool ok : results) succeeded += ok;
    calls += std::size(results);
    if (ReadHostFile(machine->Folder() + "/C/copied.sys") == "OUTSIDE") ++readOutside;
  }
  stop = true;
  swapper.join();
  std::cout << calls << " calls (" << succeeded << " succeeded) during " << swaps << " exchanges\n";
  EXPECT_GT(swaps, 0);
  EXPECT_GT(succeeded, 0);
  EXPECT_EQ(Names(outside), before);
  EXPECT_EQ(ReadHostFile(outside + "/victim.sys"), "OUTSIDE");
  EXPECT_EQ(readOutside, 0);
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, SwapRace,
                         ::testing::Values(fs::temp_directory_path().string(),
                                           std::string("/dev/shm")),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.index == 0 ? std::string("TempFolder")
                                                  : std::string("Tmpfs");
                         });

// --- A mapped drive that turns into a link -----------------------------------

// Drive E: is mapped to a folder that is then missing (the machine opened
// like that) and replaced by a link to the machine folder, into it, or to a
// folder holding it: E: is then a drive without a disc, and the machine's
// own files are untouched.
TEST(LateMappedDrive, NeverReachesTheMachinesFiles) {
  for (const char* target : {"machine", "machine/C", "parent"}) {
    TempDir temp;
    const std::string late = temp / "late";
    fs::create_directories(late);
    std::string folder;
    {
      auto first = SandboxMachine::Create(temp / "parent/m", "winxp");
      first->MapDrive('E', late, false);
      folder = first->Folder();
    }
    fs::remove(late);
    auto machine = SandboxMachine::Open(folder);  // opened without its disc
    const std::string pointed = std::string(target) == "machine"  ? machine->Folder()
                                : std::string(target) == "parent" ? temp / "parent"
                                                                  : machine->Folder() + "/C";
    fs::create_directory_symlink(pointed, late);
    const std::string before = MachineFiles(machine->Folder());
    WriteHostFile(machine->Folder() + "/C/x.sys", "x");

    EXPECT_FALSE(machine->DirectoryExists("E:\\")) << target;
    EXPECT_FALSE(machine->FileExists("E:\\m\\machine.conf")) << target;
    EXPECT_FALSE(machine->CopyFile("C:\\x.sys", "E:\\registry.reg")) << target;
    EXPECT_FALSE(machine->CopyFile("C:\\x.sys", "E:\\m\\registry.reg")) << target;
    EXPECT_FALSE(machine->DeleteFile("E:\\calls.log")) << target;
    EXPECT_FALSE(machine->DeleteFile("E:\\x.sys")) << target;
    EXPECT_FALSE(machine->CreateDir("E:\\new")) << target;
    EXPECT_FALSE(machine->CopyFile("E:\\machine.conf", "C:\\stolen.conf")) << target;
    EXPECT_EQ(machine->HostPath("E:\\registry.reg"), "") << target;
    EXPECT_EQ(MachineFiles(machine->Folder()), before) << target;
    EXPECT_FALSE(fs::exists(machine->Folder() + "/C/new")) << target;
    machine.reset();
    EXPECT_THROW(SandboxMachine::Open(folder), SandboxError) << target;
    fs::remove(late);
    EXPECT_NO_THROW(SandboxMachine::Open(folder)) << target;
  }
}

// --- Special files in place of the machine's files ---------------------------

TEST(SpecialMachineFiles, GiveAClearErrorAtOnce) {
  struct Case {
    const char* file;
    const char* kind;
  };
  const Case cases[] = {
      {"machine.conf", "fifo"}, {"machine.conf", "zero"}, {"machine.conf", "huge"},
      {"registry.reg", "fifo"}, {"registry.reg", "zero"}, {"registry.reg", "huge"},
      {"calls.log", "fifo"},    {"calls.log", "zero"},    {"calls.log", "huge"},
  };
  for (const Case& c : cases) {
    TempDir temp;
    const std::string folder = SandboxMachine::Create(temp / "m", "win98se")->Folder();
    const std::string path = folder + "/" + c.file;
    fs::remove(path);
    if (std::string(c.kind) == "fifo") {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    } else if (std::string(c.kind) == "zero") {
      fs::create_symlink("/dev/zero", path);
    } else {
      WriteHostFile(path, "REGEDIT4\n");
      ASSERT_EQ(truncate(path.c_str(), kMachineFileLimit + 1), 0);
    }
    const auto start = std::chrono::steady_clock::now();
    std::string message;
    try {
      auto machine = SandboxMachine::Open(folder);
      machine->ReadLog();  // a huge log is only read here
    } catch (const SandboxError& e) {
      message = e.what();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NE(message.find(path), std::string::npos) << c.file << " " << c.kind << ": " << message;
    EXPECT_LT(seconds, 1.0) << c.file << " " << c.kind;
  }
}

// --- Settings that read back as written ---------------------------------------

// Whatever ParseSettings accepts, FormatSettings writes so that it reads the
// same: values drawn from what broke it before (leading backslashes in
// keys, trailing dots and spaces in folder names, quotes, tabs, non-ASCII).
TEST(SettingsRoundTrip, WhatIsAcceptedReadsBackTheSame) {
  const std::vector<std::string> pieces = {"\\",       "\\\\", ".",  " ",   "\"", "\t",
                                           "\xC3\xA9", "\xFF", "#",  "=",   "a",  "Z",
                                           "/",        "\\\"", "x.", "\\t", "\\n"};
  std::mt19937 random(8);
  const auto value = [&] {
    std::string text;
    for (int n = 1 + static_cast<int>(random() % 6); n > 0; --n)
      text += pieces[random() % pieces.size()];
    return random() % 3 == 0 ? "\"" + text + "\"" : text;
  };
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string text = "platform = 1\nmajor = 4\nminor = 10\ncsd = " + value() +
                             "\ncurrent-directory = C:\\" + value() + "\ndrive.E = /" + value() +
                             "\nread-only-key = " + value() + "\nread-only-key = \\\\" + value() +
                             "\n";
    Settings first;
    try {
      first = ParseSettings(text, "machine.conf");
    } catch (const SandboxError&) {
      continue;
    }
    ++accepted;
    const std::string written = FormatSettings(first, "machine.conf");
    Settings again;
    ASSERT_NO_THROW(again = ParseSettings(written, "machine.conf")) << text << "\n---\n" << written;
    EXPECT_EQ(FormatSettings(again, "machine.conf"), written) << text;
    EXPECT_EQ(again.currentDirectory, first.currentDirectory) << text;
    EXPECT_EQ(again.readOnlyKeys, first.readOnlyKeys) << text;
    EXPECT_EQ(again.drives.at('E').hostFolder, first.drives.at('E').hostFolder) << text;
    EXPECT_EQ(again.version.Csd(), first.version.Csd()) << text;
  }
  EXPECT_GT(accepted, 500);
}

// Through the setters and a reopening: the key stays as locked as it was,
// and the current directory stays the folder it named.
TEST(SettingsRoundTrip, SettersSurviveReopening) {
  TempDir temp;
  auto machine = SandboxMachine::Create(temp / "m", "win98se");
  fs::create_directories(machine->Folder() + "/C/setup.");
  machine->SetKeyReadOnly("\\\\SOFTWARE\\Locked", true);
  // Asked before the next setter, which reads the file again.
  const bool lockedBefore = machine->OpenKey("\\\\SOFTWARE\\Locked") == nullptr;
  const bool plainBefore = machine->OpenKey("SOFTWARE\\Locked") == nullptr;
  machine->SetCurrentDirectory("C:\\setup.\\");
  SandboxMachine* reopened = &test::Reopen(machine);
  EXPECT_EQ(reopened->OpenKey("\\\\SOFTWARE\\Locked") == nullptr, lockedBefore);
  EXPECT_EQ(reopened->OpenKey("SOFTWARE\\Locked") == nullptr, plainBefore);
  std::string cwd;
  ASSERT_TRUE(reopened->GetCurrentDir(cwd));
  EXPECT_EQ(cwd, "setup.");
  EXPECT_TRUE(reopened->DirectoryExists("."));
  // What no line can hold is refused, naming the line it would stand on.
  try {
    reopened->SetKeyReadOnly("SOFTWARE\\Two\nLines", true);
    ADD_FAILURE() << "a line break was written";
  } catch (const SandboxError& e) {
    EXPECT_NE(std::string(e.what()).find("machine.conf:7: read-only-key"), std::string::npos)
        << e.what();
  }
}

// --- One process per machine ------------------------------------------------

// A machine held by a process that is then stopped: a second opening, in
// another process as in this one, is refused at once.
TEST(OneProcess, SecondOpeningIsRefusedAtOnce) {
  TempDir temp;
  const std::string folder = SandboxMachine::Create(temp / "m", "winxp")->Folder();
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    auto held = SandboxMachine::Open(folder);
    raise(SIGSTOP);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, WUNTRACED), holder);
  ASSERT_TRUE(WIFSTOPPED(status));
  const auto start = std::chrono::steady_clock::now();
  try {
    SandboxMachine::Open(folder);
    ADD_FAILURE() << "opened a machine another process holds";
  } catch (const SandboxError& e) {
    EXPECT_NE(std::string(e.what()).find("in use by another program"), std::string::npos)
        << e.what();
  }
  EXPECT_LT(SecondsSince(start), 0.5);
  kill(holder, SIGKILL);
  waitpid(holder, &status, 0);
  auto machine = SandboxMachine::Open(folder);
  EXPECT_THROW(SandboxMachine::Open(folder), SandboxError);
}

// The machine folder renamed while the machine is open, and a new machine
// made at the old path: the install's registry values and log go with the
// drives to the renamed folder, and the new machine is left alone.
TEST(RenamedMachineFolder, KeepsItsOwnFilesWithItsDrives) {
  test::TestMachine machine;
  const std::string old = machine->Folder(), moved = old + ".moved";
  fs::rename(old, moved);
  const std::string newcomer = SandboxMachine::Create(old, "winxp")->Folder();
  const std::string before = MachineFiles(newcomer);
  EXPECT_EQ(InstallDriver(machine.Machine(), test::Version("winxp"), "D:\\").outcome,
            InstallOutcome::Done);
  machine->RecordBox("done", "caption", BoxIcon::None);
  machine->SetVersion("win98se");
  EXPECT_EQ(MachineFiles(newcomer), before);
  EXPECT_FALSE(fs::exists(newcomer + "/C/Windows/usb8023w.sys"));
  const std::string registry = ReadHostFile(moved + "/registry.reg");
  EXPECT_NE(registry.find("\"SourcePath\""), std::string::npos) << registry;
  EXPECT_NE(registry.find("\"QAR\""), std::string::npos) << registry;
  EXPECT_TRUE(fs::exists(moved + "/C/Windows/usb8023w.sys"));
  EXPECT_NE(ReadHostFile(moved + "/calls.log").find("done"), std::string::npos);
  EXPECT_NE(ReadHostFile(moved + "/machine.conf").find("win98se"), std::string::npos);
}

// A file system without locks (NFS without a lock manager): the machine
// opens all the same and says so, once, on stderr.
TEST(OneProcess, FileSystemWithoutLocksIsUsedAndSaysSo) {
  TempDir temp;
  const std::string folder = SandboxMachine::Create(temp / "m", "winxp")->Folder();
  for (const int error : {ENOLCK, EOPNOTSUPP}) {
    const test::HostRefusal refusal(HostCall::Lock, error);
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(SandboxMachine::Open(folder)) << error;
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(folder + " cannot be locked on this file system"), std::string::npos)
        << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  }
}

// --- A full disk and a bind mount of the machine folder --------------------------

// A box logged while the disk is full must not leave half a record behind to
// merge with the next one; a registry write fails and says why.
TEST(FullDisk, CallLogKeepsWholeRecordsAndRegistryWritesFail) {
  TempDir temp;
  const int result = InNamespace([&] {
    const std::string disk = temp / "disk";
    fs::create_directories(disk);
    CHILD_CHECK(mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") == 0);
    auto machine = SandboxMachine::Create(disk + "/m", "winxp");
    std::vector<std::string> faults;
    machine->SetFaultHook([&](const std::string& message) { faults.push_back(message); });
    auto key = machine->OpenKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup");
    CHILD_CHECK(key);
    machine->RecordBox("first", "caption", BoxIcon::None);
    const std::string registry = ReadHostFile(machine->Folder() + "/registry.reg");
    {
      const int fill = open((disk + "/fill").c_str(), O_WRONLY | O_CREAT, 0644);
      CHILD_CHECK(fill >= 0);
      const std::string block(4096, 'f');
      while (write(fill, block.data(), block.size()) > 0) {
      }
      while (write(fill, "f", 1) > 0) {
      }
      close(fill);
    }
    machine->RecordBox(std::string(20000, 'x'), "caption", BoxIcon::None);
    CHILD_CHECK(!key->SetString("SourcePath", std::string(20000, 's')));
    CHILD_CHECK(ReadHostFile(machine->Folder() + "/registry.reg") == registry);
    CHILD_CHECK(faults.size() == 2);
    CHILD_CHECK(faults[0].find("calls.log") != std::string::npos);
    CHILD_CHECK(faults[1].find("registry.reg") != std::string::npos);
    fs::remove(disk + "/fill");
    machine->RecordBox("last", "caption", BoxIcon::None);
    const auto log = machine->ReadLog();
    CHILD_CHECK(log.size() == 2);
    CHILD_CHECK(log[0].size() == 4 && log[0][3] == "first");
    CHILD_CHECK(log[1].size() == 4 && log[1][3] == "last");
    return 0;
  });
  if (result == kNoNamespace)
    GTEST_SKIP() << "this host refuses user and mount namespaces; not checked";
  EXPECT_EQ(result, 0);
}

// The machine folder bind-mounted inside drive C: the walk never enters it,
// so nothing reaches the machine's own files through it.
TEST(BindMount, MachineFolderInsideADriveIsNeverEntered) {
  TempDir temp;
  const int result = InNamespace([&] {
    auto machine = SandboxMachine::Create(temp / "m", "winxp");
    const std::string inside = machine->Folder() + "/C/bind";
    fs::create_directories(inside);
    CHILD_CHECK(mount(machine->Folder().c_str(), inside.c_str(), nullptr, MS_BIND, nullptr) == 0);
    WriteHostFile(machine->Folder() + "/C/x.sys", "x");
    const std::string before = MachineFiles(machine->Folder());
    for (const char* folder : {"C:\\bind\\", "C:\\Windows\\..\\BIND\\", "C:\\bind\\C\\bind\\"}) {
      const std::string at = folder;
      CHILD_CHECK(!machine->CopyFile("C:\\x.sys", at + "registry.reg"));
      CHILD_CHECK(!machine->DeleteFile(at + "calls.log"));
      CHILD_CHECK(!machine->FileExists(at + "machine.conf"));
      CHILD_CHECK(!machine->CopyFile(at + "machine.conf", "C:\\stolen.conf"));
      CHILD_CHECK(!machine->CreateDir(at + "new"));
    }
    CHILD_CHECK(MachineFiles(machine->Folder()) == before);
    CHILD_CHECK(!fs::exists(machine->Folder() + "/C/stolen.conf"));
    umount(inside.c_str());
    return 0;
  });
  if (result == kNoNamespace)
    GTEST_SKIP() << "this host refuses user and mount namespaces; not checked";
  EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace qar::sandbox
