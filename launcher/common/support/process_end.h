// The system's side of the launcher's one way out of the process (support/errors.h), which each
// system's launcher provides beside its error reporting.
#pragma once

// Makes the calling thread the one that ends the process; any other thread that calls this meanwhile
// never returns.
void claimEnd();

// Ends the process at once with code: the launcher's own clean-up runs, no exit handlers do, and every
// other thread, a running Java VM included, stops with the process.
[[noreturn]] void endProcess(int code);
