#include "deploy/Deploy.h"

#include <cassert>

#include "deploy/MediumCheck.h"
#include "deploy/Plans.h"
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

// One copy, checked: CopyFile succeeded and the target has the source's
// size, read by find-first as the medium check reads it (never the date
// rule: a medium dated before 1980 still copies). A short target after a
// copy that reported success is the medium's fault: Wine's CopyFileA ends
// a copy at a read error and calls it done, while a failed write it
// reports. A read-only or hidden target left by an earlier install or
// another tool would make CopyFileA fail, so its attributes are cleared
// first.
CopyResult CopyChecked(Platform& platform, const std::string& source, const std::string& target) {
  platform.ClearAttributes(target);
  const CopyResult copied = platform.CopyFile(source, target);
  if (!copied) return copied;
  std::uint64_t want = 0, got = 0;
  if (!platform.FileSize(target, got)) return {CopyResult::Target};
  if (!platform.FileSize(source, want) || got != want) return {CopyResult::Source};
  return {};
}

// Deletes the temporary marker, this program's own file, whatever its
// date (FileExists would pass over one dated before 1980). ClearAttributes
// fails when there is no such file.
void DeleteTemporaryMarker(Platform& platform, const std::string& path) {
  if (platform.ClearAttributes(path)) platform.DeleteFile(path);
}

// The 48 copies of the plan, in table order except the marker's, which
// comes last: made under a temporary name beside it when the other 47 all
// worked, checked, and renamed into place after the old marker is deleted.
// A failure does not stop the other copies; the first one is returned. A
// temporary that is not renamed into place is deleted.
CopyResult CopyDriverFiles(Platform& platform, const Plan& plan, const DriverSources& sources) {
  const std::string marker = PlanMarker(plan);
  const std::vector<Copy> copies = PlanCopies(plan, sources);
  CopyResult result;
  const Copy* markerCopy = nullptr;
  for (const Copy& copy : copies) {
    if (copy.target == marker) {
      markerCopy = &copy;
      continue;
    }
    const CopyResult copied = CopyChecked(platform, copy.source, copy.target);
    if (result && !copied) result = copied;
  }
  assert(markerCopy != nullptr);
  if (!result) return result;
  const std::string temporary = PlanMarkerTemporary(plan);
  result = CopyChecked(platform, markerCopy->source, temporary);
  if (result) {
    // MoveFileA does not replace an existing file.
    platform.ClearAttributes(marker);
    platform.DeleteFile(marker);
    if (platform.RenameFile(temporary, marker)) return {};
    result = {CopyResult::Target};
  }
  DeleteTemporaryMarker(platform, temporary);
  return result;
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

// Copies QAR.exe from the media directory into C:\QAR, checked as a driver
// copy is, and registers it to start with Windows. Never raises: the
// companion is optional, and whatever goes wrong with it never reaches the
// user.
void InstallCompanionProgram(Platform& platform, const std::string& mediaDir) {
  const std::string source = MediaPath(platform, mediaDir, kCompanionSource);
  try {
    platform.CreateDir(kCompanionFolder);
    // Only this copy counts: a Run value for a missing or partial program, or
    // for a stale one from an earlier install, would have Windows start the
    // wrong thing at every log-on.
    if (CopyChecked(platform, source, kCompanionProgram)) RegisterCompanionAutoRun(platform);
  } catch (...) {
  }
}

// Raises when the SourcePath write fails; the later steps then do not run.
void RedirectSetupAndInstallCompanion(Platform& platform, const Plan& plan,
                                      const std::string& mediaDir) {
  WriteSetupValue(platform, kSourcePathValue, plan.setupSourcePath);
  DeleteSetupValue(platform, kInstallationSourcesValue);
  InstallCompanionProgram(platform, mediaDir);
}

}  // namespace

InstallResult InstallDriver(Platform& platform, const WindowsVersion* version,
                            const std::string& mediaDir) {
  // Rows of one name share their plan and refusal, so the row decides as
  // its name would.
  if (version != nullptr && version->refusalText != nullptr)
    return {InstallOutcome::Refused, version->refusalText};
  if (version == nullptr || version->plan == nullptr) return {InstallOutcome::Unrecognised};

  const Plan& plan = *version->plan;
  const DriverSources sources = BuildDriverSources(platform, mediaDir);
  // Checked before anything is written, preflight folder included: a
  // damaged medium leaves the machine as it was.
  if (!MediumHoldsDriverFiles(platform, sources))
    return {InstallOutcome::CopyFailed, nullptr, CopyResult::Source};
  if (!Preflight(platform, plan)) return {InstallOutcome::SecurityError};
  // An incomplete driver would only fail when the cable is connected:
  // neither the setup source nor the companion are written for it.
  const CopyResult copied = CopyDriverFiles(platform, plan, sources);
  if (!copied) return {InstallOutcome::CopyFailed, nullptr, copied.failed};
  try {
    RedirectSetupAndInstallCompanion(platform, plan, mediaDir);
  } catch (...) {
    // Whatever stopped the registry work, the user is told the same.
    return {InstallOutcome::PermissionRefused};
  }
  return {InstallOutcome::Done};
}

bool RemoveDriverFiles(Platform& platform, const std::string& marker) {
  bool markerDeleted = false;
  for (const std::string& path : RemovalList()) {
    if (!platform.FileExists(path)) continue;
    // DeleteFileA refuses a read-only file (one left by another installer);
    // hidden and system go with it.
    platform.ClearAttributes(path);
    // The list spells the markers as PlanMarker does.
    if (platform.DeleteFile(path) && path == marker) markerDeleted = true;
  }
  // Left by an install that was stopped before its rename.
  for (const Plan* plan : {&kPlanW, &kPlanN})
    DeleteTemporaryMarker(platform, PlanMarkerTemporary(*plan));
  // A scanner or indexer holding the marker with delete sharing lets the
  // delete succeed while the file stays visible until it lets go.
  return markerDeleted || !platform.FileExists(marker);
}

}  // namespace qar
