// Scenario tests: the wizard driven as a user would, over a sandbox machine,
// through a scripted host whose boxes can run ticks while they are open.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <map>

#include "TestMachine.h"
#include "app/Application.h"
#include "app/ErrorBox.h"
#include "deploy/Deploy.h"
#include "deploy/Plans.h"
#include "platform/sandbox/Versions.h"

#include <tuple>

namespace qar {
namespace {

using test::TestMachine;

const char* const kSetup = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup";
const char* const kRun = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

const std::string kAtStart =
    "imgInstall lblAcrobat lblInstall lblqar lblpdf lblClose lblUtility lblmoreinfo lblGateway";
const std::string kMainNotInstalled =
    "imgInstall lblAcrobat lblInstall lblqar lblpdf lblClose lblUtility lblGateway";
const std::string kMainInstalled =
    "imguninstall lblAcrobat lblInstall lblqar lblpdf lblClose lblUtility lblmoreinfo lblGateway";
const std::string kConnectCable = "imgUSB lblqar lblClose";
const std::string kPartner = "imgselvo lblqar lblClose lblmoreinfo";

class ScriptedHost : public FormHost {
 public:
  struct Box {
    std::string text, caption;
    BoxIcon icon;
  };
  std::vector<Box> boxes;
  std::function<void()> whileBoxOpen;  // runs before the box returns
  bool timerRunning = false;
  bool timersExhausted = false;
  int timerCalls = 0;
  bool closed = false;
  int invalidations = 0;

  void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
    boxes.push_back({text, caption, icon});
    if (whileBoxOpen) whileBoxOpen();
  }
  void SetTimerEnabled(bool enabled) override {
    ++timerCalls;
    if (enabled && timersExhausted) throw Error(kNoTimerLeft);
    timerRunning = enabled;
  }
  void CloseWindow() override { closed = true; }
  void Invalidate() override { ++invalidations; }
};

// Records the calls; `foreign` makes the marker probe and the shell raise
// what is not one of our errors.
struct Recorder : test::RecordingPlatform {
  using RecordingPlatform::RecordingPlatform;
  bool foreign = false;
  bool FileExists(const std::string& path) override {
    if (foreign) throw std::bad_alloc();
    return RecordingPlatform::FileExists(path);
  }
  void ShellOpen(const std::string& target) override {
    if (foreign) throw std::bad_alloc();
    RecordingPlatform::ShellOpen(target);
  }
};

class Wizard {
 public:
  explicit Wizard(const std::string& os = "winxp", test::MediumOptions medium = {},
                  const std::string& subfolder = "", unsigned codePage = 1252)
      : machine(os, medium, subfolder, codePage), recorder(machine.Machine()), app(recorder, host) {
    app.CreateForm();
  }

  TfrmMain& Form() { return app.Form(); }

  // Press and release in the middle of the named control, as a mouse does.
  void Click(const std::string& name) {
    const Rect r = Form().FindControl(name)->Bounds();
    ClickAt(r.left + r.width / 2, r.top + r.height / 2);
  }
  void ClickAt(int x, int y) {
    app.MouseDown(x, y);
    app.MouseUp(x, y);
  }
  void Tick() { app.Tick(); }
  // The platform calls one tick makes.
  std::vector<std::string> TickCalls() {
    recorder.calls.clear();
    app.Tick();
    return recorder.calls;
  }

  // The visible controls in stacking order.
  std::string Screen() {
    std::string seen;
    for (const Control& control : Form().Controls())
      if (control.Visible()) seen += (seen.empty() ? "" : " ") + std::string(control.Name());
    return seen;
  }
  std::string Seen() {
    const Control* top = Form().TopPicture();
    return top ? top->Name() : "";
  }

  void PutMarker(const std::string& path = "C:\\Windows\\usb8023w.sys") {
    test::WriteHostFile(machine->HostPath(path), "marker");
  }
  std::vector<std::string> ShellTargets() {
    std::vector<std::string> targets;
    for (const auto& record : machine->ReadLog())
      if (!record.empty() && record[0] == "ShellOpen") targets.push_back(record.back());
    return targets;
  }
  std::string Value(const char* key, const char* name) {
    std::string data;
    return machine->ReadString(key, name, data) ? data : "<absent>";
  }

  TestMachine machine;
  Recorder recorder;
  ScriptedHost host;
  Application app;
};

// Every control in stacking order with its rectangle; a hotspot takes a
// click one pixel inside each edge and none one pixel outside.
TEST(Layout, ControlsRectanglesAndEdges) {
  using K = ControlKind;
  struct Case {
    const char* name;
    ControlKind kind;
    Rect bounds;
  };
  const Case cases[] = {
      {"imgUSB", K::Picture, {-1, -2, 700, 502}},
      {"imguninstall", K::Picture, {-1, -2, 700, 502}},
      {"imgselvo", K::Picture, {-1, -2, 700, 502}},
      {"imgInstall", K::Picture, {-1, -2, 700, 502}},
      {"lblAcrobat", K::Hotspot, {386, 284, 306, 21}},
      {"lblOS", K::Label, {168, 12, 289, 20}},
      {"lblInstall", K::Hotspot, {386, 195, 190, 23}},
      {"lblqar", K::Hotspot, {554, 471, 55, 22}},
      {"lblpdf", K::Hotspot, {385, 241, 137, 21}},
      {"lblcd", K::Label, {144, 136, 313, 25}},
      {"lblClose", K::Hotspot, {636, 471, 53, 21}},
      {"lblUtility", K::Hotspot, {386, 327, 218, 21}},
      {"lblmoreinfo", K::Hotspot, {489, 424, 187, 31}},
      {"lblGateway", K::Hotspot, {385, 368, 306, 21}},
  };
  Wizard wizard;  // before the first tick every hotspot is visible
  const std::vector<Control>& controls = wizard.Form().Controls();
  ASSERT_EQ(controls.size(), std::size(cases));
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const Case& c = cases[i];
    const Control& control = controls[i];
    SCOPED_TRACE(c.name);
    EXPECT_STREQ(control.Name(), c.name);
    EXPECT_EQ(control.Kind(), c.kind);
    const Rect& r = control.Bounds();
    EXPECT_EQ(std::tie(r.left, r.top, r.width, r.height),
              std::tie(c.bounds.left, c.bounds.top, c.bounds.width, c.bounds.height));
    if (c.kind != K::Hotspot) continue;
    const Rect& b = c.bounds;
    const int midX = b.left + b.width / 2, midY = b.top + b.height / 2;
    const int right = b.left + b.width - 1, bottom = b.top + b.height - 1;
    for (auto [x, y] : {std::pair{b.left, midY}, {right, midY}, {midX, b.top}, {midX, bottom}})
      EXPECT_EQ(wizard.Form().HotspotAt(x, y), &control) << "inside at " << x << "," << y;
    for (auto [x, y] :
         {std::pair{b.left - 1, midY}, {right + 1, midY}, {midX, b.top - 1}, {midX, bottom + 1}})
      EXPECT_EQ(wizard.Form().HotspotAt(x, y), nullptr) << "outside at " << x << "," << y;
  }
}

TEST(Startup, LayoutAndFirstTick) {
  Wizard wizard;
  EXPECT_EQ(wizard.Screen(), kAtStart);
  EXPECT_EQ(wizard.Form()[ControlId::lblOS].Caption(), "Microsoft Windows XP");
  EXPECT_EQ(wizard.Form()[ControlId::lblcd].Caption(), "Current Path = ");
  EXPECT_TRUE(wizard.host.timerRunning);
  EXPECT_EQ(wizard.Seen(), "imgInstall");
  wizard.Tick();
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
}

TEST(Startup, InstalledMachineShowsUninstallArtworkAfterFirstTick) {
  Wizard wizard;
  wizard.PutMarker();
  wizard.Tick();
  EXPECT_EQ(wizard.Screen(), kMainInstalled);
  EXPECT_EQ(wizard.Seen(), "imguninstall");
}

TEST(Startup, NoTimerLeftIsShownAndExitCodeIsZero) {
  TestMachine machine;
  ScriptedHost host;
  host.timersExhausted = true;
  Application app(machine.Machine(), host);
  EXPECT_EQ(RunGuarded(host, [&] { app.CreateForm(); }), 0);
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].text, "Not enough timers available.");
  EXPECT_EQ(host.boxes[0].caption, "QAR Tarnlink Wireless Cable Modem Wizard");
  EXPECT_EQ(host.boxes[0].icon, BoxIcon::Error);

  ScriptedHost other;
  EXPECT_EQ(RunGuarded(other, [] { throw std::runtime_error("not ours"); }), 0);
  ASSERT_EQ(other.boxes.size(), 1u);
  EXPECT_EQ(other.boxes[0].text, "");
}

TEST(Polling, MainScreenFollowsTheMarker) {
  Wizard wizard;
  wizard.Tick();
  wizard.PutMarker();
  wizard.Tick();
  EXPECT_EQ(wizard.Screen(), kMainInstalled);
  std::filesystem::remove(wizard.machine->HostPath("C:\\Windows\\usb8023w.sys"));
  wizard.Tick();
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
}

TEST(Polling, RepaintsOnlyOnRealChanges) {
  Wizard wizard;
  wizard.Tick();
  const int after = wizard.host.invalidations;
  for (int i = 0; i < 100; ++i) wizard.Tick();
  EXPECT_EQ(wizard.host.invalidations, after);
  wizard.PutMarker();
  wizard.Tick();
  EXPECT_GT(wizard.host.invalidations, after);
}

TEST(Polling, MarkerLocationDependsOnTheVersion) {
  struct Case {
    const char* os;
    const char* marker;
    bool installed;
  };
  const Case cases[] = {
      {"win2000", "C:\\Windows\\usb8023w.sys", false}, {"win2000", "C:\\Winnt\\usb8023w.sys", true},
      {"winxp", "C:\\Winnt\\usb8023w.sys", false},     {"winxp", "C:\\WINDOWS\\USB8023W.SYS", true},
      {"win2003", "C:\\Windows\\usb8023w.sys", true},  {"win31", "C:\\Windows\\usb8023w.sys", true},
  };
  for (const Case& c : cases) {
    Wizard wizard(c.os);
    std::filesystem::create_directories(wizard.machine.Machine().HostPath("C:\\Winnt"));
    wizard.PutMarker(c.marker);
    wizard.Tick();
    EXPECT_EQ(wizard.Screen(), c.installed ? kMainInstalled : kMainNotInstalled)
        << c.os << c.marker;
  }
  // Every known version, with the marker under one root only.
  for (const sandbox::NamedVersion& known : sandbox::KnownVersions()) {
    for (const std::string root : {"C:\\Windows", "C:\\Winnt"}) {
      Wizard wizard(known.name);
      std::filesystem::create_directories(wizard.machine->HostPath(root));
      wizard.PutMarker(root + "\\usb8023w.sys");
      wizard.Tick();
      const bool winnt = wizard.Form()[ControlId::lblOS].Caption() == "Microsoft Windows 2000";
      EXPECT_EQ(wizard.Screen(),
                winnt == (root == "C:\\Winnt") ? kMainInstalled : kMainNotInstalled)
          << known.name << " " << root;
    }
  }
  Wizard failing;
  failing.machine->SetVersionQueryFails(true);  // the empty name
  failing.PutMarker();
  failing.Tick();
  EXPECT_EQ(failing.Screen(), kMainInstalled);
}

TEST(Polling, FolderNamedLikeTheMarkerDoesNotCount) {
  Wizard wizard;
  std::filesystem::create_directories(wizard.machine->HostPath("C:\\Windows\\usb8023w.sys"));
  wizard.Tick();
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
}

TEST(Navigation, PartnerScreenStopsTheTimer) {
  for (bool installed : {false, true}) {
    Wizard wizard;
    if (installed) wizard.PutMarker();
    wizard.Tick();
    wizard.Click("lblUtility");
    EXPECT_EQ(wizard.Seen(), "imgselvo");
    // imguninstall stays set beneath the partner picture.
    EXPECT_EQ(wizard.Screen(), installed ? "imguninstall " + kPartner : kPartner);
    EXPECT_FALSE(wizard.Form().Timer1Enabled());
    EXPECT_FALSE(wizard.host.timerRunning);
    wizard.PutMarker();
    wizard.Tick();
    EXPECT_EQ(wizard.Seen(), "imgselvo");
  }
}

TEST(Navigation, HomeFromPartnerAndConnectCable) {
  Wizard wizard;
  wizard.Tick();
  wizard.Click("lblUtility");
  wizard.Click("lblqar");
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
  EXPECT_TRUE(wizard.host.timerRunning);

  wizard.Click("lblInstall");
  EXPECT_EQ(wizard.Screen(), kConnectCable);
  wizard.Click("lblqar");
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
  EXPECT_TRUE(wizard.host.timerRunning);
}

TEST(Navigation, TransitionTable) {
  // Each tick asks for the version, then, off the connect-cable screen,
  // probes the marker.
  const std::vector<std::string> kMainTick = {"QueryVersion ",
                                              "FileExists C:\\Windows\\usb8023w.sys"};
  const std::vector<std::string> kCableTick = {"QueryVersion "};

  // connect-cable: ticks change nothing; home brings the main screen back.
  Wizard wizard;
  EXPECT_EQ(wizard.TickCalls(), kMainTick);
  wizard.Click("lblInstall");
  EXPECT_EQ(wizard.Screen(), kConnectCable);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(wizard.TickCalls(), kCableTick);
  EXPECT_EQ(wizard.Screen(), kConnectCable);
  wizard.Click("lblInstall");  // hidden here: nothing happens
  EXPECT_EQ(wizard.Screen(), kConnectCable);
  wizard.Click("lblqar");
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
  EXPECT_EQ(wizard.TickCalls(), kMainTick);
  EXPECT_EQ(wizard.Screen(), kMainInstalled);

  // partner: the timer is off; a tick that came anyway probes but changes
  // nothing.
  wizard.Click("lblUtility");
  EXPECT_TRUE(wizard.TickCalls().empty());
  wizard.recorder.calls.clear();
  wizard.Form().Timer1Timer();
  EXPECT_EQ(wizard.recorder.calls, kMainTick);
  EXPECT_EQ(wizard.Seen(), "imgselvo");
  wizard.Click("lblqar");
  wizard.Tick();

  // installed main: home shows the not-installed artwork until the next tick;
  // the install hotspot then installs, whatever lies beneath.
  wizard.Click("lblqar");
  EXPECT_EQ(wizard.Seen(), "imgInstall");
  EXPECT_FALSE(wizard.Form()[ControlId::lblmoreinfo].Visible());
  wizard.Click("lblInstall");
  EXPECT_EQ(wizard.Screen(), "imgUSB imguninstall lblqar lblClose");
  wizard.Click("lblqar");
  wizard.Tick();
  EXPECT_EQ(wizard.Screen(), kMainInstalled);

  // installed main: the same hotspot removes; the next tick notices.
  wizard.Click("lblInstall");
  EXPECT_EQ(wizard.Screen(), kMainInstalled);
  EXPECT_FALSE(wizard.machine.Exists("C:\\Windows\\usb8023w.sys"));
  wizard.Tick();
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);

  // not-installed main: home changes nothing and leaves the timer alone.
  const int timerCalls = wizard.host.timerCalls;
  wizard.Click("lblqar");
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
  EXPECT_EQ(wizard.host.timerCalls, timerCalls);

  wizard.Click("lblClose");
  EXPECT_TRUE(wizard.host.closed);
}

TEST(Navigation, CloseFromEveryScreen) {
  for (const char* via : {"", "lblUtility", "lblInstall"}) {
    Wizard wizard;
    wizard.Tick();
    if (*via) wizard.Click(via);
    wizard.Click("lblClose");
    EXPECT_TRUE(wizard.host.closed) << via;
  }
}

TEST(Navigation, ClicksOutsideVisibleHotspotsDoNothing) {
  Wizard wizard;
  wizard.Tick();
  const std::string before = wizard.Screen();
  for (auto [x, y] : {std::pair{10, 10}, {385, 195}, {576, 200}, {500, 430}, {689, 494}, {-1, -2}})
    wizard.ClickAt(x, y);
  EXPECT_EQ(wizard.Screen(), before);
  EXPECT_TRUE(wizard.host.boxes.empty());
  EXPECT_TRUE(wizard.ShellTargets().empty());
  EXPECT_FALSE(wizard.host.closed);
}

TEST(Navigation, PressAndReleaseMustHitTheSameHotspot) {
  Wizard wizard;
  wizard.Tick();
  wizard.app.MouseDown(400, 330);  // lblUtility
  wizard.app.MouseUp(400, 200);    // lblInstall
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
  wizard.app.MouseDown(400, 330);
  wizard.app.MouseUp(410, 335);
  EXPECT_EQ(wizard.Seen(), "imgselvo");
}

TEST(Navigation, HandCursorOnlyOverVisibleHotspots) {
  Wizard wizard;
  wizard.Tick();
  EXPECT_TRUE(wizard.app.HandCursorAt(400, 200));
  EXPECT_FALSE(wizard.app.HandCursorAt(500, 430));  // lblmoreinfo hidden
  EXPECT_FALSE(wizard.app.HandCursorAt(100, 100));
  wizard.PutMarker();
  wizard.Tick();
  EXPECT_TRUE(wizard.app.HandCursorAt(500, 430));
}

TEST(Install, VersionGate) {
  struct Case {
    const char* os;
    const char* box;   // refusal text, or null
    const char* root;  // where the marker lands, or null when nothing is written
  };
  const Case cases[] = {
      {"win95", "This operating system does not support the modem driver", nullptr},
      {"win95osr2", "This operating system does not support the modem driver", nullptr},
      {"win98", nullptr, "C:\\Windows"},
      {"win98se", nullptr, "C:\\Windows"},
      {"winme", nullptr, "C:\\Windows"},
      {"nt351", "This operating system does not support the cable modem driver", nullptr},
      {"nt40", "This operating system does not support the cable modem driver", nullptr},
      {"win2000", nullptr, "C:\\Winnt"},
      {"winxp", nullptr, "C:\\Windows"},
      {"win31", nullptr, nullptr},
      {"win2003", nullptr, nullptr},
      {"vista", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    Wizard wizard(c.os);
    wizard.Click("lblInstall");
    EXPECT_EQ(wizard.Screen(), kConnectCable) << c.os;
    if (c.box != nullptr) {
      ASSERT_EQ(wizard.host.boxes.size(), 1u) << c.os;
      EXPECT_EQ(wizard.host.boxes[0].text, c.box);
      EXPECT_EQ(wizard.host.boxes[0].caption, "Driver not available");
      EXPECT_EQ(wizard.host.boxes[0].icon, BoxIcon::None);
    } else {
      EXPECT_TRUE(wizard.host.boxes.empty()) << c.os;
    }
    for (const char* root : {"C:\\Windows", "C:\\Winnt"}) {
      const bool expected = c.root != nullptr && std::string(c.root) == root;
      EXPECT_EQ(wizard.machine.Exists(std::string(root) + "\\usb8023w.sys"), expected)
          << c.os << root;
      EXPECT_EQ(wizard.machine.Exists(std::string(root) + "\\System32\\Drivers\\Windows\\QAR.inf"),
                expected);
    }
    const std::string source = c.root == nullptr ? "<absent>"
                               : std::string(c.root) == "C:\\Winnt"
                                   ? "C:\\Winnt\\System32\\Drivers\\"
                                   : "C:\\Windows\\System\\";
    EXPECT_EQ(wizard.Value(kSetup, "SourcePath"), source) << c.os;
    EXPECT_EQ(wizard.Value(kRun, "QAR"), c.root ? "C:\\QAR\\QAR.exe" : "<absent>") << c.os;
  }
}

TEST(Install, EmptyVersionNameDeploysNothing) {
  Wizard wizard;
  wizard.machine->SetVersionQueryFails(true);
  wizard.Click("lblInstall");
  EXPECT_EQ(wizard.Screen(), kConnectCable);
  EXPECT_TRUE(wizard.host.boxes.empty());
  EXPECT_FALSE(wizard.machine.Exists("C:\\Windows\\usb8023w.sys"));
  EXPECT_EQ(wizard.Value(kSetup, "SourcePath"), "<absent>");
}

TEST(Install, RecordsTheMediaDirectoryAndReinstallsOverTheFirst) {
  Wizard wizard("winxp", {}, "setup");
  wizard.Tick();
  wizard.Click("lblInstall");
  EXPECT_EQ(wizard.Form()[ControlId::lblcd].Caption(), "D:\\setup");
  EXPECT_FALSE(wizard.Form()[ControlId::lblcd].Visible());
  EXPECT_EQ(wizard.machine.Read("C:\\Windows\\System32\\drivers\\usb8023w.sys"),
            test::DriverContents("usb8023m.sys"));
  // Removal leaves the preflight copies, the companion and the registry.
  wizard.Click("lblqar");
  wizard.Tick();
  wizard.Click("lblInstall");
  wizard.Tick();
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
  EXPECT_TRUE(wizard.machine.Exists("C:\\Windows\\System32\\Drivers\\Windows\\usb8023w.sys"));
  EXPECT_TRUE(wizard.machine.Exists("C:\\QAR\\QAR.exe"));
  EXPECT_EQ(wizard.Value(kSetup, "SourcePath"), "C:\\Windows\\System\\");
  // The preflight folder is found this time, and the copies come back.
  wizard.Click("lblInstall");
  EXPECT_EQ(wizard.Screen(), kConnectCable);
  EXPECT_TRUE(wizard.machine.Exists("C:\\Windows\\usb8023w.sys"));
}

TEST(Install, PreflightFailureShowsTheErrorBoxAndWritesNothing) {
  Wizard wizard("win2000");
  std::filesystem::remove_all(wizard.machine->HostPath("C:\\Winnt\\System32\\drivers"));
  wizard.Tick();
  wizard.Click("lblInstall");
  ASSERT_EQ(wizard.host.boxes.size(), 1u);
  EXPECT_EQ(wizard.host.boxes[0].text, "Security Restriction, Contact Administrator.");
  EXPECT_EQ(wizard.host.boxes[0].caption, "QAR Tarnlink Wireless Cable Modem Wizard");
  EXPECT_EQ(wizard.host.boxes[0].icon, BoxIcon::Error);
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
  EXPECT_FALSE(wizard.machine.Exists("C:\\Winnt\\usb8023w.sys"));
  EXPECT_FALSE(wizard.machine->DirectoryExists("C:\\QAR"));
  EXPECT_EQ(wizard.Value(kSetup, "SourcePath"), "<absent>");
  // The loop goes on.
  wizard.Tick();
  wizard.Click("lblUtility");
  EXPECT_EQ(wizard.Seen(), "imgselvo");
}

TEST(Install, PermissionMessageKeepsTheCopiesAndSkipsTheCompanion) {
  Wizard wizard;
  wizard.machine->SetKeyReadOnly(kSetup, true);
  wizard.Tick();
  wizard.Click("lblInstall");
  ASSERT_EQ(wizard.host.boxes.size(), 1u);
  EXPECT_EQ(wizard.host.boxes[0].text, "Please make sure you have premission to install");
  EXPECT_EQ(wizard.host.boxes[0].caption, "Cannot install modem driver");
  EXPECT_EQ(wizard.host.boxes[0].icon, BoxIcon::None);
  EXPECT_EQ(wizard.Screen(), kConnectCable);
  EXPECT_TRUE(wizard.machine.Exists("C:\\Windows\\inf\\QAR.inf"));
  EXPECT_FALSE(wizard.machine.Exists("C:\\QAR\\QAR.exe"));
  EXPECT_EQ(wizard.Value(kRun, "QAR"), "<absent>");
}

TEST(Install, TickDuringThePermissionBoxLeavesTheInstalledArtworkInView) {
  Wizard wizard;
  wizard.machine->SetKeyReadOnly(kSetup, true);
  wizard.Tick();
  wizard.host.whileBoxOpen = [&] { wizard.Tick(); };
  wizard.Click("lblInstall");
  ASSERT_EQ(wizard.host.boxes.size(), 1u);
  EXPECT_EQ(wizard.Screen(), "imgUSB imguninstall lblqar lblClose");
  EXPECT_EQ(wizard.Seen(), "imguninstall");
  wizard.Click("lblqar");
  wizard.Tick();
  EXPECT_EQ(wizard.Screen(), kMainInstalled);
}

// Every file on drive C with its contents, to show that nothing was written.
std::map<std::string, std::string> DriveC(TestMachine& machine) {
  std::map<std::string, std::string> files;
  const std::string root = machine->HostPath("C:\\");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    files[entry.path().string()] =
        entry.is_regular_file() ? test::ReadHostFile(entry.path()) : "<folder>";
  return files;
}

// A damaged medium is found before anything is written.
TEST(Install, DamagedMediumShowsTheCopyMessageAndWritesNothing) {
  struct Case {
    const char* what;
    test::MediumOptions medium;
    const char* folderInPlaceOf;  // a folder where a driver file should be
  };
  const Case cases[] = {
      {"no Driver folder", {false, true, "", false}, nullptr},
      {"one file missing", {true, true, "rndismpw.sys", false}, nullptr},
      {"the marker's source missing", {true, true, "usb8023m.sys", false}, nullptr},
      {"every driver file empty", {true, true, "", true}, nullptr},
      {"a folder in place of a file", {true, true, "QAR.CAT", false}, "QAR.CAT"},
  };
  for (const Case& c : cases) {
    for (const char* os : {"winxp", "win2000"}) {
      Wizard wizard(os, c.medium);
      if (c.folderInPlaceOf != nullptr)
        std::filesystem::create_directories(wizard.machine.MediumHostDir() + "/Driver/" +
                                            c.folderInPlaceOf);
      const std::map<std::string, std::string> before = DriveC(wizard.machine);
      const std::string registry = test::ReadHostFile(wizard.machine->Folder() + "/registry.reg");
      wizard.Tick();
      wizard.Click("lblInstall");
      ASSERT_EQ(wizard.host.boxes.size(), 1u) << c.what << os;
      EXPECT_EQ(wizard.host.boxes[0].text,
                "The driver files could not be copied from the installation medium");
      EXPECT_EQ(wizard.host.boxes[0].caption, "Cannot install modem driver");
      EXPECT_EQ(wizard.host.boxes[0].icon, BoxIcon::None);
      EXPECT_EQ(wizard.Screen(), kMainNotInstalled) << c.what << os;
      EXPECT_EQ(DriveC(wizard.machine), before) << c.what << os;
      EXPECT_EQ(test::ReadHostFile(wizard.machine->Folder() + "/registry.reg"), registry)
          << c.what << os;
    }
  }
  // A medium with an unused usb8023w.sys missing is whole.
  Wizard whole("winxp", {true, true, "usb8023w.sys", false});
  whole.Click("lblInstall");
  EXPECT_TRUE(whole.host.boxes.empty());
  EXPECT_EQ(whole.Screen(), kConnectCable);
}

// A marker whose delete is refused keeps the installed screen and says so;
// the next click runs the whole removal again. Any other file that stays
// goes unmentioned. A marker whose delete succeeds but completes only when
// another program (a scanner) closes it stays in view until then, without
// a box.
TEST(Remove, UndeletableMarkerKeepsTheInstalledScreen) {
  // DeleteFile succeeds on `pending`, which stays until the test removes it.
  struct PendingDelete : test::RecordingPlatform {
    using RecordingPlatform::RecordingPlatform;
    std::string pending;
    bool DeleteFile(const std::string& path) override {
      if (path != pending) return RecordingPlatform::DeleteFile(path);
      calls.push_back("DeleteFile " + path);
      return true;
    }
  };
  const struct {
    const char* os;
    const char* refused;
    const char* pending;
    bool box;
  } cases[] = {
      {"winxp", "C:\\Windows\\usb8023w.sys", "", true},
      {"winxp", "C:\\Windows\\System\\usb8023m.sys", "", false},
      {"win2000", "C:\\Winnt\\usb8023w.sys", "", true},
      {"winxp", "", "C:\\Windows\\usb8023w.sys", false},
      {"win2000", "", "C:\\Winnt\\usb8023w.sys", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.os) + " refused " + c.refused + " pending " + c.pending);
    TestMachine machine(c.os);
    const std::string marker = InstallMarkerOf(test::Version(c.os));
    ASSERT_EQ(InstallDriver(machine.Machine(), test::Version(c.os), "D:\\").outcome,
              InstallOutcome::Done);
    if (*c.refused != 0) machine->Inject().Fail(sandbox::Op::DeleteFile, c.refused);
    PendingDelete recorder(machine.Machine());
    recorder.pending = c.pending;
    const bool stays = c.box || *c.pending != 0;
    ScriptedHost host;
    Application app(recorder, host);
    app.CreateForm();
    app.Tick();
    const Rect r = app.Form()[ControlId::lblInstall].Bounds();
    for (int click = 0; click < (c.box ? 2 : 1); ++click) {
      SCOPED_TRACE(click);
      recorder.calls.clear();
      app.MouseDown(r.left + 1, r.top + 1);
      app.MouseUp(r.left + 1, r.top + 1);
      std::vector<std::string> probed = RemovalList();
      if (c.box) probed.push_back(marker);  // the marker the timer watches, still there
      EXPECT_EQ(recorder.CallsOf("FileExists"), probed);
      const std::vector<std::string> deleted = recorder.CallsOf("DeleteFile");
      ASSERT_FALSE(deleted.empty());
      EXPECT_EQ(deleted.front(), marker);
      EXPECT_EQ(app.Form()[ControlId::lblcd].Caption(), "D:\\");  // removal records the medium too
      app.Tick();
      EXPECT_EQ(machine.Exists(marker), stays);
      EXPECT_EQ(app.Form()[ControlId::imguninstall].Visible(), stays);
      EXPECT_NE(app.Form()[ControlId::imgInstall].Visible(), stays);
      ASSERT_EQ(host.boxes.size(), c.box ? click + 1u : 0u);
      if (!c.box) continue;
      EXPECT_EQ(host.boxes.back().text, "The modem driver could not be removed");
      EXPECT_EQ(host.boxes.back().caption, "Cannot remove modem driver");
      EXPECT_EQ(host.boxes.back().icon, BoxIcon::None);
    }
    if (*c.pending == 0) continue;
    // The scanner lets go: the delete completes, and the next tick shows it.
    std::filesystem::remove(machine->HostPath(c.pending));
    app.Tick();
    EXPECT_TRUE(app.Form()[ControlId::imgInstall].Visible());
    EXPECT_TRUE(host.boxes.empty());
  }
}

// Files another installer left read-only: removal deletes them (the eight
// in the preflight folder stay, read-only), and the install copies over
// those.
TEST(Remove, ReadOnlyLeftoversAreRemovedAndReinstalledOver) {
  Wizard wizard;
  ASSERT_EQ(InstallDriver(wizard.machine.Machine(), test::Version("winxp"), "D:\\").outcome,
            InstallOutcome::Done);
  const std::vector<Copy> copies =
      PlanCopies(kPlanW, BuildDriverSources(wizard.machine.Machine(), "D:\\"));
  for (const Copy& copy : copies)
    std::filesystem::permissions(wizard.machine->HostPath(copy.target),
                                 std::filesystem::perms::owner_read);
  wizard.Tick();
  ASSERT_EQ(wizard.Screen(), kMainInstalled);
  wizard.Click("lblInstall");
  wizard.Tick();
  EXPECT_TRUE(wizard.host.boxes.empty());
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
  for (const Copy& copy : copies)
    EXPECT_EQ(wizard.machine.Exists(copy.target),
              copy.target.find("\\Drivers\\Windows\\") != std::string::npos)
        << copy.target;
  wizard.Click("lblInstall");
  EXPECT_TRUE(wizard.host.boxes.empty());
  EXPECT_EQ(wizard.Screen(), kConnectCable);
  for (const Copy& copy : copies) EXPECT_TRUE(wizard.machine.Exists(copy.target)) << copy.target;
}

// The bytes the 48 driver copies of plan W write.
std::uint64_t BytesOfCopies(Wizard& wizard) {
  std::uint64_t total = 0, size = 0;
  for (const Copy& copy : PlanCopies(kPlanW, BuildDriverSources(wizard.machine.Machine(), "D:\\")))
    total += wizard.machine->FileSize(copy.source, size) ? size : 0;
  return total;
}

// A copy that fails or does not come out whole: the box names the side that
// failed, and neither the registry work, the companion nor the
// connect-cable screen follow; the marker is not made. A disk that fills
// only after the marker leaves a whole driver; the companion, which comes
// after it, is what goes without.
TEST(Install, FailedCopiesNameTheirSideAndStopTheInstall) {
  const char* const medium = "The driver files could not be copied from the installation medium";
  const char* const windows = "The driver files could not be copied to the Windows folder";
  const auto unreadableAt = [](std::size_t copy) {
    return [copy](Wizard& w) {
      const std::vector<Copy> plan =
          PlanCopies(kPlanW, BuildDriverSources(w.machine.Machine(), "D:\\"));
      w.machine->Inject().FailReadAfter(plan[copy - 1].source, 3);
    };
  };
  // Room for all 48 copies but `short` bytes; the marker's copy is the last.
  const auto diskFullShortOf = [](std::uint64_t shortBy) {
    return [=](Wizard& w) { w.machine->Inject().DiskFullAfter(BytesOfCopies(w) - shortBy); };
  };
  const struct {
    const char* what;
    std::function<void(Wizard&)> fault;
    const char* box;  // null: installed
  } cases[] = {
      {"a copy fails",
       [](Wizard& w) {
         w.machine->Inject().Fail(sandbox::Op::CopyFile, "C:\\Windows\\System32\\rndismpk.sys");
       },
       windows},
      {"the marker's copy fails",
       [](Wizard& w) {
         w.machine->Inject().Fail(sandbox::Op::CopyFile, "C:\\Windows\\usb8023w.new");
       },
       windows},
      {"the marker cannot be renamed into place",
       [](Wizard& w) { w.machine->Inject().Fail(sandbox::Op::RenameFile); }, windows},
      {"the source of copy 1 unreadable", unreadableAt(1), medium},
      {"the source of copy 20 unreadable", unreadableAt(20), medium},
      {"the source of copy 43, the marker, unreadable", unreadableAt(43), medium},
      // Several failures: the first one's side is named.
      {"the source of copy 1 unreadable, then a copy fails",
       [&](Wizard& w) {
         unreadableAt(1)(w);
         w.machine->Inject().Fail(sandbox::Op::CopyFile, "C:\\Windows\\System32\\rndismpk.sys");
       },
       medium},
      {"a copy fails, then the source of copy 20 unreadable",
       [&](Wizard& w) {
         w.machine->Inject().Fail(sandbox::Op::CopyFile, "C:\\Windows\\QAR.CAT");
         unreadableAt(20)(w);
       },
       windows},
      {"disk full before the marker", [](Wizard& w) { w.machine->Inject().DiskFullAfter(10); },
       windows},
      {"disk full during the marker", diskFullShortOf(3), windows},
      {"disk full after the marker", diskFullShortOf(0), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Wizard wizard;
    c.fault(wizard);
    wizard.Tick();
    wizard.Click("lblInstall");
    ASSERT_EQ(wizard.host.boxes.size(), c.box != nullptr ? 1u : 0u);
    wizard.Tick();
    EXPECT_FALSE(wizard.machine.Exists("C:\\QAR\\QAR.exe"));
    EXPECT_EQ(wizard.Value(kRun, "QAR"), "<absent>");
    if (c.box == nullptr) {
      EXPECT_EQ(wizard.Screen(), kConnectCable);
      EXPECT_EQ(wizard.machine.Read("C:\\Windows\\usb8023w.sys"),
                test::DriverContents("usb8023m.sys"));
      continue;
    }
    EXPECT_EQ(wizard.host.boxes[0].text, c.box);
    EXPECT_EQ(wizard.host.boxes[0].caption, "Cannot install modem driver");
    EXPECT_EQ(wizard.host.boxes[0].icon, BoxIcon::None);
    EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
    EXPECT_FALSE(wizard.machine.Exists("C:\\Windows\\usb8023w.sys"));
    EXPECT_EQ(wizard.Value(kSetup, "SourcePath"), "<absent>");
  }
}

// The program stopped (a crash, a power cut) after copy 43, after the 47th
// or inside the marker's own copy: the marker is not there, so the next
// start shows the not-installed screen, and its install comes out whole.
TEST(Install, StopDuringTheCopiesLeavesNoMarker) {
  const struct {
    unsigned copies;
    std::uint64_t bytes;  // of the next copy
  } stops[] = {{43, 0}, {47, 0}, {47, 5}};
  for (const auto& stop : stops) {
    SCOPED_TRACE(std::to_string(stop.copies) + " copies and " + std::to_string(stop.bytes) +
                 " bytes");
    Wizard wizard;
    wizard.Tick();
    EXPECT_EXIT(
        {
          wizard.machine->Inject().StopAfterCopies(stop.copies, stop.bytes);
          wizard.Click("lblInstall");
          std::exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_FALSE(wizard.machine.Exists("C:\\Windows\\usb8023w.sys"));
    EXPECT_EQ(wizard.machine.Read("C:\\Windows\\usb8023w.new").size(), stop.bytes);

    ScriptedHost host;
    Application next(wizard.machine.Machine(), host);
    next.CreateForm();
    next.Tick();
    EXPECT_TRUE(next.Form()[ControlId::imgInstall].Visible());
    EXPECT_FALSE(next.Form()[ControlId::imguninstall].Visible());
    const Rect r = next.Form()[ControlId::lblInstall].Bounds();
    next.MouseDown(r.left + 1, r.top + 1);
    next.MouseUp(r.left + 1, r.top + 1);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_TRUE(next.Form()[ControlId::imgUSB].Visible());
    for (const Copy& copy :
         PlanCopies(kPlanW, BuildDriverSources(wizard.machine.Machine(), "D:\\")))
      EXPECT_EQ(wizard.machine.Read(copy.target), wizard.machine.Read(copy.source)) << copy.target;
    EXPECT_FALSE(wizard.machine.Exists("C:\\Windows\\usb8023w.new"));
  }
}

// Any failure in the registry work is a permission problem, and none in the
// companion's steps is reported; either way the install goes on to the
// connect-cable screen.
TEST(Install, ForeignFaultsInTheRegistryWork) {
  struct Faulty : test::RecordingPlatform {
    Faulty(Platform& inner, const char* key) : RecordingPlatform(inner), key(key) {}
    std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override {
      if (path == key) throw std::bad_alloc();
      return RecordingPlatform::OpenKey(path);
    }
    std::string key;
  };
  struct Case {
    const char* key;  // opening it throws
    const char* box;  // or null
    const char* sourcePath;
    bool companion;
  };
  const Case cases[] = {
      {kSetup, "Please make sure you have premission to install", "<absent>", false},
      {kRun, nullptr, "C:\\Windows\\System\\", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    TestMachine machine;
    Faulty platform(machine.Machine(), c.key);
    ScriptedHost host;
    Application app(platform, host);
    app.CreateForm();
    app.Tick();
    const Rect r = app.Form()[ControlId::lblInstall].Bounds();
    app.MouseDown(r.left + 1, r.top + 1);
    app.MouseUp(r.left + 1, r.top + 1);
    ASSERT_EQ(host.boxes.size(), c.box ? 1u : 0u);
    if (c.box) {
      EXPECT_EQ(host.boxes[0].text, c.box);
      EXPECT_EQ(host.boxes[0].caption, "Cannot install modem driver");
      EXPECT_EQ(host.boxes[0].icon, BoxIcon::None);
    }
    EXPECT_TRUE(app.Form()[ControlId::imgUSB].Visible());
    EXPECT_FALSE(app.Form()[ControlId::imgInstall].Visible());
    std::string source;
    EXPECT_EQ(machine->ReadString(kSetup, "SourcePath", source) ? source : "<absent>",
              c.sourcePath);
    EXPECT_EQ(machine.Exists("C:\\QAR\\QAR.exe"), c.companion);
    EXPECT_TRUE(machine.Exists("C:\\Windows\\usb8023w.sys"));
  }
}

TEST(Launchers, TargetsAtRootAndInSubfolder) {
  struct Case {
    const char* subfolder;
    unsigned codePage;
    const char* manual;
    const char* reader;
  };
  // "\x95\x5c" is a Japanese character whose second byte is a backslash's.
  const Case cases[] = {
      {"", 1252, "D:\\Manual\\K7Q3WG_MN.pdf", "D:\\Adobe Acrobat\\ar505enu.exe"},
      {"setup", 1252, "D:\\setup\\Manual\\K7Q3WG_MN.pdf", "D:\\setup\\Adobe Acrobat\\ar505enu.exe"},
      {"\x95\x5c", 932, "D:\\\x95\x5c\\Manual\\K7Q3WG_MN.pdf",
       "D:\\\x95\x5c\\Adobe Acrobat\\ar505enu.exe"},
  };
  for (const Case& c : cases) {
    Wizard wizard("winxp", {}, c.subfolder, c.codePage);
    wizard.Tick();
    wizard.Click("lblpdf");
    wizard.Click("lblpdf");  // every click hands the path over again
    wizard.Click("lblAcrobat");
    wizard.Click("lblGateway");
    EXPECT_EQ(wizard.ShellTargets(),
              (std::vector<std::string>{c.manual, c.manual, c.reader, "http://192.168.0.1"}));
    EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
    wizard.Click("lblInstall");  // from the same medium folder
    EXPECT_EQ(wizard.Screen(), kConnectCable);
    EXPECT_TRUE(wizard.host.boxes.empty());
  }
}

TEST(Launchers, MoreInfoOnPartnerAndInstalledScreens) {
  Wizard wizard;
  wizard.PutMarker();
  wizard.Tick();
  wizard.ClickAt(489, 424);
  wizard.ClickAt(675, 454);
  wizard.Click("lblUtility");
  wizard.Click("lblmoreinfo");
  const std::vector<std::string> targets = wizard.ShellTargets();
  ASSERT_EQ(targets.size(), 3u);
  for (const std::string& target : targets)
    EXPECT_EQ(target, "http://protection.partner.example/qar.asp");
}

TEST(Launchers, ShellFailureShowsNothing) {
  Wizard wizard;
  wizard.machine->Inject().Fail(sandbox::Op::ShellOpen);
  wizard.Tick();
  wizard.Click("lblpdf");
  wizard.Click("lblGateway");
  wizard.recorder.foreign = true;  // nor does a failure that is not ours
  wizard.Click("lblpdf");
  wizard.Click("lblGateway");
  EXPECT_TRUE(wizard.host.boxes.empty());
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
}

TEST(ErrorBox, FullStopRule) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"Security Restriction, Contact Administrator",
       "Security Restriction, Contact Administrator."},
      {"ends in parenthesis (x)", "ends in parenthesis (x)"},
      {"ends in full stop.", "ends in full stop."},
      {"ends in comma,", "ends in comma,"},
      {"ends in bang!", "ends in bang!"},
      {"ends in slash/", "ends in slash/."},
      {"digit 7", "digit 7."},
      {"high \x80", "high \x80."},
      {"high \xff", "high \xff."},
      {"space ", "space "},
  };
  for (const auto& [message, shown] : cases) EXPECT_EQ(ErrorBoxText(message), shown) << message;
}

TEST(ErrorBox, HandlerErrorsAreShownAndTheLoopGoesOn) {
  Wizard wizard;
  wizard.Tick();
  wizard.Click("lblUtility");
  wizard.host.timersExhausted = true;
  wizard.Click("lblqar");  // home must restart the timer
  ASSERT_EQ(wizard.host.boxes.size(), 1u);
  EXPECT_EQ(wizard.host.boxes[0].text, "Not enough timers available.");
  EXPECT_EQ(wizard.host.boxes[0].icon, BoxIcon::Error);
  EXPECT_EQ(wizard.Seen(), "imgselvo");  // the handler stopped where it raised
  wizard.host.timersExhausted = false;
  wizard.Click("lblqar");
  EXPECT_EQ(wizard.Screen(), kMainNotInstalled);
  EXPECT_TRUE(wizard.host.timerRunning);  // the refused start left the flag off
  wizard.recorder.foreign = true;         // not one of ours: an empty box
  wizard.Tick();
  wizard.Tick();
  EXPECT_EQ(wizard.host.boxes.size(), 3u);
  EXPECT_EQ(wizard.host.boxes.back().text, "");
}

}  // namespace
}  // namespace qar
