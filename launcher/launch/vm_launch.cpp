#include "launch/vm_launch.h"

#include "launch/java_calls.h"
#include "launch/launch_composition.h"
#include "launch/variable_expansion.h"
#include "launch/vm_options.h"
#include "launch/vm_state.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "startup/startup_state.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/single_instance.h"
#include "support/temp_directory.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

namespace config = kestro::payload::config;

// The program's Java code has been entered: its start did not fail on the way.
std::atomic<bool> entered{false};
void (*enteringJavaObserver)() = nullptr;

std::wstring wideFromCodePage(const char* text, UINT codePage) {
    const int units = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (units <= 1)
        return std::wstring();
    std::wstring wide(size_t(units), L'\0');
    MultiByteToWideChar(codePage, 0, text, -1, &wide[0], units);
    wide.resize(size_t(units - 1));
    return wide;
}

UINT fileApiCodePage() {
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

// The full path (case kept) of the log file configured by nameId when enabledId is non-zero.
std::wstring configuredLogPath(int enabledId, int nameId) {
    if (getConfigNumber(enabledId) == 0)
        return std::wstring();
    char name[kTextCapacity];
    getConfigText(nameId, name, sizeof name);
    char full[kPathCapacity];
    if (!fullPath(full, name, true))
        return std::wstring();
    return wideFromCodePage(full, fileApiCodePage());
}

// Configuration 124, expanded, before it is split into arguments.
std::wstring configuredArgumentText() {
    char configured[kTextCapacity];
    getConfigText(config::MainArguments, configured, sizeof configured);
    expandVariables(configured, sizeof configured);
    return wideFromCodePage(configured, CP_ACP);
}

} // namespace

void jniLogLine(const char* text) {
    logLine("%s", text);
}
void jniLogError(const char* text) {
    logError("%s", text);
}
void jniEnteringJava() {
    if (entered.exchange(true))
        return;
    if (enteringJavaObserver)
        enteringJavaObserver();
}
void jniProgramExit(int code) {
    logLine("System.exit(%d)", code);
    exitLauncher(code);
}

bool javaEntered() {
    return entered;
}

std::vector<char*> launcherProperties() {
    LauncherPropertyValues values;
    if (const char* instance = instanceName())
        values.instanceName = instance;
    values.manualSelection = manualSelection();
    values.installerKind = applicationKind() == 's';
    values.moduleName = executablePath();
    // A hand-over needs its reader: the Java side watches the file only when it knows its name.
    if (getConfigNumber(kestro::payload::config::SingleInstanceCommFile) != 0 ||
        getConfigNumber(kestro::payload::config::SingleInstanceHandOver) != 0) {
        char commFile[kTextCapacity];
        processCommFileName(commFile, GetCurrentProcessId());
        values.processCommFile = commFile;
    }
    values.temporaryDirectory = extractionDirectory();
    values.unextractedPosition = unextractedPosition();
    values.withConsoleCodePage = std::getenv("MANPATH") == nullptr;
    values.consoleCodePage = GetConsoleOutputCP();
    // An unpaired quote is reported once main's parameters are built, if it comes to that.
    WideArguments configured;
    trySplitArguments(configuredArgumentText().c_str(), configured);
    values.configuredArgumentCount = configured.size();
    return composeLauncherProperties(values);
}

WideArguments launcherParameters(const WideArguments& arguments) {
    LauncherParameterValues values;
    values.guiApplication = getConfigNumber(config::ExecutableType) == 1;
    char mainClass[kTextCapacity];
    getConfigText(config::MainClass, mainClass, sizeof mainClass);
    // In the ANSI code page like every other configured text: "%S" would make the upper half of
    // code page 1252 (the euro sign, S and Z with caron) control characters.
    values.mainClass = wideFromCodePage(mainClass, CP_ACP);
    values.errorLog = configuredLogPath(config::ErrorLogEnabled, config::ErrorLogFile);
    values.outputLog = configuredLogPath(config::OutputLogEnabled, config::OutputLogFile);
    values.appendToLogs = getConfigNumber(config::JavaSideSwitch) != 0;
    splitArguments(configuredArgumentText().c_str(), values.configuredArguments);
    values.dashJAreVmOptions = getConfigNumber(config::DashJArgumentsAreVmOptions) != 0;
    return composeLauncherParameters(values, arguments);
}

bool checkFirstRun() {
    char base[kTextCapacity];
    getConfigText(config::LocationFileBase, base, sizeof base);
    char marker[kPathCapacity];
    if (!fullPath(marker, base, true))
        return true;
    std::strncat(marker, "\\.sorvana\\firstrun", sizeof marker - std::strlen(marker) - 1);
    if (!pathExists(marker))
        return true;
    switch (callFirstRun()) {
    case FirstRun::ClassMissing:
        fatalMessage(config::MessageInternalError, "14");
    case FirstRun::MethodMissing:
        fatalMessage(config::MessageInternalError, "15");
    case FirstRun::Stop:
        return false;
    case FirstRun::Proceed:
        break;
    }
    return true;
}

ProgramEnd callMain(const WideArguments& arguments, std::wstring* exception) {
    if (applicationKind() == 's' && !checkFirstRun()) {
        logLine("checkFirstRun stopped further execution");
        return ProgramEnd::Returned;
    }
    char bootstrap[kTextCapacity];
    std::snprintf(bootstrap, sizeof bootstrap, "%s", "com/kestro/runtime/WinLauncher");
    for (char* c = bootstrap; *c; ++c)
        if (*c == '.')
            *c = '/';
    logLine("main class: %s", bootstrap);

    // The parameters are built only once the class and its main are known to exist.
    const MainParameterSource source = [](std::vector<std::u16string>& parameters,
                                          std::vector<std::string>& forLog, void* context) {
        for (const std::wstring& parameter :
             launcherParameters(*static_cast<const WideArguments*>(context))) {
            parameters.emplace_back(parameter.begin(), parameter.end());
            forLog.push_back(argumentForLog(parameter));
        }
    };
    std::u16string thrown;
    switch (callStaticMain(bootstrap, source, const_cast<WideArguments*>(&arguments), &thrown)) {
    case MainCall::ClassMissing:
        logError("could not find main class");
        fatalMessage(config::MessageMainClassNotLoaded, nullptr);
    case MainCall::MethodMissing:
        logError("could not find main method");
        fatalMessage(config::MessageMainMethodNotFound, nullptr);
    case MainCall::ArgumentsNotCreated:
        logError("could not create the arguments of main");
        return ProgramEnd::NotStarted;
    case MainCall::Threw:
        exception->assign(thrown.begin(), thrown.end());
        logLine("the application ended with %s", argumentForLog(*exception).c_str());
        return ProgramEnd::Threw;
    case MainCall::Returned:
        break;
    }
    return ProgramEnd::Returned;
}

namespace {

struct VmRun {
    const WideArguments* arguments;
    const VmOptionList* options;
    LaunchOutcome outcome;
};

// The program's own thread: the VM is created here and main runs here, on the stack it was made for.
DWORD WINAPI runVm(LPVOID parameter) {
    VmRun& run = *static_cast<VmRun*>(parameter);
    if (!createJavaVm(*run.options)) {
        logError("could not initialize JVM");
        return 0;
    }
    logLine("JVM created");
    setVmCreated();
    run.outcome.end = callMain(*run.arguments, &run.outcome.exception);
    if (run.outcome.end == ProgramEnd::NotStarted) {
        logError("could not call main");
        return 0;
    }
    logLine("dest JVM");
    destroyJavaVm();
    logLine("launch done");
    return 0;
}

// As the runtime's own launcher sizes the thread of main: -Xss, else the runtime's default.
size_t programStackSize(const VmOptionList& options) {
    const size_t requested = requestedStackSize(options);
    return requested != 0 ? requested : defaultJavaStackSize();
}

} // namespace

LaunchOutcome launchVm(const WideArguments& arguments, void (*enteringJava)()) {
    logLine("launching program");
    enteringJavaObserver = enteringJava;
    std::vector<char*> properties = launcherProperties();
    const VmOptionList options = buildVmArguments(properties.data(), arguments);
    VmRun run{&arguments, &options, {}};
    size_t stackSize = programStackSize(options);
    logLine("program thread stack: %lu bytes", static_cast<unsigned long>(stackSize));
    HANDLE thread = CreateThread(nullptr, stackSize, runVm, &run, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr && stackSize != 0) {
        logError("no thread with a stack of %lu bytes: error code %lu", static_cast<unsigned long>(stackSize),
                 GetLastError());
        thread = CreateThread(nullptr, 0, runVm, &run, 0, nullptr);
    }
    if (thread == nullptr) {
        logError("Could not start the program's thread: error code %lu", GetLastError());
        return run.outcome;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return run.outcome;
}
