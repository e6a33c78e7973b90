#include "launch/variable_expansion.h"

#include "startup/startup_state.h"
#include "support/paths.h"

#include <windows.h>

#include <string>

namespace {
std::string runtimeHome;
} // namespace

void setJvmHome(const char* javaExecutable) {
    std::string path = javaExecutable;
    const size_t nameLength = path.size() >= 9 && path.compare(path.size() - 9, 9, "javaw.exe") == 0 ? 9 : 8;
    path.erase(path.size() >= nameLength ? path.size() - nameLength : 0);
    runtimeHome = path + "..";
}

const char* jvmHome() {
    return runtimeHome.c_str();
}

bool expandVariables(char* text, size_t capacity) {
    char executableDirectory[kPathCapacity];
    makeAbsolute(executableDirectory, "");
    const char* extraction = extractionDirectory();
    const char* runtime = jvmHome();
    const struct {
        const char* token;
        const char* value;
    } fixedTokens[] = {
        {"%KESTRO_EXEDIR%", executableDirectory},
        {"%SORVANA_EXEDIR%", executableDirectory},
        {"%KESTRO_TEMPDIR%", extraction},
        {"%SORVANA_TEMPDIR%", extraction},
        {"%KESTRO_PATHLIST_SEPARATOR%", ";"},
        {"%SORVANA_PATHLIST_SEPARATOR%", ";"},
        {"%KESTRO_JVM_HOME%", runtime},
        {"%SORVANA_JVM_HOME%", runtime},
        {"${KESTRO_EXEDIR}", executableDirectory},
        {"${SORVANA_EXEDIR}", executableDirectory},
        {"${KESTRO_TEMPDIR}", extraction},
        {"${SORVANA_TEMPDIR}", extraction},
        {"${KESTRO_PATHLIST_SEPARATOR}", ";"},
        {"${SORVANA_PATHLIST_SEPARATOR}", ";"},
        {"${KESTRO_JVM_HOME}", runtime},
        {"${SORVANA_JVM_HOME}", runtime},
        {"${launcher:sys.launcherDirectory}", executableDirectory},
        {"${launcher:sys.launcherTempDirectory}", extraction},
        {"${launcher:sys.pathlistSeparator}", ";"},
        {"${launcher:sys.jvmHome}", runtime},
    };
    bool complete = true;
    for (const auto& fixed : fixedTokens)
        complete &= replaceAll(text, capacity, fixed.token, fixed.value);

    char* block = GetEnvironmentStringsA();
    if (!block)
        return complete;
    complete &= expandEnvironmentTokens(text, capacity, block);
    FreeEnvironmentStringsA(block);
    return complete;
}
