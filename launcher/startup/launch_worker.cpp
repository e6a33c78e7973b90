#include "startup/launch_worker.h"

#include "jreprovision/pack200.h"
#include "jreprovision/runtime_cache.h"
#include "jreprovision/tar_reader.h"
#include "jvmsearch/win_loader.h"
#include "launch/arguments.h"
#include "launch/vm_launch.h"
#include "payload/included_files.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "resource_ids.h"
#include "runtime/version_rules.h"
#include "splash/splash.h"
#include "startup/dialogs.h"
#include "startup/install_started.h"
#include "startup/runtime_download.h"
#include "startup/startup_state.h"
#include "support/deletion_queue.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/single_instance.h"

#include <commctrl.h>
#include <direct.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

namespace config = kestro::payload::config;
namespace message = kestro::payload::message;

constexpr const char* kRuntimeArchive = kestro::payload::kRuntimeArchiveName;
constexpr char kRuntimeDirectory[] = "jre";
constexpr DWORD kWatchIntervalMs = 100;
constexpr int kWatchStepsPerAdvance = 5;
constexpr int kWatchAdvance = 20;
constexpr int kWatchStepsBeforeTimeout = 600;
// For the scenario tests only: the watcher's time-out in milliseconds instead of the minute above.
constexpr char kTestTimeoutVariable[] = "KESTRO_TEST_WATCH_TIMEOUT_MS";
// The application error without its message in the payload (an executable of an older packer).
constexpr wchar_t kApplicationErrorText[] = L"The application ended with an error.";
constexpr int kAnimationStart = 100;
constexpr int kAnimationEnd = 200;
constexpr int kAnimationSteps = 10;

// Where the window watcher takes the bar from and how far it may go. Written by the worker before the
// watcher starts, then only by the watcher.
volatile int32_t progressMaximum = 0;
volatile int32_t progressPosition = 0;
// How long the runtime archive took to unpack: paces the animation while the packed libraries are
// restored, which takes about as long. Written before the animation starts.
volatile DWORD extractionTimeMs = 0;
// Written by the worker, read by the animation.
volatile bool unpackFinished = false;
// This start wrote InstallStarted = 1; written before the VM's thread starts.
bool markedInstallStarted = false;
// The user's cache entry for the payload's runtime (empty when it does not go through the cache) and,
// once taken, its runtime home. Only the worker uses them.
char cacheEntry[kPathCapacity] = "";
char cachedHome[kPathCapacity] = "";
// When the runtime archive's unpacking began, and the dialog the restoring of its packed libraries
// shows its progress in.
DWORD extractionStart = 0;
HWND restoringDialog = nullptr;
constexpr char kCorruptedRuntime[] =
    "The bundled JRE is corrupted. If you downloaded the setup file please download it again.";

void setProgressPosition(HWND progressDialog, int position) {
    SendDlgItemMessageW(progressDialog, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

// Above the worker's priority, so that the bar keeps moving while the worker (or the VM) is busy.
void startHelperThread(LPTHREAD_START_ROUTINE procedure, HWND progressDialog) {
    HANDLE thread = CreateThread(nullptr, 0, procedure, progressDialog, 0, nullptr);
    if (thread == nullptr) {
        logError("Could not start a progress thread: error code %lu", GetLastError());
        return;
    }
    SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL);
    CloseHandle(thread);
}

void changeIntoExtractionDirectory() {
    if (_chdir(extractionDirectory()) != 0)
        logError("Could not change working dir to %s", extractionDirectory());
}

// The included files could not be written: the user learns why before the process ends.
[[noreturn]] void failExtraction(int result) {
    fatalMessageWide(result == kCopyWriteFailed ? message::DiskFull : message::InstallationCorrupted);
}

// Scripts may look for the line on standard output; the user reads why on standard error (or in a
// box, when errors go there): the project's own words, which versions would do, and the log.
[[noreturn]] void endWithoutRuntime() {
    logError("No JRE found");
    printf("no jre found\n");
    fflush(stdout);
    setInstallStarted(false);
    char text[kTextCapacity];
    char minimum[kTextCapacity];
    char maximum[kTextCapacity];
    getConfigText(config::MessageNoJvm, text, sizeof text);
    getConfigText(config::MinimumVersion, minimum, sizeof minimum);
    getConfigText(config::MaximumVersion, maximum, sizeof maximum);
    const std::string told = std::string(text) + (text[0] != '\0' ? "\n" : "") + "The program runs on " +
                             describeVersionRange(minimum, maximum) + ".";
    showError(told.c_str());
    exitLauncher(kNoRuntimeExitCode);
}

// The program's Java code runs: the start got through, and the next one need not ask.
void startGotThrough() {
    logLine("Java side entered");
    if (markedInstallStarted)
        setInstallStarted(false);
}

// Ends the launcher as java ends after the program's main: 0 when it returned, 1 when it threw, told
// as the application's own error (its exception's class and message).
[[noreturn]] void endWithProgram(const LaunchOutcome& outcome) {
    switch (outcome.end) {
    case ProgramEnd::NotStarted:
        logError("Could not start JVM");
        fatalMessage(config::MessageJvmNotStarted, nullptr);
    case ProgramEnd::Returned:
        exitLauncher(0);
    case ProgramEnd::Threw:
        break;
    }
    wchar_t text[kTextCapacity];
    getMessage(message::ApplicationError, text);
    std::wstring told = text[0] != L'\0' ? text : kApplicationErrorText;
    if (!outcome.exception.empty())
        told += L"\n\n" + outcome.exception;
    fatalErrorWide(told.c_str());
}

// The bar's range leaves room for what is still to come: unpacking a shipped runtime (up to 100) and
// restoring its packed libraries (up to 200) before the wait for the application's window.
void setProgressRange(HWND progressDialog, bool shippedRuntime) {
    progressMaximum = 80;
    progressPosition = 0;
    if (shippedRuntime && getConfigNumber(config::RuntimeIsPacked) != 0) {
        progressMaximum = 250;
        progressPosition = 200;
    } else if (shippedRuntime) {
        progressMaximum = 150;
        progressPosition = 100;
    }
    if (progressDialog != nullptr)
        SendDlgItemMessageW(progressDialog, IDC_PROGRESS_BAR, PBM_SETRANGE, 0,
                            MAKELPARAM(0, progressMaximum));
}

// No runtime was found, or the user wants to pick one: the question decides. Returns whether the
// runtime archive is now at archive (a full path).
bool askForRuntimeFromUser(HWND progressDialog, const char* archive) {
    // A question is not for a splash to cover: the splash ends and the progress dialog comes back.
    showSplash(0);
    char location[kTextCapacity];
    getConfigText(config::DownloadUrl, location, sizeof location);
    logLine("Download location: %s", location);
    const INT_PTR answer = askForRuntime(progressDialog, location[0] != '\0');
    if (answer != IDC_DOWNLOAD)
        return false; // Locate has loaded the picked runtime; anything else fails at the VM's start
    logLine("Downloading JRE");
    downloadRuntime(progressDialog, location, archive);
    logLine("Done");
    return true;
}

// A visible window of this process other than the launcher's own (the progress dialog and the
// splash, shown or not).
bool applicationWindowShown(HWND progressDialog) {
    return countProcessWindows(GetCurrentProcessId(), {progressDialog, splashWindow()}) > 0;
}

int watchStepsBeforeTimeout() {
    const char* testTimeout = getenv(kTestTimeoutVariable);
    const int steps = testTimeout != nullptr ? atoi(testTimeout) / static_cast<int>(kWatchIntervalMs) : 0;
    return steps > 0 ? steps : kWatchStepsBeforeTimeout;
}

} // namespace

DWORD WINAPI watchJavaWindow(LPVOID parameter) {
    HWND progressDialog = static_cast<HWND>(parameter);
    const int timeoutStep = watchStepsBeforeTimeout();
    for (int step = 1; !applicationWindowShown(progressDialog); ++step) {
        if (step % kWatchStepsPerAdvance == 0) {
            const int32_t next = progressPosition + kWatchAdvance;
            progressPosition = next < progressMaximum - 10 ? next : progressMaximum - 10;
            setProgressPosition(progressDialog, progressPosition);
        }
        if (step == timeoutStep) {
            // A program that runs without a window of its own (yet) is never ended: a long start, a
            // tray or headless program. Only a start that has not reached it in time gives up.
            if (javaEntered()) {
                logLine("no Java window yet; the program runs");
                ShowWindow(progressDialog, SW_HIDE);
                return 0;
            }
            // InstallStarted stays set from a start that searched for its runtime or had the user
            // pick one until the program runs; such a start may wait without limit, since the next
            // start can still tell that it did not get through.
            if (!isInstallStarted()) {
                logLine("timeout");
                fatalMessageWide(message::StartupTimeout);
            }
        }
        Sleep(kWatchIntervalMs);
    }
    logLine("Java window visible");
    ShowWindow(progressDialog, SW_HIDE);
    return 0;
}

DWORD WINAPI animateUnpack(LPVOID parameter) {
    HWND progressDialog = static_cast<HWND>(parameter);
    for (int position = kAnimationStart; !unpackFinished && position < kAnimationEnd;) {
        Sleep(extractionTimeMs / kAnimationSteps);
        position += (kAnimationEnd - kAnimationStart) / kAnimationSteps;
        setProgressPosition(progressDialog, position);
    }
    return 0;
}

// The packed libraries of a freshly unpacked runtime, turned back into jars while the bar moves on.
void restorePackedLibraries(const char* runtimeHome) {
    extractionTimeMs = GetTickCount() - extractionStart;
    if (getConfigNumber(config::RuntimeIsPacked) == 0)
        return;
    logLine("JRE is packed");
    if (restoringDialog != nullptr)
        startHelperThread(animateUnpack, restoringDialog);
    unpackRuntime(runtimeHome);
    unpackFinished = true;
}

void useShippedRuntime(const char* runtime) {
    char directory[kPathCapacity];
    if (_fullpath(directory, runtime, sizeof directory) == nullptr)
        directory[0] = '\0';
    logLine("JRE dir: %s", directory);
    if (LoadDLL(false, directory, false))
        return;
    logError("Could not load bundled JRE. Trying to find another JRE.");
    // Damage the size check cannot see (a library whose bytes changed): the next start unpacks anew.
    if (runtime == cachedHome)
        discardCachedRuntime(cacheEntry);
    if (LoadDLL(false, nullptr, false))
        return;
    logError("Could not find another JRE.");
    fatalError("Could not use bundled JRE. Please send this log file to your software vendor:");
}

void prepareShippedRuntime(HWND progressDialog) {
    if (cachedHome[0] != '\0') {
        useShippedRuntime(cachedHome);
        return;
    }
    extractionStart = GetTickCount();
    restoringDialog = progressDialog;
    logLine("extracting JRE");
    const int32_t expectedSize = getConfigNumber(config::RuntimeArchiveSize);
    if (cacheEntry[0] != '\0') {
        switch (fillRuntimeCache(cacheEntry, kRuntimeArchive,
                                 progressDialog != nullptr ? showProgressPosition : nullptr, progressDialog,
                                 expectedSize, restorePackedLibraries, cachedHome)) {
        case CacheFill::Done:
            releaseIncludedFile(kRuntimeArchive);
            remove(kRuntimeArchive);
            useShippedRuntime(cachedHome);
            return;
        case CacheFill::ArchiveCorrupt:
            logError("Could not untar JRE");
            fatalError(kCorruptedRuntime);
        case CacheFill::NotCached:
            // Unpacked for this start alone, as without the cache (on a full disk, that ends as
            // without it too).
            logLine("JRE not cached; unpacking it for this start");
            break;
        }
    }
    if (_mkdir(kRuntimeDirectory) != 0)
        logError("Could not create JRE dir");
    bool writeFailed = false;
    if (!extractRuntimeArchiveReporting(kRuntimeArchive, kRuntimeDirectory,
                                        progressDialog != nullptr ? showProgressPosition : nullptr,
                                        progressDialog, expectedSize, &writeFailed)) {
        // Part of a runtime would hold the space it took until the next start's clean-up, and could
        // pass for a whole one with a start that reuses this directory. Removed first, so that on a
        // full disk the log line below finds room.
        char runtime[kPathCapacity];
        if (_fullpath(runtime, kRuntimeDirectory, sizeof runtime) != nullptr)
            removeDirectoryTree(runtime);
        logError("Could not untar JRE");
        if (writeFailed)
            failExtraction(kCopyWriteFailed);
        fatalError(kCorruptedRuntime);
    }
    releaseIncludedFile(kRuntimeArchive);
    remove(kRuntimeArchive);
    restorePackedLibraries(kRuntimeDirectory);
    useShippedRuntime(kRuntimeDirectory);
}

void launchWorker(HWND progressDialog) {
    logLine("Starting work");
    if (progressDialog != nullptr)
        setProgressPosition(progressDialog, 1);

    char directory[kPathCapacity];
    if (languageRestartMode()) {
        if (GetCurrentDirectoryA(sizeof directory, directory) == 0)
            directory[0] = '\0';
        setExtractionDirectory(directory);
        // The parent's extraction directory, which this start runs from: no clean-up may take it
        // while this start runs, also once the parent has ended.
        if (isExtractionDirectoryName(directory))
            markDirectoryInUse(directory);
    }
    // A runtime already in the user's cache needs no archive: that stays in the payload.
    if (!manualSelection() && runtimeCacheEntry(cacheEntry) && !useCachedRuntime(cacheEntry, cachedHome))
        cachedHome[0] = '\0';
    if (!languageRestartMode()) {
        const int result = extractIncludedFiles(directory, cachedHome[0] != '\0' ? kRuntimeArchive : nullptr);
        if (result != kCopyDone)
            failExtraction(result);
        setExtractionDirectory(directory);
        changeIntoExtractionDirectory();
    }

    char current[kPathCapacity];
    if (GetCurrentDirectoryA(sizeof current, current) == 0)
        current[0] = '\0';
    logLine("Current working dir: %s", current);

    char archive[kPathCapacity];
    if (_fullpath(archive, kRuntimeArchive, sizeof archive) == nullptr)
        archive[0] = '\0';
    logLine("Full JRE path: %s", archive);
    bool shippedRuntime = cachedHome[0] != '\0' || pathExists(archive);
    logLine(shippedRuntime ? "JRE included" : "No JRE included");
    // Only the payload's own archive goes into the cache, never one downloaded instead.
    if (!shippedRuntime)
        cacheEntry[0] = '\0';
    if (manualSelection() && shippedRuntime) {
        logLine("Included JRE not used because of manual switch");
        shippedRuntime = false;
    }

    if (!shippedRuntime) {
        setInstallStarted(true);
        markedInstallStarted = true;
        if (manualSelection() || !LoadDLL(false, nullptr, false)) {
            if (progressDialog == nullptr)
                endWithoutRuntime();
            shippedRuntime = askForRuntimeFromUser(progressDialog, archive);
        }
    }

    changeIntoExtractionDirectory();
    if (!languageRestartMode()) {
        // A cached runtime has nothing left to unpack.
        setProgressRange(progressDialog, shippedRuntime && cachedHome[0] == '\0');
        if (shippedRuntime)
            prepareShippedRuntime(progressDialog);
    } else if (shippedRuntime) {
        useShippedRuntime(cachedHome[0] != '\0' ? cachedHome : kRuntimeDirectory);
    }
    if (progressDialog != nullptr)
        startHelperThread(watchJavaWindow, progressDialog);

    WideArguments arguments;
    splitArguments(GetCommandLineW(), arguments);
    endWithProgram(launchVm(arguments, startGotThrough));
}
