// HKCU\SOFTWARE\Morvane\kestro\ "InstallStarted": set while a start is under way that has not yet
// shown the application, so that the next start can tell that this one did not get through.
#pragma once

// The value is set: the key opens, the value reads as 4 bytes (whatever its type) and is not 0.
bool isInstallStarted();

// Writes the value as a REG_DWORD 1 or 0; failures are ignored.
void setInstallStarted(bool started);
