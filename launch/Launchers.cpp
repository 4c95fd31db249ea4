#include "launch/Launchers.h"

#include "probes/MediaDir.h"

namespace qar {

const char* const kManualPath = "Manual\\K7Q3WG_MN.pdf";
const char* const kReaderInstallerPath = "Adobe Acrobat\\ar505enu.exe";
const char* const kGatewayAddress = "http://192.168.0.1";
const char* const kPartnerAddress = "http://protection.partner.example/qar.asp";

namespace {

// The shell reports a missing file or association itself; anything raised on
// our side is dropped so these hotspots never show a box.
void Launch(Platform& platform, const std::string& target) {
  try {
    platform.ShellOpen(target);
  } catch (...) {
  }
}

void LaunchFromMedium(Platform& platform, const char* relative) {
  try {
    Launch(platform, MediaPath(platform, GetMediaDir(platform), relative));
  } catch (...) {
  }
}

}  // namespace

void OpenManual(Platform& platform) { LaunchFromMedium(platform, kManualPath); }
void RunReaderInstaller(Platform& platform) { LaunchFromMedium(platform, kReaderInstallerPath); }
void OpenGatewayPage(Platform& platform) { Launch(platform, kGatewayAddress); }
void OpenPartnerPage(Platform& platform) { Launch(platform, kPartnerAddress); }

}  // namespace qar
