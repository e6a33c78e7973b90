#include "desktop_program.h"

#include "launch/java_calls.h"
#include "launch/launch_composition.h"
#include "launch/vm_state.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

void runDesktopProgram(const std::string& javaHome, const std::vector<std::string>& sharing,
                       const std::vector<std::string>& configured,
                       const std::vector<std::wstring>& arguments) {
    void* library = dlopen((javaHome + "/lib/server/libjvm.so").c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr)
        _exit(96);
    setCreateVmEntry(dlsym(library, "JNI_CreateJavaVM"));
    LauncherPropertyValues values;
    values.moduleName = "probe.exe";
    static std::vector<char*> properties;
    properties = composeLauncherProperties(values);
    ClassPathOverrides overrides;
    std::vector<char*> options = composeVmOptions(properties.data(), configured, {}, {}, overrides);
    for (size_t i = 0; i < sharing.size(); ++i)
        options.insert(options.begin() + static_cast<std::ptrdiff_t>(properties.size() - 1 + i),
                       strdup(sharing[i].c_str()));
    options.push_back(
        strdup((std::string("-Djava.class.path=") + KESTRO_RUNTIME_JAR + ":" + KESTRO_PROBE_JAR).c_str()));
    if (!createJavaVm(options))
        _exit(97);
    setVmCreated();
    LauncherParameterValues parameters;
    parameters.mainClass = L"probe.DesktopApp";
    WideArguments commandLine = {L"probe.exe"};
    commandLine.insert(commandLine.end(), arguments.begin(), arguments.end());
    std::vector<std::u16string> mainParameters;
    for (const std::wstring& parameter : composeLauncherParameters(parameters, commandLine))
        mainParameters.emplace_back(parameter.begin(), parameter.end());
    const MainCall call = callStaticMain("com/kestro/runtime/WinLauncher", mainParameters,
                                         std::vector<std::string>(mainParameters.size(), "(parameter)"));
    destroyJavaVm();
    _exit(call == MainCall::Returned ? 0 : 98);
}
