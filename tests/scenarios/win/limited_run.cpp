// limited-run: starts a program as a user's double-click on Windows does, with the limited token
// (limited_token.h), and ends with its exit code. Its standard handles, environment and current
// directory are this program's.
//   limited-run.exe PROGRAM [ARGS...]
#include "limited_token.h"

#include <windows.h>

#include <cstdio>

namespace {

// The command line after this program's own name, as it was written.
wchar_t* afterProgramName(wchar_t* commandLine) {
    wchar_t* at = commandLine;
    if (*at == L'"') {
        for (++at; *at != L'\0' && *at != L'"'; ++at) {
        }
        if (*at == L'"')
            ++at;
    } else {
        while (*at != L'\0' && *at != L' ' && *at != L'\t')
            ++at;
    }
    while (*at == L' ' || *at == L'\t')
        ++at;
    return at;
}

} // namespace

int wmain() {
    wchar_t* commandLine = afterProgramName(GetCommandLineW());
    if (*commandLine == L'\0') {
        std::fprintf(stderr, "usage: limited-run.exe PROGRAM [ARGS...]\n");
        return 2;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    HANDLE token = kestro::test::limitedToken(TokenPrimary);
    const BOOL started = token != nullptr
                             ? CreateProcessAsUserW(token, nullptr, commandLine, nullptr, nullptr, TRUE, 0,
                                                    nullptr, nullptr, &startup, &child)
                             : CreateProcessW(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr,
                                              nullptr, &startup, &child);
    if (!started) {
        std::fprintf(stderr, "limited-run: cannot start %ls (error %lu)\n", commandLine, GetLastError());
        return 3;
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(child.hProcess, &exitCode);
    return static_cast<int>(exitCode);
}
