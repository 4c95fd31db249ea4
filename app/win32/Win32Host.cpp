// The Win32 host: the application window, the main window and their window
// procedures. It translates messages into Application calls (click, tick,
// cursor query, close) and draws what the form says is visible.
#include "app/win32/Win32Host.h"

#include "app/ErrorBox.h"

#include <algorithm>
#include <vector>

namespace qar {

namespace {

const char* const kAppClass = "QarApplication";
const char* const kMainClass = "TfrmMain";
constexpr UINT_PTR kTimer1 = 1;

// Fixed single-line frame with a caption and no title-bar buttons.
constexpr DWORD kMainStyle = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
constexpr DWORD kMainExStyle = 0;

// IDC_HAND is missing from Windows 95 and NT 4.0 (and from their headers).
const char* const kSystemHand = MAKEINTRESOURCEA(32649);

int XFromLParam(LPARAM lParam) { return static_cast<short>(LOWORD(lParam)); }
int YFromLParam(LPARAM lParam) { return static_cast<short>(HIWORD(lParam)); }

class PaintScope {
 public:
  explicit PaintScope(HWND window) : window_(window) { dc_ = BeginPaint(window_, &paint_); }
  ~PaintScope() { EndPaint(window_, &paint_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  HDC Dc() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_;
  HDC dc_;
};

// The pointer stored on WM_NCCREATE; null before that and after WM_NCDESTROY.
Win32Host* HostOf(HWND window, UINT message, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  return reinterpret_cast<Win32Host*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

// While a box is open, the thread's other windows take no clicks: MessageBoxA
// disables only its owner, and the main window is not the owner. Afterwards
// the window that was active is active again; Windows would hand the
// activation to the box's owner, which was still alone in being enabled.
class OtherWindowsDisabled {
 public:
  explicit OtherWindowsDisabled(HWND owner) : owner_(owner), active_(GetActiveWindow()) {
    EnumThreadWindows(GetCurrentThreadId(), &DisableOne, reinterpret_cast<LPARAM>(this));
  }
  ~OtherWindowsDisabled() {
    for (auto it = disabled_.rbegin(); it != disabled_.rend(); ++it)
      if (IsWindow(*it)) EnableWindow(*it, TRUE);
    HWND now = GetActiveWindow();
    if (active_ != nullptr && active_ != owner_ && IsWindow(active_) && IsWindowEnabled(active_) &&
        (now == owner_ || now == nullptr))
      SetActiveWindow(active_);
  }
  OtherWindowsDisabled(const OtherWindowsDisabled&) = delete;
  OtherWindowsDisabled& operator=(const OtherWindowsDisabled&) = delete;

 private:
  static BOOL CALLBACK DisableOne(HWND window, LPARAM self) {
    auto* me = reinterpret_cast<OtherWindowsDisabled*>(self);
    if (window != me->owner_ && IsWindowVisible(window) && IsWindowEnabled(window)) {
      me->disabled_.push_back(window);
      EnableWindow(window, FALSE);
    }
    return TRUE;
  }

  HWND owner_;
  HWND active_;
  std::vector<HWND> disabled_;
};

}  // namespace

Win32Host::Win32Host(HINSTANCE instance, SetTimerFunction setTimer)
    : instance_(instance), setTimer_(setTimer) {}

Win32Host::~Win32Host() {
  app_ = nullptr;  // destroyed first in WinMain; no event may reach it now
  if (mainWindow_ != nullptr) DestroyWindow(mainWindow_);
  if (appWindow_ != nullptr) DestroyWindow(appWindow_);
  // The hand cursor comes from LoadCursorA, which hands out shared cursors:
  // they must not be destroyed.
}

void Win32Host::RegisterClasses() {
  icon_ = LoadIconA(instance_, MAKEINTRESOURCEA(kMainIconId));

  WNDCLASSA appClass = {};
  appClass.lpfnWndProc = &Win32Host::AppWindowProc;
  appClass.hInstance = instance_;
  appClass.hIcon = icon_;
  appClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  appClass.lpszClassName = kAppClass;

  WNDCLASSA mainClass = appClass;
  mainClass.lpfnWndProc = &Win32Host::MainWindowProc;
  // The window procedure sets the cursor itself; white shows before the
  // first paint.
  mainClass.hCursor = nullptr;
  mainClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  mainClass.lpszClassName = kMainClass;

  // A second host in the same process (tests) finds the classes registered.
  WNDCLASSA existing;
  if (!GetClassInfoA(instance_, kAppClass, &existing) && !RegisterClassA(&appClass))
    throw Error("Cannot register the application window class");
  if (!GetClassInfoA(instance_, kMainClass, &existing) && !RegisterClassA(&mainClass))
    throw Error("Cannot register the main window class");
}

void Win32Host::CreateWindows() {
  RegisterClasses();
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  const int screenHeight = GetSystemMetrics(SM_CYSCREEN);

  // The application window carries the task-bar button and its title, as
  // classic toolkits do: an unowned popup, visible but of zero size. The
  // main window is owned by it and so gets no button of its own; it is
  // hidden with it when the button minimises the program.
  if (appWindow_ == nullptr) {
    appWindow_ =
        CreateWindowExA(0, kAppClass, kApplicationTitle,
                        WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPSIBLINGS,
                        screenWidth / 2, screenHeight / 2, 0, 0, nullptr, nullptr, instance_, this);
    if (appWindow_ == nullptr) throw Error("Cannot create the application window");
    ShowWindow(appWindow_, SW_SHOWNOACTIVATE);
  }

  RECT frame = {0, 0, TfrmMain::kClientWidth, TfrmMain::kClientHeight};
  AdjustWindowRectEx(&frame, kMainStyle, FALSE, kMainExStyle);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  mainWindow_ = CreateWindowExA(kMainExStyle, kMainClass, kMainCaption, kMainStyle,
                                (screenWidth - width) / 2, (screenHeight - height) / 2, width,
                                height, appWindow_, nullptr, instance_, this);
  if (mainWindow_ == nullptr) throw Error("Cannot create the main window");
}

void Win32Host::ShowMainWindow() {
  ShowWindow(mainWindow_, SW_SHOWNORMAL);
  UpdateWindow(mainWindow_);
}

void Win32Host::RunMessageLoop() {
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

// --- FormHost ---------------------------------------------------------------

// Owned by the application window (the desktop before it exists).
void Win32Host::ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) {
  UINT type = MB_OK;
  if (icon == BoxIcon::Error) type |= MB_ICONERROR;
  OtherWindowsDisabled disabled(appWindow_);
  MessageBoxA(appWindow_, text.c_str(), caption.c_str(), type);
}

void Win32Host::SetTimerEnabled(bool enabled) {
  if (mainWindow_ == nullptr) return;
  if (!enabled) {
    KillTimer(mainWindow_, kTimer1);
    return;
  }
  if (setTimer_(mainWindow_, kTimer1, 1, nullptr) == 0) throw Error(kNoTimerLeft);
}

void Win32Host::CloseWindow() {
  if (mainWindow_ != nullptr) DestroyWindow(mainWindow_);
}

void Win32Host::Invalidate() {
  if (mainWindow_ != nullptr) InvalidateRect(mainWindow_, nullptr, FALSE);
}

// --- painting ---------------------------------------------------------------

void Win32Host::PaintContent(HDC dc) {
  RECT client = {0, 0, TfrmMain::kClientWidth, TfrmMain::kClientHeight};
  if (mainWindow_ != nullptr) GetClientRect(mainWindow_, &client);
  HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  const Control* top = (app_ != nullptr && app_->HasForm()) ? app_->Form().TopPicture() : nullptr;
  const Pixels* picture = nullptr;
  if (top != nullptr) {
    try {
      picture = &pictures_.Get(top->Picture());
    } catch (...) {
      FillRect(dc, &client, white);
      throw;
    }
  }
  const int saved = SaveDC(dc);
  if (picture != nullptr && !picture->bytes.empty()) {
    // Unscaled from the control's corner (-1, -2), clipped to the control.
    const Rect& at = top->Bounds();
    const int width = picture->width;
    const int height = picture->height;
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;  // positive: bottom-up
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    SaveDC(dc);
    IntersectClipRect(dc, at.left, at.top, at.left + at.width, at.top + at.height);
    SetDIBitsToDevice(dc, at.left, at.top, width, height, 0, 0, 0, height, picture->bytes.data(),
                      reinterpret_cast<const BITMAPINFO*>(&header), DIB_RGB_COLORS);
    RestoreDC(dc, -1);
    ExcludeClipRect(dc, at.left, at.top, at.left + std::min(width, at.width),
                    at.top + std::min(height, at.height));
  }
  FillRect(dc, &client, white);
  RestoreDC(dc, saved);
}

void Win32Host::OnPaint(HWND window) {
  PaintScope paint(window);
  PaintContent(paint.Dc());
}

// --- input ------------------------------------------------------------------

HCURSOR Win32Host::HandCursor() {
  if (handCursor_ == nullptr) {
    handCursor_ = LoadCursorA(nullptr, kSystemHand);
    if (handCursor_ == nullptr)
      handCursor_ = LoadCursorA(instance_, MAKEINTRESOURCEA(kHandCursorId));
  }
  return handCursor_;
}

bool Win32Host::OnSetCursor(HWND window, LPARAM lParam) {
  if (LOWORD(lParam) != HTCLIENT || app_ == nullptr) return false;
  POINT at;
  GetCursorPos(&at);
  ScreenToClient(window, &at);
  HCURSOR cursor = app_->HandCursorAt(at.x, at.y) ? HandCursor() : nullptr;
  SetCursor(cursor != nullptr ? cursor : LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));
  return true;
}

// Pressed and released over the same hotspot, as a label clicks; the
// capture brings the release even when it happens outside the window.
void Win32Host::OnLButtonDown(HWND window, LPARAM lParam) {
  SetCapture(window);
  if (app_ != nullptr) app_->MouseDown(XFromLParam(lParam), YFromLParam(lParam));
}

void Win32Host::OnLButtonUp(HWND window, LPARAM lParam) {
  if (GetCapture() == window) ReleaseCapture();
  if (app_ != nullptr) app_->MouseUp(XFromLParam(lParam), YFromLParam(lParam));
}

void Win32Host::OnTimer(WPARAM id) {
  if (id == kTimer1 && app_ != nullptr) app_->Tick();
}

// The session ends: Windows would end the process after this message
// anyway; end it here with the program's one exit code.
void Win32Host::OnEndSession(bool ending) {
  if (!ending) return;
  CloseWindow();
  ExitProcess(0);
}

void Win32Host::OnDestroyMain() { PostQuitMessage(0); }

// The task-bar button activates the application window; the user means the
// main window. While a box is open the main window is disabled and Windows
// activates the box itself.
void Win32Host::OnAppSetFocus() {
  if (mainWindow_ != nullptr && IsWindowVisible(mainWindow_) && IsWindowEnabled(mainWindow_))
    SetFocus(mainWindow_);
}

void Win32Host::ReportEscaped(const std::string& message) {
  try {
    ShowErrorBox(*this, message);
  } catch (...) {
  }
}

// --- window procedures ------------------------------------------------------

// No exception may cross into the system's code that called the procedure.
LRESULT Win32Host::Dispatch(MessageHandler handler, HWND window, UINT message, WPARAM wParam,
                            LPARAM lParam) {
  Win32Host* host = HostOf(window, message, lParam);
  if (host == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  try {
    return (host->*handler)(window, message, wParam, lParam);
  } catch (const Error& error) {
    host->ReportEscaped(error.Message());
  } catch (...) {
    host->ReportEscaped(std::string());
  }
  return 0;
}

LRESULT CALLBACK Win32Host::AppWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Dispatch(&Win32Host::OnAppMessage, window, message, wParam, lParam);
}

LRESULT CALLBACK Win32Host::MainWindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  return Dispatch(&Win32Host::OnMainMessage, window, message, wParam, lParam);
}

LRESULT Win32Host::OnAppMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETFOCUS:
      OnAppSetFocus();
      return 0;
    case WM_CLOSE:  // the task-bar button's Close
      CloseWindow();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      OnEndSession(wParam != FALSE);
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      appWindow_ = nullptr;
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT Win32Host::OnMainMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:  // the paint covers everything: no flicker
      return 1;
    case WM_PAINT:
      OnPaint(window);
      return 0;
    case WM_PRINTCLIENT:
      PaintContent(reinterpret_cast<HDC>(wParam));
      return 0;
    case WM_SETCURSOR:
      if (OnSetCursor(window, lParam)) return TRUE;
      break;
    case WM_LBUTTONDOWN:
      OnLButtonDown(window, lParam);
      return 0;
    case WM_LBUTTONUP:
      OnLButtonUp(window, lParam);
      return 0;
    case WM_TIMER:
      OnTimer(wParam);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      OnEndSession(wParam != FALSE);
      return 0;
    case WM_DESTROY:
      OnDestroyMain();
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      mainWindow_ = nullptr;
      break;
  }
  // WM_CLOSE from the system falls through: DestroyWindow ends the program.
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace qar
