#include <gtest/gtest.h>

#include "TestMachine.h"
#include "deploy/VersionTable.h"

namespace qar {
namespace {

OsVersion Record(unsigned platform, unsigned major, unsigned minor, const std::string& csd) {
  OsVersion v;
  v.platformId = platform;
  v.major = major;
  v.minor = minor;
  v.SetCsd(csd);
  return v;
}

struct NamingCase {
  unsigned platform, major, minor;
  const char* csd;
  const char* expected;
};

// Every row of the naming table in order, then the cases where the order of
// the rows decides.
const NamingCase kNamingCases[] = {
    {0, 3, 10, "", "Microsoft Windows 3.1"},
    {0, 5, 1, "Service Pack 2", "Microsoft Windows 3.1"},
    {1, 4, 0, " C", "Microsoft Windows 95 OSR2"},
    {1, 4, 0, " A", "Microsoft Windows 95"},
    {1, 4, 0, " B", "Microsoft Windows 95 OSR2"},
    {1, 4, 0, "", "Microsoft Windows 95"},
    {1, 4, 0, "B", "Microsoft Windows 95"},   // only the second character counts
    {1, 4, 0, "xb", "Microsoft Windows 95"},  // case-sensitive
    {1, 4, 10, "", "Microsoft Windows 98 SE"},
    {1, 4, 10, " A", "Microsoft Windows 98 SE"},
    {1, 4, 10, " C", "Microsoft Windows 98 SE"},
    {1, 4, 90, "", "Microsoft Windows ME"},
    {1, 3, 51, "", "Microsoft Windows NT 3.51"},
    {2, 3, 51, "Service Pack 5", "Microsoft Windows NT 3.51"},
    {2, 3, 10, "", "Microsoft Windows NT 3.51"},
    {2, 4, 0, "Service Pack 6", "Microsoft Windows NT 4.0"},
    {1, 4, 3, "", "Microsoft Windows NT 4.0"},
    {2, 4, 10, "", "Microsoft Windows NT 4.0"},
    {2, 5, 0, "Service Pack 4", "Microsoft Windows 2000"},
    {1, 5, 0, "", "Microsoft Windows 2000"},
    {2, 5, 1, "Service Pack 3", "Microsoft Windows XP"},
    {2, 5, 2, "Service Pack 2", "Microsoft Windows "},
    {2, 6, 0, "", "Microsoft Windows "},
    {2, 6, 1, "", "Microsoft Windows "},
    {1, 5, 2, "", "Microsoft Windows "},
    {3, 4, 0, "", "Microsoft Windows "},
    {2, 2, 0, "", "Microsoft Windows "},
};

TEST(OsNameFor, EveryRowAndOrder) {
  for (const NamingCase& c : kNamingCases)
    EXPECT_EQ(OsNameFor(Record(c.platform, c.major, c.minor, c.csd)), c.expected)
        << "platform " << c.platform << " " << c.major << "." << c.minor << " csd '" << c.csd
        << "'";
}

TEST(OsNameFor, ReadsOnlyTheSecondCharacterOfTheRecord) {
  OsVersion v = Record(1, 4, 0, "");
  v.csd[1] = 'B';  // a text whose first character is a zero still has a second
  EXPECT_EQ(OsNameFor(v), "Microsoft Windows 95 OSR2");
  v.csd[1] = static_cast<char>(0xC2);
  EXPECT_EQ(OsNameFor(v), "Microsoft Windows 95");
}

struct NamedCase {
  const char* version;
  const char* expected;
};

const NamedCase kNamedVersions[] = {
    {"win31", "Microsoft Windows 3.1"},         {"win95", "Microsoft Windows 95"},
    {"win95osr2", "Microsoft Windows 95 OSR2"}, {"win98", "Microsoft Windows 98 SE"},
    {"win98se", "Microsoft Windows 98 SE"},     {"winme", "Microsoft Windows ME"},
    {"nt351", "Microsoft Windows NT 3.51"},     {"nt40", "Microsoft Windows NT 4.0"},
    {"win2000", "Microsoft Windows 2000"},      {"winxp", "Microsoft Windows XP"},
    {"win2003", "Microsoft Windows "},          {"vista", "Microsoft Windows "},
};

TEST(GetOSName, NamesEachSimulatedVersion) {
  test::TestMachine machine;
  for (const NamedCase& c : kNamedVersions) {
    machine->SetVersion(c.version);
    EXPECT_EQ(GetOSName(machine.Machine()), c.expected) << c.version;
  }
}

TEST(GetOSName, FailedQueryGivesEmptyName) {
  test::TestMachine machine;
  machine->SetVersionQueryFails(true);
  EXPECT_EQ(GetOSName(machine.Machine()), "");
  machine->SetVersionQueryFails(false);
  EXPECT_EQ(GetOSName(machine.Machine()), "Microsoft Windows XP");
}

TEST(GetOSName, IsNotCached) {
  test::TestMachine machine("win2000");
  EXPECT_EQ(GetOSName(machine.Machine()), "Microsoft Windows 2000");
  machine->SetVersion(Record(1, 4, 90, ""));
  EXPECT_EQ(GetOSName(machine.Machine()), "Microsoft Windows ME");
}

}  // namespace
}  // namespace qar
