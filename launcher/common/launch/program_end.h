// How a launcher ends once the program has: as java ends after a program's main.
#pragma once

#include "launch/vm_launch.h"

// Ends the process: 0 when main returned, 1 when it threw, told as the application's own error (message
// 20019 with its exception's class and message); message 1005 when the program could not be started.
[[noreturn]] void endWithProgram(const LaunchOutcome& outcome);
