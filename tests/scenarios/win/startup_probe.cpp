// Runs single pieces of the launcher's start-up on its own payload, for scenarios that must look at
// what the whole launcher does not show: the environment it prepared, and the single-instance guard
// while the first instance is still alive.
//
//   startup-probe env                   print PATH and the current directory before and after
//                                       preparing the environment
//   startup-probe guard [handover] GO   run the guard; as the first instance print "first <pid>" and
//                                       stay alive until the file GO exists (at most 60 s)
#include "startup/startup.h"
#include "support/single_instance.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

void printPathAndDirectory(const char* prefix) {
    char path[32768];
    GetEnvironmentVariableA("PATH", path, sizeof path);
    char directory[MAX_PATH];
    GetCurrentDirectoryA(sizeof directory, directory);
    printf("%sPATH=%s\n%sCWD=%s\n", prefix, path, prefix, directory);
}

int printEnvironment() {
    printPathAndDirectory("INHERITED_");
    prepareEnvironment(GetModuleHandleA(nullptr));
    printPathAndDirectory("");
    return 0;
}

int guard(bool handOver, const char* go) {
    guardSingleInstance(false, handOver);
    printf("first %lu\n", GetCurrentProcessId());
    fflush(stdout);
    for (int i = 0; i < 600 && GetFileAttributesA(go) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "env") == 0)
        return printEnvironment();
    if (argc == 3 && strcmp(argv[1], "guard") == 0)
        return guard(false, argv[2]);
    if (argc == 4 && strcmp(argv[1], "guard") == 0 && strcmp(argv[2], "handover") == 0)
        return guard(true, argv[3]);
    fprintf(stderr, "usage: startup-probe env | guard [handover] GO\n");
    return 2;
}
