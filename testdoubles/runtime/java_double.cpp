// java.exe and javaw.exe of a fake Java runtime: all the launcher relies on is the version line a
// runtime prints for "-version". Like a runtime, it answers any other command line with an error and
// exit code 1, and first announces the options it picked up from JDK_JAVA_OPTIONS,
// JAVA_TOOL_OPTIONS and _JAVA_OPTIONS, one "Picked up" line each. What it prints and how it ends is
// read from "runtime-double.cfg" beside it, one "key=value" a line, so that one build serves every
// scenario:
//   version=1.6.0_10      the version in the line `java version "<version>"` (the default line)
//   line=<text>           the whole version line instead, e.g. openjdk version "17.0.15" 2025-04-15
//   warning=<text>        a line printed before the version line
//   stream=stdout         print to standard output instead of standard error
//   exit=<code>           exit code (default 0)
//   delay=<ms>            wait this long before printing
//   deletekey=<HKLM|HKCU>\<key>  delete that key with everything below it first, as an uninstaller
//                         running meanwhile would
// Every start appends "<program name> <arguments>" to "runtime-double.log" beside it, so that a
// scenario can count how often the launcher ran it, and its whole command line as it was handed over
// to "runtime-double-commands.log", so that a scenario can see how the program path was quoted.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string directoryOf(const std::string& path) {
    return path.substr(0, path.find_last_of('\\') + 1);
}

std::string setting(const std::string& file, const std::string& key, const std::string& fallback) {
    FILE* stream = fopen(file.c_str(), "r");
    if (stream == nullptr) {
        return fallback;
    }
    std::string found = fallback;
    char line[4096];
    while (fgets(line, sizeof line, stream) != nullptr) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (text.compare(0, key.size() + 1, key + "=") == 0) {
            found = text.substr(key.size() + 1);
        }
    }
    fclose(stream);
    return found;
}

} // namespace

int main(int argc, char** argv) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string directory = directoryOf(self);
    const std::string name = std::string(self).substr(directory.size());

    std::string record = name;
    for (int i = 1; i < argc; ++i) {
        record += " ";
        record += argv[i];
    }
    if (FILE* log = fopen((directory + "runtime-double.log").c_str(), "a")) {
        fprintf(log, "%s\n", record.c_str());
        fclose(log);
    }
    if (FILE* log = fopen((directory + "runtime-double-commands.log").c_str(), "a")) {
        fprintf(log, "%s\n", GetCommandLineA());
        fclose(log);
    }

    if (argc != 2 || strcmp(argv[1], "-version") != 0) {
        fprintf(stderr, "Unrecognized option: %s\nError: Could not create the Java Virtual Machine.\n",
                argc > 1 ? argv[1] : "");
        return 1;
    }
    const std::string settings = directory + "runtime-double.cfg";
    const std::string doomed = setting(settings, "deletekey", "");
    if (doomed.size() > 5) {
        HKEY root = doomed.compare(0, 5, "HKLM\\") == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        RegDeleteTreeA(root, doomed.substr(5).c_str());
    }
    Sleep(static_cast<DWORD>(atoi(setting(settings, "delay", "0").c_str())));
    // The java launcher notes JDK_JAVA_OPTIONS, then the VM the other two, all on standard error.
    if (const char* options = getenv("JDK_JAVA_OPTIONS")) {
        fprintf(stderr, "NOTE: Picked up JDK_JAVA_OPTIONS: %s\n", options);
    }
    for (const char* variable : {"JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS"}) {
        if (const char* options = getenv(variable)) {
            fprintf(stderr, "Picked up %s: %s\n", variable, options);
        }
    }
    FILE* out = setting(settings, "stream", "stderr") == "stdout" ? stdout : stderr;
    const std::string warning = setting(settings, "warning", "");
    if (!warning.empty()) {
        fprintf(out, "%s\n", warning.c_str());
    }
    const std::string version = setting(settings, "version", "1.6.0_10");
    fprintf(out, "%s\n", setting(settings, "line", "java version \"" + version + "\"").c_str());
    fflush(out);
    return atoi(setting(settings, "exit", "0").c_str());
}
