// The Linux launcher's one start: the payload, the single-instance guard, the included files, a
// runtime (the shipped one through the user's cache, else the search), the program, and the exit
// with the program's code. There are no dialogs to drive and no progress to show: the start runs on
// the process's first thread, and the program on a thread of its own.
#pragma once

// Never returns: every way ends in exitLauncher or one of the fatal errors.
[[noreturn]] void runLauncher(int argc, char** argv);
