// The process environment in 16 bits. The 8-bit calls would hand every character outside the ANSI
// code page back as a look-alike or "?" and, written back, change the value for the VM and for every
// program the application starts.
#pragma once

#include <string>

// The value of an environment variable; empty when it is unset or empty.
std::wstring environmentVariable(const wchar_t* name);

// Sets PATH, however long, in the process environment and in the C runtime's copy of it (which the
// C runtime's getenv and the programs it spawns see).
void setPathVariable(const std::wstring& value);
