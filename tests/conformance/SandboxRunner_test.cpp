// The conformance checks against the sandbox machine: each check on a fresh
// machine in temporary folders, for the versions the Wine runs use (an NT
// and a 9x one at least), and once more with the local clock five hours
// behind UTC.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Conformance.h"
#include "TestMachine.h"
#include "platform/sandbox/Sandbox.h"
#include "platform/sandbox/Versions.h"

namespace qar::conformance {
namespace {

namespace fs = std::filesystem;

class SandboxEnv : public ConformanceEnv {
 public:
  explicit SandboxEnv(const std::string& version) : version_(version) {
    machine_ = sandbox::SandboxMachine::Create(machineDir_ / "machine", version);
    machine_->MapDrive('E', otherDrive_.Path(), false);
    machine_->SetKeyReadOnly(kLockedKey, true);
  }

  Platform& Target() override { return *machine_; }

  std::string MakeScratchFolder() override {
    const std::string path = "C:\\Scratch" + std::to_string(++folders_);
    return MakeFolders(path) ? path : std::string();
  }

  bool MakeFolders(const std::string& path) override {
    // One level at a time, so each level is looked up as Windows would.
    for (std::size_t end = path.find('\\', 3);; end = path.find('\\', end + 1)) {
      const std::string host = machine_->HostPath(path.substr(0, end));
      std::error_code error;
      if (host.empty() || (!fs::is_directory(host, error) && !fs::create_directory(host, error)))
        return false;
      if (end == std::string::npos) return true;
    }
  }

  bool WriteFile(const std::string& path, const std::string& contents) override {
    const std::string host = machine_->HostPath(path);
    if (host.empty()) return false;
    std::ofstream file(host, std::ios::binary | std::ios::trunc);
    file << contents;
    return file.good();
  }

  bool ReadFile(const std::string& path, std::string& contents) override {
    const std::string host = machine_->HostPath(path);
    std::ifstream file(host, std::ios::binary);
    if (host.empty() || !file) return false;
    std::ostringstream text;
    text << file.rdbuf();
    contents = text.str();
    return true;
  }

  std::vector<std::string> ListFolder(const std::string& path) override {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(machine_->HostPath(path), error))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TimeSet SetWriteTime(const std::string& path, const LocalTime& when) override {
    struct tm fields = {};
    fields.tm_year = when.year - 1900;
    fields.tm_mon = when.month - 1;
    fields.tm_mday = when.day;
    fields.tm_hour = when.hour;
    fields.tm_min = when.minute;
    // Local as Windows converts it: the zone's offset now, on any date.
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    const time_t utc = timegm(&fields) - local.tm_gmtoff;
    const struct timespec times[2] = {{utc, 0}, {utc, 0}};
    const std::string host = machine_->HostPath(path);
    struct stat st;
    if (host.empty() || utimensat(AT_FDCWD, host.c_str(), times, 0) != 0 ||
        stat(host.c_str(), &st) != 0)
      return TimeSet::Failed;
    return st.st_mtim.tv_sec == utc ? TimeSet::Set : TimeSet::NotStorable;
  }

  bool SetReadOnly(const std::string& path) override {
    const std::string host = machine_->HostPath(path);
    struct stat st;
    return !host.empty() && stat(host.c_str(), &st) == 0 &&
           chmod(host.c_str(), st.st_mode & ~0222) == 0;
  }

  bool IsReadOnly(const std::string& path) override {
    const std::string host = machine_->HostPath(path);
    struct stat st;
    return !host.empty() && stat(host.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
  }

  std::string ScratchKey() override {
    return "SOFTWARE\\QarConformance\\Key" + std::to_string(++keys_);
  }
  std::string UnwritableKey() override { return std::string(kLockedKey) + "\\Setup"; }
  bool ReadRegistryString(const std::string& key, const std::string& name,
                          std::string& data) override {
    return machine_->ReadString(key, name, data);
  }

  bool SetCurrentDir(const std::string& path) override {
    try {
      machine_->SetCurrentDirectory(path);
      return true;
    } catch (const sandbox::SandboxError&) {
      return false;
    }
  }
  std::string OtherDriveRoot() override { return "E:\\"; }

  std::string ExpectedOsName() override {
    const char* name = ExpectedOsNameFor(version_);
    return name != nullptr ? name : "(no expected name for " + version_ + ")";
  }

 private:
  // As for a user without administrator rights.
  static constexpr const char* kLockedKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

  std::string version_;
  test::TempDir machineDir_;
  test::TempDir otherDrive_;
  std::unique_ptr<sandbox::SandboxMachine> machine_;
  int folders_ = 0;
  int keys_ = 0;
};

// Sets the TZ variable for one test and restores it after.
class ZoneScope {
 public:
  explicit ZoneScope(const std::string& zone) {
    if (zone.empty()) return;
    const char* old = getenv("TZ");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    setenv("TZ", zone.c_str(), 1);
    tzset();
    set_ = true;
  }
  ~ZoneScope() {
    if (!set_) return;
    if (hadOld_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool set_ = false;
  bool hadOld_ = false;
  std::string old_;
};

struct SandboxRun {
  std::string label;    // test name suffix
  std::string version;  // machine version
  std::string zone;     // TZ, "" for the host's
  const Check* check;
  bool bareFileSystem = false;  // no locks, no "no replace" rename
};

void PrintTo(const SandboxRun& run, std::ostream* os) {
  *os << run.label << " " << run.check->name;
}

std::vector<SandboxRun> Runs() {
  std::vector<SandboxRun> runs;
  const struct {
    const char* label;
    const char* version;
    const char* zone;
    bool bareFileSystem = false;
  } setups[] = {
      {"winxp", "winxp", ""},
      {"win2k", "win2k", ""},
      {"win98", "win98", ""},
      // Five hours behind UTC all year: a date taken in UTC lands in the
      // neighbouring year at the range edges.
      {"winxp_utc_minus5", "winxp", "QAR+5"},
      // NFS without a lock manager, or FUSE: flock and renameat2's
      // RENAME_NOREPLACE refused.
      {"winxp_bare_file_system", "winxp", "", true},
  };
  for (const auto& setup : setups)
    for (const Check& check : Checks())
      runs.push_back({setup.label, setup.version, setup.zone, &check, setup.bareFileSystem});
  // The version naming for every version the table knows.
  for (const sandbox::NamedVersion& known : sandbox::KnownVersions()) {
    const std::string version = known.name;
    if (version == "winxp" || version == "win2k" || version == "win98") continue;
    for (const Check& check : Checks())
      if (std::string(check.name) == "VersionNaming")
        runs.push_back({version, version, "", &check});
  }
  return runs;
}

class SandboxConformance : public ::testing::TestWithParam<SandboxRun> {};

TEST_P(SandboxConformance, Check) {
  const SandboxRun& run = GetParam();
  ZoneScope zone(run.zone);
  std::optional<test::HostRefusal> lock, rename;
  if (run.bareFileSystem) {
    lock.emplace(sandbox::HostCall::Lock, ENOLCK);
    rename.emplace(sandbox::HostCall::RenameNoReplace, EINVAL);
  }
  SandboxEnv env(run.version);
  const Outcome out = RunCheck(*run.check, env);
  for (const std::string& note : out.Notes()) std::cout << "note: " << note << "\n";
  for (const std::string& failure : out.Failures()) ADD_FAILURE() << failure;
}

INSTANTIATE_TEST_SUITE_P(Sandbox, SandboxConformance, ::testing::ValuesIn(Runs()),
                         [](const ::testing::TestParamInfo<SandboxRun>& info) {
                           return info.param.label + "_" + info.param.check->name;
                         });

}  // namespace
}  // namespace qar::conformance
