#include "startup/startup.h"

#include "launch/arguments.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "splash/splash.h"
#include "startup/dialogs.h"
#include "startup/install_started.h"
#include "startup/launch_worker.h"
#include "startup/startup_state.h"
#include "support/deletion_queue.h"
#include "support/environment.h"
#include "support/errors.h"
#include "support/library_search.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/process_rights.h"
#include "support/single_instance.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>

namespace {

namespace config = kestro::payload::config;
namespace message = kestro::payload::message;

constexpr char kRebootMarker[] = "__qvx_reboot";
constexpr char kLanguageRestartMarker[] = "__qvx_lang_restart";
constexpr DWORD kRebootDelayMs = 5000;
constexpr size_t kPathPrefixCapacity = 16384;
// The internal error's code when the progress dialog cannot be shown or cannot start the launch.
constexpr char kNoProgressDialog[] = "21";

// Asked for by an installer that needs a restart of Windows before the application can run.
// Windows refuses the restart unless the shutdown privilege, which users hold but which is off in
// their programs' tokens, is switched on first. Wine does not ask for it: there only the log lines
// show each step.
void requestReboot() {
    Sleep(kRebootDelayMs);
    logLine("reboot requested");
    enablePrivilege(SE_SHUTDOWN_NAME);
    if (ExitWindowsEx(EWX_REBOOT, 0))
        logLine("ExitWindowsEx accepted the reboot");
    else
        logError("ExitWindowsEx failed with error code %lu", GetLastError());
}

// A stream of a GUI program leads nowhere unless the program was started with handles for it.
bool leadsNowhere(FILE* stream) {
    const int descriptor = _fileno(stream);
    return descriptor < 0 || _get_osfhandle(descriptor) == -1 || _get_osfhandle(descriptor) == -2;
}

// The PATH prefix names the project's own library folders: the libraries loaded from there (the
// application's native libraries, which the runtime finds through PATH) find what they need there
// too, as they did through PATH before the search was restricted. The executable's own folder
// stays out: whoever can write beside the executable (a Downloads folder) would choose libraries.
void searchPrefixForLibraries(const char* directories) {
    std::string list = directories;
    for (char* directory = strtok(&list[0], ";"); directory != nullptr; directory = strtok(nullptr, ";")) {
        if (sameDirectory(directory, executableDirectory()))
            logLine("PATH prefix %s is the executable's folder: not searched for libraries", directory);
        else if (pathExists(directory))
            searchForLibrariesIn(directory);
    }
}

// The old PATH is taken and given back in 16 bits, so that entries with characters outside the ANSI
// code page reach the VM and every child process as they were.
void prefixPath() {
    char configured[kTextCapacity];
    getConfigText(config::PathPrefix, configured, sizeof configured);
    if (configured[0] == '\0')
        return;
    char absolute[kPathPrefixCapacity];
    std::string leftOut;
    absolutePathList(absolute, sizeof absolute, configured, &leftOut);
    if (!leftOut.empty())
        logError("PATH prefix longer than %u bytes, left out: %s", static_cast<unsigned>(sizeof absolute),
                 leftOut.c_str());
    setPathVariable(prefixedPath(widePath(absolute), environmentVariable(L"PATH")));
    searchPrefixForLibraries(absolute);
}

void enterWorkingDirectory() {
    char configured[kTextCapacity];
    getConfigText(config::WorkingDirectory, configured, sizeof configured);
    if (configured[0] == '\0')
        return;
    char directory[kPathCapacity];
    if (fullPath(directory, configured, true))
        SetCurrentDirectoryA(directory);
}

void askAfterFailedStart() {
    wchar_t caption[kTextCapacity];
    wchar_t text[kTextCapacity];
    getMessage(message::DialogCaption, caption);
    getMessage(message::LastRunFailedQuestion, text);
    if (MessageBoxW(nullptr, text, caption, MB_YESNO | MB_ICONEXCLAMATION) == IDYES)
        setManualSelection(true);
}

} // namespace

std::wstring prefixedPath(const std::wstring& absoluteDirectories, const std::wstring& oldPath) {
    std::wstring value = absoluteDirectories;
    if (!value.empty() && value.back() != L';')
        value += L';';
    return value + oldPath;
}

bool attachConsole() {
    using AttachConsoleFunction = BOOL(WINAPI*)(DWORD);
    // Looked up by name: older systems have no AttachConsole.
    const auto attach = reinterpret_cast<AttachConsoleFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "AttachConsole")));
    // Refused as access denied when this process already has a console (as under Wine, which hands
    // a GUI program its parent's console): then there is one to use.
    const bool attached =
        (attach != nullptr && (attach(ATTACH_PARENT_PROCESS) || GetLastError() == ERROR_ACCESS_DENIED)) ||
        AllocConsole();
    if (attached) {
        if (leadsNowhere(stdout))
            freopen("CONOUT$", "w", stdout);
        if (leadsNowhere(stderr))
            freopen("CONOUT$", "w", stderr);
    }
    return attached;
}

void prepareEnvironment(HINSTANCE instance) {
    loadPayload();
    setModuleInstance(instance);
    char kind[2];
    getConfigText(config::ApplicationKind, kind, sizeof kind);
    setApplicationKind(kind[0]);
    prefixPath();
    if (!languageRestartMode())
        enterWorkingDirectory();
}

void runStartup(HINSTANCE instance, const char* commandLineTail) {
    // Before anything loads a library by name: Windows and the libraries it loads itself look for
    // those that are not in memory yet beside the executable first.
    restrictLibrarySearch();
    if (strcmp(commandLineTail, kRebootMarker) == 0)
        requestReboot();
    logLine("Init");
    startTemporaryFileCleanUp();

    bool quiet = false;
    if (strncmp(commandLineTail, kLanguageRestartMarker, strlen(kLanguageRestartMarker)) == 0) {
        setLanguageRestartMode(true);
        quiet = true;
    }
    InitCommonControls();
    prepareEnvironment(instance);

    WideArguments arguments;
    splitArguments(GetCommandLineW(), arguments);
    bool consoleAttached = false;
    for (const std::wstring& argument : arguments) {
        if (argument == L"-q") {
            quiet = true;
            useConsoleErrors();
        } else if (argument == L"-console") {
            consoleAttached = attachConsole();
        } else if (argument == L"-c") {
            quiet = true;
            useConsoleErrors();
            if (!consoleAttached) {
                consoleAttached = attachConsole();
                if (!consoleAttached) {
                    // Shown directly: message boxes are already switched off, and there is no console.
                    MessageBoxA(nullptr, "Error: Could not allocate console.", "sorvana", 0);
                    exitLauncher(1);
                }
            }
        } else if (argument == L"-manual" || argument == L"/manual") {
            setManualSelection(true);
        }
    }

    // Before this process can be known to later starts, which hand their arguments to its id.
    discardStaleHandOver();
    // One instance per executable always; its arguments go to the first only when the project asks.
    if (!languageRestartMode())
        guardSingleInstance(false, getConfigNumber(kestro::payload::config::SingleInstanceHandOver) != 0);
    logLine("Init done");

    if (isInstallStarted() && !quiet)
        askAfterFailedStart();

    // Before the runtime search, so that the user sees the application coming at once; after the
    // questions above, which it would cover. Without taking the focus: a picture takes no input, and
    // what the user types meanwhile stays where it was. (An activated splash is also one that Wine
    // without a window manager hides only after waiting two seconds for one.)
    if (splashWanted() && (!quiet || getConfigNumber(config::SplashInQuietMode) != 0))
        showSplash(SW_SHOWNOACTIVATE);

    if (quiet) {
        logLine("Quiet installer.");
        launchWorker(nullptr);
    }
    if (!runProgressDialog(instance))
        fatalMessage(config::MessageInternalError, kNoProgressDialog);
    // Cancelled: whatever the launch was doing ends with it.
    exitLauncher(0);
}
