// The rights this process holds: whether it runs elevated, and switching on a privilege it holds.
#pragma once

// True when the token this thread acts with (its impersonation token, else the process's) is an
// elevated administrator's, and when that token cannot be opened. False on systems without
// elevation (Windows XP and older, where every program of an administrator holds the same rights).
// Wine hands every process a full administrator token and a linked limited one, as Windows does to
// a program started with "Run as administrator": under Wine every process counts as elevated.
bool runsElevated();

// Enables the privilege (such as "SeShutdownPrivilege") in the process's token. Logs each step's
// failure with the system's error code, or "<name> enabled". False when the token cannot be opened
// or adjusted, the name is unknown, or the process does not hold the privilege.
bool enablePrivilege(const char* name);
