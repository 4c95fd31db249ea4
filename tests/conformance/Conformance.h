// One list of checks of the Platform operations' behaviour, run unchanged
// against the sandbox machine on Linux and against the Win32 layer under
// Wine (or Windows). Each check sees the layer only through ConformanceEnv:
// the Platform under test plus the few setup and inspection actions that
// Platform does not offer. No <windows.h> here.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qar::conformance {

// A calendar time on the layer's local clock.
struct LocalTime {
  int year, month, day, hour, minute;
};

enum class TimeSet {
  Set,
  NotStorable,  // the host file system cannot hold this time
  Failed,
};

class ConformanceEnv {
 public:
  virtual ~ConformanceEnv() = default;

  virtual Platform& Target() = 0;

  // A new empty folder on a writable drive: its full Windows path without a
  // trailing backslash, "" when it cannot be made.
  virtual std::string MakeScratchFolder() = 0;
  // Every missing folder of a full Windows path, whatever its length.
  virtual bool MakeFolders(const std::string& path) = 0;
  // Creates or replaces a file.
  virtual bool WriteFile(const std::string& path, const std::string& contents) = 0;
  virtual bool ReadFile(const std::string& path, std::string& contents) = 0;
  // The names in a folder as stored, sorted; empty when it cannot be read.
  virtual std::vector<std::string> ListFolder(const std::string& path) = 0;
  // The last-write time that the layer's local clock shows as `when`. Local
  // means UTC plus the zone's bias in force now, as FileTimeToLocalFileTime
  // converts, whatever the bias was on that date.
  virtual TimeSet SetWriteTime(const std::string& path, const LocalTime& when) = 0;
  virtual bool SetReadOnly(const std::string& path) = 0;
  virtual bool IsReadOnly(const std::string& path) = 0;

  // A key below HKEY_LOCAL_MACHINE that does not exist yet (no leading
  // backslash); removed with everything below it when the run ends.
  virtual std::string ScratchKey() = 0;
  // A key that OpenKey cannot open for writing, "" when the system has none.
  virtual std::string UnwritableKey() = 0;
  // A REG_SZ value as stored; false when absent or of another type.
  virtual bool ReadRegistryString(const std::string& key, const std::string& name,
                                  std::string& data) = 0;

  // Makes `path` (a full Windows path) the current drive and directory;
  // false when the system refuses it.
  virtual bool SetCurrentDir(const std::string& path) = 0;
  // The root ("E:\") of a drive other than the scratch folders' that can be
  // made current, "" when there is none.
  virtual std::string OtherDriveRoot() = 0;

  // The OS name string GetOSName must give on the running system.
  virtual std::string ExpectedOsName() = 0;
};

// What one check found: failures make it fail, notes only inform (a case
// the system could not set up, and what was checked instead).
class Outcome {
 public:
  // Records a failure unless `ok`; returns `ok` so a check can stop early.
  bool Expect(bool ok, const std::string& what);
  void Note(const std::string& text) { notes_.push_back(text); }
  bool Passed() const { return failures_.empty(); }
  const std::vector<std::string>& Failures() const { return failures_; }
  const std::vector<std::string>& Notes() const { return notes_; }

 private:
  std::vector<std::string> failures_;
  std::vector<std::string> notes_;
};

struct Check {
  const char* name;
  void (*run)(ConformanceEnv& env, Outcome& out);
};

const std::vector<Check>& Checks();

// Runs one check; an exception that escapes it is a failure.
Outcome RunCheck(const Check& check, ConformanceEnv& env);

// The OS name string for each version the simulator knows; null for a name
// it does not know.
const char* ExpectedOsNameFor(const std::string& versionName);
// The names Wine takes too, for HKCU\Software\Wine "Version".
std::vector<std::string> VersionNames();

}  // namespace qar::conformance
