// One launch, from the extraction of the included files to the end of the Java program.
#pragma once

#include <windows.h>

// Placeholder until the launch worker exists: logs that nothing is launched yet and returns.
// progressDialog is the dialog the worker reports to, or null in quiet mode.
void runLaunchWorkerPlaceholder(HWND progressDialog);
