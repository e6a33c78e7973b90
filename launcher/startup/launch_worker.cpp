#include "startup/launch_worker.h"

#include "support/log.h"

void runLaunchWorkerPlaceholder(HWND) {
    char directory[MAX_PATH];
    if (GetCurrentDirectoryA(sizeof directory, directory) == 0)
        directory[0] = '\0';
    logLine("launch worker placeholder: nothing is launched yet (current directory %s)", directory);
}
