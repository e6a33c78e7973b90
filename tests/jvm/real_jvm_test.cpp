// The launcher's JNI half (java_calls, vm_state) against a real JVM: Debian's OpenJDK libjvm.so,
// resolved the way the launcher resolves jvm.dll, with the real runtime jar and a probe application.
#include "launch/java_calls.h"
#include "launch/vm_state.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> logged;

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

char* option(const std::string& text) {
    return strdup(text.c_str());
}

// A fresh directory per run; returns its path.
std::string runDirectory(const std::string& name) {
    const std::string directory = std::string(KESTRO_JVM_TEST_DIR) + "/" + name;
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    return directory;
}

void loadJvmLibrary() {
    void* library = dlopen(KESTRO_LIBJVM, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(library, nullptr) << dlerror();
    void* entry = dlsym(library, "JNI_CreateJavaVM");
    ASSERT_NE(entry, nullptr);
    setCreateVmEntry(entry);
}

std::vector<std::string> forLog(const std::vector<std::u16string>& parameters) {
    return std::vector<std::string>(parameters.size(), "(log form)");
}

const std::string kClassPath =
    std::string("-Djava.class.path=") + KESTRO_RUNTIME_JAR + ":" + KESTRO_PROBE_CLASSES;

} // namespace

void jniLogLine(const char* text) {
    logged.push_back(text);
}
void jniLogError(const char* text) {
    logged.push_back(std::string("ERROR: ") + text);
}

namespace {

TEST(RealJvmLaunch, BootstrapRunsTheApplicationWithEverythingTheLauncherPassed) {
    const std::string directory = runDirectory("launch");
    ASSERT_EQ(attachToVm(), nullptr) << "no VM yet: nothing to attach to";
    loadJvmLibrary();
    const std::vector<char*> options = {
        option("-Dkestro.moduleName=C:\\apps\\probe.exe"),
        option("-Dkestro.tempDir=" + directory),
        option("-Dkestro.unextractedPosition=3000000000"),
        option("-Dkestro.manualJre=true"),
        option("-Dprobe.output=" + directory + "/probe.txt"),
        option("-Xmx64m"),
        option(kClassPath),
    };
    ASSERT_TRUE(createJavaVm(options));
    setVmCreated();

    EXPECT_EQ(callFirstRun(), FirstRun::Proceed) << "no first-run handler configured";

    const std::vector<std::u16string> parameters = {
        u"true",
        u"probe.ProbeApp",
        std::u16string(directory.begin(), directory.end()) + u"/error.log",
        std::u16string(directory.begin(), directory.end()) + u"/output.log",
        u"false",
        u"C:\\apps\\probe.exe",
        u"-q",
        u"Gr\u00fc\u00dfe \u20ac",
        u"x y",
        u"\U0001F600",
        u""};
    EXPECT_EQ(callStaticMain("com/kestro/runtime/WinLauncher", parameters, forLog(parameters)),
              MainCall::Returned);

    // The splash thread's part: attach, poll the controller, detach.
    std::u16string splashText;
    std::vector<jint> actions;
    std::thread splash([&] {
        JNIEnv* env = attachToVm();
        ASSERT_NE(env, nullptr);
        jclass controller = env->FindClass("com/kestro/runtime/KestroController");
        ASSERT_NE(controller, nullptr);
        jmethodID getAction = env->GetStaticMethodID(controller, "getAction", "()I");
        jmethodID getText = env->GetStaticMethodID(controller, "getText", "()Ljava/lang/String;");
        ASSERT_TRUE(getAction && getText);
        actions.push_back(env->CallStaticIntMethod(controller, getAction));
        jstring text = static_cast<jstring>(env->CallStaticObjectMethod(controller, getText));
        ASSERT_NE(text, nullptr);
        const jchar* units = env->GetStringChars(text, nullptr);
        splashText.assign(reinterpret_cast<const char16_t*>(units), size_t(env->GetStringLength(text)));
        env->ReleaseStringChars(text, units);
        actions.push_back(env->CallStaticIntMethod(controller, getAction));
        detachFromVm();
    });
    splash.join();
    EXPECT_EQ(actions, (std::vector<jint>{2, 0}));
    EXPECT_EQ(splashText, u"Ready \u2713");
    destroyJavaVm();

    const std::string probe = readText(directory + "/probe.txt");
    const std::string expected = "count=5\n"
                                 "arg0=-q\n"
                                 "arg1=Gr\u00fc\u00dfe \u20ac\n"
                                 "arg2=x y\n"
                                 "arg3=\U0001F600\n"
                                 "arg4=\n"
                                 "kestro.moduleName=C:\\apps\\probe.exe\n"
                                 "kestro.tempDir=" +
                                 directory +
                                 "\n"
                                 "kestro.unextractedPosition=3000000000\n"
                                 "kestro.manualJre=true\n"
                                 "java.class.path=" +
                                 kClassPath.substr(18) +
                                 "\n"
                                 "executablePath=C:\\apps\\probe.exe\n"
                                 "unextractedPosition=3000000000\n"
                                 "manualRuntimeChoice=true\n"
                                 "program=C:\\apps\\probe.exe\n";
    EXPECT_EQ(probe, expected);
    EXPECT_EQ(readText(directory + "/error.log"), "to the error log\n");
    EXPECT_EQ(readText(directory + "/output.log"), "to the output log\n");
    const std::vector<std::string> expectedLog = {
        "Creating JVM",         "param count: 11",     "param 0: (log form)", "param 1: (log form)",
        "param 2: (log form)",  "param 3: (log form)", "param 4: (log form)", "param 5: (log form)",
        "param 6: (log form)",  "param 7: (log form)", "param 8: (log form)", "param 9: (log form)",
        "param 10: (log form)", "calling main",        "main returned"};
    EXPECT_EQ(logged, expectedLog);
}

TEST(RealJvmFailures, RefusingFirstRunThrowingMainAndMissingClass) {
    const std::string directory = runDirectory("failures");
    loadJvmLibrary();
    const std::vector<char*> options = {option("-Dkestro.firstRunHandler=probe.RefusingFirstRun"),
                                        option(kClassPath)};
    ASSERT_TRUE(createJavaVm(options));
    setVmCreated();

    EXPECT_EQ(callFirstRun(), FirstRun::Stop);

    const std::vector<std::u16string> parameters = {u"false", u"probe.ThrowingApp", u"", u"",
                                                    u"false", u"probe.exe"};
    logged.clear();
    EXPECT_EQ(callStaticMain("com/kestro/runtime/WinLauncher", parameters, forLog(parameters)),
              MainCall::Threw);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(), "ERROR: an exception occured");

    EXPECT_EQ(callStaticMain("com/kestro/runtime/NotThere", parameters, forLog(parameters)),
              MainCall::ClassMissing);
}

} // namespace
