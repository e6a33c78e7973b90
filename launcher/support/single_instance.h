// One running instance per executable path, and the window operations that react to the
// application's windows. The first process claims a named semaphore derived from its own path and
// records its process id under HKCU\SOFTWARE\Morvane\kestro\pids\; a later one brings the first
// one's windows to the front and exits with code 0.
#pragma once

#include <initializer_list>
#include <string>

// The guard. With checkConfiguration it runs only when configuration 10005 is non-zero. A later
// instance activates the first one's windows, with handOver writes its arguments into the first
// one's communication file, and ends the process with exit code 0; the first instance returns with
// the instance name set.
void guardSingleInstance(bool checkConfiguration, bool handOver);

// Removes a hand-over file left for this process's id by a process that had the id before (its
// arguments are not for this one). Run before the guard makes this process known to later starts.
void discardStaleHandOver();

// The semaphore's name (the lower-cased full executable path with "_" for each backslash), or null
// when the guard did not run.
const char* instanceName();

// Records this process's id for this executable; registry failures are silent.
void registerProcessId();

// The id recorded for this executable, or 0 when there is none.
unsigned long registeredProcessId();

// Visible top-level windows of the process, not counting this process's console window nor the
// windows besides (HWNDs).
int countProcessWindows(unsigned long processId, std::initializer_list<const void*> besides = {});

// Brings every visible top-level window of the process to the front, restoring minimised ones
// first when restore is set.
void activateProcessWindows(unsigned long processId, bool restore);

// The arguments part of a command line: what follows the program name and the blanks after it.
// A program name whose quote or blank never ends gives an empty part.
std::wstring argumentsPartOfCommandLine(const wchar_t* commandLine);

// The lower-cased full path of modulePath: the process registry's value name and the base of the
// instance name. When no full path can be made of it, modulePath itself lower-cased (the system
// gives the module's path full), after an error line: the guard never runs without a name.
std::string executableKey(const char* modulePath);

// The instance name of an executable path: backslashes replaced by "_".
std::string instanceNameForPath(const char* fullExecutablePath);
