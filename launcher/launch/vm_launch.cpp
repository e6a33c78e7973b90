#include "launch/vm_launch.h"

#include "launch/java_calls.h"
#include "launch/variable_expansion.h"
#include "launch/vm_options.h"
#include "launch/vm_state.h"
#include "payload/payload_store.h"
#include "startup/startup_state.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/single_instance.h"
#include "support/temp_directory.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

char* newProperty(const char* name, const char* value) {
    char* property = new char[kTextCapacity];
    std::snprintf(property, kTextCapacity, "-D%s=%s", name, value);
    return property;
}

char* newTrueProperty(const char* name) {
    char* property = new char[kTextCapacity];
    std::snprintf(property, kTextCapacity, "-D%s=true", name);
    return property;
}

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

} // namespace

void jniLogLine(const char* text) {
    logLine("%s", text);
}
void jniLogError(const char* text) {
    logError("%s", text);
}

std::vector<char*> launcherProperties() {
    std::vector<char*> properties;
    if (const char* instance = instanceName())
        properties.push_back(newProperty("kestro.semaphoreName", instance));
    if (manualSelection())
        properties.push_back(newTrueProperty("kestro.manualJre"));
    if (applicationKind() == 's')
        properties.push_back(newTrueProperty("kestro.isSorvana"));
    properties.push_back(newProperty("kestro.moduleName", executablePath()));
    if (getConfigNumber(10005) != 0) {
        char commFile[kTextCapacity];
        processCommFileName(commFile, GetCurrentProcessId());
        properties.push_back(newProperty("kestro.processCommFile", commFile));
    }
    properties.push_back(newProperty("kestro.tempDir", extractionDirectory()));
    // The position is 64-bit: a payload beyond 2 GB must not turn negative.
    properties.push_back(
        newProperty("kestro.unextractedPosition", std::to_string(unextractedPosition()).c_str()));
    if (!std::getenv("MANPATH")) {
        char* codePage = new char[kTextCapacity];
        std::snprintf(codePage, kTextCapacity, "-D%s=cp%d", "kestro.consoleCodepage",
                      int(GetConsoleOutputCP()));
        properties.push_back(codePage);
    }
    properties.push_back(nullptr);
    return properties;
}

WideArguments launcherParameters(const WideArguments& arguments) {
    WideArguments parameters;
    parameters.push_back(getConfigNumber(107) == 1 ? L"true" : L"false");
    char mainClass[kTextCapacity];
    getConfigText(122, mainClass, sizeof mainClass);
    wchar_t wideMainClass[kTextCapacity] = {};
    _snwprintf(wideMainClass, kTextCapacity, L"%S", mainClass);
    parameters.push_back(wideMainClass);
    parameters.push_back(configuredLogPath(102, 103));
    parameters.push_back(configuredLogPath(104, 105));
    parameters.push_back(getConfigNumber(106) != 0 ? L"true" : L"false");
    if (!arguments.empty())
        parameters.push_back(arguments[0]);

    char configured[kTextCapacity];
    getConfigText(124, configured, sizeof configured);
    expandVariables(configured, sizeof configured);
    splitArguments(wideFromCodePage(configured, CP_ACP).c_str(), parameters);

    const bool vmOptionsFromCommandLine = getConfigNumber(125) != 0;
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (vmOptionsFromCommandLine && arguments[i].compare(0, 2, L"-J") == 0)
            continue;
        parameters.push_back(arguments[i]);
    }
    return parameters;
}

bool checkFirstRun() {
    char base[kTextCapacity];
    getConfigText(10003, base, sizeof base);
    char marker[kPathCapacity];
    if (!fullPath(marker, base, true))
        return true;
    std::strncat(marker, "\\.sorvana\\firstrun", sizeof marker - std::strlen(marker) - 1);
    if (!pathExists(marker))
        return true;
    switch (callFirstRun()) {
    case FirstRun::ClassMissing:
        fatalMessage(1009, "14");
    case FirstRun::MethodMissing:
        fatalMessage(1009, "15");
    case FirstRun::Stop:
        return false;
    case FirstRun::Proceed:
        break;
    }
    return true;
}

bool callMain(const WideArguments& arguments) {
    if (applicationKind() == 's' && !checkFirstRun()) {
        logLine("checkFirstRun stopped further execution");
        return true;
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
    switch (callStaticMain(bootstrap, source, const_cast<WideArguments*>(&arguments))) {
    case MainCall::ClassMissing:
        logError("could not find main class");
        fatalMessage(1010, nullptr);
    case MainCall::MethodMissing:
        logError("could not find main method");
        fatalMessage(1011, nullptr);
    case MainCall::ArgumentsNotCreated:
        logError("could not create the arguments of main");
        return false;
    case MainCall::Threw:
        return false;
    case MainCall::Returned:
        break;
    }
    return true;
}

bool launchVm(const WideArguments& arguments, bool destroyAfter) {
    logLine("launching program");
    std::vector<char*> properties = launcherProperties();
    const VmOptionList options = buildVmArguments(properties.data(), arguments);
    if (!createJavaVm(options)) {
        logError("could not initialize JVM");
        return false;
    }
    logLine("JVM created");
    setVmCreated();
    if (!callMain(arguments)) {
        logError("could not call main");
        return false;
    }
    if (destroyAfter) {
        logLine("dest JVM");
        destroyJavaVm();
    }
    logLine("launch done");
    return true;
}
