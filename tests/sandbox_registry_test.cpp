// The sandbox's registry: the REGEDIT4 file format, and the machine's keys
// and values kept in it across reopenings, interrupted writes and bad files.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/sandbox/Files.h"
#include "platform/sandbox/Registry.h"
#include "TestMachine.h"
#include "platform/sandbox/Sandbox.h"

namespace qar::sandbox {
namespace {

namespace fs = std::filesystem;

const char kSetup[] = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup";
const char kRun[] = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

using TempFolder = test::TempDir;

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// The temporary files a write of `path` left behind.
int TemporaryFilesOf(const std::string& path) { return fs::exists(path + ".tmp") ? 1 : 0; }

// Writes of more than `bytes` fail (EFBIG) for as long as it lives, for root
// as for anyone.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {bytes, saved_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  struct rlimit saved_ {};
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Value(const SandboxMachine& machine, const std::string& key, const std::string& name) {
  std::string data;
  return machine.ReadString(key, name, data) ? data : "<absent>";
}

// --- The file format ------------------------------------------------------

// A file as regedit writes it, with what the sandbox does not interpret.
const char kExport[] =
    "REGEDIT4\r\n"
    "\r\n"
    "; exported by hand\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR]\r\n"
    "@=\"default value\"\r\n"
    "\"Path\"=\"C:\\\\Windows\\\\System\\\\\"\r\n"
    "\"Quote \\\"me\\\"\"=\"say \\\"hi\\\"\"\r\n"
    "; a note inside a key\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"Blob\"=hex:01,02,ff\r\n"
    "\"Expand\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\\\r\n"
    "  74,00,25,00,00,00\r\n"
    "\"Empty\"=\"\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR\\Sub]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR Tools]\r\n"
    "\"Kept\"=\"as it was\"\r\n"
    "\r\n";

TEST(RegistryFile, RegeditExportRoundTripsUnchanged) {
  const Registry registry = Registry::Parse(kExport, "x.reg");
  EXPECT_EQ(registry.Format(), kExport);
  std::string data;
  ASSERT_TRUE(registry.GetString("hkey_local_machine\\software\\qar", "PATH", data));
  EXPECT_EQ(data, "C:\\Windows\\System\\");
  ASSERT_TRUE(registry.GetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR", "", data));
  EXPECT_EQ(data, "default value");
  ASSERT_TRUE(registry.GetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR", "Quote \"me\"", data));
  EXPECT_EQ(data, "say \"hi\"");
  ASSERT_TRUE(registry.GetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR", "Empty", data));
  EXPECT_EQ(data, "");
  EXPECT_FALSE(
      registry.GetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR", "Count", data));  // not a string
}

TEST(RegistryFile, LineFeedsAndMissingParentsAreAccepted) {
  const Registry registry = Registry::Parse(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR]\n  \"A\" = \"1\"  \n\"Hex\"=hex(1):41,00\n",
      "x.reg");
  std::string data;
  ASSERT_TRUE(registry.GetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR", "a", data));
  EXPECT_EQ(data, "1");
  EXPECT_FALSE(
      registry.GetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR", "Hex", data));  // kept, not read
  EXPECT_TRUE(registry.HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE"));
  EXPECT_EQ(registry.Format(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR]\r\n\"A\"=\"1\"\r\n\"Hex\"=hex(1):41,00\r\n\r\n");
}

// A value given again keeps its place and takes the later data, in a key of
// a few values and in one of many (found through an index, not a scan); the
// same key may come back in a later section.
TEST(RegistryFile, ValueGivenAgainReplacesItInPlace) {
  for (int count : {3, 40}) {
    std::string text = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n",
                want = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n";
    for (int i = 0; i < count; ++i) {
      text += "\"V" + std::to_string(i) + "\"=\"" + std::to_string(i) + "\"\r\n";
      want += "\"V" + std::to_string(i) + "\"=\"" +
              (i == 1 ? std::string("again") : std::to_string(i)) + "\"\r\n";
    }
    text += "[HKEY_LOCAL_MACHINE\\k]\r\n\"v1\"=\"again\"\r\n";
    EXPECT_EQ(Registry::Parse(text, "x.reg").Format(), want + "\r\n") << count;
  }
}

TEST(RegistryFile, KeysAreWrittenInTreeOrder) {
  Registry registry = Registry::Parse("REGEDIT4\r\n", "x.reg");
  for (const char* key :
       {"HKEY_LOCAL_MACHINE\\b", "HKEY_LOCAL_MACHINE\\A B", "HKEY_LOCAL_MACHINE\\a\\z",
        "HKEY_LOCAL_MACHINE\\A\\Y", "HKEY_LOCAL_MACHINE\\a-"})
    ASSERT_TRUE(registry.AddKey(key)) << key;
  EXPECT_EQ(registry.Format(),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\a]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\A\\Y]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\a\\z]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\A B]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\a-]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\b]\r\n\r\n");
  for (const char* bad :
       {"SOFTWARE\\x", "HKEY_LOCAL_MACHINE\\\\x", "HKEY_LOCAL_MACHINE\\x\\", "", "HKEY_NOWHERE\\x"})
    EXPECT_FALSE(registry.AddKey(bad)) << bad;
}

std::string KeyOfDepth(std::size_t levels, const std::string& name = "k") {
  std::string path = "HKEY_LOCAL_MACHINE";
  for (std::size_t i = 0; i < levels; ++i) path += "\\" + name;
  return path;
}

TEST(RegistryFile, MalformedFilesNameTheLine) {
  struct Case {
    std::string text;
    const char* where;
  };
  const Case cases[] = {
      {"", "x.reg:1:"},
      {"Windows Registry Editor Version 5.00\r\n", "x.reg:1:"},
      {"REGEDIT4\r\n\r\n\"v\"=\"1\"\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\x\r\n", "x.reg:2:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\\\x]\r\n", "x.reg:2:"},
      {"REGEDIT4\r\n[SOFTWARE\\x]\r\n", "x.reg:2:"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\x]\r\n", "x.reg:2:"},
      {"REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\x]\r\n", "x.reg:2:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE]\r\n\"v\"=-\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE]\r\n\"v\"=\"open\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE]\r\n\"v\"=\"a\\nb\"\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE]\r\n\"v\"=\"a\" trailing\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE]\r\n\"v\" \"a\"\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE]\r\n\"v\"=\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE]\r\n\"v\"=hex:01,\\\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE]\r\n\"v\"=text\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE]\r\nv=\"1\"\r\n", "x.reg:3:"},
      // Deeper or longer than Windows allows.
      {"REGEDIT4\r\n\r\n[" + KeyOfDepth(513) + "]\r\n", "x.reg:3: malformed key path"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'n') + "]\r\n",
       "x.reg:2: malformed key path"},
  };
  for (const Case& c : cases) {
    try {
      Registry::Parse(c.text, "x.reg");
      ADD_FAILURE() << "accepted: " << c.text.substr(0, 200);
    } catch (const SandboxError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.where, 0), 0u)
          << c.text.substr(0, 200) << " -> " << e.what();
    }
  }
}

// Windows' limits are the edges: 512 levels and 255 characters are taken.
// A key 40,000 levels deep in an 80 KB file is refused at once, naming the
// limit, instead of every prefix of it being stored.
TEST(RegistryFile, KeyDepthAndNameLengthAreBounded) {
  const std::string deepest = KeyOfDepth(511) + "\\" + std::string(255, 'n');
  Registry edge = Registry::Parse("REGEDIT4\r\n[" + deepest + "]\r\n", "x.reg");
  EXPECT_TRUE(edge.HasKey(KeyOfDepth(511, "K") + "\\" + std::string(255, 'N')));
  EXPECT_FALSE(edge.AddKey(deepest + "\\k"));
  EXPECT_FALSE(edge.AddKey(KeyOfDepth(1) + std::string(255, 'n')));
  EXPECT_EQ(Registry::Parse(edge.Format(), "x.reg").Format(), edge.Format());

  const auto start = std::chrono::steady_clock::now();
  for (const auto& [text, why] :
       {std::pair<std::string, const char*>{KeyOfDepth(40000, "a"), "512 levels"},
        {KeyOfDepth(400, std::string(255, 'n')), "16 MB"},
        {"HKEY_LOCAL_MACHINE\\" + std::string(80000, 'a'), "255 characters"}}) {
    try {
      Registry::Parse("REGEDIT4\r\n\r\n[" + text + "]\r\n", "x.reg");
      ADD_FAILURE() << "accepted " << why;
    } catch (const SandboxError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
      EXPECT_LT(std::string(e.what()).size(), 300u);
    }
  }
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
}

TEST(AtomicWrite, InterruptedWriteLeavesTheOldFile) {
  TempFolder temp;
  const std::string path = temp / "registry.reg";
  const UniqueFd folder(open(temp.Path().c_str(), O_RDONLY | O_DIRECTORY));
  const auto write = [&](const char* text, const std::function<void()>& beforeRename = {}) {
    return WriteFileAtomically(folder.Get(), "registry.reg", text, beforeRename);
  };
  ASSERT_TRUE(write("old contents"));
  EXPECT_THROW(write("new contents", [] { throw std::runtime_error("power cut"); }),
               std::runtime_error);
  EXPECT_EQ(ReadFile(path), "old contents");
  EXPECT_EQ(TemporaryFilesOf(path), 1);  // as a crash leaves it
  ASSERT_TRUE(write("newer"));
  EXPECT_EQ(ReadFile(path), "newer");
}

// --- The machine's registry -----------------------------------------------

class SandboxRegistry : public ::testing::Test {
 protected:
  void SetUp() override { machine = SandboxMachine::Create(temp / "m", "winxp"); }
  std::string RegistryPath() const { return machine->Folder() + "/registry.reg"; }

  TempFolder temp;
  std::unique_ptr<SandboxMachine> machine;
};

TEST_F(SandboxRegistry, ValuesSurviveAReopening) {
  {
    auto key = machine->OpenKey(kSetup);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->SetString("SourcePath", "C:\\Windows\\System\\"));
    ASSERT_TRUE(key->SetString("Installation Sources", "D:\\old"));
    ASSERT_TRUE(key->SetString("Text", "say \"hi\" \\ bye"));
  }
  SandboxMachine* reopened = &test::Reopen(machine);
  EXPECT_EQ(Value(*reopened, kSetup, "SourcePath"), "C:\\Windows\\System\\");
  EXPECT_EQ(Value(*reopened, "software\\microsoft\\WINDOWS\\currentversion\\setup\\", "sourcepath"),
            "C:\\Windows\\System\\");
  EXPECT_EQ(Value(*reopened, kSetup, "Text"), "say \"hi\" \\ bye");
  EXPECT_NE(ReadFile(RegistryPath()).find("\"SourcePath\"=\"C:\\\\Windows\\\\System\\\\\"\r\n"),
            std::string::npos);

  auto key = reopened->OpenKey("Software\\Microsoft\\Windows\\CurrentVersion\\SETUP");
  ASSERT_TRUE(key);
  EXPECT_TRUE(key->DeleteValue("installation sources"));
  EXPECT_FALSE(key->DeleteValue("Installation Sources"));  // absent now
  EXPECT_TRUE(key->SetString("SOURCEPATH", "C:\\Winnt\\System32\\Drivers\\"));
  EXPECT_EQ(Value(*machine, kSetup, "Installation Sources"),
            "<absent>");  // the other instance sees it
  const std::string text = ReadFile(RegistryPath());
  EXPECT_NE(text.find("\"SourcePath\"=\"C:\\\\Winnt\\\\System32\\\\Drivers\\\\\""),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("SOURCEPATH"), std::string::npos) << text;
}

TEST_F(SandboxRegistry, OpenKeyCreatesAndPersistsTheKey) {
  const std::string before = ReadFile(RegistryPath());
  ASSERT_TRUE(machine->OpenKey(kSetup));  // exists already: nothing to write
  EXPECT_EQ(ReadFile(RegistryPath()), before);
  ASSERT_TRUE(machine->OpenKey(kRun));
  ASSERT_TRUE(machine->OpenKey("SOFTWARE\\QAR\\Deeper\\Still"));
  const std::string text = ReadFile(test::Reopen(machine).Folder() + "/registry.reg");
  for (const char* key : {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]",
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR]",
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QAR\\Deeper\\Still]"})
    EXPECT_NE(text.find(key), std::string::npos) << key;
  auto root = machine->OpenKey("");
  ASSERT_TRUE(root);
  EXPECT_FALSE(root->SetString("v", "no values on the root"));
  auto key = machine->OpenKey(kRun);
  EXPECT_FALSE(key->SetString("two\nlines", "a name must fit a line"));
}

// Backslashes as RegCreateKeyExA takes them: repeated and trailing ones
// count as one; one more at the start is an empty name on NT, and skipped on
// 95, 98 and ME.
TEST(SandboxKeyPaths, BackslashesAsRegCreateKeyExATakesThem) {
  struct Case {
    const char* path;
    bool nt, win9x;  // opens SOFTWARE\QAR\Run
  };
  const Case cases[] = {
      {"SOFTWARE\\QAR\\Run", true, true},       {"\\SOFTWARE\\QAR\\Run", true, true},
      {"SOFTWARE\\\\QAR\\\\\\Run", true, true}, {"SOFTWARE\\QAR\\Run\\\\", true, true},
      {"\\\\SOFTWARE\\QAR\\Run", false, true},  {"\\\\\\SOFTWARE\\QAR\\Run", false, false},
  };
  for (const char* version : {"winxp", "win98"}) {
    TempFolder temp;
    auto machine = SandboxMachine::Create(temp / "m", version);
    const bool nt = std::string(version) == "winxp";
    for (const Case& c : cases) {
      auto key = machine->OpenKey(c.path);
      EXPECT_EQ(key != nullptr, nt ? c.nt : c.win9x) << version << " " << c.path;
      if (!key) continue;
      EXPECT_TRUE(key->SetString("Via", c.path)) << version << " " << c.path;
      EXPECT_EQ(Value(*machine, "SOFTWARE\\QAR\\Run", "Via"), c.path) << version;
    }
    // No key with an empty name was made.
    std::istringstream lines(ReadFile(machine->Folder() + "/registry.reg"));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line[0] == '[') {
        EXPECT_TRUE(line.find("\\\\") == std::string::npos && line.find("\\]") == std::string::npos)
            << line;
      }
    }
  }
}

TEST_F(SandboxRegistry, ReadOnlyKeysCannotBeOpenedAndWritesRaise) {
  machine->SetKeyReadOnly(kSetup, true);
  for (const char* path : {kSetup, "software\\microsoft\\windows\\currentversion\\setup",
                           "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\Below\\Further"})
    EXPECT_EQ(machine->OpenKey(path), nullptr) << path;
  EXPECT_NE(machine->OpenKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion"), nullptr);
  EXPECT_NE(machine->OpenKey(kRun), nullptr);
  EXPECT_NE(machine->OpenKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SetupX"), nullptr);
  EXPECT_THROW(WriteString(machine->OpenKey(kSetup).get(), "SourcePath", "C:\\Windows\\System\\"),
               Error);
  EXPECT_EQ(Value(*machine, kSetup, "SourcePath"), "<absent>");

  EXPECT_EQ(test::Reopen(machine).OpenKey(kSetup), nullptr);  // a setting of the machine
  machine->SetKeyReadOnly("SOFTWARE\\MICROSOFT\\Windows\\CurrentVersion\\Setup\\", false);
  auto key = machine->OpenKey(kSetup);
  ASSERT_TRUE(key);
  EXPECT_NO_THROW(WriteString(key.get(), "SourcePath", "C:\\Windows\\System\\"));
  EXPECT_THROW(WriteString(nullptr, "SourcePath", "x"), Error);
}

TEST_F(SandboxRegistry, AFailedWriteChangesNothing) {
  ASSERT_TRUE(machine->OpenKey(kSetup)->SetString("SourcePath", "old"));
  const std::string before = ReadFile(RegistryPath());
  auto key = machine->OpenKey(kSetup);
  ASSERT_TRUE(key);
  {
    const FileSizeLimit full(16);  // as on a full disk: every write fails
    EXPECT_FALSE(key->SetString("SourcePath", "new"));
    EXPECT_THROW(WriteString(key.get(), "SourcePath", "new"), Error);
    EXPECT_FALSE(key->DeleteValue("SourcePath"));
    EXPECT_EQ(machine->OpenKey(kRun), nullptr);
  }
  // Data REGEDIT4 cannot quote is refused, as names are; so is a change
  // that would make the file larger than a machine opens, saying why.
  EXPECT_FALSE(key->SetString("SourcePath", "two\r\nlines"));
  EXPECT_FALSE(key->SetString("SourcePath", std::string("nul\0inside", 10)));
  std::string why;
  machine->SetFaultHook([&](const std::string& message) { why = message; });
  EXPECT_FALSE(key->SetString("Big", std::string(kMachineFileLimit, 'x')));
  EXPECT_NE(why.find("16 MB"), std::string::npos) << why;
  EXPECT_EQ(Value(*machine, kSetup, "SourcePath"), "old");
  EXPECT_EQ(ReadFile(RegistryPath()), before);
  EXPECT_EQ(TemporaryFilesOf(RegistryPath()), 0);

  ASSERT_TRUE(machine->OpenKey(kRun));
  EXPECT_NE(ReadFile(RegistryPath()).find("\\Run]"), std::string::npos);
}

// A write goes aside and is renamed in, so a new inode means a rewrite.
TEST_F(SandboxRegistry, ChangesThatChangeNothingLeaveTheFileAlone) {
  const auto inode = [&] {
    struct stat st {};
    stat(RegistryPath().c_str(), &st);
    return st.st_ino;
  };
  auto key = machine->OpenKey(kSetup);
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->SetString("SourcePath", "C:\\Windows\\System\\"));
  struct Case {
    const char* what;
    std::function<bool()> change;
    bool rewritten;
  };
  const Case cases[] = {
      {"the same value again",
       [&] { return key->SetString("SourcePath", "C:\\Windows\\System\\"); }, false},
      {"the same value by another case",
       [&] { return key->SetString("SOURCEPATH", "C:\\Windows\\System\\"); }, false},
      {"an existing key opened", [&] { return machine->OpenKey(kSetup) != nullptr; }, false},
      {"another value", [&] { return key->SetString("SourcePath", "C:\\Winnt\\"); }, true},
      {"a new value", [&] { return key->SetString("Installation Sources", "D:\\"); }, true},
      {"a value deleted", [&] { return key->DeleteValue("Installation Sources"); }, true},
  };
  for (const Case& c : cases) {
    const auto before = inode();
    EXPECT_TRUE(c.change()) << c.what;
    EXPECT_EQ(inode() != before, c.rewritten) << c.what;
  }
  key.reset();
  EXPECT_EQ(Value(test::Reopen(machine), kSetup, "SourcePath"), "C:\\Winnt\\");
}

TEST_F(SandboxRegistry, InterruptedWriteKeepsTheOldRegistry) {
  ASSERT_TRUE(machine->OpenKey(kSetup)->SetString("SourcePath", "old"));
  const std::string before = ReadFile(RegistryPath());
  // The process dies between writing the new registry aside and renaming it.
  Registry changed = Registry::Parse(before, RegistryPath());
  changed.SetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup",
                    "SourcePath", "new");
  const UniqueFd folder(open(machine->Folder().c_str(), O_RDONLY | O_DIRECTORY));
  EXPECT_THROW(WriteFileAtomically(folder.Get(), "registry.reg", changed.Format(),
                                   [] { throw std::runtime_error("killed"); }),
               std::runtime_error);
  ASSERT_EQ(TemporaryFilesOf(RegistryPath()), 1);

  EXPECT_EQ(Value(test::Reopen(machine), kSetup, "SourcePath"), "old");
  EXPECT_EQ(ReadFile(RegistryPath()), before);
  ASSERT_TRUE(machine->OpenKey(kSetup)->SetString("SourcePath", "newer"));
  EXPECT_EQ(Value(test::Reopen(machine), kSetup, "SourcePath"), "newer");
  EXPECT_EQ(TemporaryFilesOf(RegistryPath()), 0);  // the next write took its place
}

TEST_F(SandboxRegistry, MalformedFileIsReportedAndNeverReplaced) {
  const std::string broken =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\"v\"=\"unterminated\r\n";
  const std::string path = RegistryPath();
  WriteFile(path, broken);
  try {
    test::Reopen(machine);
    FAIL() << "a malformed registry was accepted";
  } catch (const SandboxError& e) {
    EXPECT_NE(std::string(e.what()).find(path + ":4:"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadFile(path), broken);
}

TEST_F(SandboxRegistry, EditsByHandAreReadAtOpeningAndKept) {
  WriteFile(RegistryPath(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_"
            "MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup]\r\n"
            "\"SourcePath\"=\"E:\\\\\"\r\n\"Flags\"=dword:00000003\r\n\"Blob\"=hex:de,ad\r\n");
  test::Reopen(machine);
  EXPECT_EQ(Value(*machine, kSetup, "SourcePath"), "E:\\");
  ASSERT_TRUE(machine->OpenKey(kRun)->SetString("QAR", "C:\\QAR\\QAR.exe"));
  const std::string text = ReadFile(RegistryPath());
  EXPECT_NE(text.find("\"Flags\"=dword:00000003\r\n\"Blob\"=hex:de,ad\r\n"), std::string::npos)
      << text;
  EXPECT_EQ(Value(*machine, kSetup, "SourcePath"), "E:\\");
  EXPECT_EQ(Value(*machine, kRun, "QAR"), "C:\\QAR\\QAR.exe");
}

}  // namespace
}  // namespace qar::sandbox
