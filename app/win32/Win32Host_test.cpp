// The Win32 host on a real window system (Wine under Xvfb, or Windows):
// window shape, painting, mouse, cursor, timer and close requests, driven
// through window messages as Windows would send them.
#include "app/win32/Win32Host.h"
#include "platform/win32/Win32Platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace qar {
namespace {

// Runs the message loop for a while, as the real one would.
void PumpFor(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  MSG message;
  while (GetTickCount() - start < milliseconds) {
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));  // keep it seen
        return;
      }
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    Sleep(1);
  }
}

bool QuitPosted(int& exitCode) {
  MSG message;
  if (!PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return false;
  exitCode = static_cast<int>(message.wParam);
  return true;
}

LPARAM At(int x, int y) { return MAKELPARAM(x, y); }

// The client area as drawn by the host, through WM_PRINTCLIENT, read back
// as 32-bit top-down pixels.
class Capture {
 public:
  explicit Capture(HWND window) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = TfrmMain::kClientWidth;
    info.bmiHeader.biHeight = -TfrmMain::kClientHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
    old_ = SelectObject(dc_, bitmap_);
    // Something that is neither white nor in the artwork, to see gaps.
    std::memset(bits_, 0x5A, 4u * TfrmMain::kClientWidth * TfrmMain::kClientHeight);
    SendMessageA(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc_), PRF_CLIENT);
    GdiFlush();
  }
  ~Capture() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  // R, G, B of a client pixel.
  void Rgb(int x, int y, int rgb[3]) const {
    const auto* p = static_cast<const unsigned char*>(bits_) +
                    4 * (static_cast<std::size_t>(y) * TfrmMain::kClientWidth + x);
    rgb[0] = p[2];
    rgb[1] = p[1];
    rgb[2] = p[0];
  }

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
  void* bits_ = nullptr;
};

// Client pixels sampled across the whole area, edges included.
const POINT kSamples[] = {{0, 0},     {689, 0},   {0, 494},   {689, 494}, {345, 247},
                          {400, 200}, {640, 480}, {100, 400}, {500, 100}, {20, 300}};

// Expects the client area to show `id` drawn from (-1, -2).
void ExpectShows(HWND window, PictureId id) {
  const Image picture = DecodePicture(id);
  Capture capture(window);
  for (const POINT& at : kSamples) {
    int rgb[3];
    capture.Rgb(at.x, at.y, rgb);
    const unsigned char* expected =
        &picture.rgba[4 * (static_cast<std::size_t>(at.y + 2) * picture.width + at.x + 1)];
    EXPECT_EQ(rgb[0], expected[0]) << "red at " << at.x << "," << at.y;
    EXPECT_EQ(rgb[1], expected[1]) << "green at " << at.x << "," << at.y;
    EXPECT_EQ(rgb[2], expected[2]) << "blue at " << at.x << "," << at.y;
  }
}

class Win32HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostPtr_ = std::make_unique<Win32Host>(GetModuleHandleA(nullptr));
    appPtr_ = std::make_unique<Application>(platform_, *hostPtr_);
    hostPtr_->SetApplication(appPtr_.get());
    hostPtr_->CreateWindows();
    appPtr_->CreateForm();
    hostPtr_->ShowMainWindow();
    main_ = hostPtr_->MainWindow();
  }
  // Destroying the windows posts WM_QUIT; it must not reach the next test.
  void TearDown() override {
    hostPtr_.reset();
    appPtr_.reset();
    int exitCode;
    QuitPosted(exitCode);
  }
  TfrmMain& Form() { return appPtr_->Form(); }
  void Click(const Control& control) {
    const Rect& r = control.Bounds();
    SendClick(r.left + r.width / 2, r.top + r.height / 2);
  }
  void SendClick(int x, int y) {
    SendMessageA(main_, WM_LBUTTONDOWN, MK_LBUTTON, At(x, y));
    SendMessageA(main_, WM_LBUTTONUP, 0, At(x, y));
  }
  // Shows a screen directly, without the timer.
  void ShowOnly(ControlId picture) {
    for (int i = 0; i < kControlCount; ++i) {
      Control& control = Form()[static_cast<ControlId>(i)];
      if (control.Kind() == ControlKind::Picture)
        control.SetVisible(static_cast<ControlId>(i) == picture);
    }
  }

  Win32Platform platform_;
  std::unique_ptr<Win32Host> hostPtr_;
  std::unique_ptr<Application> appPtr_;
  HWND main_ = nullptr;
};

// --- window -----------------------------------------------------------------

TEST_F(Win32HostTest, MainWindowShape) {
  RECT client;
  GetClientRect(main_, &client);
  EXPECT_EQ(client.right - client.left, 690);
  EXPECT_EQ(client.bottom - client.top, 495);

  const LONG style = GetWindowLongA(main_, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  const struct {
    LONG bit;
    const char* name;
  } absent[] = {{WS_SYSMENU, "system menu"},
                {WS_MINIMIZEBOX, "minimise"},
                {WS_MAXIMIZEBOX, "maximise"},
                {WS_THICKFRAME, "sizing frame"},
                {WS_CHILD, "child"}};
  for (const auto& a : absent) EXPECT_EQ(style & a.bit, 0) << a.name;
  EXPECT_TRUE(IsWindowVisible(main_));

  char text[128] = {};
  GetWindowTextA(main_, text, sizeof text);
  EXPECT_STREQ(text, "QAR Tarnlink Wireless Cable Modem Gateway Installation Wizard");
  GetClassNameA(main_, text, sizeof text);
  EXPECT_STREQ(text, "TfrmMain");
  EXPECT_NE(GetClassLongPtrA(main_, GCLP_HICON), 0u);
}

TEST_F(Win32HostTest, MainWindowIsCentredOnTheScreen) {
  RECT frame;
  GetWindowRect(main_, &frame);
  const int dx = (frame.left + frame.right) - GetSystemMetrics(SM_CXSCREEN);
  const int dy = (frame.top + frame.bottom) - GetSystemMetrics(SM_CYSCREEN);
  EXPECT_LE(std::abs(dx), 1);
  EXPECT_LE(std::abs(dy), 1);
}

// The task-bar button belongs to the application window, which carries the
// title and owns the main window.
TEST_F(Win32HostTest, ApplicationWindowCarriesTitleAndOwnsMainWindow) {
  HWND app = hostPtr_->AppWindow();
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(GetWindow(main_, GW_OWNER), app);
  EXPECT_EQ(GetWindow(app, GW_OWNER), nullptr);
  EXPECT_TRUE(IsWindowVisible(app));
  EXPECT_EQ(GetWindowLongA(app, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);
  char text[128] = {};
  GetWindowTextA(app, text, sizeof text);
  EXPECT_STREQ(text, "QAR Tarnlink Wireless Cable Modem Wizard");
}

// --- painting ---------------------------------------------------------------

TEST_F(Win32HostTest, PaintsTheTopMostVisiblePicture) {
  struct Case {
    ControlId picture;
    PictureId shown;
  };
  const Case cases[] = {
      {ControlId::imgInstall, PictureId::Install},
      {ControlId::imguninstall, PictureId::Uninstall},
      {ControlId::imgUSB, PictureId::Usb},
      {ControlId::imgselvo, PictureId::Selvo},
  };
  hostPtr_->SetTimerEnabled(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.shown));
    ShowOnly(c.picture);
    ExpectShows(main_, c.shown);
  }
  // Two visible: the later one in stacking order wins.
  ShowOnly(ControlId::imguninstall);
  Form()[ControlId::imgInstall].SetVisible(true);
  ExpectShows(main_, PictureId::Install);
}

TEST_F(Win32HostTest, PaintsWhiteWithoutPicture) {
  hostPtr_->SetTimerEnabled(false);
  for (int i = 0; i < kControlCount; ++i) {
    Control& control = Form()[static_cast<ControlId>(i)];
    if (control.Kind() == ControlKind::Picture) control.SetVisible(false);
  }
  Capture capture(main_);
  for (const POINT& at : kSamples) {
    int rgb[3];
    capture.Rgb(at.x, at.y, rgb);
    EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 3 * 255) << at.x << "," << at.y;
  }
}

TEST_F(Win32HostTest, VisibilityChangeInvalidatesAndEraseIsSkipped) {
  hostPtr_->SetTimerEnabled(false);
  ValidateRect(main_, nullptr);
  RECT update;
  EXPECT_FALSE(GetUpdateRect(main_, &update, FALSE));
  Form()[ControlId::imgselvo].SetVisible(true);
  ASSERT_TRUE(GetUpdateRect(main_, &update, FALSE));
  EXPECT_EQ(update.right - update.left, 690);
  EXPECT_EQ(SendMessageA(main_, WM_ERASEBKGND, 0, 0), 1);
}

// --- message box ------------------------------------------------------------

// Ticks while the box is open; the third one closes it.
struct BoxProbe {
  HWND main = nullptr;
  HWND owner = nullptr;
  const char* caption = nullptr;
  int ticks = 0;
  bool mainEnabledDuringBox = true;
  bool ownerDisabledDuringBox = false;
  HWND boxOwner = nullptr;
};
BoxProbe* g_probe = nullptr;

void CALLBACK ProbeTick(HWND, UINT, UINT_PTR, DWORD) {
  BoxProbe& probe = *g_probe;
  ++probe.ticks;
  probe.mainEnabledDuringBox = IsWindowEnabled(probe.main) != FALSE;
  probe.ownerDisabledDuringBox = IsWindowEnabled(probe.owner) == FALSE;
  if (probe.ticks == 3) {
    HWND box = FindWindowA(nullptr, probe.caption);
    if (box != nullptr) {
      probe.boxOwner = GetWindow(box, GW_OWNER);
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
  }
}

TEST_F(Win32HostTest, BoxIsOwnedByTheApplicationWindowAndModalForTheMainWindow) {
  BoxProbe probe;
  probe.main = main_;
  probe.owner = hostPtr_->AppWindow();
  probe.caption = "Win32 box test caption";
  g_probe = &probe;
  UINT_PTR timer = SetTimer(nullptr, 0, 10, &ProbeTick);
  ASSERT_NE(timer, 0u);

  SetActiveWindow(main_);
  ASSERT_EQ(GetActiveWindow(), main_);

  hostPtr_->ShowBox("text", probe.caption, BoxIcon::Error);
  KillTimer(nullptr, timer);
  g_probe = nullptr;

  EXPECT_GE(probe.ticks, 3);
  EXPECT_EQ(probe.boxOwner, probe.owner);
  EXPECT_FALSE(probe.mainEnabledDuringBox);
  EXPECT_TRUE(probe.ownerDisabledDuringBox);
  EXPECT_TRUE(IsWindowEnabled(main_));
  EXPECT_TRUE(IsWindowEnabled(probe.owner));
  EXPECT_EQ(GetActiveWindow(), main_);  // not the box's owner
}

// --- mouse and cursor -------------------------------------------------------

TEST_F(Win32HostTest, ClickOnHotspotRunsItsHandler) {
  Click(Form()[ControlId::lblUtility]);  // partner service screen
  EXPECT_TRUE(Form()[ControlId::imgselvo].Visible());
  EXPECT_FALSE(Form()[ControlId::imgInstall].Visible());
  EXPECT_FALSE(Form().Timer1Enabled());
  Click(Form()[ControlId::lblqar]);  // home
  EXPECT_TRUE(Form()[ControlId::imgInstall].Visible());
  EXPECT_TRUE(Form().Timer1Enabled());
}

TEST_F(Win32HostTest, PressAndReleaseMustMeetOnOneHotspot) {
  const Rect& r = Form()[ControlId::lblUtility].Bounds();
  const struct {
    int downX, downY, upX, upY;
    const char* what;
  } cases[] = {
      {r.left + 5, r.top + 5, 10, 10, "released outside"},
      {10, 10, r.left + 5, r.top + 5, "pressed outside"},
      {r.left + 5, r.top + 5, Form()[ControlId::lblClose].Bounds().left + 2,
       Form()[ControlId::lblClose].Bounds().top + 2, "released on another hotspot"},
  };
  for (const auto& c : cases) {
    SendMessageA(main_, WM_LBUTTONDOWN, MK_LBUTTON, At(c.downX, c.downY));
    SendMessageA(main_, WM_LBUTTONUP, 0, At(c.upX, c.upY));
    EXPECT_FALSE(Form()[ControlId::imgselvo].Visible()) << c.what;
    EXPECT_TRUE(IsWindow(main_)) << c.what;
  }
}

TEST_F(Win32HostTest, HandCursorOverVisibleHotspotsOnly) {
  HCURSOR arrow = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
  const struct {
    int x, y;
    bool hand;
    const char* what;
  } cases[] = {
      {400, 200, true, "install entry"},
      {660, 480, true, "close button"},
      {100, 100, false, "artwork"},
      {500, 430, false, "more info, hidden on this screen"},
  };
  hostPtr_->SetTimerEnabled(false);
  Form()[ControlId::lblmoreinfo].SetVisible(false);
  for (const auto& c : cases) {
    POINT screen = {c.x, c.y};
    ClientToScreen(main_, &screen);
    if (!SetCursorPos(screen.x, screen.y)) GTEST_SKIP() << "cannot move the pointer here";
    SetCursor(nullptr);
    const LRESULT handled = SendMessageA(main_, WM_SETCURSOR, reinterpret_cast<WPARAM>(main_),
                                         MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_TRUE(handled) << c.what;
    HCURSOR cursor = GetCursor();
    if (c.hand) {
      EXPECT_NE(cursor, arrow) << c.what;
      EXPECT_NE(cursor, nullptr) << c.what;
    } else {
      EXPECT_EQ(cursor, arrow) << c.what;
    }
  }
}

// --- timer ------------------------------------------------------------------

TEST_F(Win32HostTest, TicksArriveOnlyWhileTheTimerRuns) {
  // No marker on this machine: the ticks keep the not-installed main screen.
  hostPtr_->SetTimerEnabled(false);
  ShowOnly(ControlId::imguninstall);
  PumpFor(100);
  EXPECT_TRUE(Form()[ControlId::imguninstall].Visible()) << "ticked while disabled";

  hostPtr_->SetTimerEnabled(true);
  PumpFor(200);
  EXPECT_TRUE(Form()[ControlId::imgInstall].Visible());
  EXPECT_FALSE(Form()[ControlId::imguninstall].Visible());
}

// The request is 1 ms, and a refusal is the form's "Not enough timers"
// error (shown by the guard with the error box).
UINT g_requested = 0;
bool g_refuse = false;
UINT_PTR WINAPI RecordingSetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC proc) {
  g_requested = milliseconds;
  return g_refuse ? 0 : SetTimer(window, id, milliseconds, proc);
}

TEST(Win32HostTimer, AsksForOneMillisecondAndReportsARefusal) {
  {
    Win32Platform platform;
    Win32Host host(GetModuleHandleA(nullptr), &RecordingSetTimer);
    Application app(platform, host);
    host.SetApplication(&app);
    host.CreateWindows();
    g_refuse = false;
    app.CreateForm();
    EXPECT_EQ(g_requested, 1u);

    g_refuse = true;
    g_requested = 0;
    try {
      host.SetTimerEnabled(true);
      ADD_FAILURE() << "no error";
    } catch (const Error& error) {
      EXPECT_EQ(error.Message(), "Not enough timers available");
    }
    EXPECT_EQ(g_requested, 1u);
    g_refuse = false;
    host.SetApplication(nullptr);
  }
  // Destroying the windows posts WM_QUIT; it must not reach the next test.
  int exitCode;
  QuitPosted(exitCode);
}

// --- closing ----------------------------------------------------------------

TEST_F(Win32HostTest, CloseHotspotEndsTheLoopWithExitCodeZero) {
  Click(Form()[ControlId::lblClose]);
  EXPECT_FALSE(IsWindow(main_));
  EXPECT_EQ(hostPtr_->MainWindow(), nullptr);
  int exitCode = -1;
  EXPECT_TRUE(QuitPosted(exitCode));
  EXPECT_EQ(exitCode, 0);
}

TEST_F(Win32HostTest, CloseRequestsFromTheSystemEndTheLoop) {
  const struct {
    bool toAppWindow;
    const char* what;
  } cases[] = {{false, "WM_CLOSE to the main window"},
               {true, "WM_CLOSE to the application window (task bar)"}};
  for (const auto& c : cases) {
    if (hostPtr_->MainWindow() == nullptr) {
      hostPtr_->CreateWindows();
      main_ = hostPtr_->MainWindow();
    }
    EXPECT_EQ(SendMessageA(main_, WM_QUERYENDSESSION, 0, 0), TRUE) << c.what;
    SendMessageA(c.toAppWindow ? hostPtr_->AppWindow() : main_, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(main_)) << c.what;
    int exitCode = -1;
    EXPECT_TRUE(QuitPosted(exitCode)) << c.what;
    EXPECT_EQ(exitCode, 0) << c.what;
  }
}

}  // namespace
}  // namespace qar
