// The FLTK host: one fixed-size window that draws the form's top-most visible
// picture, turns mouse, timer and close events into calls on the application,
// and shows the boxes as modal dialogs whose nested loop keeps the timer
// ticking.
#pragma once

#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>

#include <map>
#include <memory>

#include "app/Application.h"
#include "app/Pictures.h"
#include "platform/sandbox/Sandbox.h"

namespace qar::fltk {

class FltkHost;

class WizardWindow : public Fl_Double_Window {
 public:
  explicit WizardWindow(FltkHost& host);
  void draw() override;
  int handle(int event) override;

 private:
  FltkHost& host_;
};

class FltkHost : public FormHost {
 public:
  // Boxes are recorded in the machine's call log.
  explicit FltkHost(sandbox::SandboxMachine& machine);
  ~FltkHost() override;

  void AttachApplication(Application& app) { app_ = &app; }
  // Decodes the pictures and the icon; raises on corrupt artwork.
  void LoadArtwork();
  // Shows the window and runs the loop until it closes.
  void Run();

  // FormHost
  void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
  void SetTimerEnabled(bool enabled) override;
  void CloseWindow() override;
  void Invalidate() override;

 private:
  friend class WizardWindow;
  static void OnTimer(void* self);
  static void OnCloseRequest(Fl_Widget* widget, void* self);
  void Draw();

  sandbox::SandboxMachine& machine_;
  Application* app_ = nullptr;
  std::unique_ptr<WizardWindow> window_;
  PictureCache pictures_{kRgbTopDown};
  std::map<PictureId, std::unique_ptr<Fl_RGB_Image>> images_;
  Image iconPixels_;
  std::unique_ptr<Fl_RGB_Image> icon_;
  bool timerRunning_ = false;
  bool painted_ = false;
};

}  // namespace qar::fltk
