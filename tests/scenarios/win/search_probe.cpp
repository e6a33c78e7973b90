// search-probe: loads its payload and calls LoadDLL the way the launch worker does, then prints the
// outcome, so that a scenario can drive the runtime search and the JVM library loading alone:
//   search-probe [--errors] [--dir PATH | --exe PATH]
// No location searches; --dir tries a runtime home on trust, --exe a picked java.exe. --errors
// shows the failure messages. The application kind is configuration 2001's first character.
// Prints, one a line:
//   LoadDLL <0|1>
//   jvmHome <runtime home recorded for the last runtime tried>
//   entry <set|unset>
//   PATH before <value>
//   PATH after <value>
#include "jvmsearch/win_loader.h"
#include "launch/variable_expansion.h"
#include "launch/vm_state.h"
#include "payload/payload_store.h"
#include "startup/startup_state.h"
#include "support/library_search.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string pathVariable() {
    const char* value = getenv("PATH");
    return value != nullptr ? value : "";
}

} // namespace

int main(int argc, char** argv) {
    // As the launcher's start-up does first.
    restrictLibrarySearch();
    loadPayload();
    char kind[2];
    getConfigText(2001, kind, sizeof kind);
    setApplicationKind(kind[0]);
    bool showErrors = false;
    const char* location = nullptr;
    bool locationIsExecutable = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--errors") == 0) {
            showErrors = true;
        } else if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            location = argv[++i];
        } else if (strcmp(argv[i], "--exe") == 0 && i + 1 < argc) {
            location = argv[++i];
            locationIsExecutable = true;
        }
    }
    const std::string pathBefore = pathVariable();
    const bool loaded = LoadDLL(showErrors, location, locationIsExecutable);
    printf("LoadDLL %d\n", loaded ? 1 : 0);
    printf("jvmHome %s\n", jvmHome());
    printf("entry %s\n", createVmEntry() != nullptr ? "set" : "unset");
    printf("PATH before %s\n", pathBefore.c_str());
    printf("PATH after %s\n", pathVariable().c_str());
    return 0;
}
