#include "launch/variable_expansion.h"

#include "startup/startup_state.h"
#include "support/file_system.h"
#include "support/system.h"

#include <string>

namespace {
std::string runtimeHome;
} // namespace

void setJvmHome(const char* javaExecutable) {
    std::string path = javaExecutable;
    const size_t separator = path.find_last_of(std::string(1, kPathSeparator) + "/");
    path.erase(separator == std::string::npos ? 0 : separator + 1);
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
    const char listSeparator[] = {kPathListSeparator, '\0'};
    const struct {
        const char* token;
        const char* value;
    } fixedTokens[] = {
        {"%KESTRO_EXEDIR%", executableDirectory},
        {"%SORVANA_EXEDIR%", executableDirectory},
        {"%KESTRO_TEMPDIR%", extraction},
        {"%SORVANA_TEMPDIR%", extraction},
        {"%KESTRO_PATHLIST_SEPARATOR%", listSeparator},
        {"%SORVANA_PATHLIST_SEPARATOR%", listSeparator},
        {"%KESTRO_JVM_HOME%", runtime},
        {"%SORVANA_JVM_HOME%", runtime},
        {"${KESTRO_EXEDIR}", executableDirectory},
        {"${SORVANA_EXEDIR}", executableDirectory},
        {"${KESTRO_TEMPDIR}", extraction},
        {"${SORVANA_TEMPDIR}", extraction},
        {"${KESTRO_PATHLIST_SEPARATOR}", listSeparator},
        {"${SORVANA_PATHLIST_SEPARATOR}", listSeparator},
        {"${KESTRO_JVM_HOME}", runtime},
        {"${SORVANA_JVM_HOME}", runtime},
        {"${launcher:sys.launcherDirectory}", executableDirectory},
        {"${launcher:sys.launcherTempDirectory}", extraction},
        {"${launcher:sys.pathlistSeparator}", listSeparator},
        {"${launcher:sys.jvmHome}", runtime},
    };
    bool complete = true;
    for (const auto& fixed : fixedTokens)
        complete &= replaceAll(text, capacity, fixed.token, fixed.value);

    const std::string block = environmentBlock();
    if (block.empty())
        return complete;
    complete &= expandEnvironmentTokens(text, capacity, block.c_str());
    return complete;
}
