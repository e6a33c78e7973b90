// download-probe: stands in for the progress dialog. It loads its payload, makes a plain window with
// the dialog's controls (1001 progress bar, 1002 and 1003 static texts, 2 the Cancel button) and runs
// downloadRuntime on a worker thread with configuration 150 and "jre.tar.gz" in the directory named by
// KESTRO_PROBE_DIRECTORY (which it does not enter) while this thread pumps the window's messages, as
// the dialog's thread does.
// Every text set into 1002 and every bar position is read back from the control and printed (UTF-8):
//   status <text> (visible <0|1>)
//   bar <position>
// and after the download:
//   done
//   item 1003 <text>
//   item 2 <text>
//   visible 1002 <0|1>
// A failed download ends the process through the launcher's fatal error (exit code 1).
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "startup/runtime_download.h"
#include "support/paths.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr UINT kDownloadDone = WM_APP + 1;

HWND window = nullptr;
WNDPROC originalStatusProc = nullptr;
WNDPROC originalBarProc = nullptr;

std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    return out.c_str();
}

std::string textOf(HWND control) {
    wchar_t text[2000];
    GetWindowTextW(control, text, 2000);
    return utf8(text);
}

LRESULT CALLBACK statusProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    const LRESULT result = CallWindowProcW(originalStatusProc, control, message, wParam, lParam);
    if (message == WM_SETTEXT) {
        printf("status %s (visible %d)\n", textOf(control).c_str(), IsWindowVisible(control) ? 1 : 0);
        fflush(stdout);
    }
    return result;
}

LRESULT CALLBACK barProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    const LRESULT result = CallWindowProcW(originalBarProc, control, message, wParam, lParam);
    if (message == PBM_SETPOS) {
        printf("bar %d\n", static_cast<int>(SendMessageW(control, PBM_GETPOS, 0, 0)));
        fflush(stdout);
    }
    return result;
}

HWND addControl(const wchar_t* className, int id, DWORD style, int y) {
    return CreateWindowExW(0, className, L"", WS_CHILD | style, 10, y, 300, 20, window,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

char location[kTextCapacity];
char destination[kPathCapacity];

DWORD WINAPI downloadWorker(void*) {
    downloadRuntime(window, location, destination);
    PostMessageW(window, kDownloadDone, 0, 0);
    return 0;
}

} // namespace

int main() {
    loadPayload();
    const char* directory = getenv("KESTRO_PROBE_DIRECTORY");
    snprintf(destination, sizeof destination, "%s\\%s", directory != nullptr ? directory : ".",
             kestro::payload::kRuntimeArchiveName);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    window = CreateWindowExW(0, L"STATIC", L"download-probe", WS_OVERLAPPED | WS_CAPTION, 0, 0, 340, 160,
                             nullptr, nullptr, nullptr, nullptr);
    const HWND bar = addControl(PROGRESS_CLASSW, 1001, WS_VISIBLE, 90);
    const HWND status = addControl(L"STATIC", 1002, 0, 60);
    addControl(L"STATIC", 1003, WS_VISIBLE, 10);
    addControl(L"BUTTON", IDCANCEL, WS_VISIBLE, 120);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    originalStatusProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(statusProc)));
    originalBarProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(barProc)));
    ShowWindow(window, SW_SHOWNOACTIVATE);

    getConfigText(150, location, sizeof location);
    CloseHandle(CreateThread(nullptr, 0, downloadWorker, nullptr, 0, nullptr));

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == window && message.message == kDownloadDone)
            break;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    printf("done\n");
    printf("item 1003 %s\n", textOf(GetDlgItem(window, 1003)).c_str());
    printf("item 2 %s\n", textOf(GetDlgItem(window, IDCANCEL)).c_str());
    printf("visible 1002 %d\n", IsWindowVisible(status) ? 1 : 0);
    return 0;
}
