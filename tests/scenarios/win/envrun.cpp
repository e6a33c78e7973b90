// envrun: starts one Windows program the way a scenario needs it and waits for it.
//
//   envrun.exe [--stdout FILE] [--stderr FILE] [--report FILE] [--timeout MS] [--unset NAME]...
//              [NAME=VALUE]... -- PROGRAM [ARGS...]
//
// Wine gives every Windows process TMP and TEMP from the prefix's registry, whatever the Linux
// environment says, so variables a scenario needs are set here, on the Windows side, and inherited by
// the program. The program's standard output and error go to the named files (else to envrun's own),
// so that nothing Wine itself prints is mixed into them.
//
// While the program runs, every message box it (or a process it started) shows is written to the
// report file and closed with OK, so that a scenario never blocks on a box and can assert on its
// text. The report holds one line per event, UTF-8, with backslash, tab, CR and LF escaped:
//   box<TAB>caption<TAB>text<TAB>class of the owner window (empty without one)<TAB>splash
// where splash says how the box's process shows its splash window while the box is up: "visible",
// "hidden" or "none".
//   timeout
//   exit<TAB>code
// Exit code: the program's; 2 when envrun itself could not start it.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

namespace {

// The static control that carries a message box's text, on Windows and on Wine alike.
constexpr int kMessageBoxTextId = 0xFFFF;
constexpr DWORD kPollMilliseconds = 50;

struct Options {
    std::wstring stdoutPath;
    std::wstring stderrPath;
    std::wstring reportPath;
    DWORD timeoutMilliseconds = INFINITE;
    std::vector<std::wstring> programAndArguments;
};

std::string toUtf8(const std::wstring& text) {
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}

std::string escapeField(const std::wstring& text) {
    std::string out;
    for (char c : toUtf8(text)) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

class Report {
  public:
    explicit Report(const std::wstring& path) : path_(path) {}

    void write(const std::string& line) const {
        if (path_.empty())
            return;
        HANDLE file = CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return;
        std::string text = line + "\n";
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }

  private:
    std::wstring path_;
};

// Quotes one argument so that the C runtime's command-line splitting gives it back unchanged.
std::wstring quoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

bool parseOptions(int argc, wchar_t** argv, Options* options) {
    int i = 1;
    for (; i < argc; ++i) {
        std::wstring argument = argv[i];
        bool hasValue = i + 1 < argc;
        if (argument == L"--") {
            ++i;
            break;
        } else if (argument == L"--stdout" && hasValue) {
            options->stdoutPath = argv[++i];
        } else if (argument == L"--stderr" && hasValue) {
            options->stderrPath = argv[++i];
        } else if (argument == L"--report" && hasValue) {
            options->reportPath = argv[++i];
        } else if (argument == L"--timeout" && hasValue) {
            options->timeoutMilliseconds = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (argument == L"--unset" && hasValue) {
            SetEnvironmentVariableW(argv[++i], nullptr);
        } else if (size_t equals = argument.find(L'='); equals != std::wstring::npos && equals > 0) {
            SetEnvironmentVariableW(argument.substr(0, equals).c_str(), argument.substr(equals + 1).c_str());
        } else {
            fwprintf(stderr, L"envrun: unexpected argument %ls\n", argv[i]);
            return false;
        }
    }
    options->programAndArguments.assign(argv + i, argv + argc);
    if (options->programAndArguments.empty()) {
        fwprintf(stderr, L"envrun: no program given after --\n");
        return false;
    }
    return true;
}

// An inheritable handle for the child's standard stream: a new file when a path is given, else a
// duplicate of envrun's own stream (Wine's initial standard handles are not inheritable).
HANDLE childStream(const std::wstring& path, DWORD ownStream) {
    if (!path.empty()) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    HANDLE duplicate = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(ownStream), GetCurrentProcess(), &duplicate, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return duplicate;
}

// Under load Wine now and then loses a new process before it has finished loading, and CreateProcess
// then fails with ERROR_INTERNAL_ERROR. The program has not run any of its own code at that point, so
// starting it again is safe; any other failure is the program's or the caller's and is reported.
bool startProgram(const std::wstring& program, std::wstring& commandLine, STARTUPINFOW& startup,
                  PROCESS_INFORMATION& process) {
    constexpr int kAttempts = 5;
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                           nullptr, nullptr, &startup, &process))
            return true;
        DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == kAttempts)
            return false;
        fwprintf(stderr, L"envrun: %ls was lost while loading (error %lu), starting it again\n",
                 program.c_str(), error);
        Sleep(100 * attempt);
    }
}

struct BoxSearch {
    HANDLE job;
    const Report* report;
    std::set<HWND>* handled;
};

bool belongsToJob(HWND window, HANDLE job) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    // Windows would answer with PROCESS_QUERY_LIMITED_INFORMATION too; Wine's IsProcessInJob needs more.
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (!process)
        return false;
    BOOL inJob = FALSE;
    IsProcessInJob(process, job, &inJob);
    CloseHandle(process);
    return inJob;
}

struct SplashSearch {
    DWORD processId;
    const char* state;
};

BOOL CALLBACK findSplash(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<SplashSearch*>(context);
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || wcscmp(className, L"KestroSplashScreen") != 0)
        return TRUE;
    search->state = IsWindowVisible(window) ? "visible" : "hidden";
    return FALSE;
}

const char* splashStateOf(HWND box) {
    SplashSearch search = {0, "none"};
    GetWindowThreadProcessId(box, &search.processId);
    EnumWindows(findSplash, reinterpret_cast<LPARAM>(&search));
    return search.state;
}

BOOL CALLBACK closeMessageBox(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<BoxSearch*>(context);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    // A dialog's icon also has the id 0xFFFF; a message box's text is a static of another kind.
    HWND text = GetDlgItem(window, kMessageBoxTextId);
    if (wcscmp(className, L"#32770") != 0 || !IsWindowVisible(window) || search->handled->count(window) ||
        !text || (GetWindowLongW(text, GWL_STYLE) & SS_TYPEMASK) == SS_ICON ||
        !belongsToJob(window, search->job))
        return TRUE;
    std::vector<wchar_t> caption(8192), message(16384), ownerClass(256);
    GetWindowTextW(window, caption.data(), static_cast<int>(caption.size()));
    GetDlgItemTextW(window, kMessageBoxTextId, message.data(), static_cast<int>(message.size()));
    if (HWND owner = GetWindow(window, GW_OWNER))
        GetClassNameW(owner, ownerClass.data(), static_cast<int>(ownerClass.size()));
    search->report->write("box\t" + escapeField(caption.data()) + "\t" + escapeField(message.data()) + "\t" +
                          escapeField(ownerClass.data()) + "\t" + splashStateOf(window));
    search->handled->insert(window);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options))
        return 2;
    Report report(options.reportPath);

    std::wstring commandLine;
    for (const std::wstring& argument : options.programAndArguments)
        commandLine += (commandLine.empty() ? L"" : L" ") + quoteArgument(argument);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childStream(L"", STD_INPUT_HANDLE);
    startup.hStdOutput = childStream(options.stdoutPath, STD_OUTPUT_HANDLE);
    startup.hStdError = childStream(options.stderrPath, STD_ERROR_HANDLE);

    // The job lets boxes of the program's own children be found and a hung run be ended as a whole.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    PROCESS_INFORMATION process = {};
    if (!startProgram(options.programAndArguments[0], commandLine, startup, process)) {
        fwprintf(stderr, L"envrun: cannot start %ls (error %lu)\n", options.programAndArguments[0].c_str(),
                 GetLastError());
        return 2;
    }
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);

    std::set<HWND> handledBoxes;
    BoxSearch search = {job, &report, &handledBoxes};
    ULONGLONG started = GetTickCount64();
    while (WaitForSingleObject(process.hProcess, kPollMilliseconds) == WAIT_TIMEOUT) {
        EnumWindows(closeMessageBox, reinterpret_cast<LPARAM>(&search));
        if (options.timeoutMilliseconds != INFINITE &&
            GetTickCount64() - started > options.timeoutMilliseconds) {
            report.write("timeout");
            TerminateJobObject(job, 1);
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, INFINITE);
        }
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    report.write("exit\t" + std::to_string(exitCode));
    return static_cast<int>(exitCode);
}
