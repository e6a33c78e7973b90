#include "jvmsearch/jvm_library.h"

#include "launch/arguments.h"
#include "launch/vm_state.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "runtime/runtime_layout.h"
#include "support/environment.h"
#include "support/library_search.h"
#include "support/log.h"
#include "support/paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

namespace config = kestro::payload::config;

constexpr size_t kBinDirectoryCapacity = 2000;
constexpr size_t kPathVariableCapacity = 16384;
constexpr size_t kVariantCapacity = 200;
using kestro::runtime::kJvmVariants;

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

#if defined(__x86_64__)
constexpr WORD kLauncherMachine = IMAGE_FILE_MACHINE_AMD64;
#elif defined(__i386__)
constexpr WORD kLauncherMachine = IMAGE_FILE_MACHINE_I386;
#else
#error "a launcher for an unknown machine"
#endif

// The machine a program or library is built for, from its PE header; 0 when the file cannot be
// read or is no PE image.
WORD imageMachine(const char* path) {
    FILE* image = fopen(path, "rb");
    if (image == nullptr) {
        return 0;
    }
    IMAGE_DOS_HEADER dos;
    DWORD signature = 0;
    WORD machine = 0;
    const bool read = fread(&dos, sizeof dos, 1, image) == 1 && dos.e_magic == IMAGE_DOS_SIGNATURE &&
                      dos.e_lfanew > 0 && fseek(image, dos.e_lfanew, SEEK_SET) == 0 &&
                      fread(&signature, sizeof signature, 1, image) == 1 && signature == IMAGE_NT_SIGNATURE &&
                      fread(&machine, sizeof machine, 1, image) == 1;
    fclose(image);
    return read ? machine : 0;
}

// A file this launcher cannot use because it is built for another machine. Files of unknown shape
// are left to the load, which reports them.
bool isForeignImage(const char* path) {
    const WORD machine = imageMachine(path);
    if (machine == 0 || machine == kLauncherMachine) {
        return false;
    }
    logLine("%s is built for another architecture (machine 0x%x)", path, static_cast<unsigned>(machine));
    return true;
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

// binDirectory\variant\jvm.dll into kPathCapacity bytes; false when it does not fit or variant is empty.
bool jvmLibraryPath(const char* binDirectory, const char* variant, char* out) {
    const int written = snprintf(out, kPathCapacity, "%s\\%s\\jvm.dll", binDirectory, variant);
    return variant[0] != '\0' && written >= 0 && static_cast<size_t>(written) < kPathCapacity;
}

// The java.exe of the JRE inside a JDK, seen from the JDK's bin directory: "<dir>\..\jre\bin\java.exe".
bool embeddedJreExecutable(const char* executable, char* out) {
    const size_t nameLength = executableNameLength(executable);
    const int written = snprintf(out, kPathCapacity, "%.*s..\\jre\\bin\\java.exe",
                                 static_cast<int>(strlen(executable) - nameLength), executable);
    return nameLength != 0 && written >= 0 && static_cast<size_t>(written) < kPathCapacity;
}

void installPath(const std::wstring& value) {
    logLine("Setting PATH %s", argumentForLog(value).c_str());
    setPathVariable(value);
}

// PATH extended by a bin directory for as long as a load is tried, and the directory searched for
// the libraries jvm.dll needs; both back to the old state unless the load succeeded. PATH is worked
// on in 16 bits, so that every other entry stays as it was. PATH serves the programs the
// application starts, the runtime's own library path and Windows that cannot restrict the search.
class PathExtension {
  public:
    explicit PathExtension(const char* binDirectory)
        : oldValue_(environmentVariable(L"PATH")), libraries_(binDirectory) {
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
    void keep() {
        kept_ = true;
        libraries_.keep();
    }

  private:
    std::wstring oldValue_;
    LibraryDirectory libraries_;
    bool installed_ = false;
    bool kept_ = false;
};

} // namespace

HMODULE loadJvmLibrary(const char* executable) {
    HMODULE library = loadJvmFromBinDir(executable);
    if (library != nullptr) {
        return library;
    }
    char embedded[kPathCapacity];
    if (!embeddedJreExecutable(executable, embedded)) {
        return nullptr;
    }
    return loadJvmFromBinDir(embedded);
}

bool isRuntimeForThisMachine(const char* executable) {
    if (isForeignImage(executable)) {
        return false;
    }
    char configured[kVariantCapacity];
    getConfigText(config::PreferredJvmVariant, configured, sizeof configured);
    char embedded[kPathCapacity];
    const bool hasEmbedded = embeddedJreExecutable(executable, embedded);
    bool foreignLibrary = false;
    // The libraries in the order the loader tries them.
    for (const char* candidate : {executable, hasEmbedded ? embedded : ""}) {
        char binDirectory[kBinDirectoryCapacity];
        if (!binDirectoryOf(candidate, binDirectory)) {
            continue;
        }
        for (size_t index = 0; index <= std::size(kJvmVariants); ++index) {
            char library[kPathCapacity];
            const char* variant = index == 0 ? configured : kJvmVariants[index - 1];
            if (!jvmLibraryPath(binDirectory, variant, library) || !pathExists(library)) {
                continue;
            }
            // One library that fits is enough: the loader passes over those it cannot load.
            if (!isForeignImage(library)) {
                return true;
            }
            foreignLibrary = true;
        }
    }
    return !foreignLibrary;
}

HMODULE loadJvmFromBinDir(const char* executable) {
    char binDirectory[kBinDirectoryCapacity];
    if (!binDirectoryOf(executable, binDirectory)) {
        return nullptr;
    }
    PathExtension path(binDirectory);
    HMODULE library = nullptr;
    char configured[kVariantCapacity];
    getConfigText(config::PreferredJvmVariant, configured, sizeof configured);
    if (configured[0] != '\0') {
        library = tryJvmVariant(binDirectory, configured);
    }
    for (const char* variant : kJvmVariants) {
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
    if (!jvmLibraryPath(binDirectory, variant, library)) {
        return nullptr;
    }
    logLine("Trying %s (exists %d)", library, pathExists(library) ? 1 : 0);
    // What it needs from its own folder and the runtime's bin, never from the executable's folder.
    return loadLibraryWithItsNeeds(library);
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
    // Optional: it only tells the default stack size of the runtime's threads.
    setDefaultArgsEntry(reinterpret_cast<void*>(GetProcAddress(library, "JNI_GetDefaultJavaVMInitArgs")));
    return true;
}
