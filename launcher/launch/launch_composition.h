// What the VM and the bootstrap class receive, composed from plain values: the launcher's system
// properties, the order of the option list and the parameters of WinLauncher.main. Free of Win32, so
// that the host's real-JVM test hands a real runtime exactly what the launcher hands it; vm_launch
// and vm_options gather the values from the configuration and the system.
#pragma once

#include "launch/arguments.h"

#include <cstddef>
#include <string>
#include <vector>

// The option list; every text stays allocated for the life of the process.
using VmOptionList = std::vector<char*>;

// The values the launcher's system properties show; an empty text leaves its property out where
// the property is optional.
struct LauncherPropertyValues {
    std::string instanceName; // the single-instance semaphore's name
    bool manualSelection = false;
    bool installerKind = false;
    std::string moduleName;      // the executable
    std::string processCommFile; // where a later start hands its arguments over
    std::string temporaryDirectory;
    long long unextractedPosition = 0;
    bool withConsoleCodePage = false; // false while MANPATH is defined
    unsigned consoleCodePage = 0;
    // How many of the application's arguments are configuration 124's rather than the command
    // line's: the Java side takes the launcher's switches out of the command line's alone.
    size_t configuredArgumentCount = 0;
};

// The properties as "-Dname=value" options in their fixed order, closed by a null entry. The texts
// stay allocated for the life of the process.
std::vector<char*> composeLauncherProperties(const LauncherPropertyValues& values);

// The three forms that change the class path instead of adding an option; each points into the
// option text that set it, and a later one replaces an earlier one.
struct ClassPathOverrides {
    const char* replacement = nullptr; // "-classpath "
    const char* prefix = nullptr;      // "-classpath/p "
    const char* suffix = nullptr;      // "-classpath/a "
};

// Applies one option: a class path form sets its override, anything else is appended to options.
void classifyOption(char* option, VmOptionList& options, ClassPathOverrides& overrides);

// The option list without its class path option: the properties (null-terminated, may be null),
// then configuration 123's options, the "-J" arguments (without "-J") and the options file's lines,
// each classified. Copies the texts it is given as strings; fileLines are taken as they are.
VmOptionList composeVmOptions(const char* const* properties, const NarrowArguments& configured,
                              const NarrowArguments& fromCommandLine, const std::vector<char*>& fileLines,
                              ClassPathOverrides& overrides);

// The stack size the options ask for with -Xss, in bytes: a decimal number, of kilobytes, megabytes
// or gigabytes with the suffix k, m or g in either case. The last -Xss counts, as in the VM. 0 when
// no option asks, or the last one is malformed (the VM refuses it then) or beyond what a size holds.
size_t requestedStackSize(const VmOptionList& options);

// The values behind the launcher parameters of the bootstrap class.
struct LauncherParameterValues {
    bool guiApplication = false;
    std::wstring mainClass;
    std::wstring errorLog;  // full path; empty when not configured
    std::wstring outputLog; // full path; empty when not configured
    bool appendToLogs = false;
    WideArguments configuredArguments; // configuration 124, expanded and split
    bool dashJAreVmOptions = false;    // configuration 125
};

// What main of the bootstrap class receives: the six launcher parameters (GUI flag, main class,
// error log, output log, append flag, program; the program is empty when the command line is), then
// the configured arguments, then the command line's other arguments ("-J" ones left out when they
// are VM options). Always six in front, so the Java side reads them by position.
WideArguments composeLauncherParameters(const LauncherParameterValues& values,
                                        const WideArguments& commandLine);
