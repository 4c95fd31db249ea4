// The application object: owns the one form and is the message loop's
// guard. Hosts translate their native events into the calls below; an error
// escaping a handler is shown in the error box and the loop goes on.
#pragma once

#include <functional>
#include <memory>

#include "app/Form.h"
#include "app/Titles.h"

namespace qar {

class Application {
 public:
  Application(Platform& platform, FormHost& host);

  // Creates the form, starts Timer1, then runs FormCreate. The timer is one
  // of the form's controls and is enabled at start, so it is asked for while
  // the controls are created, before the creation handler runs: no timer
  // left ends start-up before the version is named. No tick can come before
  // the message loop runs, so FormCreate still precedes the first tick.
  // Errors are not caught here: they escape start-up (see RunGuarded).
  void CreateForm();
  TfrmMain& Form() { return *form_; }
  bool HasForm() const { return form_ != nullptr; }

  // Events from the host. The click and the tick run a handler, guarded;
  // pressing and hit testing run none.
  void MouseDown(int x, int y);
  // A label clicks when pressed and released over the same visible hotspot.
  void MouseUp(int x, int y);
  void Tick();
  // Whether the pointer at this point shows the hand cursor.
  bool HandCursorAt(int x, int y);

  // Runs one event handler; an error escaping it is shown with the error box.
  void Guard(const std::function<void()>& handler);

 private:
  void Click(const Control& hotspot);

  Platform& platform_;
  FormHost& host_;
  std::unique_ptr<TfrmMain> form_;
  const Control* pressed_ = nullptr;
};

// Start-up's outer guard: runs `body` (create the form, run the loop); an
// error escaping it is shown with the error box, a failure that is not one of
// our errors as an empty message. Always returns exit code 0.
int RunGuarded(FormHost& host, const std::function<void()>& body);

}  // namespace qar
