#include "support/error_boxes.h"

#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "splash/splash.h"
#include "support/ansi_text.h"
#include "support/bounded_text.h"
#include "support/deletion_queue.h"
#include "support/log.h"
#include "support/paths.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr size_t kMessageCapacity = 8192;
constexpr UINT kErrorBoxStyle = MB_OK | MB_ICONERROR; // 0x10

bool messageBoxMode = true;
HWND errorOwner = nullptr;

// The log's long path into out, or the path as the log reported it when no long form can be had or
// the long form has characters without an 8-bit form (marked "?"): the short path still opens.
void describedLogPath(const char* logPath, char* out) {
    unsigned long length = longPathName(logPath, out, kPathCapacity);
    if (length == 0 || length >= kPathCapacity || strchr(out, '?') != nullptr)
        lstrcpynA(out, logPath, kPathCapacity);
}

// Where the user reads errors when no message box is shown. A console gets the exact text; a pipe or
// file gets the ANSI code page, like the 8-bit messages.
void writeWideToStandardError(const wchar_t* text) {
    HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written;
    if (GetConsoleMode(stream, &written)) {
        WriteConsoleW(stream, text, static_cast<DWORD>(wcslen(text)), &written, nullptr);
        WriteConsoleW(stream, L"\n", 1, &written, nullptr);
        return;
    }
    // Room for every unit of a whole message as a double-byte character.
    char bytes[kMessageCapacity * 2];
    ansiText(text, bytes, sizeof bytes);
    fprintf(stderr, "%s\n", bytes);
    fflush(stderr);
}

// The thread that ends the process, 0 while none does.
std::atomic<DWORD> endingThread{0};

} // namespace

// Makes the calling thread the one that ends the process. Any other thread that wants to end it
// meanwhile stays here for good, handling its windows' messages so that a message box of the ending
// thread owned by one of them is not held up.
void claimEnd() {
    const DWORD self = GetCurrentThreadId();
    DWORD none = 0;
    if (endingThread.compare_exchange_strong(none, self) || none == self)
        return;
    for (;;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

// The one way out, whatever ended the launch. Nothing here waits for a thread that may stand still
// inside the VM.
[[noreturn]] void endProcess(int code) {
    closeSplashAtExit();
    stopTemporaryFileCleanUp();
    queuePendingDeletions();
    logLine("exit code %d", code);
    // The operating system's immediate exit: no exit handlers of ours or of the C runtime run, and
    // every other thread, a running Java VM included, stops with the process.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    ExitProcess(static_cast<UINT>(code));
}

bool composeErrorTextWide(const wchar_t* message, const char* logPath, wchar_t* out, size_t capacity) {
    size_t used = 0;
    out[0] = L'\0';
    if (!appendCut(out, capacity, &used, message))
        return false;
    if (logPath == nullptr)
        return true;
    wchar_t widePath[kPathCapacity];
    if (MultiByteToWideChar(AreFileApisANSI() ? CP_ACP : CP_OEMCP, 0, logPath, -1, widePath, kPathCapacity) ==
        0)
        widePath[0] = L'\0';
    return appendCut(out, capacity, &used, L"\n\nLog: ") && appendCut(out, capacity, &used, widePath);
}

void showError(const char* text) {
    queuePendingDeletions();
    showSplash(0);

    char logPath[kPathCapacity];
    char composed[kMessageCapacity];
    const char* log = logFilePath();
    if (log != nullptr)
        describedLogPath(log, logPath);
    composeErrorText(text, log != nullptr ? logPath : nullptr, composed, sizeof composed);

    if (messageBoxMode) {
        char caption[kMessageCapacity];
        getConfigText(kestro::payload::config::ErrorCaption, caption, sizeof caption);
        MessageBoxA(errorOwner, composed, caption, kErrorBoxStyle);
    } else {
        fprintf(stderr, "%s\n", composed);
        fflush(stderr);
    }
}

void showErrorWide(const wchar_t* text) {
    queuePendingDeletions();
    showSplash(0);

    char logPath[kPathCapacity];
    wchar_t composed[kMessageCapacity];
    const char* log = logFilePath();
    if (log != nullptr)
        describedLogPath(log, logPath);
    composeErrorTextWide(text, log != nullptr ? logPath : nullptr, composed, kMessageCapacity);

    if (messageBoxMode) {
        wchar_t caption[kTextCapacity];
        getMessage(kestro::payload::message::DialogCaption, caption);
        MessageBoxW(errorOwner, composed, caption, kErrorBoxStyle);
    } else {
        writeWideToStandardError(composed);
    }
}

void setErrorOwner(HWND owner) {
    errorOwner = owner;
}

HWND currentErrorOwner() {
    return errorOwner;
}

void useConsoleErrors() {
    messageBoxMode = false;
}

bool consoleErrorsEnabled() {
    return !messageBoxMode;
}
