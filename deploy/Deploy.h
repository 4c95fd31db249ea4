// The steps of an install and of a removal, each on the platform.
#pragma once

#include <string>

#include "deploy/Plans.h"
#include "platform/Platform.h"

namespace qar {

extern const char* const kSetupKey;          // "\SOFTWARE\...\CurrentVersion\Setup"
extern const char* const kRunKey;            // "\SOFTWARE\...\CurrentVersion\Run"
extern const char* const kCompanionFolder;   // "C:\QAR"
extern const char* const kCompanionProgram;  // "C:\QAR\QAR.exe"

// The 48 copies of the plan; each result is ignored.
void CopyDriverFiles(Platform& platform, const Plan& plan, const DriverSources& sources);

// Raises when the Setup key cannot be opened or written.
void WriteSetupValue(Platform& platform, const std::string& name, const std::string& data);
// The outcome is not used.
void DeleteSetupValue(Platform& platform, const std::string& name);

// Copies QAR.exe from the media directory into C:\QAR and registers it to
// start with Windows. Raises only what is not one of our errors; ours are
// dropped silently.
void InstallCompanionProgram(Platform& platform, const std::string& mediaDir);
// Raises when the Run key cannot be opened or written.
void RegisterCompanionAutoRun(Platform& platform);

// The setup-source redirection and the companion, in order. Raises when the
// SourcePath write fails; the later steps then do not run.
void RedirectSetupAndInstallCompanion(Platform& platform, const Plan& plan, const std::string& mediaDir);

enum class InstallOutcome {
  Refused,            // the version has a refusal box; nothing written
  Unrecognised,       // the version is in no row; nothing written
  SecurityError,      // the preflight folder is missing and cannot be made
  CopyFailed,         // a driver file on the medium is missing or empty, or no marker after the copies
  PermissionRefused,  // files copied, but SourcePath could not be written
  Done,
};

struct InstallResult {
  InstallOutcome outcome;
  const char* refusalText = nullptr;  // for Refused
};

// The whole install for the named version from the media directory: gate,
// preflight, copies, registry and companion. Only our own errors become an
// outcome; anything else is raised.
InstallResult InstallDriver(Platform& platform, const std::string& osName, const std::string& mediaDir);

// Deletes whatever of the removal list exists; shows and reports nothing.
void RemoveDriverFiles(Platform& platform);

}  // namespace qar
