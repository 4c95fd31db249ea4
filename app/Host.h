// What the form needs from the window toolkit that hosts it. The Win32 window,
// the FLTK window, the tests' scripted host and the null host implement it;
// the form never calls a toolkit itself.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace qar {

// What a host raises when the system has no timer left; the form's guard
// shows it with the error box.
inline constexpr char kNoTimerLeft[] = "Not enough timers available";

// A host owes the form:
// - the boxes: it shows each one itself, modal over the main window, and
//   keeps delivering ticks while it is open. The platform has no box of its
//   own; a host over the sandbox machine also records the box there.
// - Timer1, as one steady timer of the requested interval or the system's
//   minimum;
// - closing the window, which ends the program with exit code 0;
// - a repaint of the form's top-most visible picture after Invalidate, and
//   mouse and tick events fed to the Application.
class FormHost {
 public:
  virtual ~FormHost() = default;
  // Modal box with an OK button, owned by the application window. Returns
  // when the user dismisses it; ticks keep arriving while it is open, so the
  // form's state may have changed by then.
  virtual void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
  // Starts or stops the 1 ms timer. Starting raises an Error with the text
  // kNoTimerLeft when the system has none left.
  virtual void SetTimerEnabled(bool enabled) = 0;
  // Ends the message loop; the program then exits with code 0.
  virtual void CloseWindow() = 0;
  // Some visibility flag changed: redraw.
  virtual void Invalidate() = 0;
};

// A host without a window: boxes return at once as if OK were pressed, the
// timer never ticks by itself. For benchmarks and tests that drive the form
// directly.
class NullHost : public FormHost {
 public:
  void ShowBox(const std::string&, const std::string&, BoxIcon) override {}
  void SetTimerEnabled(bool) override {}
  void CloseWindow() override {}
  void Invalidate() override {}
};

}  // namespace qar
