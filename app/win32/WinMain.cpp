// Program entry of the Win32 host: the application window and main window
// of Win32Host, on the Win32 platform, run under the start-up guard.
#include "app/Application.h"
#include "app/win32/Win32Host.h"
#include "platform/win32/Win32Platform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // No "insert a disk" box when a probed drive is empty: the probes expect
  // a plain failure.
  SetErrorMode(SEM_FAILCRITICALERRORS);

  qar::Win32Platform platform;
  qar::Win32Host host(instance);
  qar::Application app(platform, host);
  host.SetApplication(&app);
  return qar::RunGuarded(host, [&] {
    host.CreateWindows();
    app.CreateForm();
    host.ShowMainWindow();
    host.RunMessageLoop();
  });
}
