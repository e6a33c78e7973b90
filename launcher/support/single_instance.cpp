#include "support/single_instance.h"

#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/registry_key.h"
#include "support/temp_directory.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace {

constexpr char kProcessRegistryKey[] = "SOFTWARE\\Morvane\\kestro\\pids\\";
constexpr int kHandOverWaitSteps = 200;
constexpr DWORD kHandOverWaitStepMs = 50;

const char* guardInstanceName = nullptr;

enum class ConsoleLookup { NotYet, NoConsole, Found };
ConsoleLookup consoleLookup = ConsoleLookup::NotYet;
HWND consoleWindow = nullptr;

// Finds this process's console window by giving the console a title nobody else has.
void lookUpConsoleWindow() {
    if (consoleLookup != ConsoleLookup::NotYet)
        return;
    consoleLookup = ConsoleLookup::NoConsole;
    if (getConfigNumber(kestro::payload::config::ExecutableType) == 1)
        return;
    char previousTitle[8192];
    if (GetConsoleTitleA(previousTitle, sizeof previousTitle) == 0)
        return;
    char uniqueTitle[64];
    snprintf(uniqueTitle, sizeof uniqueTitle, "%lu/%lu", GetTickCount(), GetCurrentProcessId());
    if (!SetConsoleTitleA(uniqueTitle))
        return;
    Sleep(40);
    consoleWindow = FindWindowA(nullptr, uniqueTitle);
    if (consoleWindow != nullptr)
        consoleLookup = ConsoleLookup::Found;
    SetConsoleTitleA(previousTitle);
}

struct WindowWalk {
    DWORD processId;
    bool restore;
    int count;
    std::initializer_list<const void*> besides;
};

bool isVisibleWindowOf(HWND window, DWORD processId) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    return owner == processId && IsWindowVisible(window);
}

BOOL CALLBACK countWindow(HWND window, LPARAM context) {
    WindowWalk* walk = reinterpret_cast<WindowWalk*>(context);
    if (isVisibleWindowOf(window, walk->processId) && window != consoleWindow &&
        std::find(walk->besides.begin(), walk->besides.end(), window) == walk->besides.end())
        ++walk->count;
    return TRUE;
}

BOOL CALLBACK activateWindow(HWND window, LPARAM context) {
    const WindowWalk* walk = reinterpret_cast<const WindowWalk*>(context);
    if (!isVisibleWindowOf(window, walk->processId))
        return TRUE;
    if (walk->restore && IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    SetForegroundWindow(GetLastActivePopup(window));
    return TRUE;
}

// Writes this process's arguments as one UTF-16LE line, without byte-order mark, into the first
// instance's communication file, after the previous hand-over has been consumed (or 10 s passed).
void handArgumentsOver(DWORD firstInstance) {
    char commFile[8192];
    processCommFileName(commFile, firstInstance);
    for (int step = 0; step < kHandOverWaitSteps && pathExists(commFile); ++step)
        Sleep(kHandOverWaitStepMs);
    FILE* out = fopen(commFile, "wb");
    if (out == nullptr)
        return;
    const std::wstring line = argumentsPartOfCommandLine(GetCommandLineW()) + L"\n";
    // Written unit by unit so that the bytes are UTF-16LE whatever the C runtime's wide output does.
    fwrite(line.data(), sizeof(wchar_t), line.size(), out);
    fclose(out);
}

} // namespace

std::string executableKey(const char* modulePath) {
    char path[kPathCapacity];
    if (fullPath(path, modulePath, false))
        return path;
    // The module path is full already as the system gives it; without it as a stand-in the guard
    // would not run and the VM would learn no instance name.
    logError("no full path of %s: its lower-cased form names the instance", modulePath);
    lstrcpynA(path, modulePath, sizeof path);
    lowerCasePath(path);
    return path;
}

std::string instanceNameForPath(const char* fullExecutablePath) {
    std::string name = fullExecutablePath;
    for (char& c : name)
        if (c == '\\')
            c = '_';
    return name;
}

std::wstring argumentsPartOfCommandLine(const wchar_t* commandLine) {
    const wchar_t* blank;
    if (commandLine[0] == L'"') {
        const wchar_t* closingQuote = wcschr(commandLine + 1, L'"');
        blank = closingQuote != nullptr ? wcschr(closingQuote, L' ') : nullptr;
    } else {
        blank = wcschr(commandLine, L' ');
    }
    if (blank == nullptr)
        return std::wstring();
    while (*blank == L' ')
        ++blank;
    return blank;
}

void guardSingleInstance(bool checkConfiguration, bool handOver) {
    if (checkConfiguration && getConfigNumber(kestro::payload::config::SingleInstanceCommFile) == 0)
        return;
    // Kept for the life of the process: the VM learns the semaphore's name from it.
    static char name[kPathCapacity];
    lstrcpynA(name, instanceNameForPath(executableKey(executablePath()).c_str()).c_str(), sizeof name);
    guardInstanceName = name;

    // The first instance keeps this handle open on purpose: the name exists exactly as long as it runs.
    SetLastError(ERROR_SUCCESS);
    HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 1, name);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (semaphore != nullptr)
            CloseHandle(semaphore);
        const DWORD firstInstance = registeredProcessId();
        logLine("another instance is running (process %lu)", firstInstance);
        if (firstInstance != 0)
            activateProcessWindows(firstInstance, true);
        if (handOver && firstInstance != 0)
            handArgumentsOver(firstInstance);
        exitLauncher(0);
    }
    registerProcessId();
}

void discardStaleHandOver() {
    char commFile[8192];
    processCommFileName(commFile, GetCurrentProcessId());
    if (DeleteFileA(commFile))
        logLine("removed a hand-over nobody took: %s", commFile);
}

const char* instanceName() {
    return guardInstanceName;
}

void registerProcessId() {
    const std::string path = executableKey(executablePath());
    RegistryKey key;
    if (!key.create(HKEY_CURRENT_USER, kProcessRegistryKey))
        return;
    const DWORD processId = GetCurrentProcessId();
    RegSetValueExA(key.get(), path.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&processId),
                   sizeof processId);
}

unsigned long registeredProcessId() {
    const std::string path = executableKey(executablePath());
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kProcessRegistryKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD processId = 0;
    DWORD size = sizeof processId;
    // The registry type is not looked at: any value of exactly four bytes is an id.
    const LONG result =
        RegQueryValueExA(key, path.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&processId), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && size == sizeof processId ? processId : 0;
}

int countProcessWindows(unsigned long processId, std::initializer_list<const void*> besides) {
    lookUpConsoleWindow();
    WindowWalk walk{processId, false, 0, besides};
    EnumWindows(countWindow, reinterpret_cast<LPARAM>(&walk));
    return walk.count;
}

void activateProcessWindows(unsigned long processId, bool restore) {
    WindowWalk walk{processId, restore, 0, {}};
    EnumWindows(activateWindow, reinterpret_cast<LPARAM>(&walk));
}
