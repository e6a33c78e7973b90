#include "splash/splash.h"

#include "launch/vm_launch.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "resource_ids.h"
#include "splash/splash_controller.h"
#include "support/ansi_text.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/single_instance.h"

#include <atomic>
#include <cstring>
#include <string>

namespace {

namespace config = kestro::payload::config;

constexpr char kWindowClass[] = "KestroSplashScreen";
constexpr int kPictureId = KESTRO_SPLASH_PICTURE;
constexpr UINT_PTR kTimerId = 9962;
constexpr UINT kTickMs = 100;
constexpr int kFaceCapacity = 32;
constexpr int kPointsPerInch = 72;
constexpr DWORD kHideWaitMs = 1000;
constexpr DWORD kHideCheckMs = 10;

// Where the splash is in its life. It stands for the progress dialog from its start until it goes;
// it goes once, whoever hides it (the application, its window, the user, an error, the question), and
// a hide before the start cancels the start.
enum class Stage { NotStarted, Starting, Showing, Gone };

// Written by whichever thread starts or hides the splash, read by all. The stage changes by exchange
// only, so that a hide racing with the window's creation is seen by one side or the other.
std::atomic<Stage> stage{Stage::NotStarted};
std::atomic<HWND> window{nullptr};
std::atomic<HWND> standIn{nullptr};

// The splash thread's own, set before its window can paint.
char statusText[kTextCapacity];
char versionText[kTextCapacity];
COLORREF statusColour = 0;
COLORREF versionColour = 0;
POINT statusAt = {0, 0};
POINT versionAt = {0, 0};
SIZE size = {0, 0};
HFONT statusFont = nullptr;
HFONT versionFont = nullptr;
bool closeOnApplicationWindow = false;
bool ending = false;
// Who owned message boxes before the splash took them over.
HWND ownerBefore = nullptr;

HINSTANCE executable() {
    return GetModuleHandleA(nullptr);
}

HBITMAP loadPicture() {
    return static_cast<HBITMAP>(
        LoadImageA(executable(), MAKEINTRESOURCEA(kPictureId), IMAGE_BITMAP, 0, 0, 0));
}

// The configured size; a side left out is the picture's.
SIZE configuredSize() {
    SIZE configured = {getConfigNumber(config::SplashWidth), getConfigNumber(config::SplashHeight)};
    if (configured.cx > 0 && configured.cy > 0)
        return configured;
    if (HBITMAP picture = loadPicture()) {
        BITMAP description = {};
        GetObjectA(picture, sizeof description, &description);
        DeleteObject(picture);
        if (configured.cx <= 0)
            configured.cx = description.bmWidth;
        if (configured.cy <= 0)
            configured.cy = description.bmHeight;
    }
    return configured;
}

// Hidden by the splash thread, which owns the window, without waiting for that thread to finish: it
// may be inside a call into a VM that stands still, and the hide itself may keep it a while (the
// system's own work for the window, such as Wine's wait for a window manager). The caller, about to
// show a message box or the question, waits only until the window no longer counts as visible, which
// happens first thing in the hide, and at most kHideWaitMs.
void hideSplashWindow(HWND splash) {
    if (GetWindowThreadProcessId(splash, nullptr) == GetCurrentThreadId()) {
        ShowWindow(splash, SW_HIDE);
        return;
    }
    ShowWindowAsync(splash, SW_HIDE);
    const DWORD start = GetTickCount();
    while (IsWindowVisible(splash) && GetTickCount() - start < kHideWaitMs)
        Sleep(kHideCheckMs);
}

void giveBackErrorOwner(HWND splash) {
    if (currentErrorOwner() == splash)
        setErrorOwner(ownerBefore);
}

HFONT makeFont(HDC device, int faceId, int sizeId, int weightId) {
    LOGFONTA font = {};
    font.lfHeight = splashFontHeight(getConfigNumber(sizeId), GetDeviceCaps(device, LOGPIXELSY));
    font.lfWeight = getConfigNumber(weightId);
    font.lfCharSet = ANSI_CHARSET;
    font.lfOutPrecision = OUT_DEFAULT_PRECIS;
    font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    font.lfQuality = DEFAULT_QUALITY;
    font.lfPitchAndFamily = FF_SWISS;
    getConfigText(faceId, font.lfFaceName, kFaceCapacity);
    return CreateFontIndirectA(&font);
}

void drawText(HDC device, HFONT font, COLORREF colour, POINT at, const char* text) {
    SelectObject(device, font);
    SetTextColor(device, colour);
    TextOutA(device, at.x, at.y, text, static_cast<int>(std::strlen(text)));
}

// Composed off-screen and copied in one transfer, over a background that is never erased: a status
// line that changes ten times a second does not flicker.
void paint(HWND splash) {
    PAINTSTRUCT painting;
    HDC device = BeginPaint(splash, &painting);
    if (statusFont == nullptr) {
        statusFont = makeFont(device, config::SplashStatusFont, config::SplashStatusFontSize,
                              config::SplashStatusFontWeight);
        versionFont = makeFont(device, config::SplashVersionFont, config::SplashVersionFontSize,
                               config::SplashVersionFontWeight);
    }
    HDC buffer = CreateCompatibleDC(device);
    HBITMAP canvas = CreateCompatibleBitmap(device, size.cx, size.cy);
    HGDIOBJ earlierCanvas = SelectObject(buffer, canvas);
    RECT whole = {0, 0, size.cx, size.cy};
    FillRect(buffer, &whole, static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));

    if (HBITMAP picture = loadPicture()) {
        HDC pictureDevice = CreateCompatibleDC(device);
        HGDIOBJ earlierPicture = SelectObject(pictureDevice, picture);
        BitBlt(buffer, 0, 0, size.cx, size.cy, pictureDevice, 0, 0, SRCCOPY);
        SelectObject(pictureDevice, earlierPicture);
        DeleteDC(pictureDevice);
        DeleteObject(picture);
    }

    const int earlierMode = SetBkMode(buffer, TRANSPARENT);
    HGDIOBJ earlierFont = GetCurrentObject(buffer, OBJ_FONT);
    const COLORREF earlierColour = GetTextColor(buffer);
    drawText(buffer, statusFont, statusColour, statusAt, statusText);
    drawText(buffer, versionFont, versionColour, versionAt, versionText);
    SelectObject(buffer, earlierFont);
    SetTextColor(buffer, earlierColour);
    SetBkMode(buffer, earlierMode);

    BitBlt(device, 0, 0, size.cx, size.cy, buffer, 0, 0, SRCCOPY);
    SelectObject(buffer, earlierCanvas);
    DeleteObject(canvas);
    DeleteDC(buffer);
    EndPaint(splash, &painting);
}

LRESULT CALLBACK splashProcedure(HWND splash, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT:
        paint(splash);
        return 0;
    // Alt+F4 or the taskbar's Close: the window is hidden like any other hide, not destroyed, so that
    // the thread ends by its tick and lets go of the VM.
    case WM_CLOSE:
        showSplash(0);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(splash, message, wParam, lParam);
    }
}

HWND createSplashWindow() {
    getConfigText(config::SplashStatusText, statusText, sizeof statusText);
    getConfigText(config::SplashVersionText, versionText, sizeof versionText);
    statusColour = getConfigColour(config::SplashStatusColour);
    versionColour = getConfigColour(config::SplashVersionColour);
    char title[kTextCapacity];
    getConfigText(config::ApplicationName, title, sizeof title);
    size = configuredSize();
    statusAt = {getConfigNumber(config::SplashStatusX), getConfigNumber(config::SplashStatusY)};
    versionAt = {getConfigNumber(config::SplashVersionX), getConfigNumber(config::SplashVersionY)};

    WNDCLASSA windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_OWNDC;
    windowClass.lpfnWndProc = splashProcedure;
    windowClass.hInstance = executable();
    // The application's own icon (the packer puts the project's there): the splash is what the
    // taskbar shows of the application until its first window.
    windowClass.hIcon = LoadIconA(executable(), MAKEINTRESOURCEA(IDI_LAUNCHER));
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);

    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    const int x = (desktop.right - desktop.left - size.cx) / 2;
    const int y = (desktop.bottom - desktop.top - size.cy) / 2;
    return CreateWindowExA(0, kWindowClass, title, WS_POPUP, x, y, size.cx, size.cy, nullptr, nullptr,
                           executable(), nullptr);
}

// The window stays (hidden) until the thread ends; the loop ends with the quit message.
void endSplashThread() {
    ending = true;
    endSplashPolling();
    PostQuitMessage(0);
}

void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
    if (ending)
        return;
    if (!IsWindowVisible(window.load())) {
        endSplashThread();
        return;
    }
    // The splash itself and at least one more: the application has shown its window.
    if (closeOnApplicationWindow && countProcessWindows(GetCurrentProcessId()) > 1) {
        showSplash(0);
        endSplashThread();
        return;
    }
    std::u16string text;
    switch (pollSplashController(text)) {
    case SplashRequest::Close:
        showSplash(0);
        endSplashThread();
        return;
    case SplashRequest::NewText:
        setSplashText(reinterpret_cast<const wchar_t*>(text.data()), text.size());
        return;
    case SplashRequest::Nothing:
        return;
    }
}

} // namespace

int splashFontHeight(int points, int pixelsPerInch) {
    return -MulDiv(points, pixelsPerInch, kPointsPerInch);
}

void showSplash(int showCommand) {
    if (showCommand != 0) {
        Stage notStarted = Stage::NotStarted;
        if (!stage.compare_exchange_strong(notStarted, Stage::Starting))
            return;
        // The first count looks up the console window, which must not be counted; two threads doing
        // that at once (the splash and the window watcher) would count it. So it happens here, first.
        if (getConfigNumber(config::SplashClosesOnWindow) != 0)
            countProcessWindows(GetCurrentProcessId());
        HANDLE thread = CreateThread(nullptr, 0, splashThread,
                                     reinterpret_cast<LPVOID>(static_cast<INT_PTR>(showCommand)), 0, nullptr);
        if (thread == nullptr) {
            logError("Could not start the splash thread: error code %lu", GetLastError());
            showSplash(0);
            return;
        }
        // The thread ends by itself once the splash is hidden.
        CloseHandle(thread);
        return;
    }
    if (stage.exchange(Stage::Gone) == Stage::Gone)
        return;
    HWND splash = window.load();
    if (splash != nullptr) {
        hideSplashWindow(splash);
        giveBackErrorOwner(splash);
    }
    // Until the program runs, a start without its splash would show nothing at all: the window held
    // back for it comes back. Once the program runs, its own windows take over.
    HWND heldBack = standIn.load();
    if (heldBack != nullptr && !javaEntered())
        ShowWindow(heldBack, SW_SHOW);
    if (splash == nullptr)
        return;
    DWORD foregroundProcess = 0;
    GetWindowThreadProcessId(GetForegroundWindow(), &foregroundProcess);
    if (foregroundProcess != GetCurrentProcessId())
        activateProcessWindows(GetCurrentProcessId(), false);
}

void closeSplashAtExit() {
    stage = Stage::Gone;
    if (HWND splash = window.load())
        ShowWindowAsync(splash, SW_HIDE);
}

void setSplashText(const wchar_t* text, size_t length) {
    HWND splash = window.load();
    if (splash == nullptr)
        return;
    ansiText(text, length, statusText, sizeof statusText);
    InvalidateRect(splash, nullptr, FALSE);
    UpdateWindow(splash);
}

void setSplashStandIn(HWND dialog) {
    standIn = dialog;
}

bool splashStandsIn() {
    const Stage now = stage.load();
    return now == Stage::Starting || now == Stage::Showing;
}

HWND splashWindow() {
    return window.load();
}

bool splashWanted() {
    const SIZE wanted = configuredSize();
    return wanted.cx > 0 && wanted.cy > 0;
}

DWORD WINAPI splashThread(LPVOID showCommand) {
    if (stage.load() != Stage::Starting)
        return 0;
    HWND splash = createSplashWindow();
    if (splash == nullptr) {
        logError("Could not create the splash window: error code %lu", GetLastError());
        showSplash(0);
        return 0;
    }
    window = splash;
    ownerBefore = currentErrorOwner();
    setErrorOwner(splash);
    ShowWindow(splash, static_cast<int>(reinterpret_cast<INT_PTR>(showCommand)));
    if (getConfigNumber(config::SplashTopmost) != 0)
        SetWindowPos(splash, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    // A hide that came while the window was made may have found no window to hide.
    Stage starting = Stage::Starting;
    if (!stage.compare_exchange_strong(starting, Stage::Showing)) {
        ShowWindow(splash, SW_HIDE);
        giveBackErrorOwner(splash);
        return 0;
    }
    closeOnApplicationWindow = getConfigNumber(config::SplashClosesOnWindow) != 0;
    SetTimer(nullptr, kTimerId, kTickMs, tick);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<DWORD>(message.wParam);
}
