#include "launch/launch_composition.h"

#include <cstdint>
#include <cstring>

namespace {

char* newText(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

char* newProperty(const char* name, const std::string& value) {
    return newText(std::string("-D") + name + "=" + value);
}

} // namespace

std::vector<char*> composeLauncherProperties(const LauncherPropertyValues& values) {
    std::vector<char*> properties;
    if (!values.instanceName.empty())
        properties.push_back(newProperty("kestro.semaphoreName", values.instanceName));
    if (values.manualSelection)
        properties.push_back(newProperty("kestro.manualJre", "true"));
    if (values.installerKind)
        properties.push_back(newProperty("kestro.isSorvana", "true"));
    properties.push_back(newProperty("kestro.moduleName", values.moduleName));
    if (!values.processCommFile.empty())
        properties.push_back(newProperty("kestro.processCommFile", values.processCommFile));
    properties.push_back(newProperty("kestro.tempDir", values.temporaryDirectory));
    // The position is 64-bit: a payload beyond 2 GB must not turn negative.
    properties.push_back(
        newProperty("kestro.unextractedPosition", std::to_string(values.unextractedPosition)));
    if (values.withConsoleCodePage)
        properties.push_back(
            newProperty("kestro.consoleCodepage", "cp" + std::to_string(values.consoleCodePage)));
    if (values.configuredArgumentCount > 0)
        properties.push_back(
            newProperty("kestro.configuredArgumentCount", std::to_string(values.configuredArgumentCount)));
    properties.push_back(nullptr);
    return properties;
}

void classifyOption(char* option, VmOptionList& options, ClassPathOverrides& overrides) {
    if (std::strncmp(option, "-classpath ", 11) == 0)
        overrides.replacement = option + 11;
    else if (std::strncmp(option, "-classpath/p ", 13) == 0)
        overrides.prefix = option + 13;
    else if (std::strncmp(option, "-classpath/a ", 13) == 0)
        overrides.suffix = option + 13;
    else
        options.push_back(option);
}

VmOptionList composeVmOptions(const char* const* properties, const NarrowArguments& configured,
                              const NarrowArguments& fromCommandLine, const std::vector<char*>& fileLines,
                              ClassPathOverrides& overrides) {
    VmOptionList options;
    for (const char* const* property = properties; property && *property; ++property)
        options.push_back(const_cast<char*>(*property));
    for (const std::string& option : configured)
        classifyOption(newText(option), options, overrides);
    for (const std::string& option : fromCommandLine)
        classifyOption(newText(option), options, overrides);
    for (char* line : fileLines)
        classifyOption(line, options, overrides);
    return options;
}

WideArguments composeLauncherParameters(const LauncherParameterValues& values,
                                        const WideArguments& commandLine) {
    WideArguments parameters;
    parameters.push_back(values.guiApplication ? L"true" : L"false");
    parameters.push_back(values.mainClass);
    parameters.push_back(values.errorLog);
    parameters.push_back(values.outputLog);
    parameters.push_back(values.appendToLogs ? L"true" : L"false");
    // Present even when empty: without it the first configured argument would take its place.
    parameters.push_back(commandLine.empty() ? std::wstring() : commandLine[0]);
    parameters.insert(parameters.end(), values.configuredArguments.begin(), values.configuredArguments.end());
    for (size_t i = 1; i < commandLine.size(); ++i) {
        if (values.dashJAreVmOptions && commandLine[i].compare(0, 2, L"-J") == 0)
            continue;
        parameters.push_back(commandLine[i]);
    }
    return parameters;
}

size_t requestedStackSize(const VmOptionList& options) {
    static const char kStackOption[] = "-Xss";
    const char* last = nullptr;
    for (const char* option : options)
        if (option && std::strncmp(option, kStackOption, sizeof kStackOption - 1) == 0)
            last = option + sizeof kStackOption - 1;
    if (!last || !*last)
        return 0;
    size_t size = 0;
    const char* c = last;
    for (; *c >= '0' && *c <= '9'; ++c) {
        if (size > (SIZE_MAX - 9) / 10)
            return 0;
        size = size * 10 + size_t(*c - '0');
    }
    size_t unit = 1;
    switch (*c) {
    case '\0':
        break;
    case 'k':
    case 'K':
        unit = size_t(1) << 10;
        break;
    case 'm':
    case 'M':
        unit = size_t(1) << 20;
        break;
    case 'g':
    case 'G':
        unit = size_t(1) << 30;
        break;
    default:
        return 0;
    }
    if (c == last || (*c != '\0' && c[1] != '\0') || size > SIZE_MAX / unit)
        return 0;
    return size * unit;
}
