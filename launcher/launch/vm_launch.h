// Starting the Java program: the launcher's system properties, VM creation, the bootstrap class's
// main with the launcher parameters, and the VM's end.
#pragma once

#include "launch/arguments.h"

#include <string>
#include <vector>

// How the program ended, as far as the launch learns it.
enum class ProgramEnd {
    NotStarted, // the VM was not created, or main could not be called
    Returned,   // main returned (the application has ended), or the first-run check stopped it
    Threw,      // main threw, and the application has ended
};

struct LaunchOutcome {
    ProgramEnd end = ProgramEnd::NotStarted;
    std::wstring exception; // after Threw: the exception's class and message
};

// Runs the program on a thread of its own whose stack is what -Xss asks for, or else the size the
// runtime reports as its default: creates the VM with the launcher's properties and the option
// list, calls main of com.kestro.runtime.WinLauncher (which comes back once the application has
// ended) and destroys the VM. enteringJava, when given, is called on that thread right before the
// program's Java code first runs. Returns when that thread is done; a program that calls System.exit
// ends the process instead (exitLauncher with its code). Logs the error line "could not initialize
// JVM" or "could not call main" for NotStarted (the VM is then left as it is). Ends the process on
// configuration errors (1006, 1008) and when the bootstrap class or its main is missing (1010, 1011).
LaunchOutcome launchVm(const WideArguments& arguments, void (*enteringJava)());

// True once the program's Java code has been entered (see launchVm), for the rest of the process.
bool javaEntered();

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
// After Threw, *exception holds the exception's class and message.
ProgramEnd callMain(const WideArguments& arguments, std::wstring* exception);

// True to go on with the launch: no first-run marker, or FirstRun.firstRun() answered true. Ends the
// process with message 1009 ("14" class missing, "15" method missing) when the marker exists.
bool checkFirstRun();
