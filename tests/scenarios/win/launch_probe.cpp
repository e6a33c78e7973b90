// launch-probe: a stub that goes straight to launchVm, standing in for the launch worker. It loads
// its payload, takes the start-up state from the environment (KESTRO_PROBE_EXTRACTION: extraction
// directory, entered like the worker does; KESTRO_PROBE_MANUAL: manual selection), loads the JVM
// library named by KESTRO_PROBE_JVM (with the libraries it needs beside it) and resolves JNI_CreateJavaVM,
// then launches with its own command line. Prints "launchVm true" or "launchVm false"; exit code 0 or 5.
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
    const bool launched = launchVm(arguments, true);
    std::printf("launchVm %s\n", launched ? "true" : "false");
    std::fflush(stdout);
    return launched ? 0 : 5;
}
