#include <gtest/gtest.h>
#include <chrono>
#include <functional>
#include <optional>

#include "TestMachine.h"
#include "deploy/Deploy.h"
#include "deploy/Plans.h"
#include "deploy/VersionTable.h"

namespace qar {
namespace {

using test::RecordingPlatform;
using test::TestMachine;

const char* const kSetup = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup";
const char* const kRun = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

std::string ReadValue(TestMachine& machine, const char* key, const char* name) {
  std::string data;
  return machine->ReadString(key, name, data) ? data : "<absent>";
}

// Marks a file on the machine read-only, as another installer may leave it.
void MakeReadOnly(TestMachine& machine, const std::string& path) {
  std::filesystem::permissions(machine->HostPath(path),
                               std::filesystem::perms::owner_write |
                                   std::filesystem::perms::group_write |
                                   std::filesystem::perms::others_write,
                               std::filesystem::perm_options::remove);
}

TEST(PlanCopies, FileMajorIntoSixFolders) {
  TestMachine machine;
  const DriverSources sources = BuildDriverSources(machine.Machine(), "D:\\");
  const std::vector<Copy> copies = PlanCopies(kPlanW, sources);
  ASSERT_EQ(copies.size(), 48u);
  const char* const expectedFolders[] = {
      "C:\\Windows\\",           "C:\\Windows\\System\\",
      "C:\\Windows\\System32\\", "C:\\Windows\\System32\\drivers\\",
      "C:\\Windows\\inf\\",      "C:\\Windows\\System32\\Drivers\\Windows\\"};
  const char* const expectedFiles[][2] = {
      {"QAR.CAT", "D:\\Driver\\QAR.CAT"},           {"QAR.inf", "D:\\Driver\\QAR.inf"},
      {"rndismpk.sys", "D:\\Driver\\rndismpk.sys"}, {"rndismpm.sys", "D:\\Driver\\rndismpm.sys"},
      {"rndismpw.sys", "D:\\Driver\\rndismpw.sys"}, {"usb8023k.sys", "D:\\Driver\\usb8023k.sys"},
      {"usb8023m.sys", "D:\\Driver\\usb8023m.sys"}, {"usb8023w.sys", "D:\\Driver\\usb8023m.sys"},
  };
  for (std::size_t i = 0; i < copies.size(); ++i) {
    EXPECT_EQ(copies[i].source, expectedFiles[i / 6][1]) << i;
    EXPECT_EQ(copies[i].target, std::string(expectedFolders[i % 6]) + expectedFiles[i / 6][0]) << i;
  }
}

TEST(PlanCopies, PlanNStaysUnderWinnt) {
  TestMachine machine;
  for (const Copy& copy : PlanCopies(kPlanN, BuildDriverSources(machine.Machine(), "E:\\setup")))
    EXPECT_EQ(copy.target.rfind("C:\\Winnt\\", 0), 0u) << copy.target;
  EXPECT_EQ(BuildDriverSources(machine.Machine(), "E:\\setup")[0], "E:\\setup\\Driver\\QAR.CAT");
}

TEST(Markers, PlanAndVersion) {
  EXPECT_EQ(PlanMarker(kPlanW), "C:\\Windows\\usb8023w.sys");
  EXPECT_EQ(PlanMarker(kPlanN), "C:\\Winnt\\usb8023w.sys");
  EXPECT_EQ(PlanMarkerTemporary(kPlanW), "C:\\Windows\\usb8023w.new");
  EXPECT_EQ(PlanMarkerTemporary(kPlanN), "C:\\Winnt\\usb8023w.new");
  EXPECT_EQ(InstallMarkerOf(nullptr), "C:\\Windows\\usb8023w.sys");  // the query failed
}

// Every version the simulator knows, by the record it reports.
TEST(VersionGate, EachVersion) {
  const char* const nine = "This operating system does not support the modem driver";
  const char* const nt = "This operating system does not support the cable modem driver";
  struct Case {
    const char* version;
    char plan;  // 'W', 'N', 'R' refusal, 0 nothing
    const char* text;
  };
  const Case cases[] = {
      {"win31", 0, nullptr},     {"win95", 'R', nine},      {"win95a", 'R', nine},
      {"win95osr2", 'R', nine},  {"win95osr25", 'R', nine}, {"win98", 'W', nullptr},
      {"win98se", 'W', nullptr}, {"winme", 'W', nullptr},   {"nt351", 'R', nt},
      {"nt40", 'R', nt},         {"win2000", 'N', nullptr}, {"winxp", 'W', nullptr},
      {"win2003", 0, nullptr},   {"vista", 0, nullptr},
  };
  for (const Case& c : cases) {
    const WindowsVersion* row = test::Version(c.version);
    EXPECT_STREQ(row->refusalText, c.text) << c.version;
    const char got = row->plan != nullptr ? row->plan->id : row->refusalText != nullptr ? 'R' : 0;
    EXPECT_EQ(got, c.plan) << c.version;
  }
  test::TestMachine machine;
  EXPECT_EQ(InstallDriver(machine.Machine(), nullptr, "D:\\").outcome,
            InstallOutcome::Unrecognised);
  EXPECT_STREQ(kRefusalCaption, "Driver not available");
}

InstallOutcome Install(Platform& platform) {
  return InstallDriver(platform, test::Version("winxp"), "D:\\").outcome;
}

// The table's order, except the marker's copy (the 43rd), which runs last
// under a temporary name and is renamed into place.
TEST(CopyDriverFiles, RunsTheFortyEightCopiesInOrderOnTheMachine) {
  TestMachine machine;
  RecordingPlatform recorder(machine.Machine());
  const DriverSources sources = BuildDriverSources(machine.Machine(), "D:\\");
  ASSERT_EQ(Install(recorder), InstallOutcome::Done);

  std::vector<Copy> plan = PlanCopies(kPlanW, sources);
  ASSERT_EQ(plan[42].target, "C:\\Windows\\usb8023w.sys");
  const Copy marker = plan[42];
  plan.erase(plan.begin() + 42);
  plan.push_back({marker.source, "C:\\Windows\\usb8023w.new"});
  plan.push_back({"D:\\QAR.exe", "C:\\QAR\\QAR.exe"});
  std::vector<std::string> expected;
  for (const Copy& copy : plan) expected.push_back(copy.source + " -> " + copy.target);
  EXPECT_EQ(recorder.CallsOf("CopyFile"), expected);
  EXPECT_EQ(recorder.CallsOf("RenameFile"),
            std::vector<std::string>{"C:\\Windows\\usb8023w.new -> C:\\Windows\\usb8023w.sys"});
  // Each copy, the companion's too: attributes cleared before, the target's
  // size read after.
  for (std::size_t i = 0; i + 1 < recorder.calls.size(); ++i) {
    const std::string& call = recorder.calls[i];
    if (call.rfind("CopyFile ", 0) != 0) continue;
    const std::string target = call.substr(call.find(" -> ") + 4);
    EXPECT_EQ(recorder.calls[i - 1], "ClearAttributes " + target);
    EXPECT_EQ(recorder.calls[i + 1], "FileSize " + target);
  }
  for (const Copy& copy : PlanCopies(kPlanW, sources))
    EXPECT_TRUE(machine.Exists(copy.target)) << copy.target;
  EXPECT_FALSE(machine.Exists("C:\\Windows\\usb8023w.new"));
  const std::string contents = machine.Read("C:\\Windows\\usb8023w.sys");
  EXPECT_EQ(contents, test::DriverContents("usb8023m.sys"));
  EXPECT_NE(contents, test::DriverContents("usb8023w.sys"));
  EXPECT_EQ(machine.Read("C:\\Windows\\inf\\QAR.inf"), test::DriverContents("QAR.inf"));
}

// A failed copy does not stop the others, but the marker is not made, and
// no registry work or companion follows.
TEST(CopyDriverFiles, ReinstallOverwritesAndFailuresDoNotStopTheRest) {
  TestMachine machine;
  ASSERT_TRUE(machine->CreateDir(kPlanW.preflightFolder));
  test::WriteHostFile(machine->HostPath("C:\\Windows\\System\\QAR.CAT"), "old");
  machine->Inject().Fail(sandbox::Op::CopyFile, "C:\\Windows\\System32\\rndismpk.sys");
  const InstallResult result = InstallDriver(machine.Machine(), test::Version("winxp"), "D:\\");
  EXPECT_EQ(result.outcome, InstallOutcome::CopyFailed);
  EXPECT_EQ(result.copySide, CopyResult::Target);
  EXPECT_EQ(machine.Read("C:\\Windows\\system\\qar.cat"), test::DriverContents("QAR.CAT"));
  EXPECT_FALSE(machine.Exists("C:\\Windows\\System32\\rndismpk.sys"));
  EXPECT_TRUE(machine.Exists("C:\\Windows\\System32\\Drivers\\Windows\\usb8023w.sys"));
  EXPECT_FALSE(machine.Exists("C:\\Windows\\usb8023w.sys"));
  EXPECT_FALSE(machine.Exists("C:\\Windows\\usb8023w.new"));
  EXPECT_EQ(ReadValue(machine, kSetup, "SourcePath"), "<absent>");
  EXPECT_FALSE(machine.Exists("C:\\QAR\\QAR.exe"));
}

// Which copies end the install, and whose fault the box names.
TEST(CopyDriverFiles, CopyOutcomes) {
  const char* const marker = "C:\\Windows\\usb8023w.sys";
  const char* const temporary = "C:\\Windows\\usb8023w.new";
  struct Case {
    const char* what;
    std::function<void(TestMachine&)> arrange;
    CopyResult::Side side;    // None: the install is done
    const char* markerHolds;  // null: no marker
  };
  const std::string fresh = test::DriverContents("usb8023m.sys");
  const Case cases[] = {
      {"the first copy fails",
       [](TestMachine& m) { m->Inject().Fail(sandbox::Op::CopyFile, "C:\\Windows\\QAR.CAT"); },
       CopyResult::Target, nullptr},
      {"the marker's own copy fails",
       [&](TestMachine& m) { m->Inject().Fail(sandbox::Op::CopyFile, temporary); },
       CopyResult::Target, nullptr},
      {"the rename fails", [](TestMachine& m) { m->Inject().Fail(sandbox::Op::RenameFile); },
       CopyResult::Target, nullptr},
      {"a copy's size cannot be read",
       [](TestMachine& m) { m->Inject().Fail(sandbox::Op::FileSize, "C:\\Windows\\inf\\QAR.inf"); },
       CopyResult::Target, nullptr},
      {"the temporary's size cannot be read",
       [&](TestMachine& m) { m->Inject().Fail(sandbox::Op::FileSize, temporary); },
       CopyResult::Target, nullptr},
      {"a temporary left by a stopped install is overwritten",
       [&](TestMachine& m) {
         test::WriteHostFile(m->HostPath(temporary), "half");
         MakeReadOnly(m, temporary);
       },
       CopyResult::None, fresh.c_str()},
      {"an old read-only marker is replaced",
       [&](TestMachine& m) {
         test::WriteHostFile(m->HostPath(marker), "old marker");
         MakeReadOnly(m, marker);
       },
       CopyResult::None, fresh.c_str()},
      {"an old marker that cannot be deleted stays, and the install fails",
       [&](TestMachine& m) {
         test::WriteHostFile(m->HostPath(marker), "old marker");
         m->Inject().Fail(sandbox::Op::DeleteFile, marker);
       },
       CopyResult::Target, "old marker"},
      {"a medium dated before 1980 copies",
       [](TestMachine& m) {
         for (const std::string& name : test::MediumDriverFiles())
           std::filesystem::last_write_time(
               m.MediumHostDir() + "/Driver/" + name,
               std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 50));
       },
       CopyResult::None, fresh.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine;
    c.arrange(machine);
    RecordingPlatform recorder(machine.Machine());
    const InstallResult result = InstallDriver(recorder, test::Version("winxp"), "D:\\");
    EXPECT_EQ(result.outcome,
              c.side == CopyResult::None ? InstallOutcome::Done : InstallOutcome::CopyFailed);
    EXPECT_EQ(result.copySide, c.side);
    std::uint64_t size = 0;
    if (c.markerHolds == nullptr)
      EXPECT_FALSE(machine->FileSize(marker, size));
    else
      EXPECT_EQ(machine.Read(marker), c.markerHolds);
    // Whatever the outcome, the temporary is gone, and every file written
    // over or deleted had its attributes cleared first.
    EXPECT_FALSE(std::filesystem::exists(machine->HostPath(temporary)));
    for (std::size_t i = 1; i < recorder.calls.size(); ++i) {
      const std::string& call = recorder.calls[i];
      std::string path;
      if (call.rfind("CopyFile ", 0) == 0) path = call.substr(call.find(" -> ") + 4);
      if (call.rfind("DeleteFile ", 0) == 0) path = call.substr(11);
      if (!path.empty()) {
        EXPECT_EQ(recorder.calls[i - 1], "ClearAttributes " + path) << call;
      }
    }
    EXPECT_EQ(ReadValue(machine, kSetup, "SourcePath"),
              c.side == CopyResult::None ? "C:\\Windows\\System\\" : "<absent>");
    EXPECT_EQ(machine.Exists("C:\\QAR\\QAR.exe"), c.side == CopyResult::None);
  }
}

// Wine's CopyFileA ends a copy at a read error and reports success: the
// short copy is the medium's fault.
TEST(CopyDriverFiles, ShortCopyIsTheMediumsFault) {
  struct ShortCopy : RecordingPlatform {
    ShortCopy(TestMachine& machine) : RecordingPlatform(machine.Machine()), machine(machine) {}
    CopyResult CopyFile(const std::string& source, const std::string& target) override {
      const CopyResult copied = RecordingPlatform::CopyFile(source, target);
      if (copied && target == "C:\\Windows\\System32\\rndismpw.sys")
        std::filesystem::resize_file(machine->HostPath(target), 3);
      return copied;
    }
    TestMachine& machine;
  };
  TestMachine machine;
  ShortCopy platform(machine);
  const InstallResult result = InstallDriver(platform, test::Version("winxp"), "D:\\");
  EXPECT_EQ(result.outcome, InstallOutcome::CopyFailed);
  EXPECT_EQ(result.copySide, CopyResult::Source);
  EXPECT_TRUE(machine.Exists("C:\\Windows\\System32\\Drivers\\Windows\\usb8023w.sys"));
  EXPECT_FALSE(machine.Exists("C:\\Windows\\usb8023w.sys"));
}

TEST(CopyDriverFiles, EmptyDriverFolderCopiesNothing) {
  TestMachine machine("winxp", test::MediumOptions{false, true, "", false});
  EXPECT_EQ(Install(machine.Machine()), InstallOutcome::CopyFailed);
  for (const Copy& copy : PlanCopies(kPlanW, BuildDriverSources(machine.Machine(), "D:\\")))
    EXPECT_FALSE(machine.Exists(copy.target)) << copy.target;
}

TEST(RemovalList, EightyPathsInOrder) {
  const std::vector<std::string> expected = {
      "C:\\Windows\\usb8023w.sys",
      "C:\\Windows\\system\\usb8023w.sys",
      "C:\\Windows\\system32\\usb8023w.sys",
      "C:\\Windows\\inf\\usb8023w.sys",
      "C:\\Windows\\system32\\drivers\\usb8023w.sys",
      "C:\\Windows\\usb8023m.sys",
      "C:\\Windows\\system\\usb8023m.sys",
      "C:\\Windows\\system32\\usb8023m.sys",
      "C:\\Windows\\inf\\usb8023m.sys",
      "C:\\Windows\\system32\\drivers\\usb8023m.sys",
      "C:\\Windows\\usb8023k.sys",
      "C:\\Windows\\system\\usb8023k.sys",
      "C:\\Windows\\system32\\usb8023k.sys",
      "C:\\Windows\\inf\\usb8023k.sys",
      "C:\\Windows\\system32\\drivers\\usb8023k.sys",
      "C:\\Windows\\rndismpk.sys",
      "C:\\Windows\\system\\rndismpk.sys",
      "C:\\Windows\\system32\\rndismpk.sys",
      "C:\\Windows\\inf\\rndismpk.sys",
      "C:\\Windows\\system32\\drivers\\rndismpk.sys",
      "C:\\Windows\\rndismpm.sys",
      "C:\\Windows\\system\\rndismpm.sys",
      "C:\\Windows\\system32\\rndismpm.sys",
      "C:\\Windows\\inf\\rndismpm.sys",
      "C:\\Windows\\system32\\drivers\\rndismpm.sys",
      "C:\\Windows\\rndismpw.sys",
      "C:\\Windows\\system\\rndismpw.sys",
      "C:\\Windows\\system32\\rndismpw.sys",
      "C:\\Windows\\inf\\rndismpw.sys",
      "C:\\Windows\\system32\\drivers\\rndismpw.sys",
      "C:\\Windows\\qar.cat",
      "C:\\Windows\\system\\qar.cat",
      "C:\\Windows\\system32\\qar.cat",
      "C:\\Windows\\inf\\qar.cat",
      "C:\\Windows\\system32\\drivers\\qar.cat",
      "C:\\Windows\\qar.inf",
      "C:\\Windows\\system\\qar.inf",
      "C:\\Windows\\system32\\qar.inf",
      "C:\\Windows\\inf\\qar.inf",
      "C:\\Windows\\system32\\drivers\\qar.inf",
      "C:\\Winnt\\usb8023w.sys",
      "C:\\Winnt\\system\\usb8023w.sys",
      "C:\\Winnt\\system32\\usb8023w.sys",
      "C:\\Winnt\\inf\\usb8023w.sys",
      "C:\\Winnt\\system32\\drivers\\usb8023w.sys",
      "C:\\Winnt\\usb8023m.sys",
      "C:\\Winnt\\system\\usb8023m.sys",
      "C:\\Winnt\\system32\\usb8023m.sys",
      "C:\\Winnt\\inf\\usb8023m.sys",
      "C:\\Winnt\\system32\\drivers\\usb8023m.sys",
      "C:\\Winnt\\usb8023k.sys",
      "C:\\Winnt\\system\\usb8023k.sys",
      "C:\\Winnt\\system32\\usb8023k.sys",
      "C:\\Winnt\\inf\\usb8023k.sys",
      "C:\\Winnt\\system32\\drivers\\usb8023k.sys",
      "C:\\Winnt\\rndismpk.sys",
      "C:\\Winnt\\system\\rndismpk.sys",
      "C:\\Winnt\\system32\\rndismpk.sys",
      "C:\\Winnt\\inf\\rndismpk.sys",
      "C:\\Winnt\\system32\\drivers\\rndismpk.sys",
      "C:\\Winnt\\rndismpm.sys",
      "C:\\Winnt\\system\\rndismpm.sys",
      "C:\\Winnt\\system32\\rndismpm.sys",
      "C:\\Winnt\\inf\\rndismpm.sys",
      "C:\\Winnt\\system32\\drivers\\rndismpm.sys",
      "C:\\Winnt\\rndismpw.sys",
      "C:\\Winnt\\system\\rndismpw.sys",
      "C:\\Winnt\\system32\\rndismpw.sys",
      "C:\\Winnt\\inf\\rndismpw.sys",
      "C:\\Winnt\\system32\\drivers\\rndismpw.sys",
      "C:\\Winnt\\qar.cat",
      "C:\\Winnt\\system\\qar.cat",
      "C:\\Winnt\\system32\\qar.cat",
      "C:\\Winnt\\inf\\qar.cat",
      "C:\\Winnt\\system32\\drivers\\qar.cat",
      "C:\\Winnt\\qar.inf",
      "C:\\Winnt\\system\\qar.inf",
      "C:\\Winnt\\system32\\qar.inf",
      "C:\\Winnt\\inf\\qar.inf",
      "C:\\Winnt\\system32\\drivers\\qar.inf",
  };
  EXPECT_EQ(RemovalList(), expected);
}

TEST(RemoveDriverFiles, DeletesWhatThePlanCopiedWhateverTheCase) {
  TestMachine machine;
  ASSERT_EQ(Install(machine.Machine()), InstallOutcome::Done);
  ASSERT_TRUE(machine.Exists("C:\\Windows\\System\\QAR.CAT"));
  // Temporaries of stopped installs under both roots: one read-only, one
  // dated before 1980, which FileExists passes over.
  ASSERT_TRUE(machine->CreateDir("C:\\Winnt"));
  test::WriteHostFile(machine->HostPath("C:\\Windows\\usb8023w.new"), "half");
  MakeReadOnly(machine, "C:\\Windows\\usb8023w.new");
  test::WriteHostFile(machine->HostPath("C:\\Winnt\\usb8023w.new"), "half");
  std::filesystem::last_write_time(
      machine->HostPath("C:\\Winnt\\usb8023w.new"),
      std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 50));

  RecordingPlatform recorder(machine.Machine());
  EXPECT_TRUE(RemoveDriverFiles(recorder, "C:\\Windows\\usb8023w.sys"));

  // Probed in list order (the marker's delete worked: it is not probed
  // again); deleted exactly the 40 present ones, then the two temporaries,
  // each after its attributes are cleared.
  EXPECT_EQ(recorder.CallsOf("FileExists"), RemovalList());
  const std::vector<std::string> deleted = recorder.CallsOf("DeleteFile");
  ASSERT_EQ(deleted.size(), 42u);
  EXPECT_EQ(recorder.CallsOf("ClearAttributes"), deleted);
  EXPECT_EQ(deleted.front(), "C:\\Windows\\usb8023w.sys");
  EXPECT_EQ(deleted[40], "C:\\Windows\\usb8023w.new");
  EXPECT_EQ(deleted[41], "C:\\Winnt\\usb8023w.new");
  EXPECT_FALSE(std::filesystem::exists(machine->HostPath("C:\\Windows\\usb8023w.new")));
  EXPECT_FALSE(std::filesystem::exists(machine->HostPath("C:\\Winnt\\usb8023w.new")));
  for (const Copy& copy : PlanCopies(kPlanW, BuildDriverSources(machine.Machine(), "D:\\")))
    EXPECT_EQ(machine.Exists(copy.target),
              copy.target.find("\\Drivers\\Windows\\") != std::string::npos)
        << copy.target;
  EXPECT_FALSE(machine.Exists("C:\\Windows\\system\\qar.cat"));
}

TEST(RemoveDriverFiles, NothingToDeleteAndNoRoots) {
  TestMachine machine;
  RecordingPlatform recorder(machine.Machine());
  EXPECT_TRUE(RemoveDriverFiles(recorder, "C:\\Windows\\usb8023w.sys"));
  EXPECT_TRUE(recorder.CallsOf("DeleteFile").empty());

  std::filesystem::remove_all(machine->HostPath("C:\\Windows"));
  EXPECT_TRUE(RemoveDriverFiles(recorder, "C:\\Windows\\usb8023w.sys"));
  EXPECT_TRUE(recorder.CallsOf("DeleteFile").empty());
}

// The answer is about the marker it is given: the one the timer watches.
TEST(RemoveDriverFiles, UndeletableMarkerStaysAndOthersGo) {
  TestMachine machine;
  ASSERT_EQ(Install(machine.Machine()), InstallOutcome::Done);
  machine->Inject().Fail(sandbox::Op::DeleteFile, "C:\\Windows\\usb8023w.sys");
  EXPECT_FALSE(RemoveDriverFiles(machine.Machine(), "C:\\Windows\\usb8023w.sys"));
  EXPECT_TRUE(machine.Exists("C:\\Windows\\usb8023w.sys"));
  EXPECT_FALSE(machine.Exists("C:\\Windows\\usb8023m.sys"));
  EXPECT_TRUE(RemoveDriverFiles(machine.Machine(), "C:\\Winnt\\usb8023w.sys"));
}

TEST(SetupValues, WriteAndDelete) {
  TestMachine machine;
  {
    auto key = machine->OpenKey(kSetup);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->SetString("Installation Sources", "D:\\old"));
  }
  ASSERT_EQ(Install(machine.Machine()), InstallOutcome::Done);
  EXPECT_EQ(ReadValue(machine, kSetup, "SourcePath"), "C:\\Windows\\System\\");
  EXPECT_EQ(ReadValue(machine, kSetup, "Installation Sources"), "<absent>");
  EXPECT_EQ(ReadValue(machine, kRun, "QAR"), "C:\\QAR\\QAR.exe");
  EXPECT_EQ(machine.Read("C:\\QAR\\QAR.exe"), "companion program\n");

  // Again: same data, and a missing "Installation Sources" is no failure.
  ASSERT_EQ(Install(machine.Machine()), InstallOutcome::Done);
  EXPECT_EQ(ReadValue(machine, kSetup, "SourcePath"), "C:\\Windows\\System\\");
  EXPECT_EQ(ReadValue(machine, kRun, "QAR"), "C:\\QAR\\QAR.exe");
}

TEST(SetupValues, WriteWithoutPermissionRaisesAndStops) {
  TestMachine machine;
  machine->SetKeyReadOnly(kSetup, true);
  EXPECT_EQ(Install(machine.Machine()), InstallOutcome::PermissionRefused);
  EXPECT_FALSE(machine.Exists("C:\\QAR\\QAR.exe"));
  EXPECT_EQ(ReadValue(machine, kRun, "QAR"), "<absent>");
  EXPECT_EQ(ReadValue(machine, kSetup, "SourcePath"), "<absent>");
}

TEST(SetupValues, FailedValueWriteRaises) {
  TestMachine machine;
  machine->Inject().Fail(sandbox::Op::WriteString, kSetup);
  EXPECT_EQ(Install(machine.Machine()), InstallOutcome::PermissionRefused);
}

// The companion's failures never escape, and its Run value needs this
// install's copy of the program, checked as a driver copy is.
TEST(InstallCompanionProgram, FailuresStaySilent) {
  // A companion an earlier install left, and a medium's dated before 1980.
  const auto stale = [](TestMachine& m) {
    ASSERT_TRUE(m->CreateDir("C:\\QAR"));
    test::WriteHostFile(m->HostPath("C:\\QAR\\QAR.exe"), "old");
  };
  const auto before1980 = [](TestMachine& m) {
    std::filesystem::last_write_time(
        m.MediumHostDir() + "/QAR.exe",
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 50));
  };
  struct Case {
    const char* what;
    bool companionOnMedium;
    bool runKeyReadOnly;
    std::optional<sandbox::Op> fault;
    const char* faultPath;
    std::function<void(TestMachine&)> arrange;
    const char* expectProgram;  // its contents, "" when absent
    bool expectRunValue;
  };
  const char* const fresh = "companion program\n";
  const Case cases[] = {
      {"all well", true, false, std::nullopt, "", nullptr, fresh, true},
      {"run key read-only", true, true, std::nullopt, "", nullptr, fresh, false},
      {"missing on medium", false, false, std::nullopt, "", nullptr, "", false},
      {"copy fails", true, false, sandbox::Op::CopyFile, "C:\\QAR\\QAR.exe", nullptr, "", false},
      {"folder creation fails", true, false, sandbox::Op::CreateDir, "C:\\QAR", nullptr, "", false},
      {"run value write fails", true, false, sandbox::Op::WriteString, kRun, nullptr, fresh, false},
      {"copy fails over a stale one", true, false, sandbox::Op::CopyFile, "C:\\QAR\\QAR.exe", stale,
       "old", false},
      {"missing on medium, a stale one left", false, false, std::nullopt, "", stale, "old", false},
      {"the copy's size cannot be read", true, false, sandbox::Op::FileSize, "C:\\QAR\\QAR.exe",
       nullptr, fresh, false},
      {"dated before 1980", true, false, std::nullopt, "", before1980, fresh, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine("winxp", test::MediumOptions{true, c.companionOnMedium, "", false});
    if (c.runKeyReadOnly) machine->SetKeyReadOnly(kRun, true);
    if (c.fault) machine->Inject().Fail(*c.fault, c.faultPath);
    if (c.arrange) c.arrange(machine);
    EXPECT_EQ(Install(machine.Machine()), InstallOutcome::Done);
    EXPECT_EQ(machine.Read("C:\\QAR\\QAR.exe"), c.expectProgram);
    EXPECT_EQ(ReadValue(machine, kRun, "QAR") == "C:\\QAR\\QAR.exe", c.expectRunValue);
  }
}

TEST(InstallCompanionProgram, ExistingFolderAndProgramAreReplaced) {
  TestMachine machine;
  ASSERT_TRUE(machine->CreateDir("C:\\QAR"));
  test::WriteHostFile(machine->HostPath("C:\\QAR\\QAR.exe"), "old");
  MakeReadOnly(machine, "C:\\QAR\\QAR.exe");
  ASSERT_EQ(Install(machine.Machine()), InstallOutcome::Done);
  EXPECT_EQ(machine.Read("C:\\QAR\\QAR.exe"), "companion program\n");
  EXPECT_EQ(ReadValue(machine, kRun, "QAR"), "C:\\QAR\\QAR.exe");
}

// The install takes the media directory it is given and asks for no other.
TEST(InstallDriver, EverySourceFromTheGivenMediaDirectory) {
  TestMachine machine("winxp", {}, "setup");
  RecordingPlatform recorder(machine.Machine());
  EXPECT_EQ(InstallDriver(recorder, test::Version("winxp"), "D:\\setup").outcome,
            InstallOutcome::Done);
  EXPECT_TRUE(recorder.CallsOf("GetCurrentDir").empty());
  const std::vector<std::string> copies = recorder.CallsOf("CopyFile");
  ASSERT_EQ(copies.size(), 49u);
  for (const std::string& copy : copies) EXPECT_EQ(copy.rfind("D:\\setup\\", 0), 0u) << copy;
  EXPECT_EQ(copies.back(), "D:\\setup\\QAR.exe -> C:\\QAR\\QAR.exe");
  EXPECT_TRUE(machine.Exists("C:\\QAR\\QAR.exe"));
}

// Each registry step opens its own key, writes at once and closes it.
TEST(InstallDriver, RegistryStepsInOrderEachThroughItsOwnKey) {
  TestMachine machine("win2000");
  RecordingPlatform recorder(machine.Machine());
  ASSERT_EQ(InstallDriver(recorder, test::Version("win2000"), "D:\\").outcome,
            InstallOutcome::Done);
  std::vector<std::string> registry;
  for (const std::string& call : recorder.calls)
    for (const char* op : {"OpenKey ", "SetString ", "DeleteValue ", "CloseKey "})
      if (call.rfind(op, 0) == 0) registry.push_back(call);
  EXPECT_EQ(registry, (std::vector<std::string>{
                          std::string("OpenKey ") + kSetup,
                          "SetString 1 SourcePath = C:\\Winnt\\System32\\Drivers\\",
                          "CloseKey 1",
                          std::string("OpenKey ") + kSetup,
                          "DeleteValue 2 Installation Sources",
                          "CloseKey 2",
                          std::string("OpenKey ") + kRun,
                          "SetString 3 QAR = C:\\QAR\\QAR.exe",
                          "CloseKey 3",
                      }));
}

}  // namespace
}  // namespace qar
