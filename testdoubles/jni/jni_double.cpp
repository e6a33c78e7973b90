// A Java VM stand-in for the scenario tests. JNI_CreateJavaVM hands out a JavaVM and a JNIEnv whose
// function tables are complete: the functions the launcher may call behave like a small VM, every
// other slot records the call and ends the process with exit code 97, so a call outside the contract
// cannot go unnoticed. What a real VM punishes, sooner or later, ends the process the same way:
// an environment used on another thread, a call other than the exception and release functions
// while an exception is pending (as -Xcheck:jni reports it), a static method called through a class
// other than its own, and a reference that is not a live local reference of the calling thread
// (deleted, or made on another thread). Local references are counted per thread; when a thread
// detaches, the most it held at once is recorded. JNI_CreateJavaVM reads its options as HotSpot
// does (see judgeOption).
//
// KESTRO_JNI_RECORD names the file that receives one UTF-8 line per event (creation arguments, every
// call and its arguments). KESTRO_JNI_SCENARIO sets what the Java side does, as ';'-separated
// key=value pairs:
//   create=fail                       JNI_CreateJavaVM answers JNI_ERR
//   createwait=PATH                   JNI_CreateJavaVM first waits until the file PATH exists
//   main=return|throw|missing|sleep:MS|window:MS|exit:CODE
//                                     throw reports the exception as the bootstrap does (into the
//                                     error log named by main's third argument, else on standard
//                                     error) and leaves it pending once main comes back
//   wait=PATH                         main first waits until the file PATH exists (at most 2 minutes)
//   close=PATH                        main=window closes its window early once the file PATH exists
//   end=exit:CODE                     once main's behaviour is done, the process ends with CODE
//   thread=PATH                       main starts a non-daemon thread of the program that runs until
//                                     the file PATH exists (at most 2 minutes); main comes back only
//                                     once it has ended, as the bootstrap does, and DestroyJavaVM
//                                     waits for it as a VM does
// exit:CODE is System.exit: through the "exit" hook given at creation, called on a thread of the
// VM's own while the caller stands still, else ExitProcess. JNI_GetDefaultJavaVMInitArgs answers a
// JNI 1.1 structure with a default stack of 1.5 MB; main records the stack of the thread it runs on.
//   firstrun=true|false|throw|missing
//   actions=A,B,...                   what successive getAction calls answer (then 0); an entry
//                                     gate:PATH answers 0 until the file PATH exists, then the
//                                     call goes on with the next entry; throw makes getAction throw
//   text=TEXT|TEXT...                 what successive getText calls answer, the last one again and
//                                     again; "null" answers null
#include "class_path.h"

#include <jni.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

enum class Kind { Class, String, Array, Throwable };
struct Object {
    Kind kind;
    std::string name; // class name, array element class or thrown class
    std::u16string text;
    std::vector<Object*> elements;
};
struct Method {
    std::string className, name, signature;
};

std::mutex recordLock;
std::map<std::string, std::string> scenario;
std::string classPath;
std::vector<std::string> actions;
size_t nextAction = 0;
std::vector<std::string> texts;
size_t nextText = 0;
JavaVM vm;
JNIEnv creatingEnv;
DWORD creatingThread = 0;
bool destroyed = false;
using ExitHook = void(JNICALL*)(jint);
ExitHook exitHook = nullptr;
HANDLE programThread = nullptr;
constexpr jint kDefaultJavaStack = 1536 * 1024;
thread_local Object* pendingException = nullptr;
thread_local JNIEnv* attachedEnv = nullptr;
thread_local bool daemonThread = false;

std::string utf8(const std::u16string& text) {
    if (text.empty())
        return std::string();
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, int(text.size()), &out[0], bytes, nullptr, nullptr);
    return out;
}

std::u16string utf16(const std::string& text) {
    if (text.empty())
        return std::u16string();
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::u16string out(units, u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), reinterpret_cast<wchar_t*>(&out[0]),
                        units);
    return out;
}

std::u16string environmentPath() {
    const DWORD units = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (units == 0)
        return std::u16string();
    std::u16string value(units, u'\0');
    const DWORD length = GetEnvironmentVariableW(L"PATH", reinterpret_cast<wchar_t*>(&value[0]), units);
    value.resize(length < units ? length : 0);
    return value;
}

void record(const std::string& line) {
    std::lock_guard<std::mutex> hold(recordLock);
    const char* path = std::getenv("KESTRO_JNI_RECORD");
    if (!path)
        return;
    if (FILE* file = std::fopen(path, "ab")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

[[noreturn]] void failLoudly(const std::string& what) {
    record("CONTRACT VIOLATION: " + what);
    std::fprintf(stderr, "jni double: %s\n", what.c_str());
    std::fflush(stderr);
    ExitProcess(97);
}

std::string setting(const char* key, const char* fallback) {
    auto found = scenario.find(key);
    return found == scenario.end() ? fallback : found->second;
}

std::vector<std::string> splitAt(const std::string& list, char separator) {
    std::vector<std::string> items;
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find(separator, at);
        if (end == std::string::npos)
            end = list.size();
        items.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return items;
}

void readScenario() {
    const char* text = std::getenv("KESTRO_JNI_SCENARIO");
    std::string all = text ? text : "";
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find(';', start);
        if (end == std::string::npos)
            end = all.size();
        const std::string pair = all.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos)
            scenario[pair.substr(0, equals)] = pair.substr(equals + 1);
        start = end + 1;
    }
    actions = splitAt(setting("actions", ""), ',');
    texts = splitAt(setting("text", "null"), '|');
}

// While an exception is pending only these may be called; -Xcheck:jni reports any other call.
void refuseWithExceptionPending(const char* function) {
    static const char* const allowed[] = {"ExceptionOccurred", "ExceptionDescribe",  "ExceptionClear",
                                          "ExceptionCheck",    "ReleaseStringChars", "DeleteLocalRef"};
    if (!pendingException)
        return;
    for (const char* name : allowed)
        if (std::strcmp(name, function) == 0)
            return;
    failLoudly(std::string(function) + " called with an exception pending");
}

// The environment belongs to one thread: using it on another is the fault a real VM punishes with a
// crash some time later; here it ends the process at once.
void checkThread(JNIEnv* env, const char* function) {
    const bool creating = GetCurrentThreadId() == creatingThread;
    if (env != (creating ? &creatingEnv : attachedEnv))
        failLoudly(std::string(function) + " called with the environment of another thread");
    // A real VM stops its daemon threads for good when it is destroyed; the process ends around them.
    if (destroyed && daemonThread && !creating) {
        record(std::string(function) + " on a daemon thread after DestroyJavaVM: blocked");
        Sleep(INFINITE);
    }
    if (destroyed)
        failLoudly(std::string(function) + " called after DestroyJavaVM");
    refuseWithExceptionPending(function);
}

Object* newObject(Kind kind, const std::string& name) {
    return new Object{kind, name, {}, {}};
}

// The local references of each thread, and the most it held at once (under recordLock).
struct ThreadReferences {
    std::multiset<Object*> live;
    size_t most = 0;
};
std::map<DWORD, ThreadReferences> localReferences;

// A new local reference of the calling thread to object; null stays null.
template <typename Handle> Handle localReference(Object* object) {
    if (object) {
        std::lock_guard<std::mutex> hold(recordLock);
        ThreadReferences& references = localReferences[GetCurrentThreadId()];
        references.live.insert(object);
        references.most = std::max(references.most, references.live.size());
    }
    return reinterpret_cast<Handle>(object);
}

// The object behind a reference the launcher passes in; null stays null.
Object* referenced(void* handle, const char* function) {
    Object* object = static_cast<Object*>(handle);
    bool live = true;
    if (object) {
        std::lock_guard<std::mutex> hold(recordLock);
        live = localReferences[GetCurrentThreadId()].live.count(object) > 0;
    }
    if (!live)
        failLoudly(std::string(function) +
                   " with a reference that is no live local reference of this thread");
    return object;
}

void deleteReference(void* handle) {
    Object* object = referenced(handle, "DeleteLocalRef");
    std::lock_guard<std::mutex> hold(recordLock);
    std::multiset<Object*>& live = localReferences[GetCurrentThreadId()].live;
    if (object)
        live.erase(live.find(object));
}

// Ends the thread's references; returns the most it held at once.
size_t dropReferences() {
    std::lock_guard<std::mutex> hold(recordLock);
    const size_t most = localReferences[GetCurrentThreadId()].most;
    localReferences.erase(GetCurrentThreadId());
    return most;
}

void throwNew(const std::string& className) {
    pendingException = newObject(Kind::Throwable, className);
}

// The classes a real VM always finds without a class path.
bool isSystemClass(const std::string& name) {
    return name.rfind("java/", 0) == 0;
}

jclass JNICALL findClass(JNIEnv* env, const char* name) {
    checkThread(env, "FindClass");
    const bool found = isSystemClass(name) || classPathHolds(classPath, name);
    record(std::string("FindClass ") + name + (found ? " found" : " not found"));
    if (!found) {
        throwNew("java/lang/NoClassDefFoundError");
        return nullptr;
    }
    return localReference<jclass>(newObject(Kind::Class, name));
}

// Which static methods the Java side offers, as the scenario says.
bool methodExists(const std::string& className, const std::string& name, const std::string& signature) {
    if (className == "com/kestro/runtime/WinLauncher")
        return name == "main" && signature == "([Ljava/lang/String;)V" && setting("main", "") != "missing";
    if (className == "com/sorvana/runtime/FirstRun")
        return name == "firstRun" && signature == "()Z" && setting("firstrun", "") != "missing";
    if (className == "com/kestro/runtime/KestroController")
        return (name == "getAction" && signature == "()I") ||
               (name == "getText" && signature == "()Ljava/lang/String;");
    return false;
}

jmethodID JNICALL getStaticMethodId(JNIEnv* env, jclass clazz, const char* name, const char* signature) {
    checkThread(env, "GetStaticMethodID");
    Object* owner = referenced(clazz, "GetStaticMethodID");
    if (!owner || owner->kind != Kind::Class)
        failLoudly("GetStaticMethodID without a class");
    const bool found = methodExists(owner->name, name, signature);
    record("GetStaticMethodID " + owner->name + " " + name + " " + signature +
           (found ? " found" : " not found"));
    if (!found) {
        throwNew("java/lang/NoSuchMethodError");
        return nullptr;
    }
    return reinterpret_cast<jmethodID>(new Method{owner->name, name, signature});
}

jobjectArray JNICALL newObjectArray(JNIEnv* env, jsize length, jclass elementClass, jobject initial) {
    checkThread(env, "NewObjectArray");
    Object* element = referenced(elementClass, "NewObjectArray");
    if (!element || element->kind != Kind::Class || length < 0)
        failLoudly("NewObjectArray without an element class or with a negative length");
    record("NewObjectArray " + std::to_string(length) + " " + element->name +
           (initial ? " filled" : " null"));
    Object* array = newObject(Kind::Array, element->name);
    array->elements.assign(size_t(length), referenced(initial, "NewObjectArray"));
    return localReference<jobjectArray>(array);
}

jstring JNICALL newString(JNIEnv* env, const jchar* units, jsize length) {
    checkThread(env, "NewString");
    if (length < 0 || (length > 0 && !units))
        failLoudly("NewString with a negative length or no characters");
    Object* string = newObject(Kind::String, "java/lang/String");
    string->text.assign(reinterpret_cast<const char16_t*>(units), size_t(length));
    record("NewString " + utf8(string->text));
    return localReference<jstring>(string);
}

void JNICALL setObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
    checkThread(env, "SetObjectArrayElement");
    Object* target = referenced(array, "SetObjectArrayElement");
    if (!target || target->kind != Kind::Array || index < 0 || size_t(index) >= target->elements.size())
        failLoudly("SetObjectArrayElement outside an array");
    target->elements[size_t(index)] = referenced(value, "SetObjectArrayElement");
    record("SetObjectArrayElement " + std::to_string(index));
}

const Method& methodOf(jmethodID id, const char* function) {
    const Method* method = reinterpret_cast<const Method*>(id);
    if (!method)
        failLoudly(std::string(function) + " without a method id");
    return *method;
}

// A static method is called through its own class: another class, or a deleted reference to one,
// is undefined in a real VM.
const Method& staticMethodOf(JNIEnv* env, jclass clazz, jmethodID id, const char* function) {
    checkThread(env, function);
    const Method& method = methodOf(id, function);
    const Object* owner = referenced(clazz, function);
    if (!owner || owner->kind != Kind::Class || owner->name != method.className)
        failLoudly(std::string(function) + " of " + method.className + "." + method.name + " through " +
                   (owner ? "the class " + owner->name : "no class"));
    return method;
}

LRESULT CALLBACK plainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

// A Java program's first frame: a visible top-level window whose messages are pumped for a while.
bool fileExists(const std::string& path) {
    return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Waits until the file exists, at most 2 minutes.
void waitForFile(const std::string& path) {
    for (int i = 0; !path.empty() && i < 1200 && !fileExists(path); ++i)
        Sleep(100);
}

void showWindowFor(DWORD milliseconds) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = plainWindowProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "KestroJniDoubleFrame";
    RegisterClassA(&windowClass);
    CreateWindowExA(0, windowClass.lpszClassName, "Java frame", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200,
                    100, nullptr, nullptr, windowClass.hInstance, nullptr);
    const DWORD until = GetTickCount() + milliseconds;
    const std::string closeWhen = setting("close", "");
    while (GetTickCount() < until && !fileExists(closeWhen)) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        Sleep(10);
    }
}

DWORD WINAPI callExitHook(LPVOID code) {
    exitHook(jint(reinterpret_cast<INT_PTR>(code)));
    failLoudly("the exit hook returned");
}

// System.exit: a VM calls the exit hook on a thread of its own once the Java threads stand still.
[[noreturn]] void systemExit(int code) {
    record("main ends the process");
    if (!exitHook)
        ExitProcess(UINT(code));
    record("System.exit(" + std::to_string(code) + ") through the exit hook");
    CreateThread(nullptr, 0, callExitHook, reinterpret_cast<LPVOID>(INT_PTR(code)), 0, nullptr);
    Sleep(INFINITE);
    ExitProcess(UINT(code));
}

DWORD WINAPI runProgramThread(LPVOID) {
    waitForFile(setting("thread", ""));
    record("the program's thread ends");
    return 0;
}

void waitForProgramThread(const char* who) {
    if (!programThread)
        return;
    record(std::string(who) + " waits for the program's thread");
    WaitForSingleObject(programThread, INFINITE);
}

// The size of the stack the calling thread was given: every region of the reservation it lies in.
size_t currentStackSize() {
    MEMORY_BASIC_INFORMATION region = {};
    VirtualQuery(&region, &region, sizeof region);
    void* const reservation = region.AllocationBase;
    size_t size = 0;
    for (const char* at = static_cast<const char*>(reservation);
         VirtualQuery(at, &region, sizeof region) == sizeof region && region.AllocationBase == reservation;
         at += region.RegionSize)
        size += region.RegionSize;
    return size;
}

// As the bootstrap reports what the application's main threw: its handler's report on System.err,
// which is the error log when the launcher names one.
void reportUncaught(Object* arguments, const std::u16string& message) {
    const std::string report =
        "Exception in thread \"main\" java.lang.IllegalStateException: " + utf8(message) +
        "\n\tat com.example.Main.main(Main.java:1)\n";
    Object* errorLog = arguments->elements.size() > 2 ? arguments->elements[2] : nullptr;
    FILE* log = errorLog && !errorLog->text.empty()
                    ? _wfopen(reinterpret_cast<const wchar_t*>(errorLog->text.c_str()), L"ab")
                    : nullptr;
    std::fputs(report.c_str(), log ? log : stderr);
    if (log)
        std::fclose(log);
    std::fflush(stderr);
}

void runMain(Object* arguments) {
    record("main called with " + std::to_string(arguments->elements.size()) + " arguments");
    for (size_t i = 0; i < arguments->elements.size(); ++i) {
        Object* element = arguments->elements[i];
        record("main arg " + std::to_string(i) + ": " + (element ? utf8(element->text) : "<null>"));
    }
    record("main runs on a stack of " + std::to_string(currentStackSize()) + " bytes");
    if (!setting("thread", "").empty()) {
        record("the program's thread starts");
        programThread = CreateThread(nullptr, 0, runProgramThread, nullptr, 0, nullptr);
    }
    waitForFile(setting("wait", ""));
    const std::string behaviour = setting("main", "return");
    const std::string value = behaviour.substr(behaviour.find(':') + 1);
    const std::u16string message = u"the double's main failed: \u017c\u00f3\u0142w";
    if (behaviour == "throw") {
        record("main throws");
        reportUncaught(arguments, message);
    } else if (behaviour.rfind("sleep:", 0) == 0) {
        Sleep(DWORD(std::atoi(value.c_str())));
    } else if (behaviour.rfind("window:", 0) == 0) {
        showWindowFor(DWORD(std::atoi(value.c_str())));
    } else if (behaviour.rfind("exit:", 0) == 0) {
        systemExit(std::atoi(value.c_str()));
    }
    const std::string end = setting("end", "");
    if (end.rfind("exit:", 0) == 0)
        systemExit(std::atoi(end.substr(5).c_str()));
    waitForProgramThread("main");
    if (behaviour == "throw") {
        throwNew("java/lang/IllegalStateException");
        pendingException->text = message;
    }
    record("main ends");
}

// jni.h's C++ wrappers reach the va_list variants; C callers reach the variadic ones.
void JNICALL callStaticVoidMethodV(JNIEnv* env, jclass clazz, jmethodID id, va_list arguments) {
    const Method& method = staticMethodOf(env, clazz, id, "CallStaticVoidMethod");
    record("CallStaticVoidMethod " + method.className + "." + method.name);
    if (method.name != "main")
        failLoudly("CallStaticVoidMethod of " + method.name);
    Object* array = referenced(va_arg(arguments, jobjectArray), "CallStaticVoidMethod");
    if (!array || array->kind != Kind::Array || array->name != "java/lang/String")
        failLoudly("main called without a String[]");
    runMain(array);
}

void JNICALL callStaticVoidMethod(JNIEnv* env, jclass clazz, jmethodID id, ...) {
    va_list arguments;
    va_start(arguments, id);
    callStaticVoidMethodV(env, clazz, id, arguments);
    va_end(arguments);
}

jboolean JNICALL callStaticBooleanMethodV(JNIEnv* env, jclass clazz, jmethodID id, va_list) {
    const Method& method = staticMethodOf(env, clazz, id, "CallStaticBooleanMethod");
    record("CallStaticBooleanMethod " + method.className + "." + method.name);
    if (method.name != "firstRun")
        failLoudly("CallStaticBooleanMethod of " + method.name);
    const std::string behaviour = setting("firstrun", "true");
    if (behaviour == "throw") {
        throwNew("java/lang/RuntimeException");
        return JNI_FALSE;
    }
    return behaviour == "false" ? JNI_FALSE : JNI_TRUE;
}

jboolean JNICALL callStaticBooleanMethod(JNIEnv* env, jclass clazz, jmethodID id, ...) {
    va_list arguments;
    va_start(arguments, id);
    const jboolean result = callStaticBooleanMethodV(env, clazz, id, arguments);
    va_end(arguments);
    return result;
}

jint JNICALL callStaticIntMethodV(JNIEnv* env, jclass clazz, jmethodID id, va_list) {
    const Method& method = staticMethodOf(env, clazz, id, "CallStaticIntMethod");
    if (method.name != "getAction")
        failLoudly("CallStaticIntMethod of " + method.name);
    static std::string announcedGate;
    jint answer = 0;
    for (;;) {
        std::string entry;
        {
            std::lock_guard<std::mutex> hold(recordLock);
            if (nextAction < actions.size())
                entry = actions[nextAction];
        }
        if (entry == "throw") {
            {
                std::lock_guard<std::mutex> hold(recordLock);
                ++nextAction;
            }
            record("getAction throws");
            throwNew("java/lang/IllegalStateException");
            return 0;
        }
        if (entry.rfind("gate:", 0) != 0) {
            answer = entry.empty() ? 0 : std::atoi(entry.c_str());
            break;
        }
        const std::string gate = entry.substr(5);
        if (!fileExists(gate)) {
            // Said once per gate, so that a test knows every earlier answer has been acted on.
            if (announcedGate != gate)
                record("getAction waits for " + gate);
            announcedGate = gate;
            return 0;
        }
        std::lock_guard<std::mutex> hold(recordLock);
        ++nextAction;
    }
    {
        std::lock_guard<std::mutex> hold(recordLock);
        if (nextAction < actions.size())
            ++nextAction;
    }
    if (answer != 0)
        record("getAction answers " + std::to_string(answer));
    return answer;
}

jint JNICALL callStaticIntMethod(JNIEnv* env, jclass clazz, jmethodID id, ...) {
    va_list arguments;
    va_start(arguments, id);
    const jint result = callStaticIntMethodV(env, clazz, id, arguments);
    va_end(arguments);
    return result;
}

jobject JNICALL callStaticObjectMethodV(JNIEnv* env, jclass clazz, jmethodID id, va_list) {
    const Method& method = staticMethodOf(env, clazz, id, "CallStaticObjectMethod");
    record("CallStaticObjectMethod " + method.className + "." + method.name);
    if (method.name != "getText")
        failLoudly("CallStaticObjectMethod of " + method.name);
    std::string text = "null";
    {
        std::lock_guard<std::mutex> hold(recordLock);
        if (!texts.empty())
            text = texts[nextText < texts.size() - 1 ? nextText++ : nextText];
    }
    if (text == "null")
        return nullptr;
    Object* string = newObject(Kind::String, "java/lang/String");
    string->text = utf16(text);
    return localReference<jobject>(string);
}

jmethodID JNICALL getMethodId(JNIEnv* env, jclass clazz, const char* name, const char* signature) {
    checkThread(env, "GetMethodID");
    Object* owner = referenced(clazz, "GetMethodID");
    if (!owner || owner->kind != Kind::Class)
        failLoudly("GetMethodID without a class");
    const bool found = owner->name == "java/lang/Throwable" && std::string(name) == "toString" &&
                       std::string(signature) == "()Ljava/lang/String;";
    record("GetMethodID " + owner->name + " " + name + " " + signature + (found ? " found" : " not found"));
    if (!found) {
        throwNew("java/lang/NoSuchMethodError");
        return nullptr;
    }
    return reinterpret_cast<jmethodID>(new Method{owner->name, name, signature});
}

// Throwable.toString(): the class name with dots, ": " and the message.
jobject JNICALL callObjectMethodV(JNIEnv* env, jobject object, jmethodID id, va_list) {
    checkThread(env, "CallObjectMethod");
    const Method& method = methodOf(id, "CallObjectMethod");
    Object* target = referenced(object, "CallObjectMethod");
    if (!target || target->kind != Kind::Throwable || method.name != "toString")
        failLoudly("CallObjectMethod of " + method.name + " on something other than a Throwable");
    record("CallObjectMethod " + target->name + "." + method.name);
    std::string className = target->name;
    for (char& c : className)
        c = c == '/' ? '.' : c;
    Object* string = newObject(Kind::String, "java/lang/String");
    string->text = utf16(className) + (target->text.empty() ? u"" : u": " + target->text);
    return localReference<jobject>(string);
}

jobject JNICALL callObjectMethod(JNIEnv* env, jobject object, jmethodID id, ...) {
    va_list arguments;
    va_start(arguments, id);
    jobject result = callObjectMethodV(env, object, id, arguments);
    va_end(arguments);
    return result;
}

jobject JNICALL callStaticObjectMethod(JNIEnv* env, jclass clazz, jmethodID id, ...) {
    va_list arguments;
    va_start(arguments, id);
    jobject result = callStaticObjectMethodV(env, clazz, id, arguments);
    va_end(arguments);
    return result;
}

Object* stringOf(jstring handle, const char* function) {
    Object* string = referenced(handle, function);
    if (!string || string->kind != Kind::String)
        failLoudly(std::string(function) + " without a string");
    return string;
}

jsize JNICALL getStringLength(JNIEnv* env, jstring handle) {
    checkThread(env, "GetStringLength");
    return jsize(stringOf(handle, "GetStringLength")->text.size());
}

// Like a real VM, the characters are a copy without a terminator.
const jchar* JNICALL getStringChars(JNIEnv* env, jstring handle, jboolean* isCopy) {
    checkThread(env, "GetStringChars");
    const std::u16string& text = stringOf(handle, "GetStringChars")->text;
    jchar* copy = new jchar[text.size() + 1];
    std::memcpy(copy, text.data(), text.size() * sizeof(jchar));
    copy[text.size()] = 0xFFFF;
    if (isCopy)
        *isCopy = JNI_TRUE;
    return copy;
}

void JNICALL releaseStringChars(JNIEnv* env, jstring handle, const jchar* chars) {
    checkThread(env, "ReleaseStringChars");
    stringOf(handle, "ReleaseStringChars");
    delete[] chars;
}

void JNICALL deleteLocalRef(JNIEnv* env, jobject reference) {
    checkThread(env, "DeleteLocalRef");
    deleteReference(reference);
}

jboolean JNICALL exceptionCheck(JNIEnv* env) {
    checkThread(env, "ExceptionCheck");
    return pendingException ? JNI_TRUE : JNI_FALSE;
}

void JNICALL exceptionClear(JNIEnv* env) {
    checkThread(env, "ExceptionClear");
    record(std::string("ExceptionClear ") + (pendingException ? pendingException->name : "none"));
    pendingException = nullptr;
}

jthrowable JNICALL exceptionOccurred(JNIEnv* env) {
    checkThread(env, "ExceptionOccurred");
    record(std::string("ExceptionOccurred ") + (pendingException ? pendingException->name : "none"));
    return localReference<jthrowable>(pendingException);
}

void JNICALL exceptionDescribe(JNIEnv* env) {
    checkThread(env, "ExceptionDescribe");
    record("ExceptionDescribe");
    if (pendingException)
        std::fprintf(stderr, "Exception in thread \"main\" %s\n", pendingException->name.c_str());
    // A real VM clears the exception once it is described.
    pendingException = nullptr;
}

jint JNICALL destroyJavaVm(JavaVM*) {
    record("DestroyJavaVM");
    waitForProgramThread("DestroyJavaVM");
    destroyed = true;
    return JNI_OK;
}

jint attachThread(void** penv, void* arguments, bool daemon) {
    const bool creating = GetCurrentThreadId() == creatingThread;
    record(std::string(daemon ? "AttachCurrentThreadAsDaemon" : "AttachCurrentThread") +
           (creating ? " creating thread" : " other thread") + (arguments ? " with arguments" : ""));
    daemonThread = daemon;
    if (destroyed)
        failLoudly("AttachCurrentThread after DestroyJavaVM");
    if (creating) {
        *penv = &creatingEnv;
    } else {
        if (!attachedEnv)
            attachedEnv = new JNIEnv{creatingEnv.functions};
        *penv = attachedEnv;
    }
    return JNI_OK;
}

jint JNICALL attachCurrentThread(JavaVM*, void** penv, void* arguments) {
    return attachThread(penv, arguments, false);
}

jint JNICALL attachCurrentThreadAsDaemon(JavaVM*, void** penv, void* arguments) {
    return attachThread(penv, arguments, true);
}

jint JNICALL detachCurrentThread(JavaVM*) {
    const bool creating = GetCurrentThreadId() == creatingThread;
    record(std::string("DetachCurrentThread") + (creating ? " creating thread" : " other thread") +
           ", most local references held: " + std::to_string(dropReferences()));
    delete attachedEnv;
    attachedEnv = nullptr;
    return JNI_OK;
}

// One distinct function per slot, so the record names the slot that was called.
template <size_t Slot> void JNICALL unexpectedEnvFunction() {
    failLoudly("JNIEnv function in slot " + std::to_string(Slot) + " is outside the launcher's contract");
}
template <size_t Slot> void JNICALL unexpectedVmFunction() {
    failLoudly("JavaVM function in slot " + std::to_string(Slot) + " is outside the launcher's contract");
}

// JNICALL is __stdcall on x86: the slot functions' own calling convention, in every pointer to them.
using SlotFunction = void(JNICALL*)();

template <typename Table, size_t... Slots>
void fillUnexpected(Table& table, std::index_sequence<Slots...>,
                    const SlotFunction (&functions)[sizeof...(Slots)]) {
    static_assert(sizeof(Table) == sizeof...(Slots) * sizeof(void*), "a table is an array of pointers");
    std::memcpy(&table, functions, sizeof(Table));
}

template <size_t... Slots>
void fillEnvTable(JNINativeInterface_& table, std::index_sequence<Slots...> slots) {
    static const SlotFunction functions[] = {&unexpectedEnvFunction<Slots>...};
    fillUnexpected(table, slots, functions);
}
template <size_t... Slots> void fillVmTable(JNIInvokeInterface_& table, std::index_sequence<Slots...> slots) {
    static const SlotFunction functions[] = {&unexpectedVmFunction<Slots>...};
    fillUnexpected(table, slots, functions);
}

JNINativeInterface_ envTable;
JNIInvokeInterface_ vmTable;

void buildTables() {
    fillEnvTable(envTable, std::make_index_sequence<sizeof(JNINativeInterface_) / sizeof(void*)>());
    envTable.FindClass = findClass;
    envTable.GetStaticMethodID = getStaticMethodId;
    envTable.NewObjectArray = newObjectArray;
    envTable.NewString = newString;
    envTable.SetObjectArrayElement = setObjectArrayElement;
    envTable.CallStaticVoidMethod = callStaticVoidMethod;
    envTable.CallStaticBooleanMethod = callStaticBooleanMethod;
    envTable.CallStaticIntMethod = callStaticIntMethod;
    envTable.CallStaticObjectMethod = callStaticObjectMethod;
    envTable.CallStaticVoidMethodV = callStaticVoidMethodV;
    envTable.CallStaticBooleanMethodV = callStaticBooleanMethodV;
    envTable.CallStaticIntMethodV = callStaticIntMethodV;
    envTable.CallStaticObjectMethodV = callStaticObjectMethodV;
    envTable.GetMethodID = getMethodId;
    envTable.CallObjectMethod = callObjectMethod;
    envTable.CallObjectMethodV = callObjectMethodV;
    envTable.GetStringLength = getStringLength;
    envTable.GetStringChars = getStringChars;
    envTable.ReleaseStringChars = releaseStringChars;
    envTable.ExceptionOccurred = exceptionOccurred;
    envTable.ExceptionDescribe = exceptionDescribe;
    envTable.ExceptionClear = exceptionClear;
    envTable.ExceptionCheck = exceptionCheck;
    envTable.DeleteLocalRef = deleteLocalRef;

    fillVmTable(vmTable, std::make_index_sequence<sizeof(JNIInvokeInterface_) / sizeof(void*)>());
    vmTable.DestroyJavaVM = destroyJavaVm;
    vmTable.AttachCurrentThread = attachCurrentThread;
    vmTable.AttachCurrentThreadAsDaemon = attachCurrentThreadAsDaemon;
    vmTable.DetachCurrentThread = detachCurrentThread;
}

char hexDigit(unsigned value) {
    return "0123456789abcdef"[value & 15];
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Digits and at most one unit letter, as HotSpot reads a memory size.
bool isSize(const char* text) {
    const char* end = text;
    while (*end >= '0' && *end <= '9')
        ++end;
    if (end != text && *end != '\0' && std::strchr("kKmMgGtT", *end))
        ++end;
    return end != text && *end == '\0';
}

// +Name, -Name or Name=value: a -XX: option HotSpot can read.
bool isFlagSetting(const char* flag) {
    const char* name = *flag == '+' || *flag == '-' ? flag + 1 : flag;
    const char* end = name;
    while (std::isalnum(static_cast<unsigned char>(*end)) || *end == '_')
        ++end;
    return end != name && (name != flag ? *end == '\0' : *end == '=');
}

// What HotSpot does with one option string. A size it cannot read ends the creation whatever
// ignoreUnrecognized says; an option it does not know is skipped with ignoreUnrecognized and ends the
// creation without. The double knows the standard options below and has every flag that a
// well-formed -XX: option names.
enum class Verdict { Taken, Ignored, Refused };
Verdict judgeOption(const char* option, bool ignoreUnrecognized, std::string* why) {
    static const char* const sized[] = {"-Xmx", "-Xms", "-Xmn", "-Xss"};
    for (const char* prefix : sized)
        if (startsWith(option, prefix)) {
            *why = std::string("Invalid memory size: ") + option;
            return isSize(option + 4) ? Verdict::Taken : Verdict::Refused;
        }
    const Verdict unknown = ignoreUnrecognized ? Verdict::Ignored : Verdict::Refused;
    if (startsWith(option, "-XX:")) {
        const char* flag = option + 4;
        static const char* const sizeFlags[] = {"MaxHeapSize=", "InitialHeapSize=", "ThreadStackSize=",
                                                "MaxMetaspaceSize=", "MaxDirectMemorySize="};
        for (const char* sizeFlag : sizeFlags)
            if (startsWith(flag, sizeFlag) && !isSize(flag + std::strlen(sizeFlag))) {
                *why = std::string("Improperly specified VM option '") + flag + "'";
                return Verdict::Refused;
            }
        *why = std::string("Unrecognized VM option '") + flag + "'";
        return isFlagSetting(flag) ? Verdict::Taken : unknown;
    }
    static const char* const whole[] = {"-Xint",
                                        "-Xmixed",
                                        "-Xcomp",
                                        "-Xbatch",
                                        "-Xrs",
                                        "-Xnoclassgc",
                                        "-Xdebug",
                                        "-Xdiag",
                                        "-Xlog",
                                        "-verbose",
                                        "-ea",
                                        "-da",
                                        "-esa",
                                        "-dsa",
                                        "-enableassertions",
                                        "-disableassertions",
                                        "vfprintf",
                                        "exit",
                                        "abort"};
    static const char* const prefixes[] = {"-D",
                                           "-Xcheck:",
                                           "-Xshare:",
                                           "-Xverify:",
                                           "-Xlog:",
                                           "-Xloggc:",
                                           "-Xbootclasspath:",
                                           "-Xbootclasspath/a:",
                                           "-Xrun",
                                           "-verbose:",
                                           "-ea:",
                                           "-da:",
                                           "-javaagent:",
                                           "-agentlib:",
                                           "-agentpath:",
                                           "--add-opens=",
                                           "--add-exports=",
                                           "--add-modules=",
                                           "--add-reads=",
                                           "--patch-module=",
                                           "--limit-modules=",
                                           "--module-path=",
                                           "--enable-native-access="};
    for (const char* known : whole)
        if (std::strcmp(option, known) == 0)
            return Verdict::Taken;
    for (const char* known : prefixes)
        if (startsWith(option, known))
            return Verdict::Taken;
    *why = std::string("Unrecognized option: ") + option;
    return unknown;
}

// Records the verdict on option index; JNI_OK to go on, else what JNI_CreateJavaVM answers. Like
// HotSpot, a refusal is told on standard error.
jint acceptOption(jint index, const char* option, bool ignoreUnrecognized) {
    std::string why;
    const Verdict verdict = judgeOption(option, ignoreUnrecognized, &why);
    if (verdict == Verdict::Ignored)
        record("option " + std::to_string(index) + " ignored: " + why);
    if (verdict != Verdict::Refused)
        return JNI_OK;
    record("JNI_CreateJavaVM refuses option " + std::to_string(index) + ": " + why);
    std::fprintf(stderr, "%s\n", why.c_str());
    std::fflush(stderr);
    return why.rfind("Unrecognized", 0) == 0 ? JNI_ERR : JNI_EINVAL;
}

} // namespace

extern "C" JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM** pvm, void** penv, void* arguments) {
    readScenario();
    const JavaVMInitArgs* init = static_cast<const JavaVMInitArgs*>(arguments);
    if (!pvm || !penv || !init)
        failLoudly("JNI_CreateJavaVM without places for the VM and environment or without arguments");
    std::string version = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        version += hexDigit(unsigned(init->version) >> shift);
    record("JNI_CreateJavaVM version " + version + " ignoreUnrecognized " +
           std::to_string(int(init->ignoreUnrecognized)) + " nOptions " + std::to_string(init->nOptions));
    // What a real VM and the programs it starts would find on PATH.
    record("environment PATH " + utf8(environmentPath()));
    const wchar_t* runtimeCopy = _wgetenv(L"PATH");
    record("C runtime PATH " +
           (runtimeCopy ? utf8(reinterpret_cast<const char16_t*>(runtimeCopy)) : "<unset>"));
    for (jint i = 0; i < init->nOptions; ++i) {
        const JavaVMOption& option = init->options[i];
        if (!option.optionString)
            failLoudly("option " + std::to_string(i) + " without a text");
        record("option " + std::to_string(i) + ": " + option.optionString +
               (option.extraInfo ? " (with extraInfo)" : ""));
        static const char kClassPath[] = "-Djava.class.path=";
        if (std::strncmp(option.optionString, kClassPath, sizeof kClassPath - 1) == 0)
            classPath = option.optionString + sizeof kClassPath - 1;
        if (std::strcmp(option.optionString, "exit") == 0)
            exitHook = reinterpret_cast<ExitHook>(option.extraInfo);
        if (const jint refused = acceptOption(i, option.optionString, init->ignoreUnrecognized))
            return refused;
    }
    waitForFile(setting("createwait", ""));
    if (setting("create", "") == "fail") {
        record("JNI_CreateJavaVM fails");
        return JNI_ERR;
    }
    buildTables();
    vm.functions = &vmTable;
    creatingEnv.functions = &envTable;
    creatingThread = GetCurrentThreadId();
    *pvm = &vm;
    *penv = &creatingEnv;
    return JNI_OK;
}

// A runtime of today: the JNI 1.1 form is refused, and the default stack size reported all the same.
extern "C" JNIEXPORT jint JNICALL JNI_GetDefaultJavaVMInitArgs(void* arguments) {
    struct VersionOneStart {
        jint version;
        char** properties;
        jint checkSource;
        jint nativeStackSize;
        jint javaStackSize;
    };
    VersionOneStart* start = static_cast<VersionOneStart*>(arguments);
    if (!start)
        failLoudly("JNI_GetDefaultJavaVMInitArgs without arguments");
    record("JNI_GetDefaultJavaVMInitArgs version " + std::to_string(start->version));
    if (start->version != JNI_VERSION_1_1)
        return JNI_OK;
    start->version = JNI_VERSION_1_2;
    start->javaStackSize = kDefaultJavaStack;
    return JNI_ERR;
}
