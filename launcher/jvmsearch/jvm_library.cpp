#include "jvmsearch/jvm_library.h"

#include "launch/arguments.h"
#include "launch/vm_state.h"
#include "payload/payload_store.h"
#include "support/environment.h"
#include "support/log.h"
#include "support/paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kBinDirectoryCapacity = 2000;
constexpr size_t kPathVariableCapacity = 16384;
constexpr size_t kVariantCapacity = 200;
const char* const kVariants[] = {"hotspot", "client", "server", "classic", "jrockit"};

// Length of the executable's name ("java.exe" or "javaw.exe") at the end of path; 0 for any other.
size_t executableNameLength(const char* path) {
    const size_t length = strlen(path);
    if (length >= 9 && strcmp(path + length - 9, "javaw.exe") == 0) {
        return 9;
    }
    if (length >= 8 && strcmp(path + length - 8, "java.exe") == 0) {
        return 8;
    }
    return 0;
}

// The executable's directory without its trailing backslash, into 2000 bytes; refused (false) when
// the name is not java.exe or javaw.exe or the directory does not fit.
bool binDirectoryOf(const char* executable, char* out) {
    const size_t nameLength = executableNameLength(executable);
    const size_t length = strlen(executable) - nameLength;
    if (nameLength == 0 || length == 0 || length > kBinDirectoryCapacity) {
        return false;
    }
    memcpy(out, executable, length - 1);
    out[length - 1] = '\0';
    return true;
}

void installPath(const std::wstring& value) {
    logLine("Setting PATH %s", argumentForLog(value).c_str());
    setPathVariable(value);
}

// PATH extended by a bin directory for as long as a load is tried; back to the old value unless
// the load succeeded. Worked on in 16 bits, so that every other entry stays as it was.
class PathExtension {
  public:
    explicit PathExtension(const char* binDirectory) : oldValue_(environmentVariable(L"PATH")) {
        const std::wstring extended = oldValue_ + L";" + widePath(binDirectory);
        if (extended.size() >= kPathVariableCapacity) {
            return;
        }
        installPath(extended);
        installed_ = true;
    }
    ~PathExtension() {
        if (installed_ && !kept_) {
            installPath(oldValue_);
        }
    }
    PathExtension(const PathExtension&) = delete;
    PathExtension& operator=(const PathExtension&) = delete;
    void keep() { kept_ = true; }

  private:
    std::wstring oldValue_;
    bool installed_ = false;
    bool kept_ = false;
};

} // namespace

HMODULE loadJvmLibrary(const char* executable) {
    HMODULE library = loadJvmFromBinDir(executable);
    if (library != nullptr) {
        return library;
    }
    const size_t nameLength = executableNameLength(executable);
    char embedded[kPathCapacity];
    const int written = snprintf(embedded, sizeof embedded, "%.*s..\\jre\\bin\\java.exe",
                                 static_cast<int>(strlen(executable) - nameLength), executable);
    if (nameLength == 0 || written < 0 || static_cast<size_t>(written) >= sizeof embedded) {
        return nullptr;
    }
    return loadJvmFromBinDir(embedded);
}

HMODULE loadJvmFromBinDir(const char* executable) {
    char binDirectory[kBinDirectoryCapacity];
    if (!binDirectoryOf(executable, binDirectory)) {
        return nullptr;
    }
    PathExtension path(binDirectory);
    HMODULE library = nullptr;
    char configured[kVariantCapacity];
    getConfigText(152, configured, sizeof configured);
    if (configured[0] != '\0') {
        library = tryJvmVariant(binDirectory, configured);
    }
    for (const char* variant : kVariants) {
        if (library != nullptr) {
            break;
        }
        library = tryJvmVariant(binDirectory, variant);
    }
    if (library != nullptr) {
        // The VM and the programs the application starts need the runtime's libraries on PATH.
        path.keep();
    }
    return library;
}

HMODULE tryJvmVariant(const char* binDirectory, const char* variant) {
    char library[kPathCapacity];
    const int written = snprintf(library, sizeof library, "%s\\%s\\jvm.dll", binDirectory, variant);
    if (written < 0 || static_cast<size_t>(written) >= sizeof library) {
        return nullptr;
    }
    logLine("Trying %s (exists %d)", library, pathExists(library) ? 1 : 0);
    return LoadLibraryA(library);
}

bool resolveCreateVmEntry(HMODULE library) {
    if (library == nullptr) {
        return false;
    }
    FARPROC entry = GetProcAddress(library, "JNI_CreateJavaVM");
    if (entry == nullptr) {
        return false;
    }
    setCreateVmEntry(reinterpret_cast<void*>(entry));
    return true;
}
