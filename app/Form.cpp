#include "app/Form.h"

#include "deploy/Deploy.h"
#include "deploy/Plans.h"
#include "deploy/VersionGate.h"
#include "launch/Launchers.h"
#include "probes/MediaDir.h"
#include "probes/OsName.h"

namespace qar {

namespace {

using K = ControlKind;
using P = PictureId;

// Every picture covers the client area from (-1, -2); the excess is clipped.
constexpr Rect kPictureBounds = {-1, -2, 700, 502};

// The window layout in stacking order, bottom to top. Later rows paint over
// earlier ones and win the hit test.
const Control::Spec kLayout[] = {
    {"imgUSB", K::Picture, kPictureBounds, false, P::Usb, nullptr, ""},
    {"imguninstall", K::Picture, kPictureBounds, false, P::Uninstall, nullptr, ""},
    {"imgselvo", K::Picture, kPictureBounds, false, P::Selvo, nullptr, ""},
    {"imgInstall", K::Picture, kPictureBounds, true, P::Install, nullptr, ""},
    {"lblAcrobat", K::Hotspot, {386, 284, 306, 21}, true, P::Install, &TfrmMain::lblAcrobatClick, ""},
    {"lblOS", K::Label, {168, 12, 289, 20}, false, P::Install, nullptr, ""},
    {"lblInstall", K::Hotspot, {386, 195, 190, 23}, true, P::Install, &TfrmMain::lblInstallClick, ""},
    {"lblqar", K::Hotspot, {554, 471, 55, 22}, true, P::Install, &TfrmMain::lblqarClick, ""},
    {"lblpdf", K::Hotspot, {385, 241, 137, 21}, true, P::Install, &TfrmMain::lblpdfClick, ""},
    {"lblcd", K::Label, {144, 136, 313, 25}, false, P::Install, nullptr, "Current Path = "},
    {"lblClose", K::Hotspot, {636, 471, 53, 21}, true, P::Install, &TfrmMain::lblCloseClick, ""},
    {"lblUtility", K::Hotspot, {386, 327, 218, 21}, true, P::Install, &TfrmMain::lblUtilityClick, ""},
    {"lblmoreinfo", K::Hotspot, {489, 424, 187, 31}, true, P::Install, &TfrmMain::lblmoreinfoClick, ""},
    {"lblGateway", K::Hotspot, {385, 368, 306, 21}, true, P::Install, &TfrmMain::lblGatewayClick, ""},
};

const char* const kSecurityRestriction = "Security Restriction, Contact Administrator";
const char* const kCannotInstallCaption = "Cannot install modem driver";
const char* const kNoPermission = "Please make sure you have premission to install";
const char* const kCopyFailed = "The driver files could not be copied from the installation medium";

}  // namespace

Control::Control(TfrmMain& owner, const Spec& spec)
    : owner_(owner),
      name_(spec.name),
      kind_(spec.kind),
      bounds_(spec.bounds),
      visible_(spec.visible),
      caption_(spec.caption),
      picture_(spec.picture),
      onClick_(spec.onClick) {}

void Control::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  owner_.VisibilityChanged();
}

TfrmMain::TfrmMain(Platform& platform, FormHost& host)
    : imgUSB(*this, kLayout[0]),
      imguninstall(*this, kLayout[1]),
      imgselvo(*this, kLayout[2]),
      imgInstall(*this, kLayout[3]),
      lblAcrobat(*this, kLayout[4]),
      lblOS(*this, kLayout[5]),
      lblInstall(*this, kLayout[6]),
      lblqar(*this, kLayout[7]),
      lblpdf(*this, kLayout[8]),
      lblcd(*this, kLayout[9]),
      lblClose(*this, kLayout[10]),
      lblUtility(*this, kLayout[11]),
      lblmoreinfo(*this, kLayout[12]),
      lblGateway(*this, kLayout[13]),
      platform_(platform),
      host_(host),
      controls_{&imgUSB,  &imguninstall, &imgselvo, &imgInstall, &lblAcrobat,
                &lblOS,   &lblInstall,   &lblqar,   &lblpdf,     &lblcd,
                &lblClose, &lblUtility,  &lblmoreinfo, &lblGateway} {
  static_assert(sizeof kLayout / sizeof kLayout[0] == 14, "one member per layout row");
}

Control* TfrmMain::FindControl(const std::string& name) {
  for (Control* control : controls_)
    if (name == control->Name()) return control;
  return nullptr;
}

void TfrmMain::SetTimer1Enabled(bool enabled) {
  if (enabled == timer1Enabled_) return;
  host_.SetTimerEnabled(enabled);  // may raise; the flag then stays as it was
  timer1Enabled_ = enabled;
}

void TfrmMain::StartTimer1() {
  if (timer1Enabled_) host_.SetTimerEnabled(true);
}

Control* TfrmMain::HotspotAt(int x, int y) {
  for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
    Control* control = *it;
    if (control->Kind() == ControlKind::Hotspot && control->Visible() &&
        control->Bounds().Contains(x, y))
      return control;
  }
  return nullptr;
}

const Control* TfrmMain::TopPicture() const {
  for (auto it = controls_.rbegin(); it != controls_.rend(); ++it)
    if ((*it)->Kind() == ControlKind::Picture && (*it)->Visible()) return *it;
  return nullptr;
}

void TfrmMain::FormCreate() { lblOS.SetCaption(GetOSName(platform_)); }

void TfrmMain::Timer1Timer() {
  const std::string osName = GetOSName(platform_);
  if (imgUSB.Visible()) return;
  const bool installed = platform_.FileExists(InstallMarkerFor(osName));
  if (imgselvo.Visible()) return;
  if (installed) {
    imgInstall.SetVisible(false);
    imguninstall.SetVisible(true);
    imgselvo.SetVisible(false);
    lblmoreinfo.SetVisible(true);
  } else {
    imgInstall.SetVisible(true);
    imguninstall.SetVisible(false);
    imgselvo.SetVisible(false);
    lblmoreinfo.SetVisible(false);
  }
  lblAcrobat.SetVisible(true);
  lblInstall.SetVisible(true);
  lblpdf.SetVisible(true);
  lblGateway.SetVisible(true);
  lblUtility.SetVisible(true);
}

void TfrmMain::lblqarClick() {
  if (imgInstall.Visible()) return;
  SetTimer1Enabled(true);
  imgselvo.SetVisible(false);
  imgUSB.SetVisible(false);
  lblmoreinfo.SetVisible(false);
  imgInstall.SetVisible(true);
  lblAcrobat.SetVisible(true);
  lblInstall.SetVisible(true);
  lblpdf.SetVisible(true);
  lblGateway.SetVisible(true);
  lblUtility.SetVisible(true);
}

void TfrmMain::lblUtilityClick() {
  SetTimer1Enabled(false);
  if (imgselvo.Visible()) return;
  imgselvo.SetVisible(true);
  imgUSB.SetVisible(false);
  lblmoreinfo.SetVisible(true);
  imgInstall.SetVisible(false);
  lblAcrobat.SetVisible(false);
  lblInstall.SetVisible(false);
  lblpdf.SetVisible(false);
  lblGateway.SetVisible(false);
  lblUtility.SetVisible(false);
}

void TfrmMain::lblCloseClick() { host_.CloseWindow(); }

void TfrmMain::lblInstallClick() {
  const std::string osName = GetOSName(platform_);
  const std::string mediaDir = GetMediaDir(platform_);
  const DriverSources sources = BuildDriverSources(mediaDir);
  lblcd.SetCaption(mediaDir);

  if (!imgInstall.Visible()) {
    RemoveDriverFiles(platform_);
    return;  // the next tick notices the missing marker
  }

  if (const GateRow* gate = LookupVersionGate(osName)) {
    if (gate->refusalText != nullptr) {
      host_.ShowBox(gate->refusalText, kRefusalCaption, BoxIcon::None);
    } else {
      const Plan& plan = *gate->plan;
      if (!platform_.DirectoryExists(plan.preflightFolder) &&
          !platform_.CreateDir(plan.preflightFolder))
        throw Error(kSecurityRestriction);

      CopyDriverFiles(platform_, plan, sources);
      // Without the marker nothing usable was copied: telling the user to
      // plug in the cable would only leave Windows without a driver.
      if (!platform_.FileExists(PlanMarker(plan))) {
        host_.ShowBox(kCopyFailed, kCannotInstallCaption, BoxIcon::None);
        return;
      }
      try {
        RedirectSetupAndInstallCompanion(platform_, plan);
      } catch (...) {
        host_.ShowBox(kNoPermission, kCannotInstallCaption, BoxIcon::None);
      }
    }
  }
  ShowConnectCableScreen();
}

// imguninstall is left alone: a tick during a box may have shown it, and it
// then stays above imgUSB.
void TfrmMain::ShowConnectCableScreen() {
  imgUSB.SetVisible(true);
  imgselvo.SetVisible(false);
  lblmoreinfo.SetVisible(false);
  imgInstall.SetVisible(false);
  lblAcrobat.SetVisible(false);
  lblInstall.SetVisible(false);
  lblpdf.SetVisible(false);
  lblGateway.SetVisible(false);
  lblUtility.SetVisible(false);
}

void TfrmMain::lblpdfClick() { OpenManual(platform_); }
void TfrmMain::lblAcrobatClick() { RunReaderInstaller(platform_); }
void TfrmMain::lblGatewayClick() { OpenGatewayPage(platform_); }
void TfrmMain::lblmoreinfoClick() { OpenPartnerPage(platform_); }

}  // namespace qar
