// Starting the Java program: the launcher's system properties, VM creation, the bootstrap class's
// main with the launcher parameters, and the VM's end.
#pragma once

#include "launch/arguments.h"

#include <string>
#include <vector>

// Creates the VM with the launcher's properties and the option list, calls main of
// com.kestro.runtime.WinLauncher and, with destroyAfter, destroys the VM. Returns true when main
// returned normally or the first-run check stopped the launch; false (after the error line "could
// not initialize JVM" or "could not call main") when creation failed or main threw. Ends the
// process on configuration errors (1006, 1008) and when the bootstrap class or its main is missing
// (1010, 1011).
bool launchVm(const WideArguments& arguments, bool destroyAfter);

// The launcher's system properties (composeLauncherProperties) from the start-up state and the
// configuration; the communication file is named with configuration 10005 or 10201.
std::vector<char*> launcherProperties();

// What main of the bootstrap class receives (composeLauncherParameters) from the configuration:
// GUI flag, main class, error log, output log, the flag of configuration 106, the program (empty
// with an empty command line), configuration 124's arguments, then the command line's other
// arguments ("-J" ones left out with configuration 125). Ends the process with 1007 when
// configuration 124 holds an unpaired quote.
WideArguments launcherParameters(const WideArguments& arguments);

// Runs the bootstrap call; see launchVm for the outcomes. Call on the thread that created the VM.
bool callMain(const WideArguments& arguments);

// True to go on with the launch: no first-run marker, or FirstRun.firstRun() answered true. Ends the
// process with message 1009 ("14" class missing, "15" method missing) when the marker exists.
bool checkFirstRun();
