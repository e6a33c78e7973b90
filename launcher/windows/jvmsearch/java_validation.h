// Whether a java.exe is usable: the layouts that map a runtime home to its executable, the version
// learned from the version cache or from a "-version" run, and the configured bounds (ids 126 and
// 127, passed in by the caller) and pre-release rule (id 130). Every line logged here is an
// ordinary log line; nothing is shown to the user.
#pragma once

#include "launch/launch_platform.h"

#include <cstddef>
#include <cstdint>

// The executable of a runtime home, into out (kPathCapacity bytes), by configuration 131 (a JDK is
// required); see javaExeForHomeLayout. A path that would not fit leaves out empty and answers false.
bool javaExeForHome(char* out, const char* home);

// The layout rule itself, with "JDK required" passed in:
// - not required: home\jre\bin\java.exe when that exists, else home\bin\java.exe (answer true
//   without looking whether it exists; checkJavaExe does).
// - required: a JDK with home\lib\tools.jar gives home\jre\bin\java.exe (its own JRE); a JDK of
//   version 9 or later, which has no tools.jar and no jre directory but home\bin\javac.exe, gives
//   home\bin\java.exe. Anything else answers false (out then names home\jre\bin\java.exe).
bool javaExeForHomeLayout(char* out, const char* home, bool jdkRequired);

// Decides whether the executable at path (kPathCapacity bytes, read and rewritten) is usable:
// path becomes its full, lower-cased form (the version cache key); a runtime built for another
// machine than the launcher is refused unrun (isRuntimeForThisMachine); the version comes from the
// cache or a "-version" run (which is then cached) and must pass isVersionAcceptable. With configuration
// 107 equal to 1 an accepted path is turned into the javaw.exe beside it and the answer is whether
// that exists. version (kPathCapacity bytes) receives the version; it is empty when none was learned.
bool checkJavaExe(char* path, char* version, const char* minimum, const char* maximum, bool allowPrerelease);
bool checkJavaExe(char* path, const char* minimum, const char* maximum, bool allowPrerelease);

// acceptedRuntimeVersion() (launch/launch_platform.h) is the version of the executable checkJavaExe
// accepted last (the search takes the first it accepts); empty before any.

// Runs the executable with "-version" (its short 8.3 path, else its long path; quoted) with standard
// error going to a temporary file and waits for at most 60 s; a child still running then is
// terminated. True with the version in version (kPathCapacity bytes) when the child ended with code
// 0 and its first line, after any notices of options picked up from the environment
// (isPickedUpOptionsNotice), is a version line. A non-zero exit while failed versions are recorded enters
// "1.0.0" into the version cache for path and stamp.
bool getVersionByExecution(const char* path, uint64_t stamp, char* version);

// The pre-release rule, then isVersionWithinBounds. A pre-release version passes only when
// allowPrerelease or configuration 130 is set; otherwise "beta vm not allowed" is logged.
bool isVersionAcceptable(const char* version, const char* minimum, const char* maximum, bool allowPrerelease);

// While set, a failed "-version" run is remembered in the version cache as "1.0.0". Set only around
// the search of the runtimes registered with Windows.
void setRecordFailedVersions(bool on);
