// The JNI half of a launch: VM creation, the bootstrap call and the first-run check. Free of Win32
// (the build host runs it against a real JVM); the platform half supplies the texts and the log.
#pragma once

#include <jni.h>

#include <cstddef>
#include <string>
#include <vector>

// What the JNI half needs from the platform: lines for the native log (plain texts, no format).
void jniLogLine(const char* text);
void jniLogError(const char* text);
// Called on the creating thread right before the launch's first call into the program's Java code
// (the first-run check or the bootstrap's main): from then on the program runs.
void jniEnteringJava();
// The program's System.exit, as the VM hands it to its "exit" hook once the shutdown hooks have run:
// ends the process with code. Called on a thread of the VM while the Java threads stand still, so it
// must neither call into the VM nor wait for a thread that might.
[[noreturn]] void jniProgramExit(int code);

// JavaVMInitArgs for JNI 1.2 with ignoreUnrecognized set: one element per option, extraInfo null,
// then the "exit" hook, which hands System.exit to jniProgramExit. The option array is allocated here
// and never freed: the VM may keep pointers into it.
JavaVMInitArgs vmCreationArguments(const std::vector<char*>& options);

// Logs "Creating JVM" and calls the creation entry (vm_state). True exactly when it answers JNI_OK;
// then the VM and the environment are recorded in vm_state.
bool createJavaVm(const std::vector<char*>& options);

// The stack size in bytes the runtime gives a Java thread when no -Xss says otherwise, as its
// JNI_GetDefaultJavaVMInitArgs reports it; 0 when the library lacks that entry or does not say.
size_t defaultJavaStackSize();

enum class MainCall { Returned, Threw, ClassMissing, MethodMissing, ArgumentsNotCreated };

// Fills the parameters of main (UTF-16) and each one's log form.
using MainParameterSource = void (*)(std::vector<std::u16string>& parameters,
                                     std::vector<std::string>& forLog, void* context);

// Calls static main(String[]) of internalClassName ("a/b/C") on the creating thread. The parameters
// come from source, asked only once the class and its main have been found (so a fault in building
// them cannot come before a missing class); they pass unchanged through NewString. Logs
// "param count", "param N", "calling main", "main returned" and, when main threw, the error line
// "an exception occured". The bootstrap reports an exception of the program itself (see
// WinLauncher); here it is cleared, and its class and message (Throwable.toString()) go to
// *exception when that is given. Missing class or method are answered, not reported: the caller
// knows the messages.
MainCall callStaticMain(const char* internalClassName, MainParameterSource source, void* context,
                        std::u16string* exception = nullptr);

// The same with parameters known beforehand; forLog holds each parameter's log form.
MainCall callStaticMain(const char* internalClassName, const std::vector<std::u16string>& parameters,
                        const std::vector<std::string>& forLog, std::u16string* exception = nullptr);

enum class FirstRun { Proceed, Stop, ClassMissing, MethodMissing };

// static boolean com.sorvana.runtime.FirstRun.firstRun(): Proceed when it answers true, Stop when
// it answers false or throws (the exception is described).
FirstRun callFirstRun();

// Closes the VM to the other threads (waiting for a call of theirs under way), then DestroyJavaVM,
// which also waits for the program's non-daemon threads; its result is of no use to a launcher that
// is about to end.
void destroyJavaVm();
