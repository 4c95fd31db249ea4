#include "app/Form.h"

#include "deploy/Deploy.h"
#include "deploy/VersionGate.h"
#include "launch/Launchers.h"
#include "probes/MediaDir.h"
#include "probes/OsName.h"

namespace qar {

namespace {

using C = ControlId;
using K = ControlKind;
using P = PictureId;

// Every picture covers the client area from (-1, -2); the excess is clipped.
constexpr Rect kPictureBounds = {-1, -2, 700, 502};

// The window layout in stacking order, bottom to top.
constexpr Control::Spec kLayout[] = {
    {C::imgUSB, "imgUSB", K::Picture, kPictureBounds, false, P::Usb, nullptr, ""},
    {C::imguninstall, "imguninstall", K::Picture, kPictureBounds, false, P::Uninstall, nullptr, ""},
    {C::imgselvo, "imgselvo", K::Picture, kPictureBounds, false, P::Selvo, nullptr, ""},
    {C::imgInstall, "imgInstall", K::Picture, kPictureBounds, true, P::Install, nullptr, ""},
    {C::lblAcrobat,
     "lblAcrobat",
     K::Hotspot,
     {386, 284, 306, 21},
     true,
     P::Install,
     &TfrmMain::lblAcrobatClick,
     ""},
    {C::lblOS, "lblOS", K::Label, {168, 12, 289, 20}, false, P::Install, nullptr, ""},
    {C::lblInstall,
     "lblInstall",
     K::Hotspot,
     {386, 195, 190, 23},
     true,
     P::Install,
     &TfrmMain::lblInstallClick,
     ""},
    {C::lblqar, "lblqar", K::Hotspot, {554, 471, 55, 22}, true, P::Install, &TfrmMain::lblqarClick, ""},
    {C::lblpdf, "lblpdf", K::Hotspot, {385, 241, 137, 21}, true, P::Install, &TfrmMain::lblpdfClick, ""},
    {C::lblcd, "lblcd", K::Label, {144, 136, 313, 25}, false, P::Install, nullptr, "Current Path = "},
    {C::lblClose, "lblClose", K::Hotspot, {636, 471, 53, 21}, true, P::Install, &TfrmMain::lblCloseClick, ""},
    {C::lblUtility,
     "lblUtility",
     K::Hotspot,
     {386, 327, 218, 21},
     true,
     P::Install,
     &TfrmMain::lblUtilityClick,
     ""},
    {C::lblmoreinfo,
     "lblmoreinfo",
     K::Hotspot,
     {489, 424, 187, 31},
     true,
     P::Install,
     &TfrmMain::lblmoreinfoClick,
     ""},
    {C::lblGateway,
     "lblGateway",
     K::Hotspot,
     {385, 368, 306, 21},
     true,
     P::Install,
     &TfrmMain::lblGatewayClick,
     ""},
};

constexpr bool RowsInIdOrder() {
  int index = 0;
  for (const Control::Spec& spec : kLayout)
    if (static_cast<int>(spec.id) != index++) return false;
  return index == kControlCount;
}

using ControlSet = unsigned;

constexpr ControlSet Set(std::initializer_list<ControlId> ids) {
  ControlSet set = 0;
  for (ControlId id : ids) set |= 1u << static_cast<int>(id);
  return set;
}

constexpr ControlSet kMenu = Set({C::lblAcrobat, C::lblInstall, C::lblpdf, C::lblGateway, C::lblUtility});

// What each screen shows and hides; every other control keeps its flag. The
// screens that leave imguninstall alone can end up with it visible beneath
// (or, after a tick during a box, above) their own picture.
struct ScreenRow {
  Screen screen;
  ControlSet shown;
  ControlSet hidden;
};
constexpr ScreenRow kScreens[] = {
    {Screen::MainNotInstalled, Set({C::imgInstall}) | kMenu,
     Set({C::imguninstall, C::imgselvo, C::lblmoreinfo})},
    {Screen::MainInstalled, Set({C::imguninstall, C::lblmoreinfo}) | kMenu,
     Set({C::imgInstall, C::imgselvo})},
    {Screen::Home, Set({C::imgInstall}) | kMenu, Set({C::imgselvo, C::imgUSB, C::lblmoreinfo})},
    {Screen::PartnerService, Set({C::imgselvo, C::lblmoreinfo}), Set({C::imgUSB, C::imgInstall}) | kMenu},
    {Screen::ConnectCable, Set({C::imgUSB}), Set({C::imgselvo, C::lblmoreinfo, C::imgInstall}) | kMenu},
};

constexpr bool ScreensWellFormed() {
  int index = 0;
  for (const ScreenRow& row : kScreens)
    if (static_cast<int>(row.screen) != index++ || (row.shown & row.hidden) != 0) return false;
  return true;
}

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

TfrmMain::TfrmMain(Platform& platform, FormHost& host) : platform_(platform), host_(host) {
  static_assert(RowsInIdOrder(), "one layout row per control, in ControlId order");
  static_assert(ScreensWellFormed(), "one screen row per screen, in Screen order");
  controls_.reserve(kControlCount);  // never grows again: pointers to controls stay valid
  for (const Control::Spec& spec : kLayout) controls_.emplace_back(*this, spec);
}

Control* TfrmMain::FindControl(const std::string& name) {
  for (Control& control : controls_)
    if (name == control.Name()) return &control;
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
  for (auto it = controls_.rbegin(); it != controls_.rend(); ++it)
    if (it->Kind() == ControlKind::Hotspot && it->Visible() && it->Bounds().Contains(x, y)) return &*it;
  return nullptr;
}

const Control* TfrmMain::TopPicture() const {
  for (auto it = controls_.rbegin(); it != controls_.rend(); ++it)
    if (it->Kind() == ControlKind::Picture && it->Visible()) return &*it;
  return nullptr;
}

void TfrmMain::ApplyScreen(Screen screen) {
  const ScreenRow& row = kScreens[static_cast<int>(screen)];
  for (std::size_t i = 0; i < controls_.size(); ++i) {
    const ControlSet bit = 1u << i;
    if (row.shown & bit)
      controls_[i].SetVisible(true);
    else if (row.hidden & bit)
      controls_[i].SetVisible(false);
  }
}

void TfrmMain::FormCreate() { (*this)[C::lblOS].SetCaption(GetOSName(platform_)); }

void TfrmMain::Timer1Timer() {
  const std::string osName = GetOSName(platform_);
  if ((*this)[C::imgUSB].Visible()) return;
  const bool installed = platform_.FileExists(InstallMarkerFor(osName));
  if ((*this)[C::imgselvo].Visible()) return;
  ApplyScreen(installed ? Screen::MainInstalled : Screen::MainNotInstalled);
}

void TfrmMain::lblqarClick() {
  if ((*this)[C::imgInstall].Visible()) return;
  SetTimer1Enabled(true);
  ApplyScreen(Screen::Home);
}

void TfrmMain::lblUtilityClick() {
  SetTimer1Enabled(false);
  if ((*this)[C::imgselvo].Visible()) return;
  ApplyScreen(Screen::PartnerService);
}

void TfrmMain::lblCloseClick() { host_.CloseWindow(); }

void TfrmMain::lblInstallClick() {
  const std::string osName = GetOSName(platform_);
  const std::string mediaDir = GetMediaDir(platform_);
  (*this)[C::lblcd].SetCaption(mediaDir);

  if (!(*this)[C::imgInstall].Visible()) {
    RemoveDriverFiles(platform_);
    return;  // the next tick notices the missing marker
  }

  // A box may run ticks, which may show imguninstall; the connect-cable
  // screen then leaves it above imgUSB.
  const InstallResult result = InstallDriver(platform_, osName, mediaDir);
  switch (result.outcome) {
    case InstallOutcome::SecurityError:
      throw Error(kSecurityRestriction);
    case InstallOutcome::CopyFailed:
      // Telling the user to plug in the cable would only leave Windows
      // without a driver.
      host_.ShowBox(kCopyFailed, kCannotInstallCaption, BoxIcon::None);
      return;
    case InstallOutcome::Refused:
      host_.ShowBox(result.refusalText, kRefusalCaption, BoxIcon::None);
      break;
    case InstallOutcome::PermissionRefused:
      host_.ShowBox(kNoPermission, kCannotInstallCaption, BoxIcon::None);
      break;
    case InstallOutcome::Unrecognised:
    case InstallOutcome::Done:
      break;
  }
  ApplyScreen(Screen::ConnectCable);
}

void TfrmMain::lblpdfClick() { OpenManual(platform_); }
void TfrmMain::lblAcrobatClick() { RunReaderInstaller(platform_); }
void TfrmMain::lblGatewayClick() { OpenGatewayPage(platform_); }
void TfrmMain::lblmoreinfoClick() { OpenPartnerPage(platform_); }

}  // namespace qar
