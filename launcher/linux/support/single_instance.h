// One running instance per executable, on Linux: the first start locks "kqx_instance_<key>.lock" in
// the private runtime directory and writes its process id into it; the kernel lets go of the lock
// when that process ends, however it ends. A later start reads the id, hands its arguments to the
// first one's communication file when the project asks for it, and ends with exit code 0.
#pragma once

#include "support/instance.h"

#include <string>
#include <vector>

// The guard. The first instance returns with the instance name set (the lock file's path).
void guardSingleInstance(bool handOver, const std::vector<std::string>& arguments);

// Removes a hand-over file left for this process's id by a process that had the id before (its
// arguments are not for this one). Run before the guard makes this process known to later starts.
void discardStaleHandOver();

// Building blocks, free of side effects.

// The arguments (program name first, left out) as one line of the launcher's splitting rule
// (launch/arguments.h), so that the Java side's splitting gives them back: each argument with blanks
// or quotes is quoted with the quote it does not hold. An argument holding both quotes and a blank
// cannot be written whole; its quotes of one kind are then dropped.
std::string handOverLine(const std::vector<std::string>& arguments);

// A key of the executable's path for the lock's name: 16 hex digits.
std::string instanceKey(const std::string& executable);
