#include "startup/launch_worker.h"

#include "support/log.h"

void runLaunchWorkerPlaceholder(HWND) {
    logLine("launch worker placeholder: nothing is launched yet");
}
