// The main form: its controls (pictures, hotspots, hidden labels, the timer),
// their stacking order and visibility, hit testing, and the handlers. It
// knows no window toolkit; a FormHost draws it and feeds it events.
#pragma once

#include <string>
#include <vector>

#include "app/Host.h"
#include "platform/Platform.h"
#include "resources/Resources.h"

namespace qar {

struct Rect {
  int left, top, width, height;
  bool Contains(int x, int y) const {
    return x >= left && x < left + width && y >= top && y < top + height;
  }
};

enum class ControlKind { Picture, Hotspot, Label };

// The controls in stacking order, bottom to top (the order of creation):
// later ones paint over earlier ones and win the hit test.
enum class ControlId {
  imgUSB,
  imguninstall,
  imgselvo,
  imgInstall,
  lblAcrobat,
  lblOS,
  lblInstall,
  lblqar,
  lblpdf,
  lblcd,
  lblClose,
  lblUtility,
  lblmoreinfo,
  lblGateway,
};
constexpr int kControlCount = static_cast<int>(ControlId::lblGateway) + 1;

class TfrmMain;

class Control {
 public:
  using Handler = void (TfrmMain::*)();

  // One row of the layout table.
  struct Spec {
    ControlId id;
    const char* name;
    ControlKind kind;
    Rect bounds;
    bool visible;
    PictureId picture = PictureId::Install;  // pictures only
    Handler onClick = nullptr;               // hotspots only
    const char* caption = "";
  };

  Control(TfrmMain& owner, const Spec& spec);

  const char* Name() const { return name_; }
  ControlKind Kind() const { return kind_; }
  const Rect& Bounds() const { return bounds_; }
  bool Visible() const { return visible_; }
  // Setting the current value changes nothing and repaints nothing.
  void SetVisible(bool visible);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption) { caption_ = caption; }

  PictureId Picture() const { return picture_; }
  Handler OnClick() const { return onClick_; }

 private:
  friend class TfrmMain;
  TfrmMain& owner_;
  const char* name_;
  ControlKind kind_;
  Rect bounds_;
  bool visible_;
  std::string caption_;
  PictureId picture_ = PictureId::Install;
  Handler onClick_ = nullptr;
};

// The visible combinations the handlers produce. Home is the not-installed
// artwork set by the home button, which leaves imguninstall as it is.
enum class Screen { MainNotInstalled, MainInstalled, Home, PartnerService, ConnectCable };

class TfrmMain {
 public:
  static constexpr int kClientWidth = 690;
  static constexpr int kClientHeight = 495;

  // Lays out the controls; FormCreate is run by the application.
  TfrmMain(Platform& platform, FormHost& host);
  TfrmMain(const TfrmMain&) = delete;
  TfrmMain& operator=(const TfrmMain&) = delete;

  Control& operator[](ControlId id) { return controls_[static_cast<std::size_t>(id)]; }
  const Control& operator[](ControlId id) const { return controls_[static_cast<std::size_t>(id)]; }
  // In stacking order, bottom to top.
  const std::vector<Control>& Controls() const { return controls_; }
  Control* FindControl(const std::string& name);

  // Timer1: 1 ms, enabled at start. Enabling may raise kNoTimerLeft from
  // the host.
  bool Timer1Enabled() const { return timer1Enabled_; }
  void SetTimer1Enabled(bool enabled);
  // Asks the host for the timer the form was created with.
  void StartTimer1();

  // The top-most visible hotspot holding the point, or null.
  Control* HotspotAt(int x, int y);
  // The top-most visible picture (what the window shows), or null.
  const Control* TopPicture() const;

  // Shows and hides what the screen's row says; leaves the other controls.
  void ApplyScreen(Screen screen);

  // Handlers.
  void FormCreate();
  void Timer1Timer();
  void lblInstallClick();
  void lblpdfClick();
  void lblAcrobatClick();
  void lblUtilityClick();
  void lblGatewayClick();
  void lblmoreinfoClick();
  void lblqarClick();
  void lblCloseClick();

 private:
  friend class Control;
  void VisibilityChanged() { host_.Invalidate(); }

  Platform& platform_;
  FormHost& host_;
  std::vector<Control> controls_;
  bool timer1Enabled_ = true;
};

}  // namespace qar
