// The rules of class-data sharing: which archive a runtime gets, the options that ask for it, and the
// archive's name. A runtime of Java 19 or later makes an archive of the classes a program loaded at
// its first exit and maps it at every later start, which shortens the way to the program's first
// line. Free of Win32, so that the host's real-JVM test hands a real runtime what the launcher does;
// class_data_sharing gathers the facts.
#pragma once

#include "launch/launch_composition.h"

#include <string>
#include <vector>

enum class ClassDataArchive {
    None,        // the runtime keeps nothing for the launcher (before Java 19, or a version unknown)
    Dynamic,     // Java 19 and later: a dynamic archive, made at an exit whenever it is missing or stale
    AheadOfTime, // Java 25 and later: the ahead-of-time cache, made at the exit of the first start
};

// The feature number of a version as a runtime prints it: 8 for "1.8.0_45", 17 for "17.0.2", 21 for
// "21-ea", 25 for "25"; 0 when the text starts with no number.
int javaFeatureVersion(const char* version);

// The value of JAVA_VERSION in the text of a runtime's "release" file, without its quotes; empty
// when it has none.
std::string releaseVersion(const std::string& releaseText);

// The archive a runtime of that feature version gets. The ahead-of-time cache starts programs
// fastest, but the runtime reports on standard output how it makes it, which nothing can silence:
// only a process whose output nobody sees (outputSeen false) gets it; the others get the dynamic
// archive, whose reports the options silence.
ClassDataArchive classDataArchiveFor(int featureVersion, bool outputSeen);

// ".jsa" or ".aot"; empty for None.
const char* classDataArchiveExtension(ClassDataArchive kind);

// Whether the options decide about class-data sharing themselves (-Xshare, SharedArchiveFile,
// ArchiveClassesAtExit, AutoCreateSharedArchive, UseSharedSpaces, AOTCache, AOTCacheOutput, AOTMode,
// AOTConfiguration): the launcher then adds nothing. Null entries are passed over.
bool optionsChooseClassDataSharing(const VmOptionList& options);

// The same for the options of a text split at blanks, as the runtime reads JAVA_TOOL_OPTIONS.
bool textChoosesClassDataSharing(const std::string& options);

// The options that have the runtime map the archive at path, or make it when it does not exist yet.
// Empty for None.
std::vector<std::string> classDataSharingOptions(ClassDataArchive kind, const std::string& path, bool exists);

// The archive's name: 32 hex digits from everything a runtime checks an archive against, so that an
// archive of another runtime or class path is never named: the runtime (any text that tells it
// apart), the program (likewise) and the class path option, with the extraction directory, which
// changes from start to start, taken out of it.
std::string classDataArchiveKey(const std::string& runtime, const std::string& program,
                                const std::string& classPath, const std::string& extractionDirectory);
