// Finding and loading a Java runtime on Linux. The search takes, in order: the runtime home named by
// KESTRO_JAVA_HOME, the entries of the configured search sequence (configuration 128: "E<variable>" a
// variable naming a home, "S" java on PATH, its links resolved, "A", "B" or "R" with a home directory,
// relative to the executable's), then the system's runtime folders (/usr/lib/jvm/*, /usr/java/*), of
// which the newest usable runtime wins. A runtime is usable when its library (lib/server/libjvm.so, or
// the preferred variant's of configuration 152, or a Java 8 layout's) is a library for this machine,
// a JDK when configuration 131 asks for one, and its version passes the bounds (126, 127) and the
// pre-release rule (130). The version is the release file's JAVA_VERSION; only a runtime without one
// is run with "-version", and its answer is cached per executable, size and time.
#pragma once

#include <string>

struct FoundRuntime {
    std::string home;
    std::string version;
    std::string library;
};

// Checks the runtime at home (what made it a candidate goes into the log lines). True with found
// filled when it is usable. A trusted home (the runtime shipped with the program) needs only a
// library for this machine: the project chose it, whatever its version.
bool checkRuntimeHome(const std::string& home, const char* origin, FoundRuntime* found, bool trusted = false);

// Runs the search; true with the first usable runtime in found.
bool searchRuntime(FoundRuntime* found);

// Loads the runtime's library, resolves JNI_CreateJavaVM and JNI_GetDefaultJavaVMInitArgs for the
// launch (vm_state), records its home (setJvmHome) and its version (acceptedRuntimeVersion). False,
// logged with the loader's reason, when the library does not load or lacks the first entry.
bool loadRuntime(const FoundRuntime& runtime);

// Building blocks, free of side effects.

// The version a runtime prints for "-version" in text (its standard error): the first version line
// (lines such as "Picked up JAVA_TOOL_OPTIONS: ..." may come first). Empty when none is there.
std::string versionFromOutput(const std::string& text);

// The runtime home of a java executable whose links are resolved: the directory above its "bin";
// empty when the executable does not lie in a "bin" directory.
std::string homeOfExecutable(const std::string& executable);
