// Pack200 libraries of a Java runtime turned back into jars by the runtime's own bin\unpack200.exe.
#pragma once

// Unpacks the packed libraries of the runtime in directory when lib\rt.jar.pack exists and the last
// library of the list, lib\jsse.jar, does not: one unpacker run per present packed file, one after
// another, each waited for without limit. Ends the process with message 1009 and "20" when the
// unpacker cannot be started. A directory too long to name its libraries in 8192 bytes is left alone.
void unpackRuntime(const char* directory);
