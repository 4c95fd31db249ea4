// The Win32 host: the application window (task-bar button, owner of the
// main window and of every message box) and the main window, which draws the
// form's top-most visible picture and turns mouse, cursor, timer and close
// messages into calls on the Application. Decisions stay in the form model.
#pragma once

#include <string>

#include "app/Application.h"
#include "app/Pictures.h"
#include "app/win32/resource.h"
#include "platform/win32/ScopedWin.h"

namespace qar {

constexpr int kMainIconId = QAR_IDI_MAIN;
constexpr int kHandCursorId = QAR_IDC_HAND;

class Win32Host : public FormHost {
 public:
  // SetTimer's shape; a test passes its own to see the request and to make
  // it fail, which a real system will not do on demand.
  using SetTimerFunction = UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC);

  explicit Win32Host(HINSTANCE instance, SetTimerFunction setTimer = &::SetTimer);
  ~Win32Host() override;
  Win32Host(const Win32Host&) = delete;
  Win32Host& operator=(const Win32Host&) = delete;

  // The application whose events this host feeds; set before windows exist.
  void SetApplication(Application* app) { app_ = app; }

  // Creates the application window and the main window (not yet shown),
  // centred on the screen. Raises Error when Windows refuses.
  void CreateWindows();
  void ShowMainWindow();
  // Dispatches messages until the main window has closed.
  void RunMessageLoop();

  HWND AppWindow() const { return appWindow_; }
  HWND MainWindow() const { return mainWindow_; }

  // Draws the client area: the top-most visible picture at its place, white
  // where no picture is. WM_PAINT and WM_PRINTCLIENT both use it.
  void PaintContent(HDC dc);

  // FormHost.
  void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
  void SetTimerEnabled(bool enabled) override;
  void CloseWindow() override;
  void Invalidate() override;

 private:
  using MessageHandler = LRESULT (Win32Host::*)(HWND, UINT, WPARAM, LPARAM);
  static LRESULT Dispatch(MessageHandler handler, HWND window, UINT message, WPARAM wParam,
                          LPARAM lParam);
  static LRESULT CALLBACK AppWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnAppMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMainMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // An exception that escaped everything else: shown, never let through
  // the window procedure.
  void ReportEscaped(const std::string& message);

  void RegisterClasses();
  void OnPaint(HWND window);
  bool OnSetCursor(HWND window, LPARAM lParam);
  void OnLButtonDown(HWND window, LPARAM lParam);
  void OnLButtonUp(HWND window, LPARAM lParam);
  void OnTimer(WPARAM id);
  void OnEndSession(bool ending);
  void OnDestroyMain();
  void OnAppSetFocus();

  HCURSOR HandCursor();

  HINSTANCE instance_;
  SetTimerFunction setTimer_;
  Application* app_ = nullptr;
  HWND appWindow_ = nullptr;
  HWND mainWindow_ = nullptr;
  HICON icon_ = nullptr;
  HCURSOR handCursor_ = nullptr;
  PictureCache pictures_{kBgrBottomUp};
};

}  // namespace qar
