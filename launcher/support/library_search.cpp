#include "support/library_search.h"

#include "support/log.h"
#include "support/paths.h"

#include <cstring>
#include <string>

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
using AddDllDirectoryFunction = void*(WINAPI*)(const wchar_t*);
using RemoveDllDirectoryFunction = BOOL(WINAPI*)(void*);
using SetDllDirectoryFunction = BOOL(WINAPI*)(const wchar_t*);

// Looked up by name: each is missing on some Windows the launcher runs on.
template <typename Function> Function kernelFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

// Set by restrictLibrarySearch before any other thread runs, only read afterwards.
bool searchRestricted = false;

// The system directory, the loaded library's own folder and the added directories. Not
// LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, which would bring the executable's folder back.
constexpr DWORD kRestrictedSearch =
    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32;

} // namespace

void restrictLibrarySearch() {
    if (const auto setDllDirectory = kernelFunction<SetDllDirectoryFunction>("SetDllDirectoryW"))
        setDllDirectory(L"");
    const auto setDefault = kernelFunction<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
    searchRestricted = setDefault != nullptr && kernelFunction<AddDllDirectoryFunction>("AddDllDirectory") &&
                       kernelFunction<RemoveDllDirectoryFunction>("RemoveDllDirectory") &&
                       setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
    if (!searchRestricted)
        logLine("This Windows searches the executable's folder for libraries (no SetDefaultDllDirectories)");
}

HMODULE loadSystemLibrary(const char* name) {
    char path[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || length + 1 + strlen(name) >= sizeof path) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return nullptr;
    }
    strcat(path, "\\");
    strcat(path, name);
    // Without restriction its own folder, the system directory, takes the executable's place at the
    // head of the search.
    return LoadLibraryExA(path, nullptr,
                          searchRestricted ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE loadLibraryWithItsNeeds(const char* path) {
    if (searchRestricted)
        return LoadLibraryExA(path, nullptr, kRestrictedSearch);
    // Without restriction its own folder takes the executable's place at the head of the search,
    // then comes the directory set through SetDllDirectoryW.
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void searchForLibrariesIn(const char* directory) {
    if (!searchRestricted)
        return;
    if (kernelFunction<AddDllDirectoryFunction>("AddDllDirectory")(widePath(directory).c_str()) == nullptr)
        logError("Could not add %s to the search for libraries (error code %lu)", directory, GetLastError());
}

LibraryDirectory::LibraryDirectory(const char* directory) {
    const std::wstring wide = widePath(directory);
    if (searchRestricted) {
        cookie_ = kernelFunction<AddDllDirectoryFunction>("AddDllDirectory")(wide.c_str());
        if (cookie_ == nullptr)
            logError("Could not add %s to the search for libraries (error code %lu)", directory,
                     GetLastError());
        return;
    }
    const auto setDllDirectory = kernelFunction<SetDllDirectoryFunction>("SetDllDirectoryW");
    replacesCurrentDirectory_ = setDllDirectory != nullptr && setDllDirectory(wide.c_str());
}

LibraryDirectory::~LibraryDirectory() {
    if (kept_)
        return;
    if (cookie_ != nullptr)
        kernelFunction<RemoveDllDirectoryFunction>("RemoveDllDirectory")(cookie_);
    // Back to no directory at all: SetDllDirectoryW(nullptr) would bring the current directory back.
    if (replacesCurrentDirectory_)
        kernelFunction<SetDllDirectoryFunction>("SetDllDirectoryW")(L"");
}
