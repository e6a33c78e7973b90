// The Windows side of the shared launch: the console's code page for the Java side, the program's
// thread, the options file beside the executable and the facts of class-data sharing.
#include "launch/launch_platform.h"

#include "jvmsearch/java_validation.h"
#include "launch/class_data_archive.h"
#include "support/environment.h"
#include "support/log.h"
#include "support/paths.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

struct ThreadBody {
    void (*body)(void*);
    void* context;
};

DWORD WINAPI runBody(LPVOID parameter) {
    const ThreadBody& thread = *static_cast<const ThreadBody*>(parameter);
    thread.body(thread.context);
    return 0;
}

// fopen of a 16-bit name: its exact 8-bit form, else its short form, which only an existing file has.
FILE* openOptionsFile(const std::wstring& name) {
    char narrow[kPathCapacity];
    return openableNarrowPath(name.c_str(), narrow, sizeof narrow) ? std::fopen(narrow, "rt") : nullptr;
}

} // namespace

void addSystemPropertyValues(LauncherPropertyValues& values) {
    values.withConsoleCodePage = std::getenv("MANPATH") == nullptr;
    values.consoleCodePage = GetConsoleOutputCP();
}

bool runOnOwnThread(size_t stackSize, void (*body)(void*), void* context) {
    ThreadBody thread{body, context};
    HANDLE handle =
        CreateThread(nullptr, stackSize, runBody, &thread, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == nullptr && stackSize != 0) {
        logError("no thread with a stack of %lu bytes: error code %lu", static_cast<unsigned long>(stackSize),
                 GetLastError());
        handle = CreateThread(nullptr, 0, runBody, &thread, 0, nullptr);
    }
    if (handle == nullptr) {
        logError("Could not start the program's thread: error code %lu", GetLastError());
        return false;
    }
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
    return true;
}

FILE* openVmOptionsFile() {
    // Named from the 16-bit module name: under a folder whose name the ANSI code page lacks, the
    // 8-bit long form names no file, and the short form would give a short file name.
    wchar_t module[kPathCapacity];
    const DWORD moduleLength = GetModuleFileNameW(nullptr, module, kPathCapacity);
    if (moduleLength == 0 || moduleLength >= kPathCapacity)
        return nullptr;
    wchar_t longModule[kPathCapacity];
    const DWORD length = GetLongPathNameW(module, longModule, kPathCapacity);
    // Without a long form the path as the process knows it is the best name there is.
    const std::wstring longPath = length != 0 && length < kPathCapacity ? longModule : module;
    const std::wstring cut = longPath.substr(0, longPath.size() >= 4 ? longPath.size() - 4 : 0);
    if (FILE* file = openOptionsFile(cut + L".vmoptions"))
        return file;
    return openOptionsFile(longPath + L".vmoptions");
}

bool classPathMayEndEmpty() {
    return true;
}

// A console, a pipe or a file behind standard output or error: someone may read what the runtime
// writes there.
bool processOutputSeen() {
    for (DWORD stream : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(stream);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
            return true;
    }
    return false;
}

bool environmentChoosesClassDataSharing() {
    for (const wchar_t* name : {L"JAVA_TOOL_OPTIONS", L"_JAVA_OPTIONS"}) {
        const std::wstring value = environmentVariable(name);
        if (textChoosesClassDataSharing(std::string(value.begin(), value.end())))
            return true;
    }
    return false;
}

std::string programIdentity() {
    std::string identity = executablePath();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(executablePath(), GetFileExInfoStandard, &data)) {
        identity += " " + std::to_string(data.nFileSizeHigh) + ":" + std::to_string(data.nFileSizeLow) + " " +
                    std::to_string(data.ftLastWriteTime.dwHighDateTime) + ":" +
                    std::to_string(data.ftLastWriteTime.dwLowDateTime);
    }
    return identity;
}
