// qar-wizard's machines: an existing machine keeps its settings; the demo
// machine follows the program's demo medium.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TestMachine.h"
#include "app/fltk/SimulatorOptions.h"

namespace qar::fltk {
namespace {

namespace fs = std::filesystem;
using sandbox::SandboxMachine;
using test::ReadHostFile;
using test::TempDir;

// The demo machine's folder comes from the environment.
class DataHome {
 public:
  explicit DataHome(const std::string& folder) {
    const char* old = std::getenv("XDG_DATA_HOME");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
  }
  ~DataHome() {
    had_ ? void(setenv("XDG_DATA_HOME", old_.c_str(), 1)) : void(unsetenv("XDG_DATA_HOME"));
  }

 private:
  bool had_;
  std::string old_;
};

void MakeMedium(const std::string& folder) {
  fs::create_directories(folder + "/Driver");
  test::WriteHostFile(folder + "/QAR.exe", "companion program\n");
}

TEST(SimulatorMachine, KeepsAMissingDriveD) {
  TempDir temp;
  const std::string medium = temp / "medium", demo = temp / "demo";
  fs::create_directories(medium);
  fs::create_directories(demo);
  {
    auto machine = SandboxMachine::Create(temp / "m", "win98se");
    machine->MapDrive('D', medium, true);
    machine->SetCurrentDirectory("D:\\");
  }
  fs::remove(medium);  // the disc taken out
  const std::string before = ReadHostFile(temp / "m/machine.conf");
  SimulatorOptions options;
  options.machine = temp / "m";
  auto machine = OpenSimulatorMachine(options, demo);
  EXPECT_EQ(ReadHostFile(temp / "m/machine.conf"), before);
  EXPECT_FALSE(machine->DirectoryExists("D:\\"));
  EXPECT_EQ(machine->GetCurrentDrive(), 3);

  // A machine made here gets the demo medium; the code page is set before
  // the current directory named in it ("\x95\x5c" ends in a backslash's byte).
  fs::create_directories(demo + "/\x95\x5c");
  options.machine = temp / "new";
  options.codePage = "932";
  options.cwd = "D:\\\x95\x5c";
  machine = OpenSimulatorMachine(options, demo);
  EXPECT_EQ(machine->HostPath("D:\\"), demo);
  std::string dir;
  EXPECT_TRUE(machine->GetCurrentDir(dir) && dir == "\x95\x5c") << dir;
}

// The demo machine's D: was a demo medium that is gone (a build folder
// removed): it becomes this program's; any other missing D: stays missing.
TEST(SimulatorMachine, DemoMachineFollowsTheDemoMedium) {
  for (const char* gone : {"old-build/demo-medium", "my-disc"}) {
    SCOPED_TRACE(gone);
    TempDir temp;
    const std::string old = temp / gone, demo = temp / "build/demo-medium";
    MakeMedium(old);
    MakeMedium(demo);
    DataHome home(temp.Path());
    SimulatorOptions options;
    OpenSimulatorMachine(options, old);
    fs::remove_all(old);
    std::string note;
    auto machine = OpenSimulatorMachine(options, demo, &note);
    const bool follows = std::string(gone) != "my-disc";
    EXPECT_EQ(machine->DirectoryExists("D:\\Driver"), follows);
    EXPECT_EQ(note.empty(), !follows) << note;
    if (follows) {
      EXPECT_EQ(machine->HostPath("D:\\"), fs::canonical(demo).string());
    }
  }
}

TEST(SimulatorMachine, FindsTheDemoMediumBesideTheProgram) {
  TempDir temp;
  const std::string built = temp / "built/demo-medium";
  MakeMedium(built);
  // Installed, in a build tree, and neither.
  MakeMedium(temp / "usr/share/qar-wizard/demo-medium");
  fs::create_directories(temp / "usr/bin");
  EXPECT_EQ(FindDemoMedium(temp / "usr/bin", built), temp / "usr/share/qar-wizard/demo-medium");
  MakeMedium(temp / "moved/demo-medium");
  fs::create_directories(temp / "moved/app/fltk");
  EXPECT_EQ(FindDemoMedium(temp / "moved/app/fltk", built), temp / "moved/demo-medium");
  fs::create_directories(temp / "elsewhere/bin");
  EXPECT_EQ(FindDemoMedium(temp / "elsewhere/bin", built), built);
  EXPECT_EQ(FindDemoMedium("", built), built);
}

}  // namespace
}  // namespace qar::fltk
