#include "support/paths.h"

#include "support/log.h"

#include <windows.h>

#include <shlobj.h>

#include <cstring>
#include <cwchar>

namespace {

class FindHandle {
  public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() {
        if (valid()) {
            FindClose(handle_);
        }
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

// Releases a shell interface without disturbing the last error, which carries the long-path
// fallback's answer to its caller.
template <typename Interface> class ShellReference {
  public:
    ShellReference() = default;
    ~ShellReference() {
        if (pointer_ != nullptr) {
            DWORD lastError = GetLastError();
            pointer_->Release();
            SetLastError(lastError);
        }
    }
    ShellReference(const ShellReference&) = delete;
    ShellReference& operator=(const ShellReference&) = delete;
    Interface** out() { return &pointer_; }
    Interface* operator->() const { return pointer_; }

  private:
    Interface* pointer_ = nullptr;
};

// Frees an item identifier list with the shell's allocator, which on old systems is not the COM task
// allocator. Keeps the last error for the same reason as ShellReference.
class ItemIdList {
  public:
    ItemIdList() = default;
    ~ItemIdList() {
        if (list_ == nullptr) {
            return;
        }
        DWORD lastError = GetLastError();
        IMalloc* allocator = nullptr;
        if (SUCCEEDED(SHGetMalloc(&allocator))) {
            allocator->Free(list_);
            allocator->Release();
        }
        SetLastError(lastError);
    }
    ItemIdList(const ItemIdList&) = delete;
    ItemIdList& operator=(const ItemIdList&) = delete;
    LPITEMIDLIST* out() { return &list_; }
    LPCITEMIDLIST get() const { return list_; }

  private:
    LPITEMIDLIST list_ = nullptr;
};

UINT fileApiCodePage() {
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

bool toWide(const char* text, wchar_t* out, int capacity) {
    return MultiByteToWideChar(fileApiCodePage(), 0, text, -1, out, capacity) != 0;
}

bool fileApiCodePageIsUtf8() {
    return (AreFileApisANSI() ? GetACP() : GetOEMCP()) == CP_UTF8;
}

// Characters without an 8-bit form become "?", never a best-fit look-alike: Windows would otherwise
// turn "Ł" into "L" and "Ωδ" into "Od" without reporting a replacement, naming a file that does not
// exist. False when the text does not fit; *exact tells whether nothing was replaced.
bool toNarrowMarked(const wchar_t* text, char* out, int capacity, bool* exact) {
    if (fileApiCodePageIsUtf8()) {
        // Every character has a UTF-8 form; the code page takes neither flags nor a replacement.
        *exact = true;
        return WideCharToMultiByte(CP_UTF8, 0, text, -1, out, capacity, nullptr, nullptr) != 0;
    }
    BOOL usedDefault = FALSE;
    int written = WideCharToMultiByte(fileApiCodePage(), WC_NO_BEST_FIT_CHARS, text, -1, out, capacity, "?",
                                      &usedDefault);
    *exact = !usedDefault;
    return written != 0;
}

bool toNarrowLossless(const wchar_t* text, char* out, int capacity) {
    bool exact = false;
    return toNarrowMarked(text, out, capacity, &exact) && exact;
}

// The byte after the last backslash, stepping over double-byte characters whose trail byte equals
// a backslash. Null when there is no backslash.
const char* afterLastBackslash(const char* path) {
    const UINT codePage = fileApiCodePage();
    const char* found = nullptr;
    for (const char* c = path; *c != '\0'; ++c) {
        if (IsDBCSLeadByteEx(codePage, static_cast<BYTE>(*c)) && c[1] != '\0') {
            ++c;
        } else if (*c == '\\') {
            found = c + 1;
        }
    }
    return found;
}

bool endsWithBackslash(const char* path) {
    const char* after = afterLastBackslash(path);
    return after != nullptr && *after == '\0';
}

// Copies text into out; refuses (false, out empty) what does not fit whole.
bool copyWhole(char* out, size_t capacity, const char* text) {
    size_t length = strlen(text);
    if (length >= capacity) {
        out[0] = '\0';
        return false;
    }
    memcpy(out, text, length + 1);
    return true;
}

// Appends text to the terminated out; refuses (false, out unchanged) what does not fit whole.
bool appendWhole(char* out, size_t capacity, const char* text) {
    size_t used = strlen(out);
    size_t length = strlen(text);
    if (used + length >= capacity) {
        return false;
    }
    memcpy(out + used, text, length + 1);
    return true;
}

// "directory\name", adding the backslash only when directory lacks one.
bool joinPath(char* out, size_t capacity, const char* directory, const char* name) {
    return copyWhole(out, capacity, directory) &&
           (endsWithBackslash(directory) || appendWhole(out, capacity, "\\")) &&
           appendWhole(out, capacity, name);
}

bool hasExeSuffix(const char* path) {
    size_t length = strlen(path);
    return length > 3 && _stricmp(path + length - 4, ".exe") == 0;
}

bool acceptNarrowForm(const wchar_t* wide, char* out) {
    return toNarrowLossless(wide, out, kPathCapacity) && hasExeSuffix(out);
}

void readExecutablePath(char* out) {
    if (isWindowsNT()) {
        wchar_t wide[kPathCapacity];
        DWORD length = GetModuleFileNameW(nullptr, wide, kPathCapacity);
        if (length != 0 && length < kPathCapacity) {
            if (acceptNarrowForm(wide, out)) {
                return;
            }
            wchar_t shortWide[kPathCapacity];
            DWORD shortLength = GetShortPathNameW(wide, shortWide, kPathCapacity);
            if (shortLength != 0 && shortLength < kPathCapacity && acceptNarrowForm(shortWide, out)) {
                return;
            }
        }
        char moduleName[kPathCapacity];
        DWORD moduleLength = GetModuleFileNameA(nullptr, moduleName, kPathCapacity);
        if (moduleLength == 0 || moduleLength >= kPathCapacity) {
            out[0] = '\0';
            return;
        }
        DWORD shortLength = GetShortPathNameA(moduleName, out, kPathCapacity);
        if (shortLength == 0 || shortLength >= kPathCapacity) {
            copyWhole(out, kPathCapacity, moduleName);
        }
        return;
    }
    DWORD length = GetModuleFileNameA(nullptr, out, kPathCapacity);
    if (length >= kPathCapacity) {
        out[0] = '\0';
    }
}

bool isDriveRootForm(const char* path) {
    if (path[0] == '\0') {
        return false;
    }
    const char* rest = path + 1;
    return strcmp(rest, ":\\") == 0 || strcmp(rest, ":\\.") == 0 || strcmp(rest, ":\\.\\.") == 0;
}

using WideLongPathRoutine = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);

// The system's 16-bit long-path call on an 8-bit path: GetLongPathNameA would hand back look-alikes
// for characters the code page lacks.
unsigned long longPathThroughWide(WideLongPathRoutine routine, const char* path, char* out,
                                  unsigned long capacity) {
    wchar_t wide[kPathCapacity];
    if (!toWide(path, wide, kPathCapacity)) {
        return 0;
    }
    wchar_t longWide[kPathCapacity];
    DWORD wideLength = routine(wide, longWide, kPathCapacity);
    if (wideLength == 0) {
        return 0;
    }
    char narrow[kPathCapacity];
    bool exact = false;
    if (wideLength >= kPathCapacity || !toNarrowMarked(longWide, narrow, kPathCapacity, &exact)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    unsigned long length = static_cast<unsigned long>(strlen(narrow));
    if (capacity < length + 1) {
        return length + 1;
    }
    memcpy(out, narrow, length + 1);
    return length;
}

} // namespace

bool narrowPath(const wchar_t* path, char* out, size_t capacity) {
    if (!toNarrowLossless(path, out, static_cast<int>(capacity))) {
        out[0] = '\0';
        return false;
    }
    return true;
}

std::wstring widePath(const char* path) {
    const int units = MultiByteToWideChar(fileApiCodePage(), 0, path, -1, nullptr, 0);
    if (units <= 1) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(fileApiCodePage(), 0, path, -1, &wide[0], units);
    wide.resize(static_cast<size_t>(units - 1));
    return wide;
}

bool openableNarrowPath(const wchar_t* path, char* out, size_t capacity) {
    if (narrowPath(path, out, capacity)) {
        return true;
    }
    wchar_t shortWide[kPathCapacity];
    DWORD shortLength = GetShortPathNameW(path, shortWide, kPathCapacity);
    if (shortLength != 0 && shortLength < kPathCapacity && narrowPath(shortWide, out, capacity)) {
        return true;
    }
    bool exact = false;
    if (!toNarrowMarked(path, out, static_cast<int>(capacity), &exact)) {
        out[0] = '\0';
    }
    return false;
}

bool isWindowsNT() {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

const char* executablePath() {
    static char path[kPathCapacity];
    static bool filled = false;
    if (!filled) {
        readExecutablePath(path);
        normalizeSeparators(path);
        filled = true;
    }
    return path;
}

const char* executableDirectory() {
    static char directory[kPathCapacity];
    static bool filled = false;
    if (!filled) {
        DWORD length = GetFullPathNameA(executablePath(), kPathCapacity, directory, nullptr);
        if (length == 0 || length >= kPathCapacity) {
            copyWhole(directory, kPathCapacity, executablePath());
        }
        const char* after = afterLastBackslash(directory);
        directory[after != nullptr ? after - directory : 0] = '\0';
        filled = true;
    }
    return directory;
}

bool makeAbsolute(char* out, const char* path) {
    out[0] = '\0';
    if (isRelativePath(path) && !appendWhole(out, kPathCapacity, executableDirectory())) {
        return false;
    }
    if (!appendWhole(out, kPathCapacity, path)) {
        out[0] = '\0';
        return false;
    }
    normalizeSeparators(out);
    return true;
}

bool fullPath(char* out, const char* path, bool keepCase) {
    char absolute[kPathCapacity];
    out[0] = '\0';
    if (!makeAbsolute(absolute, path)) {
        return false;
    }
    DWORD length = GetFullPathNameA(absolute, kPathCapacity, out, nullptr);
    if (length == 0 || length >= kPathCapacity) {
        out[0] = '\0';
        return false;
    }
    if (!keepCase) {
        lowerCasePath(out);
    }
    normalizeSeparators(out);
    return true;
}

void absolutePathList(char* out, size_t capacity, const char* list, std::string* leftOut) {
    out[0] = '\0';
    if (leftOut != nullptr) {
        leftOut->clear();
    }
    const char* start = list;
    while (*start != '\0') {
        const char* end = strchr(start, ';');
        size_t length = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
        char entry[kPathCapacity];
        char absolute[kPathCapacity];
        bool added = length == 0;
        if (length > 0 && length < kPathCapacity) {
            memcpy(entry, start, length);
            entry[length] = '\0';
            if (makeAbsolute(absolute, entry)) {
                size_t used = strlen(out);
                added =
                    (used == 0 || appendWhole(out, capacity, ";")) && appendWhole(out, capacity, absolute);
                if (!added) {
                    out[used] = '\0';
                }
            }
        }
        if (!added && leftOut != nullptr) {
            leftOut->append(leftOut->empty() ? "" : ";").append(start, length);
        }
        start += length;
        if (*start == ';') {
            ++start;
        }
    }
}

bool isRelativePath(const char* path) {
    size_t length = strlen(path);
    if (length <= 2) {
        return true;
    }
    if (path[0] == '"') {
        return length <= 3 || (strncmp(path + 2, ":\\", 2) != 0 && strncmp(path + 1, "\\\\", 2) != 0);
    }
    return strncmp(path + 1, ":\\", 2) != 0 && strncmp(path, "\\\\", 2) != 0;
}

void normalizeSeparators(char* path) {
    // Walking UTF-16 rather than bytes: a double-byte character's trail byte can equal a backslash.
    wchar_t wide[kPathCapacity];
    if (!toWide(path, wide, kPathCapacity)) {
        return;
    }
    size_t kept = 0;
    for (size_t i = 0; wide[i] != L'\0'; ++i) {
        bool repeatedBackslash = kept > 0 && wide[i] == L'\\' && wide[kept - 1] == L'\\';
        bool networkPrefix = kept == 1;
        if (!repeatedBackslash || networkPrefix) {
            wide[kept++] = wide[i];
        }
    }
    wide[kept] = L'\0';
    char narrow[kPathCapacity];
    if (toNarrowLossless(wide, narrow, kPathCapacity)) {
        // Dropping characters never lengthens the 8-bit text, so it fits where the old one was.
        strcpy(path, narrow);
    }
}

void lowerCasePath(char* path) {
    wchar_t wide[kPathCapacity];
    if (!toWide(path, wide, kPathCapacity)) {
        return;
    }
    // Not the C runtime's _wcslwr: in the "C" locale, which the launcher never leaves, it lowers only
    // A-Z, and paths that serve as keys must match whatever the case of their non-ASCII letters.
    CharLowerBuffW(wide, static_cast<DWORD>(wcslen(wide)));
    char narrow[kPathCapacity];
    // A lower-case letter may need more bytes than its capital in a double-byte code page; the
    // caller's buffer is only known to hold the old text.
    if (toNarrowLossless(wide, narrow, kPathCapacity) && strlen(narrow) <= strlen(path)) {
        strcpy(path, narrow);
    }
}

bool pathExists(const char* path) {
    if (isDriveRootForm(path)) {
        return true;
    }
    return findFile(path, nullptr);
}

bool findFile(const char* path, uint64_t* lastWriteTime) {
    WIN32_FIND_DATAA data;
    FindHandle search(FindFirstFileA(path, &data));
    if (!search.valid()) {
        return false;
    }
    if (lastWriteTime != nullptr) {
        *lastWriteTime = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
    }
    return true;
}

unsigned long longPathName(const char* path, char* out, unsigned long capacity) {
    static bool chosen = false;
    static WideLongPathRoutine systemRoutine = nullptr;
    if (!chosen) {
        HMODULE kernel = GetModuleHandleA("KERNEL32");
        FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "GetLongPathNameW") : nullptr;
        if (found != nullptr) {
            auto routine = reinterpret_cast<WideLongPathRoutine>(reinterpret_cast<void (*)()>(found));
            unsigned long length = longPathThroughWide(routine, path, out, capacity);
            // Stubbed out on systems that export the name without implementing it.
            if (length != 0 || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) {
                systemRoutine = routine;
                chosen = true;
                return length;
            }
        }
        chosen = true;
    }
    if (systemRoutine != nullptr) {
        return longPathThroughWide(systemRoutine, path, out, capacity);
    }
    return longPathNameFallback(path, out, capacity);
}

namespace {

// A directory as sameDirectory compares it: in full, in its long form where it has one, in upper
// case, without a trailing backslash; empty when it cannot be made full.
std::string comparableDirectory(const char* directory) {
    char full[kPathCapacity];
    const DWORD fullLength = GetFullPathNameA(directory, sizeof full, full, nullptr);
    if (fullLength == 0 || fullLength >= sizeof full - 1)
        return std::string();
    // "c:" alone would be the drive's current directory, not its root.
    if (full[fullLength - 1] != '\\')
        strcat(full, "\\");
    char longForm[kPathCapacity];
    const unsigned long longLength = longPathName(full, longForm, sizeof longForm);
    std::string form = longLength != 0 && longLength < sizeof longForm ? longForm : full;
    while (!form.empty() && form.back() == '\\')
        form.pop_back();
    if (!form.empty())
        CharUpperBuffA(&form[0], static_cast<DWORD>(form.size()));
    return form;
}

} // namespace

bool sameDirectory(const char* a, const char* b) {
    const std::string first = comparableDirectory(a);
    return !first.empty() && first == comparableDirectory(b);
}

unsigned long longPathNameFallback(const char* path, char* out, unsigned long capacity) {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        return 0;
    }
    char full[MAX_PATH];
    DWORD fullLength = GetFullPathNameA(path, MAX_PATH, full, nullptr);
    if (fullLength == 0) {
        return 0;
    }
    if (fullLength + 1 > MAX_PATH - 1) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    ShellReference<IShellFolder> desktop;
    if (FAILED(SHGetDesktopFolder(desktop.out()))) {
        return 0;
    }
    wchar_t wide[MAX_PATH];
    if (!toWide(full, wide, MAX_PATH)) {
        if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            SetLastError(ERROR_BUFFER_OVERFLOW);
        }
        return 0;
    }
    ItemIdList items;
    HRESULT parsed = desktop->ParseDisplayName(nullptr, nullptr, wide, nullptr, items.out(), nullptr);
    if (FAILED(parsed)) {
        SetLastError(HRESULT_FACILITY(parsed) == FACILITY_WIN32 ? HRESULT_CODE(parsed) : ERROR_INVALID_DATA);
        return 0;
    }
    char longPath[MAX_PATH];
    longPath[0] = '\0';
    if (!SHGetPathFromIDListA(items.get(), longPath)) {
        if (longPath[0] != '\0') {
            SetLastError(ERROR_INVALID_DATA);
        }
        return 0;
    }
    unsigned long length = static_cast<unsigned long>(strlen(longPath));
    if (capacity < length + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return length + 1;
    }
    memcpy(out, longPath, length + 1);
    return length;
}

void emptyDirectory(const char* directory) {
    if (directory[0] == '\0' || directory[0] == '.') {
        return;
    }
    logLine("emptying %s", directory);
    char pattern[kPathCapacity];
    if (!joinPath(pattern, kPathCapacity, directory, "*.*")) {
        return;
    }
    WIN32_FIND_DATAA data;
    FindHandle search(FindFirstFileA(pattern, &data));
    if (!search.valid()) {
        return;
    }
    do {
        if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0) {
            continue;
        }
        char entry[kPathCapacity];
        if (!joinPath(entry, kPathCapacity, directory, data.cFileName)) {
            continue;
        }
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            logLine("attempting to remove %s", entry);
            RemoveDirectoryA(entry);
        } else {
            logLine("attempting to delete %s", entry);
            DeleteFileA(entry);
        }
    } while (FindNextFileA(search.get(), &data));
}

int listFiles(const char* directory, const char* extension, char*** names) {
    char pattern[kPathCapacity];
    if (!copyWhole(pattern, kPathCapacity, directory) || !appendWhole(pattern, kPathCapacity, "\\*") ||
        (extension[0] != '.' && !appendWhole(pattern, kPathCapacity, ".")) ||
        !appendWhole(pattern, kPathCapacity, extension)) {
        return 0;
    }
    WIN32_FIND_DATAA data;
    FindHandle search(FindFirstFileA(pattern, &data));
    if (!search.valid()) {
        return 0;
    }
    int count = 0;
    int capacity = 16;
    char** found = new char*[capacity];
    do {
        if (count == capacity) {
            char** grown = new char*[capacity * 2];
            memcpy(grown, found, sizeof(char*) * capacity);
            delete[] found;
            found = grown;
            capacity *= 2;
        }
        found[count] = new char[kPathCapacity];
        copyWhole(found[count], kPathCapacity, data.cFileName);
        ++count;
    } while (FindNextFileA(search.get(), &data));
    *names = found;
    return count;
}

void freeFileList(char** names, int count) {
    for (int i = 0; i < count; ++i) {
        delete[] names[i];
    }
    delete[] names;
}
