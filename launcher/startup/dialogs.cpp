#include "startup/dialogs.h"

#include "jvmsearch/registry_jvms.h"
#include "jvmsearch/win_loader.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "resource_ids.h"
#include "splash/splash.h"
#include "startup/install_started.h"
#include "startup/launch_worker.h"
#include "startup/wide_text.h"
#include "support/ansi_text.h"
#include "support/errors.h"
#include "support/format_check.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/registry_key.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cwchar>

namespace {

namespace config = kestro::payload::config;
namespace message = kestro::payload::message;

constexpr char kDialogClassName[] = "MyDialogClass";
constexpr wchar_t kDialogClassNameWide[] = L"MyDialogClass";
constexpr UINT kDialogClassStyle = CS_DBLCLKS | CS_SAVEBITS | CS_BYTEALIGNWINDOW;
constexpr int kInitialProgressMaximum = 100;
// What the dialog functions answer when the dialog could not be made, and what the progress dialog
// ends with when it cannot start the launch.
constexpr INT_PTR kDialogFailed = -1;
constexpr char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// A dialog made from 8-bit calls is an 8-bit window: a 16-bit caption set into it is stored in the
// ANSI code page, and Greek or Chinese product names turn into question marks. On the NT family the
// class is registered and the dialogs are made through the wide calls; Windows 9x has only the 8-bit
// ones.
void registerDialogClass(HINSTANCE instance) {
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_LAUNCHER));
    HBRUSH background = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    if (isWindowsNT()) {
        WNDCLASSW windowClass = {};
        windowClass.style = kDialogClassStyle;
        windowClass.lpfnWndProc = DefDlgProcW;
        windowClass.cbWndExtra = DLGWINDOWEXTRA;
        windowClass.hInstance = instance;
        windowClass.hIcon = icon;
        windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        windowClass.hbrBackground = background;
        windowClass.lpszClassName = kDialogClassNameWide;
        RegisterClassW(&windowClass);
        return;
    }
    WNDCLASSA windowClass = {};
    windowClass.style = kDialogClassStyle;
    windowClass.lpfnWndProc = DefDlgProcA;
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    windowClass.hbrBackground = background;
    windowClass.lpszClassName = kDialogClassName;
    RegisterClassA(&windowClass);
}

INT_PTR showDialog(int resource, HWND owner, DLGPROC procedure, LPARAM parameter) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (isWindowsNT())
        return DialogBoxParamW(instance, MAKEINTRESOURCEW(resource), owner, procedure, parameter);
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(resource), owner, procedure, parameter);
}

DWORD WINAPI launchWorkerThread(LPVOID progressDialog) {
    launchWorker(static_cast<HWND>(progressDialog));
}

INT_PTR CALLBACK progressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        centreWindow(dialog);
        setErrorOwner(dialog);
        SendDlgItemMessageW(dialog, IDC_PROGRESS_BAR, PBM_SETRANGE, 0,
                            MAKELPARAM(0, kInitialProgressMaximum));
        setItemToMessage(dialog, IDC_STATUS_TEXT, message::ProgressStatus);
        setWindowToMessage(dialog, message::DialogCaption);
        setItemToMessage(dialog, IDCANCEL, message::CancelButton);
        // Set before the first show can be held back, so that a splash failing later finds it.
        setSplashStandIn(dialog);
        // The worker runs for as long as the application does and ends the process; its handle is
        // not needed.
        HANDLE worker = CreateThread(nullptr, 0, launchWorkerThread, dialog, 0, nullptr);
        if (worker == nullptr) {
            logError("Could not start the launch: error code %lu", GetLastError());
            EndDialog(dialog, kDialogFailed);
        } else {
            CloseHandle(worker);
        }
        return TRUE;
    }
    // The splash stands for the progress dialog while it shows; the dialog manager's own first show
    // of the dialog is held back then. The splash's end brings the dialog back when needed.
    if (message == WM_WINDOWPOSCHANGING && splashStandsIn()) {
        reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
        return FALSE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        logLine("Canceled installer");
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK questionDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const bool downloadOffered = lParam != 0;
        centreWindow(dialog);
        // A failed Locate is told in a box the question waits for, so that it cannot be answered
        // again underneath.
        setErrorOwner(dialog);
        setWindowToMessage(dialog, message::DialogCaption);
        setItemToMessage(dialog, IDCANCEL, message::CancelButton);
        setItemToMessage(dialog, IDC_LOCATE, message::LocateButton);
        setItemToMessage(dialog, IDC_DOWNLOAD, message::DownloadButton);
        wchar_t format[kTextCapacity];
        getMessage(downloadOffered ? message::QuestionWithDownload : message::QuestionWithoutDownload,
                   format);
        if (!downloadOffered)
            ShowWindow(GetDlgItem(dialog, IDC_DOWNLOAD), SW_HIDE);
        char minimum[kTextCapacity];
        char maximum[kTextCapacity];
        getConfigText(config::MinimumVersion, minimum, sizeof minimum);
        getConfigText(config::MaximumVersion, maximum, sizeof maximum);
        wchar_t question[kTextCapacity];
        if (!composeQuestion(format, minimum, maximum, question, kTextCapacity))
            logError("The question's format takes other arguments than two versions: shown as it is");
        setItemTextWide(dialog, IDC_STATUS_TEXT, question);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    const int command = LOWORD(wParam);
    if (command == IDC_LOCATE) {
        // After a cancelled or failed pick the question stays for another try.
        if (pickJavaExe(dialog))
            EndDialog(dialog, IDC_LOCATE);
        return FALSE;
    }
    if (command == IDCANCEL) {
        setInstallStarted(false);
        exitLauncher(1);
    }
    EndDialog(dialog, command);
    return TRUE;
}

// Where runtimes are installed: the program-files folder of this process's kind (a 32-bit process on
// 64-bit Windows gets the one of 32-bit programs, whose runtimes are the ones it can load). False when
// the system does not say.
bool programFilesFolder(char* out, DWORD capacity) {
    RegistryKey key;
    if (!key.open(HKEY_LOCAL_MACHINE, kCurrentVersionKey))
        return false;
    DWORD type = 0;
    DWORD size = capacity;
    if (RegQueryValueExA(key.get(), "ProgramFilesDir", nullptr, &type, reinterpret_cast<BYTE*>(out), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ || size == 0 || size >= capacity)
        return false;
    out[size] = '\0';
    return out[0] != '\0';
}

} // namespace

bool runProgressDialog(HINSTANCE instance) {
    registerDialogClass(instance);
    const INT_PTR result = showDialog(IDD_PROGRESS, nullptr, progressDialogProc, 0);
    if (result == kDialogFailed)
        logError("The progress dialog could not run: error code %lu", GetLastError());
    return result != kDialogFailed;
}

INT_PTR askForRuntime(HWND progressDialog, bool downloadOffered) {
    const HWND ownerBefore = currentErrorOwner();
    const INT_PTR answer =
        showDialog(IDD_QUESTION, progressDialog, questionDialogProc, downloadOffered ? 1 : 0);
    setErrorOwner(ownerBefore);
    return answer;
}

bool pickJavaExe(HWND owner) {
    char file[kPathCapacity] = "";
    wchar_t wideTitle[kTextCapacity];
    getMessage(message::LocateDialogTitle, wideTitle);
    // The 8-bit dialog takes its title in the ANSI code page.
    char title[kTextCapacity];
    ansiText(wideTitle, title, sizeof title);
    OPENFILENAMEA dialog = {};
    // The structure without the Windows 2000 additions, in this architecture's size: older systems
    // refuse the larger one, and a 64-bit system refuses the 32-bit size.
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = "Java EXE\0java.exe\0"; // the literal's own NUL ends the list
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file;
    dialog.lpstrTitle = title;
    char programFiles[kPathCapacity];
    if (programFilesFolder(programFiles, sizeof programFiles))
        dialog.lpstrInitialDir = programFiles;
    // Without OFN_NOCHANGEDIR the dialog leaves the process in the picked file's folder, where the
    // rest of the launch (a download among it) would then write.
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameA(&dialog))
        return false;
    if (!LoadDLL(true, file, true))
        return false;
    recordLocatedJvm(file);
    return true;
}

void showProgressPosition(int32_t position, void* progressDialog) {
    SendDlgItemMessageW(static_cast<HWND>(progressDialog), IDC_PROGRESS_BAR, PBM_SETPOS,
                        static_cast<WPARAM>(position), 0);
}

void showProgressStatusLine(const wchar_t* text, void* progressDialog) {
    setItemTextWide(static_cast<HWND>(progressDialog), IDC_STATUS_LINE, text);
}

void centreWindow(HWND window) {
    HWND parent = GetParent(window);
    if (parent == nullptr)
        parent = GetDesktopWindow();
    RECT outer;
    RECT own;
    GetWindowRect(parent, &outer);
    GetWindowRect(window, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    SetWindowPos(window, HWND_TOP, outer.left + (outer.right - outer.left - width) / 2,
                 outer.top + (outer.bottom - outer.top - height) / 2, 0, 0, SWP_NOSIZE);
}

bool composeQuestion(const wchar_t* format, const char* minimum, const char* maximum, wchar_t* out,
                     size_t capacity) {
    if (capacity == 0)
        return false;
    // "-" stands for a bound the configuration leaves open.
    const char* low = minimum[0] != '\0' ? minimum : "-";
    const char* high = maximum[0] != '\0' ? maximum : "-";
    const int conversions = countFormatConversions(format, L"S");
    const bool usable = conversions >= 0 && conversions <= 2;
    if (!usable) {
        wcsncpy(out, format, capacity - 1);
    } else {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        // Checked above: at most two 8-bit texts.
        _snwprintf(out, capacity - 1, format, low, high);
#pragma GCC diagnostic pop
    }
    out[capacity - 1] = L'\0';
    return usable;
}
