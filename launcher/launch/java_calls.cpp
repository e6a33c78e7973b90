#include "launch/java_calls.h"

#include "launch/vm_state.h"

namespace {

using CreateJavaVm = jint(JNICALL*)(JavaVM**, void**, void*);

using GetDefaultArguments = jint(JNICALL*)(void*);

// The JNI 1.1 form of the initialization arguments, the only one in which a runtime reports the
// default stack size of its threads; later versions leave the structure as it is.
struct VersionOneInitArgs {
    jint version;
    char** properties;
    jint checkSource;
    jint nativeStackSize;
    jint javaStackSize;
    jint minHeapSize;
    jint maxHeapSize;
    jint verifyMode;
    char* classpath;
    void* vfprintf;
    void* exit;
    void* abort;
    jint enableClassGC;
    jint enableVerboseGC;
    jint disableAsyncGC;
    jint verbose;
    jboolean debugging;
    jint debugPort;
};

void logLine(const std::string& text) {
    jniLogLine(text.c_str());
}

// System.exit of the program: its end is the launcher's end, so it goes the launcher's way out.
void JNICALL programExitHook(jint code) {
    jniProgramExit(code);
}

// Throwable.toString(): the class name, and ": " and the message when there is one. Empty when the
// text cannot be had; nothing is left pending.
std::u16string describeThrowable(JNIEnv* env, jthrowable thrown) {
    std::u16string description;
    jclass throwable = env->FindClass("java/lang/Throwable");
    jmethodID toString =
        throwable ? env->GetMethodID(throwable, "toString", "()Ljava/lang/String;") : nullptr;
    jstring text = toString ? static_cast<jstring>(env->CallObjectMethod(thrown, toString)) : nullptr;
    if (text && !env->ExceptionCheck()) {
        const jsize length = env->GetStringLength(text);
        if (const jchar* units = env->GetStringChars(text, nullptr)) {
            description.assign(reinterpret_cast<const char16_t*>(units), size_t(length));
            env->ReleaseStringChars(text, units);
        }
    }
    if (env->ExceptionCheck())
        env->ExceptionClear();
    return description;
}

} // namespace

JavaVMInitArgs vmCreationArguments(const std::vector<char*>& options) {
    static char exitHookName[] = "exit";
    JavaVMInitArgs arguments{};
    arguments.version = JNI_VERSION_1_2;
    arguments.nOptions = jint(options.size() + 1);
    arguments.options = new JavaVMOption[options.size() + 1]();
    for (size_t i = 0; i < options.size(); ++i) {
        arguments.options[i].optionString = options[i];
        arguments.options[i].extraInfo = nullptr;
    }
    arguments.options[options.size()].optionString = exitHookName;
    arguments.options[options.size()].extraInfo = reinterpret_cast<void*>(&programExitHook);
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

size_t defaultJavaStackSize() {
    auto getDefaults = reinterpret_cast<GetDefaultArguments>(defaultArgsEntry());
    if (!getDefaults)
        return 0;
    VersionOneInitArgs arguments{};
    arguments.version = JNI_VERSION_1_1;
    // Runtimes that no longer take this form answer JNI_ERR and still fill in the stack size.
    getDefaults(&arguments);
    return arguments.javaStackSize > 0 ? size_t(arguments.javaStackSize) : 0;
}

MainCall callStaticMain(const char* internalClassName, MainParameterSource source, void* context,
                        std::u16string* exception) {
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
    jniEnteringJava();
    env->CallStaticVoidMethod(bootstrap, main, arguments);
    jniLogLine("main returned");
    jthrowable thrown = env->ExceptionOccurred();
    if (!thrown)
        return MainCall::Returned;
    jniLogError("an exception occured");
    // Reported on the error stream by the bootstrap already, when it happened.
    env->ExceptionClear();
    if (exception)
        *exception = describeThrowable(env, thrown);
    return MainCall::Threw;
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
    jniEnteringJava();
    const jboolean goOn = env->CallStaticBooleanMethod(firstRunClass, firstRun);
    if (env->ExceptionOccurred()) {
        env->ExceptionDescribe();
        return FirstRun::Stop;
    }
    return goOn ? FirstRun::Proceed : FirstRun::Stop;
}

MainCall callStaticMain(const char* internalClassName, const std::vector<std::u16string>& parameters,
                        const std::vector<std::string>& forLog, std::u16string* exception) {
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
        &known, exception);
}

void destroyJavaVm() {
    closeVmUse();
    javaVm()->DestroyJavaVM();
}
