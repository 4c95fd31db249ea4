// What the form needs from the window toolkit that hosts it. The Win32 window,
// the FLTK window and the tests' scripted host implement it; the form never
// calls a toolkit itself.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace qar {

class FormHost {
 public:
  virtual ~FormHost() = default;
  // Modal box with an OK button, owned by the application window. Returns
  // when the user dismisses it; ticks keep arriving while it is open, so the
  // form's state may have changed by then.
  virtual void ShowBox(const std::string& text, const std::string& caption,
                       BoxIcon icon) = 0;
  // Starts or stops the 1 ms timer. Starting raises an Error with the text
  // "Not enough timers available" when the system has none left.
  virtual void SetTimerEnabled(bool enabled) = 0;
  // Ends the message loop; the program then exits with code 0.
  virtual void CloseWindow() = 0;
  // Some visibility flag changed: redraw.
  virtual void Invalidate() = 0;
};

}  // namespace qar
