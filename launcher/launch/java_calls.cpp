#include "launch/java_calls.h"

#include "launch/vm_state.h"

namespace {

using CreateJavaVm = jint(JNICALL*)(JavaVM**, void**, void*);

void logLine(const std::string& text) {
    jniLogLine(text.c_str());
}

} // namespace

JavaVMInitArgs vmCreationArguments(const std::vector<char*>& options) {
    JavaVMInitArgs arguments{};
    arguments.version = JNI_VERSION_1_2;
    arguments.nOptions = jint(options.size());
    arguments.options = new JavaVMOption[options.size() ? options.size() : 1]();
    for (size_t i = 0; i < options.size(); ++i) {
        arguments.options[i].optionString = options[i];
        arguments.options[i].extraInfo = nullptr;
    }
    arguments.ignoreUnrecognized = JNI_TRUE;
    return arguments;
}

bool createJavaVm(const std::vector<char*>& options) {
    // Kept for the life of the process along with the options it points to.
    JavaVMInitArgs* arguments = new JavaVMInitArgs(vmCreationArguments(options));
    jniLogLine("Creating JVM");
    auto create = reinterpret_cast<CreateJavaVm>(createVmEntry());
    if (!create)
        return false;
    JavaVM* vm = nullptr;
    void* env = nullptr;
    if (create(&vm, &env, arguments) != JNI_OK)
        return false;
    setCreatedVm(vm, static_cast<JNIEnv*>(env));
    return true;
}

MainCall callStaticMain(const char* internalClassName, MainParameterSource source, void* context) {
    JNIEnv* env = creatingThreadEnv();
    jclass bootstrap = env->FindClass(internalClassName);
    if (!bootstrap)
        return MainCall::ClassMissing;
    jmethodID main = env->GetStaticMethodID(bootstrap, "main", "([Ljava/lang/String;)V");
    if (!main)
        return MainCall::MethodMissing;

    std::vector<std::u16string> parameters;
    std::vector<std::string> forLog;
    source(parameters, forLog, context);
    logLine("param count: " + std::to_string(parameters.size()));
    // String[] args = new String[n]; args[i] = parameter i;
    jclass stringClass = env->FindClass("java/lang/String");
    jobjectArray arguments =
        stringClass ? env->NewObjectArray(jsize(parameters.size()), stringClass, nullptr) : nullptr;
    if (!arguments)
        return MainCall::ArgumentsNotCreated;
    for (size_t i = 0; i < parameters.size(); ++i) {
        logLine("param " + std::to_string(i) + ": " + (i < forLog.size() ? forLog[i] : std::string()));
        const std::u16string& text = parameters[i];
        jstring value = env->NewString(reinterpret_cast<const jchar*>(text.data()), jsize(text.size()));
        if (!value)
            return MainCall::ArgumentsNotCreated;
        env->SetObjectArrayElement(arguments, jsize(i), value);
    }

    jniLogLine("calling main");
    env->CallStaticVoidMethod(bootstrap, main, arguments);
    jniLogLine("main returned");
    if (env->ExceptionOccurred()) {
        jniLogError("an exception occured");
        env->ExceptionDescribe();
        return MainCall::Threw;
    }
    return MainCall::Returned;
}

FirstRun callFirstRun() {
    JNIEnv* env = creatingThreadEnv();
    // boolean goOn = com.sorvana.runtime.FirstRun.firstRun();
    jclass firstRunClass = env->FindClass("com/sorvana/runtime/FirstRun");
    if (!firstRunClass)
        return FirstRun::ClassMissing;
    jmethodID firstRun = env->GetStaticMethodID(firstRunClass, "firstRun", "()Z");
    if (!firstRun)
        return FirstRun::MethodMissing;
    const jboolean goOn = env->CallStaticBooleanMethod(firstRunClass, firstRun);
    if (env->ExceptionOccurred()) {
        env->ExceptionDescribe();
        return FirstRun::Stop;
    }
    return goOn ? FirstRun::Proceed : FirstRun::Stop;
}

MainCall callStaticMain(const char* internalClassName, const std::vector<std::u16string>& parameters,
                        const std::vector<std::string>& forLog) {
    struct Known {
        const std::vector<std::u16string>& parameters;
        const std::vector<std::string>& forLog;
    } known{parameters, forLog};
    return callStaticMain(
        internalClassName,
        [](std::vector<std::u16string>& out, std::vector<std::string>& outForLog, void* context) {
            const Known& given = *static_cast<const Known*>(context);
            out = given.parameters;
            outForLog = given.forLog;
        },
        &known);
}

void destroyJavaVm() {
    javaVm()->DestroyJavaVM();
    setVmDestroyed();
}
