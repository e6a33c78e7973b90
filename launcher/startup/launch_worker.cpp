#include "startup/launch_worker.h"

#include "jreprovision/pack200.h"
#include "jreprovision/tar_reader.h"
#include "jvmsearch/win_loader.h"
#include "launch/arguments.h"
#include "launch/vm_launch.h"
#include "payload/included_files.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "startup/install_started.h"
#include "startup/startup_state.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"

#include <commctrl.h>
#include <direct.h>

#include <cstdio>
#include <cstdlib>

namespace {

namespace config = kestro::payload::config;
namespace message = kestro::payload::message;

constexpr char kRuntimeArchive[] = "jre.tar.gz";
constexpr char kRuntimeDirectory[] = "jre";
constexpr int kProgressBar = 1001;

void changeIntoExtractionDirectory() {
    if (_chdir(extractionDirectory()) != 0)
        logError("Could not change working dir to %s", extractionDirectory());
}

// The included files could not be written: the user learns why before the process ends.
[[noreturn]] void failExtraction(int result, HWND progressDialog) {
    wchar_t caption[kTextCapacity];
    wchar_t text[kTextCapacity];
    const int reason = result == kCopyWriteFailed ? message::DiskFull : message::InstallationCorrupted;
    if (progressDialog != nullptr) {
        getMessage(message::DialogCaption, caption);
        getMessage(reason, text);
        MessageBoxW(progressDialog, text, caption, MB_ICONERROR);
    } else {
        getMessage(reason, text);
        showErrorWide(text);
    }
    exit(1);
}

[[noreturn]] void endWithoutRuntime() {
    logError("No JRE found");
    printf("no jre found\n");
    fflush(stdout);
    setInstallStarted(false);
    exit(kNoRuntimeExitCode);
}

// The bar's range leaves room for what is still to come: unpacking a shipped runtime (and restoring its
// packed libraries) before the wait for the application's window.
void setProgressRange(HWND progressDialog, bool shippedRuntime) {
    if (progressDialog == nullptr)
        return;
    int maximum = 80;
    if (shippedRuntime)
        maximum = getConfigNumber(config::RuntimeIsPacked) != 0 ? 250 : 150;
    SendDlgItemMessageA(progressDialog, kProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, maximum));
}

} // namespace

void useShippedRuntime() {
    char directory[kPathCapacity];
    if (_fullpath(directory, kRuntimeDirectory, sizeof directory) == nullptr)
        directory[0] = '\0';
    logLine("JRE dir: %s", directory);
    if (LoadDLL(false, directory, false))
        return;
    logError("Could not load bundled JRE. Trying to find another JRE.");
    if (LoadDLL(false, nullptr, false))
        return;
    logError("Could not find another JRE.");
    fatalError("Could not use bundled JRE. Please send this log file to your software vendor:");
}

void prepareShippedRuntime(HWND progressDialog) {
    logLine("extracting JRE");
    if (_mkdir(kRuntimeDirectory) != 0)
        logError("Could not create JRE dir");
    if (!extractRuntimeArchive(kRuntimeArchive, kRuntimeDirectory, progressDialog,
                               getConfigNumber(config::RuntimeArchiveSize))) {
        logError("Could not untar JRE");
        fatalError(
            "The bundled JRE is corrupted. If you downloaded the setup file please download it again.");
    }
    releaseIncludedFile(kRuntimeArchive);
    remove(kRuntimeArchive);
    if (getConfigNumber(config::RuntimeIsPacked) != 0) {
        logLine("JRE is packed");
        unpackRuntime(kRuntimeDirectory);
    }
    useShippedRuntime();
}

DWORD launchWorker(HWND progressDialog) {
    logLine("Starting work");

    char directory[kPathCapacity];
    if (languageRestartMode()) {
        if (GetCurrentDirectoryA(sizeof directory, directory) == 0)
            directory[0] = '\0';
        setExtractionDirectory(directory);
    } else {
        const int result = extractIncludedFiles(directory);
        if (result != kCopyDone)
            failExtraction(result, progressDialog);
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
    bool shippedRuntime = pathExists(archive);
    logLine(shippedRuntime ? "JRE included" : "No JRE included");
    if (manualSelection() && shippedRuntime) {
        logLine("Included JRE not used because of manual switch");
        shippedRuntime = false;
    }

    if (!shippedRuntime) {
        setInstallStarted(true);
        // Picking a runtime by hand needs the question dialog of the windowed mode; without it, a
        // manual selection ends like a search that found nothing.
        if (manualSelection() || !LoadDLL(false, nullptr, false))
            endWithoutRuntime();
    }

    changeIntoExtractionDirectory();
    if (!languageRestartMode()) {
        setProgressRange(progressDialog, shippedRuntime);
        if (shippedRuntime)
            prepareShippedRuntime(progressDialog);
    } else if (shippedRuntime) {
        useShippedRuntime();
    }

    WideArguments arguments;
    splitArguments(GetCommandLineW(), arguments);
    if (!launchVm(arguments, true)) {
        logError("Could not start JVM");
        fatalMessage(config::MessageJvmNotStarted, nullptr);
    }
    return 0;
}
