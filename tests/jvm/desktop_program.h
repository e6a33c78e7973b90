// One start of the probe's desktop program (probe.DesktopApp) through the launcher's JNI half, shared
// by the real-JVM test and the class-data sharing benchmark.
#pragma once

#include <string>
#include <vector>

// Loads javaHome's libjvm.so, creates the VM with the launcher's properties, the class-data sharing
// options right after them, then configured, the class path (the runtime jar and the probe's jar)
// last, and runs the program's main through the bootstrap class with the arguments. Ends the
// process: 0 once main returned and the VM is gone, the program's code on System.exit, 96 when the
// library does not load, 97 when the VM cannot be made, 98 when main cannot be called or threw.
[[noreturn]] void runDesktopProgram(const std::string& javaHome, const std::vector<std::string>& sharing,
                                    const std::vector<std::string>& configured,
                                    const std::vector<std::wstring>& arguments);
