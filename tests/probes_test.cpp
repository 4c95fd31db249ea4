#include <gtest/gtest.h>

#include "TestMachine.h"
#include "probes/MediaDir.h"

namespace qar {
namespace {

// A machine whose ANSI code page is 932 (Japanese): lead bytes 0x81-0x9F
// and 0xE0-0xFC, and a trail byte may be 0x5C, the backslash's code.
struct CodePage932 : test::RecordingPlatform {
  using RecordingPlatform::RecordingPlatform;
  bool IsLeadByte(char byte) override {
    const unsigned char b = static_cast<unsigned char>(byte);
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
  }
};

// 表 and ソ in code page 932: each ends in the byte 0x5C.
#define HYO "\x95\x5C"
#define SO "\x83\x5C"

struct PathCase {
  const char* dir;
  const char* relative;
  const char* expected;
  const char* in932 = nullptr;  // when code page 932 gives another result
};

TEST(MediaPath, InsertsOneBackslashUnlessPresent) {
  const PathCase cases[] = {
      {"D:\\", "Manual\\K7Q3WG_MN.pdf", "D:\\Manual\\K7Q3WG_MN.pdf"},
      {"D:\\setup", "Manual\\K7Q3WG_MN.pdf", "D:\\setup\\Manual\\K7Q3WG_MN.pdf"},
      {"D:\\setup\\", "QAR.exe", "D:\\setup\\QAR.exe"},
      {"", "QAR.exe", "\\QAR.exe"},
      {"D:\\a b\\c", "Adobe Acrobat\\ar505enu.exe", "D:\\a b\\c\\Adobe Acrobat\\ar505enu.exe"},
      {"D:/setup", "QAR.exe", "D:/setup\\QAR.exe"},
      // A folder name ending in a double-byte character whose trail byte
      // is 0x5C: in code page 932 that byte is no backslash.
      {"D:\\" HYO, "QAR.exe", "D:\\" HYO "QAR.exe", "D:\\" HYO "\\QAR.exe"},
      {"D:\\" SO, "Driver\\QAR.inf", "D:\\" SO "Driver\\QAR.inf", "D:\\" SO "\\Driver\\QAR.inf"},
      {"D:\\" HYO "a", "QAR.exe", "D:\\" HYO "a\\QAR.exe"},
      {"D:\\" HYO "\\", "QAR.exe", "D:\\" HYO "\\QAR.exe"},
  };
  test::TestMachine machine;
  CodePage932 cp932(machine.Machine());
  for (const PathCase& c : cases) {
    EXPECT_EQ(MediaPath(machine.Machine(), c.dir, c.relative), c.expected) << c.dir;
    EXPECT_EQ(MediaPath(cp932, c.dir, c.relative), c.in932 ? c.in932 : c.expected)
        << c.dir << " in 932";
  }
}

TEST(RightChars, LastCharacters) {
  const struct {
    const char* text;
    std::size_t n;
    const char* expected;
    const char* in932;  // null: the same
  } cases[] = {
      {"", 1, "", nullptr},
      {"D:\\", 1, "\\", nullptr},
      {"ab", 5, "ab", nullptr},
      {"abcdef", 3, "def", nullptr},
      {"abc", 0, "", nullptr},
      {"D:\\" HYO, 1, "\\", HYO},
      {"D:\\" HYO, 2, HYO, "\\" HYO},
      {HYO SO, 3, "\\" SO, HYO SO},
      // Only a scan from the start tells 0x81 0x81 0x5C apart: the first
      // 0x81 leads, the second is its trail byte, the backslash stands alone.
      {"a\x81\x81\\", 1, "\\", nullptr},
      {"a\x81\x81\\", 2, "\x81\\", "\x81\x81\\"},
      {"\x81\x81\x81\\", 1, "\\", "\x81\\"},
      // A lead byte at the very end is a character alone.
      {"ab\x95", 1, "\x95", nullptr},
  };
  test::TestMachine machine;
  CodePage932 cp932(machine.Machine());
  for (const auto& c : cases) {
    EXPECT_EQ(RightChars(machine.Machine(), c.text, c.n), c.expected) << c.text << " " << c.n;
    EXPECT_EQ(RightChars(cp932, c.text, c.n), c.in932 ? c.in932 : c.expected)
        << c.text << " " << c.n << " in 932";
  }
}

TEST(GetMediaDir, RootSubfolderAndLongDirectory) {
  test::TestMachine machine;
  EXPECT_EQ(GetMediaDir(machine.Machine()), "D:\\");

  std::filesystem::create_directories(machine.MediumHostDir() + "/setup/disk 1");
  machine->SetCurrentDirectory("D:\\setup\\disk 1");
  EXPECT_EQ(GetMediaDir(machine.Machine()), "D:\\setup\\disk 1");

  // Longer than the 255 characters an old buffer held: still the real folder.
  std::string host = machine.MediumHostDir(), windows = "D:";
  for (int i = 0; i < 30; ++i) {
    const std::string part = "folder" + std::to_string(100 + i);
    host += "/" + part;
    windows += "\\" + part;
  }
  std::filesystem::create_directories(host);
  ASSERT_GT(windows.size(), 256u);
  machine->SetCurrentDirectory(windows);
  EXPECT_EQ(GetMediaDir(machine.Machine()), windows);
  EXPECT_EQ(MediaPath(machine.Machine(), GetMediaDir(machine.Machine()), "QAR.exe"),
            windows + "\\QAR.exe");
}

TEST(GetMediaDir, DriveLetterFromIndex) {
  test::TestMachine machine;
  machine->SetCurrentDirectory("C:\\Windows\\System");
  EXPECT_EQ(GetMediaDir(machine.Machine()), "C:\\Windows\\System");
  EXPECT_EQ(machine->GetCurrentDrive(), 2);
}

}  // namespace
}  // namespace qar
