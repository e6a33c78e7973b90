#include "jvmsearch/win_loader.h"

#include "jreprovision/pack200.h"
#include "jvmsearch/java_validation.h"
#include "jvmsearch/jvm_library.h"
#include "jvmsearch/registry_jvms.h"
#include "launch/variable_expansion.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "runtime/version_rules.h"
#include "startup/startup_state.h"
#include "support/environment.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

namespace config = kestro::payload::config;

constexpr char kPreferredLocationFile[] = "\\.sorvana\\pref_jre.cfg";
constexpr char kInstallerLocationFile[] = "\\.sorvana\\inst_jre.cfg";

// Copies what fits; location texts are names for messages, never used as paths.
void copyText(char* out, const char* text) {
    snprintf(out, kPathCapacity, "%s", text);
}

const char* productVariable() {
    switch (applicationKind()) {
    case 'k':
        return "KESTRO_JAVA_HOME";
    case 's':
        return "SORVANA_JAVA_HOME";
    default:
        return nullptr;
    }
}

// First pass over one entry: the location type on success, else kNotFound.
int tryEntry(char letter, const char* value, char* executable, const char* minimum, const char* maximum) {
    switch (letter) {
    case 'A':
    case 'B':
    case 'R':
        return checkHomeLocation(executable, value, minimum, maximum, false) ? kDirectory : kNotFound;
    case 'S':
        return checkPathLocation(executable, minimum, maximum) ? kSearchPath : kNotFound;
    case 'E':
        return checkEnvLocation(executable, value, minimum, maximum) ? kEnvironmentVariable : kNotFound;
    case 'Y':
        return findRegistryJvm(executable, minimum, maximum) ? kRegistry : kNotFound;
    default:
        return kNotFound;
    }
}

void showLoadFailure(int type, const char* locationText) {
    switch (type) {
    case kSearchPath:
        showMessage(config::MessageJvmInPathDamaged, nullptr);
        break;
    case kEnvironmentVariable:
        showMessage(config::MessageVariableNotWorkingJvm, locationText);
        break;
    case kDirectory:
        showMessage(config::MessageJvmAtDamaged, locationText);
        break;
    default:
        showMessage(config::MessageJvmNotStarted, nullptr);
        break;
    }
}

} // namespace

bool LoadDLL(bool showErrors, const char* location, bool locationIsExecutable) {
    logLine("LoadDLL (%d, %s, %d)", showErrors ? 1 : 0, location != nullptr ? location : "(null)",
            locationIsExecutable ? 1 : 0);
    char executable[kPathCapacity] = "";
    char locationText[kPathCapacity] = "";
    int type = kNotFound;
    if (location != nullptr) {
        logLine("Got JRE location %s (java exe: %d)", location, locationIsExecutable ? 1 : 0);
        char minimum[kPathCapacity];
        char maximum[kPathCapacity];
        getConfigText(config::MinimumVersion, minimum, sizeof minimum);
        getConfigText(config::MaximumVersion, maximum, sizeof maximum);
        logLine("MinVersion: %s, MaxVersion: %s", minimum, maximum);
        bool accepted;
        if (locationIsExecutable) {
            // A path too long for the executable buffer is refused rather than cut.
            accepted = strlen(location) < kPathCapacity &&
                       checkJavaExe(strcpy(executable, location), minimum, maximum, true);
        } else {
            accepted = checkHomeLocation(executable, location, minimum, maximum, true);
        }
        if (!accepted) {
            logError("Provided JVM unusable");
            if (showErrors) {
                showMessage(config::MessageNoJvm, nullptr);
            }
            return false;
        }
        type = kDirectory;
        copyText(locationText, location);
    } else {
        type = searchJvm(executable, locationText);
        if (type == kNotFound) {
            logError("No JVM found");
            if (showErrors) {
                showMessage(config::MessageNoJvm, nullptr);
            }
            return false;
        }
    }
    logLine("Trying to load JVM-DLL from %s", executable);
    HMODULE library = loadJvmLibrary(executable);
    setJvmHome(executable);
    if (library == nullptr) {
        logError("Could not get DLL-Handle.");
    }
    // The library stays loaded for good, even without the entry point.
    if (!resolveCreateVmEntry(library)) {
        logError("Could not load functions");
        if (showErrors) {
            showLoadFailure(type, locationText);
        }
        return false;
    }
    logLine("Loading of JVM-DLL successful");
    return true;
}

int searchJvm(char* executable, char* locationText) {
    logLine("Searching for a JVM");
    char sequence[kPathCapacity];
    char minimum[kPathCapacity];
    char maximum[kPathCapacity];
    getConfigText(config::SearchSequence, sequence, sizeof sequence);
    getConfigText(config::MinimumVersion, minimum, sizeof minimum);
    getConfigText(config::MaximumVersion, maximum, sizeof maximum);
    locationText[0] = '\0';

    char line[kPathCapacity];
    if (readLocationFile(line, kPreferredLocationFile)) {
        logLine("Has preferred location %s", line);
        if (checkHomeLocation(executable, line, minimum, maximum, false)) {
            logLine("Using preferred location");
            copyText(locationText, line);
            return kDirectory;
        }
    }

    char letter = '\0';
    char value[kPathCapacity];
    for (const char* cursor = sequence; nextSearchEntry(&cursor, &letter, value, sizeof value);) {
        logLine("Testing location %s (type %c)", value, letter);
        const int type = tryEntry(letter, value, executable, minimum, maximum);
        if (type != kNotFound) {
            if (type != kRegistry) {
                copyText(locationText, value);
            }
            return type;
        }
    }
    logLine("Search sequence finished");

    const char* variable = productVariable();
    if (variable != nullptr && checkEnvLocation(executable, variable, minimum, maximum)) {
        copyText(locationText, variable);
        return kEnvironmentVariable;
    }

    if (readLocationFile(line, kInstallerLocationFile)) {
        logLine("Has installer location %s", line);
        if (checkHomeLocation(executable, line, minimum, maximum, false)) {
            logLine("Using installer location");
            copyText(locationText, line);
            return kDirectory;
        }
    }

    for (const char* cursor = sequence; nextSearchEntry(&cursor, &letter, value, sizeof value);) {
        if (!isLastPassEntry(letter, value)) {
            continue;
        }
        logLine("Testing relative location %s", value);
        checkHomeLocation(executable, value, minimum, maximum, true);
        if (pathExists(executable) && isRuntimeForThisMachine(executable)) {
            logLine("%s exists", executable);
            copyText(locationText, value);
            return kDirectory;
        }
    }
    return kNotFound;
}

bool readLocationFile(char* line, const char* suffix) {
    char base[kPathCapacity];
    char directory[kPathCapacity];
    char file[kPathCapacity];
    getConfigText(config::LocationFileBase, base, sizeof base);
    if (!fullPath(directory, base, true)) {
        return false;
    }
    const int written = snprintf(file, sizeof file, "%s%s", directory, suffix);
    if (written < 0 || static_cast<size_t>(written) >= sizeof file) {
        return false;
    }
    normalizeSeparators(file);
    FILE* stream = fopen(file, "r");
    if (stream == nullptr) {
        return false;
    }
    const bool read = fgets(line, kPathCapacity, stream) != nullptr;
    fclose(stream);
    if (!read) {
        return false;
    }
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) {
        line[--length] = '\0';
    }
    return true;
}

bool checkHomeLocation(char* executable, const char* directory, const char* minimum, const char* maximum,
                       bool trusted) {
    char home[kPathCapacity];
    executable[0] = '\0';
    if (!fullPath(home, directory, false)) {
        return trusted;
    }
    unpackRuntime(home);
    const bool laidOut = javaExeForHome(executable, home);
    if (trusted) {
        return true;
    }
    return laidOut && checkJavaExe(executable, minimum, maximum, true);
}

bool checkEnvLocation(char* executable, const char* variable, const char* minimum, const char* maximum) {
    // Read in 16 bits: the 8-bit value of a home whose folder names the ANSI code page lacks would
    // hold look-alikes; its short form opens.
    const std::wstring value = environmentVariable(widePath(variable).c_str());
    char home[kPathCapacity];
    if (value.empty() || value.size() >= kPathCapacity ||
        !openableNarrowPath(value.c_str(), home, kPathCapacity)) {
        return false;
    }
    for (char* c = home; *c != '\0'; ++c) {
        if (*c == '/') {
            *c = '\\';
        }
    }
    return javaExeForHome(executable, home) && checkJavaExe(executable, minimum, maximum, false);
}

bool checkPathLocation(char* executable, const char* minimum, const char* maximum) {
    wchar_t found[kPathCapacity];
    const DWORD length = SearchPathW(nullptr, L"java.exe", nullptr, kPathCapacity, found, nullptr);
    if (length == 0 || length >= kPathCapacity || !openableNarrowPath(found, executable, kPathCapacity)) {
        return false;
    }
    return checkJavaExe(executable, minimum, maximum, false);
}
