// ui-probe: looks at and drives the launcher's dialogs from outside, as a user would.
//
//   ui-probe.exe dump progress|question|open|splash WAIT_MS
//                                                      the window and its controls (below); exit 3
//                                                      when none appeared within WAIT_MS
//   ui-probe.exe click progress|question ID            presses button ID of that dialog
//   ui-probe.exe close progress|question|splash        closes the window as Alt+F4 does (WM_CLOSE)
//   ui-probe.exe pick PATH | cancel-pick               fills in the file-open dialog and presses OK,
//                                                      or presses its Cancel
//   ui-probe.exe wait-hidden MS                        waits until the progress dialog is hidden;
//                                                      exit 3 when it is still shown after MS
//   ui-probe.exe splash-hidden MS                      waits until no splash window is shown; exit 3
//                                                      when one is still shown after MS
//   ui-probe.exe positions MS STOP_AT                  the progress bar's positions, sampled until the
//                                                      progress dialog is hidden, the bar reaches
//                                                      STOP_AT (unless negative) or MS have passed
//
// Output, one line per item, UTF-8 (texts read as UTF-16 from the windows themselves):
//   window<TAB>class<TAB>title<TAB>visible<TAB>left<TAB>top<TAB>right<TAB>bottom
//   centre<TAB>x<TAB>y                 where centring on the owner (or the desktop) would put the window
//   control<TAB>id<TAB>class<TAB>visible<TAB>text
//   progress<TAB>minimum<TAB>maximum<TAB>position
//   controls<TAB>6 or 5                whether the window's process loaded the common controls 6
//   positions<TAB>p1,p2,...            each change once, in the order seen
// The progress dialog is found by its class; the question dialog is the dialog with a Locate button
// owned by it; the file-open dialog is the dialog with a file-name field; the splash is found by its
// class.
#include <windows.h>

#include <commctrl.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kLocateButton = 1005;
constexpr int kProgressBar = 1001;
constexpr int kFileNameCombo = 0x47c; // cmb13 of the file dialogs
constexpr int kFileNameEdit = 0x480;  // edt1
constexpr DWORD kPollMs = 20;

std::string utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::string escaped(const std::wstring& text) {
    std::string out;
    for (char c : utf8(text)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::wstring className(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

// Through WM_GETTEXT, which the system carries across processes as UTF-16.
std::wstring textOf(HWND window) {
    std::vector<wchar_t> text(8192);
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_BLOCK,
                        5000, &length);
    return std::wstring(text.data());
}

enum class Kind { Progress, Question, Open, Splash };

bool isKind(HWND window, Kind kind) {
    const std::wstring name = className(window);
    switch (kind) {
    case Kind::Progress:
        return _wcsicmp(name.c_str(), L"MyDialogClass") == 0;
    case Kind::Question: {
        HWND owner = GetWindow(window, GW_OWNER);
        return name == L"#32770" && IsWindowVisible(window) && GetDlgItem(window, kLocateButton) && owner &&
               isKind(owner, Kind::Progress);
    }
    case Kind::Open:
        return name == L"#32770" && IsWindowVisible(window) &&
               (GetDlgItem(window, kFileNameCombo) || GetDlgItem(window, kFileNameEdit));
    case Kind::Splash:
        return name == L"KestroSplashScreen";
    }
    return false;
}

struct Search {
    Kind kind;
    HWND found;
};

BOOL CALLBACK findWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    if (!isKind(window, search->kind))
        return TRUE;
    search->found = window;
    return FALSE;
}

// The dialog manager shows a modal dialog only once its thread is idle: a progress dialog is waited
// for until it is visible, and taken hidden only when it stays so for all of waitMs.
HWND waitFor(Kind kind, DWORD waitMs) {
    const ULONGLONG until = GetTickCount64() + waitMs;
    for (;;) {
        Search search = {kind, nullptr};
        EnumWindows(findWindow, reinterpret_cast<LPARAM>(&search));
        if ((search.found && IsWindowVisible(search.found)) || GetTickCount64() >= until)
            return search.found;
        Sleep(kPollMs);
    }
}

bool parseKind(const wchar_t* text, Kind* kind) {
    if (wcscmp(text, L"progress") == 0)
        *kind = Kind::Progress;
    else if (wcscmp(text, L"question") == 0)
        *kind = Kind::Question;
    else if (wcscmp(text, L"open") == 0)
        *kind = Kind::Open;
    else if (wcscmp(text, L"splash") == 0)
        *kind = Kind::Splash;
    else
        return false;
    return true;
}

int progressValue(HWND bar, UINT message, WPARAM wParam) {
    DWORD_PTR value = 0;
    SendMessageTimeoutW(bar, message, wParam, 0, SMTO_BLOCK, 5000, &value);
    return int(value);
}

BOOL CALLBACK printControl(HWND control, LPARAM) {
    printf("control\t%d\t%s\t%d\t%s\n", GetDlgCtrlID(control), escaped(className(control)).c_str(),
           IsWindowVisible(control) ? 1 : 0, escaped(textOf(control)).c_str());
    if (_wcsicmp(className(control).c_str(), PROGRESS_CLASSW) == 0)
        printf("progress\t%d\t%d\t%d\n", progressValue(control, PBM_GETRANGE, TRUE),
               progressValue(control, PBM_GETRANGE, FALSE), progressValue(control, PBM_GETPOS, 0));
    return TRUE;
}

// The common controls 6 are a side-by-side assembly: a process has them when its manifest asked.
int commonControlsVersion(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (!process)
        return 0;
    HMODULE modules[512];
    DWORD bytes = 0;
    int version = 5;
    if (EnumProcessModules(process, modules, sizeof modules, &bytes)) {
        for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 512; ++i) {
            wchar_t path[MAX_PATH] = L"";
            GetModuleFileNameExW(process, modules[i], path, MAX_PATH);
            _wcslwr(path);
            if (wcsstr(path, L"common-controls_6595b64144ccf1df_6."))
                version = 6;
        }
    }
    CloseHandle(process);
    return version;
}

void dump(HWND window) {
    RECT own;
    GetWindowRect(window, &own);
    printf("window\t%s\t%s\t%d\t%ld\t%ld\t%ld\t%ld\n", escaped(className(window)).c_str(),
           escaped(textOf(window)).c_str(), IsWindowVisible(window) ? 1 : 0, own.left, own.top, own.right,
           own.bottom);
    HWND owner = GetWindow(window, GW_OWNER);
    RECT outer;
    GetWindowRect(owner ? owner : GetDesktopWindow(), &outer);
    printf("centre\t%ld\t%ld\n", outer.left + (outer.right - outer.left - (own.right - own.left)) / 2,
           outer.top + (outer.bottom - outer.top - (own.bottom - own.top)) / 2);
    EnumChildWindows(window, printControl, 0);
    printf("controls\t%d\n", commonControlsVersion(window));
}

void press(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

int pick(const wchar_t* path) {
    HWND dialog = waitFor(Kind::Open, 20000);
    if (!dialog)
        return 3;
    HWND field = GetDlgItem(dialog, kFileNameCombo);
    if (field) {
        HWND edit = FindWindowExW(field, nullptr, L"Edit", nullptr);
        field = edit ? edit : field;
    } else {
        field = GetDlgItem(dialog, kFileNameEdit);
    }
    SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path));
    press(dialog, IDOK);
    for (int i = 0; i < 500 && IsWindow(dialog); ++i)
        Sleep(kPollMs);
    return IsWindow(dialog) ? 4 : 0;
}

int positions(DWORD ms, int stopAt) {
    HWND dialog = waitFor(Kind::Progress, 20000);
    if (!dialog)
        return 3;
    HWND bar = GetDlgItem(dialog, kProgressBar);
    std::string seen;
    int last = -1;
    const ULONGLONG until = GetTickCount64() + ms;
    while (IsWindow(dialog) && IsWindowVisible(dialog) && GetTickCount64() < until) {
        const int position = progressValue(bar, PBM_GETPOS, 0);
        if (position != last)
            seen += (seen.empty() ? "" : ",") + std::to_string(position);
        last = position;
        if (position == stopAt)
            break;
        Sleep(5);
    }
    printf("positions\t%s\n", seen.c_str());
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Kind kind;
    const std::wstring command = argc > 1 ? argv[1] : L"";
    int status = 2;
    if (command == L"dump" && argc == 4 && parseKind(argv[2], &kind)) {
        HWND window = waitFor(kind, DWORD(_wtoi(argv[3])));
        status = window ? 0 : 3;
        if (window)
            dump(window);
    } else if (command == L"click" && argc == 4 && parseKind(argv[2], &kind)) {
        HWND window = waitFor(kind, 20000);
        status = window ? 0 : 3;
        if (window)
            press(window, _wtoi(argv[3]));
    } else if (command == L"close" && argc == 3 && parseKind(argv[2], &kind)) {
        HWND window = waitFor(kind, 20000);
        status = window ? 0 : 3;
        if (window)
            PostMessageW(window, WM_CLOSE, 0, 0);
    } else if (command == L"pick" && argc == 3) {
        status = pick(argv[2]);
    } else if (command == L"cancel-pick" && argc == 2) {
        HWND dialog = waitFor(Kind::Open, 20000);
        status = dialog ? 0 : 3;
        if (dialog)
            press(dialog, IDCANCEL);
    } else if (command == L"wait-hidden" && argc == 3) {
        HWND dialog = waitFor(Kind::Progress, 0);
        const ULONGLONG until = GetTickCount64() + DWORD(_wtoi(argv[2]));
        while (dialog && IsWindowVisible(dialog) && GetTickCount64() < until)
            Sleep(kPollMs);
        status = dialog && !IsWindowVisible(dialog) ? 0 : 3;
    } else if (command == L"splash-hidden" && argc == 3) {
        const ULONGLONG until = GetTickCount64() + DWORD(_wtoi(argv[2]));
        HWND splash = waitFor(Kind::Splash, 0);
        while (splash && IsWindowVisible(splash) && GetTickCount64() < until) {
            Sleep(kPollMs);
            splash = waitFor(Kind::Splash, 0);
        }
        status = splash && IsWindowVisible(splash) ? 3 : 0;
    } else if (command == L"positions" && argc == 4) {
        status = positions(DWORD(_wtoi(argv[2])), _wtoi(argv[3]));
    } else {
        fwprintf(stderr, L"ui-probe: unexpected arguments\n");
    }
    fflush(stdout);
    return status;
}
