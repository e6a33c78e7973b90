// launch-probe: a stub that goes straight to launchVm, standing in for the launch worker. It loads
// its payload, takes the start-up state from the environment (KESTRO_PROBE_EXTRACTION: extraction
// directory, entered like the worker does; KESTRO_PROBE_MANUAL: manual selection), loads the JVM
// library named by KESTRO_PROBE_JVM (with the libraries it needs beside it) and resolves
// JNI_CreateJavaVM, then launches with its own command line. Prints "launchVm true" (main returned),
// "launchVm threw" and the exception, or "launchVm false" (not started); exit code 0, 1 or 5.
// System.exit ends it with its own code.
#include "launch/arguments.h"
#include "launch/vm_launch.h"
#include "launch/vm_state.h"
#include "payload/payload_store.h"
#include "startup/startup_state.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main() {
    loadPayload();
    char kind[kTextCapacity];
    getConfigText(2001, kind, sizeof kind);
    setApplicationKind(kind[0]);
    if (const char* extraction = std::getenv("KESTRO_PROBE_EXTRACTION")) {
        setExtractionDirectory(extraction);
        SetCurrentDirectoryA(extraction);
    }
    setManualSelection(std::getenv("KESTRO_PROBE_MANUAL") != nullptr);
    const char* library = std::getenv("KESTRO_PROBE_JVM");
    // Kept loaded for the life of the process, as the launcher keeps jvm.dll; what it needs comes
    // from its own folder.
    HMODULE jvm = library ? LoadLibraryExA(library, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) : nullptr;
    if (!jvm) {
        std::printf("no JVM library\n");
        return 4;
    }
    setCreateVmEntry(reinterpret_cast<void*>(GetProcAddress(jvm, "JNI_CreateJavaVM")));

    WideArguments arguments;
    splitArguments(GetCommandLineW(), arguments);
    const LaunchOutcome outcome = launchVm(arguments, nullptr);
    switch (outcome.end) {
    case ProgramEnd::Returned:
        std::printf("launchVm true\n");
        break;
    case ProgramEnd::Threw: {
        char utf8[4096] = "";
        WideCharToMultiByte(CP_UTF8, 0, outcome.exception.c_str(), -1, utf8, sizeof utf8 - 1, nullptr,
                            nullptr);
        std::printf("launchVm threw %s\n", utf8);
        break;
    }
    case ProgramEnd::NotStarted:
        std::printf("launchVm false\n");
        break;
    }
    std::fflush(stdout);
    return outcome.end == ProgramEnd::Returned ? 0 : outcome.end == ProgramEnd::Threw ? 1 : 5;
}
