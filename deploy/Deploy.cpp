#include "deploy/Deploy.h"

#include "deploy/MediumCheck.h"
#include "deploy/Plans.h"
#include "deploy/VersionGate.h"
#include "probes/MediaDir.h"

namespace qar {

namespace {

const char* const kSetupKey = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup";
const char* const kRunKey = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char* const kCompanionFolder = "C:\\QAR";
const char* const kCompanionProgram = "C:\\QAR\\QAR.exe";
const char* const kCompanionSource = "QAR.exe";
const char* const kCompanionValue = "QAR";
const char* const kSourcePathValue = "SourcePath";
const char* const kInstallationSourcesValue = "Installation Sources";

// What must hold before the first copy; nothing is copied unless it does.
bool Preflight(Platform& platform, const Plan& plan) {
  return platform.DirectoryExists(plan.preflightFolder) || platform.CreateDir(plan.preflightFolder);
}

// The 48 copies of the plan; each result is ignored.
void CopyDriverFiles(Platform& platform, const Plan& plan, const DriverSources& sources) {
  for (const Copy& copy : PlanCopies(plan, sources)) platform.CopyFile(copy.source, copy.target);
}

// Raises when the Setup key cannot be opened or written.
void WriteSetupValue(Platform& platform, const std::string& name, const std::string& data) {
  auto key = platform.OpenKey(kSetupKey);
  WriteString(key.get(), name, data);
}

// The outcome is not used.
void DeleteSetupValue(Platform& platform, const std::string& name) {
  auto key = platform.OpenKey(kSetupKey);
  if (key) key->DeleteValue(name);
}

// Raises when the Run key cannot be opened or written.
void RegisterCompanionAutoRun(Platform& platform) {
  auto key = platform.OpenKey(kRunKey);
  WriteString(key.get(), kCompanionValue, kCompanionProgram);
}

// Copies QAR.exe from the media directory into C:\QAR and registers it to
// start with Windows. Never raises: the companion is optional, and whatever
// goes wrong with it never reaches the user.
void InstallCompanionProgram(Platform& platform, const std::string& mediaDir) {
  const std::string source = MediaPath(mediaDir, kCompanionSource);
  try {
    platform.CreateDir(kCompanionFolder);
    platform.CopyFile(source, kCompanionProgram);
    // Without the program, a Run value would make Windows try to start a
    // missing file at every log-on.
    if (platform.FileExists(kCompanionProgram)) RegisterCompanionAutoRun(platform);
  } catch (...) {
  }
}

// Raises when the SourcePath write fails; the later steps then do not run.
void RedirectSetupAndInstallCompanion(Platform& platform, const Plan& plan, const std::string& mediaDir) {
  WriteSetupValue(platform, kSourcePathValue, plan.setupSourcePath);
  DeleteSetupValue(platform, kInstallationSourcesValue);
  InstallCompanionProgram(platform, mediaDir);
}

}  // namespace

InstallResult InstallDriver(Platform& platform, const std::string& osName, const std::string& mediaDir) {
  const GateRow* gate = LookupVersionGate(osName);
  if (gate == nullptr) return {InstallOutcome::Unrecognised};
  if (gate->refusalText != nullptr) return {InstallOutcome::Refused, gate->refusalText};

  const Plan& plan = *gate->plan;
  const DriverSources sources = BuildDriverSources(mediaDir);
  // Checked before anything is written, preflight folder included: a
  // damaged medium leaves the machine as it was.
  if (!MediumHoldsDriverFiles(platform, sources)) return {InstallOutcome::CopyFailed};
  if (!Preflight(platform, plan)) return {InstallOutcome::SecurityError};
  CopyDriverFiles(platform, plan, sources);
  // Without the marker nothing usable was copied.
  if (!platform.FileExists(PlanMarker(plan))) return {InstallOutcome::CopyFailed};
  try {
    RedirectSetupAndInstallCompanion(platform, plan, mediaDir);
  } catch (...) {
    // Whatever stopped the registry work, the user is told the same.
    return {InstallOutcome::PermissionRefused};
  }
  return {InstallOutcome::Done};
}

void RemoveDriverFiles(Platform& platform) {
  for (const std::string& path : RemovalList())
    if (platform.FileExists(path)) platform.DeleteFile(path);
}

}  // namespace qar
