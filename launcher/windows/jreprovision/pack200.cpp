#include "jreprovision/pack200.h"

#include "payload/payload_format.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"

#include "runtime/runtime_layout.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

namespace config = kestro::payload::config;

using kestro::runtime::kPackedLibraries;
// Room for the longest library name with ".pack" and the unpacker's name behind a directory.
constexpr size_t kLongestSuffix = 32;
constexpr DWORD kNormalPriority = 0x20;

void unpackLibrary(const char* directory, const char* library) {
    char jar[kPathCapacity];
    char packed[kPathCapacity];
    snprintf(jar, sizeof jar, "%s\\%s", directory, library);
    snprintf(packed, sizeof packed, "%s.pack", jar);
    logLine("Unpacking %s to %s", packed, jar);
    if (!pathExists(packed)) {
        logLine("pack path doesn't exists");
        return;
    }
    // Every path quoted, the program's too: a runtime directory may contain blanks.
    char commandLine[3 * kPathCapacity + 32];
    snprintf(commandLine, sizeof commandLine, "\"%s\\bin\\unpack200.exe\" -r \"%s\" \"%s\"", directory,
             packed, jar);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION child;
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, kNormalPriority, nullptr, nullptr,
                        &startup, &child)) {
        logLine("could not create unpack process");
        fatalMessage(config::MessageInternalError, "20");
    }
    logLine("waiting for unpack200 to finish");
    WaitForSingleObject(child.hProcess, INFINITE);
    logLine("unpack done");
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
}

} // namespace

void unpackRuntime(const char* directory) {
    if (strlen(directory) + kLongestSuffix >= kPathCapacity) {
        return;
    }
    char probe[kPathCapacity];
    snprintf(probe, sizeof probe, "%s\\lib\\rt.jar.pack", directory);
    if (!pathExists(probe)) {
        return;
    }
    snprintf(probe, sizeof probe, "%s\\lib\\jsse.jar", directory);
    if (pathExists(probe)) {
        return;
    }
    logLine("Unpacking JRE");
    printf("Preparing JRE ...\n");
    fflush(stdout);
    for (const char* library : kPackedLibraries) {
        unpackLibrary(directory, library);
    }
    logLine("Unpacking JRE done");
}
