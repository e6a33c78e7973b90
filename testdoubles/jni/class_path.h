// Which classes the double's FindClass can see: those held by a jar, zip or directory of the class
// path the launcher passed, so that a wrong class path fails as it would with a real VM.
#pragma once

#include <string>

// True when an entry of classPath (';'-separated, as in -Djava.class.path=) holds the class
// internalName ("com/kestro/runtime/WinLauncher"): a directory with the .class file below it, or an
// archive whose central directory names it. Unreadable entries hold nothing.
bool classPathHolds(const std::string& classPath, const std::string& internalName);
