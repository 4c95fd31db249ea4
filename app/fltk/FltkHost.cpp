#include "app/fltk/FltkHost.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace qar::fltk {

namespace {

// Timer1 asks for 1 ms, but Windows raises any SetTimer interval below
// USER_TIMER_MINIMUM (10 ms) to that minimum, so the wizard has never ticked
// faster than this; ticking at the same rate keeps the simulator faithful and
// its idle load low.
constexpr double kRequestedInterval = 0.001;
constexpr double kWindowsTimerMinimum = 0.010;
constexpr double kTimerInterval =
    kRequestedInterval < kWindowsTimerMinimum ? kWindowsTimerMinimum : kRequestedInterval;

// The red stop sign of an error box.
class ErrorIcon : public Fl_Box {
 public:
  ErrorIcon(int x, int y, int w, int h) : Fl_Box(x, y, w, h) {}
  void draw() override {
    fl_color(FL_RED);
    fl_pie(x(), y(), w(), h(), 0, 360);
    fl_color(FL_WHITE);
    fl_line_style(FL_SOLID, 4);
    const int m = w() / 3;
    fl_line(x() + m, y() + m, x() + w() - m, y() + h() - m);
    fl_line(x() + w() - m, y() + m, x() + m, y() + h() - m);
    fl_line_style(0);
  }
};

// A modal box with an OK button. Its loop is Fl::wait(), so timeouts (the
// form's ticks) keep firing while it is open.
void RunBox(Fl_Window* owner, const std::string& text, const std::string& caption, bool error) {
  fl_font(FL_HELVETICA, 14);
  int textW = 360, textH = 0;
  fl_measure(text.c_str(), textW, textH);
  textW = std::max(textW, 200);
  textH = std::max(textH, 32);
  const int iconW = error ? 48 : 0;
  const int w = 20 + iconW + textW + 20, h = 20 + textH + 20 + 30 + 14;

  Fl_Window box(w, h, caption.c_str());
  if (error) new ErrorIcon(16, 20, 32, 32);
  auto* label = new Fl_Box(20 + iconW, 20, textW, textH);
  label->copy_label(text.c_str());
  label->labelsize(14);
  label->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  auto* ok = new Fl_Return_Button((w - 80) / 2, h - 44, 80, 28, "OK");
  ok->callback([](Fl_Widget* button, void*) { button->window()->hide(); });
  box.end();
  box.set_modal();
  if (owner != nullptr && owner->shown())
    box.position(owner->x() + (owner->w() - w) / 2, owner->y() + (owner->h() - h) / 2);
  box.show();
  while (box.shown()) Fl::wait();
}

}  // namespace

WizardWindow::WizardWindow(FltkHost& host)
    : Fl_Double_Window(TfrmMain::kClientWidth, TfrmMain::kClientHeight, kMainCaption), host_(host) {
  color(FL_WHITE);
  size_range(w(), h(), w(), h());  // fixed size
  position((Fl::w() - w()) / 2, (Fl::h() - h()) / 2);
  iconlabel(kApplicationTitle);
  xclass("qar-wizard");
  end();
}

void WizardWindow::draw() { host_.Draw(); }

int WizardWindow::handle(int event) {
  Application* app = host_.app_;
  if (app == nullptr || !app->HasForm()) return Fl_Double_Window::handle(event);
  switch (event) {
    case FL_PUSH:
      if (Fl::event_button() == FL_LEFT_MOUSE) app->MouseDown(Fl::event_x(), Fl::event_y());
      return 1;
    case FL_RELEASE:
      if (Fl::event_button() == FL_LEFT_MOUSE) app->MouseUp(Fl::event_x(), Fl::event_y());
      return 1;
    case FL_ENTER:
    case FL_MOVE:
    case FL_DRAG:
      cursor(app->HandCursorAt(Fl::event_x(), Fl::event_y()) ? FL_CURSOR_HAND : FL_CURSOR_DEFAULT);
      return 1;
    case FL_LEAVE:
      cursor(FL_CURSOR_DEFAULT);
      return 1;
    default:
      return Fl_Double_Window::handle(event);
  }
}

FltkHost::FltkHost(sandbox::SandboxMachine& machine) : machine_(machine) {}

FltkHost::~FltkHost() {
  if (timerRunning_) Fl::remove_timeout(&FltkHost::OnTimer, this);
}

void FltkHost::LoadArtwork() {
  for (PictureId id :
       {PictureId::Install, PictureId::Uninstall, PictureId::Usb, PictureId::Selvo}) {
    const Pixels& rgb = pictures_.Get(id);
    images_[id] = std::make_unique<Fl_RGB_Image>(rgb.bytes.data(), rgb.width, rgb.height, 3);
  }
  iconPixels_ = DecodeIcon();
  icon_ = std::make_unique<Fl_RGB_Image>(iconPixels_.rgba.data(), iconPixels_.width,
                                         iconPixels_.height, 4);
}

void FltkHost::Run() {
  window_ = std::make_unique<WizardWindow>(*this);
  window_->callback(&FltkHost::OnCloseRequest, this);
  if (icon_) window_->icon(icon_.get());
  window_->show();
  Fl::run();
}

void FltkHost::Draw() {
  fl_color(FL_WHITE);
  fl_rectf(0, 0, window_->w(), window_->h());
  if (app_ != nullptr && app_->HasForm()) {
    if (const Control* picture = app_->Form().TopPicture()) {
      auto it = images_.find(picture->Picture());
      if (it != images_.end()) {
        const Rect& r = picture->Bounds();
        it->second->draw(r.left, r.top);
      }
    }
  }
  if (!painted_) {
    painted_ = true;
    // Wall-clock time, so a script can measure from before it started us.
    if (std::getenv("QAR_WIZARD_REPORT_FIRST_PAINT") != nullptr) {
      const auto now = std::chrono::system_clock::now().time_since_epoch();
      std::fprintf(stderr, "first paint at %lld us\n",
                   static_cast<long long>(
                       std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
    }
  }
}

void FltkHost::ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) {
  machine_.RecordBox(text, caption, icon);
  RunBox(window_.get(), text, caption, icon == BoxIcon::Error);
}

void FltkHost::SetTimerEnabled(bool enabled) {
  if (enabled == timerRunning_) return;
  if (enabled)
    Fl::add_timeout(kTimerInterval, &FltkHost::OnTimer, this);
  else
    Fl::remove_timeout(&FltkHost::OnTimer, this);
  timerRunning_ = enabled;
}

void FltkHost::OnTimer(void* self) {
  auto* host = static_cast<FltkHost*>(self);
  // Re-arm first: the tick may open a box whose loop must keep ticking, or
  // stop the timer, which removes this timeout again.
  Fl::repeat_timeout(kTimerInterval, &FltkHost::OnTimer, self);
  if (host->app_ != nullptr) host->app_->Tick();
}

void FltkHost::CloseWindow() {
  if (window_) window_->hide();
}

void FltkHost::Invalidate() {
  if (window_) window_->redraw();
}

void FltkHost::OnCloseRequest(Fl_Widget*, void* self) {
  // Escape is no way out: the window has no keyboard interface.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  static_cast<FltkHost*>(self)->CloseWindow();
}

}  // namespace qar::fltk
