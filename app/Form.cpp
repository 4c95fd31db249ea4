#include "app/Form.h"

#include "app/ErrorBox.h"
#include "deploy/Deploy.h"
#include "deploy/VersionTable.h"
#include "launch/Launchers.h"
#include "probes/MediaDir.h"

namespace qar {

namespace {

using C = ControlId;
using K = ControlKind;
using P = PictureId;

// Every picture covers the client area from (-1, -2); the excess is clipped.
constexpr Rect kPictureBounds = {-1, -2, 700, 502};

// Rows by kind: every picture covers the client area, every hotspot is
// visible at start, every label hidden.
constexpr Control::Spec Picture(ControlId id, const char* name, bool visible, PictureId picture) {
  return {id, name, K::Picture, kPictureBounds, visible, picture};
}
constexpr Control::Spec Hotspot(ControlId id, const char* name, Rect bounds,
                                Control::Handler onClick) {
  return {id, name, K::Hotspot, bounds, true, PictureId::Install, onClick};
}
constexpr Control::Spec Label(ControlId id, const char* name, Rect bounds,
                              const char* caption = "") {
  return {id, name, K::Label, bounds, false, PictureId::Install, nullptr, caption};
}

// The window layout in stacking order, bottom to top.
// clang-format off
constexpr Control::Spec kLayout[] = {
    Picture(C::imgUSB,       "imgUSB",       false, P::Usb),
    Picture(C::imguninstall, "imguninstall", false, P::Uninstall),
    Picture(C::imgselvo,     "imgselvo",     false, P::Selvo),
    Picture(C::imgInstall,   "imgInstall",   true,  P::Install),
    Hotspot(C::lblAcrobat,   "lblAcrobat",   {386, 284, 306, 21}, &TfrmMain::lblAcrobatClick),
    Label  (C::lblOS,        "lblOS",        {168, 12, 289, 20}),
    Hotspot(C::lblInstall,   "lblInstall",   {386, 195, 190, 23}, &TfrmMain::lblInstallClick),
    Hotspot(C::lblqar,       "lblqar",       {554, 471, 55, 22},  &TfrmMain::lblqarClick),
    Hotspot(C::lblpdf,       "lblpdf",       {385, 241, 137, 21}, &TfrmMain::lblpdfClick),
    Label  (C::lblcd,        "lblcd",        {144, 136, 313, 25}, "Current Path = "),
    Hotspot(C::lblClose,     "lblClose",     {636, 471, 53, 21},  &TfrmMain::lblCloseClick),
    Hotspot(C::lblUtility,   "lblUtility",   {386, 327, 218, 21}, &TfrmMain::lblUtilityClick),
    Hotspot(C::lblmoreinfo,  "lblmoreinfo",  {489, 424, 187, 31}, &TfrmMain::lblmoreinfoClick),
    Hotspot(C::lblGateway,   "lblGateway",   {385, 368, 306, 21}, &TfrmMain::lblGatewayClick),
};
// clang-format on

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

constexpr ControlSet kMenu =
    Set({C::lblAcrobat, C::lblInstall, C::lblpdf, C::lblGateway, C::lblUtility});

// What each screen shows and hides; every other control keeps its flag. The
// screens that leave imguninstall alone can end up with it visible beneath
// (or, after a tick during a box, above) their own picture.
struct ScreenRow {
  Screen screen;
  ControlSet shown;
  ControlSet hidden;
};
// clang-format off
constexpr ScreenRow kScreens[] = {
    {Screen::MainNotInstalled, Set({C::imgInstall}) | kMenu,                   Set({C::imguninstall, C::imgselvo, C::lblmoreinfo})},
    {Screen::MainInstalled,    Set({C::imguninstall, C::lblmoreinfo}) | kMenu, Set({C::imgInstall, C::imgselvo})},
    {Screen::Home,             Set({C::imgInstall}) | kMenu,                   Set({C::imgselvo, C::imgUSB, C::lblmoreinfo})},
    {Screen::PartnerService,   Set({C::imgselvo, C::lblmoreinfo}),             Set({C::imgUSB, C::imgInstall}) | kMenu},
    {Screen::ConnectCable,     Set({C::imgUSB}),                               Set({C::imgselvo, C::lblmoreinfo, C::imgInstall}) | kMenu},
};
// clang-format on

constexpr bool ScreensWellFormed() {
  int index = 0;
  for (const ScreenRow& row : kScreens)
    if (static_cast<int>(row.screen) != index++ || (row.shown & row.hidden) != 0) return false;
  return true;
}

const char* const kSecurityRestriction = "Security Restriction, Contact Administrator";
const char* const kCannotInstallCaption = "Cannot install modem driver";
// "premission" is the product's own spelling, kept on purpose.
const char* const kNoPermission = "Please make sure you have premission to install";
const char* const kCopyFailed = "The driver files could not be copied from the installation medium";
const char* const kCopyTargetFailed = "The driver files could not be copied to the Windows folder";
const char* const kCannotRemoveCaption = "Cannot remove modem driver";
const char* const kRemovalFailed = "The modem driver could not be removed";

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
    if (it->Kind() == ControlKind::Hotspot && it->Visible() && it->Bounds().Contains(x, y))
      return &*it;
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
  const WindowsVersion* version = RunningVersion(platform_);
  if ((*this)[C::imgUSB].Visible()) return;
  const bool installed = platform_.FileExists(InstallMarkerOf(version));
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
  const WindowsVersion* version = RunningVersion(platform_);  // what GetOSName names
  const std::string mediaDir = GetMediaDir(platform_);
  (*this)[C::lblcd].SetCaption(mediaDir);

  if (!(*this)[C::imgInstall].Visible()) {
    // The next tick notices a missing marker; one whose delete was refused
    // would leave the user on the installed screen without a word. One whose
    // delete completes later goes by itself.
    if (!RemoveDriverFiles(platform_, InstallMarkerOf(version)))
      host_.ShowBox(kRemovalFailed, kCannotRemoveCaption, BoxIcon::None);
    return;
  }

  // A box may run ticks, which may show imguninstall; the connect-cable
  // screen then leaves it above imgUSB.
  const InstallResult result = InstallDriver(platform_, version, mediaDir);
  switch (result.outcome) {
    case InstallOutcome::SecurityError:
      ShowErrorBox(host_, kSecurityRestriction);
      return;
    case InstallOutcome::CopyFailed:
      // Telling the user to plug in the cable would only leave Windows
      // without a driver.
      host_.ShowBox(result.copySide == CopyResult::Target ? kCopyTargetFailed : kCopyFailed,
                    kCannotInstallCaption, BoxIcon::None);
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
